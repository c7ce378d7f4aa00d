// mediaMuxer: container by extension, streams and codec tags, audio copy, timestamp
// rescaling, stream mapping, and what is left on disk after success and after failures.
// Inputs are made by ffmpeg at test time; the video is decoded and re-encoded by the real
// encoder stage, the audio copied, as the pipeline does. Outputs are checked with ffprobe.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/streamInfo.h"
#include "encode/videoEncode.h"
#include "interface/resultStatus.h"
#include "mux/mediaMuxer.h"
#include "tests/support/process.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

using testsupport::file_exists;
using testsupport::list_dir;
using testsupport::run;
using testsupport::scratch_dir;

std::string capture(const std::function<void()>& body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

bool has_line(const std::string& text, const std::string& level, const std::string& message) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("[" + level + ":", 0) == 0 && line.find(message) != std::string::npos) return true;
    }
    return false;
}

bool ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv).exit_code == 0;
}

const std::vector<std::string> k_video_source = {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=12:duration=2"};
const std::vector<std::string> k_audio_source = {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=2"};

// A 2-second clip: 24 frames without B-frames (so decoding time stamps are the
// presentation times), optionally with audio after the video.
bool make_input(const std::string& path, const std::string& video_codec, const std::string& audio_codec,
                const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = k_video_source;
    if (!audio_codec.empty()) args.insert(args.end(), k_audio_source.begin(), k_audio_source.end());
    args.insert(args.end(), {"-frames:v", "24", "-pix_fmt", "yuv420p", "-c:v", video_codec});
    if (video_codec == "libx264") args.insert(args.end(), {"-bf", "0"});
    if (video_codec == "libx265") args.insert(args.end(), {"-x265-params", "bframes=0:log-level=none"});
    if (!audio_codec.empty()) args.insert(args.end(), {"-c:a", audio_codec, "-shortest"});
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(path);
    return ffmpeg(args) && file_exists(path);
}

struct probed_stream {
    int index = -1;
    std::string type, codec, tag;
};

struct probed_packet {
    int stream = -1;
    double time = 0;  // pts, or dts when the container has no pts
};

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, by)) parts.push_back(part);
    return parts;
}

std::vector<probed_stream> probe_streams(const std::string& path) {
    const auto r = run({"ffprobe", "-v", "error", "-show_entries", "stream=index,codec_type,codec_name,codec_tag_string",
                        "-of", "csv=p=0", path});
    std::vector<probed_stream> streams;
    for (const auto& line : split(r.out, '\n')) {
        const auto f = split(line, ',');
        if (f.size() < 4) continue;
        streams.push_back({std::stoi(f[0]), f[2], f[1], f[3]});
    }
    return streams;
}

std::vector<probed_packet> probe_packets(const std::string& path) {
    const auto r = run({"ffprobe", "-v", "error", "-show_entries", "packet=stream_index,pts_time,dts_time", "-of",
                        "csv=p=0", path});
    std::vector<probed_packet> packets;
    for (const auto& line : split(r.out, '\n')) {
        const auto f = split(line, ',');
        if (f.size() < 3 || f[0].empty()) continue;
        const std::string& time = f[1] != "N/A" ? f[1] : f[2];
        if (time == "N/A") continue;
        packets.push_back({std::stoi(f[0]), std::stod(time)});
    }
    return packets;
}

std::string probe_major_brand(const std::string& path) {
    const auto r = run({"ffprobe", "-v", "error", "-show_entries", "format_tags=major_brand", "-of",
                        "default=nw=1:nk=1", path});
    return r.out.substr(0, r.out.find('\n'));
}

std::vector<double> times_of(const std::vector<probed_packet>& packets, int stream) {
    std::vector<double> times;
    for (const auto& p : packets) {
        if (p.stream == stream) times.push_back(p.time);
    }
    return times;
}

struct format_closer {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};

// Opens an input and publishes its parameters the way the demuxer does.
std::unique_ptr<AVFormatContext, format_closer> open_and_publish(const std::string& path) {
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    std::unique_ptr<AVFormatContext, format_closer> fmt(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0) return nullptr;
    input_stream_info = input_stream_info_t{};
    input_stream_info.video_stream_index = -1;
    input_stream_info.audio_stream_index = -1;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        const AVStream* st = raw->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && input_stream_info.video_stream_index < 0) {
            input_stream_info.video_stream_index = static_cast<int>(i);
            input_stream_info.width = st->codecpar->width;
            input_stream_info.height = st->codecpar->height;
            input_stream_info.fps = st->avg_frame_rate.den
                                        ? static_cast<int>(static_cast<double>(st->avg_frame_rate.num) /
                                                           st->avg_frame_rate.den)
                                        : 0;
            input_stream_info.bit_rate = std::max<int64_t>(st->codecpar->bit_rate, 8388608);
            input_stream_info.profile = st->codecpar->profile;
            input_stream_info.level = st->codecpar->level;
            input_stream_info.field_order = st->codecpar->field_order;
            input_stream_info.video_time_base = st->time_base;
        } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && input_stream_info.audio_stream_index < 0) {
            input_stream_info.audio_stream_index = static_cast<int>(i);
            input_stream_info.audio_time_base = st->time_base;
        }
    }
    return fmt;
}

struct pipeline_result {
    std::vector<double> video_times;  // decoding times of the input's video packets, seconds
    std::vector<double> audio_times;  // presentation times of the input's audio packets
    std::string log;                  // stdout while the stages were built and torn down
};

// Decodes the input's video and hands the frames to a real encoder stage whose slot 0 feeds
// the muxer; hands audio packets to the muxer directly. before_muxer_end runs after the
// encoder is gone and before the muxer is destroyed.
pipeline_result run_pipeline(const std::string& in_path, const std::string& out_path, bool with_audio = true,
                             const std::function<void(mediaMuxer&)>& before_muxer_end = {}) {
    pipeline_result result;
    auto fmt = open_and_publish(in_path);
    if (!fmt) {
        ADD_FAILURE() << "cannot open " << in_path;
        return result;
    }
    const int vi = input_stream_info.video_stream_index;
    const int ai = with_audio ? input_stream_info.audio_stream_index : -1;
    const AVStream* video = fmt->streams[vi];

    const AVCodec* decoder_codec = avcodec_find_decoder(video->codecpar->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(decoder_codec);
    avcodec_parameters_to_context(decoder, video->codecpar);
    decoder->pkt_timebase = video->time_base;
    EXPECT_GE(avcodec_open2(decoder, decoder_codec, nullptr), 0);

    videoEncode* encoder = nullptr;
    mediaMuxer* muxer = nullptr;
    result.log += capture([&] {
        encoder = new videoEncode(video->codecpar->codec_id, &input_stream_info);
        muxer = new mediaMuxer(out_path.c_str(), encoder->is_init ? encoder->codec_ctx : nullptr,
                               ai >= 0 ? fmt->streams[ai]->codecpar : nullptr);
    });
    encoder->set_callback(0, std::bind(&common::push_data, muxer, std::placeholders::_1));

    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain_decoder = [&] {
        while (avcodec_receive_frame(decoder, frame) == 0) {
            encoder->push_data(frame);
            av_frame_unref(frame);
        }
    };
    while (av_read_frame(fmt.get(), pkt) >= 0) {
        if (pkt->stream_index == vi) {
            result.video_times.push_back(pkt->dts * av_q2d(video->time_base));
            avcodec_send_packet(decoder, pkt);
            drain_decoder();
        } else if (pkt->stream_index == ai) {
            result.audio_times.push_back(pkt->pts * av_q2d(fmt->streams[ai]->time_base));
            muxer->push_data(pkt);
        }
        av_packet_unref(pkt);
    }
    avcodec_send_packet(decoder, nullptr);
    drain_decoder();
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&decoder);

    result.log += capture([&] { delete encoder; });
    if (before_muxer_end) before_muxer_end(*muxer);
    result.log += capture([&] { delete muxer; });
    return result;
}

void expect_same_times(const std::vector<double>& expected, const std::vector<double>& got, double tolerance,
                       const char* what) {
    ASSERT_EQ(got.size(), expected.size()) << what;
    for (size_t i = 0; i < got.size(); ++i) EXPECT_NEAR(got[i], expected[i], tolerance) << what << " " << i;
}

class Muxer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not available";
        reset_result_status_for_testing();
        dir = scratch_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { reset_result_status_for_testing(); }
    std::string dir;
};

}  // namespace

TEST_F(Muxer, Mp4InAnyLetterCaseIsWrittenByTheMovMuxerWithVideoAndCopiedAudio) {
    // A video time base of 1/600 makes the output's differ (the mov muxer raises it), so
    // the video timestamps have to be rescaled to come out right.
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(make_input(in, "libx264", "aac", {"-video_track_timescale", "600"}));
    for (const std::string name : {"out.mp4", "OUT.MP4", "Out.mP4"}) {
        SCOPED_TRACE(name);
        reset_result_status_for_testing();
        const std::string out = dir + "/" + name;
        const auto r = run_pipeline(in, out);
        EXPECT_EQ(get_result_code(), RESULT_OK) << r.log;
        ASSERT_TRUE(file_exists(out)) << r.log;
        EXPECT_TRUE(has_line(r.log, "WRN", "mediaMuxer loop task end")) << r.log;
        EXPECT_TRUE(has_line(r.log, "WRN", "mediaMuxer destruction succeed")) << r.log;

        const auto streams = probe_streams(out);
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0].type, "video");
        EXPECT_EQ(streams[0].codec, "h264");
        EXPECT_EQ(streams[0].tag, "avc1");
        EXPECT_EQ(streams[1].type, "audio");
        EXPECT_EQ(streams[1].codec, "aac");
        // "mov", not "mp4": its file type box names QuickTime.
        EXPECT_EQ(probe_major_brand(out), "qt  ");

        const auto packets = probe_packets(out);
        expect_same_times(r.video_times, times_of(packets, 0), 0.002, "video");
        expect_same_times(r.audio_times, times_of(packets, 1), 0.0005, "audio");
        unlink(out.c_str());
    }
}

TEST_F(Muxer, AviGetsTheTagHEVCForHevcAndTheMuxersChoiceForH264) {
    struct clip {
        std::string codec, encoder, out, tag;
    };
    for (const clip& c : {clip{"hevc", "libx265", "out.avi", "HEVC"}, clip{"h264", "libx264", "OUT.AVI", "H264"}}) {
        SCOPED_TRACE(c.codec);
        reset_result_status_for_testing();
        const std::string in = dir + "/in_" + c.codec + ".avi";
        std::vector<std::string> extra;
        if (c.codec == "hevc") extra = {"-tag:v", "HEVC"};
        ASSERT_TRUE(make_input(in, c.encoder, "mp2", extra));
        const std::string out = dir + "/" + c.out;
        const auto r = run_pipeline(in, out);
        EXPECT_EQ(get_result_code(), RESULT_OK) << r.log;
        ASSERT_TRUE(file_exists(out)) << r.log;

        const auto streams = probe_streams(out);
        ASSERT_EQ(streams.size(), 2u);
        EXPECT_EQ(streams[0].codec, c.codec);
        EXPECT_EQ(streams[0].tag, c.tag);
        EXPECT_EQ(streams[1].codec, "mp2");
        const auto packets = probe_packets(out);
        expect_same_times(r.video_times, times_of(packets, 0), 0.001, "video");
        expect_same_times(r.audio_times, times_of(packets, 1), 0.001, "audio");
    }
}

TEST_F(Muxer, PacketsFindTheirOutputStreamWhateverTheInputOrder) {
    // Audio first, video second, millisecond time bases on both (Matroska): the output has
    // video at 0 and audio at 1, and both time bases differ from the input's.
    const std::string in = dir + "/audio_first.mkv";
    std::vector<std::string> args = k_audio_source;
    args.insert(args.end(), k_video_source.begin(), k_video_source.end());
    args.insert(args.end(), {"-map", "0:a", "-map", "1:v", "-pix_fmt", "yuv420p", "-c:v", "libx264", "-bf", "0",
                             "-c:a", "aac", in});
    ASSERT_TRUE(ffmpeg(args));
    {
        auto fmt = open_and_publish(in);
        ASSERT_TRUE(fmt);
        ASSERT_EQ(input_stream_info.audio_stream_index, 0);
        ASSERT_EQ(input_stream_info.video_stream_index, 1);
    }
    const std::string out = dir + "/out.mp4";
    const auto r = run_pipeline(in, out);
    EXPECT_EQ(get_result_code(), RESULT_OK) << r.log;
    ASSERT_TRUE(file_exists(out)) << r.log;
    const auto streams = probe_streams(out);
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].type, "video");
    EXPECT_EQ(streams[1].type, "audio");
    const auto packets = probe_packets(out);
    ASSERT_EQ(r.video_times.size(), 24u);
    expect_same_times(r.video_times, times_of(packets, 0), 0.002, "video");
    expect_same_times(r.audio_times, times_of(packets, 1), 0.002, "audio");
}

TEST_F(Muxer, InputWithoutAudioGivesAVideoOnlyFile) {
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(make_input(in, "libx264", ""));
    const std::string out = dir + "/out.mp4";
    const auto r = run_pipeline(in, out);
    EXPECT_EQ(get_result_code(), RESULT_OK) << r.log;
    const auto streams = probe_streams(out);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].type, "video");
    EXPECT_EQ(times_of(probe_packets(out), 0).size(), 24u);
}

TEST_F(Muxer, RunWithoutAVideoPacketEndsWithStatus5AndNoFile) {
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(make_input(in, "libx264", "aac"));
    auto fmt = open_and_publish(in);
    ASSERT_TRUE(fmt);
    const int ai = input_stream_info.audio_stream_index;
    encode_params p = input_stream_info;
    videoEncode encoder(fmt->streams[input_stream_info.video_stream_index]->codecpar->codec_id, &p);
    ASSERT_TRUE(encoder.is_init);
    const std::string out = dir + "/out.mp4";
    std::string log;
    auto* muxer = new mediaMuxer(out.c_str(), encoder.codec_ctx, fmt->streams[ai]->codecpar);
    ASSERT_TRUE(muxer->is_init);
    EXPECT_TRUE(file_exists(out));
    // Audio alone reaches the muxer.
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fmt.get(), pkt) >= 0) {
        if (pkt->stream_index == ai) muxer->push_data(pkt);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    log = capture([&] { delete muxer; });
    EXPECT_EQ(get_result_code(), RESULT_STREAM_FORMAT_ERROR);
    EXPECT_TRUE(has_line(log, "ERR", "media Muxer cnt is null")) << log;
    EXPECT_FALSE(file_exists(out));
    EXPECT_EQ(list_dir(dir), std::vector<std::string>{"in.mp4"});
}

TEST_F(Muxer, SetUpFailuresGiveCode4AndLeaveNoFile) {
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(make_input(in, "libx264", "aac"));
    auto fmt = open_and_publish(in);
    ASSERT_TRUE(fmt);
    encode_params p = input_stream_info;
    videoEncode encoder(AV_CODEC_ID_H264, &p);
    ASSERT_TRUE(encoder.is_init);
    AVCodecParameters* audio = fmt->streams[input_stream_info.audio_stream_index]->codecpar;

    ASSERT_EQ(mkdir((dir + "/taken.mp4").c_str(), 0755), 0);
    struct failure {
        std::string path, message;
    };
    for (const failure& f : {failure{dir + "/missing/out.mp4", "Could not open output file '" + dir + "/missing/out.mp4'"},
                             failure{dir + "/taken.mp4", "Could not open output file '" + dir + "/taken.mp4'"},
                             failure{dir + "/out.xyz", "Could not create output context"}}) {
        SCOPED_TRACE(f.path);
        reset_result_status_for_testing();
        mediaMuxer* muxer = nullptr;
        std::string log = capture([&] { muxer = new mediaMuxer(f.path.c_str(), encoder.codec_ctx, audio); });
        EXPECT_FALSE(muxer->is_init);
        EXPECT_FALSE(muxer->work_thread.joinable());
        EXPECT_EQ(muxer->out_fmt_ctx, nullptr);
        EXPECT_EQ(get_result_code(), RESULT_OPEN_OUTPUT_ERROR);
        EXPECT_TRUE(has_line(log, "ERR", f.message)) << log;
        log = capture([&] { delete muxer; });
        EXPECT_TRUE(has_line(log, "WRN", "mediaMuxer destruction succeed")) << log;
        EXPECT_FALSE(has_line(log, "ERR", "media Muxer cnt is null")) << log;
        EXPECT_EQ(get_result_code(), RESULT_OPEN_OUTPUT_ERROR);
    }
    // The folder that stood where the file should go is left alone.
    struct stat st {};
    ASSERT_EQ(stat((dir + "/taken.mp4").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // A header that cannot be written (an audio stream without a sample rate): the file
    // had been created already and is taken away again.
    reset_result_status_for_testing();
    AVCodecParameters* broken = avcodec_parameters_alloc();
    avcodec_parameters_copy(broken, audio);
    broken->sample_rate = 0;
    const std::string out = dir + "/header.mp4";
    mediaMuxer* muxer = nullptr;
    std::string log = capture([&] { muxer = new mediaMuxer(out.c_str(), encoder.codec_ctx, broken); });
    avcodec_parameters_free(&broken);
    EXPECT_FALSE(muxer->is_init);
    EXPECT_EQ(get_result_code(), RESULT_OPEN_OUTPUT_ERROR);
    EXPECT_TRUE(has_line(log, "ERR", "Error occurred when opening output file ")) << log;
    EXPECT_FALSE(file_exists(out));
    delete muxer;
    EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"in.mp4", "taken.mp4"}));
}

TEST_F(Muxer, FailureSetElsewhereRemovesTheFinishedFile) {
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(make_input(in, "libx264", "aac"));
    const std::string out = dir + "/out.mp4";
    bool existed = false;
    const auto r = run_pipeline(in, out, true, [&](mediaMuxer&) {
        existed = file_exists(out);
        set_result_status(RESULT_KEY_INCORRECT);
    });
    EXPECT_TRUE(existed);
    EXPECT_FALSE(file_exists(out)) << r.log;
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
    EXPECT_FALSE(has_line(r.log, "ERR", "media Muxer cnt is null")) << r.log;
}

TEST_F(Muxer, FileThatCannotBeRemovedIsAWarningOnly) {
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(make_input(in, "libx264", ""));
    const std::string out = dir + "/out.mp4";
    const auto r = run_pipeline(in, out, true, [&](mediaMuxer&) {
        set_result_status(RESULT_DECODER_ERROR);
        unlink(out.c_str());  // gone before the muxer tries
    });
    EXPECT_TRUE(has_line(r.log, "WRN", "Failed to remove file: No such file or directory")) << r.log;
    EXPECT_TRUE(has_line(r.log, "WRN", "mediaMuxer destruction succeed")) << r.log;
    EXPECT_EQ(get_result_code(), RESULT_DECODER_ERROR);
}

TEST_F(Muxer, NoEncoderMeansNoVideoStream) {
    // The encoder failed (status 9 is already set); the muxer still builds, with audio only,
    // and removes its file at the end.
    const std::string in = dir + "/in.mp4";
    ASSERT_TRUE(make_input(in, "libx264", "aac"));
    auto fmt = open_and_publish(in);
    ASSERT_TRUE(fmt);
    set_result_status(RESULT_ENCODER_ERROR);
    const std::string out = dir + "/out.mp4";
    auto* muxer = new mediaMuxer(out.c_str(), nullptr, fmt->streams[input_stream_info.audio_stream_index]->codecpar);
    EXPECT_EQ(muxer->out_video_stream, nullptr);
    if (muxer->is_init) {
        ASSERT_NE(muxer->out_audio_stream, nullptr);
        EXPECT_EQ(muxer->out_audio_stream->index, 0);
    }
    delete muxer;
    EXPECT_EQ(get_result_code(), RESULT_ENCODER_ERROR);
    EXPECT_FALSE(file_exists(out));
}
