// convertColorSpace: pixel-format conversion of one frame with the source's range,
// timestamps and colour tags.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "common/common.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace {

// A frame whose luma ramps across the picture from lo to hi (8-bit planar formats),
// with constant chroma u and v.
AVFrame* make_frame(AVPixelFormat format, int width, int height, int lo, int hi, int u = 100, int v = 160) {
    AVFrame* f = av_frame_alloc();
    f->format = format;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f, 0) < 0) {
        av_frame_free(&f);
        return nullptr;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(lo + (hi - lo) * x / (width - 1));
        }
    }
    const int cw = AV_CEIL_RSHIFT(width, desc->log2_chroma_w);
    const int ch = AV_CEIL_RSHIFT(height, desc->log2_chroma_h);
    for (int y = 0; y < ch; ++y) {
        for (int x = 0; x < cw; ++x) {
            f->data[1][y * f->linesize[1] + x] = static_cast<uint8_t>(u);
            f->data[2][y * f->linesize[2] + x] = static_cast<uint8_t>(v);
        }
    }
    return f;
}

int luma(const AVFrame* f, int x, int y) { return f->data[0][y * f->linesize[0] + x]; }

struct frame_deleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using frame_ptr = std::unique_ptr<AVFrame, frame_deleter>;

}  // namespace

TEST(ConvertColorSpace, FullRangeYuvj420pIsConvertedAsFullRangeYuv420p) {
    frame_ptr src(make_frame(AV_PIX_FMT_YUVJ420P, 64, 32, 0, 255));
    ASSERT_TRUE(src);
    src->color_range = AVCOL_RANGE_JPEG;

    convertColorSpace conversion(src.get(), AV_PIX_FMT_NV12);
    ASSERT_TRUE(conversion.is_ok);
    // The deprecated full-range format is replaced in the source itself.
    EXPECT_EQ(src->format, AV_PIX_FMT_YUV420P);
    const AVFrame* dst = conversion.dst_frame->frame;
    EXPECT_EQ(dst->format, AV_PIX_FMT_NV12);
    EXPECT_EQ(dst->color_range, AVCOL_RANGE_JPEG);
    // Full range on both sides: the extremes are not squeezed into 16..235.
    EXPECT_LE(luma(dst, 0, 5), 1);
    EXPECT_GE(luma(dst, 63, 5), 254);
    EXPECT_NEAR(luma(dst, 32, 5), luma(src.get(), 32, 5), 1);
}

TEST(ConvertColorSpace, LimitedOrUnspecifiedRangeKeepsValuesAndTheSourceTag) {
    for (AVColorRange range : {AVCOL_RANGE_MPEG, AVCOL_RANGE_UNSPECIFIED}) {
        frame_ptr src(make_frame(AV_PIX_FMT_YUV422P, 32, 16, 16, 235));
        ASSERT_TRUE(src);
        src->color_range = range;
        convertColorSpace conversion(src.get(), AV_PIX_FMT_YUV420P);
        ASSERT_TRUE(conversion.is_ok);
        const AVFrame* dst = conversion.dst_frame->frame;
        EXPECT_EQ(dst->color_range, range);
        EXPECT_NEAR(luma(dst, 0, 3), 16, 1);
        EXPECT_NEAR(luma(dst, 31, 3), 235, 1);
        // 4:2:2 chroma reaches 4:2:0 unchanged in value.
        EXPECT_NEAR(dst->data[1][0], 100, 1);
        EXPECT_NEAR(dst->data[2][dst->linesize[2] * 3 + 5], 160, 1);
    }
}

TEST(ConvertColorSpace, ResultCarriesTheSourceTimestampsAndColourTags) {
    frame_ptr src(make_frame(AV_PIX_FMT_YUV420P, 32, 32, 20, 200));
    ASSERT_TRUE(src);
    src->pts = 123456;
    src->pkt_dts = 123000;
    src->color_range = AVCOL_RANGE_MPEG;
    src->colorspace = AVCOL_SPC_BT470BG;
    src->color_primaries = AVCOL_PRI_BT470BG;
    src->color_trc = AVCOL_TRC_GAMMA28;
    src->chroma_location = AVCHROMA_LOC_CENTER;

    convertColorSpace conversion(src.get(), AV_PIX_FMT_NV12);
    ASSERT_TRUE(conversion.is_ok);
    const AVFrame* dst = conversion.dst_frame->frame;
    EXPECT_EQ(dst->pts, 123456);
    EXPECT_EQ(dst->pkt_dts, 123000);
    EXPECT_EQ(dst->colorspace, AVCOL_SPC_BT470BG);
    EXPECT_EQ(dst->color_primaries, AVCOL_PRI_BT470BG);
    EXPECT_EQ(dst->color_trc, AVCOL_TRC_GAMMA28);
    EXPECT_EQ(dst->chroma_location, AVCHROMA_LOC_CENTER);
    EXPECT_EQ(dst->width, 32);
    EXPECT_EQ(dst->height, 32);
}

TEST(ConvertColorSpace, SameFormatIsAStraightCopy) {
    frame_ptr src(make_frame(AV_PIX_FMT_YUV420P, 48, 24, 30, 220));
    ASSERT_TRUE(src);
    convertColorSpace conversion(src.get(), AV_PIX_FMT_YUV420P);
    ASSERT_TRUE(conversion.is_ok);
    const AVFrame* dst = conversion.dst_frame->frame;
    ASSERT_EQ(dst->format, AV_PIX_FMT_YUV420P);
    // A new picture, not a reference to the source's.
    EXPECT_NE(dst->data[0], src->data[0]);
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 48; ++x) ASSERT_EQ(luma(dst, x, y), luma(src.get(), x, y)) << x << "," << y;
    }
    for (int plane = 1; plane < 3; ++plane) {
        for (int y = 0; y < 12; ++y) {
            for (int x = 0; x < 24; ++x) {
                ASSERT_EQ(dst->data[plane][y * dst->linesize[plane] + x],
                          src->data[plane][y * src->linesize[plane] + x]);
            }
        }
    }
}

TEST(ConvertColorSpace, TwoSizesInARowAreEachConvertedWhole) {
    struct size {
        int w, h;
    };
    for (size s : {size{64, 48}, size{32, 16}, size{66, 34}}) {
        frame_ptr src(make_frame(AV_PIX_FMT_YUV420P, s.w, s.h, 16, 235, 90, 170));
        ASSERT_TRUE(src);
        convertColorSpace conversion(src.get(), AV_PIX_FMT_NV12);
        ASSERT_TRUE(conversion.is_ok);
        const AVFrame* dst = conversion.dst_frame->frame;
        EXPECT_EQ(dst->width, s.w);
        EXPECT_EQ(dst->height, s.h);
        // Last row and column are filled too (the scaler ran over the whole picture).
        EXPECT_NEAR(luma(dst, s.w - 1, s.h - 1), 235, 1);
        EXPECT_NEAR(luma(dst, 0, s.h - 1), 16, 1);
        // NV12 interleaves U and V in its second plane.
        const uint8_t* uv = dst->data[1] + (s.h / 2 - 1) * dst->linesize[1];
        EXPECT_NEAR(uv[0], 90, 1);
        EXPECT_NEAR(uv[1], 170, 1);
        EXPECT_NEAR(uv[(s.w / 2 - 1) * 2 + 1], 170, 1);
    }
}

TEST(ConvertColorSpace, TenBitSourceBecomesEightBit) {
    AVFrame* raw = av_frame_alloc();
    raw->format = AV_PIX_FMT_YUV420P10LE;
    raw->width = 32;
    raw->height = 16;
    ASSERT_GE(av_frame_get_buffer(raw, 0), 0);
    frame_ptr src(raw);
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? 16 : 32, h = plane ? 8 : 16;
        const uint16_t value = plane ? 512 : 800;  // 800/4 = 200 in 8 bit
        for (int y = 0; y < h; ++y) {
            auto* row = reinterpret_cast<uint16_t*>(src->data[plane] + y * src->linesize[plane]);
            for (int x = 0; x < w; ++x) row[x] = value;
        }
    }
    convertColorSpace conversion(src.get(), AV_PIX_FMT_YUV420P);
    ASSERT_TRUE(conversion.is_ok);
    const AVFrame* dst = conversion.dst_frame->frame;
    EXPECT_NEAR(luma(dst, 5, 5), 200, 1);
    EXPECT_NEAR(dst->data[1][3], 128, 1);
}
