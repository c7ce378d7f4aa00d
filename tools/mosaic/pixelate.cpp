#include "tools/mosaic/pixelate.h"

#include <algorithm>
#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

namespace mosaic {

namespace {

void fill_cells(uint8_t* plane, int stride, int x0, int y0, int x1, int y1, int cell) {
    for (int cy = y0; cy < y1; cy += cell) {
        const int cy1 = std::min(cy + cell, y1);
        for (int cx = x0; cx < x1; cx += cell) {
            const int cx1 = std::min(cx + cell, x1);
            uint64_t sum = 0;
            for (int y = cy; y < cy1; ++y) {
                const uint8_t* row = plane + static_cast<ptrdiff_t>(y) * stride;
                for (int x = cx; x < cx1; ++x) sum += row[x];
            }
            const uint64_t count = static_cast<uint64_t>(cy1 - cy) * static_cast<uint64_t>(cx1 - cx);
            const uint8_t mean = static_cast<uint8_t>((sum + count / 2) / count);
            for (int y = cy; y < cy1; ++y) {
                std::fill(plane + static_cast<ptrdiff_t>(y) * stride + cx,
                          plane + static_cast<ptrdiff_t>(y) * stride + cx1, mean);
            }
        }
    }
}

}  // namespace

mask_region default_region(int width, int height) {
    mask_region region;
    region.w = std::max(1, width / 3);
    region.h = std::max(1, height / 3);
    region.x = (width - region.w) / 2;
    region.y = (height - region.h) / 2;
    return region;
}

bool resolve_regions(const std::vector<mask_region>& requested, int width, int height,
                     std::vector<pixel_rect>* resolved, std::string* error) {
    resolved->clear();
    const int padded_width = (width + 1) & ~1;
    const int padded_height = (height + 1) & ~1;
    for (const mask_region& region : requested) {
        if (region.x >= width || region.y >= height) {
            *error = "region " + std::to_string(region.x) + "," + std::to_string(region.y) + "," +
                     std::to_string(region.w) + "," + std::to_string(region.h) + " lies outside the " +
                     std::to_string(width) + "x" + std::to_string(height) + " picture";
            return false;
        }
        pixel_rect rect;
        rect.x0 = region.x & ~1;
        rect.y0 = region.y & ~1;
        // Regions are parsed below INT_MAX / 2 per field, so the sums cannot overflow.
        rect.x1 = std::min((std::min(region.x + region.w, width) + 1) & ~1, padded_width);
        rect.y1 = std::min((std::min(region.y + region.h, height) + 1) & ~1, padded_height);
        resolved->push_back(rect);
    }
    return true;
}

void pixelate_yuv420p(AVFrame* frame, const pixel_rect& rect, int block) {
    const int x1 = std::min(rect.x1, frame->width & ~1);
    const int y1 = std::min(rect.y1, frame->height & ~1);
    if (rect.x0 >= x1 || rect.y0 >= y1 || block < 1) return;
    fill_cells(frame->data[0], frame->linesize[0], rect.x0, rect.y0, x1, y1, block);
    // Chroma cells cover the same picture area; with an odd block the chroma grid is
    // half a luma pixel off, which a mosaic does not show.
    const int chroma_block = std::max(1, (block + 1) / 2);
    for (int plane = 1; plane <= 2; ++plane) {
        fill_cells(frame->data[plane], frame->linesize[plane], rect.x0 / 2, rect.y0 / 2, x1 / 2, y1 / 2,
                   chroma_block);
    }
}

}  // namespace mosaic
