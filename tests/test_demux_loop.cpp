// The demuxer's main loop with the real stages: building, stopping at a failure, routing,
// and tearing down in pipeline order. Inputs are tiny files made by ffmpeg.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "demux/mediaDemuxer.h"
#include "tests/support/process.h"

namespace {

std::string capture(const std::function<void()>& body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

class DemuxLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::scratch_dir(std::string("demux_loop_") +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { reset_result_status_for_testing(); }

    std::string dir;
};

}  // namespace

TEST_F(DemuxLoopTest, StageThatCannotSetUpStopsTheLoopBeforeAnyPacketIsRouted) {
    const std::string input = dir + "/clip.mp4";
    ASSERT_TRUE(testsupport::make_clip(input, "libx264", 64, 64, 10, 25, "aac"));
    const std::string out = capture([&] {
        mediaDemuxer demuxer(input.c_str(), mediaDemuxer::k_type_privacy, "key");
        ASSERT_TRUE(demuxer.is_init);
        // Folders stand where the output file would be written in the next seconds, so the
        // muxer cannot create it.
        const std::string stem = demuxer.output_path.substr(0, demuxer.output_path.size() - 18);
        for (time_t t = time(nullptr), end = t + 10; t <= end; ++t) {
            struct tm local {};
            localtime_r(&t, &local);
            char text[32] = {0};
            strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
            ASSERT_EQ(mkdir((stem + text + ".mp4").c_str(), 0755), 0);
        }
        EXPECT_EQ(demuxer.demuxer_media_file_process(), 0);
        EXPECT_NE(get_result_code(), RESULT_OK);
        EXPECT_EQ(demuxer.video_packets_routed, 0);
        EXPECT_EQ(demuxer.audio_packets_routed, 0);
        EXPECT_FALSE(demuxer.callbacks[0]) << "no binding to a destroyed stage is left behind";
        EXPECT_FALSE(demuxer.callbacks[1]);
    });
    const size_t decoder_gone = out.find("videoDecode destruction succeed");
    const size_t loop_end = out.find("\033[0;33mmediaDemuxer loop task end\033[0;39m ==func:demuxer_media_file_process");
    ASSERT_NE(decoder_gone, std::string::npos) << out;
    ASSERT_NE(loop_end, std::string::npos) << out;
    EXPECT_LT(decoder_gone, loop_end);
}
