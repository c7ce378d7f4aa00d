// Brings every decoded picture to what both encoders take: 8-bit 4:2:0 (AV_PIX_FMT_YUV420P)
// at the first picture's size, padded to even width and height by repeating the last column
// and row.
#pragma once

#include <string>

#include "tools/mosaic/ffHolders.h"

namespace mosaic {

class frameConvert {
public:
    frameConvert() = default;
    frameConvert(const frameConvert&) = delete;
    frameConvert& operator=(const frameConvert&) = delete;

    // Returns the converted picture (a new reference to src itself when it already fits),
    // carrying src's timestamp and colour description. The first call fixes the size.
    frame_ptr convert(const AVFrame* src, std::string* error);

    int source_width() const { return width_; }
    int source_height() const { return height_; }
    int width() const { return (width_ + 1) & ~1; }
    int height() const { return (height_ + 1) & ~1; }

private:
    int width_ = 0;
    int height_ = 0;
    SwsContext* sws_ = nullptr;  // owned by holder_
    sws_ptr holder_;
};

}  // namespace mosaic
