// The input stage: output naming, the streams it takes and the parameters it publishes, and
// the main loop stopping when a stage cannot set up. Inputs are tiny files made by ffmpeg.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <functional>

#include "demux/mediaDemuxer.h"
#include "tests/support/process.h"

namespace {

// The local time stamp build_output_path inserts, for a time t.
std::string stamp(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    char text[32] = {0};
    strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
    return text;
}

class DemuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::test_scratch_dir("demux_");
        job.use_console();  // its lines on stdout, as the program prints them
    }
    std::string dir;
    job_context job;
};

}  // namespace

TEST(OutputPath, NameAndLocalTimeGoBeforeAnMp4OrAviExtension) {
    const std::pair<const char*, const char*> named[] = {
        {"/in/a.avi", "/in/a|.avi"}, {"/in/street.MP4", "/in/street|.MP4"}, {"/in/movie.tar.mp4", "/in/movie.tar|.mp4"},
        {"D:\\in\\clip.Avi", "D:\\in\\clip|.Avi"}, {"clip.mp4", "clip|.mp4"}, {"/in.dir/x.mp4", "/in.dir/x|.mp4"}};
    for (const auto& [input, expected] : named) {
        const time_t before = time(nullptr);
        std::string output = mediaDemuxer::build_output_path(input);
        const time_t after = time(nullptr);
        const std::string e = expected;
        const size_t bar = e.find('|');
        ASSERT_EQ(output.size(), e.size() - 1 + 24) << output;
        EXPECT_EQ(output.substr(bar, 10), "_decmosic_");
        const std::string digits = output.substr(bar + 10, 14);
        EXPECT_TRUE(digits == stamp(before) || digits == stamp(after)) << output;
        EXPECT_EQ(output.erase(bar, 24), e.substr(0, bar) + e.substr(bar + 1)) << input;
    }
    for (const char* input : {"", "/in.dir/clip", "D:\\in.dir\\clip", "clip", "clip.", ".mp4", "/in/clip.mkv",
                              "/in/clip.mp4.part", "/in/clip.mp"}) {
        EXPECT_EQ(mediaDemuxer::build_output_path(input), "") << input;
    }
    EXPECT_EQ(mediaDemuxer::build_output_path(nullptr), "");
}

TEST_F(DemuxTest, TakesTheFirstVideoAndAudioStreamAndPublishesTheirParameters) {
    // Streams: 0 audio, 1 H.264 video 64x48 at 30000/1001, 2 MPEG-4 video 96x80, 3 audio.
    const std::string path = dir + "/multi.mp4";
    ASSERT_EQ(testsupport::run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=sample_rate=8000", "-f", "lavfi",
                                "-i", "testsrc2=size=64x48:rate=30000/1001", "-f", "lavfi", "-i", "testsrc2=size=96x80",
                                "-f", "lavfi", "-i", "sine=sample_rate=16000", "-map", "0:a", "-map", "1:v", "-map",
                                "2:v", "-map", "3:a", "-c:a", "aac", "-c:v:0", "libx264", "-c:v:1", "mpeg4",
                                "-pix_fmt", "yuv420p", "-frames:v", "6", "-t", "0.2", path})
                  .exit_code,
              0);
    const std::string out = testsupport::capture_stdout([&] {
        mediaDemuxer demuxer(job, path.c_str(), mediaDemuxer::k_type_privacy, "key");
        ASSERT_TRUE(demuxer.is_init);
        EXPECT_EQ(std::make_pair(demuxer.videoStreamIdx, demuxer.audioStreamIdx), std::make_pair(1, 0));
        const input_stream_info_t& info = job.input_stream_info;
        EXPECT_EQ(std::make_tuple(info.width, info.height, info.fps, info.avg_frame_rate.num, info.avg_frame_rate.den),
                  std::make_tuple(64, 48, 29, 30000, 1001));
        EXPECT_EQ(info.bit_rate, 8388608) << "a low rate is raised to the floor";
        EXPECT_EQ(std::make_pair(info.video_stream_index, info.audio_stream_index), std::make_pair(1, 0));
        EXPECT_EQ(av_cmp_q(info.video_time_base, demuxer.fmt_ctx->streams[1]->time_base), 0);
        EXPECT_EQ(info.audio_time_base.den, 8000);
    });
    EXPECT_NE(out.find("Frame Rate: 30000/1001 (29.97 fps) bitrate=8388608\033[0;39m"), std::string::npos) << out;

}

TEST_F(DemuxTest, StageThatCannotSetUpStopsTheLoopBeforeAnyPacketIsRouted) {
    const std::string input = dir + "/clip.mp4";
    ASSERT_TRUE(testsupport::make_clip(input, "libx264", 64, 64, 10, 25, "aac"));
    const std::string out = testsupport::capture_stdout([&] {
        mediaDemuxer demuxer(job, input.c_str(), mediaDemuxer::k_type_privacy, "key");
        ASSERT_TRUE(demuxer.is_init);
        // Folders stand where the output file would be written (its name was fixed a moment
        // ago, maybe in the second before this one), so the muxer cannot create it.
        const std::string stem = demuxer.output_path.substr(0, demuxer.output_path.size() - 18);
        for (time_t t = time(nullptr) - 1, end = t + 11; t <= end; ++t) ASSERT_EQ(mkdir((stem + stamp(t) + ".mp4").c_str(), 0755), 0);
        EXPECT_EQ(demuxer.demuxer_media_file_process(), 0);
        EXPECT_EQ(job.get_result_code(), RESULT_OPEN_OUTPUT_ERROR);
        EXPECT_EQ(std::make_pair(demuxer.video_packets_routed, demuxer.audio_packets_routed), std::make_pair(0l, 0l));
        EXPECT_FALSE(demuxer.callbacks[0] || demuxer.callbacks[1]) << "no binding to a destroyed stage is left behind";
    });
    const size_t decoder_gone = out.find("videoDecode destruction succeed");
    ASSERT_NE(decoder_gone, std::string::npos) << out;
    EXPECT_LT(decoder_gone, out.find("mediaDemuxer loop task end\033[0;39m ==func:demuxer_media_file_process")) << out;
}
