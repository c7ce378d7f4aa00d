// The mosaic command line and its failures, run as a real process: every refusal explains
// itself on stderr, exits non-zero and leaves no output (nor temporary) file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "interface/resultStatus.h"
#include "tests/support/media.h"
#include "privacy/decryptMosic.h"
#include "tests/support/process.h"

using testsupport::list_dir;
using testsupport::run;

namespace {

// A tiny clip in its own scratch folder.
std::string clip_in(const std::string& dir, const std::string& name = "clip.mp4") {
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(testsupport::make_clip(path, "libx264", 64, 64, 4, 25));
    return path;
}

std::vector<std::string> with(std::vector<std::string> argv, const std::vector<std::string>& more) {
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
}

}  // namespace

TEST(MosaicCommandLine, HelpNamesEveryOptionOnStdout) {
    const auto r = run({MOSAIC_BIN, "--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.err.empty()) << r.err;
    for (const char* option : {"--region", "--block", "-o PATH", "--codec", "--gop", "--qp", "--preset",
                               "--version-text", "--unversioned", "--encrypt-bytes", "--dump-unmasked"}) {
        EXPECT_NE(r.out.find(option), std::string::npos) << option;
    }
}

TEST(MosaicCommandLine, BadCommandLinesAreRefusedWithTheReasonAndNoFile) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("mosaic_cli_bad");
    const std::string clip = clip_in(dir);
    const std::vector<std::string> base = {MOSAIC_BIN, clip, "secret"};
    struct bad_case {
        std::vector<std::string> argv;
        std::string reason;  // a fragment of the message
    };
    const std::vector<bad_case> cases = {
        {{MOSAIC_BIN}, "needs INPUT and KEY"},
        {{MOSAIC_BIN, clip}, "needs INPUT and KEY"},
        {with(base, {"surplus"}), "unexpected argument 'surplus'"},
        {with(base, {"--bogus"}), "unknown option --bogus"},
        {with(base, {"--gop"}), "needs a value"},
        {with(base, {"--region", "1,2,3"}), "--region"},
        {with(base, {"--region", "1,2,0,4"}), "--region"},
        {with(base, {"--region", "-1,2,3,4"}), "--region"},
        {with(base, {"--region", "1,2,3,4x"}), "--region"},
        {with(base, {"--block", "1"}), "--block"},
        {with(base, {"--codec", "vp9"}), "--codec"},
        {with(base, {"--gop", "0"}), "--gop"},
        {with(base, {"--qp", "52"}), "--qp"},
        {with(base, {"--qp", "twenty"}), "--qp"},
        {with(base, {"--preset", "warp"}), "--preset"},
        {with(base, {"--version-text", "1.0"}), "ver-"},
        {with(base, {"--version-text", "ver-" + std::string(60, 'x')}), "at most 63"},
        {with(base, {"--version-text", "ver-1", "--unversioned"}), "exclude each other"},
        {with(base, {"--encrypt-bytes", "0"}), "--encrypt-bytes"},
        {with(base, {"--encrypt-bytes", "-5"}), "--encrypt-bytes"},
        {with(base, {"-o", dir + "/out.mkv"}), "must end in .mp4 or .avi"},
        {with(base, {"-o", dir + "/out"}), "must end in .mp4 or .avi"},
        {{MOSAIC_BIN, clip, ""}, "key must not be empty"},
    };
    for (const bad_case& c : cases) {
        const auto r = run(c.argv);
        std::string shown;
        for (const auto& a : c.argv) shown += " '" + a + "'";
        EXPECT_EQ(r.exit_code, 2) << shown;
        EXPECT_EQ(r.err.rfind("mosaic: ", 0), 0u) << shown << "\n" << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << shown << "\n" << r.err;
        EXPECT_TRUE(r.out.empty()) << shown;
    }
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"clip.mp4"});
}

TEST(MosaicCommandLine, KeyDashIsReadFromStandardInput) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("mosaic_cli_stdin");
    const std::string clip = clip_in(dir);
    const auto empty = run({MOSAIC_BIN, clip, "-", "--preset", "ultrafast"}, "");
    EXPECT_EQ(empty.exit_code, 2);
    EXPECT_NE(empty.err.find("key"), std::string::npos) << empty.err;

    const auto given = run({MOSAIC_BIN, clip, "-", "--preset", "ultrafast"}, "secret from stdin\n");
    EXPECT_EQ(given.exit_code, 0) << given.err;
    // The default output lies beside the input.
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"clip.mp4", "clip_masked.mp4"}));
    EXPECT_EQ(given.out.find("secret from stdin"), std::string::npos);
    // The hidden pictures open with the line read, without its newline.
    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(dir + "/clip_masked.mp4", &packets));
    ASSERT_EQ(packets.size(), 4u);
    std::vector<uint8_t> picture(decryptMosic::k_output_size);
    EXPECT_GT(decryptMosic("secret from stdin")
                  .decrypt_mosic_process(packets[1].data.data(), static_cast<int>(packets[1].data.size()), picture.data()),
              0);
    EXPECT_LT(decryptMosic("secret from stdin\n")
                  .decrypt_mosic_process(packets[1].data.data(), static_cast<int>(packets[1].data.size()), picture.data()),
              0);
    reset_result_status_for_testing();
}

TEST(MosaicInputs, UnreadableInputsFailWithTheReasonAndNoFile) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("mosaic_inputs_bad");
    {
        FILE* f = std::fopen((dir + "/garbage.mp4").c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("this is not a video\n", f);
        std::fclose(f);
    }
    ASSERT_EQ(run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.2", "-c:a", "aac", dir + "/sound.m4a"})
                  .exit_code,
              0);
    const std::vector<std::string> before = list_dir(dir);
    struct bad_input {
        std::string input;
        std::string reason;
    };
    for (const bad_input& c : std::vector<bad_input>{{dir + "/absent.mp4", "cannot open"},
                                                     {dir + "/garbage.mp4", "cannot open"},
                                                     {dir + "/sound.m4a", "has no video stream"}}) {
        const auto r = run({MOSAIC_BIN, c.input, "secret", "-o", dir + "/out.mp4"});
        EXPECT_EQ(r.exit_code, 1) << c.input;
        // FFmpeg may say more first; mosaic's own line names the input and the reason.
        const auto lines = testsupport::lines_starting_with(r.err, "mosaic: ");
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << r.err;
        EXPECT_NE(lines[0].find(c.input), std::string::npos) << r.err;
    }
    EXPECT_EQ(list_dir(dir), before);
}

TEST(MosaicInputs, RefusalsAfterOpeningTheInputLeaveNoFile) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("mosaic_inputs_late");
    const std::string clip = clip_in(dir);
    ASSERT_EQ(run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-f", "lavfi", "-i",
                   "sine", "-frames:v", "4", "-c:v", "mpeg4", "-c:a", "pcm_s16le", "-shortest", dir + "/pcm.mkv"})
                  .exit_code,
              0);
    // An existing folder in the way of the output: everything is written, then the final
    // rename fails, and the finished temporary file must go too.
    ASSERT_EQ(mkdir((dir + "/taken.mp4").c_str(), 0755), 0);
    const std::vector<std::string> before = list_dir(dir);

    struct late_case {
        std::vector<std::string> argv;
        std::string reason;
    };
    const std::vector<late_case> cases = {
        {{MOSAIC_BIN, clip, "k", "--region", "64,0,8,8", "-o", dir + "/a.mp4"}, "lies outside the 64x64 picture"},
        {{MOSAIC_BIN, dir + "/pcm.mkv", "k", "-o", dir + "/b.mp4"}, "pcm_s16le audio of stream #1 cannot be stored in MP4"},
        {{MOSAIC_BIN, clip, "k", "-o", clip}, "is the input"},
        {{MOSAIC_BIN, clip, "k", "-o", dir + "/no/such/folder/c.mp4"}, "cannot create"},
        {{MOSAIC_BIN, clip, "k", "--preset", "ultrafast", "-o", dir + "/taken.mp4"}, "cannot rename"},
    };
    for (const late_case& c : cases) {
        const auto r = run(c.argv);
        EXPECT_EQ(r.exit_code, 1) << c.reason;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
    }
    EXPECT_EQ(list_dir(dir), before);
    EXPECT_TRUE(list_dir(dir + "/taken.mp4").empty());
    // The same PCM input fits in AVI.
    const auto avi = run({MOSAIC_BIN, dir + "/pcm.mkv", "k", "--preset", "ultrafast", "-o", dir + "/pcm.AVI"});
    EXPECT_EQ(avi.exit_code, 0) << avi.err;
    EXPECT_TRUE(testsupport::file_exists(dir + "/pcm.AVI"));
}
