#include "tools/mosaic/annexB.h"

#include "privacy/bitReader.h"

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

void append_length_prefixed(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    for (const nal_span& unit : split_annexb(data, size)) append_nal(data + unit.begin, unit.end - unit.begin, out);
}

void append_nal(const uint8_t* nal, size_t size, std::vector<uint8_t>& out) {
    const uint8_t length[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
    out.insert(out.end(), length, length + 4);
    out.insert(out.end(), nal, nal + size);
}

std::vector<uint8_t> avc_configuration(const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> sps, pps;
    for (const nal_span& unit : split_annexb(data, size)) {
        const int type = data[unit.begin] & 0x1F;
        if (type == 7 || type == 8) (type == 7 ? sps : pps).emplace_back(data + unit.begin, data + unit.end);
    }
    if (sps.empty() || pps.empty() || sps.size() > 31 || pps.size() > 255 || sps[0].size() < 4) return {};
    // Version 1, profile, constraint flags and level of the first SPS, 4-byte NAL lengths.
    std::vector<uint8_t> out = {1, sps[0][1], sps[0][2], sps[0][3], 0xFF, static_cast<uint8_t>(0xE0 | sps.size())};
    auto append_sets = [&out](const std::vector<std::vector<uint8_t>>& sets) {
        for (const auto& set : sets) {
            if (set.size() > 0xFFFF) return false;
            out.push_back(static_cast<uint8_t>(set.size() >> 8));
            out.push_back(static_cast<uint8_t>(set.size()));
            out.insert(out.end(), set.begin(), set.end());
        }
        return true;
    };
    if (!append_sets(sps)) return {};
    out.push_back(static_cast<uint8_t>(pps.size()));
    if (!append_sets(pps)) return {};
    const uint8_t profile = sps[0][1];
    if (profile == 100 || profile == 110 || profile == 122 || profile == 144) {
        // The high profiles add chroma format and bit depths, read from the SPS.
        privacy::bit_reader bits(sps[0].data() + 1, sps[0].size() - 1);
        bits.skip_bytes(3);  // profile, constraint flags, level
        uint32_t id = 0, chroma = 0, separate = 0, luma_depth = 0, chroma_depth = 0;
        if (!bits.read_ue(&id) || !bits.read_ue(&chroma) || (chroma == 3 && !bits.read_bit(&separate)) ||
            !bits.read_ue(&luma_depth) || !bits.read_ue(&chroma_depth) || chroma > 3 || luma_depth > 7 ||
            chroma_depth > 7) {
            return {};
        }
        out.insert(out.end(), {static_cast<uint8_t>(0xFC | chroma), static_cast<uint8_t>(0xF8 | luma_depth),
                               static_cast<uint8_t>(0xF8 | chroma_depth), 0});
    }
    return out;
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
