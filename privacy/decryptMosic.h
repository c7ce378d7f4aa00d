// Turns one privacy SEI into the coded picture it conceals: parses the SEI at the start of a
// packet, base64-decodes the ciphertext, derives the AES-256 key from the privacy key with
// PBKDF2-HMAC-SHA256 and the SEI's salt, decrypts with AES-256-GCM, and appends the SEI's
// plain tail. The layout is described in privacy/privacyPacket.h.
//
// One object serves every privacy SEI of a job: its buffers are allocated once, and after
// each picture the plaintext bytes written and the derived key are wiped. It reports to the
// job it was built for (result status, log lines, the version line once per job).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/jobContext.h"
#include "privacy/privacyPacket.h"

class decryptMosic {
public:
    static constexpr size_t k_cipher_buf_size = privacy::k_base64_buffer_size;
    static constexpr size_t k_plain_buf_size = privacy::k_picture_buffer_size;
    // The size of the output buffer decrypt_mosic_process writes into by default.
    static constexpr size_t k_output_size = privacy::k_picture_buffer_size;

    // Keeps the bytes of privacy_key up to its first zero byte.
    decryptMosic(job_context& job, const std::string& privacy_key);
    ~decryptMosic();
    decryptMosic(const decryptMosic&) = delete;
    decryptMosic& operator=(const decryptMosic&) = delete;

    // Parses the privacy SEI at the start of [data, data + size), decrypts it and writes the
    // coded picture (plaintext, then tail) to output, which holds output_size bytes. Returns
    // the picture's length, or -1:
    //  - silently when the packet does not begin with a privacy SEI;
    //  - with a WRN line when a length in the SEI does not fit the packet or the buffers;
    //  - with "decrypt_sei_frame failed" and result status 2 when decryption fails.
    int decrypt_mosic_process(const uint8_t* data, int size, uint8_t* output, size_t output_size = k_output_size);

    // The same for a privacy message found anywhere in an access unit: payload points at its
    // first payload byte in the packet, payload_size is its size S (emulation prevention
    // bytes not counted) and extent the number of packet bytes from payload to the end of its
    // SEI NAL unit, beyond which nothing is read. Same results and log lines.
    int decrypt_message(const uint8_t* payload, size_t payload_size, size_t extent, uint8_t* output,
                        size_t output_size = k_output_size);

    // Decrypts the first cipher_len bytes of cipher_buf with salt, iv, tag and privacy_key into
    // plain_buf. Returns the plaintext count, or 0 on failure (logged, result status 1 or 2).
    int decrypt_sei_frame();

    // The job it works for; its members report there like a stage's (see common).
    job_context& job;
    void set_result_status(int code) { job.set_result_status(code); }
    std_debug::log_sink* log_target() const { return &job.log; }

    uint8_t salt[privacy::k_salt_size] = {};
    uint8_t iv[privacy::k_iv_size] = {};
    uint8_t tag[privacy::k_tag_size] = {};
    std::unique_ptr<uint8_t[]> cipher_buf;  // k_cipher_buf_size bytes
    std::unique_ptr<uint8_t[]> plain_buf;   // k_plain_buf_size bytes
    int32_t cipher_len = 0;
    uint8_t derived_key[privacy::k_key_size] = {};
    std::string privacy_key;

private:
    // Wipes the plaintext written and the derived key.
    void wipe_secrets();

    size_t plain_dirty_ = 0;       // leading bytes of plain_buf that may hold plaintext now
    size_t plain_high_water_ = 0;  // leading bytes of plain_buf ever written
};
