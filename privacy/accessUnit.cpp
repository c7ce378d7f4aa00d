#include "privacy/accessUnit.h"

#include <cstring>

#include "privacy/privacyPacket.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace privacy {

namespace {

constexpr int k_h264_sei = 6;
constexpr int k_hevc_prefix_sei = 39;
constexpr int k_hevc_suffix_sei = 40;

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

// Walks the SEI messages of the NAL unit payload [begin, end) and records the first one of
// payload type 153.
void find_privacy_message(const uint8_t* data, size_t nal_begin, size_t begin, size_t end, privacy_message_at* out) {
    rbsp_reader reader(data, begin, end);
    while (!reader.at_trailing_bits()) {
        size_t type = 0;
        size_t size = 0;
        if (!reader.read_ff_coded(&type)) return;
        if (!reader.read_ff_coded(&size)) {
            if (type == k_payload_type) {
                out->truncated = true;
                out->nal_begin = nal_begin;
            }
            return;
        }
        if (type == k_payload_type) {
            reader.skip_emulation_prevention();
            out->found = true;
            out->truncated = false;
            out->nal_begin = nal_begin;
            out->payload_at = reader.pos();
            out->payload_size = size;
            out->extent = end - reader.pos();
            return;
        }
        if (!reader.skip(size)) return;  // a message that runs past its NAL unit ends the walk
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
            out->kind = is_key(hevc, unit.type) ? picture_kind::key : picture_kind::other;
            out->first_vcl_type = unit.type;
            if (out->unit_count < access_unit::k_max_units) out->units[out->unit_count++] = unit;
            break;
        }
        const size_t next = next_start_code(data, size, unit.begin);
        unit.end = next;
        while (unit.end > unit.begin && data[unit.end - 1] == 0) --unit.end;
        if (unit.end - unit.begin >= header_size) {
            if (out->unit_count < access_unit::k_max_units) {
                out->units[out->unit_count++] = unit;
                if (is_parameter_set_type(codec_id, unit.type)) {
                    ++out->parameter_set_count;
                    out->parameter_set_bytes += 4 + (unit.end - unit.begin);
                }
            }
            if (is_sei(hevc, unit.type) && !out->message.found) {
                find_privacy_message(data, unit.begin, unit.begin + header_size, unit.end, &out->message);
            }
        }
        code = next;
    }
    return true;
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
