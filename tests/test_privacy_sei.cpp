// Privacy SEI writer and reader: published known answers for key derivation and cipher, SEIs
// assembled here with plain OpenSSL calls (so a fault shared by writer and reader cannot
// hide), writer/reader round trips, the layout's corner cases, refused lengths, and FFmpeg
// reading streams that carry written SEIs.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <fstream>
#include <optional>
#include <random>

#include "interface/resultStatus.h"
#include "privacy/decryptMosic.h"
#include "privacy/privacySeiWriter.h"
#include "tests/support/process.h"

namespace {

using bytes = std::vector<uint8_t>;
const int H264 = AV_CODEC_ID_H264, HEVC = AV_CODEC_ID_HEVC;

bytes hex(const std::string& t) {
    bytes out;
    for (size_t i = 0; i + 1 < t.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(t.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(privacy_known_answers, pbkdf2_sha256_and_aes_256_gcm) {
    // RFC 7914 section 11.
    for (auto v : {std::make_tuple("passwd", "salt", 1,
                                   "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc49ca9cccf179b645991"
                                   "664b39d77ef317c71b845b1e30bd509112041d3a19783"),
                   std::make_tuple("Password", "NaCl", 80000,
                                   "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56a1d425a1225833549ad"
                                   "b841b51c9b3176a272bdebba1d078478f62b397f33c8d")}) {
        bytes key(64);
        const char* salt = std::get<1>(v);
        ASSERT_TRUE(privacy::derive_key(std::get<0>(v), reinterpret_cast<const uint8_t*>(salt), std::strlen(salt),
                                        std::get<2>(v), key.data(), key.size()));
        EXPECT_EQ(key, hex(std::get<3>(v)));
    }
    // GCM test cases 13-15 (256-bit key) and CAVP gcmEncryptExtIV256 count 0: key, nonce,
    // plaintext, ciphertext, tag.
    const char* const vectors[][5] = {
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "",
         "530f8afbc74536b9a963b4f1c4cb738b"},
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
         "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
        {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de"
         "657ba637b391aafd255",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7"
         "a0abcc9f662898015ad",
         "b094dac5d93471bdec1a502270e3cc6c"},
        {"b52c505a37d78eda5dd34f20c22540ea1b58963cf8e5bf8ffa85f9f2492505b4", "516c33929df5a3284ff463d7", "", "",
         "bdc1ac884d332457a1d2664f168c76f0"}};
    for (const auto& v : vectors) {
        const bytes key = hex(v[0]), iv = hex(v[1]), plain = hex(v[2]), cipher = hex(v[3]);
        bytes tag = hex(v[4]), out(plain.size() + 1), out_tag(16);
        const int size = static_cast<int>(plain.size());
        ASSERT_TRUE(privacy::gcm_encrypt(key.data(), iv.data(), plain.data(), size, out.data(), out_tag.data()));
        EXPECT_EQ(bytes(out.begin(), out.begin() + size), cipher);
        EXPECT_EQ(out_tag, tag);
        int n = -1;
        EXPECT_EQ(privacy::gcm_decrypt(key.data(), iv.data(), tag.data(), cipher.data(), size, out.data(), &n),
                  privacy::gcm_status::ok);
        EXPECT_EQ(bytes(out.begin(), out.begin() + n), plain);
        tag[15] ^= 1;
        EXPECT_EQ(privacy::gcm_decrypt(key.data(), iv.data(), tag.data(), cipher.data(), size, out.data(), &n),
                  privacy::gcm_status::final_failed);
    }
}

// A privacy SEI assembled field by field with plain OpenSSL calls.
struct hand_sei {
    bool hevc = false;
    bytes version;  // payload bytes before the salt ("ver-..." and its zero byte)
    bytes plain = {0, 0, 0, 1, 0x41, 0x9A, 0x21, 0x80};
    bytes tail;                        // packet bytes behind the text
    std::optional<size_t> tail_count;  // R counted in S; default tail.size()
    std::optional<size_t> payload_size;
    std::optional<uint32_t> length_field;
    std::optional<std::string> text;  // instead of the real base64 text
    std::string key = "hand key";
    bool corrupt_tag = false;

    bytes build() const {
        const bytes salt(16, 0x5A), iv(12, 0x3C);
        uint8_t derived[32], tag[16];
        PKCS5_PBKDF2_HMAC(key.data(), static_cast<int>(key.size()), salt.data(), 16, 1000, EVP_sha256(), 32, derived);
        bytes cipher(plain.size() + 16);
        int n = 0, m = 0;
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, derived, iv.data());
        EVP_EncryptUpdate(ctx, cipher.data(), &n, plain.data(), static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(ctx, cipher.data() + n, &m);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
        EVP_CIPHER_CTX_free(ctx);
        tag[0] ^= corrupt_tag ? 1 : 0;
        std::string b64(4 * ((plain.size() + 2) / 3) + 1, '\0');
        b64.resize(EVP_EncodeBlock(reinterpret_cast<uint8_t*>(&b64[0]), cipher.data(), static_cast<int>(plain.size())));
        if (text) b64 = *text;
        bytes payload = version;
        payload.insert(payload.end(), salt.begin(), salt.end());
        payload.insert(payload.end(), iv.begin(), iv.end());
        payload.insert(payload.end(), tag, tag + 16);
        const uint32_t length = length_field.value_or(static_cast<uint32_t>(b64.size()));
        for (int i = 0; i < 4; ++i) payload.push_back(static_cast<uint8_t>(length >> (8 * i)));
        const size_t size = payload_size.value_or(payload.size() + b64.size() + tail_count.value_or(tail.size()));
        payload.insert(payload.end(), b64.begin(), b64.end());
        payload.insert(payload.end(), tail.begin(), tail.end());
        bytes sei = hevc ? bytes{0, 0, 0, 1, 0x50, 0x01, 0x99} : bytes{0, 0, 0, 1, 0x06, 0x99};
        sei.insert(sei.end(), size / 255, 0xFF);
        sei.push_back(static_cast<uint8_t>(size % 255));
        sei.insert(sei.end(), payload.begin(), payload.end());
        return sei;
    }
};

bytes ver(const std::string& text) {
    bytes b(text.begin(), text.end());
    b.push_back(0);
    return b;
}

bytes joined(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Random bytes; with runs, every kind of zero run a coded picture holds (and a trailing one);
// without, no 00 00 at all (a tail the unversioned form can carry).
bytes picture(size_t size, uint32_t seed, bool runs) {
    std::mt19937 rng(seed);
    bytes b(size);
    for (size_t i = 0; i < size; ++i) {
        b[i] = static_cast<uint8_t>(rng());
        if (!runs && b[i] == 0 && i > 0 && b[i - 1] == 0) b[i] = 0x42;
    }
    static const uint8_t kinds[][4] = {{0, 0, 0, 1}, {0, 0, 1, 0x65}, {0, 0, 3, 1}, {0, 0, 2, 0}, {0, 0, 0, 3}};
    for (size_t i = 7; runs && i + 4 < size; i += 23) std::memcpy(&b[i], kinds[(i / 23) % 5], 4);
    if (runs && size >= 8) std::fill(b.end() - 3, b.end(), 0);
    return b;
}

class privacy_sei : public testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        out.assign(decryptMosic::k_output_size, 0xEE);
    }

    // The reader (key "hand key" unless given), stdout captured in printed.
    int read(const bytes& packet, const std::string& key = "hand key", size_t out_size = decryptMosic::k_output_size) {
        decryptMosic reader(key);
        fflush(stdout);
        testing::internal::CaptureStdout();
        const int n =
            reader.decrypt_mosic_process(packet.data(), static_cast<int>(packet.size()), out.data(), out_size);
        fflush(stdout);
        printed = testing::internal::GetCapturedStdout();
        return n;
    }
    bytes got(int n) const { return n > 0 ? bytes(out.begin(), out.begin() + n) : bytes(); }

    static bytes write(int codec, const bytes& pic, const std::string& version = "", size_t encrypt = SIZE_MAX,
                       const std::string& key = "hand key") {
        privacy_sei_options options;
        options.version_text = version;
        options.encrypt_bytes = encrypt;
        bytes nal;
        std::string error;
        EXPECT_TRUE(build_privacy_sei(codec, pic.data(), pic.size(), key, options, &nal, &error)) << error;
        return nal;
    }

    struct written {
        size_t payload_size;
        uint32_t text_length;  // the length field
        size_t tail;           // R
    };

    // A written NAL unit: header, trailing byte, no start-code emulation, no stray 00 00 03
    // outside the versioned tail, and a payload size equal to what a parser counts after
    // removing emulation prevention bytes.
    static written check_written(const bytes& nal, int codec) {
        const size_t type_at = codec == HEVC ? 6 : 5;
        EXPECT_EQ(bytes(nal.begin(), nal.begin() + type_at + 1),
                  codec == HEVC ? (bytes{0, 0, 0, 1, 0x50, 1, 0x99}) : (bytes{0, 0, 0, 1, 6, 0x99}));
        EXPECT_EQ(nal.back(), 0x80);
        size_t p = type_at + 1, size = 0;
        while (nal[p] == 0xFF) size += nal[p++];
        size += nal[p++];
        const bool versioned = std::memcmp(&nal[p], "ver-", 4) == 0;
        const size_t header = p + (versioned ? std::strlen(reinterpret_cast<const char*>(&nal[p])) + 1 : 0);
        uint32_t length;
        std::memcpy(&length, &nal[header + 44], 4);
        const size_t tail_at = header + 48 + length;
        for (size_t i = 4; i + 2 < nal.size(); ++i) {
            if (nal[i] == 0 && nal[i + 1] == 0) {
                EXPECT_TRUE(nal[i + 2] > 3 || (nal[i + 2] == 3 && versioned && i >= tail_at))
                    << int(nal[i + 2]) << " at " << i;
            }
        }
        size_t rbsp = 0;
        for (size_t i = 4, zeros = 0; i + 1 < nal.size(); ++i) {
            if (zeros == 2 && nal[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = nal[i] == 0 ? zeros + 1 : 0;
            rbsp += i >= p;
        }
        EXPECT_EQ(rbsp, size);
        return {size, length, size - (header - p) - 48 - length};
    }

    bytes out;
    std::string printed;
};

TEST_F(privacy_sei, round_trip_codecs_forms_and_split_points) {
    for (int codec : {H264, HEVC}) {
        for (bool versioned : {true, false}) {
            for (size_t size : {1, 2, 47, 300, 5000}) {
                for (size_t encrypt : {size_t(SIZE_MAX), size_t(1), size / 2, size - 1}) {
                    if (encrypt == 0) continue;
                    SCOPED_TRACE(testing::Message() << codec << " " << versioned << " " << size << " " << encrypt);
                    const bytes pic = picture(size, static_cast<uint32_t>(size), versioned);
                    const bytes nal = write(codec, pic, versioned ? "ver-2.1" : "", encrypt);
                    const size_t tail = check_written(nal, codec).tail;
                    // The split moves by at most a few bytes from the one asked for.
                    EXPECT_LE(std::abs(long(size - tail) - long(std::min(encrypt, size))), 6);
                    EXPECT_EQ(got(read(nal)), pic);
                }
            }
        }
    }
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(privacy_sei, round_trip_payload_sizes_and_length_fields) {
    // Every size up to 730 encrypted whole: texts under 256 bytes (whose length field would
    // read xx 00 00 00), payload sizes that are multiples of 255, several FF size bytes.
    bool multiple_of_255 = false;
    for (size_t size = 1; size <= 730; ++size) {
        const bytes pic = picture(size, 7, size % 3 != 0);
        const bytes nal = write(size % 2 ? H264 : HEVC, pic, size % 3 ? "ver-0.9" : "");
        const written w = check_written(nal, size % 2 ? H264 : HEVC);
        EXPECT_GE(w.text_length, 256u);
        multiple_of_255 |= w.payload_size % 255 == 0;
        ASSERT_EQ(got(read(nal)), pic) << size;
    }
    EXPECT_TRUE(multiple_of_255);
    // 49152 bytes give a text of exactly 65536 bytes (00 00 01 00): the split moves back 3.
    for (bool versioned : {true, false}) {
        const bytes pic = picture(49152, 3, versioned);
        const bytes nal = write(H264, pic, versioned ? "ver-3" : "");
        EXPECT_EQ(check_written(nal, H264).text_length, 65532u);
        EXPECT_EQ(check_written(nal, H264).tail, 3u);
        EXPECT_EQ(got(read(nal)), pic);
    }
    // Unversioned, with 00 00 03 in the bytes the split would give up: it cannot move, so the
    // text gets a terminating zero byte and filler instead.
    bytes pic = picture(49152, 4, false);
    std::fill(pic.end() - 3, pic.end() - 1, 0);
    pic.back() = 3;
    const bytes nal = write(HEVC, pic);
    EXPECT_GT(check_written(nal, HEVC).text_length, 65536u);
    EXPECT_EQ(got(read(nal)), pic);
}

TEST_F(privacy_sei, writer_refusals_and_redraws) {
    auto refused = [](int codec, const bytes& pic, privacy_sei_options options, const std::string& key = "k") {
        bytes nal = {7};
        std::string error;
        const bool ok = build_privacy_sei(codec, pic.data(), pic.size(), key, options, &nal, &error);
        EXPECT_EQ(nal, bytes{7});  // nothing appended
        return ok ? std::string() : error;
    };
    bytes pic = picture(400, 5, false);
    pic[200] = pic[201] = 0;
    pic[202] = 1;
    privacy_sei_options options;
    options.encrypt_bytes = 100;
    const std::string error = refused(H264, pic, options);
    EXPECT_NE(error.find("offset 200"), std::string::npos) << error;
    EXPECT_NE(error.find("at least 203 bytes"), std::string::npos) << error;
    EXPECT_EQ(got(read(write(H264, pic, "", 203))), pic);
    EXPECT_EQ(got(read(write(H264, pic, "ver-1", 100))), pic);

    EXPECT_NE(refused(AV_CODEC_ID_MPEG4, pic, {}), "");
    EXPECT_NE(refused(H264, {}, {}), "");
    EXPECT_NE(refused(H264, pic, {}, std::string("a\0b", 3)), "");
    options.encrypt_bytes = 0;
    EXPECT_NE(refused(H264, pic, options), "");
    for (const std::string& text :
         std::vector<std::string>{"v1.0", std::string("ver-\0x", 6), "ver-" + std::string(61, 'x')}) {
        options = {};
        options.version_text = text;
        EXPECT_NE(refused(H264, pic, options), "") << text;
    }
    // The longest version text: 64 bytes.
    EXPECT_EQ(got(read(write(HEVC, pic, "ver-" + std::string(60, 'x')))), pic);

    // Draws: a salt beginning "ver-" (an unversioned payload would read as versioned), a
    // salt holding 00 00 01, then usable bytes.
    bytes ver_salt(16, 0x11), run_salt(16, 0x22);
    std::memcpy(ver_salt.data(), "ver-", 4);
    run_salt[5] = run_salt[6] = 0;
    run_salt[7] = 1;
    std::deque<bytes> draws = {ver_salt, bytes(12, 0x44), run_salt, bytes(12, 0x44), bytes(16, 0x33), bytes(12, 0x44)};
    options = {};
    options.random_bytes = [&draws](uint8_t* p, size_t n) {
        if (draws.empty() || draws.front().size() != n) return false;
        std::memcpy(p, draws.front().data(), n);
        draws.pop_front();
        return true;
    };
    const bytes clean = picture(500, 6, false);
    bytes nal;
    std::string why;
    ASSERT_TRUE(build_privacy_sei(H264, clean.data(), clean.size(), "hand key", options, &nal, &why));
    EXPECT_TRUE(draws.empty());
    EXPECT_EQ(bytes(nal.begin() + 9, nal.begin() + 25), bytes(16, 0x33));  // behind 3 size bytes
    EXPECT_EQ(got(read(nal)), clean);
    // A source of zero bytes never gives a usable header; a failing source stops at once.
    options.random_bytes = [](uint8_t* p, size_t n) { return std::memset(p, 0, n) != nullptr; };
    EXPECT_NE(refused(H264, clean, options).find("start-code pattern"), std::string::npos);
    options.random_bytes = [](uint8_t*, size_t) { return false; };
    EXPECT_NE(refused(H264, clean, options).find("random"), std::string::npos);
}

TEST_F(privacy_sei, reader_layout_and_tails) {
    // Unversioned, 18 plaintext bytes: L = 24, S = 72 (one size byte 0x48), salt at 7-22,
    // nonce 23-34, tag 35-50, L at 51-54, text 55-78.
    hand_sei sei;
    sei.plain = bytes(18, 0x61);
    bytes packet = sei.build();
    ASSERT_EQ(packet.size(), 79u);
    EXPECT_EQ(packet[6], 0x48);
    EXPECT_EQ(packet[51], 24);
    decryptMosic reader("hand key");
    EXPECT_EQ(got(reader.decrypt_mosic_process(packet.data(), 79, out.data())), sei.plain);
    EXPECT_EQ(bytes(reader.salt, reader.salt + 16), bytes(packet.begin() + 7, packet.begin() + 23));
    EXPECT_EQ(bytes(reader.iv, reader.iv + 12), bytes(packet.begin() + 23, packet.begin() + 35));
    EXPECT_EQ(bytes(reader.tag, reader.tag + 16), bytes(packet.begin() + 35, packet.begin() + 51));
    // Derived key and plaintext are wiped once the picture is out.
    EXPECT_TRUE(std::all_of(reader.derived_key, reader.derived_key + 32, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(reader.plain_buf.get(), reader.plain_buf.get() + 18, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(decryptMosic(std::string("ab\0cd", 5)).privacy_key, "ab");

    // Size bytes FF FF 10: S = 526; an unversioned tail is copied with its 00 00 03 runs.
    sei = hand_sei();
    sei.hevc = true;
    sei.plain = bytes(30, 0x11);
    for (size_t i = 0; i < 526 - 48 - 40; ++i) sei.tail.push_back(static_cast<uint8_t>(i % 7 == 0 ? 3 : i % 5 ? 0 : 9));
    packet = sei.build();
    EXPECT_EQ(bytes(packet.begin() + 7, packet.begin() + 10), (bytes{0xFF, 0xFF, 0x10}));
    EXPECT_EQ(got(read(packet)), joined(sei.plain, sei.tail));

    // Versioned tails lose their emulation prevention bytes: a 03 counts only after exactly
    // two zero bytes copied.
    const bytes cases[][2] = {{{0, 0, 3, 1}, {0, 0, 1}},
                              {{0, 0, 3, 3}, {0, 0, 3}},
                              {{0, 0, 3, 0, 0, 3, 0}, {0, 0, 0, 0, 0}},
                              {{0, 0, 0, 3, 1}, {0, 0, 0, 3, 1}},
                              {{5, 0, 0, 3, 2}, {5, 0, 0, 2}}};
    for (const auto& c : cases) {
        sei = hand_sei();
        sei.version = ver("ver-ep");
        sei.tail = c[0];
        sei.tail_count = c[1].size();
        EXPECT_EQ(got(read(sei.build())), joined(sei.plain, c[1]));
    }
}

TEST_F(privacy_sei, reader_version_line) {
    decryptMosic::version_printed = false;
    hand_sei sei;
    sei.version = ver("ver-1.2");  // 7 bytes: salt at payload offset 8
    EXPECT_EQ(got(read(sei.build())), sei.plain);
    EXPECT_EQ(printed, "mosic version: ver-1.2\n");
    sei.version = ver("ver-9");
    EXPECT_EQ(got(read(sei.build())), sei.plain);
    EXPECT_EQ(printed, "");
    // No zero byte within the first 64 payload bytes: the text is 64 bytes and the byte
    // behind it is skipped all the same (salt at payload offset 65).
    decryptMosic::version_printed = false;
    const std::string text = "ver-" + std::string(61, 'x');
    sei.version.assign(text.begin(), text.end());
    EXPECT_EQ(got(read(sei.build())), sei.plain);
    EXPECT_EQ(printed, "mosic version: " + text.substr(0, 64) + "\n");
}

TEST_F(privacy_sei, reader_failures_report_a_wrong_key) {
    hand_sei wrong, tag, junk, empty, nothing;
    wrong.key = "another key";
    tag.corrupt_tag = true;
    junk.text = "!!!!";  // decodes to nothing
    empty.text = "";
    nothing.plain.clear();  // valid tag, but no plaintext
    for (const hand_sei* s : {&wrong, &tag, &junk, &empty, &nothing}) {
        reset_result_status_for_testing();
        EXPECT_EQ(read(s->build()), -1);
        if (s == &wrong) {
            EXPECT_NE(printed.find("cannot final EVP_Decrypt"), std::string::npos) << printed;
        }
        EXPECT_NE(printed.find("decrypt_sei_frame failed"), std::string::npos) << printed;
        EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
        EXPECT_TRUE(
            std::all_of(out.begin(), out.begin() + 64, [](uint8_t b) { return b == 0xEE; }));  // nothing written
    }
}

TEST_F(privacy_sei, reader_refuses_lengths_that_do_not_fit) {
    const size_t full = decryptMosic::k_output_size;
    std::vector<std::tuple<const char*, bytes, size_t>> cases;
    cases.emplace_back("size bytes run past", bytes{0, 0, 0, 1, 6, 0x99, 0xFF, 0xFF}, full);
    bytes cut = hand_sei().build();
    cut.pop_back();
    cases.emplace_back("does not fit the 59 bytes", cut, full);
    hand_sei s;
    s.payload_size = 47;
    cases.emplace_back("too short for its 48-byte header", s.build(), full);
    s = hand_sei();
    s.version = bytes(40, 'v');  // no zero byte: the version part runs to 65 bytes
    std::memcpy(s.version.data(), "ver-", 4);
    s.payload_size = 40 + 48 + 12;
    cases.emplace_back("too short for its 113-byte header", s.build(), full);
    for (uint32_t length : {0xFFFFFFFFu, 0x500000u}) {
        s = hand_sei();
        s.length_field = length;
        cases.emplace_back("base64 length", s.build(), full);
    }
    s = hand_sei();
    s.length_field = 13;  // one more than the text; there is no tail
    cases.emplace_back("does not fit its payload", s.build(), full);
    s = hand_sei();
    s.version = ver("ver-x");
    s.tail = {0, 0, 3, 1};  // four packet bytes give three, R says four
    cases.emplace_back("runs past the end", s.build(), full);
    s = hand_sei();
    s.tail = bytes(100, 0x42);
    cases.emplace_back("does not fit the 107-byte output", s.build(), 107);
    for (const auto& c : cases) {
        EXPECT_EQ(read(std::get<1>(c), "hand key", std::get<2>(c)), -1) << std::get<0>(c);
        EXPECT_NE(printed.find("WRN:"), std::string::npos) << printed;
        EXPECT_NE(printed.find(std::get<0>(c)), std::string::npos) << printed;
        EXPECT_EQ(printed.find("ERR:"), std::string::npos) << printed;
        EXPECT_EQ(get_result_code(), RESULT_OK);
    }
    EXPECT_EQ(read(s.build(), "hand key", 108), 108);

    // Not privacy SEIs: silently -1.
    hand_sei hevc;
    hevc.hevc = true;
    bytes ref_idc = hand_sei().build(), prefix = hevc.build(), type5 = hand_sei().build();
    ref_idc[4] = 0x26;
    prefix[4] = 0x4E;
    type5[5] = 0x05;
    for (const bytes& p : {ref_idc, prefix, type5, bytes(ref_idc.begin() + 1, ref_idc.end()), bytes{0, 0, 0, 1, 6}}) {
        EXPECT_EQ(read(p), -1);
        EXPECT_EQ(printed, "");
    }
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

// Annex B NAL units of a raw stream, without start codes.
std::vector<bytes> split_annexb(const bytes& s) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 2 < s.size(); ++i) {
        if (!s[i] && !s[i + 1] && s[i + 2] == 1) at.push_back(i + 3);
    }
    std::vector<bytes> nals;
    for (size_t k = 0; k < at.size(); ++k) {
        size_t end = k + 1 < at.size() ? at[k + 1] - 3 : s.size();
        while (end > at[k] && s[end - 1] == 0) --end;
        nals.emplace_back(s.begin() + at[k], s.begin() + end);
    }
    return nals;
}

// Privacy SEIs (carrying the picture's own slice) in front of every P slice of a real stream:
// FFmpeg decodes the result without a complaint, and the reader gives back each slice.
TEST_F(privacy_sei, ffmpeg_reads_streams_with_written_seis) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not available";
    const std::string dir = testsupport::scratch_dir("privacy_sei_ffmpeg");
    for (int codec : {H264, HEVC}) {
        const std::string plain = dir + "/plain." + (codec == HEVC ? "hevc" : "h264"), marked = plain + ".sei";
        ASSERT_TRUE(testsupport::make_clip(
            plain, codec == HEVC ? "libx265" : "libx264", 64, 64, 12, 10, "",
            codec == HEVC ? "-preset ultrafast -x265-params log-level=none:bframes=0" : "-preset ultrafast -bf 0"));
        std::ifstream in(plain, std::ios::binary);
        bytes stream, source{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        int seis = 0;
        for (const bytes& nal : split_annexb(source)) {
            const bytes coded = joined({0, 0, 0, 1}, nal);
            if (codec == HEVC ? ((nal[0] >> 1) & 0x3F) <= 1 : (nal[0] & 0x1F) == 1) {
                // Versioned with half the slice encrypted, or unversioned with all of it.
                const bytes sei = ++seis % 2 ? write(codec, coded, "ver-t", coded.size() / 2) : write(codec, coded);
                ASSERT_EQ(got(read(sei)), coded);
                stream = joined(stream, sei);
            }
            stream = joined(stream, coded);
        }
        EXPECT_GE(seis, 5);
        std::ofstream(marked, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
        const auto run = testsupport::run({"ffmpeg", "-hide_banner", "-v", "error", "-f",
                                           codec == HEVC ? "hevc" : "h264", "-i", marked, "-f", "null", "-"});
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.err, "");
    }
}

}  // namespace
