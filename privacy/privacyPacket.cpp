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
