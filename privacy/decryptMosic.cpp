#include "privacy/decryptMosic.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstring>

#include "debug/std_debug.h"
#include "common/jobContext.h"

namespace {

// Copies count bytes to dst while removing emulation prevention bytes from src: after two
// zero bytes copied in a row, a 03 is skipped (and the zero count starts again). Returns the
// number of source bytes consumed, or 0 when src ends before count bytes were produced.
size_t copy_without_emulation_prevention(const uint8_t* src, size_t src_size, uint8_t* dst, size_t count) {
    size_t in = 0;
    size_t out = 0;
    int zeros = 0;
    while (out < count) {
        if (in >= src_size) return 0;
        if (zeros == 2 && src[in] == 0x03) {
            ++in;
            zeros = 0;
            if (in >= src_size) return 0;
        }
        if (src[in] != 0) {
            // A run of non-zero bytes is copied in one go; it ends any run of zeros.
            size_t run_end = in + (count - out < src_size - in ? count - out : src_size - in);
            if (const void* zero = std::memchr(src + in, 0, run_end - in)) {
                run_end = static_cast<size_t>(static_cast<const uint8_t*>(zero) - src);
            }
            std::memcpy(dst + out, src + in, run_end - in);
            out += run_end - in;
            in = run_end;
            zeros = 0;
            continue;
        }
        dst[out++] = 0;
        ++in;
        ++zeros;
    }
    return in;
}

uint32_t read_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

// The buffers hold the largest base64 text and picture a privacy SEI can carry; made once per job.
decryptMosic::decryptMosic(job_context& job, const std::string& key)
    : job(job),
      cipher_buf(new uint8_t[k_cipher_buf_size]),
      plain_buf(new uint8_t[k_plain_buf_size]),
      privacy_key(key.c_str()) {}

decryptMosic::~decryptMosic() {
    // Only the bytes ever written can hold anything (pages never touched stay untouched).
    OPENSSL_cleanse(plain_buf.get(), plain_high_water_);
    OPENSSL_cleanse(derived_key, sizeof(derived_key));
    OPENSSL_cleanse(salt, sizeof(salt));
    OPENSSL_cleanse(iv, sizeof(iv));
    OPENSSL_cleanse(tag, sizeof(tag));
    if (!privacy_key.empty()) OPENSSL_cleanse(&privacy_key[0], privacy_key.size());
}

void decryptMosic::wipe_secrets() {
    if (plain_dirty_ > 0) OPENSSL_cleanse(plain_buf.get(), plain_dirty_);
    plain_dirty_ = 0;
    OPENSSL_cleanse(derived_key, sizeof(derived_key));
}

int decryptMosic::decrypt_mosic_process(const uint8_t* data, int size, uint8_t* output, size_t output_size) {
    using namespace privacy;
    if (data == nullptr || output == nullptr || size <= 0) return -1;
    const size_t packet_size = static_cast<size_t>(size);

    // The SEI header: a 4-byte start code, then H.264 06 99 or HEVC suffix SEI 50 01 99.
    size_t pos;
    if (packet_size >= 6 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1 &&
        data[4] == k_h264_sei_header && data[5] == k_payload_type) {
        pos = 6;
    } else if (packet_size >= 7 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1 &&
               data[4] == k_hevc_suffix_sei_header[0] && data[5] == k_hevc_suffix_sei_header[1] &&
               data[6] == k_payload_type) {
        pos = 7;
    } else {
        return -1;
    }

    // Payload size: 255 for each FF byte, plus the first byte below FF.
    size_t payload_size = 0;
    for (;;) {
        if (pos >= packet_size) {
            DEBUG_WRN("privacy SEI payload size bytes run past the end of the %d-byte packet", size);
            return -1;
        }
        const uint8_t byte = data[pos++];
        payload_size += byte;
        if (byte != 0xFF) break;
    }
    return decrypt_message(data + pos, payload_size, packet_size - pos, output, output_size);
}

int decryptMosic::decrypt_message(const uint8_t* payload, size_t payload_size, size_t extent, uint8_t* output,
                                  size_t output_size) {
    using namespace privacy;
    if (payload == nullptr || output == nullptr) return -1;
    // Emulation prevention bytes only add to the payload's extent in the packet.
    if (payload_size > extent) {
        DEBUG_WRN("privacy SEI payload of %zu bytes does not fit the %zu bytes of the packet behind its header",
                  payload_size, extent);
        return -1;
    }

    // Versioned form: "ver-..." and a zero byte before the fixed header.
    size_t version_size = 0;  // the version text (v)
    size_t version_part = 0;  // v + 1 in the versioned form, else 0
    if (payload_size >= k_version_prefix_size &&
        std::memcmp(payload, k_version_prefix, k_version_prefix_size) == 0) {
        const size_t bound = payload_size < k_version_bound ? payload_size : k_version_bound;
        const void* zero = std::memchr(payload, 0, bound);
        version_size = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - payload) : bound;
        version_part = version_size + 1;
    }
    if (payload_size < version_part + k_fixed_header_size) {
        DEBUG_WRN("privacy SEI payload of %zu bytes is too short for its %zu-byte header", payload_size,
                  version_part + k_fixed_header_size);
        return -1;
    }
    const size_t header_at = version_part;
    const int32_t text_length = static_cast<int32_t>(read_le32(payload + header_at + 44));
    if (text_length < 0 || static_cast<size_t>(text_length) >= k_base64_buffer_size) {
        DEBUG_WRN("privacy SEI base64 length %d is outside 0..%zu", text_length, k_base64_buffer_size - 1);
        return -1;
    }
    const size_t text_size = static_cast<size_t>(text_length);
    if (payload_size - version_part - k_fixed_header_size < text_size) {
        DEBUG_WRN("privacy SEI base64 text of %zu bytes does not fit its payload of %zu bytes", text_size,
                  payload_size);
        return -1;
    }
    const size_t tail_size = payload_size - version_part - k_fixed_header_size - text_size;

    if (version_part > 0 && !job.version_printed) {
        DEBUG_PLAIN("mosic version: %.*s\n", static_cast<int>(version_size),
                    reinterpret_cast<const char*>(payload));
        job.version_printed = true;
    }

    std::memcpy(salt, payload + header_at, k_salt_size);
    std::memcpy(iv, payload + header_at + 16, k_iv_size);
    std::memcpy(tag, payload + header_at + 28, k_tag_size);

    // The text counts up to its first zero byte.
    const uint8_t* text = payload + header_at + k_fixed_header_size;
    const void* text_zero = std::memchr(text, 0, text_size);
    const size_t decoded_text =
        text_zero ? static_cast<size_t>(static_cast<const uint8_t*>(text_zero) - text) : text_size;
    cipher_len = base64_decode(text, decoded_text, cipher_buf.get(), text_size);

    if (static_cast<size_t>(cipher_len) > output_size || tail_size > output_size - static_cast<size_t>(cipher_len)) {
        DEBUG_WRN("privacy SEI picture of %zu bytes does not fit the %zu-byte output buffer",
                  static_cast<size_t>(cipher_len) + tail_size, output_size);
        return -1;
    }

    const int plain_size = decrypt_sei_frame();
    if (plain_size < 1) {
        wipe_secrets();
        DEBUG_ERR("decrypt_sei_frame failed");
        set_result_status(RESULT_KEY_INCORRECT);
        return -1;
    }
    std::memcpy(output, plain_buf.get(), static_cast<size_t>(plain_size));
    wipe_secrets();
    if (tail_size == 0) return plain_size;

    const uint8_t* tail = text + text_size;
    uint8_t* tail_out = output + plain_size;
    if (version_part == 0) {
        std::memcpy(tail_out, tail, tail_size);
    } else if (copy_without_emulation_prevention(tail, extent - static_cast<size_t>(tail - payload), tail_out,
                                                 tail_size) == 0) {
        OPENSSL_cleanse(output, static_cast<size_t>(plain_size));
        DEBUG_WRN("privacy SEI tail of %zu bytes runs past the end of its SEI NAL unit", tail_size);
        return -1;
    }
    return plain_size + static_cast<int>(tail_size);
}

int decryptMosic::decrypt_sei_frame() {
    using namespace privacy;
    // A failed derivation leaves a key that cannot authenticate, so it shows as a wrong key.
    derive_key(privacy_key, salt, sizeof(salt), k_kdf_iterations, derived_key, sizeof(derived_key));
    const int in_size = cipher_len < 0 ? 0 : cipher_len;
    if (static_cast<size_t>(in_size) > plain_dirty_) plain_dirty_ = static_cast<size_t>(in_size);
    if (plain_dirty_ > plain_high_water_) plain_high_water_ = plain_dirty_;
    int plain_size = 0;
    switch (gcm_decrypt(derived_key, iv, tag, cipher_buf.get(), in_size, plain_buf.get(), &plain_size)) {
        case gcm_status::ok:
            return plain_size;
        case gcm_status::no_context:
            DEBUG_ERR("cannot create EVP_CIPHER_CTX");
            set_result_status(RESULT_INIT_DECRYPT_ERROR);
            return 0;
        case gcm_status::init_failed:
            DEBUG_ERR("cannot init EVP_Decrypt");
            set_result_status(RESULT_INIT_DECRYPT_ERROR);
            return 0;
        case gcm_status::update_failed:
            DEBUG_ERR("cannot update EVP_Decrypt");
            set_result_status(RESULT_KEY_INCORRECT);
            return 0;
        case gcm_status::set_tag_failed:
            DEBUG_ERR("cannot set tag EVP_Decrypt");
            set_result_status(RESULT_KEY_INCORRECT);
            return 0;
        case gcm_status::final_failed:
            break;
    }
    DEBUG_ERR("cannot final EVP_Decrypt");
    set_result_status(RESULT_KEY_INCORRECT);
    return 0;
}
