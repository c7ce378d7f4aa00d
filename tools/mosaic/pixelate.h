// The mosaic itself: every cell of a region is filled with its mean colour.
#pragma once

#include <string>
#include <vector>

#include "tools/mosaic/mosaicOptions.h"

struct AVFrame;

namespace mosaic {

// A rectangle in the picture with even corners, so that it covers whole 4:2:0 chroma samples.
struct pixel_rect {
    int x0 = 0;
    int y0 = 0;
    int x1 = 0;  // exclusive
    int y1 = 0;  // exclusive
};

// One centred rectangle a third of the picture's width and height.
mask_region default_region(int width, int height);

// Clips the requested regions to a width x height picture and widens them to even corners
// (within the even-padded size). Fails, naming the region, when one lies wholly outside.
bool resolve_regions(const std::vector<mask_region>& requested, int width, int height,
                     std::vector<pixel_rect>* resolved, std::string* error);

// Replaces every block x block luma cell of rect (and the matching chroma cells) in a
// writable AV_PIX_FMT_YUV420P frame by its rounded mean. The grid starts at the rect's corner.
void pixelate_yuv420p(AVFrame* frame, const pixel_rect& rect, int block);

}  // namespace mosaic
