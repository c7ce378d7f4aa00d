// videoEncode: encoder choice and configuration, the encode loop (pts from pkt_dts, fan-out,
// stream index), frames the software encoder cannot take as they are, and tear-down.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/streamInfo.h"
#include "encode/videoEncode.h"
#include "interface/resultStatus.h"

extern "C" {
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

int count_of(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

encode_params params_for(int w, int h, int fps = 25, int64_t bit_rate = 8388608) {
    encode_params p;
    p.width = w;
    p.height = h;
    p.fps = fps;
    p.bit_rate = bit_rate;
    p.profile = -99;  // unknown, as FFmpeg reports it
    p.field_order = AV_FIELD_PROGRESSIVE;
    return p;
}

// Luma ramps diagonally and moves with the frame index; U ramps down, V across (by the
// luma position a chroma sample stands for), so planes read in a wrong layout change the means.
int pattern(int plane, int x, int y, int index) {
    return plane == 0 ? 64 + ((x + y + index * 2) % 128) : 60 + (plane == 1 ? y : x);
}

double pattern_mean(int plane, int w, int h, int index) {
    const int step = plane ? 2 : 1;
    double sum = 0;
    for (int y = 0; y < h; y += step)
        for (int x = 0; x < w; x += step) sum += pattern(plane, x, y, index);
    return sum / ((w / step) * (h / step));
}

AVFrame* make_frame(AVPixelFormat format, int w, int h, int index) {
    AVFrame* f = av_frame_alloc();
    f->format = format;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 0);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    const int depth = d->comp[0].depth;
    for (int plane = 0; plane < 3; ++plane) {
        const int sx = plane ? d->log2_chroma_w : 0, sy = plane ? d->log2_chroma_h : 0;
        for (int y = 0; y < AV_CEIL_RSHIFT(h, sy); ++y)
            for (int x = 0; x < AV_CEIL_RSHIFT(w, sx); ++x) {
                const int value = pattern(plane, x << sx, y << sy, index);
                uint8_t* row = f->data[plane] + y * f->linesize[plane];
                if (depth > 8) reinterpret_cast<uint16_t*>(row)[x] = static_cast<uint16_t>(value << (depth - 8));
                else row[x] = static_cast<uint8_t>(value);
            }
    }
    f->pkt_dts = 1000 + 40 * index;
    f->pts = f->pkt_dts + 3;  // the encoder must use pkt_dts, not this
    return f;
}

void push_frames(videoEncode& encoder, AVPixelFormat format, int w, int h, int count) {
    for (int i = 0; i < count; ++i) {
        AVFrame* f = make_frame(format, w, h, i);
        encoder.push_data(f);
        av_frame_free(&f);
    }
}

// Clones of the packets one callback slot receives on the encoder's worker.
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
};

struct picture {
    int width, height, format;
    double mean[3];
};

std::vector<picture> decode_all(int codec_id, const std::vector<AVPacket*>& packets) {
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codec_id));
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVFrame* f = av_frame_alloc();
    std::vector<picture> pictures;
    auto take = [&] {
        while (avcodec_receive_frame(ctx, f) == 0) {
            picture pic{f->width, f->height, f->format, {0, 0, 0}};
            for (int plane = 0; plane < 3; ++plane) {
                const int w = plane ? f->width / 2 : f->width, h = plane ? f->height / 2 : f->height;
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) pic.mean[plane] += f->data[plane][y * f->linesize[plane] + x];
                pic.mean[plane] /= w * h;
            }
            pictures.push_back(pic);
            av_frame_unref(f);
        }
    };
    for (AVPacket* p : packets) {
        avcodec_send_packet(ctx, p);
        take();
    }
    avcodec_send_packet(ctx, nullptr);
    take();
    av_frame_free(&f);
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
};

}  // namespace

TEST_F(Encoder, SoftwareWinsAfterTheHardwareAttemptsFail) {
    for (int codec_id : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        const encode_params p = params_for(64, 64);
        videoEncode* encoder = nullptr;
        const std::string out = capture([&] { encoder = new videoEncode(codec_id, &p); });
        std::unique_ptr<videoEncode> owner(encoder);
        if (encoder->hwType != AV_HWDEVICE_TYPE_NONE) GTEST_SKIP() << "a hardware encoder opens here";
        ASSERT_TRUE(encoder->is_init) << out;
        EXPECT_EQ(count_of(out, "[WRN:"), count_of(out, "\n")) << out;  // nothing worse than a warning
        const size_t software = out.find("Software encoder init succeed\x1b[0;39m ==func:videoEncode ");
        ASSERT_NE(software, std::string::npos) << out;
        // Each hardware encoder of this FFmpeg build says why it did not open, QSV first;
        // one missing from the build is skipped without a word.
        const std::string prefix = codec_id == AV_CODEC_ID_H264 ? "h264" : "hevc";
        size_t last = 0;
        for (const char* kind : {"_qsv", "_nvenc", "_amf"}) {
            const std::string name = prefix + kind;
            const size_t at = out.find(" " + name + " ");
            if (avcodec_find_encoder_by_name(name.c_str()) == nullptr) {
                EXPECT_EQ(at, std::string::npos) << out;
                continue;
            }
            ASSERT_NE(at, std::string::npos) << name << "\n" << out;
            EXPECT_LT(last, at);
            EXPECT_LT(at, software);
            last = at;
        }
    }
}

TEST_F(Encoder, SoftwareEncoderTakesTheParametersAndABitRateAbove1024) {
    AVCodecContext* fresh = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_H264));
    const int64_t default_rate = fresh->bit_rate;
    avcodec_free_context(&fresh);
    for (int64_t rate : {int64_t{0}, int64_t{1024}, int64_t{1025}, int64_t{20000000}}) {
        encode_params p = params_for(96, 64, 29, rate);
        p.level = 31;
        videoEncode encoder(AV_CODEC_ID_H264, &p);
        ASSERT_TRUE(encoder.is_init);
        const AVCodecContext* ctx = encoder.codec_ctx;
        EXPECT_EQ(ctx->width, 96);
        EXPECT_EQ(ctx->height, 64);
        EXPECT_EQ(av_cmp_q(ctx->time_base, AVRational{1, 29}), 0);
        EXPECT_EQ(ctx->pix_fmt, AV_PIX_FMT_YUV420P);
        EXPECT_EQ(ctx->max_b_frames, 0);
        EXPECT_EQ(ctx->level, 31);
        EXPECT_EQ(ctx->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);  // parameter sets stay in the stream
        // libx264 keeps whole kbit/s.
        EXPECT_EQ(ctx->bit_rate / 1000, (rate > 1024 ? rate : default_rate) / 1000) << rate;
    }
}

TEST_F(Encoder, RefusedCodecIdGivesStatus9AndItsDestructionOnlyLogs) {
    const encode_params p = params_for(64, 64);
    videoEncode* encoder = nullptr;
    const std::string built = capture([&] { encoder = new videoEncode(AV_CODEC_ID_MPEG4, &p); });
    EXPECT_FALSE(encoder->is_init);
    EXPECT_EQ(encoder->codec_ctx, nullptr);
    EXPECT_EQ(get_result_code(), RESULT_ENCODER_ERROR);
    EXPECT_EQ(count_of(built, "\n"), 1) << built;
    EXPECT_EQ(built.rfind("[ERR:", 0), 0u) << built;
    EXPECT_NE(built.find("videoEncode::videoEncode() codecId error " + std::to_string(AV_CODEC_ID_MPEG4)),
              std::string::npos);

    const auto started = std::chrono::steady_clock::now();
    const std::string destroyed = capture([&] { delete encoder; });
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
    EXPECT_EQ(count_of(destroyed, "\n"), 1) << destroyed;
    EXPECT_EQ(destroyed.rfind("[WRN:", 0), 0u) << destroyed;
    EXPECT_NE(destroyed.find("videoEncode destruction succeed"), std::string::npos);
}

TEST_F(Encoder, FramesComeOutOfEveryFilledSlotWithPtsFromPktDts) {
    input_stream_info.video_stream_index = 2;  // video is not the input's first stream
    for (int codec_id : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        packet_sink slot0, slot3;
        {
            const encode_params p = params_for(96, 64);
            videoEncode encoder(codec_id, &p);
            ASSERT_TRUE(encoder.is_init);
            encoder.set_callback(0, slot0.slot());
            encoder.set_callback(3, slot3.slot());
            push_frames(encoder, AV_PIX_FMT_YUV420P, 96, 64, 10);
        }  // the destructor lets the worker encode every queued frame
        EXPECT_EQ(get_result_code(), RESULT_OK);
        // Zero latency, no B-frames: one packet per frame, straight away.
        ASSERT_EQ(slot0.packets.size(), 10u) << codec_id;
        ASSERT_EQ(slot3.packets.size(), 10u);
        for (int i = 0; i < 10; ++i) {
            EXPECT_EQ(slot0.packets[i]->pts, 1000 + 40 * i);
            EXPECT_EQ(slot0.packets[i]->stream_index, 2);
        }
        const auto pictures = decode_all(codec_id, slot0.packets);
        ASSERT_EQ(pictures.size(), 10u);
        for (const auto& pic : pictures) EXPECT_TRUE(pic.width == 96 && pic.height == 64);
    }
}

TEST_F(Encoder, FramesInOtherPixelFormatsAreConvertedNotLost) {
    for (AVPixelFormat format :
         {AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ420P}) {
        SCOPED_TRACE(av_get_pix_fmt_name(format));
        packet_sink sink;
        {
            const encode_params p = params_for(64, 48);
            videoEncode encoder(AV_CODEC_ID_H264, &p);
            encoder.set_callback(0, sink.slot());
            push_frames(encoder, format, 64, 48, 6);
        }
        EXPECT_EQ(get_result_code(), RESULT_OK);
        const auto pictures = decode_all(AV_CODEC_ID_H264, sink.packets);
        ASSERT_EQ(pictures.size(), 6u);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(pictures[i].format, AV_PIX_FMT_YUV420P);
            for (int plane = 0; plane < 3; ++plane)
                EXPECT_NEAR(pictures[i].mean[plane], pattern_mean(plane, 64, 48, i), 3.0) << i << " " << plane;
        }
    }
}

TEST_F(Encoder, AfterAFailureQueuedFramesAreDroppedAndProducersDoNotWait) {
    packet_sink sink;
    const encode_params p = params_for(64, 64);
    set_result_status(RESULT_KEY_INCORRECT);  // before the worker's first turn: it takes nothing
    auto* encoder = new videoEncode(AV_CODEC_ID_H264, &p);
    ASSERT_TRUE(encoder->is_init);
    encoder->set_callback(0, sink.slot());
    // A full queue nobody empties: the producer gives up rather than hang the pipeline.
    int accepted = 0;
    for (int i = 0; i < 9; ++i) {
        AVFrame* f = make_frame(AV_PIX_FMT_YUV420P, 64, 64, i);
        accepted += encoder->push_data(f) ? 1 : 0;
        av_frame_free(&f);
    }
    EXPECT_EQ(accepted, static_cast<int>(common::k_queue_bound));
    const auto started = std::chrono::steady_clock::now();
    delete encoder;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_TRUE(sink.packets.empty());
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
}
