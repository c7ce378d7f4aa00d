// The mosaic command line and its failures, run as a real process: every refusal explains
// itself on stderr, exits non-zero and leaves no output (nor temporary) file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/process.h"

using testsupport::list_dir;
using testsupport::run;

namespace {

struct refusal {
    std::vector<std::string> args;  // after MOSAIC_BIN
    int code;
    std::string reason;  // a fragment of the message
};

// Runs each case and checks its exit code and reason; the folder is left as it was.
void expect_refused(const std::string& dir, const std::vector<refusal>& cases, const std::string& stdin_text = "") {
    const auto before = list_dir(dir);
    for (const refusal& c : cases) {
        std::vector<std::string> argv = {MOSAIC_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = run(argv, stdin_text);
        EXPECT_EQ(r.exit_code, c.code) << c.reason;
        // FFmpeg may say more first; mosaic's own line carries the reason.
        const auto lines = testsupport::lines_starting_with(r.err, "mosaic: ");
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_NE(lines[0].find(c.reason), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << c.reason;
    }
    EXPECT_EQ(list_dir(dir), before);
}

}  // namespace

TEST(MosaicCommandLine, BadCommandLinesAndInputsAreRefusedWithTheReasonAndNoFile) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("mosaic_cli_bad");
    const std::string clip = dir + "/clip.mp4", out = dir + "/out.mp4";
    ASSERT_TRUE(testsupport::make_clip(clip, "libx264", 64, 64, 4, 25));
    ASSERT_EQ(run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.2", "-c:a", "aac", dir + "/sound.m4a"}).exit_code, 0);
    // Mu-law audio fits AVI but has no MP4 sample entry in any FFmpeg (16-bit PCM has one in FFmpeg 7).
    ASSERT_EQ(run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=64x64:rate=25", "-f", "lavfi", "-i",
                   "sine", "-frames:v", "4", "-c:v", "mpeg4", "-c:a", "pcm_mulaw", "-shortest", dir + "/pcm.mkv"})
                  .exit_code,
              0);
    std::FILE* garbage = std::fopen((dir + "/garbage.mp4").c_str(), "wb");
    std::fputs("this is not a video\n", garbage);
    std::fclose(garbage);
    // An existing folder in the way of the output: everything is written, then the final
    // rename fails, and the finished temporary file must go too.
    ASSERT_EQ(mkdir((dir + "/taken.mp4").c_str(), 0755), 0);
    expect_refused(dir, {
        {{}, 2, "needs INPUT and KEY"},
        {{clip, "k", "surplus"}, 2, "unexpected argument 'surplus'"},
        {{clip, "k", "--bogus"}, 2, "unknown option --bogus"},
        {{clip, "k", "--gop"}, 2, "needs a value"},
        {{clip, "k", "--region", "1,2,3"}, 2, "--region"},
        {{clip, "k", "--block", "1"}, 2, "--block"},
        {{clip, "k", "--codec", "vp9"}, 2, "--codec"},
        {{clip, "k", "--qp", "twenty"}, 2, "--qp"},
        {{clip, "k", "--preset", "warp"}, 2, "--preset"},
        {{clip, "k", "--version-text", "1.0"}, 2, "ver-"},
        {{clip, "k", "--version-text", "ver-" + std::string(60, 'x')}, 2, "at most 63"},
        {{clip, "k", "--version-text", "ver-1", "--unversioned"}, 2, "exclude each other"},
        {{clip, "k", "--encrypt-bytes", "0"}, 2, "--encrypt-bytes"},
        {{clip, "k", "--prefix-sei"}, 2, "--prefix-sei needs --codec hevc"},
        {{clip, "k", "--open-gop"}, 2, "--open-gop needs --bframes 1 or more"},
        {{clip, "k", "--codec", "hevc", "--raw-start-codes", "-o", out}, 2, "needs an .avi output"},
        {{clip, "k", "-o", dir + "/out.mkv"}, 2, "must end in .mp4 or .avi"},
        {{clip, ""}, 2, "key must not be empty"},
        {{dir + "/absent.mp4", "k", "-o", out}, 1, "cannot open"},
        {{dir + "/sound.m4a", "k", "-o", out}, 1, "has no video stream"},
        {{clip, "k", "--region", "64,0,8,8", "-o", out}, 1, "lies outside the 64x64 picture"},
        {{clip, "k", "-o", clip}, 1, "is the input"},
        {{clip, "k", "-o", dir + "/no/such/folder/c.mp4"}, 1, "cannot create"},
        {{clip, "k", "--preset", "ultrafast", "-o", dir + "/taken.mp4"}, 1, "cannot rename"},
    });
    EXPECT_TRUE(list_dir(dir + "/taken.mp4").empty());
    // A key of "-" is read from standard input, which must hold one.
    expect_refused(dir, {{{clip, "-"}, 2, "key"}});
    // PCM fits in AVI as it is (and is encoded for MP4, end to end in test_safe_output).
    const auto avi = run({MOSAIC_BIN, dir + "/pcm.mkv", "-", "--preset", "ultrafast", "-o", dir + "/p.AVI"}, "secret\n");
    EXPECT_EQ(avi.exit_code, 0) << avi.err;
    EXPECT_TRUE(testsupport::file_exists(dir + "/p.AVI"));
}
