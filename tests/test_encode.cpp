// videoEncode: encoder choice and its log lines, the software encoder's settings (bit rate
// included), frames in pixel formats the encoder cannot take as they are, each picture's own
// time, the end-of-input drain of an encoder that holds pictures back, and chunks encoded side
// by side joining into one stream.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <thread>

#include "common/pictureGroup.h"
#include "common/streamInfo.h"
#include "encode/videoEncode.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

encode_params params_for(int w, int h) {
    encode_params p;
    std::tie(p.width, p.height, p.fps, p.bit_rate, p.profile) = std::make_tuple(w, h, 25, 8388608, -99);
    p.field_order = AV_FIELD_PROGRESSIVE;
    return p;
}

// Luma ramps and moves with the frame index; U and V are apart, so swapped or misread planes
// change the means.
int pattern(int plane, int x, int y, int index) { return plane == 0 ? 64 + ((x + y + index * 2) % 128) : plane == 1 ? 90 : 170; }

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
    // The picture's own time is its best-effort timestamp (from its own packet), not the
    // decoding time of whatever packet came last.
    f->best_effort_timestamp = 1000 + 40 * index;
    f->pkt_dts = f->best_effort_timestamp - 80;
    return f;
}

class Encoder : public ::testing::Test {
protected:
    void SetUp() override {
        job.use_console();  // its lines on stdout, as the program prints them
        job.input_stream_info.video_stream_index = 0;
    }
    job_context job;
};

}  // namespace

TEST_F(Encoder, SoftwareWinsAfterTheHardwareAttemptsFailAndTakesTheParameters) {
    for (int codec_id : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        const encode_params p = params_for(96, 64);
        std::unique_ptr<videoEncode> encoder;
        const std::string out = testsupport::capture_stdout([&] { encoder.reset(new videoEncode(job, codec_id, &p)); });
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
}

TEST_F(Encoder, FramesInOtherPixelFormatsAreConvertedNotLost) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    // The last two rows: an encoder with lookahead holds every picture back until the
    // end-of-input drain, which a failed run skips.
    const struct { AVPixelFormat format; bool low_latency, fail; } rows[] = {
        {AV_PIX_FMT_YUV422P, true, false}, {AV_PIX_FMT_YUV420P10LE, true, false}, {AV_PIX_FMT_YUVJ420P, true, false},
        {AV_PIX_FMT_GRAY8, true, false}, {AV_PIX_FMT_YUV444P, false, false}, {AV_PIX_FMT_YUV420P, false, true}};
    for (const auto& [format, low_latency, fail] : rows) {
        SCOPED_TRACE(std::string(av_get_pix_fmt_name(format)) + (low_latency ? "" : " with lookahead") + (fail ? ", failed" : ""));
        AVCodecContext* decoder = avcodec_alloc_context3(codec);
        avcodec_open2(decoder, codec, nullptr);
        std::vector<int64_t> pts;
        int index = 0;
        {
            const encode_params p = params_for(64, 48);
            videoEncode encoder(job, AV_CODEC_ID_H264, &p, low_latency);
            encoder.set_callback(0, [&, format = format](void* item) {  // on the encoder's worker, one packet at a time
                pts.push_back(static_cast<AVPacket*>(item)->pts);
                AVFrame* f = av_frame_alloc();
                avcodec_send_packet(decoder, static_cast<AVPacket*>(item));
                for (; avcodec_receive_frame(decoder, f) == 0; av_frame_unref(f), ++index) {
                    ASSERT_EQ(f->format, AV_PIX_FMT_YUV420P);
                    double mean[3] = {0, 0, 0}, luma = 0;
                    for (int plane = 0; plane < 3; ++plane)
                        for (int y = 0; y < (plane ? 24 : 48); ++y)
                            for (int x = 0; x < (plane ? 32 : 64); ++x) mean[plane] += f->data[plane][y * f->linesize[plane] + x] / (plane ? 768.0 : 3072.0);
                    for (int y = 0; y < 48; ++y)
                        for (int x = 0; x < 64; ++x) luma += pattern(0, x, y, index) / 3072.0;
                    EXPECT_NEAR(mean[0], luma, 3.0) << index;
                    EXPECT_TRUE(format == AV_PIX_FMT_GRAY8 || (std::abs(mean[1] - 90) < 3 && std::abs(mean[2] - 170) < 3)) << index;
                }
                av_frame_free(&f);
            });
            for (int i = 0; i < 6; ++i) {
                AVFrame* frame = make_frame(format, 64, 48, i);
                encoder.push_data(frame);
                av_frame_free(&frame);
            }
            if (fail) job.set_result_status(RESULT_DECODER_ERROR);
        }
        avcodec_free_context(&decoder);
        EXPECT_EQ(job.get_result_code(), fail ? RESULT_DECODER_ERROR : RESULT_OK);
        job.set_result_status(RESULT_OK);
        if (fail) {
            EXPECT_TRUE(pts.empty());
            continue;
        }
        // No B-frames: every picture at its own time.
        EXPECT_EQ(pts, (std::vector<int64_t>{1000, 1040, 1080, 1120, 1160, 1200}));
        EXPECT_EQ(index, 6);
    }
}

TEST_F(Encoder, BitRateIsTheGivenOneOrTheEncodersOwnAndAProfileOrLevelItRefusesIsLeftToIt) {
    AVCodecContext* fresh = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_H264));
    const int64_t own = fresh->bit_rate;
    avcodec_free_context(&fresh);
    struct row {
        int codec_id;
        int64_t bit_rate, want_rate;
        int profile, level;
        AVPixelFormat format;
        const char* warning;  // empty: none
    };
    // The demuxer's floor, a rate above it, "not given"; a level from a damaged SPS, a profile
    // that cannot hold the pictures (High with 4:4:4), and good ones that are kept.
    const row rows[] = {
        {AV_CODEC_ID_H264, 8388608, 8388608, -99, -99, AV_PIX_FMT_YUV420P, ""},
        {AV_CODEC_ID_H264, 20000000, 20000000, -99, -99, AV_PIX_FMT_YUV420P, ""},
        {AV_CODEC_ID_H264, 0, own, -99, -99, AV_PIX_FMT_YUV420P, ""},
        {AV_CODEC_ID_H264, 8388608, 8388608, FF_PROFILE_H264_HIGH, 243, AV_PIX_FMT_YUV420P,
         "the input's level 243 is no h264 level: the encoder chooses one"},
        {AV_CODEC_ID_H264, 8388608, 8388608, FF_PROFILE_H264_HIGH, 41, AV_PIX_FMT_YUV444P,
         "the encoder refuses the input's profile 100: it chooses one"},
        {AV_CODEC_ID_HEVC, 8388608, 8388608, FF_PROFILE_HEVC_MAIN, 243, AV_PIX_FMT_YUV420P,
         "the input's level 243 is no hevc level: the encoder chooses one"},
        {AV_CODEC_ID_HEVC, 8388608, 8388608, FF_PROFILE_HEVC_MAIN, 93, AV_PIX_FMT_YUV420P, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::to_string(r.bit_rate) + " " + std::to_string(r.profile) + " " + std::to_string(r.level));
        encode_params p = params_for(64, 48);
        std::tie(p.bit_rate, p.profile, p.level, p.pix_fmt) = std::make_tuple(r.bit_rate, r.profile, r.level, r.format);
        std::unique_ptr<videoEncode> encoder;
        const std::string out = testsupport::capture_stdout([&] { encoder.reset(new videoEncode(job, r.codec_id, &p)); });
        if (encoder->hwType != AV_HWDEVICE_TYPE_NONE) GTEST_SKIP() << "a hardware encoder opens here";
        ASSERT_TRUE(encoder->is_init) << out;
        EXPECT_NE(out.find(r.warning), std::string::npos) << out;
        EXPECT_EQ(out.find("the encoder") != std::string::npos, r.warning[0] != 0) << out;
        if (r.codec_id == AV_CODEC_ID_H264) {
            EXPECT_EQ(encoder->codec_ctx->bit_rate / 1000, r.want_rate / 1000);  // libx264 keeps whole kbit/s
        }
    }
}

TEST_F(Encoder, ChunksOpenWithIdrPicturesOfOneConfigurationAndOneEncoderKeepsToday) {
    // Eight pictures; the decoder marked the groups at 0, 3 and 5. The last chunk opens once the
    // first is done, so it is asked for less than the target (a fresh encoder overshoots it),
    // just under the bit rate from which libx265 would choose HEVC level 2.
    const struct { const char* name; chunk_plan plan; std::vector<int> keys; } rows[] = {
        {"one encoder: group starts ask for nothing", {1, 0, 0, 0}, {0}},
        {"chunks at every group", {2, 1, 3, 4}, {0, 3, 5}},
    };
    for (int codec_id : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codec_id));
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(avcodec_get_name(static_cast<AVCodecID>(codec_id))) + ": " + row.name);
            std::vector<int64_t> pts, key_pts;
            std::vector<std::vector<std::vector<uint8_t>>> key_sets;
            AVCodecContext* decoder = avcodec_alloc_context3(codec);
            avcodec_open2(decoder, codec, nullptr);
            int decoded = 0;
            std::atomic<size_t> handed_on{0};
            {
                encode_params p = params_for(64, 48);
                p.bit_rate = 130000;
                videoEncode encoder(job, codec_id, &p, true, &row.plan);
                if (encoder.hwType != AV_HWDEVICE_TYPE_NONE) GTEST_SKIP() << "a hardware encoder opens here";
                encoder.set_callback(0, [&](void* item) {  // one worker at a time, in order
                    const AVPacket* packet = static_cast<AVPacket*>(item);
                    pts.push_back(packet->pts);
                    if (packet->flags & AV_PKT_FLAG_KEY) {
                        key_pts.push_back(packet->pts);
                        key_sets.push_back(testsupport::parameter_sets({packet->data, packet->data + packet->size}, codec_id == AV_CODEC_ID_HEVC));
                    }
                    AVFrame* f = av_frame_alloc();
                    EXPECT_GE(avcodec_send_packet(decoder, packet), 0);
                    while (avcodec_receive_frame(decoder, f) == 0) ++decoded;
                    av_frame_free(&f);
                    ++handed_on;
                });
                for (int i = 0; i < 8; ++i) {
                    // Packets of the second chunk come out only after the first is done.
                    for (int wait = 0; i == 5 && wait < 2000 && handed_on < 5; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    AVFrame* frame = make_frame(AV_PIX_FMT_YUV420P, 64, 48, i);
                    mark_group_start(frame, i == 0 || i == 3 || i == 5);
                    encoder.push_data(frame);
                    av_frame_free(&frame);
                }
            }
            avcodec_send_packet(decoder, nullptr);
            for (AVFrame* f = av_frame_alloc(); f != nullptr; av_frame_free(&f))
                while (avcodec_receive_frame(decoder, f) == 0) ++decoded;
            avcodec_free_context(&decoder);
            EXPECT_EQ(pts, (std::vector<int64_t>{1000, 1040, 1080, 1120, 1160, 1200, 1240, 1280}));
            std::vector<int64_t> want;
            for (int k : row.keys) want.push_back(1000 + 40 * k);
            EXPECT_EQ(key_pts, want);
            // Every chunk carries the parameter sets of the first, byte for byte: one stream.
            ASSERT_FALSE(key_sets.empty());
            EXPECT_FALSE(key_sets[0].empty());
            for (const auto& sets : key_sets) EXPECT_EQ(sets, key_sets[0]);
            EXPECT_EQ(decoded, 8);
            EXPECT_EQ(job.get_result_code(), RESULT_OK);
        }
    }
}
