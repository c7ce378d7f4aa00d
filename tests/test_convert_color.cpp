// convertColorSpace: one frame into another pixel format, keeping range, timestamps and tags.
#include <gtest/gtest.h>

#include "common/common.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

struct frame_deleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using frame_ptr = std::unique_ptr<AVFrame, frame_deleter>;

// 8-bit planar YUV: luma ramps from lo (left) to hi (right), chroma is u and v.
frame_ptr make_frame(AVPixelFormat format, int w, int h, int lo, int hi, int u = 90, int v = 170) {
    frame_ptr f(av_frame_alloc());
    f->format = format;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f->data[0][y * f->linesize[0] + x] = static_cast<uint8_t>(lo + (hi - lo) * x / (w - 1));
    for (int y = 0; y < AV_CEIL_RSHIFT(h, d->log2_chroma_h); ++y)
        for (int x = 0; x < AV_CEIL_RSHIFT(w, d->log2_chroma_w); ++x) {
            f->data[1][y * f->linesize[1] + x] = static_cast<uint8_t>(u);
            f->data[2][y * f->linesize[2] + x] = static_cast<uint8_t>(v);
        }
    return f;
}

int luma(const AVFrame* f, int x, int y) { return f->data[0][y * f->linesize[0] + x]; }

}  // namespace

TEST(ConvertColorSpace, FullRangeYuvj420pIsConvertedAsFullRangeYuv420p) {
    frame_ptr src = make_frame(AV_PIX_FMT_YUVJ420P, 64, 32, 0, 255);
    src->color_range = AVCOL_RANGE_JPEG;
    convertColorSpace conversion(src.get(), AV_PIX_FMT_NV12);
    ASSERT_TRUE(conversion.is_ok);
    EXPECT_EQ(src->format, AV_PIX_FMT_YUV420P);  // the deprecated format is replaced in the source
    const AVFrame* dst = conversion.dst_frame->frame;
    EXPECT_EQ(dst->format, AV_PIX_FMT_NV12);
    EXPECT_EQ(dst->color_range, AVCOL_RANGE_JPEG);
    // Full range on both sides: the extremes are not squeezed into 16..235.
    EXPECT_LE(luma(dst, 0, 5), 1);
    EXPECT_GE(luma(dst, 63, 5), 254);
}

TEST(ConvertColorSpace, ResultKeepsTheSourceTimestampsTagsAndLimitedRangeValues) {
    const AVColorRange untagged = static_cast<AVColorRange>(0);  // FFmpeg's "no range given"
    for (AVColorRange range : {AVCOL_RANGE_MPEG, untagged}) {
        frame_ptr src = make_frame(AV_PIX_FMT_YUV422P, 32, 16, 16, 235);
        src->color_range = range;
        src->pts = 123456;
        src->pkt_dts = 123000;
        src->colorspace = AVCOL_SPC_BT470BG;
        src->color_primaries = AVCOL_PRI_BT470BG;
        src->color_trc = AVCOL_TRC_GAMMA28;
        src->chroma_location = AVCHROMA_LOC_CENTER;
        convertColorSpace conversion(src.get(), AV_PIX_FMT_YUV420P);
        ASSERT_TRUE(conversion.is_ok);
        const AVFrame* dst = conversion.dst_frame->frame;
        EXPECT_EQ(dst->color_range, range);
        EXPECT_EQ(dst->pts, 123456);
        EXPECT_EQ(dst->pkt_dts, 123000);
        EXPECT_EQ(dst->colorspace, AVCOL_SPC_BT470BG);
        EXPECT_EQ(dst->color_primaries, AVCOL_PRI_BT470BG);
        EXPECT_EQ(dst->color_trc, AVCOL_TRC_GAMMA28);
        EXPECT_EQ(dst->chroma_location, AVCHROMA_LOC_CENTER);
        EXPECT_NEAR(luma(dst, 0, 3), 16, 1);
        EXPECT_NEAR(luma(dst, 31, 3), 235, 1);
        EXPECT_NEAR(dst->data[2][dst->linesize[2] * 7 + 15], 170, 1);
    }
}

TEST(ConvertColorSpace, SameFormatCopiesAndSizesChangeFromFrameToFrame) {
    for (auto [w, h] : {std::pair{48, 24}, std::pair{66, 34}, std::pair{32, 16}}) {
        frame_ptr src = make_frame(AV_PIX_FMT_YUV420P, w, h, 30, 220);
        convertColorSpace copy(src.get(), AV_PIX_FMT_YUV420P);
        ASSERT_TRUE(copy.is_ok);
        const AVFrame* same = copy.dst_frame->frame;
        EXPECT_NE(same->data[0], src->data[0]);  // a picture of its own
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) ASSERT_EQ(luma(same, x, y), luma(src.get(), x, y)) << w << ":" << x << "," << y;

        convertColorSpace nv12(src.get(), AV_PIX_FMT_NV12);
        ASSERT_TRUE(nv12.is_ok);
        const AVFrame* dst = nv12.dst_frame->frame;
        ASSERT_EQ(dst->width, w);
        ASSERT_EQ(dst->height, h);
        EXPECT_NEAR(luma(dst, w - 1, h - 1), 220, 1);  // the whole picture, last row included
        const uint8_t* uv = dst->data[1] + (h / 2 - 1) * dst->linesize[1];
        EXPECT_NEAR(uv[0], 90, 1);  // U and V interleaved
        EXPECT_NEAR(uv[(w / 2 - 1) * 2 + 1], 170, 1);
    }
}
