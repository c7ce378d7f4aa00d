#include "tools/mosaic/frameConvert.h"

#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace mosaic {

namespace {

bool is_full_range_format(int format) {
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
           format == AV_PIX_FMT_YUVJ440P || format == AV_PIX_FMT_YUVJ411P;
}

int sws_colorspace(AVColorSpace space) {
    switch (space) {
        case AVCOL_SPC_BT709: return SWS_CS_ITU709;
        case AVCOL_SPC_FCC: return SWS_CS_FCC;
        case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
        default: return SWS_CS_DEFAULT;
    }
}

// Repeats the last luma column and row into the padding of an odd-sized picture; the
// chroma planes of a 4:2:0 picture already cover the rounded-up size.
void pad_luma(AVFrame* frame, int width, int height) {
    uint8_t* luma = frame->data[0];
    const int stride = frame->linesize[0];
    if (width < frame->width) {
        for (int y = 0; y < height; ++y) luma[y * stride + width] = luma[y * stride + width - 1];
    }
    if (height < frame->height) {
        std::memcpy(luma + height * stride, luma + (height - 1) * stride, frame->width);
    }
}

}  // namespace

frame_ptr frameConvert::convert(const AVFrame* src, std::string* error) {
    if (width_ == 0) {
        width_ = src->width;
        height_ = src->height;
        if (width_ <= 0 || height_ <= 0) {
            *error = "the video has no picture size";
            return nullptr;
        }
    }
    const AVPixelFormat format = static_cast<AVPixelFormat>(src->format);
    const bool fits = (format == AV_PIX_FMT_YUV420P || format == AV_PIX_FMT_YUVJ420P) && src->width == width_ &&
                      src->height == height_ && width_ % 2 == 0 && height_ % 2 == 0;
    if (fits) {
        frame_ptr out = make_frame();
        if (!out || av_frame_ref(out.get(), src) < 0) {
            *error = "out of memory";
            return nullptr;
        }
        if (format == AV_PIX_FMT_YUVJ420P) {
            // The same samples; the full range is told by the colour description instead.
            out->format = AV_PIX_FMT_YUV420P;
            out->color_range = AVCOL_RANGE_JPEG;
        }
        return out;
    }

    frame_ptr out = make_frame();
    if (!out) {
        *error = "out of memory";
        return nullptr;
    }
    out->format = AV_PIX_FMT_YUV420P;
    out->width = width();
    out->height = height();
    if (av_frame_get_buffer(out.get(), 0) < 0 || av_frame_copy_props(out.get(), src) < 0) {
        *error = "out of memory";
        return nullptr;
    }

    sws_ = sws_getCachedContext(sws_, src->width, src->height, format, width_, height_, AV_PIX_FMT_YUV420P,
                                SWS_BICUBIC, nullptr, nullptr, nullptr);
    holder_.release();
    holder_.reset(sws_);
    if (sws_ == nullptr) {
        *error = std::string("cannot convert pictures of pixel format ") +
                 (av_get_pix_fmt_name(format) ? av_get_pix_fmt_name(format) : "?");
        return nullptr;
    }
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const bool rgb = descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_RGB);
    const bool full_range = src->color_range == AVCOL_RANGE_JPEG || is_full_range_format(format);
    const int* coefficients = sws_getCoefficients(sws_colorspace(src->colorspace));
    // YUV keeps its range; RGB becomes limited-range YUV.
    const bool out_full_range = !rgb && full_range;
    sws_setColorspaceDetails(sws_, coefficients, rgb ? 1 : full_range, coefficients, out_full_range, 0, 1 << 16,
                             1 << 16);
    sws_scale(sws_, src->data, src->linesize, 0, src->height, out->data, out->linesize);
    pad_luma(out.get(), width_, height_);
    out->color_range = out_full_range ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    if (rgb) out->colorspace = AVCOL_SPC_SMPTE170M;
    return out;
}

}  // namespace mosaic
