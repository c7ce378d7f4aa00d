#include "privacy/accessUnit.h"

#include <cstring>

#include "privacy/bitReader.h"
#include "privacy/privacyPacket.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace privacy {

namespace {

constexpr int k_h264_sei = 6;
constexpr int k_hevc_prefix_sei = 39;
constexpr int k_hevc_suffix_sei = 40;
constexpr int k_h264_filler = 12;
constexpr int k_hevc_filler = 38;

// Offset of the next 00 00 01 at or after from, or size when there is none.
size_t next_start_code(const uint8_t* data, size_t size, size_t from) {
    while (from < size) {
        const size_t at = from + find_zero_run(data + from, size - from, 1);
        if (at >= size) return size;
        if (data[at + 2] == 1) return at;
        from = at + 1;  // 00 00 00: zero bytes between NAL units, or before a 4-byte start code
    }
    return size;
}

bool is_vcl(bool hevc, int type) { return hevc ? type <= 31 : (type >= 1 && type <= 5) || type == 20 || type == 21; }

bool is_key(bool hevc, int type) { return hevc ? type >= 16 && type <= 21 : type == 5; }

bool is_sei(bool hevc, int type) {
    return hevc ? type == k_hevc_prefix_sei || type == k_hevc_suffix_sei : type == k_h264_sei;
}

// H.264: nal_ref_idc above 0. HEVC: all but the sub-layer non-reference types (TRAIL_N,
// TSA_N, STSA_N, RADL_N, RASL_N and the reserved RSV_VCL_N10/12/14: even types below 16).
bool is_reference(bool hevc, uint8_t header, int type) {
    return hevc ? !(type < 16 && type % 2 == 0) : (header & 0x60) != 0;
}

// Offset one past the NAL unit whose start code lies before from: the next start code, less
// the zero bytes in front of it.
size_t nal_end(const uint8_t* data, size_t size, size_t from, size_t* next) {
    *next = next_start_code(data, size, from);
    size_t end = *next;
    while (end > from && data[end - 1] == 0) --end;
    return end;
}

// The bytes of one NAL unit's payload with emulation prevention removed on the fly: after
// two zero bytes, a 03 is skipped. pos() is always a packet offset.
class rbsp_reader {
public:
    rbsp_reader(const uint8_t* data, size_t begin, size_t end) : data_(data), pos_(begin), end_(end) {}

    bool read(uint8_t* byte) {
        skip_emulation_prevention();
        if (pos_ >= end_) return false;
        *byte = data_[pos_++];
        zeros_ = *byte == 0 ? zeros_ + 1 : 0;
        return true;
    }

    // A run of FF bytes and one final byte, summed (payload type or payload size).
    bool read_ff_coded(size_t* value) {
        *value = 0;
        uint8_t byte = 0;
        do {
            if (!read(&byte)) return false;
            *value += byte;
        } while (byte == 0xFF);
        return true;
    }

    bool skip(size_t count) {
        uint8_t byte = 0;
        for (size_t i = 0; i < count; ++i) {
            if (!read(&byte)) return false;
        }
        return true;
    }

    // Only the rbsp trailing bits are left (1000 0000; trailing zero bytes are not part of
    // the range), or nothing.
    bool at_trailing_bits() {
        skip_emulation_prevention();
        return pos_ >= end_ || (pos_ + 1 == end_ && data_[pos_] == 0x80);
    }

    // Steps over an emulation prevention byte that stands at the current position.
    void skip_emulation_prevention() {
        if (zeros_ >= 2 && pos_ < end_ && data_[pos_] == 0x03) {
            ++pos_;
            zeros_ = 0;
        }
    }

    size_t pos() const { return pos_; }

private:
    const uint8_t* data_;
    size_t pos_;
    size_t end_;
    int zeros_ = 0;
};

// H.264 slice header: first_mb_in_slice, then slice_type; I is 2 or 7, SI 4 or 9.
bool is_intra_slice(const uint8_t* data, size_t begin, size_t end) {
    bit_reader bits(data + begin + 1, end > begin ? end - begin - 1 : 0);
    uint32_t first_mb = 0, slice_type = 0;
    if (!bits.read_ue(&first_mb) || !bits.read_ue(&slice_type)) return false;
    return slice_type % 5 == 2 || slice_type % 5 == 4;
}

// Whether every H.264 slice of the picture from the VCL NAL unit at begin on is an I or SI slice.
bool all_slices_intra(const uint8_t* data, size_t size, size_t begin) {
    while (begin < size) {
        size_t next = 0;
        const size_t end = nal_end(data, size, begin, &next);
        const int type = data[begin] & 0x1F;
        if ((type == 1 || type == 5) && !is_intra_slice(data, begin, end)) return false;
        begin = next + 3;
    }
    return true;
}

// Walks the SEI messages of the NAL unit payload [begin, end) and records the first one of
// payload type 153. Its size bytes and payload are read on the packet's bytes as they stand,
// up to the end of the packet (size bytes), whatever the NAL unit's end seemed to be.
void find_privacy_message(const uint8_t* data, size_t size, size_t nal_begin, size_t begin, size_t end,
                          privacy_message_at* out) {
    rbsp_reader reader(data, begin, end);
    while (!reader.at_trailing_bits()) {
        size_t type = 0;
        if (!reader.read_ff_coded(&type)) return;
        if (type == k_payload_type) {
            size_t at = reader.pos();
            size_t payload_size = 0;
            for (uint8_t byte = 0xFF; byte == 0xFF;) {
                if (at >= size) {
                    out->truncated = true;
                    out->nal_begin = nal_begin;
                    return;
                }
                byte = data[at++];
                payload_size += byte;
            }
            out->found = true;
            out->truncated = false;
            out->nal_begin = nal_begin;
            out->payload_at = at;
            out->payload_size = payload_size;
            out->extent = size - at;
            payload_layout layout;
            out->end = read_payload_layout(data + at, payload_size, size - at, &layout) == layout_status::ok
                           ? at + layout.raw_size
                           : 0;
            return;
        }
        size_t payload_size = 0;
        if (!reader.read_ff_coded(&payload_size)) return;
        if (!reader.skip(payload_size)) return;  // a message that runs past its NAL unit ends the walk
    }
}

}  // namespace

bool is_parameter_set_type(int codec_id, int type) {
    if (codec_id == AV_CODEC_ID_HEVC) return type >= 32 && type <= 34;
    return type == 7 || type == 8;
}

bool scan_access_unit(const uint8_t* data, size_t size, int codec_id, access_unit* out) {
    if (out == nullptr) return false;
    *out = access_unit();
    if (data == nullptr || (codec_id != AV_CODEC_ID_H264 && codec_id != AV_CODEC_ID_HEVC)) return false;
    const bool hevc = codec_id == AV_CODEC_ID_HEVC;
    const size_t header_size = hevc ? 2 : 1;

    size_t code = next_start_code(data, size, 0);
    while (code < size) {
        nal_unit_range unit;
        unit.start_code = code > 0 && data[code - 1] == 0 ? code - 1 : code;
        unit.begin = code + 3;
        if (unit.begin >= size) break;
        unit.type = hevc ? (data[unit.begin] >> 1) & 0x3F : data[unit.begin] & 0x1F;
        if (is_vcl(hevc, unit.type)) {
            // The picture's data is not walked: its end is the packet's.
            unit.end = size;
            const privacy_message_at& message = out->message;
            const bool opens_group = !hevc && unit.type == 1 && !message.found && !message.truncated &&
                                     all_slices_intra(data, size, unit.begin);
            out->kind = is_key(hevc, unit.type) || opens_group ? picture_kind::key : picture_kind::other;
            out->first_vcl_type = unit.type;
            out->reference = is_reference(hevc, data[unit.begin], unit.type);
            if (out->unit_count < access_unit::k_max_units) out->units[out->unit_count++] = unit;
            break;
        }
        size_t next = 0;
        unit.end = nal_end(data, size, unit.begin, &next);
        if (unit.end - unit.begin >= header_size) {
            if (is_sei(hevc, unit.type) && !out->message.found) {
                find_privacy_message(data, size, unit.begin, unit.begin + header_size, unit.end, &out->message);
                // A start-code pattern inside the message is no start code: the unit goes on
                // behind the message.
                if (out->message.found && out->message.end > unit.end) {
                    unit.end = nal_end(data, size, out->message.end, &next);
                }
            }
            if (out->unit_count < access_unit::k_max_units) {
                out->units[out->unit_count++] = unit;
                if (is_parameter_set_type(codec_id, unit.type)) {
                    ++out->parameter_set_count;
                    out->parameter_set_bytes += 4 + (unit.end - unit.begin);
                }
            }
        }
        code = next;
    }
    return true;
}

size_t count_nal_units(const uint8_t* data, size_t size, size_t limit) {
    size_t count = 0;
    for (size_t code = next_start_code(data, size, 0); code < size && count < limit;
         code = next_start_code(data, size, code + 3)) {
        ++count;
    }
    return count;
}

size_t drop_filler_units(const uint8_t* data, size_t size, int codec_id, std::vector<uint8_t>* out) {
    const bool hevc = codec_id == AV_CODEC_ID_HEVC;
    const size_t header_size = hevc ? 2 : 1;
    size_t code = next_start_code(data, size, 0);
    out->assign(data, data + code);
    size_t kept = 0;
    while (code < size) {
        const size_t begin = code + 3;
        size_t next = size;
        const size_t end = begin < size ? nal_end(data, size, begin, &next) : begin;
        const int type = end > begin ? (hevc ? (data[begin] >> 1) & 0x3F : data[begin] & 0x1F) : -1;
        if (end > begin + header_size && type != (hevc ? k_hevc_filler : k_h264_filler)) {
            static const uint8_t start_code[4] = {0, 0, 0, 1};
            out->insert(out->end(), start_code, start_code + 4);
            out->insert(out->end(), data + begin, data + end);
            ++kept;
        }
        code = next;
    }
    return kept;
}

bool is_key_picture(const uint8_t* data, size_t size, int codec_id) {
    access_unit unit;
    return scan_access_unit(data, size, codec_id, &unit) && unit.kind == picture_kind::key;
}

bool find_inserted_configuration(const uint8_t* data, size_t size, int codec_id, const uint8_t* config,
                                 size_t config_size, size_t* at) {
    access_unit au;
    if (config == nullptr || config_size == 0 || at == nullptr || !scan_access_unit(data, size, codec_id, &au) ||
        au.kind != picture_kind::key || au.unit_count == 0 || au.unit_count >= access_unit::k_max_units) {
        return false;
    }
    // The copy ends where the first VCL NAL unit's start code begins.
    const size_t vcl_at = au.units[au.unit_count - 1].start_code;
    if (vcl_at < config_size) return false;
    const size_t copy_at = vcl_at - config_size;
    if (std::memcmp(data + copy_at, config, config_size) != 0) return false;
    for (size_t i = 0; i + 1 < au.unit_count; ++i) {
        const nal_unit_range& unit = au.units[i];
        if (unit.begin < copy_at && is_parameter_set_type(codec_id, unit.type)) {
            *at = copy_at;
            return true;
        }
    }
    return false;
}

}  // namespace privacy
