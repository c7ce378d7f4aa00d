// mediaMuxer: container by extension, codec tags, copied audio and rescaled timestamps,
// stream mapping, and what is left on disk after failures. Inputs are made by ffmpeg and
// opened by the real demuxer; their video is decoded and re-encoded by the real encoder
// stage and their audio copied, as in a run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "demux/mediaDemuxer.h"
#include "encode/videoEncode.h"
#include "mux/mediaMuxer.h"
#include "tests/support/media.h"
#include "tests/support/process.h"
#include "tests/support/remux.h"

namespace {

// "codec:tag" per stream.
std::vector<std::string> streams_of(const std::string& path) {
    std::vector<std::string> out;
    for (const auto& s : testsupport::probe_streams(path)) {
        char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
        out.push_back(std::string(avcodec_get_name(static_cast<AVCodecID>(s.codec_id))) + ":" +
                      av_fourcc_make_string(tag, s.codec_tag));
    }
    return out;
}

// Packet times in seconds (pts, or dts where the container has none) of each stream.
std::vector<std::vector<double>> times_of(const std::string& path) {
    std::vector<std::vector<double>> times;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return times;
    times.resize(fmt->nb_streams);
    AVPacket* p = av_packet_alloc();
    for (; av_read_frame(fmt, p) >= 0; av_packet_unref(p)) {
        const int64_t t = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        times[p->stream_index].push_back(t * av_q2d(fmt->streams[p->stream_index]->time_base));
    }
    av_packet_free(&p);
    avformat_close_input(&fmt);
    return times;
}

// Demuxer -> FFmpeg's decoder -> videoEncode -> mediaMuxer, audio straight to the muxer.
void run_pipeline(job_context& job, const std::string& in_path, const std::string& out_path) {
    mediaDemuxer in(job, in_path.c_str(), mediaDemuxer::k_type_privacy, "key");
    EXPECT_TRUE(in.is_init);
    const AVCodec* codec = avcodec_find_decoder(in.videoCodecpar->codec_id);
    AVCodecContext* dec = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(dec, in.videoCodecpar);
    avcodec_open2(dec, codec, nullptr);
    auto encoder = std::make_unique<videoEncode>(job, in.videoCodecpar->codec_id, &job.input_stream_info);
    auto* muxer = new mediaMuxer(job, out_path.c_str(), encoder->codec_ctx, in.audioCodecpar);
    encoder->set_callback(0, [muxer](void* p) { muxer->push_data(p); });
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    for (bool more = true; more; av_packet_unref(pkt)) {
        more = av_read_frame(in.fmt_ctx, pkt) >= 0;
        if (more && pkt->stream_index == in.audioStreamIdx) muxer->push_data(pkt);
        if (more && pkt->stream_index != in.videoStreamIdx) continue;
        avcodec_send_packet(dec, more ? pkt : nullptr);
        for (; avcodec_receive_frame(dec, frame) == 0; av_frame_unref(frame)) encoder->push_data(frame);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    encoder.reset();
    delete muxer;
}

// 2 seconds, 24 frames without B-frames (decoding times are presentation times), with audio.
bool make_input(const std::string& path, const std::string& video, const std::string& audio,
                std::vector<std::string> more = {}) {
    std::vector<std::string> a = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                  "testsrc2=size=64x48:rate=12:duration=2", "-f", "lavfi", "-i",
                                  "sine=sample_rate=48000:duration=2", "-pix_fmt", "yuv420p", "-c:v", video, "-bf", "0",
                                  "-x265-params", "bframes=0:log-level=none", "-c:a", audio};
    a.insert(a.end(), more.begin(), more.end());
    a.push_back(path);
    return testsupport::run(a).exit_code == 0;
}

class Muxer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::test_scratch_dir("mux_");
        job.use_console();  // its lines on stdout, as the program prints them
    }
    std::string dir;
    job_context job;
};

}  // namespace

TEST_F(Muxer, StreamsTagsAndTimesByContainer) {
    struct mux_case {
        std::string video, audio;
        std::vector<std::string> more;  // ffmpeg options for the input
        std::string in, out;
        std::vector<std::string> streams;
    };
    const mux_case cases[] = {
        // Video time base 1/600: the mov muxer raises it, so only a rescale gets the times right.
        {"libx264", "aac", {"-video_track_timescale", "600"}, "in.mp4", "OUT.MP4", {"h264:avc1", "aac:mp4a"}},
        {"libx265", "mp2", {"-tag:v", "HEVC"}, "hevc.avi", "o.AVI", {"hevc:HEVC", "mp2:P[0][0][0]"}},
        // Audio at 0, video at 1: each packet still reaches its own output stream.
        {"libx264", "aac", {"-map", "1:a", "-map", "0:v"}, "swapped.mp4", "s.mp4", {"h264:avc1", "aac:mp4a"}}};
    for (const mux_case& c : cases) {
        SCOPED_TRACE(c.out);
        ASSERT_TRUE(make_input(dir + "/" + c.in, c.video, c.audio, c.more));
        run_pipeline(job, dir + "/" + c.in, dir + "/" + c.out);
        EXPECT_EQ(job.get_result_code(), RESULT_OK);
        EXPECT_EQ(streams_of(dir + "/" + c.out), c.streams);
        const auto in = times_of(dir + "/" + c.in), out = times_of(dir + "/" + c.out);
        ASSERT_EQ(out.size(), 2u);
        for (int s = 0; s < 2; ++s) {
            const input_stream_info_t& info = job.input_stream_info;
            const auto& expected = in[s == 0 ? info.video_stream_index : info.audio_stream_index];
            ASSERT_EQ(out[s].size(), expected.size()) << s;
            for (size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(out[s][i], expected[i], 0.002) << s << " " << i;
        }
    }
}

TEST_F(Muxer, FailuresLeaveNoFile) {
    ASSERT_TRUE(make_input(dir + "/in.mp4", "libx264", "aac"));
    // Set-up failures give code 4: no folder, a folder or a file in the way (never opened,
    // let alone truncated), an unknown extension.
    mediaDemuxer in(job, (dir + "/in.mp4").c_str(), mediaDemuxer::k_type_privacy, "key");
    videoEncode encoder(job, AV_CODEC_ID_H264, &job.input_stream_info);
    ASSERT_EQ(mkdir((dir + "/taken.mp4").c_str(), 0755), 0);
    ASSERT_TRUE(testsupport::write_bytes(dir + "/kept.mp4", {1, 2, 3}));
    for (const std::string name : {"missing/o.mp4", "taken.mp4", "kept.mp4", "o.xyz"}) {
        job.set_result_status(RESULT_OK);
        std::unique_ptr<mediaMuxer> muxer;
        const std::string log = testsupport::capture_stdout(
            [&] { muxer.reset(new mediaMuxer(job, (dir + "/" + name).c_str(), encoder.codec_ctx, in.audioCodecpar)); });
        EXPECT_FALSE(muxer->is_init) << name;
        EXPECT_EQ(log.rfind("[ERR:", 0), 0u) << log;
        EXPECT_EQ(job.get_result_code(), RESULT_OPEN_OUTPUT_ERROR);
    }
    EXPECT_EQ(testsupport::list_dir(dir), (std::vector<std::string>{"in.mp4", "kept.mp4", "taken.mp4"}));
    EXPECT_EQ(testsupport::read_bytes(dir + "/kept.mp4"), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_TRUE(testsupport::list_dir(dir + "/taken.mp4").empty());  // the folder is left alone
}
