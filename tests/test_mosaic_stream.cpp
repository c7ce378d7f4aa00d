// What mosaic writes, checked directly on real files made from small FFmpeg clips: the
// packet structure the restorer relies on, the hidden pictures against the unmasked chain's
// own bytes, timestamps, streams and tags, and the mosaic itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "interface/resultStatus.h"
#include "privacy/decryptMosic.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/macros.h>
}

using testsupport::luma_frame;
using testsupport::region;
using testsupport::run;

namespace {

using bytes = std::vector<uint8_t>;
constexpr const char* k_key = "mosaic stream test key";

struct masking_case {
    const char* name;
    const char* codec;      // --codec
    const char* output;     // output file name
    std::vector<std::string> options;
    int width, height, rate;  // testsrc2 source, with a sine tone when audio
    bool audio;
    std::vector<std::string> source_args;  // how the source is coded
    std::string source;                    // its file name
    int frames, gop;
    region masked;          // a region mosaic masks (in source pixels)
    region untouched;       // a region it leaves alone
    std::string note;       // what mosaic must say on stderr (empty: nothing)
};

void PrintTo(const masking_case& c, std::ostream* out) { *out << c.name; }

class MosaicStream : public ::testing::TestWithParam<masking_case> {};

}  // namespace

TEST_P(MosaicStream, HoldsWhatTheRestorerNeeds) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const masking_case& c = GetParam();
    const std::string dir = testsupport::scratch_dir(std::string("mosaic_stream_") + c.name);
    const std::string source = dir + "/" + c.source, output = dir + "/" + c.output, dump = dir + "/unmasked.bin";
    const bool hevc = std::string(c.codec) == "hevc";
    const int codec_id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;

    std::vector<std::string> make = {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                     "testsrc2=size=" + std::to_string(c.width) + "x" + std::to_string(c.height) +
                                         ":rate=" + std::to_string(c.rate)};
    if (c.audio) make.insert(make.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-shortest"});
    make.insert(make.end(), c.source_args.begin(), c.source_args.end());
    make.insert(make.end(), {"-frames:v", std::to_string(c.frames), source});
    ASSERT_EQ(run(make).exit_code, 0);
    std::vector<std::string> argv = {MOSAIC_BIN, source, k_key, "-o", output, "--codec", c.codec, "--gop",
                                     std::to_string(c.gop), "--preset", "ultrafast", "--dump-unmasked", dump};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const auto made = run(argv);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_TRUE(c.note.empty() ? made.err.empty() : made.err.find(c.note) != std::string::npos) << made.err;


    // Streams: the video first (padded to even sizes), the audio copied, "HEVC" in AVI.
    std::vector<luma_frame> source_frames;
    ASSERT_TRUE(testsupport::decode_video(source, &source_frames));
    ASSERT_EQ(static_cast<int>(source_frames.size()), c.frames);
    const auto streams = testsupport::probe_streams(output);
    ASSERT_GE(streams.size(), 1u);
    EXPECT_EQ(std::make_tuple(streams[0].type, streams[0].codec_id, streams[0].width, streams[0].height),
              std::make_tuple(AVMEDIA_TYPE_VIDEO, codec_id, (source_frames[0].width + 1) & ~1, (source_frames[0].height + 1) & ~1));
    if (hevc && std::string(c.output).find(".avi") != std::string::npos) {
        EXPECT_EQ(streams[0].codec_tag, MKTAG('H', 'E', 'V', 'C'));
    }
    EXPECT_EQ(testsupport::count_streams(output, AVMEDIA_TYPE_AUDIO), c.audio ? 1 : 0);

    // Packet structure, as the restorer sees it after the Annex B filter: each group begins
    // with its parameter sets and an IDR picture and carries no privacy SEI; every other packet
    // begins with a privacy SEI hiding exactly the unmasked chain's next picture.
    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(output, &packets));
    ASSERT_EQ(static_cast<int>(packets.size()), c.frames);
    const bytes sei_head = hevc ? bytes{0, 0, 0, 1, 0x50, 0x01, 0x99} : bytes{0, 0, 0, 1, 0x06, 0x99};
    const bytes sei_in_group = hevc ? bytes{0, 0, 1, 0x50, 0x01, 0x99} : bytes{0, 0, 1, 0x06, 0x99};
    std::ifstream in(dump, std::ios::binary);
    const bytes unmasked{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto next = unmasked.begin();
    bytes picture(decryptMosic::k_output_size);
    for (int i = 0; i < c.frames; ++i) {
        const auto& p = packets[i];
        const bool group_start = i % c.gop == 0;
        SCOPED_TRACE(i);
        EXPECT_EQ(p.first_nal, group_start ? (hevc ? "H265 VPS" : "H264 SPS") : (hevc ? "H265 SEI SUFFIX" : "H264 SEI"));
        EXPECT_EQ(p.key, group_start);
        EXPECT_NEAR(p.seconds(), source_frames[i].seconds, 1e-3);  // every picture keeps its time
        if (group_start) {
            EXPECT_EQ(std::search(p.data.begin(), p.data.end(), sei_in_group.begin(), sei_in_group.end()), p.data.end());
            continue;
        }
        ASSERT_TRUE(std::equal(sei_head.begin(), sei_head.end(), p.data.begin()));
        const int n = decryptMosic(k_key).decrypt_mosic_process(p.data.data(), static_cast<int>(p.data.size()), picture.data());
        ASSERT_GT(n, 0);
        next = std::search(next, unmasked.end(), picture.begin(), picture.begin() + n);
        ASSERT_NE(next, unmasked.end()) << "the hidden picture is not the unmasked chain's next one";
        next += n;
    }

    // The masked region is really masked in what a player shows; the rest of the picture is
    // not touched beyond coding loss.
    std::vector<luma_frame> shown;
    ASSERT_TRUE(testsupport::decode_video(output, &shown));
    ASSERT_EQ(shown.size(), source_frames.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_LE(testsupport::luma_psnr(shown[i], source_frames[i], c.masked), 20.0) << "picture " << i;
        EXPECT_GE(testsupport::luma_psnr(shown[i], source_frames[i], c.untouched), 30.0) << "picture " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, MosaicStream,
    ::testing::Values(
        // HEVC in AVI: unversioned, only the first 40 bytes encrypted, two regions.
        masking_case{"hevc_avi_unversioned_partial_audio", "hevc", "masked.avi",
                     {"--unversioned", "--encrypt-bytes", "40", "--region", "2,2,100,30", "--region", "112,56,24,24",
                      "--block", "12"},
                     160, 96, 25, true, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"}, "source.mp4",
                     20, 8, {2, 2, 100, 30}, {0, 82, 160, 14}, ""},
        // HEVC in MP4 from 10-bit 4:4:4 FFV1 at an odd size (padded to 100x62), unversioned,
        // all encrypted, the default centred region.
        masking_case{"hevc_mp4_odd_size_10bit", "hevc", "masked.mp4", {"--unversioned", "--block", "24"},
                     100, 62, 24, false, {"-vf", "scale=99:61", "-c:v", "ffv1", "-pix_fmt", "yuv444p10le"}, "source.mkv",
                     12, 5, {33, 20, 33, 20}, {0, 0, 99, 16}, ""},
        // Unversioned with one encrypted byte: the plain rest would begin inside the start
        // code, so mosaic encrypts up to the last 00 00 0x bytes of each picture and says so.
        masking_case{"h264_mp4_unversioned_one_byte", "h264", "masked.mp4",
                     {"--unversioned", "--encrypt-bytes", "1", "--region", "0,0,64,20"},
                     96, 64, 25, false, {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, "source.mp4",
                     8, 4, {0, 0, 64, 20}, {0, 32, 96, 32},
                     "6 of 6 hidden pictures had more than --encrypt-bytes encrypted"}),
    [](const ::testing::TestParamInfo<masking_case>& info) { return std::string(info.param.name); });
