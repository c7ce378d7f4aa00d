// Privacy SEI writer and reader: SEIs assembled here with plain OpenSSL calls (PBKDF2-HMAC-
// SHA256 and AES-256-GCM straight from libcrypto, so a fault shared by writer and reader, in
// key derivation or cipher, cannot hide), the reader's corner cases and refused lengths, and
// writer/reader round trips.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>

#include "privacy/decryptMosic.h"
#include "privacy/privacySeiWriter.h"

namespace {

using bytes = std::vector<uint8_t>;
const int H264 = AV_CODEC_ID_H264, HEVC = AV_CODEC_ID_HEVC;

bytes joined(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A privacy SEI assembled field by field with plain OpenSSL calls.
struct hand_sei {
    bool hevc = false;
    bytes version;  // payload bytes before the salt ("ver-..." and its zero byte)
    bytes plain = {0, 0, 0, 1, 0x41, 0x9A, 0x21, 0x80};
    bytes tail;                        // packet bytes behind the text
    std::optional<size_t> tail_count;  // what the size S counts of the tail; default tail.size()
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
        bytes payload = joined(joined(joined(version, salt), iv), bytes(tag, tag + 16));
        const uint32_t length = length_field.value_or(static_cast<uint32_t>(b64.size()));
        for (int i = 0; i < 4; ++i) payload.push_back(static_cast<uint8_t>(length >> (8 * i)));
        const size_t size = payload_size.value_or(payload.size() + b64.size() + tail_count.value_or(tail.size()));
        payload = joined(joined(payload, bytes(b64.begin(), b64.end())), tail);
        bytes sei = hevc ? bytes{0, 0, 0, 1, 0x50, 0x01, 0x99} : bytes{0, 0, 0, 1, 0x06, 0x99};
        sei.insert(sei.end(), size / 255, 0xFF);
        sei.push_back(static_cast<uint8_t>(size % 255));
        return joined(sei, payload);
    }
};

bytes ver(const std::string& text) { return joined(bytes(text.begin(), text.end()), {0}); }

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
        out.assign(decryptMosic::k_output_size, 0xEE);
        job.log.level = STD_DEBUG_LEVEL_WRN;
        job.log.write = [this](int, const char* line) { printed += line; };
    }
    // The reader's picture (empty on -1), the lines it wrote to its job kept in printed.
    bytes read(const bytes& packet, const std::string& key = "hand key", size_t out_size = decryptMosic::k_output_size) {
        printed.clear();
        decryptMosic reader(job, key);
        result = reader.decrypt_mosic_process(packet.data(), static_cast<int>(packet.size()), out.data(), out_size);
        return result > 0 ? bytes(out.begin(), out.begin() + result) : bytes();
    }
    static bytes write(int codec, const bytes& pic, const std::string& version = "", size_t encrypt = SIZE_MAX) {
        bytes nal;
        std::string error;
        EXPECT_TRUE(build_privacy_sei(codec, pic.data(), pic.size(), "hand key", {version, encrypt, {}}, &nal, &error));
        return nal;
    }

    job_context job;
    bytes out;
    int result = 0;
    std::string printed;
};

TEST_F(privacy_sei, reader_size_bytes_tails_and_version_text) {
    // Size bytes FF FF 10: S = 526; an unversioned tail is copied with its 00 00 03 runs.
    hand_sei sei;
    sei.hevc = true;
    sei.plain = bytes(30, 0x11);
    for (size_t i = 0; i < 526 - 48 - 40; ++i) sei.tail.push_back(static_cast<uint8_t>(i % 7 == 0 ? 3 : i % 5 ? 0 : 9));
    bytes packet = sei.build();
    EXPECT_EQ(bytes(packet.begin() + 7, packet.begin() + 10), (bytes{0xFF, 0xFF, 0x10}));
    EXPECT_EQ(read(packet), joined(sei.plain, sei.tail));

    // Versioned tails lose their emulation prevention bytes: a 03 counts only after exactly
    // two zero bytes copied.
    const bytes tails[][2] = {{{0, 0, 3, 1}, {0, 0, 1}}, {{0, 0, 3, 3}, {0, 0, 3}}, {{0, 0, 3, 0, 0, 3, 0}, {0, 0, 0, 0, 0}},
                              {{0, 0, 0, 3, 1}, {0, 0, 0, 3, 1}}, {{5, 0, 0, 3, 2}, {5, 0, 0, 2}}};
    for (const auto& t : tails) {
        sei = hand_sei();
        sei.version = ver("ver-ep");
        sei.tail = t[0];
        sei.tail_count = t[1].size();
        EXPECT_EQ(read(sei.build()), joined(sei.plain, t[1]));
    }

    // The version line goes to the job once per job. A text without a zero byte within the
    // first 64 payload bytes counts 64 bytes, and the byte behind it is skipped all the same.
    job.version_printed = false;
    const std::string long_text = "ver-" + std::string(61, 'x');
    sei = hand_sei();
    for (const auto& [version, line] : {std::pair{ver("ver-1.2"), std::string("mosic version: ver-1.2\n")},
                                        std::pair{ver("ver-9"), std::string()},
                                        // The longest text a zero byte can end: 63 bytes, its zero the 64th.
                                        std::pair{ver("ver-" + std::string(59, 'y')), std::string()}}) {
        sei.version = version;
        EXPECT_EQ(read(sei.build()), sei.plain);
        EXPECT_EQ(printed, line);
    }
    job.version_printed = false;
    sei.version.assign(long_text.begin(), long_text.end());
    EXPECT_EQ(read(sei.build()), sei.plain);
    EXPECT_EQ(printed, "mosic version: " + long_text.substr(0, 64) + "\n");
    EXPECT_EQ(job.get_result_code(), RESULT_OK);

    // Derived key and plaintext are wiped once the picture is out.
    decryptMosic reader(job, "hand key");
    packet = hand_sei().build();
    EXPECT_EQ(reader.decrypt_mosic_process(packet.data(), static_cast<int>(packet.size()), out.data()), 8);
    EXPECT_TRUE(std::all_of(reader.derived_key, reader.derived_key + 32, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(reader.plain_buf.get(), reader.plain_buf.get() + 8, [](uint8_t b) { return b == 0; }));
}

TEST_F(privacy_sei, reader_failures_report_a_wrong_key) {
    hand_sei wrong, tag, junk, nothing;
    wrong.key = "another key";
    tag.corrupt_tag = true;
    junk.text = "!!!!";     // decodes to nothing
    nothing.plain.clear();  // valid tag, but no plaintext
    for (const hand_sei* s : {&wrong, &tag, &junk, &nothing}) {
        job.set_result_status(RESULT_OK);
        read(s->build());
        EXPECT_EQ(result, -1);
        if (s == &wrong) {
            EXPECT_NE(printed.find("cannot final EVP_Decrypt"), std::string::npos) << printed;
        }
        EXPECT_NE(printed.find("decrypt_sei_frame failed"), std::string::npos) << printed;
        EXPECT_EQ(job.get_result_code(), RESULT_KEY_INCORRECT);
        EXPECT_TRUE(std::all_of(out.begin(), out.begin() + 64, [](uint8_t b) { return b == 0xEE; }));
    }
}

TEST_F(privacy_sei, reader_refuses_lengths_that_do_not_fit) {
    const size_t full = decryptMosic::k_output_size;
    auto made = [](const std::function<void(hand_sei&)>& edit) {
        hand_sei s;
        edit(s);
        return s.build();
    };
    bytes cut = hand_sei().build();
    cut.pop_back();
    const std::tuple<const char*, bytes, size_t> cases[] = {
        {"size bytes run past", bytes{0, 0, 0, 1, 6, 0x99, 0xFF, 0xFF}, full},
        {"does not fit the 59 bytes", cut, full},
        {"too short for its 48-byte header", made([](hand_sei& s) { s.payload_size = 47; }), full},
        // No zero byte: the version part runs to 65 bytes.
        {"too short for its 113-byte header", made([](hand_sei& s) {
             s.version = bytes(40, 'v');
             std::memcpy(s.version.data(), "ver-", 4);
             s.payload_size = 40 + 48 + 12;
         }), full},
        {"base64 length", made([](hand_sei& s) { s.length_field = 0xFFFFFFFFu; }), full},
        {"base64 length", made([](hand_sei& s) { s.length_field = 0x500000u; }), full},
        // One more than the text; there is no tail.
        {"does not fit its payload", made([](hand_sei& s) { s.length_field = 13; }), full},
        // Four packet bytes give three, S counts four.
        {"runs past the end", made([](hand_sei& s) { s.version = ver("ver-x"), s.tail = {0, 0, 3, 1}; }), full},
        {"does not fit the 107-byte output", made([](hand_sei& s) { s.tail = bytes(100, 0x42); }), 107}};
    for (const auto& [what, packet, out_size] : cases) {
        EXPECT_EQ(read(packet, "hand key", out_size), bytes()) << what;
        EXPECT_NE(printed.find(what), std::string::npos) << printed;
        EXPECT_NE(printed.find("[WRN:"), std::string::npos) << printed;
        EXPECT_EQ(printed.find("ERR:"), std::string::npos) << printed;
    }
    EXPECT_EQ(read(std::get<1>(cases[8]), "hand key", 108).size(), 108u);

    // Not privacy SEIs: silently -1.
    hand_sei hevc;
    hevc.hevc = true;
    bytes ref_idc = hand_sei().build(), prefix = hevc.build(), type5 = hand_sei().build();
    ref_idc[4] = 0x26;
    prefix[4] = 0x4E;
    type5[5] = 0x05;
    for (const bytes& p : {ref_idc, prefix, type5, bytes(ref_idc.begin() + 1, ref_idc.end()), bytes{0, 0, 0, 1, 6}}) {
        read(p);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(printed, "");
    }
    EXPECT_EQ(job.get_result_code(), RESULT_OK);
}

TEST_F(privacy_sei, writer_round_trips_without_start_code_emulation) {
    // Every size up to 300 (texts under 256 bytes, payload sizes that are multiples of 255),
    // and 49152 bytes, whose text of 65536 bytes would give the length field 00 00 01 00.
    std::vector<size_t> sizes(300);
    for (size_t i = 0; i < sizes.size(); ++i) sizes[i] = i + 1;
    sizes.push_back(49152);
    for (int codec : {H264, HEVC}) {
        for (bool versioned : {true, false}) {
            for (size_t size : sizes) {
                const size_t encrypt = size % 4 == 0 ? SIZE_MAX : size % 4 == 1 ? 1 : std::max<size_t>(1, size / 2);
                SCOPED_TRACE(testing::Message() << codec << " " << versioned << " " << size << " " << encrypt);
                const bytes pic = picture(size, static_cast<uint32_t>(size), versioned);
                const bytes nal = write(codec, pic, versioned ? "ver-2.1" : "", encrypt);
                // No 00 00 00/01/02 behind the start code; unversioned, no 00 00 03 either.
                EXPECT_EQ(privacy::find_zero_run(nal.data() + 4, nal.size() - 4, versioned ? 2 : 3), nal.size() - 4);
                EXPECT_EQ(nal.back(), 0x80);
                if (encrypt == SIZE_MAX && size >= 16) {
                    EXPECT_EQ(std::search(nal.begin(), nal.end(), pic.begin() + 4, pic.begin() + 12), nal.end());
                }
                ASSERT_EQ(read(nal), pic);
            }
        }
    }
    // Unversioned, with 00 00 03 in the bytes the split would give up: it cannot move, so the
    // text gets a terminating zero byte and filler instead.
    bytes pic = picture(49152, 4, false);
    std::fill(pic.end() - 3, pic.end() - 1, 0);
    pic.back() = 3;
    EXPECT_EQ(read(write(HEVC, pic)), pic);
    EXPECT_EQ(job.get_result_code(), RESULT_OK);
}

}  // namespace
