// What the privacy SEI reader (decryptMosic), the packet selection of the demux loop and the
// privacy SEI writer share: the SEI layout, the key derivation, the AES-256-GCM and base64
// steps, the start-code pattern test, and the removal of a leading user-data SEI.
//
// A privacy SEI is an SEI NAL unit of payload type 153 at the very start of a packet:
//   H.264: 00 00 00 01 06 99 <size bytes> <payload>
//   HEVC:  00 00 00 01 50 01 99 <size bytes> <payload>       (suffix SEI)
// The size bytes are k bytes FF and one byte below FF (S = 255 k + last byte). The payload is
//   ["ver-..." 00]  salt(16) nonce(12) tag(16) L(4, int32 LE) base64-text(L) tail
// The version text is there only when the payload begins "ver-". The tail is the plain end of
// the coded picture; in the versioned form it carries emulation prevention bytes, which S
// does not count; in the unversioned form it is carried as it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/avPacketDev.h"

namespace privacy {

constexpr uint8_t k_payload_type = 0x99;
constexpr uint8_t k_h264_sei_header = 0x06;
constexpr uint8_t k_hevc_suffix_sei_header[2] = {0x50, 0x01};

constexpr size_t k_salt_size = 16;
constexpr size_t k_iv_size = 12;
constexpr size_t k_tag_size = 16;
constexpr size_t k_length_field_size = 4;
// salt + nonce + tag + length field
constexpr size_t k_fixed_header_size = k_salt_size + k_iv_size + k_tag_size + k_length_field_size;
static_assert(k_fixed_header_size == 48, "payload header layout");

// The version text (which begins with these four bytes) is looked for within this many
// payload bytes; a text without a zero byte within them counts this many bytes.
constexpr char k_version_prefix[] = "ver-";
constexpr size_t k_version_prefix_size = 4;
constexpr size_t k_version_bound = 64;

constexpr int k_kdf_iterations = 1000;
constexpr size_t k_key_size = 32;

// The base64 text and its terminating zero byte must fit a buffer of this size.
constexpr size_t k_base64_buffer_size = 0x500000;
// A rebuilt coded picture (plaintext + tail) must fit the demuxer's buffer of this size.
constexpr size_t k_picture_buffer_size = 0xA00000;

// Where the parts of a privacy payload lie, read on its bytes as they stand in the packet
// (offsets from the first payload byte). The fixed header and the base64 text are never
// escaped, whatever start-code patterns they hold; S (payload_size) counts them, the version
// part and the tail, the tail without its emulation prevention bytes (versioned form).
struct payload_layout {
    size_t version_size = 0;  // v: bytes of the version text before its zero byte (versioned form)
    size_t version_part = 0;  // v + 1 in the versioned form, else 0; the salt lies here
    size_t text_size = 0;     // L
    size_t tail_at = 0;       // version_part + 48 + L
    size_t tail_size = 0;     // R: picture bytes the tail gives
    size_t raw_size = 0;      // bytes the payload spans in the packet (tail escapes included)
};

// Why a payload's lengths cannot be taken (ok when they can).
enum class layout_status { ok, does_not_fit, short_header, bad_length, text_too_long, tail_cut };

// Reads the layout of the payload of payload_size bytes (S) at payload, of which available
// bytes lie in the packet; reads nothing beyond them. The versioned tail is followed through
// its emulation prevention bytes to find the bytes it spans.
layout_status read_payload_layout(const uint8_t* payload, size_t payload_size, size_t available,
                                  payload_layout* layout);

// Produces count bytes at dst (dst may be null: only measures) from src while removing
// emulation prevention bytes: after two zero bytes in a row, a 03 is skipped and the zero count
// starts again. Returns the source bytes consumed, or 0 when src_size bytes give fewer than count.
size_t unescape(const uint8_t* src, size_t src_size, uint8_t* dst, size_t count);

// PBKDF2-HMAC-SHA256 over the bytes of password. False when OpenSSL refuses.
bool derive_key(const std::string& password, const uint8_t* salt, size_t salt_size, int iterations, uint8_t* key,
                size_t key_size);

// Which step of an AES-256-GCM decryption failed.
enum class gcm_status { ok, no_context, init_failed, update_failed, set_tag_failed, final_failed };

// AES-256-GCM with a 12-byte nonce, a 16-byte tag and no additional data: decrypts in_size
// bytes of in into out (in_size bytes) and checks the tag. *out_size receives the plaintext
// count on success. out may hold plaintext bytes even when authentication fails.
gcm_status gcm_decrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* tag, const uint8_t* in, int in_size,
                       uint8_t* out, int* out_size);

// The encrypting direction of gcm_decrypt: writes in_size bytes to out and the tag to tag.
bool gcm_encrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, int in_size, uint8_t* out,
                 uint8_t* tag);

// Decodes text_size bytes of standard base64 without line breaks through an OpenSSL memory
// BIO under a base64 filter BIO. Writes at most capacity bytes; returns the count (0 when
// nothing could be decoded).
int base64_decode(const uint8_t* text, size_t text_size, uint8_t* out, size_t capacity);

// Length of the base64 text of size bytes (with '=' padding).
constexpr size_t base64_length(size_t size) { return (size + 2) / 3 * 4; }

// Offset of the first byte-aligned run 00 00 x with x <= max_third in [data, data + size),
// or size when there is none. With max_third 2 this finds the start-code emulations
// (00 00 00, 00 00 01, 00 00 02); with 3 also the emulation-prevention pattern 00 00 03.
size_t find_zero_run(const uint8_t* data, size_t size, uint8_t max_third);

// What the privacy step decided about a packet it hands to the decoder, carried in the
// packet's opaque field (copied with every reference): a key picture serves as a reference
// and is never shown; a hidden picture is shown. none: the packet did not pass the privacy
// step, and the decoder judges it by its bytes.
enum class picture_verdict : intptr_t { none = 0, reference_only = 1, hidden = 2 };
void set_verdict(AVPacket* packet, picture_verdict verdict);
picture_verdict verdict_of(const AVPacket* packet);

// A packet made from other bytes takes the timing of the packet it stands for: pts, dts,
// stream index, flags, duration and time base (not position or side data).
void copy_packet_timing(AVPacket* to, const AVPacket* from);

}  // namespace privacy

// When the packet begins (4-byte start code) with a user-data-unregistered SEI (H.264 06 05,
// HEVC prefix SEI 4E 01 05) and a further 4-byte start code follows, stores in holder a new
// packet made of the bytes from that start code on, with the timing of the packet it was cut
// from (pts, dts, flags, duration, time base, stream index), and returns true. Otherwise
// returns false and leaves holder alone.
bool strip_leading_sei(const AVPacket* packet, std::shared_ptr<avPacketDev>& holder);
