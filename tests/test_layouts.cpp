// End to end: clips that mosaic masks in the access-unit layouts other encoders and cameras
// write (delimiters, an SEI NAL unit before the privacy SEI, the privacy message behind another
// message of its SEI NAL unit, HEVC prefix SEI and CRA key pictures, several slices per
// picture), and masked files taken through MPEG-TS and back with the ffmpeg tool, are restored
// by the real demosaic binary: every hidden picture comes back at its own time, and its masked
// region matches the picture mosaic hid.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

using testsupport::run;

struct layout_case {
    const char* name;
    const char* codec;  // mosaic --codec
    const char* file;   // the masked clip's name
    std::vector<std::string> options;
    bool via_ts;  // taken through MPEG-TS and back to MP4 before restoring
};

void PrintTo(const layout_case& c, std::ostream* out) { *out << c.name; }

class Layouts : public testing::TestWithParam<layout_case> {};

TEST_P(Layouts, RestoreEveryHiddenPictureAtItsOwnTime) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const layout_case& c = GetParam();
    const std::string dir = testsupport::scratch_dir(std::string("layout_") + c.name);
    const std::string source = dir + "/source.mkv", masked = dir + "/" + c.file;
    const std::string unmasked = dir + "/unmasked." + c.codec, key = "layout key";
    ASSERT_EQ(run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v",
                   "10", "-c:v", "libx264", "-qp", "0", source}).exit_code, 0);
    std::vector<std::string> argv = {MOSAIC_BIN, source, key, "-o", masked, "--codec", c.codec, "--gop", "5",
                                     "--preset", "ultrafast", "--region", "16,16,32,16", "--dump-unmasked", unmasked};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const auto made = run(argv);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    std::string input = masked;
    if (c.via_ts) {  // the TS muxer adds a delimiter to every access unit
        input = dir + "/export.mp4";
        ASSERT_EQ(run({"ffmpeg", "-v", "error", "-i", masked, "-c", "copy", "-f", "mpegts", dir + "/rec.ts"}).exit_code, 0);
        ASSERT_EQ(run({"ffmpeg", "-v", "error", "-i", dir + "/rec.ts", "-c", "copy", input}).exit_code, 0);
    }
    const auto restored_run = run({DEMOSAIC_BIN, input, key});
    ASSERT_EQ(restored_run.exit_code, 0) << restored_run.out;
    std::string restored;
    for (const auto& name : testsupport::list_dir(dir)) {
        if (name.find("_decmosic_") != std::string::npos) restored = dir + "/" + name;
    }

    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(input, &packets));
    std::vector<size_t> hidden;  // the pictures that are not key pictures
    for (size_t i = 0; i < packets.size(); ++i) {
        if (!packets[i].key) hidden.push_back(i);
    }
    ASSERT_EQ(hidden.size(), 8u);
    std::vector<testsupport::luma_frame> frames, reference;
    ASSERT_TRUE(testsupport::decode_video(restored, &frames) && testsupport::decode_video(unmasked, &reference));
    ASSERT_EQ(frames.size(), hidden.size());
    ASSERT_EQ(reference.size(), packets.size());
    double worst = 99;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_NEAR(frames[i].seconds, packets[hidden[i]].seconds(), 1e-3) << "picture " << i;
        worst = std::min(worst, testsupport::luma_psnr(frames[i], reference[hidden[i]], {16, 16, 32, 16}));
    }
    EXPECT_GE(worst, 35.0) << "worst masked-region luma PSNR against the hidden picture";
}

INSTANTIATE_TEST_SUITE_P(
    MaskedClips, Layouts,
    testing::Values(layout_case{"h264_mp4_aud_sei_before_shared", "h264", "a.mp4", {"--aud", "--sei-before", "--shared-sei"}, false},
                    layout_case{"h264_avi_aud_slices_unversioned", "h264", "b.avi", {"--aud", "--slices", "3", "--unversioned"}, false},
                    layout_case{"hevc_mp4_aud_prefix_cra", "hevc", "c.mp4", {"--aud", "--prefix-sei", "--cra"}, false},
                    layout_case{"hevc_avi_sei_before_shared_slices", "hevc", "d.avi", {"--sei-before", "--shared-sei", "--slices", "2"}, false},
                    layout_case{"h264_through_mpegts", "h264", "e.mp4", {}, true},
                    layout_case{"hevc_through_mpegts", "hevc", "f.mp4", {"--cra"}, true}),
    [](const testing::TestParamInfo<layout_case>& info) { return std::string(info.param.name); });

}  // namespace
