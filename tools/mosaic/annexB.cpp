#include "tools/mosaic/annexB.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace mosaic {

namespace {
// Offset of the next 00 00 01 at or after from, or size when there is none.
size_t find_start_code(const uint8_t* data, size_t size, size_t from) {
    for (size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return size;
}
}  // namespace

std::vector<nal_span> split_annexb(const uint8_t* data, size_t size) {
    std::vector<nal_span> units;
    size_t code = find_start_code(data, size, 0);
    while (code < size) {
        nal_span unit;
        unit.start_code = (code > 0 && data[code - 1] == 0) ? code - 1 : code;
        unit.begin = code + 3;
        const size_t next = find_start_code(data, size, unit.begin);
        size_t end = next;
        while (end > unit.begin && data[end - 1] == 0) --end;
        unit.end = end;
        if (unit.end > unit.begin) units.push_back(unit);
        code = next;
    }
    return units;
}

int nal_unit_type(int codec_id, uint8_t header) {
    return codec_id == AV_CODEC_ID_HEVC ? (header >> 1) & 0x3F : header & 0x1F;
}

bool is_parameter_set(int codec_id, int type) {
    if (codec_id == AV_CODEC_ID_HEVC) return type == 32 || type == 33 || type == 34;
    return type == 7 || type == 8;
}

bool is_idr_slice(int codec_id, int type) {
    if (codec_id == AV_CODEC_ID_HEVC) return type >= 16 && type <= 21;
    return type == 5;
}

std::vector<uint8_t> parameter_sets_of(int codec_id, const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    for (const nal_span& unit : split_annexb(data, size)) {
        if (!is_parameter_set(codec_id, nal_unit_type(codec_id, data[unit.begin]))) continue;
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), data + unit.begin, data + unit.end);
    }
    return out;
}

size_t clean_tail_start(const uint8_t* data, size_t size) {
    for (size_t i = size; i >= 3; --i) {
        if (data[i - 3] == 0 && data[i - 2] == 0 && data[i - 1] <= 3) return i - 2;
    }
    return 0;
}

}  // namespace mosaic
