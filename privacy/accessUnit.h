// Reads one access unit (one video packet in Annex B form) the way the restorer needs it:
// which NAL units stand before its picture, whether the picture is a key picture, where its
// parameter sets are, and where the privacy message (SEI payload type 153) sits.
//
//   [AUD] [VPS] [SPS] [PPS] [SEI NAL: msg msg ...] ... first VCL NAL unit | rest of the picture
//   <-------------------- walked, NAL by NAL --------------------------> | never walked
//
// NAL units start behind 00 00 01 or 00 00 00 01. The SEI messages of every SEI NAL unit
// before the first VCL NAL unit (H.264 type 6, HEVC prefix 39 and suffix 40) are walked:
// payload type and payload size are each a run of FF bytes plus one final byte, counted on
// the bytes with emulation prevention removed, as the SEI syntax defines them; the walk of a
// NAL unit ends at its rbsp trailing bits or its last byte. The privacy message is the
// exception: its writers put size, salt, nonce, tag, length and text (and an unversioned
// tail) into the packet unescaped, so it is read on the bytes as they stand, bounded by its
// size S (a versioned tail by the escaped bytes it spans), and a start-code pattern inside it
// ends nothing: the scan resumes behind the message. No FFmpeg context is needed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace privacy {

// The picture of an access unit, judged by its first VCL NAL unit.
enum class picture_kind {
    none,   // no VCL NAL unit at all (parameter sets, SEI, delimiters only)
    // H.264 IDR (type 5); HEVC IRAP: BLA, IDR, CRA (types 16 to 21); an H.264 picture made of
    // I (or SI) slices alone that carries no privacy message: it opens a group (open-GOP
    // encoders write it with a recovery point SEI) and hides nothing.
    key,
    other,  // any other picture
};

// A NAL unit as it lies in the packet.
struct nal_unit_range {
    size_t start_code = 0;  // offset of its start code (the 4-byte form's leading zero included)
    size_t begin = 0;       // offset of its NAL header
    size_t end = 0;         // one past its last byte (trailing zero bytes excluded)
    int type = -1;
};

// Where the privacy message's payload lies. The offsets are packet offsets of the escaped
// bytes; payload_size is S, which counts the payload without emulation prevention bytes.
struct privacy_message_at {
    bool found = false;
    // The type was 153 but its size bytes run past the end of the SEI NAL unit.
    bool truncated = false;
    size_t nal_begin = 0;     // NAL header of the SEI NAL unit carrying it
    size_t payload_at = 0;    // first payload byte
    size_t payload_size = 0;  // S
    size_t extent = 0;        // bytes from payload_at to the end of the packet
    // One past the message's last byte in the packet (its tail escapes included); 0 when its
    // lengths do not hold together.
    size_t end = 0;
};

struct access_unit {
    static constexpr size_t k_max_units = 32;

    picture_kind kind = picture_kind::none;
    int first_vcl_type = -1;
    // Other pictures may be predicted from this one: H.264 nal_ref_idc above 0; HEVC any VCL
    // type but the sub-layer non-reference ones (even types below 16).
    bool reference = false;
    // The NAL units before the first VCL NAL unit, then that one (when there is one), in
    // packet order. Units past k_max_units are not listed but still scanned.
    nal_unit_range units[k_max_units];
    size_t unit_count = 0;
    // Parameter sets (HEVC VPS, SPS, PPS; H.264 SPS, PPS) before the first VCL NAL unit.
    size_t parameter_set_count = 0;
    size_t parameter_set_bytes = 0;  // their bytes, each counted from its start code
    privacy_message_at message;      // the first type-153 message found
};

// Scans [data, data + size) for codec_id (AVCodecID: H.264 or HEVC). Stops behind the header
// of the first VCL NAL unit, except for an H.264 I picture without a privacy message, whose
// other slices are looked at too. False for other codecs or a null pointer.
bool scan_access_unit(const uint8_t* data, size_t size, int codec_id, access_unit* out);

// The verdict alone: does the packet hold a key picture?
bool is_key_picture(const uint8_t* data, size_t size, int codec_id);

// NAL units in the whole packet, empty ones included; counting stops at limit.
size_t count_nal_units(const uint8_t* data, size_t size, size_t limit);

// Writes the packet to out without its filler data NAL units (H.264 type 12, HEVC 38) and its
// NAL units with nothing behind their header, each kept one behind a 4-byte start code (bytes
// before the first start code stay as they are). Returns the NAL units kept.
size_t drop_filler_units(const uint8_t* data, size_t size, int codec_id, std::vector<uint8_t>* out);

// Parameter sets for codec_id: HEVC VPS, SPS, PPS; H.264 SPS, PPS.
bool is_parameter_set_type(int codec_id, int type);

// The HEVC Annex B filter puts the container's parameter sets (config, in Annex B form) in
// front of every key picture, right before its first VCL NAL unit and so behind any parameter
// sets the access unit carries itself, which the inserted ones then override: a stream whose
// picture size changes after the container's configuration was written would decode its
// later pictures with the first size. When the access unit carries its own parameter sets
// before such an inserted copy, returns true with *at = the copy's offset (config_size bytes
// to cut out); else false.
bool find_inserted_configuration(const uint8_t* data, size_t size, int codec_id, const uint8_t* config,
                                 size_t config_size, size_t* at);

}  // namespace privacy
