#include "privacy/privacySeiWriter.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "privacy/privacyPacket.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

using namespace privacy;

// Filler between the base64 text's terminating zero byte and the tail, where the text's
// length field needs it (see choose_split). Any non-zero byte does.
constexpr uint8_t k_text_filler = 0xFF;
// Salt and nonce are drawn at most this often; a 00 00 0x run in them is a 1 in 10^5 event.
constexpr int k_max_draws = 32;
// How far the split between encrypted part and tail may move, in steps of 3 bytes (one
// base64 group, so the text length changes by 4 per step).
constexpr int k_max_split_steps = 2;

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    return text;
}

// The four little-endian bytes of a text length hold no 00 00 0x run among themselves. (The
// byte behind them is a base64 character, and the bytes before them are the tag, which is
// checked after each draw.)
bool length_field_ok(size_t length) {
    const uint8_t b[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                          static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    return find_zero_run(b, sizeof(b), 3) == sizeof(b);
}

struct split_choice {
    size_t encrypted = 0;    // leading picture bytes encrypted
    size_t text_length = 0;  // the length field: base64 text, or text + zero byte + filler
};

// Picks how many bytes to encrypt, starting from the requested count, and the value of the
// length field. An unversioned tail is carried raw and so must hold no 00 00 0x run itself.
bool choose_split(const uint8_t* picture, size_t size, size_t requested, bool raw_tail, split_choice* choice,
                  std::string* why) {
    auto tail_ok = [&](size_t encrypted) {
        return raw_tail || find_zero_run(picture + encrypted, size - encrypted, 3) == size - encrypted;
    };
    size_t candidates[1 + 2 * k_max_split_steps];
    size_t count = 0;
    candidates[count++] = requested;
    for (int step = 1; step <= k_max_split_steps; ++step) {
        const size_t shift = 3 * static_cast<size_t>(step);
        if (requested > shift) candidates[count++] = requested - shift;
        if (requested + shift <= size) candidates[count++] = requested + shift;
    }
    // First choice: a length that needs no filler, moving the split by a few bytes if need be.
    for (size_t i = 0; i < count; ++i) {
        const size_t length = base64_length(candidates[i]);
        if (tail_ok(candidates[i]) && length_field_ok(length)) {
            *choice = {candidates[i], length};
            return true;
        }
    }
    // Else (short texts: a length below 256 has three zero bytes) the text is followed by a
    // zero byte, at least one filler byte, and as much more filler as the length field needs.
    for (size_t i = 0; i < count; ++i) {
        if (!tail_ok(candidates[i])) continue;
        size_t length = base64_length(candidates[i]) + 2;
        while (!length_field_ok(length)) ++length;
        *choice = {candidates[i], length};
        return true;
    }
    const size_t at = requested + find_zero_run(picture + requested, size - requested, 3);
    *why = format(
        "the unversioned form carries the unencrypted tail as it is, and the tail holds the pattern "
        "%02x %02x %02x at picture offset %zu; encrypt at least %zu bytes or use a version text",
        picture[at], picture[at + 1], picture[at + 2], at, at + 3);
    return false;
}

// Appends src with emulation prevention: a 03 goes in after two zero bytes when the next
// byte is 00, 01, 02 or 03.
void append_with_emulation_prevention(const uint8_t* src, size_t size, std::vector<uint8_t>& out) {
    size_t i = 0;
    int zeros = 0;
    while (i < size) {
        if (zeros == 2 && src[i] <= 3) {
            out.push_back(0x03);
            zeros = 0;
        }
        if (src[i] != 0) {
            const void* zero = std::memchr(src + i, 0, size - i);
            const size_t end = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - src) : size;
            out.insert(out.end(), src + i, src + end);
            i = end;
            zeros = 0;
            continue;
        }
        out.push_back(0);
        ++i;
        ++zeros;
    }
}

void append_le32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

bool build_privacy_sei(int codec_id, const uint8_t* picture, size_t size, const std::string& privacy_key,
                       const privacy_sei_options& options, std::vector<uint8_t>* out, std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    if (out == nullptr) {
        why = "no output vector given";
        return false;
    }
    if (codec_id != AV_CODEC_ID_H264 && codec_id != AV_CODEC_ID_HEVC) {
        why = format("codec id %d is neither H.264 nor HEVC", codec_id);
        return false;
    }
    if (picture == nullptr || size == 0) {
        why = "the coded picture is empty";
        return false;
    }
    if (size > k_picture_buffer_size) {
        why = format("the coded picture of %zu bytes exceeds the %zu bytes a reader can rebuild", size,
                     k_picture_buffer_size);
        return false;
    }
    if (privacy_key.find('\0') != std::string::npos) {
        why = "the privacy key holds a zero byte";
        return false;
    }
    const std::string& version = options.version_text;
    const bool versioned = !version.empty();
    if (versioned) {
        if (version.compare(0, k_version_prefix_size, k_version_prefix) != 0) {
            why = "the version text must begin with \"ver-\"";
            return false;
        }
        if (version.find('\0') != std::string::npos) {
            why = "the version text holds a zero byte";
            return false;
        }
        if (version.size() > k_version_bound) {
            why = format("the version text is %zu bytes long; at most %zu fit", version.size(), k_version_bound);
            return false;
        }
    }
    const size_t requested = options.encrypt_bytes < size ? options.encrypt_bytes : size;
    if (requested == 0) {
        why = "at least one byte of the picture must be encrypted";
        return false;
    }
    split_choice split;
    if (!choose_split(picture, size, requested, versioned || options.raw_start_codes, &split, &why)) return false;
    if (split.text_length >= k_base64_buffer_size) {
        why = format("%zu encrypted bytes give a base64 text of %zu bytes; a reader takes less than %zu",
                     split.encrypted, split.text_length, k_base64_buffer_size);
        return false;
    }

    const size_t text_length = base64_length(split.encrypted);
    const size_t tail_size = size - split.encrypted;
    const size_t version_part = versioned ? version.size() + 1 : 0;
    const size_t payload_size = version_part + k_fixed_header_size + split.text_length + tail_size;
    const bool hevc = codec_id == AV_CODEC_ID_HEVC;

    std::vector<uint8_t> cipher(split.encrypted);
    uint8_t salt[k_salt_size];
    uint8_t iv[k_iv_size];
    uint8_t tag[k_tag_size];
    uint8_t key[k_key_size];
    const size_t base = out->size();
    bool built = false;
    const char* failure = "every salt and nonce drawn gave a start-code pattern in the header";
    for (int draw = 0; draw < k_max_draws && !built; ++draw) {
        out->resize(base);
        const bool drawn = options.random_bytes
                               ? options.random_bytes(salt, sizeof(salt)) && options.random_bytes(iv, sizeof(iv))
                               : RAND_bytes(salt, sizeof(salt)) == 1 && RAND_bytes(iv, sizeof(iv)) == 1;
        if (!drawn) {
            failure = "no random bytes for salt and nonce";
            break;
        }
        // An unversioned payload that began "ver-" would be read as a versioned one.
        if (!versioned && std::memcmp(salt, k_version_prefix, k_version_prefix_size) == 0) continue;
        if (!derive_key(privacy_key, salt, sizeof(salt), k_kdf_iterations, key, sizeof(key)) ||
            !gcm_encrypt(key, iv, picture, static_cast<int>(split.encrypted), cipher.data(), tag)) {
            failure = "AES-256-GCM encryption failed";
            break;
        }

        const uint8_t start[] = {0x00, 0x00, 0x00, 0x01};
        out->insert(out->end(), start, start + sizeof(start));
        const size_t nal_at = out->size();
        if (hevc) {
            out->insert(out->end(), k_hevc_suffix_sei_header, k_hevc_suffix_sei_header + 2);
        } else {
            out->push_back(k_h264_sei_header);
        }
        out->push_back(k_payload_type);
        out->insert(out->end(), payload_size / 255, 0xFF);
        out->push_back(static_cast<uint8_t>(payload_size % 255));
        if (versioned) {
            out->insert(out->end(), version.begin(), version.end());
            out->push_back(0x00);
        }
        out->insert(out->end(), salt, salt + sizeof(salt));
        out->insert(out->end(), iv, iv + sizeof(iv));
        out->insert(out->end(), tag, tag + sizeof(tag));
        append_le32(*out, static_cast<uint32_t>(split.text_length));
        const size_t text_at = out->size();
        // EVP_EncodeBlock writes a terminating zero byte behind the text.
        out->resize(text_at + text_length + 1);
        EVP_EncodeBlock(out->data() + text_at, cipher.data(), static_cast<int>(split.encrypted));
        out->resize(text_at + text_length);
        if (split.text_length > text_length) {
            out->push_back(0x00);
            out->insert(out->end(), split.text_length - text_length - 1, k_text_filler);
        }
        const size_t tail_at = out->size();
        if (versioned) {
            append_with_emulation_prevention(picture + split.encrypted, tail_size, *out);
        } else {
            out->insert(out->end(), picture + split.encrypted, picture + size);
        }
        out->push_back(0x80);  // rbsp trailing bits

        // The fixed fields and their borders (into the text), and the text's end with its
        // terminator and filler: no 00 00 0x there. The text itself holds no zero byte, an
        // unversioned tail was checked when the split was chosen, and the versioned tail has
        // emulation prevention.
        const uint8_t* nal = out->data();
        const size_t head_end = text_at + 2;
        const size_t text_end = text_at + text_length;
        const size_t border_end = tail_at + (tail_size < 2 ? tail_size : 2);
        built = options.raw_start_codes ||
                (find_zero_run(nal + nal_at, head_end - nal_at, 3) == head_end - nal_at &&
                 find_zero_run(nal + text_end - 2, border_end - (text_end - 2), 3) == border_end - (text_end - 2));
    }
    OPENSSL_cleanse(key, sizeof(key));
    if (!built) {
        out->resize(base);
        why = failure;
        return false;
    }
    return true;
}
