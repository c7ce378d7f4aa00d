// The stage of a lossless restore: takes the video packets the privacy step hands on (key
// access units with their parameter sets, and the decrypted pictures in place of the masked
// ones), puts them in the form the output container stores, and hands them to the muxer with
// their input timing. No codec is opened; the pictures stay bit for bit as recorded.
#pragma once

#include <cstdint>
#include <vector>

#include "common/common.h"
#include "common/secret.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

class streamCopy : public common {
public:
    // length_prefixed: the output stores NAL units behind 4-byte big-endian lengths (MP4 with
    // an avcC/hvcC decoder configuration); otherwise they stay in Annex B form.
    streamCopy(job_context& job, int codec_id, bool length_prefixed);

    // One packet from the privacy step. source is the Annex B packet the privacy step was
    // given: a forwarded packet with other bytes is a decrypted picture. A decrypted picture
    // without a slice of the stream's codec is refused (logged, dropped); a packet of
    // parameter sets alone is kept and put in front of the next picture, since a container
    // sample must hold a picture. Everything else goes on to slot 0 at once.
    void push_packet(const AVPacket* packet, const AVPacket* source);
    // As push_packet with no source: the packet is taken for a decrypted picture.
    bool push_data(void* packet) override;

    // Parameter sets waiting for the next picture are kept within this many bytes (real ones
    // take a few hundred): past it the older ones go, and a larger packet of them alone is dropped.
    static constexpr size_t k_max_waiting_bytes = 64 << 10;

    // Decrypted pictures handed on.
    int64_t hidden_pictures = 0;
    // One picture period in the input video time base: the duration of a packet that has none.
    int64_t frame_period = 0;

    // Whether an avcC/hvcC-style decoder configuration is in length-prefixed form (FFmpeg's
    // own test: anything that does not begin like an Annex B start code).
    static bool is_length_prefixed_config(const uint8_t* extradata, int size);
    // The NAL units of an Annex B buffer, as [begin, end) offsets without start codes and
    // trailing zero bytes. Bytes before the first start code are not a NAL unit.
    static std::vector<std::pair<size_t, size_t>> split_annexb(const uint8_t* data, size_t size);
    // Whether a NAL unit (header first) is a coded slice of codec_id's syntax.
    static bool is_slice(const uint8_t* nal, size_t size, int codec_id);

private:
    int codec_id_;
    bool length_prefixed_;
    // Both hold restored pictures: their storage is wiped when it is given back.
    std::vector<uint8_t, wiping_allocator<uint8_t>> pending_;  // parameter sets waiting for the next picture
    std::vector<uint8_t, wiping_allocator<uint8_t>> out_;      // the packet being built, reused
    bool noted_waiting_ = false;
};
