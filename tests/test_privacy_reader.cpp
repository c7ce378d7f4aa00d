// The privacy SEI reader on its own: published known answers for its key derivation and
// cipher, SEIs assembled here by hand with plain OpenSSL calls (so a fault shared by writer
// and reader cannot hide), the layout's corner cases, and payloads whose lengths do not fit.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "interface/resultStatus.h"
#include "privacy/decryptMosic.h"
#include "privacy/privacyPacket.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const std::string& text) {
    bytes out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(privacy_known_answers, pbkdf2_hmac_sha256_rfc7914) {
    struct vector {
        const char* password;
        const char* salt;
        int iterations;
        const char* key;
    };
    for (const vector& v : {vector{"passwd", "salt", 1,
                                   "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
                                   "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
                            vector{"Password", "NaCl", 80000,
                                   "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
                                   "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"}}) {
        bytes key(64);
        ASSERT_TRUE(privacy::derive_key(v.password, reinterpret_cast<const uint8_t*>(v.salt), std::strlen(v.salt),
                                        v.iterations, key.data(), key.size()));
        EXPECT_EQ(key, hex(v.key)) << v.password;
    }
}

TEST(privacy_known_answers, aes_256_gcm_96_bit_nonce_no_aad) {
    struct vector {
        const char *key, *iv, *plain, *cipher, *tag;
    };
    const vector vectors[] = {
        // GCM test cases 13, 14 and 15 (256-bit key) and CAVP gcmEncryptExtIV256 count 0.
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "",
         "530f8afbc74536b9a963b4f1c4cb738b"},
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
         "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
        {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
         "b094dac5d93471bdec1a502270e3cc6c"},
        {"b52c505a37d78eda5dd34f20c22540ea1b58963cf8e5bf8ffa85f9f2492505b4", "516c33929df5a3284ff463d7", "", "",
         "bdc1ac884d332457a1d2664f168c76f0"},
    };
    for (const vector& v : vectors) {
        const bytes key = hex(v.key), iv = hex(v.iv), plain = hex(v.plain), cipher = hex(v.cipher), tag = hex(v.tag);
        bytes out(plain.size() + 1), out_tag(16);
        ASSERT_TRUE(privacy::gcm_encrypt(key.data(), iv.data(), plain.data(), static_cast<int>(plain.size()),
                                         out.data(), out_tag.data()));
        EXPECT_EQ(bytes(out.begin(), out.begin() + plain.size()), cipher) << v.cipher;
        EXPECT_EQ(out_tag, tag);
        int n = -1;
        ASSERT_EQ(privacy::gcm_decrypt(key.data(), iv.data(), tag.data(), cipher.data(), static_cast<int>(cipher.size()),
                                       out.data(), &n),
                  privacy::gcm_status::ok);
        EXPECT_EQ(bytes(out.begin(), out.begin() + n), plain);
        bytes bad_tag = tag;
        bad_tag[15] ^= 1;
        EXPECT_EQ(privacy::gcm_decrypt(key.data(), iv.data(), bad_tag.data(), cipher.data(),
                                       static_cast<int>(cipher.size()), out.data(), &n),
                  privacy::gcm_status::final_failed);
    }
}

// A privacy SEI assembled field by field, encrypted with plain OpenSSL calls.
struct hand_sei {
    bool hevc = false;
    std::string version;  // written with a zero byte behind it; empty: unversioned
    bytes version_raw;    // used instead of version when not empty (no zero byte added)
    bytes plain = bytes{0, 0, 0, 1, 0x41, 0x9A, 0x21, 0x80};
    bytes tail;                  // packet bytes behind the text
    long tail_count = -1;        // R; -1: tail.size()
    long payload_size = -1;      // S; -1: computed
    std::optional<uint32_t> length_field;  // L as written; none: the text's own length
    bool override_text = false;  // write text_override instead of the real base64 text
    std::string text_override;
    std::string key = "hand key";
    bytes salt = bytes(16, 0x5A);
    bytes iv = bytes(12, 0x3C);
    bool corrupt_tag = false;

    bytes build() const {
        uint8_t derived[32];
        EXPECT_EQ(PKCS5_PBKDF2_HMAC(key.data(), static_cast<int>(key.size()), salt.data(), 16, 1000, EVP_sha256(), 32,
                                    derived),
                  1);
        bytes cipher(plain.size() + 16);
        uint8_t tag[16];
        int n = 0, m = 0;
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, derived, iv.data());
        EVP_EncryptUpdate(ctx, cipher.data(), &n, plain.data(), static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(ctx, cipher.data() + n, &m);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
        EVP_CIPHER_CTX_free(ctx);
        if (corrupt_tag) tag[0] ^= 0x01;
        std::string text(4 * ((plain.size() + 2) / 3) + 1, '\0');
        EVP_EncodeBlock(reinterpret_cast<uint8_t*>(&text[0]), cipher.data(), static_cast<int>(plain.size()));
        text.resize(text.size() - 1);
        if (override_text) text = text_override;

        bytes payload;
        if (!version_raw.empty()) {
            payload = version_raw;
        } else if (!version.empty()) {
            payload.assign(version.begin(), version.end());
            payload.push_back(0);
        }
        payload.insert(payload.end(), salt.begin(), salt.end());
        payload.insert(payload.end(), iv.begin(), iv.end());
        payload.insert(payload.end(), tag, tag + 16);
        const uint32_t length = length_field ? *length_field : static_cast<uint32_t>(text.size());
        for (int i = 0; i < 4; ++i) payload.push_back(static_cast<uint8_t>(length >> (8 * i)));
        const size_t counted = payload.size() + text.size() + (tail_count >= 0 ? tail_count : tail.size());
        payload.insert(payload.end(), text.begin(), text.end());
        payload.insert(payload.end(), tail.begin(), tail.end());
        const size_t size = payload_size >= 0 ? static_cast<size_t>(payload_size) : counted;

        bytes sei = hevc ? bytes{0, 0, 0, 1, 0x50, 0x01, 0x99} : bytes{0, 0, 0, 1, 0x06, 0x99};
        sei.insert(sei.end(), size / 255, 0xFF);
        sei.push_back(static_cast<uint8_t>(size % 255));
        sei.insert(sei.end(), payload.begin(), payload.end());
        return sei;
    }
};

class privacy_reader : public testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        output.assign(decryptMosic::k_output_size, 0xEE);
    }

    // Runs the reader with stdout captured into printed.
    int read(const bytes& packet, const std::string& key = "hand key", size_t output_size = decryptMosic::k_output_size) {
        decryptMosic reader(key);
        fflush(stdout);
        testing::internal::CaptureStdout();
        const int n = reader.decrypt_mosic_process(packet.data(), static_cast<int>(packet.size()), output.data(),
                                                   output_size);
        fflush(stdout);
        printed = testing::internal::GetCapturedStdout();
        return n;
    }

    bytes result(int n) const { return n > 0 ? bytes(output.begin(), output.begin() + n) : bytes(); }

    bool output_untouched() const {
        return std::all_of(output.begin(), output.begin() + 4096, [](uint8_t b) { return b == 0xEE; });
    }

    bytes output;
    std::string printed;
};

TEST_F(privacy_reader, unversioned_layout_offsets) {
    // 18 plaintext bytes give a base64 text of L = 24; no tail: S = 72, one size byte 0x48.
    hand_sei sei;
    sei.plain = bytes(18, 0x61);
    const bytes packet = sei.build();
    ASSERT_EQ(packet.size(), 79u);
    EXPECT_EQ(packet[6], 0x48);
    EXPECT_TRUE(std::equal(sei.salt.begin(), sei.salt.end(), packet.begin() + 7));
    EXPECT_TRUE(std::equal(sei.iv.begin(), sei.iv.end(), packet.begin() + 23));
    EXPECT_EQ(packet[51], 24);
    decryptMosic reader("hand key");
    const int n = reader.decrypt_mosic_process(packet.data(), static_cast<int>(packet.size()), output.data());
    EXPECT_EQ(result(n), sei.plain);
    EXPECT_TRUE(std::equal(sei.salt.begin(), sei.salt.end(), reader.salt));
    EXPECT_EQ(std::memcmp(reader.iv, &packet[23], 12), 0);
    EXPECT_EQ(std::memcmp(reader.tag, &packet[35], 16), 0);
    EXPECT_EQ(reader.cipher_len, 18);
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(privacy_reader, unversioned_tail_is_copied_as_it_is) {
    // Size bytes FF FF 10: S = 526. The tail keeps its 00 00 03 runs.
    hand_sei sei;
    sei.hevc = true;
    sei.plain = bytes(30, 0x11);  // L = 40
    for (size_t i = 0; i < 526 - 48 - 40; ++i) sei.tail.push_back(static_cast<uint8_t>(i % 7 == 0 ? 3 : i % 5 ? 0 : 9));
    const bytes packet = sei.build();
    EXPECT_EQ(bytes(packet.begin() + 7, packet.begin() + 10), (bytes{0xFF, 0xFF, 0x10}));
    bytes want = sei.plain;
    want.insert(want.end(), sei.tail.begin(), sei.tail.end());
    EXPECT_EQ(result(read(packet)), want);
}

TEST_F(privacy_reader, version_text_is_printed_once) {
    decryptMosic::version_printed = false;
    hand_sei sei;
    sei.version = "ver-1.2";  // salt at payload offset 8
    bytes packet = sei.build();
    EXPECT_EQ(packet[6 + 1 + 7], 0);
    EXPECT_EQ(result(read(packet)), sei.plain);
    EXPECT_EQ(printed, "mosic version: ver-1.2\n");
    sei.version = "ver-9";
    EXPECT_EQ(result(read(sei.build())), sei.plain);
    EXPECT_EQ(printed, "");
    // No zero byte within the first 64 payload bytes: the text is 64 bytes long and the
    // byte behind it is skipped all the same.
    decryptMosic::version_printed = false;
    const std::string long_text = "ver-" + std::string(61, 'x');  // 65 bytes: salt at 65
    sei.version_raw.assign(long_text.begin(), long_text.end());
    EXPECT_EQ(result(read(sei.build())), sei.plain);
    EXPECT_EQ(printed, "mosic version: " + long_text.substr(0, 64) + "\n");
}

TEST_F(privacy_reader, versioned_tail_loses_its_emulation_prevention_bytes) {
    struct tail_case {
        bytes in_packet;
        bytes delivered;
    };
    for (const tail_case& c : {tail_case{{0, 0, 3, 1}, {0, 0, 1}}, tail_case{{0, 0, 3, 3}, {0, 0, 3}},
                               tail_case{{0, 0, 3, 0, 0, 3, 0}, {0, 0, 0, 0, 0}},
                               // 03 only counts after exactly two zeros copied.
                               tail_case{{0, 0, 0, 3, 1}, {0, 0, 0, 3, 1}},
                               tail_case{{5, 0, 0, 3, 2, 7}, {5, 0, 0, 2, 7}}}) {
        hand_sei sei;
        sei.version = "ver-ep";
        sei.tail = c.in_packet;
        sei.tail_count = static_cast<long>(c.delivered.size());
        bytes want = sei.plain;
        want.insert(want.end(), c.delivered.begin(), c.delivered.end());
        EXPECT_EQ(result(read(sei.build())), want);
    }
    // The unversioned form keeps them.
    hand_sei sei;
    sei.tail = {0, 0, 3, 1};
    bytes want = sei.plain;
    want.insert(want.end(), sei.tail.begin(), sei.tail.end());
    EXPECT_EQ(result(read(sei.build())), want);
}

TEST_F(privacy_reader, failed_decryption_reports_a_wrong_key) {
    hand_sei sei;
    const bytes packet = sei.build();
    EXPECT_EQ(read(packet, "wrong key"), -1);
    EXPECT_NE(printed.find("cannot final EVP_Decrypt"), std::string::npos) << printed;
    EXPECT_NE(printed.find("decrypt_sei_frame failed"), std::string::npos) << printed;
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
    EXPECT_TRUE(output_untouched());
    // Also for a corrupted tag, a text that decodes to nothing, an empty text, and an empty
    // plaintext with a valid tag.
    hand_sei tag = sei, junk = sei, empty = sei, nothing = sei;
    tag.corrupt_tag = true;
    junk.override_text = empty.override_text = true;
    junk.text_override = "!!!!";
    nothing.plain.clear();
    for (const hand_sei* s : {&tag, &junk, &empty, &nothing}) {
        reset_result_status_for_testing();
        EXPECT_EQ(read(s->build()), -1);
        EXPECT_NE(printed.find("decrypt_sei_frame failed"), std::string::npos) << printed;
        EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
        EXPECT_TRUE(output_untouched());
    }
}

TEST_F(privacy_reader, key_and_plaintext_are_wiped_after_each_picture) {
    hand_sei sei;
    sei.plain = bytes(1000, 0x77);
    const bytes packet = sei.build();
    decryptMosic reader("hand key");
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(reader.decrypt_mosic_process(packet.data(), static_cast<int>(packet.size()), output.data()), 1000);
        EXPECT_TRUE(std::all_of(reader.derived_key, reader.derived_key + 32, [](uint8_t b) { return b == 0; }));
        EXPECT_TRUE(std::all_of(reader.plain_buf.get(), reader.plain_buf.get() + 1000, [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(result(1000), sei.plain);
    }
    // The key is kept up to its first zero byte.
    EXPECT_EQ(decryptMosic(std::string("ab\0cd", 5)).privacy_key, "ab");
}

TEST_F(privacy_reader, lengths_that_do_not_fit_are_refused) {
    struct refusal {
        const char* what;  // the WRN line says this
        bytes packet;
        size_t output_size;
    };
    std::vector<refusal> cases;
    const bytes good = hand_sei().build();
    // Size bytes that never end inside the packet.
    cases.push_back({"size bytes run past", bytes{0, 0, 0, 1, 6, 0x99, 0xFF, 0xFF}, decryptMosic::k_output_size});
    // A payload size larger than the packet.
    bytes cut = good;
    cut.pop_back();
    cases.push_back({"does not fit the", cut, decryptMosic::k_output_size});
    // A payload size too small for the fixed header; for a version text and the header.
    hand_sei small;
    small.payload_size = 47;
    cases.push_back({"too short for its 48-byte header", small.build(), decryptMosic::k_output_size});
    hand_sei unterminated;
    unterminated.version_raw.assign(40, 'v');
    std::memcpy(unterminated.version_raw.data(), "ver-", 4);
    unterminated.payload_size = 40 + 47;
    cases.push_back({"too short for its", unterminated.build(), decryptMosic::k_output_size});
    // Base64 lengths: negative, beyond the text buffer, beyond the payload.
    for (uint32_t length : {0xFFFFFFFFu, 0x500000u, 0x7FFFFFFFu}) {
        hand_sei s;
        s.length_field = length;
        cases.push_back({"base64 length", s.build(), decryptMosic::k_output_size});
    }
    hand_sei long_text;
    long_text.length_field = 13;  // the real text is 12 bytes, and there is no tail
    cases.push_back({"does not fit its payload", long_text.build(), decryptMosic::k_output_size});
    // A versioned tail whose emulation prevention bytes reach past the packet's end.
    hand_sei ep;
    ep.version = "ver-x";
    ep.tail = {0, 0, 3, 1};
    cases.push_back({"runs past the end", ep.build(), decryptMosic::k_output_size});
    // Plaintext and tail larger than the output buffer.
    hand_sei big;
    big.tail = bytes(100, 0x42);
    cases.push_back({"does not fit the 107-byte output", big.build(), 107});

    for (const refusal& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(read(c.packet, "hand key", c.output_size), -1);
        EXPECT_NE(printed.find("WRN:"), std::string::npos) << printed;
        EXPECT_NE(printed.find(c.what), std::string::npos) << printed;
        EXPECT_EQ(printed.find("ERR:"), std::string::npos) << printed;
        EXPECT_EQ(get_result_code(), RESULT_OK);
    }
    // One byte more of output buffer is enough.
    EXPECT_EQ(read(big.build(), "hand key", 108), 108);
}

TEST_F(privacy_reader, packets_that_are_not_privacy_seis) {
    const bytes good = hand_sei().build();
    bytes h264_ref_idc = good, hevc_prefix, other_type = good;
    hand_sei hevc;
    hevc.hevc = true;
    hevc_prefix = hevc.build();
    h264_ref_idc[4] = 0x26;
    hevc_prefix[4] = 0x4E;
    other_type[5] = 0x05;
    const bytes three_byte(good.begin() + 1, good.end());
    for (const bytes& packet : {h264_ref_idc, hevc_prefix, other_type, three_byte, bytes{0, 0, 0, 1, 6},
                                bytes{0, 0, 0, 1, 0x50, 0x01}}) {
        EXPECT_EQ(read(packet), -1);
        EXPECT_EQ(printed, "");
    }
    decryptMosic reader("k");
    EXPECT_EQ(reader.decrypt_mosic_process(nullptr, 10, output.data()), -1);
    EXPECT_EQ(reader.decrypt_mosic_process(good.data(), static_cast<int>(good.size()), nullptr), -1);
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

}  // namespace
