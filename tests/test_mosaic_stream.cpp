// What mosaic writes, checked directly on real files made from small FFmpeg clips: the
// packet structure the restorer relies on, the hidden pictures against the unmasked chain's
// own bytes, timestamps, streams and tags, the mosaic itself, and a restore done here with
// libavcodec the way demosaic does it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "interface/resultStatus.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/macros.h>
}

#include "privacy/decryptMosic.h"

using testsupport::luma_frame;
using testsupport::region;
using testsupport::run;
using testsupport::video_packet;

namespace {

constexpr const char* k_key = "mosaic stream test key";

// The coded picture a privacy SEI packet hides, decrypted by the restorer's reader.
bool decrypt_picture(const std::vector<uint8_t>& packet, const std::string& key, std::vector<uint8_t>* picture) {
    static const std::unique_ptr<uint8_t[]> buffer(new uint8_t[decryptMosic::k_output_size]);
    decryptMosic decryptor(key);
    const int length = decryptor.decrypt_mosic_process(packet.data(), static_cast<int>(packet.size()), buffer.get());
    if (length < 0) return false;
    picture->assign(buffer.get(), buffer.get() + length);
    return true;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct masking_case {
    const char* name;
    const char* codec;      // --codec
    const char* extension;  // output container
    std::vector<std::string> options;
    // The source clip: ffmpeg arguments after "-f lavfi -i testsrc2=...".
    std::string source_name;
    std::vector<std::string> source_args;
    bool audio;
    int frames;
    int gop;
    region masked;          // a region mosaic masks (in source pixels)
    region untouched;       // a region it leaves alone
    std::string note;       // what mosaic must say on stderr (empty: nothing)
};

void PrintTo(const masking_case& c, std::ostream* out) { *out << c.name; }

// Source clips: testsrc2 with a moving pattern and sharp detail, so a mosaic shows.
std::vector<std::string> lavfi(int width, int height, int rate, bool audio) {
    std::vector<std::string> args = {"-f", "lavfi", "-i",
                                     "testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
                                         ":rate=" + std::to_string(rate)};
    if (audio) args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"});
    return args;
}

class MosaicStream : public ::testing::TestWithParam<masking_case> {};

}  // namespace

TEST_P(MosaicStream, HoldsWhatTheRestorerNeeds) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const masking_case& c = GetParam();
    const std::string dir = testsupport::scratch_dir(std::string("mosaic_stream_") + c.name);
    const std::string source = dir + "/" + c.source_name;
    const std::string output = dir + "/masked." + c.extension;
    const std::string dump = dir + "/unmasked.bin";
    const bool hevc = std::string(c.codec) == "hevc";
    const int codec_id = hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;

    std::vector<std::string> make = {"ffmpeg", "-hide_banner", "-v", "error", "-y"};
    make.insert(make.end(), c.source_args.begin(), c.source_args.end());
    make.insert(make.end(), {"-frames:v", std::to_string(c.frames)});
    if (c.audio) make.push_back("-shortest");
    make.push_back(source);
    ASSERT_EQ(run(make).exit_code, 0);

    std::vector<std::string> argv = {MOSAIC_BIN, source, k_key,           "-o",     output, "--codec",
                                     c.codec,    "--gop", std::to_string(c.gop), "--preset", "ultrafast",
                                     "--dump-unmasked", dump};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const auto made = run(argv);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    if (c.note.empty()) {
        EXPECT_EQ(made.err, "");
    } else {
        EXPECT_NE(made.err.find(c.note), std::string::npos) << made.err;
    }

    // An ordinary decoder plays the file without a complaint.
    const auto played = run({"ffmpeg", "-v", "error", "-i", output, "-f", "null", "-"});
    EXPECT_EQ(played.exit_code, 0);
    EXPECT_EQ(played.err, "");

    std::vector<luma_frame> source_frames;
    ASSERT_TRUE(testsupport::decode_video(source, &source_frames));
    ASSERT_EQ(static_cast<int>(source_frames.size()), c.frames);
    const int width = source_frames[0].width;
    const int height = source_frames[0].height;

    // Streams: the video first, the audio copied when the source had it, "HEVC" in AVI.
    const auto streams = testsupport::probe_streams(output);
    ASSERT_GE(streams.size(), 1u);
    EXPECT_EQ(streams[0].type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(streams[0].codec_id, codec_id);
    EXPECT_EQ(streams[0].width, (width + 1) & ~1);
    EXPECT_EQ(streams[0].height, (height + 1) & ~1);
    if (hevc && std::string(c.extension) == "avi") {
        EXPECT_EQ(streams[0].codec_tag, MKTAG('H', 'E', 'V', 'C'));
    }
    EXPECT_EQ(testsupport::count_streams(output, AVMEDIA_TYPE_AUDIO), c.audio ? 1 : 0);

    // Packet structure, as the restorer sees it after the container's Annex B filter.
    std::vector<video_packet> packets;
    int stored_codec = 0;
    ASSERT_TRUE(testsupport::read_video_packets(output, &packets, &stored_codec));
    EXPECT_EQ(stored_codec, codec_id);
    ASSERT_EQ(static_cast<int>(packets.size()), c.frames);
    const std::string group_start_name = hevc ? "H265 VPS" : "H264 SPS";
    const std::string hidden_name = hevc ? "H265 SEI SUFFIX" : "H264 SEI";
    const std::vector<uint8_t> sei_head =
        hevc ? std::vector<uint8_t>{0, 0, 0, 1, 0x50, 0x01, 0x99} : std::vector<uint8_t>{0, 0, 0, 1, 0x06, 0x99};
    for (int i = 0; i < c.frames; ++i) {
        const video_packet& p = packets[i];
        const bool group_start = i % c.gop == 0;
        EXPECT_EQ(p.first_nal, group_start ? group_start_name : hidden_name) << "packet " << i;
        EXPECT_EQ(p.key, group_start) << "packet " << i;
        ASSERT_GE(p.data.size(), sei_head.size());
        EXPECT_EQ(std::equal(sei_head.begin(), sei_head.end(), p.data.begin()), !group_start) << "packet " << i;
        // Every picture keeps its source timestamp.
        EXPECT_NEAR(p.seconds(), source_frames[i].seconds, 1e-3) << "packet " << i;
        if (group_start) {
            bool idr = false;
            for (const auto& unit : testsupport::split_nal_units(p.data, codec_id)) {
                idr = idr || (hevc ? unit.type == 19 || unit.type == 20 : unit.type == 5);
                // Nothing unmasked rides along with an IDR picture.
                const size_t header = hevc ? 2 : 1;
                EXPECT_FALSE(unit.end - unit.begin > header &&
                             (hevc ? unit.type == 39 || unit.type == 40 : unit.type == 6) &&
                             p.data[unit.begin + header] == 0x99)
                    << "packet " << i;
            }
            EXPECT_TRUE(idr) << "packet " << i;
        }
    }

    // The hidden pictures are exactly the unmasked chain's pictures, and the IDR pictures
    // are the unmasked chain's IDR pictures: walk its Annex B stream alongside the file.
    const std::vector<uint8_t> unmasked = read_file(dump);
    const auto unmasked_units = testsupport::split_nal_units(unmasked, codec_id);
    size_t unit_index = 0;
    std::vector<video_packet> restorer_input;  // what demosaic decodes
    std::vector<double> withheld;               // times of the pictures it does not show
    for (int i = 0; i < c.frames; ++i) {
        const video_packet& p = packets[i];
        ASSERT_LT(unit_index, unmasked_units.size()) << "packet " << i;
        const size_t offset = unmasked_units[unit_index].start_code;
        if (i % c.gop == 0) {
            std::vector<std::vector<uint8_t>> parameter_sets;
            for (const auto& unit : testsupport::split_nal_units(p.data, codec_id)) {
                // "hevc_mp4toannexb" repeats the sample entry's parameter sets before an IDR
                // slice even when the packet carries them; skip those repeats.
                const std::vector<uint8_t> bytes(p.data.begin() + unit.begin, p.data.begin() + unit.end);
                const bool parameter_set = hevc ? unit.type >= 32 && unit.type <= 34 : unit.type == 7 || unit.type == 8;
                if (parameter_set) {
                    if (std::find(parameter_sets.begin(), parameter_sets.end(), bytes) != parameter_sets.end()) continue;
                    parameter_sets.push_back(bytes);
                }
                ASSERT_LT(unit_index, unmasked_units.size());
                const auto& expected = unmasked_units[unit_index++];
                ASSERT_EQ(unit.end - unit.begin, expected.end - expected.begin) << "packet " << i;
                EXPECT_EQ(std::memcmp(&p.data[unit.begin], &unmasked[expected.begin], unit.end - unit.begin), 0)
                    << "packet " << i;
            }
            restorer_input.push_back(p);
            withheld.push_back(p.seconds());
            continue;
        }
        std::vector<uint8_t> picture;
        ASSERT_TRUE(decrypt_picture(p.data, k_key, &picture)) << "packet " << i;
        ASSERT_LE(offset + picture.size(), unmasked.size()) << "packet " << i;
        EXPECT_EQ(std::memcmp(picture.data(), &unmasked[offset], picture.size()), 0) << "packet " << i;
        unit_index += testsupport::split_nal_units(picture, codec_id).size();
        video_packet hidden = p;
        hidden.data = picture;
        restorer_input.push_back(hidden);
    }
    EXPECT_EQ(unit_index, unmasked_units.size());
    // Only the key opens them.
    std::vector<uint8_t> refused;
    EXPECT_FALSE(decrypt_picture(packets[1].data, std::string(k_key) + "x", &refused));
    reset_result_status_for_testing();

    // The masked region is really masked in what a player shows; the rest of the picture is
    // not touched beyond coding loss.
    std::vector<luma_frame> shown;
    ASSERT_TRUE(testsupport::decode_video(output, &shown));
    ASSERT_EQ(shown.size(), source_frames.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_LE(testsupport::luma_psnr(shown[i], source_frames[i], c.masked), 20.0) << "picture " << i;
        EXPECT_GE(testsupport::luma_psnr(shown[i], source_frames[i], c.untouched), 30.0) << "picture " << i;
    }

    // Restore as demosaic does: decode the IDR pictures and the hidden ones, drop the
    // pictures of the IDR packets, and compare what is left with the source.
    std::vector<luma_frame> decoded;
    ASSERT_TRUE(testsupport::decode_annexb_packets(codec_id, restorer_input, &decoded));
    ASSERT_EQ(decoded.size(), restorer_input.size());
    int restored = 0;
    for (const luma_frame& frame : decoded) {
        bool is_withheld = false;
        for (double t : withheld) is_withheld = is_withheld || std::fabs(t - frame.seconds) < 1e-3;
        if (is_withheld) continue;
        const luma_frame* original = nullptr;
        for (const luma_frame& s : source_frames) {
            if (std::fabs(s.seconds - frame.seconds) < 1e-3) original = &s;
        }
        ASSERT_NE(original, nullptr) << frame.seconds;
        EXPECT_GE(testsupport::luma_psnr(frame, *original, c.masked), 35.0) << "at " << frame.seconds;
        ++restored;
    }
    EXPECT_EQ(restored, c.frames - (c.frames + c.gop - 1) / c.gop);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, MosaicStream,
    ::testing::Values(
        // H.264 in MP4 from an H.264/AAC MP4: the default version text, all of each picture
        // encrypted, audio copied.
        masking_case{"h264_mp4_versioned_full_audio", "h264", "mp4", {"--region", "0,0,104,32"}, "source.mp4",
                     [] {
                         auto a = lavfi(160, 96, 25, true);
                         a.insert(a.end(), {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"});
                         return a;
                     }(),
                     true, 30, 10, {0, 0, 104, 32}, {0, 40, 160, 56}, ""},
        // HEVC in AVI: unversioned, only the first 40 bytes encrypted, two regions.
        masking_case{"hevc_avi_unversioned_partial_audio", "hevc", "avi",
                     {"--unversioned", "--encrypt-bytes", "40", "--region", "2,2,100,30", "--region", "112,56,24,24",
                      "--block", "12"},
                     "source.mp4",
                     [] {
                         auto a = lavfi(160, 96, 25, true);
                         a.insert(a.end(), {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac"});
                         return a;
                     }(),
                     true, 20, 8, {2, 2, 100, 30}, {0, 82, 160, 14}, ""},
        // H.264 in AVI (upper-case name) from MPEG-4 Part 2 in AVI: a custom version text,
        // one encrypted byte per picture, no audio.
        masking_case{"h264_avi_version_text_one_byte", "h264", "AVI",
                     {"--version-text", "ver-test-7", "--encrypt-bytes", "1", "--region", "0,0,80,24"},
                     "source.avi",
                     [] {
                         auto a = lavfi(128, 96, 30, false);
                         a.insert(a.end(), {"-c:v", "mpeg4", "-q:v", "2"});
                         return a;
                     }(),
                     false, 16, 6, {0, 0, 80, 24}, {0, 28, 128, 68}, ""},
        // HEVC in MP4 from 10-bit 4:4:4 FFV1 in Matroska at an odd size (padded to 100x62),
        // unversioned, all encrypted, the default centred region.
        masking_case{"hevc_mp4_odd_size_10bit", "hevc", "mp4", {"--unversioned", "--block", "24"}, "source.mkv",
                     [] {
                         auto a = lavfi(100, 62, 24, false);
                         a.insert(a.end(), {"-vf", "scale=99:61", "-c:v", "ffv1", "-pix_fmt", "yuv444p10le"});
                         return a;
                     }(),
                     false, 12, 5, {33, 20, 33, 20}, {0, 0, 99, 16}, ""},
        // Unversioned with one encrypted byte: the plain rest would begin inside the start
        // code, so mosaic encrypts up to the last 00 00 0x bytes of each picture and says so.
        masking_case{"h264_mp4_unversioned_one_byte", "h264", "mp4",
                     {"--unversioned", "--encrypt-bytes", "1", "--region", "0,0,64,20"}, "source.mp4",
                     [] {
                         auto a = lavfi(96, 64, 25, false);
                         a.insert(a.end(), {"-c:v", "libx264", "-pix_fmt", "yuv420p"});
                         return a;
                     }(),
                     false, 8, 4, {0, 0, 64, 20}, {0, 32, 96, 32},
                     "6 of 6 hidden pictures had more than --encrypt-bytes encrypted"}),
    [](const ::testing::TestParamInfo<masking_case>& info) { return std::string(info.param.name); });
