// The input stage: output naming, opening and refusing inputs, the published stream
// parameters, and the main loop's guard and dispatch. Inputs are tiny files made by ffmpeg.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <regex>
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

// The text of a log line as it appears between its colour codes.
std::string logged(const std::string& level, const std::string& text) {
    const std::string colour = level == "ERR" ? "\033[0;31m" : "\033[0;33m";
    return colour + text + "\033[0;39m";
}

bool ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::run(argv).exit_code == 0;
}

// The local time stamp build_output_path inserts, for a time t.
std::string stamp(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    char text[32] = {0};
    strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
    return text;
}

// Checks that the output for input is before + "_decmosic_" + the current time + after.
void expect_output(const std::string& input, const std::string& before_text, const std::string& after_text) {
    const time_t before = time(nullptr);
    const std::string output = mediaDemuxer::build_output_path(input.c_str());
    const time_t after = time(nullptr);
    ASSERT_EQ(output.size(), before_text.size() + 24 + after_text.size()) << output;
    EXPECT_EQ(output.substr(0, before_text.size() + 10), before_text + "_decmosic_") << output;
    const std::string time_text = output.substr(before_text.size() + 10, 14);
    EXPECT_TRUE(time_text == stamp(before) || time_text == stamp(after)) << output;
    EXPECT_EQ(output.substr(before_text.size() + 24), after_text) << output;
}

class DemuxTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::scratch_dir(std::string("demux_") +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { reset_result_status_for_testing(); }

    std::string dir;
};

}  // namespace

TEST(OutputPath, InsertsNameAndLocalTimeBeforeTheLastDotKeepingTheExtension) {
    expect_output("/in/a.avi", "/in/a", ".avi");
    expect_output("/in/street.MP4", "/in/street", ".MP4");               // the extension keeps its case
    expect_output("/in/movie.tar.mp4", "/in/movie.tar", ".mp4");         // before the last '.'
    expect_output("D:\\in\\clip.Avi", "D:\\in\\clip", ".Avi");  // a backslash separates too
    expect_output("clip.mp4", "clip", ".mp4");                           // no folder at all
    expect_output("/in.dir/x.mp4", "/in.dir/x", ".mp4");                 // a '.' in a folder name
}

TEST(OutputPath, NoPathWithoutAnMp4OrAviExtensionBehindTheLastSeparator) {
    for (const char* input : {"", "/in.dir/clip", "D:\\in.dir\\clip", "clip", "clip.", ".mp4", "/in/clip.mkv",
                              "/in/clip.mp4.part", "/in/clip.mp"}) {
        EXPECT_EQ(mediaDemuxer::build_output_path(input), "") << input;
    }
    EXPECT_EQ(mediaDemuxer::build_output_path(nullptr), "");
}

TEST_F(DemuxTest, NullPathOpensNothingAndSetsNothing) {
    const std::string out = capture([] {
        mediaDemuxer demuxer(nullptr, mediaDemuxer::k_type_privacy, "key");
        EXPECT_FALSE(demuxer.is_init);
        EXPECT_EQ(demuxer.fmt_ctx, nullptr);
        EXPECT_EQ(demuxer.privacy_key, "key");
    });
    EXPECT_EQ(get_result_code(), RESULT_OK);
    EXPECT_EQ(out.find("[ERR:"), std::string::npos) << out;
}

TEST_F(DemuxTest, InputsThatCannotBeUsedFailWithTheirCodes) {
    struct failure {
        std::string path;
        int code;
        std::string line;
        bool stays_open;  // the input is kept open until the destructor
    };
    const std::string missing = dir + "/absent.mp4";
    const std::string mkv = dir + "/clip.mkv";
    const std::string part2 = dir + "/part2.mp4";
    const std::string audio_only = dir + "/audio.mp4";
    ASSERT_TRUE(testsupport::make_clip(mkv, "libx264", 64, 64, 3, 25));
    ASSERT_TRUE(testsupport::make_clip(part2, "mpeg4", 64, 64, 3, 25));
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000", "-t", "0.2", "-c:a", "aac",
                        audio_only}));
    const std::vector<failure> cases = {
        {missing, RESULT_OPEN_INPUT_ERROR, "Could not open input file " + missing, false},
        {mkv, RESULT_OPEN_OUTPUT_ERROR, "Could not create output file", false},
        {part2, RESULT_STREAM_FORMAT_ERROR, "unsupport video codec", true},
        {audio_only, RESULT_STREAM_FORMAT_ERROR, "Could not find video stream", false},
    };
    for (const failure& c : cases) {
        SCOPED_TRACE(c.path);
        reset_result_status_for_testing();
        const std::string out = capture([&] {
            mediaDemuxer demuxer(c.path.c_str(), mediaDemuxer::k_type_privacy, "key");
            EXPECT_FALSE(demuxer.is_init);
            EXPECT_EQ(demuxer.fmt_ctx != nullptr, c.stays_open);
            EXPECT_EQ(demuxer.bsf_ctx, nullptr);
            EXPECT_EQ(get_result_code(), c.code);
            // The loop of a demuxer that is not set up returns at once and builds nothing.
            EXPECT_EQ(demuxer.demuxer_media_file_process(), -1);
            EXPECT_FALSE(demuxer.callbacks[0]);
            EXPECT_FALSE(demuxer.callbacks[1]);
            EXPECT_EQ(get_result_code(), c.code);
        });
        EXPECT_NE(out.find("[ERR:"), std::string::npos) << out;
        EXPECT_NE(out.find(logged("ERR", c.line) + " ==func:mediaDemuxer file:demux/mediaDemuxer.cpp"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find(logged("WRN", "mediaDemuxer destruction succeed") + " ==func:~mediaDemuxer"),
                  std::string::npos)
            << out;
        EXPECT_EQ(out.find("videoDecode"), std::string::npos) << "no stage is built";
        EXPECT_EQ(out.find("loop task end"), std::string::npos);
        EXPECT_EQ(out.find("Resolution:"), std::string::npos);
    }
}

TEST_F(DemuxTest, PublishesTheVideoParametersAndLogsTheSummary) {
    const std::string path = dir + "/ntsc.mp4";
    ASSERT_TRUE(testsupport::make_clip(path, "libx264", 64, 48, 6, 30, std::string(), "-r 30000/1001"));
    input_stream_info.audio_time_base = AVRational{7, 11};  // left alone without audio
    const std::string out = capture([&] {
        mediaDemuxer demuxer(path.c_str(), mediaDemuxer::k_type_privacy, "key");
        ASSERT_TRUE(demuxer.is_init);
        EXPECT_EQ(demuxer.demuxer_type, mediaDemuxer::k_type_privacy);
        EXPECT_EQ(demuxer.video_codec_id, AV_CODEC_ID_H264);
        EXPECT_NE(demuxer.bsf_ctx, nullptr);
        EXPECT_NE(demuxer.decrypt_buffer, nullptr);
        EXPECT_EQ(demuxer.videoStreamIdx, 0);
        EXPECT_EQ(demuxer.audioStreamIdx, -1);
        EXPECT_EQ(demuxer.audioCodecpar, nullptr);
        EXPECT_EQ(demuxer.output_path.rfind(dir + "/ntsc_decmosic_", 0), 0u);

        const input_stream_info_t& info = input_stream_info;
        EXPECT_EQ(info.width, 64);
        EXPECT_EQ(info.height, 48);
        EXPECT_EQ(info.fps, 29);
        EXPECT_EQ(info.avg_frame_rate.num, 30000);
        EXPECT_EQ(info.avg_frame_rate.den, 1001);
        EXPECT_EQ(info.pix_fmt, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(info.bit_rate, 8388608) << "a low rate is raised to the floor";
        EXPECT_EQ(info.profile, demuxer.videoCodecpar->profile);
        EXPECT_EQ(info.level, demuxer.videoCodecpar->level);
        EXPECT_EQ(info.duration, demuxer.fmt_ctx->duration);
        EXPECT_EQ(av_cmp_q(info.video_time_base, demuxer.fmt_ctx->streams[0]->time_base), 0);
        EXPECT_EQ(av_cmp_q(info.audio_time_base, AVRational{7, 11}), 0);
        EXPECT_EQ(info.video_stream_index, 0);
        EXPECT_EQ(info.audio_stream_index, -1);
    });
    EXPECT_NE(out.find(logged("WRN", "Resolution: 64 x 48")), std::string::npos) << out;
    EXPECT_NE(out.find(logged("WRN", "Frame Rate: 30000/1001 (29.97 fps) bitrate=8388608")), std::string::npos)
        << out;
    EXPECT_NE(out.find(logged("WRN", "Format: h264")), std::string::npos) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex("videoStreamIdx=0,videoCodecpar=0x[0-9a-f]+")) ) << out;
    EXPECT_NE(out.find(logged("WRN", "audioStreamIdx=-1,audioCodecpar=(nil)")), std::string::npos) << out;
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(DemuxTest, HighBitRateIsPublishedAsItIs) {
    // Lossless pictures at 1000 per second: far above the floor of 8388608.
    const std::string path = dir + "/fast.mp4";
    ASSERT_TRUE(testsupport::make_clip(path, "libx264", 64, 64, 10, 1000, std::string(), "-qp 0 -g 1"));
    mediaDemuxer demuxer(path.c_str(), mediaDemuxer::k_type_privacy, "key");
    ASSERT_TRUE(demuxer.is_init);
    ASSERT_GT(demuxer.videoCodecpar->bit_rate, 8388608);
    EXPECT_EQ(input_stream_info.bit_rate, demuxer.videoCodecpar->bit_rate);
    EXPECT_EQ(input_stream_info.fps, 1000);
}

TEST_F(DemuxTest, TakesTheFirstVideoAndTheFirstAudioStream) {
    // Streams: 0 audio, 1 H.264 video 64x64, 2 MPEG-4 video 96x80 (unusable), 3 audio.
    const std::string path = dir + "/multi.mp4";
    ASSERT_TRUE(ffmpeg({"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000", "-f", "lavfi", "-i",
                        "testsrc2=size=64x64:rate=25", "-f", "lavfi", "-i", "testsrc2=size=96x80:rate=25",
                        "-f", "lavfi", "-i", "sine=frequency=880:sample_rate=16000",
                        "-map", "0:a", "-map", "1:v", "-map", "2:v", "-map", "3:a", "-c:a", "aac", "-c:v:0",
                        "libx264", "-c:v:1", "mpeg4", "-pix_fmt", "yuv420p", "-frames:v", "3", "-t", "0.2",
                        path}));
    mediaDemuxer demuxer(path.c_str(), mediaDemuxer::k_type_privacy, "key");
    ASSERT_TRUE(demuxer.is_init);
    EXPECT_EQ(demuxer.videoStreamIdx, 1);
    EXPECT_EQ(demuxer.audioStreamIdx, 0);
    EXPECT_EQ(demuxer.audioCodecpar, demuxer.fmt_ctx->streams[0]->codecpar);
    EXPECT_EQ(input_stream_info.width, 64);
    EXPECT_EQ(input_stream_info.video_stream_index, 1);
    EXPECT_EQ(input_stream_info.audio_stream_index, 0);
    EXPECT_EQ(av_cmp_q(input_stream_info.audio_time_base, demuxer.fmt_ctx->streams[0]->time_base), 0);
    EXPECT_EQ(input_stream_info.audio_time_base.den, 8000);
}

TEST_F(DemuxTest, VideoDispatchNeedsThePrivacyModeBit) {
    const std::string path = dir + "/clip.mp4";
    ASSERT_TRUE(testsupport::make_clip(path, "libx264", 64, 64, 2, 25));
    mediaDemuxer demuxer(path.c_str(), mediaDemuxer::k_type_privacy, "key");
    ASSERT_TRUE(demuxer.is_init);
    int forwarded = 0;
    demuxer.set_callback(0, [&](void*) { ++forwarded; });

    AVPacket* packet = av_packet_alloc();
    const uint8_t sps[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x0a};
    av_new_packet(packet, sizeof(sps));
    std::copy(sps, sps + sizeof(sps), packet->data);
    demuxer.demuxer_type = 0;
    const std::string out = capture([&] { demuxer.demuxer_video_callback_all(packet); });
    EXPECT_NE(out.find(logged("ERR", "not support demuxer type") + " ==func:demuxer_video_callback_all"),
              std::string::npos)
        << out;
    EXPECT_EQ(forwarded, 0);
    EXPECT_EQ(get_result_code(), RESULT_OK) << "no status for an unknown mode";
    av_packet_free(&packet);
}
