// Proves that `demosaic --copy` writes every hidden picture bit for bit: for each kind of input
// (codec, container, audio, payload form) the copy output decodes, picture by picture, to the
// same frame checksums as the unmasked chain that mosaic encoded (its --dump-unmasked stream,
// key pictures included, which is what the default restore's decoder decodes), keeps every
// input timestamp and the audio, and reads back without a single FFmpeg complaint. Also that
// the copy mode keeps the failure rules (wrong key, no hidden picture) and that FFmpeg's
// chatter stays off standard error unless -v asks for it. The stage alone is fed hand-made
// packets for what mosaic never writes: 3-byte start codes, parameter sets in a packet of
// their own, a decrypted picture that is no slice of the stream's codec.
#include <gtest/gtest.h>

#include <sstream>
#include <tuple>

#include "mux/streamCopy.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

using testsupport::run;
const char k_key[] = "c0py-mode-key";

struct copy_case {
    const char* name;
    const char* codec;      // mosaic --codec
    const char* extension;  // container of the masked input and of the output
    const char* audio;      // ffmpeg audio encoder of the source, "" for none
    std::vector<std::string> options;
};

// Frame checksums of the video of a file in the given format, in decode output order.
std::vector<std::string> frame_md5s(const std::string& format, const std::string& path) {
    const std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-f", format, "-i", path, "-map", "0:v",
                                           "-fps_mode", "passthrough", "-f", "framemd5", "-"};
    std::vector<std::string> md5s;
    std::istringstream lines(run(argv).out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') md5s.push_back(line.substr(line.rfind(' ') + 1));
    return md5s;
}

std::vector<double> video_seconds(const std::string& path) {
    std::vector<testsupport::video_packet> packets;
    EXPECT_TRUE(testsupport::read_video_packets(path, &packets)) << path;
    std::vector<double> seconds;
    for (const auto& p : packets) seconds.push_back(p.seconds());
    return seconds;
}

class CopyMode : public ::testing::TestWithParam<copy_case> {};

}  // namespace

TEST_P(CopyMode, EveryHiddenPictureBitForBitAtItsTime) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const copy_case& c = GetParam();
    const std::string dir = testsupport::scratch_dir(std::string("copy_") + c.name);
    const std::string source = dir + "/source.mp4", masked = dir + "/in." + c.extension, dump = dir + "/unmasked.bin";
    ASSERT_TRUE(testsupport::make_clip(source, "libx264", 128, 96, 12, 25, c.audio, "-qp 0"));
    std::vector<std::string> make = {MOSAIC_BIN, source, k_key, "-o", masked, "--codec", c.codec, "--gop", "5",
                                     "--preset", "ultrafast", "--dump-unmasked", dump};
    make.insert(make.end(), c.options.begin(), c.options.end());
    ASSERT_EQ(run(make).exit_code, 0);

    // Never over the input, by any of its names. Then options after the operands, and the output
    // named as a file in another folder.
    EXPECT_EQ(run({DEMOSAIC_BIN, "--copy", masked, k_key, "-o", dir + "/./in." + c.extension}).exit_code, 4);
    const std::string output = testsupport::scratch_dir(std::string("copy_out_") + c.name) + "/restored." + c.extension;
    const auto restored = run({DEMOSAIC_BIN, masked, k_key, "--copy", "-o", output});
    ASSERT_EQ(restored.exit_code, 0) << restored.out;
    EXPECT_EQ(restored.err, "");  // no FFmpeg warning caused by our own packets

    EXPECT_EQ(run({"ffmpeg", "-v", "error", "-i", output, "-f", "null", "-"}).err, "");
    const auto expected = frame_md5s(c.codec, dump);
    ASSERT_EQ(expected.size(), 12u);
    EXPECT_EQ(frame_md5s(c.extension, output), expected);
    EXPECT_EQ(video_seconds(output), video_seconds(masked));
    const auto streams = testsupport::probe_streams(output);
    ASSERT_EQ(streams.size(), std::string(c.audio).empty() ? 1u : 2u);
    EXPECT_EQ(streams[0].codec_tag == MKTAG('H', 'E', 'V', 'C'), std::string(c.extension) + c.codec == "avihevc");
}

// AAC in AVI reads back with repeated timestamps whoever writes it (ffmpeg -c copy too), so
// the AVI rows carry MP2 audio.
INSTANTIATE_TEST_SUITE_P(
    Inputs, CopyMode,
    ::testing::Values(copy_case{"h264_mp4_aac", "h264", "mp4", "aac", {}},
                      copy_case{"hevc_mp4_unversioned_partial", "hevc", "mp4", "", {"--unversioned", "--encrypt-bytes", "9"}},
                      copy_case{"h264_avi_mp2_partial", "h264", "avi", "mp2", {"--encrypt-bytes", "5"}},
                      copy_case{"hevc_avi_mp2", "hevc", "avi", "mp2", {}}),
    [](const ::testing::TestParamInfo<copy_case>& info) { return std::string(info.param.name); });

TEST(CopyModeFailures, FailureRulesHoldAndFfmpegChatterNeedsVerbose) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("copy_failures");
    ASSERT_TRUE(testsupport::make_clip(dir + "/plain.mp4", "libx264", 64, 48, 6, 25));
    ASSERT_EQ(run({MOSAIC_BIN, dir + "/plain.mp4", k_key, "-o", dir + "/masked.mp4", "--gop", "3", "--preset",
                   "ultrafast"}).exit_code, 0);
    const std::vector<std::tuple<std::string, std::string, int>> cases = {{"plain.mp4", k_key, 5},
                                                                          {"masked.mp4", "wrong-key", 2}};
    for (const auto& [input, key, code] : cases) {
        EXPECT_EQ(run({DEMOSAIC_BIN, "--copy", dir + "/" + input, key}).exit_code, code) << input;
        EXPECT_EQ(testsupport::list_dir(dir), (std::vector<std::string>{"masked.mp4", "plain.mp4"}));
    }
    // The default restore: libx264's statistics, the output layout and hardware probes are
    // FFmpeg's information or expected failures, shown only with -v.
    const auto quiet = run({DEMOSAIC_BIN, dir + "/masked.mp4", k_key, "-o", dir + "/quiet.mp4"});
    EXPECT_EQ(quiet.exit_code, 0);
    EXPECT_EQ(quiet.err, "");
    const auto verbose = run({DEMOSAIC_BIN, "-v", dir + "/masked.mp4", k_key, "-o", dir + "/verbose.mp4"});
    EXPECT_NE(verbose.err.find("[libx264 @"), std::string::npos) << verbose.err;
}

TEST(StreamCopyStage, PacketsTakeTheContainersFormAndForeignPicturesAreRefused) {
    using bytes = std::vector<uint8_t>;
    // hevc_trail: an HEVC picture in an H.264 stream.
    const bytes sps = {0, 0, 0, 1, 0x67, 0x42}, idr = {0, 0, 1, 0x65, 0x88, 0, 0}, p_slice = {0, 0, 1, 0x41, 0x9A},
                hevc_trail = {0, 0, 0, 1, 0x02, 0x01, 0xAF};
    const std::vector<bytes> expected = {{0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x65, 0x88, 0, 0}, p_slice,
                                         {0, 0, 0, 2, 0x67, 0x42, 0, 0, 0, 2, 0x65, 0x88}, {0, 0, 0, 2, 0x41, 0x9A}};
    std::vector<bytes> out;
    job_context job;
    for (const bool length_prefixed : {false, true}) {
        streamCopy stage(job, AV_CODEC_ID_H264, length_prefixed);
        stage.set_callback(0, [&](void* p) {
            const AVPacket* k = static_cast<AVPacket*>(p); out.emplace_back(k->data, k->data + k->size); });
        for (const auto& [packet, decrypted] : {std::make_pair(sps, false), {idr, false}, {p_slice, true}, {hevc_trail, true}}) {
            avPacketDev holder(packet.data(), static_cast<int32_t>(packet.size()));
            stage.push_packet(holder.pkt, decrypted ? nullptr : holder.pkt);
        }
        EXPECT_EQ(stage.hidden_pictures, 1);
    }
    EXPECT_EQ(out, expected);
}
