#include "privacy/privacyPacket.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <climits>
#include <cstring>

namespace privacy {

namespace {
struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;

struct bio_deleter {
    void operator()(BIO* bio) const { BIO_free_all(bio); }
};
using bio_ptr = std::unique_ptr<BIO, bio_deleter>;
}  // namespace

bool derive_key(const std::string& password, const uint8_t* salt, size_t salt_size, int iterations, uint8_t* key,
                size_t key_size) {
    if (password.size() > static_cast<size_t>(INT_MAX) || salt_size > static_cast<size_t>(INT_MAX) ||
        key_size > static_cast<size_t>(INT_MAX)) {
        return false;
    }
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, static_cast<int>(salt_size),
                             iterations, EVP_sha256(), static_cast<int>(key_size), key) == 1;
}

gcm_status gcm_decrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* tag, const uint8_t* in, int in_size,
                       uint8_t* out, int* out_size) {
    *out_size = 0;
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return gcm_status::no_context;
    // The nonce keeps GCM's default length of 12 bytes; there is no additional data.
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, iv) != 1) return gcm_status::init_failed;
    int n = 0;
    if (EVP_DecryptUpdate(ctx.get(), out, &n, in, in_size < 0 ? 0 : in_size) != 1) return gcm_status::update_failed;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(k_tag_size),
                            const_cast<uint8_t*>(tag)) != 1) {
        return gcm_status::set_tag_failed;
    }
    int m = 0;
    if (EVP_DecryptFinal_ex(ctx.get(), out + n, &m) <= 0) return gcm_status::final_failed;
    *out_size = n + m;
    return gcm_status::ok;
}

bool gcm_encrypt(const uint8_t* key, const uint8_t* iv, const uint8_t* in, int in_size, uint8_t* out,
                 uint8_t* tag) {
    cipher_ctx_ptr ctx(EVP_CIPHER_CTX_new());
    if (!ctx || in_size < 0) return false;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, iv) != 1) return false;
    int n = 0;
    if (EVP_EncryptUpdate(ctx.get(), out, &n, in, in_size) != 1) return false;
    int m = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), out + n, &m) != 1 || n + m != in_size) return false;
    return EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(k_tag_size), tag) == 1;
}

int base64_decode(const uint8_t* text, size_t text_size, uint8_t* out, size_t capacity) {
    if (text_size > static_cast<size_t>(INT_MAX) || capacity == 0) return 0;
    if (capacity > static_cast<size_t>(INT_MAX)) capacity = INT_MAX;
    BIO* source = BIO_new_mem_buf(text, static_cast<int>(text_size));
    if (source == nullptr) return 0;
    BIO* filter = BIO_new(BIO_f_base64());
    if (filter == nullptr) {
        BIO_free(source);
        return 0;
    }
    BIO_set_flags(filter, BIO_FLAGS_BASE64_NO_NL);
    bio_ptr chain(BIO_push(filter, source));
    size_t total = 0;
    while (total < capacity) {
        const int got = BIO_read(chain.get(), out + total, static_cast<int>(capacity - total));
        if (got <= 0) break;
        total += static_cast<size_t>(got);
    }
    return static_cast<int>(total);
}

namespace {
uint32_t read_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
}  // namespace

layout_status read_payload_layout(const uint8_t* payload, size_t payload_size, size_t available,
                                  payload_layout* layout) {
    *layout = payload_layout();
    // Emulation prevention bytes only add to the payload's extent in the packet.
    if (payload == nullptr || payload_size > available) return layout_status::does_not_fit;
    // Versioned form: "ver-..." and a zero byte before the fixed header.
    if (payload_size >= k_version_prefix_size && std::memcmp(payload, k_version_prefix, k_version_prefix_size) == 0) {
        const size_t bound = payload_size < k_version_bound ? payload_size : k_version_bound;
        const void* zero = std::memchr(payload, 0, bound);
        layout->version_size = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - payload) : bound;
        layout->version_part = layout->version_size + 1;
    }
    if (payload_size < layout->version_part + k_fixed_header_size) return layout_status::short_header;
    const int32_t text_length = static_cast<int32_t>(read_le32(payload + layout->version_part + 44));
    if (text_length < 0 || static_cast<size_t>(text_length) >= k_base64_buffer_size) {
        layout->text_size = static_cast<size_t>(static_cast<uint32_t>(text_length));
        return layout_status::bad_length;
    }
    layout->text_size = static_cast<size_t>(text_length);
    if (payload_size - layout->version_part - k_fixed_header_size < layout->text_size) {
        return layout_status::text_too_long;
    }
    layout->tail_at = layout->version_part + k_fixed_header_size + layout->text_size;
    layout->tail_size = payload_size - layout->tail_at;
    layout->raw_size = payload_size;
    if (layout->version_part > 0 && layout->tail_size > 0) {
        const size_t spanned =
            unescape(payload + layout->tail_at, available - layout->tail_at, nullptr, layout->tail_size);
        if (spanned == 0) return layout_status::tail_cut;
        layout->raw_size = layout->tail_at + spanned;
    }
    return layout_status::ok;
}

size_t unescape(const uint8_t* src, size_t src_size, uint8_t* dst, size_t count) {
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
            // A run of non-zero bytes is taken in one go; it ends any run of zeros.
            size_t run_end = in + (count - out < src_size - in ? count - out : src_size - in);
            if (const void* zero = std::memchr(src + in, 0, run_end - in)) {
                run_end = static_cast<size_t>(static_cast<const uint8_t*>(zero) - src);
            }
            if (dst != nullptr) std::memcpy(dst + out, src + in, run_end - in);
            out += run_end - in;
            in = run_end;
            zeros = 0;
            continue;
        }
        if (dst != nullptr) dst[out] = 0;
        ++out;
        ++in;
        ++zeros;
    }
    return in;
}

void set_verdict(AVPacket* packet, picture_verdict verdict) {
    packet->opaque = reinterpret_cast<void*>(static_cast<intptr_t>(verdict));
}

picture_verdict verdict_of(const AVPacket* packet) {
    const intptr_t value = reinterpret_cast<intptr_t>(packet->opaque);
    return value == static_cast<intptr_t>(picture_verdict::reference_only) ? picture_verdict::reference_only
           : value == static_cast<intptr_t>(picture_verdict::hidden)       ? picture_verdict::hidden
                                                                            : picture_verdict::none;
}

size_t find_zero_run(const uint8_t* data, size_t size, uint8_t max_third) {
    if (data == nullptr || size < 3) return size;
    const size_t end = size - 2;  // a run starts before end
    size_t i = 0;
    while (i < end) {
        const void* zero = std::memchr(data + i, 0, end - i);
        if (zero == nullptr) break;
        i = static_cast<size_t>(static_cast<const uint8_t*>(zero) - data);
        if (data[i + 1] != 0) {
            i += 2;
        } else if (data[i + 2] <= max_third) {
            return i;
        } else {
            i += 1;
        }
    }
    return size;
}

void copy_packet_timing(AVPacket* to, const AVPacket* from) {
    to->pts = from->pts;
    to->dts = from->dts;
    to->stream_index = from->stream_index;
    to->flags = from->flags;
    to->duration = from->duration;
    to->time_base = from->time_base;
}

}  // namespace privacy

bool strip_leading_sei(const AVPacket* packet, std::shared_ptr<avPacketDev>& holder) {
    if (packet == nullptr || packet->data == nullptr) return false;
    const uint8_t* data = packet->data;
    const size_t size = packet->size > 0 ? static_cast<size_t>(packet->size) : 0;
    if (size < 6 || data[0] != 0 || data[1] != 0 || data[2] != 0 || data[3] != 1) return false;
    // A user-data-unregistered SEI (payload type 5): HEVC prefix SEI or H.264 SEI, whatever
    // the stream's codec.
    const bool hevc = data[4] == 0x4E && data[5] == 0x01 && size > 6 && data[6] == 0x05;
    const bool h264 = data[4] == 0x06 && data[5] == 0x05;
    if (!hevc && !h264) return false;
    if (size < 10) return false;
    // The next 4-byte start code, with at least one byte behind it. The SEI is cut together
    // with anything behind 3-byte start codes before that point.
    size_t p = 5;
    const size_t end = size - 4;
    for (;;) {
        const size_t at = p + privacy::find_zero_run(data + p, end + 2 - p, 0);
        if (at >= end) return false;
        if (data[at + 3] == 1) {
            p = at;
            break;
        }
        p = at + 1;
    }
    auto stripped = std::make_shared<avPacketDev>(data + p, static_cast<int32_t>(size - p));
    if (stripped->pkt == nullptr) return false;
    AVPacket* out = stripped->pkt;
    privacy::copy_packet_timing(out, packet);
    holder = std::move(stripped);
    return true;
}
