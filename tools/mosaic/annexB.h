// Walking Annex B byte streams: NAL units behind 00 00 01 / 00 00 00 01 start codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mosaic {

struct nal_span {
    size_t start_code = 0;  // offset of the start code
    size_t begin = 0;       // offset of the NAL header
    size_t end = 0;         // one past the last byte of the NAL unit (trailing zero bytes excluded)
};

// The NAL units of an Annex B buffer, in order. Bytes before the first start code are ignored.
std::vector<nal_span> split_annexb(const uint8_t* data, size_t size);

// The NAL unit type of a header byte (the first one for HEVC): H.264 byte & 0x1F, HEVC
// (byte >> 1) & 0x3F. codec_id is an AVCodecID (H.264 or HEVC).
int nal_unit_type(int codec_id, uint8_t header);

// VPS (HEVC), SPS or PPS.
bool is_parameter_set(int codec_id, int type);

// Appends the NAL units of an Annex B buffer to out, each behind its length (4 bytes, big
// endian), as MP4 stores them.
void append_length_prefixed(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
// Appends one NAL unit (header first) behind its 4-byte length.
void append_nal(const uint8_t* nal, size_t size, std::vector<uint8_t>& out);

// The H.264 decoder configuration record (avcC, 4-byte NAL lengths) for the SPS and PPS of an
// Annex B buffer; empty when it holds none or they cannot be read.
std::vector<uint8_t> avc_configuration(const uint8_t* data, size_t size);

// The parameter sets found in the buffer, each behind a 4-byte start code, in the order they
// appear: the Annex B extradata that containers build their sample entry from.
std::vector<uint8_t> parameter_sets_of(int codec_id, const uint8_t* data, size_t size);

// The smallest offset from which [offset, size) holds no 00 00 0x run (x <= 3): where an
// unescaped copy of the bytes could start without emulating a start code.
size_t clean_tail_start(const uint8_t* data, size_t size);

}  // namespace mosaic
