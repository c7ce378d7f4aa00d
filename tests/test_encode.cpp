// videoEncode: encoder choice, configuration, the encode loop (pts from pkt_dts, fan-out,
// stream index), conversion of frames the software encoder cannot take, and tear-down.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/streamInfo.h"
#include "encode/videoEncode.h"
#include "interface/resultStatus.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixdesc.h>
}

namespace {

std::string capture(const std::function<void()>& body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::vector<std::string> lines_with(const std::string& text, const std::string& needle) {
    std::vector<std::string> found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        if (line.find(needle) != std::string::npos) found.push_back(line);
        start = end + 1;
    }
    return found;
}

encode_params params_for(int width, int height, int fps = 25, int64_t bit_rate = 8388608) {
    encode_params p;
    p.width = width;
    p.height = height;
    p.fps = fps;
    p.pix_fmt = AV_PIX_FMT_YUV420P;
    p.bit_rate = bit_rate;
    p.profile = -99;  // unknown, as FFmpeg reports it
    p.level = 0;
    p.field_order = AV_FIELD_PROGRESSIVE;
    return p;
}

// A moving luma ramp in 8-bit terms.
int pattern_luma(int x, int y, int index) { return 64 + ((x + y + index * 2) % 128); }

double pattern_mean(int width, int height, int index) {
    double sum = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) sum += pattern_luma(x, y, index);
    }
    return sum / (width * height);
}

// Chroma ramps by the luma position a chroma sample stands for: U down, V across. A
// picture whose chroma planes are read in the wrong layout ends up with other means.
int pattern_chroma(int plane, int luma_x, int luma_y) { return 60 + (plane == 1 ? luma_y : luma_x); }

double pattern_chroma_mean(int plane, int width, int height) {
    double sum = 0;
    for (int y = 0; y < height; y += 2) {
        for (int x = 0; x < width; x += 2) sum += pattern_chroma(plane, x, y);
    }
    return sum / ((width / 2) * (height / 2));
}

// The ramps as a frame in 8-bit or high bit depth planar YUV.
AVFrame* make_frame(AVPixelFormat format, int width, int height, int index) {
    AVFrame* f = av_frame_alloc();
    f->format = format;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f, 0) < 0) {
        av_frame_free(&f);
        return nullptr;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    const int depth = desc->comp[0].depth;
    const bool wide = depth > 8;
    for (int plane = 0; plane < desc->nb_components && plane < 3; ++plane) {
        const int w = plane ? AV_CEIL_RSHIFT(width, desc->log2_chroma_w) : width;
        const int h = plane ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                int value = plane ? pattern_chroma(plane, x << desc->log2_chroma_w, y << desc->log2_chroma_h)
                                  : pattern_luma(x, y, index);
                if (wide) {
                    reinterpret_cast<uint16_t*>(f->data[plane] + y * f->linesize[plane])[x] =
                        static_cast<uint16_t>(value << (depth - 8));
                } else {
                    f->data[plane][y * f->linesize[plane] + x] = static_cast<uint8_t>(value);
                }
            }
        }
    }
    return f;
}

// Collects clones of the packets a callback slot receives (on the encoder's worker).
struct packet_sink {
    std::mutex mutex;
    std::vector<AVPacket*> packets;
    ~packet_sink() {
        for (AVPacket* p : packets) av_packet_free(&p);
    }
    std::function<void(void*)> slot() {
        return [this](void* item) {
            std::lock_guard<std::mutex> lock(mutex);
            packets.push_back(av_packet_clone(static_cast<AVPacket*>(item)));
        };
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return packets.size();
    }
};

struct decoded_picture {
    int width = 0;
    int height = 0;
    int format = -1;
    double mean_luma = 0;
    double mean_u = 0;
    double mean_v = 0;
};

double plane_mean(const AVFrame* frame, int plane, int width, int height) {
    double sum = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) sum += frame->data[plane][y * frame->linesize[plane] + x];
    }
    return sum / (width * height);
}

// Decodes the packets (and drains the decoder) with FFmpeg's own decoder.
std::vector<decoded_picture> decode_all(int codec_id, const std::vector<AVPacket*>& packets) {
    std::vector<decoded_picture> pictures;
    const AVCodec* decoder = avcodec_find_decoder(static_cast<AVCodecID>(codec_id));
    AVCodecContext* ctx = avcodec_alloc_context3(decoder);
    if (avcodec_open2(ctx, decoder, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return pictures;
    }
    AVFrame* frame = av_frame_alloc();
    auto take = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            decoded_picture pic{frame->width, frame->height, frame->format};
            pic.mean_luma = plane_mean(frame, 0, frame->width, frame->height);
            if (frame->format == AV_PIX_FMT_YUV420P) {
                pic.mean_u = plane_mean(frame, 1, frame->width / 2, frame->height / 2);
                pic.mean_v = plane_mean(frame, 2, frame->width / 2, frame->height / 2);
            }
            pictures.push_back(pic);
            av_frame_unref(frame);
        }
    };
    for (AVPacket* p : packets) {
        avcodec_send_packet(ctx, p);
        take();
    }
    avcodec_send_packet(ctx, nullptr);
    take();
    av_frame_free(&frame);
    avcodec_free_context(&ctx);
    return pictures;
}

class Encoder : public ::testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        input_stream_info.video_stream_index = 0;
    }
    void TearDown() override { reset_result_status_for_testing(); }

    // Pushes count frames with pkt_dts 1000, 1040, ... and a pts that differs from it.
    static void push_frames(videoEncode& encoder, AVPixelFormat format, int width, int height, int count) {
        for (int i = 0; i < count; ++i) {
            AVFrame* f = make_frame(format, width, height, i);
            ASSERT_NE(f, nullptr);
            f->pkt_dts = 1000 + 40 * i;
            f->pts = f->pkt_dts + 3;
            EXPECT_TRUE(encoder.push_data(f));
            av_frame_free(&f);
        }
    }
};

}  // namespace

TEST_F(Encoder, SoftwareWinsAfterTheHardwareAttemptsFailOnThisMachine) {
    for (int codec_id : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        const encode_params p = params_for(64, 64);
        videoEncode* encoder = nullptr;
        const std::string out = capture([&] { encoder = new videoEncode(codec_id, &p); });
        if (out.find("QSV encoder init succeed") != std::string::npos ||
            out.find("NVENC encoder init succeed") != std::string::npos ||
            out.find("AMF encoder init succeed") != std::string::npos) {
            delete encoder;
            GTEST_SKIP() << "a hardware encoder opens on this machine";
        }
        ASSERT_TRUE(encoder->is_init) << out;
        EXPECT_EQ(encoder->hwType, AV_HWDEVICE_TYPE_NONE);
        EXPECT_EQ(get_result_code(), RESULT_OK);

        const std::string prefix = codec_id == AV_CODEC_ID_H264 ? "h264" : "hevc";
        const auto software = lines_with(out, "Software encoder init succeed");
        ASSERT_EQ(software.size(), 1u) << out;
        EXPECT_NE(software[0].find("[WRN:"), std::string::npos);
        EXPECT_NE(software[0].find("==func:videoEncode file:encode/videoEncode.cpp"), std::string::npos);
        const size_t software_at = out.find("Software encoder init succeed");
        // Each hardware encoder present in this FFmpeg build logs why it did not open,
        // before the software encoder, QSV before NVENC.
        size_t last = 0;
        for (const char* kind : {"_qsv", "_nvenc"}) {
            const std::string name = prefix + kind;
            if (avcodec_find_encoder_by_name(name.c_str()) == nullptr) continue;
            const size_t at = out.find(" " + name);
            ASSERT_NE(at, std::string::npos) << out;
            EXPECT_GT(at, last) << out;
            EXPECT_LT(at, software_at) << out;
            last = at;
            for (const auto& line : lines_with(out, name)) EXPECT_NE(line.find("[WRN:"), std::string::npos) << line;
        }
        // An encoder missing from the build is skipped without a word.
        if (avcodec_find_encoder_by_name((prefix + "_amf").c_str()) == nullptr) {
            EXPECT_EQ(out.find("_amf"), std::string::npos) << out;
        }
        EXPECT_EQ(out.find("[ERR:"), std::string::npos) << out;
        delete encoder;
    }
}

TEST_F(Encoder, SoftwareEncoderIsConfiguredFromTheParameters) {
    encode_params p = params_for(96, 64, 29, 20000000);
    p.level = 31;
    videoEncode encoder(AV_CODEC_ID_H264, &p);
    ASSERT_TRUE(encoder.is_init);
    const AVCodecContext* ctx = encoder.codec_ctx;
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(ctx->width, 96);
    EXPECT_EQ(ctx->height, 64);
    EXPECT_EQ(ctx->time_base.num, 1);
    EXPECT_EQ(ctx->time_base.den, 29);
    EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_YUV420P);
    EXPECT_EQ(ctx->max_b_frames, 0);
    EXPECT_EQ(ctx->level, 31);
    EXPECT_EQ(ctx->bit_rate, 20000000);
    // No global header: parameter sets travel in the stream.
    EXPECT_EQ(ctx->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);
}

TEST_F(Encoder, BitRateOfAtMost1024IsLeftToTheEncoderDefault) {
    const AVCodec* x264 = avcodec_find_encoder(AV_CODEC_ID_H264);
    AVCodecContext* fresh = avcodec_alloc_context3(x264);
    const int64_t default_rate = fresh->bit_rate;
    avcodec_free_context(&fresh);

    for (int64_t rate : {int64_t{0}, int64_t{1024}, int64_t{1025}, int64_t{8388608}}) {
        const encode_params p = params_for(64, 64, 25, rate);
        videoEncode encoder(AV_CODEC_ID_H264, &p);
        ASSERT_TRUE(encoder.is_init) << rate;
        // libx264 keeps whole kbit/s.
        if (rate > 1024) {
            EXPECT_EQ(encoder.codec_ctx->bit_rate / 1000, rate / 1000) << rate;
        } else {
            EXPECT_EQ(encoder.codec_ctx->bit_rate, default_rate) << rate;
        }
    }
}

TEST_F(Encoder, RefusedCodecIdFailsWithStatus9AndOnlyLogsItsDestruction) {
    const encode_params p = params_for(64, 64);
    videoEncode* encoder = nullptr;
    const std::string built = capture([&] { encoder = new videoEncode(AV_CODEC_ID_MPEG4, &p); });
    EXPECT_FALSE(encoder->is_init);
    EXPECT_EQ(encoder->codec_ctx, nullptr);
    EXPECT_FALSE(encoder->work_thread.joinable());
    EXPECT_EQ(get_result_code(), RESULT_ENCODER_ERROR);
    const auto refused = lines_with(built, "videoEncode::videoEncode() codecId error " +
                                               std::to_string(static_cast<int>(AV_CODEC_ID_MPEG4)));
    ASSERT_EQ(refused.size(), 1u) << built;
    EXPECT_NE(refused[0].find("[ERR:"), std::string::npos);
    // No encoder kind is tried.
    EXPECT_EQ(built.find("init succeed"), std::string::npos) << built;

    const auto started = std::chrono::steady_clock::now();
    const std::string destroyed = capture([&] { delete encoder; });
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
    const auto lines = lines_with(destroyed, "[");
    ASSERT_EQ(lines.size(), 1u) << destroyed;
    EXPECT_NE(lines[0].find("[WRN:"), std::string::npos);
    EXPECT_NE(lines[0].find("videoEncode destruction succeed"), std::string::npos);
}

TEST_F(Encoder, NoEncoderOpensForImpossibleParametersAndStatusIs9) {
    // A frame rate of 0 gives no usable time base: every kind refuses to open.
    const encode_params p = params_for(64, 64, 0);
    videoEncode* encoder = nullptr;
    const std::string out = capture([&] { encoder = new videoEncode(AV_CODEC_ID_H264, &p); });
    EXPECT_FALSE(encoder->is_init);
    EXPECT_EQ(encoder->codec_ctx, nullptr);
    EXPECT_EQ(get_result_code(), RESULT_ENCODER_ERROR);
    EXPECT_EQ(lines_with(out, "Could not open software encoder").size(), 1u) << out;
    const auto failed = lines_with(out, "Encoder init failed");
    ASSERT_EQ(failed.size(), 1u) << out;
    EXPECT_NE(failed[0].find("[ERR:"), std::string::npos);
    delete encoder;
}

TEST_F(Encoder, FramesComeOutAsPacketsWithPtsFromPktDtsAndDecodeToTheSameSize) {
    input_stream_info.video_stream_index = 2;  // video is not the input's first stream
    constexpr int k_frames = 12;
    for (int codec_id : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        SCOPED_TRACE(avcodec_get_name(static_cast<AVCodecID>(codec_id)));
        packet_sink slot0, slot3;
        {
            const encode_params p = params_for(96, 64);
            videoEncode encoder(codec_id, &p);
            ASSERT_TRUE(encoder.is_init);
            encoder.set_callback(0, slot0.slot());
            encoder.set_callback(3, slot3.slot());
            push_frames(encoder, AV_PIX_FMT_YUV420P, 96, 64, k_frames);
        }  // the destructor waits until every queued frame was encoded
        EXPECT_EQ(get_result_code(), RESULT_OK);
        // Zero latency and no B-frames: one packet per frame, straight away.
        ASSERT_EQ(slot0.packets.size(), static_cast<size_t>(k_frames));
        ASSERT_EQ(slot3.packets.size(), slot0.packets.size());
        for (int i = 0; i < k_frames; ++i) {
            const AVPacket* pkt = slot0.packets[i];
            EXPECT_EQ(pkt->pts, 1000 + 40 * i) << i;
            EXPECT_EQ(pkt->stream_index, 2) << i;
            EXPECT_EQ(slot3.packets[i]->size, pkt->size) << i;
        }
        EXPECT_TRUE(slot0.packets[0]->flags & AV_PKT_FLAG_KEY);

        const auto pictures = decode_all(codec_id, slot0.packets);
        ASSERT_EQ(pictures.size(), static_cast<size_t>(k_frames));
        for (const auto& pic : pictures) {
            EXPECT_EQ(pic.width, 96);
            EXPECT_EQ(pic.height, 64);
        }
    }
}

TEST_F(Encoder, FramesInOtherPixelFormatsAreConvertedNotLost) {
    constexpr int k_frames = 6;
    for (AVPixelFormat format : {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV444P,
                                 AV_PIX_FMT_YUVJ420P}) {
        SCOPED_TRACE(av_get_pix_fmt_name(format));
        reset_result_status_for_testing();
        packet_sink sink;
        {
            const encode_params p = params_for(64, 48);
            videoEncode encoder(AV_CODEC_ID_H264, &p);
            ASSERT_TRUE(encoder.is_init);
            encoder.set_callback(0, sink.slot());
            push_frames(encoder, format, 64, 48, k_frames);
        }
        EXPECT_EQ(get_result_code(), RESULT_OK);
        ASSERT_EQ(sink.packets.size(), static_cast<size_t>(k_frames));
        EXPECT_EQ(sink.packets.back()->pts, 1000 + 40 * (k_frames - 1));
        const auto pictures = decode_all(AV_CODEC_ID_H264, sink.packets);
        ASSERT_EQ(pictures.size(), static_cast<size_t>(k_frames));
        for (size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_EQ(pictures[i].width, 64);
            EXPECT_EQ(pictures[i].height, 48);
            // The picture itself survives: a 10-bit frame read as 8-bit would come out
            // as noise with a very different mean.
            EXPECT_NEAR(pictures[i].mean_luma, pattern_mean(64, 48, static_cast<int>(i)), 3.0) << i;
            EXPECT_EQ(pictures[i].format, AV_PIX_FMT_YUV420P);
            EXPECT_NEAR(pictures[i].mean_u, pattern_chroma_mean(1, 64, 48), 3.0) << i;
            EXPECT_NEAR(pictures[i].mean_v, pattern_chroma_mean(2, 64, 48), 3.0) << i;
        }
    }
}

TEST_F(Encoder, FailedStatusMakesTheDestructorDropQueuedFrames) {
    packet_sink sink;
    const encode_params p = params_for(64, 64);
    // Failed before the worker's first turn, so it never takes a frame.
    set_result_status(RESULT_KEY_INCORRECT);
    auto* encoder = new videoEncode(AV_CODEC_ID_H264, &p);
    ASSERT_TRUE(encoder->is_init);
    encoder->set_callback(0, sink.slot());
    // The worker has stopped taking frames; a producer facing the full queue gives up
    // instead of waiting for ever (which would hang the decoder and the demux loop).
    int accepted = 0;
    for (int i = 0; i < 9; ++i) {
        AVFrame* f = make_frame(AV_PIX_FMT_YUV420P, 64, 64, i);
        f->pkt_dts = i;
        accepted += encoder->push_data(f) ? 1 : 0;
        av_frame_free(&f);
    }
    EXPECT_EQ(accepted, static_cast<int>(common::k_queue_bound));
    const auto started = std::chrono::steady_clock::now();
    std::string out = capture([&] { delete encoder; });
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(sink.size(), 0u);
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
    EXPECT_EQ(lines_with(out, "videoEncode destruction succeed").size(), 1u) << out;
}

TEST_F(Encoder, NullFrameIsRefusedWithStatus9) {
    const encode_params p = params_for(64, 64);
    videoEncode encoder(AV_CODEC_ID_H264, &p);
    ASSERT_TRUE(encoder.is_init);
    std::string out = capture([&] { EXPECT_EQ(encoder.video_enccode_send_data(nullptr), -1); });
    EXPECT_EQ(lines_with(out, "pFrame is null").size(), 1u) << out;
    EXPECT_EQ(get_result_code(), RESULT_ENCODER_ERROR);
    reset_result_status_for_testing();
    out = capture([&] { EXPECT_EQ(encoder.video_enccode_receive_data(nullptr), -1); });
    EXPECT_EQ(lines_with(out, "pEncPkt is null").size(), 1u) << out;
    EXPECT_EQ(get_result_code(), RESULT_ENCODER_ERROR);
}
