// mediaMuxer: container by extension, streams and codec tags, copied audio, rescaled
// timestamps, stream mapping, and what is left on disk after success and after failures.
// Inputs are made by ffmpeg; their video is decoded and re-encoded by the real encoder stage
// and their audio copied, as in a run. Outputs are read back with ffprobe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "common/streamInfo.h"
#include "encode/videoEncode.h"
#include "interface/resultStatus.h"
#include "mux/mediaMuxer.h"
#include "tests/support/process.h"

using testsupport::file_exists;
using testsupport::run;

namespace {

std::string capture(const std::function<void()>& body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

bool has_line(const std::string& log, const std::string& level, const std::string& message) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("[" + level + ":", 0) == 0 && line.find(message) != std::string::npos) return true;
    return false;
}

// 2 seconds, 24 frames without B-frames (decoding times are presentation times).
bool make_input(const std::string& path, const std::string& video, const std::string& audio,
                std::vector<std::string> extra = {}, bool audio_first = false) {
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    const std::vector<std::string> v_src = {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=12:duration=2"};
    const std::vector<std::string> a_src = {"-f", "lavfi", "-i", "sine=sample_rate=48000:duration=2"};
    a.insert(a.end(), (audio_first ? a_src : v_src).begin(), (audio_first ? a_src : v_src).end());
    if (!audio.empty()) a.insert(a.end(), (audio_first ? v_src : a_src).begin(), (audio_first ? v_src : a_src).end());
    if (audio_first) a.insert(a.end(), {"-map", "0:a", "-map", "1:v"});
    a.insert(a.end(), {"-pix_fmt", "yuv420p", "-c:v", video, "-bf", "0", "-x265-params", "bframes=0:log-level=none"});
    if (!audio.empty()) a.insert(a.end(), {"-c:a", audio});
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(path);
    return run(a).exit_code == 0;
}

// ffprobe's csv lines for the given entries.
std::vector<std::vector<std::string>> probe(const std::string& path, const std::string& entries) {
    const auto r = run({"ffprobe", "-v", "error", "-show_entries", entries, "-of", "csv=p=0", path});
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string f; std::getline(in, f, ',');) fields.push_back(f);
        if (fields.size() > 1) rows.push_back(fields);
    }
    return rows;
}

// "index:type:codec:tag" per stream.
std::vector<std::string> streams_of(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& f : probe(path, "stream=index,codec_type,codec_name,codec_tag_string"))
        out.push_back(f[0] + ":" + f[2] + ":" + f[1] + ":" + f[3]);
    return out;
}

// Packet times (pts, or dts where the container has none) of one output stream, in seconds.
std::vector<double> times_of(const std::string& path, int stream) {
    std::vector<double> times;
    for (const auto& f : probe(path, "packet=stream_index,pts_time,dts_time"))
        if (f.size() >= 3 && std::stoi(f[0]) == stream) times.push_back(std::stod(f[1] != "N/A" ? f[1] : f[2]));
    return times;
}

void expect_times(const std::vector<double>& expected, const std::vector<double>& got, double tolerance) {
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], expected[i], tolerance) << i;
}

struct input_closer {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using input_ptr = std::unique_ptr<AVFormatContext, input_closer>;

// Opens an input and publishes its parameters as the demuxer does.
input_ptr open_and_publish(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    input_ptr in(raw);
    avformat_find_stream_info(raw, nullptr);
    input_stream_info = input_stream_info_t{};
    input_stream_info.audio_stream_index = std::max(-1, av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0));
    input_stream_info.video_stream_index = av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVStream* v = raw->streams[input_stream_info.video_stream_index];
    input_stream_info.width = v->codecpar->width;
    input_stream_info.height = v->codecpar->height;
    input_stream_info.fps = static_cast<int>(av_q2d(v->avg_frame_rate));
    input_stream_info.bit_rate = 8388608;
    input_stream_info.profile = v->codecpar->profile;
    input_stream_info.level = v->codecpar->level;
    input_stream_info.video_time_base = v->time_base;
    if (input_stream_info.audio_stream_index >= 0)
        input_stream_info.audio_time_base = raw->streams[input_stream_info.audio_stream_index]->time_base;
    return in;
}

struct pipeline_run {
    std::vector<double> video_times, audio_times;  // of the input's packets, seconds
    std::string log;
};

// Decoder (FFmpeg's) -> videoEncode -> mediaMuxer, audio straight to the muxer.
// before_end runs between the encoder's and the muxer's destruction.
pipeline_run run_pipeline(const std::string& in_path, const std::string& out_path,
                          const std::function<void()>& before_end = {}) {
    pipeline_run r;
    input_ptr in = open_and_publish(in_path);
    const int vi = input_stream_info.video_stream_index, ai = input_stream_info.audio_stream_index;
    const AVStream* v = in->streams[vi];
    const AVCodec* codec = avcodec_find_decoder(v->codecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, v->codecpar);
    avcodec_open2(dec, codec, nullptr);

    videoEncode* encoder = nullptr;
    mediaMuxer* muxer = nullptr;
    r.log = capture([&] {
        encoder = new videoEncode(v->codecpar->codec_id, &input_stream_info);
        muxer = new mediaMuxer(out_path.c_str(), encoder->codec_ctx, ai >= 0 ? in->streams[ai]->codecpar : nullptr);
    });
    encoder->set_callback(0, std::bind(&common::push_data, muxer, std::placeholders::_1));
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto to_encoder = [&] {
        for (; avcodec_receive_frame(dec, frame) == 0; av_frame_unref(frame)) encoder->push_data(frame);
    };
    for (; av_read_frame(in.get(), pkt) >= 0; av_packet_unref(pkt)) {
        if (pkt->stream_index == vi) {
            r.video_times.push_back(pkt->dts * av_q2d(v->time_base));
            avcodec_send_packet(dec, pkt);
            to_encoder();
        } else if (pkt->stream_index == ai) {
            r.audio_times.push_back(pkt->pts * av_q2d(in->streams[ai]->time_base));
            muxer->push_data(pkt);
        }
    }
    avcodec_send_packet(dec, nullptr);
    to_encoder();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    r.log += capture([&] { delete encoder; });
    if (before_end) before_end();
    r.log += capture([&] { delete muxer; });
    return r;
}

class Muxer : public ::testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        dir = testsupport::scratch_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { reset_result_status_for_testing(); }
    std::string dir;
};

}  // namespace

TEST_F(Muxer, Mp4InAnyLetterCaseIsWrittenByMovWithRescaledVideoAndCopiedAudio) {
    // Video time base 1/600: the mov muxer raises it, so only a rescale gets the times right.
    ASSERT_TRUE(make_input(dir + "/in.mp4", "libx264", "aac", {"-video_track_timescale", "600"}));
    for (const std::string name : {"/out.mp4", "/OUT.MP4", "/o.mP4"}) {
        reset_result_status_for_testing();
        const auto r = run_pipeline(dir + "/in.mp4", dir + name);
        EXPECT_EQ(get_result_code(), RESULT_OK) << r.log;
        EXPECT_TRUE(has_line(r.log, "WRN", "mediaMuxer loop task end")) << r.log;
        EXPECT_EQ(streams_of(dir + name), (std::vector<std::string>{"0:video:h264:avc1", "1:audio:aac:mp4a"}));
        // The "mov" muxer, not "mp4": its file type box names QuickTime.
        EXPECT_EQ(run({"ffprobe", "-v", "error", "-show_entries", "format_tags=major_brand", "-of", "csv=p=0",
                       dir + name}).out, "qt  \n") << name;
        expect_times(r.video_times, times_of(dir + name, 0), 0.002);
        expect_times(r.audio_times, times_of(dir + name, 1), 0.0005);
    }
}

TEST_F(Muxer, AviTagsHevcAsHEVCAndLeavesH264ToTheMuxer) {
    for (const std::string codec : {"hevc", "h264"}) {
        const std::string in = dir + "/" + codec + ".avi", out = dir + "/" + codec + "_out.AVI";
        const std::vector<std::string> tag = codec == "hevc" ? std::vector<std::string>{"-tag:v", "HEVC"}
                                                             : std::vector<std::string>{};
        ASSERT_TRUE(make_input(in, codec == "hevc" ? "libx265" : "libx264", "mp2", tag));
        const auto r = run_pipeline(in, out);
        EXPECT_EQ(get_result_code(), RESULT_OK) << r.log;
        EXPECT_EQ(streams_of(out), (std::vector<std::string>{"0:video:" + codec + ":" + (codec == "hevc" ? "HEVC" : "H264"),
                                                             "1:audio:mp2:P[0][0][0]"}));
        expect_times(r.video_times, times_of(out, 0), 0.001);
        expect_times(r.audio_times, times_of(out, 1), 0.001);
    }
}

TEST_F(Muxer, PacketsReachTheirOutputStreamWhateverTheInputOrder) {
    // Audio at 0, video at 1, millisecond time bases (Matroska) on both.
    ASSERT_TRUE(make_input(dir + "/in.mkv", "libx264", "aac", {}, true));
    const auto r = run_pipeline(dir + "/in.mkv", dir + "/out.mp4");
    ASSERT_EQ(input_stream_info.video_stream_index, 1);
    EXPECT_EQ(get_result_code(), RESULT_OK) << r.log;
    EXPECT_EQ(streams_of(dir + "/out.mp4"), (std::vector<std::string>{"0:video:h264:avc1", "1:audio:aac:mp4a"}));
    ASSERT_EQ(r.video_times.size(), 24u);
    expect_times(r.video_times, times_of(dir + "/out.mp4", 0), 0.002);
    expect_times(r.audio_times, times_of(dir + "/out.mp4", 1), 0.002);
}

TEST_F(Muxer, RunWithoutVideoPacketsEndsWithStatus5AndNoFile) {
    ASSERT_TRUE(make_input(dir + "/in.mp4", "libx264", "aac"));
    input_ptr in = open_and_publish(dir + "/in.mp4");
    videoEncode encoder(AV_CODEC_ID_H264, &input_stream_info);
    const int ai = input_stream_info.audio_stream_index;
    auto* muxer = new mediaMuxer((dir + "/out.mp4").c_str(), encoder.codec_ctx, in->streams[ai]->codecpar);
    ASSERT_TRUE(muxer->is_init);
    EXPECT_TRUE(file_exists(dir + "/out.mp4"));
    AVPacket* pkt = av_packet_alloc();
    for (; av_read_frame(in.get(), pkt) >= 0; av_packet_unref(pkt))
        if (pkt->stream_index == ai) muxer->push_data(pkt);  // audio alone
    av_packet_free(&pkt);
    const std::string log = capture([&] { delete muxer; });
    EXPECT_EQ(get_result_code(), RESULT_STREAM_FORMAT_ERROR);
    EXPECT_TRUE(has_line(log, "ERR", "media Muxer cnt is null")) << log;
    EXPECT_EQ(testsupport::list_dir(dir), std::vector<std::string>{"in.mp4"});
}

TEST_F(Muxer, SetUpFailuresGiveCode4AndLeaveNoFile) {
    ASSERT_TRUE(make_input(dir + "/in.mp4", "libx264", "aac"));
    input_ptr in = open_and_publish(dir + "/in.mp4");
    videoEncode encoder(AV_CODEC_ID_H264, &input_stream_info);
    AVCodecParameters* audio = avcodec_parameters_alloc();
    avcodec_parameters_copy(audio, in->streams[input_stream_info.audio_stream_index]->codecpar);
    ASSERT_EQ(mkdir((dir + "/taken.mp4").c_str(), 0755), 0);
    struct failure {
        std::string path, message;
        int sample_rate;
    };
    for (const failure& f : {failure{dir + "/missing/o.mp4", "Could not open output file '" + dir + "/missing/o.mp4'", 48000},
                             failure{dir + "/taken.mp4", "Could not open output file '" + dir + "/taken.mp4'", 48000},
                             failure{dir + "/o.xyz", "Could not create output context", 48000},
                             // The header fails after the file was created (audio without a rate).
                             failure{dir + "/o.mp4", "Error occurred when opening output file ", 0}}) {
        reset_result_status_for_testing();
        audio->sample_rate = f.sample_rate;
        mediaMuxer* muxer = nullptr;
        std::string log = capture([&] { muxer = new mediaMuxer(f.path.c_str(), encoder.codec_ctx, audio); });
        EXPECT_FALSE(muxer->is_init);
        EXPECT_EQ(muxer->out_fmt_ctx, nullptr);
        EXPECT_TRUE(has_line(log, "ERR", f.message)) << log;
        log = capture([&] { delete muxer; });
        EXPECT_EQ(log.find("[ERR:"), std::string::npos) << log;
        EXPECT_EQ(get_result_code(), RESULT_OPEN_OUTPUT_ERROR);
    }
    avcodec_parameters_free(&audio);
    struct stat st {};
    EXPECT_TRUE(stat((dir + "/taken.mp4").c_str(), &st) == 0 && S_ISDIR(st.st_mode));  // left alone
    EXPECT_EQ(testsupport::list_dir(dir), (std::vector<std::string>{"in.mp4", "taken.mp4"}));
}

TEST_F(Muxer, FailureSetElsewhereRemovesTheFinishedFileAndAFailedRemovalOnlyWarns) {
    ASSERT_TRUE(make_input(dir + "/in.mp4", "libx264", ""));
    bool existed = false;
    auto r = run_pipeline(dir + "/in.mp4", dir + "/out.mp4", [&] {
        existed = file_exists(dir + "/out.mp4");
        set_result_status(RESULT_KEY_INCORRECT);
    });
    EXPECT_TRUE(existed);
    EXPECT_FALSE(file_exists(dir + "/out.mp4")) << r.log;
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);

    reset_result_status_for_testing();
    r = run_pipeline(dir + "/in.mp4", dir + "/out.mp4", [&] {
        set_result_status(RESULT_DECODER_ERROR);
        unlink((dir + "/out.mp4").c_str());  // gone before the muxer tries
    });
    EXPECT_TRUE(has_line(r.log, "WRN", "Failed to remove file: No such file or directory")) << r.log;
    EXPECT_TRUE(has_line(r.log, "WRN", "mediaMuxer destruction succeed")) << r.log;
    EXPECT_EQ(get_result_code(), RESULT_DECODER_ERROR);
}
