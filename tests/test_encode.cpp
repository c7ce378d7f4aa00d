// videoEncode: encoder choice and its log lines, the software encoder's settings, frames in
// pixel formats the encoder cannot take as they are (and convertColorSpace, which converts
// them), and tear-down after a failure.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <mutex>

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

encode_params params_for(int w, int h, int64_t bit_rate = 8388608) {
    encode_params p;
    std::tie(p.width, p.height, p.fps, p.bit_rate, p.profile) = std::make_tuple(w, h, 25, bit_rate, -99);
    p.field_order = AV_FIELD_PROGRESSIVE;
    return p;
}

// Luma ramps and moves with the frame index; U ramps down, V across (by the luma position a
// chroma sample stands for), so planes read in a wrong layout change the means.
int pattern(int plane, int x, int y, int index) { return plane == 0 ? 64 + ((x + y + index * 2) % 128) : 60 + (plane == 1 ? y : x); }

AVFrame* make_frame(AVPixelFormat format, int w, int h, int index) {
    AVFrame* f = av_frame_alloc();
    std::tie(f->format, f->width, f->height) = std::make_tuple(format, w, h);
    av_frame_get_buffer(f, 0);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    for (int plane = 0; plane < d->nb_components; ++plane) {
        const int sx = plane ? d->log2_chroma_w : 0, sy = plane ? d->log2_chroma_h : 0, depth = d->comp[0].depth;
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

// Encodes count frames; the packets' pts and the decoded pictures' plane means.
void encode(AVPixelFormat format, int w, int h, int count, std::vector<int64_t>* pts,
            std::vector<std::array<double, 3>>* means) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    avcodec_open2(ctx, codec, nullptr);
    AVFrame* f = av_frame_alloc();
    auto take = [&] {
        for (; avcodec_receive_frame(ctx, f) == 0; av_frame_unref(f)) {
            EXPECT_EQ(f->format, AV_PIX_FMT_YUV420P);
            std::array<double, 3> mean{};
            for (int plane = 0; plane < 3; ++plane) {
                const int pw = plane ? f->width / 2 : f->width, ph = plane ? f->height / 2 : f->height;
                for (int y = 0; y < ph; ++y)
                    for (int x = 0; x < pw; ++x) mean[plane] += f->data[plane][y * f->linesize[plane] + x];
                mean[plane] /= pw * ph;
            }
            means->push_back(mean);
        }
    };
    std::mutex mutex;
    {
        const encode_params p = params_for(w, h);
        videoEncode encoder(AV_CODEC_ID_H264, &p);
        encoder.set_callback(0, [&](void* item) {  // runs on the encoder's worker
            std::lock_guard<std::mutex> lock(mutex);
            pts->push_back(static_cast<AVPacket*>(item)->pts);
            avcodec_send_packet(ctx, static_cast<AVPacket*>(item));
            take();
        });
        for (int i = 0; i < count; ++i) {
            AVFrame* frame = make_frame(format, w, h, i);
            encoder.push_data(frame);
            av_frame_free(&frame);
        }
    }
    avcodec_send_packet(ctx, nullptr);
    take();
    av_frame_free(&f);
    avcodec_free_context(&ctx);
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

TEST_F(Encoder, SoftwareWinsAfterTheHardwareAttemptsFailAndTakesTheParameters) {
    for (int codec_id : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        const encode_params p = params_for(96, 64);
        std::unique_ptr<videoEncode> encoder;
        const std::string out = capture([&] { encoder.reset(new videoEncode(codec_id, &p)); });
        if (encoder->hwType != AV_HWDEVICE_TYPE_NONE) GTEST_SKIP() << "a hardware encoder opens here";
        ASSERT_TRUE(encoder->is_init) << out;
        EXPECT_EQ(out.find("[ERR:"), std::string::npos) << out;  // nothing worse than a warning
        const size_t software = out.find("Software encoder init succeed\x1b[0;39m ==func:videoEncode ");
        ASSERT_NE(software, std::string::npos) << out;
        // Each hardware encoder of this FFmpeg build says why it did not open, QSV first;
        // one missing from the build is skipped without a word.
        size_t last = 0;
        for (const char* kind : {"_qsv", "_nvenc", "_amf"}) {
            const std::string name = (codec_id == AV_CODEC_ID_H264 ? "h264" : "hevc") + std::string(kind);
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
        const AVCodecContext* ctx = encoder->codec_ctx;
        EXPECT_EQ(std::make_tuple(ctx->width, ctx->height, ctx->pix_fmt, ctx->max_b_frames),
                  std::make_tuple(96, 64, AV_PIX_FMT_YUV420P, 0));
        EXPECT_EQ(av_cmp_q(ctx->time_base, AVRational{1, 25}), 0);
        EXPECT_EQ(ctx->flags & AV_CODEC_FLAG_GLOBAL_HEADER, 0);  // parameter sets stay in the stream
    }
    // A bit rate is passed on only above 1024 (libx264 keeps whole kbit/s).
    AVCodecContext* fresh = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_H264));
    const int64_t default_rate = fresh->bit_rate;
    avcodec_free_context(&fresh);
    for (int64_t rate : {int64_t{0}, int64_t{1024}, int64_t{1025}, int64_t{20000000}}) {
        const encode_params p = params_for(64, 64, rate);
        videoEncode encoder(AV_CODEC_ID_H264, &p);
        EXPECT_EQ(encoder.codec_ctx->bit_rate / 1000, (rate > 1024 ? rate : default_rate) / 1000) << rate;
    }
}

TEST_F(Encoder, RefusedCodecIdGivesStatus9) {
    const encode_params p = params_for(64, 64);
    std::unique_ptr<videoEncode> encoder;
    const std::string out = capture([&] { encoder.reset(new videoEncode(AV_CODEC_ID_MPEG4, &p)); });
    EXPECT_FALSE(encoder->is_init);
    EXPECT_EQ(get_result_code(), RESULT_ENCODER_ERROR);
    EXPECT_EQ(out.rfind("[ERR:", 0), 0u) << out;
    EXPECT_NE(out.find("videoEncode::videoEncode() codecId error " + std::to_string(AV_CODEC_ID_MPEG4)), std::string::npos);
}

TEST_F(Encoder, FramesInOtherPixelFormatsAreConvertedNotLost) {
    for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV444P,
                                 AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_GRAY8}) {
        SCOPED_TRACE(av_get_pix_fmt_name(format));
        std::vector<int64_t> pts;
        std::vector<std::array<double, 3>> means;
        encode(format, 64, 48, 6, &pts, &means);
        EXPECT_EQ(get_result_code(), RESULT_OK);
        // Zero latency, no B-frames: one packet per frame, its time from pkt_dts.
        EXPECT_EQ(pts, (std::vector<int64_t>{1000, 1040, 1080, 1120, 1160, 1200}));
        ASSERT_EQ(means.size(), 6u);
        for (int i = 0; i < 6; ++i) {
            for (int plane = 0; plane < (format == AV_PIX_FMT_GRAY8 ? 1 : 3); ++plane) {
                const int step = plane ? 2 : 1;
                double expected = 0;
                for (int y = 0; y < 48; y += step)
                    for (int x = 0; x < 64; x += step) expected += pattern(plane, x, y, i) * step * step / (64.0 * 48);
                EXPECT_NEAR(means[i][plane], expected, 3.0) << i << " " << plane;
            }
        }
    }
}

TEST(ConvertColorSpace, KeepsFullRangeTimestampsAndTags) {
    for (AVColorRange range : {AVCOL_RANGE_JPEG, AVCOL_RANGE_MPEG}) {
        const int lo = range == AVCOL_RANGE_JPEG ? 0 : 16, hi = range == AVCOL_RANGE_JPEG ? 255 : 235;
        AVFrame* src = make_frame(range == AVCOL_RANGE_JPEG ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_YUV422P, 66, 34, 0);
        for (int y = 0; y < 34; ++y)
            for (int x = 0; x < 66; ++x) src->data[0][y * src->linesize[0] + x] = static_cast<uint8_t>(lo + (hi - lo) * x / 65);
        std::tie(src->color_range, src->colorspace, src->color_trc) = std::make_tuple(range, AVCOL_SPC_BT470BG, AVCOL_TRC_GAMMA28);
        convertColorSpace conversion(src, AV_PIX_FMT_NV12);
        ASSERT_TRUE(conversion.is_ok);
        const AVFrame* dst = conversion.dst_frame->frame;
        EXPECT_EQ(std::make_tuple(dst->format, dst->width, dst->height, dst->color_range, dst->pts, dst->pkt_dts),
                  std::make_tuple(int(AV_PIX_FMT_NV12), 66, 34, range, src->pts, src->pkt_dts));
        EXPECT_EQ(std::make_tuple(dst->colorspace, dst->color_trc), std::make_tuple(AVCOL_SPC_BT470BG, AVCOL_TRC_GAMMA28));
        // The extremes are kept (not squeezed into 16..235), to the last row and column.
        EXPECT_NEAR(dst->data[0][0], lo, 1);
        EXPECT_NEAR(dst->data[0][33 * dst->linesize[0] + 65], hi, 1);
        av_frame_free(&src);
    }
}

TEST_F(Encoder, AfterAFailureQueuedFramesAreDroppedAndProducersDoNotWait) {
    const encode_params p = params_for(64, 64);
    set_result_status(RESULT_KEY_INCORRECT);  // before the worker's first turn: it takes nothing
    auto* encoder = new videoEncode(AV_CODEC_ID_H264, &p);
    int packets = 0;
    encoder->set_callback(0, [&](void*) { ++packets; });
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
    EXPECT_EQ(packets, 0);
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
}
