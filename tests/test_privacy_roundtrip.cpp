// The privacy SEI writer against the reader: every picture written comes back byte for byte,
// and every NAL unit written is one that H.264/HEVC parsers take as it is.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <fstream>
#include <random>

#include "interface/resultStatus.h"
#include "privacy/decryptMosic.h"
#include "privacy/privacySeiWriter.h"
#include "tests/support/process.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

using bytes = std::vector<uint8_t>;

// The layout of a written privacy SEI, read the way the format table describes it.
struct sei_layout {
    size_t payload_at = 0;
    size_t payload_size = 0;
    size_t ff_bytes = 0;
    bool versioned = false;
    size_t header_at = 0;  // salt
    uint32_t text_length = 0;
    size_t tail_at = 0;
};

sei_layout parse(const bytes& nal, int codec) {
    sei_layout l;
    size_t p = codec == AV_CODEC_ID_HEVC ? 7 : 6;
    while (nal.at(p) == 0xFF) {
        l.payload_size += 255;
        ++l.ff_bytes;
        ++p;
    }
    l.payload_size += nal.at(p++);
    l.payload_at = p;
    l.versioned = std::memcmp(&nal.at(p), "ver-", 4) == 0;
    l.header_at = p;
    if (l.versioned) l.header_at += std::strlen(reinterpret_cast<const char*>(&nal.at(p))) + 1;
    std::memcpy(&l.text_length, &nal.at(l.header_at + 44), 4);
    l.tail_at = l.header_at + 48 + l.text_length;
    return l;
}

// Bytes in [from, to) left after the standard emulation prevention removal, which any
// H.264/HEVC parser applies to the whole NAL unit (from its header byte at offset 4) before it
// reads SEI messages.
size_t rbsp_size(const bytes& nal, size_t from, size_t to) {
    size_t count = 0;
    int zeros = 0;
    for (size_t i = 4; i < to; ++i) {
        if (zeros == 2 && nal[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = nal[i] == 0 ? zeros + 1 : 0;
        if (i >= from) ++count;
    }
    return count;
}

// First offset >= from of 00 00 x with x <= max_third, or npos.
size_t find_run(const bytes& b, size_t from, size_t to, int max_third) {
    for (size_t i = from; i + 2 < to; ++i) {
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] <= max_third) return i;
    }
    return std::string::npos;
}

// Random bytes with every kind of zero run a coded picture can hold.
bytes picture_with_runs(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes b(size);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    static const uint8_t runs[][4] = {{0, 0, 0, 1}, {0, 0, 1, 0x65}, {0, 0, 3, 1}, {0, 0, 2, 0}, {0, 0, 0, 3}};
    for (size_t i = 7; i + 4 < size; i += 23) std::memcpy(&b[i], runs[(i / 23) % 5], 4);
    return b;
}

// Random bytes without any 00 00 run (a tail the unversioned form can carry).
bytes clean_picture(size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    bytes b(size);
    for (size_t i = 0; i < size; ++i) {
        b[i] = static_cast<uint8_t>(rng());
        if (b[i] == 0 && i > 0 && b[i - 1] == 0) b[i] = 0x42;
    }
    return b;
}

class privacy_round_trip : public testing::Test {
protected:
    static void SetUpTestSuite() {
        reader = new decryptMosic("secret key");
        output = new bytes(decryptMosic::k_output_size);
    }
    static void TearDownTestSuite() {
        delete reader;
        delete output;
    }
    void SetUp() override { reset_result_status_for_testing(); }

    static bytes write(int codec, const bytes& picture, privacy_sei_options options = {}) {
        bytes nal;
        std::string error;
        EXPECT_TRUE(build_privacy_sei(codec, picture.data(), picture.size(), "secret key", options, &nal, &error))
            << error;
        return nal;
    }

    static bytes restore(const bytes& nal) {
        const int n = reader->decrypt_mosic_process(nal.data(), static_cast<int>(nal.size()), output->data());
        EXPECT_GT(n, 0);
        return n > 0 ? bytes(output->begin(), output->begin() + n) : bytes();
    }

    // Everything a parser needs from a written NAL unit.
    static void expect_well_formed(const bytes& nal, int codec) {
        const bytes head = codec == AV_CODEC_ID_HEVC ? bytes{0, 0, 0, 1, 0x50, 0x01, 0x99} : bytes{0, 0, 0, 1, 0x06, 0x99};
        ASSERT_GT(nal.size(), head.size() + 50);
        EXPECT_TRUE(std::equal(head.begin(), head.end(), nal.begin()));
        EXPECT_EQ(nal.back(), 0x80);
        const sei_layout l = parse(nal, codec);
        // No start-code emulation anywhere, no stray emulation-prevention pattern in what is
        // carried raw (everything but a versioned tail).
        EXPECT_EQ(find_run(nal, 4, nal.size(), 2), std::string::npos);
        const size_t raw_end = l.versioned ? l.tail_at + 1 : nal.size();
        EXPECT_EQ(find_run(nal, 4, raw_end, 3), std::string::npos);
        // The payload size counts the payload without emulation prevention bytes.
        EXPECT_EQ(rbsp_size(nal, l.payload_at, nal.size() - 1), l.payload_size);
    }

    static decryptMosic* reader;
    static bytes* output;
};

decryptMosic* privacy_round_trip::reader = nullptr;
bytes* privacy_round_trip::output = nullptr;

TEST_F(privacy_round_trip, codecs_forms_and_split_points) {
    for (int codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        for (bool versioned : {true, false}) {
            for (size_t size : {1u, 2u, 47u, 300u, 1000u, 5000u}) {
                for (size_t encrypt : {size_t(SIZE_MAX), size_t(1), size / 2, size - 1}) {
                    if (encrypt == 0) continue;
                    SCOPED_TRACE(testing::Message() << "codec " << codec << " versioned " << versioned << " size "
                                                    << size << " encrypt " << encrypt);
                    const bytes picture = versioned ? picture_with_runs(size, static_cast<uint32_t>(size))
                                                    : clean_picture(size, static_cast<uint32_t>(size));
                    privacy_sei_options options;
                    if (versioned) options.version_text = "ver-2.1";
                    options.encrypt_bytes = encrypt;
                    const bytes nal = write(codec, picture, options);
                    expect_well_formed(nal, codec);
                    const sei_layout l = parse(nal, codec);
                    EXPECT_EQ(l.versioned, versioned);
                    // The split moves by at most a few bytes from the one asked for.
                    const size_t want = encrypt < size ? encrypt : size;
                    const size_t tail = l.payload_size - (l.header_at - l.payload_at) - 48 - l.text_length;
                    EXPECT_LE(size - tail > want ? size - tail - want : want - (size - tail), 6u);
                    EXPECT_EQ(restore(nal), picture);
                }
            }
        }
    }
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(privacy_round_trip, versioned_tail_with_every_zero_run) {
    // Encrypt 3 bytes; the tail begins and ends with zero runs and holds each pattern once.
    const bytes picture = {0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 1, 0x09, 0, 0, 1, 0x41, 0, 0, 3, 1, 0, 0, 3, 3,
                           0,    0,    2,    5, 0, 0, 0, 3, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        privacy_sei_options options;
        options.version_text = "ver-1";
        options.encrypt_bytes = 3;
        const bytes nal = write(codec, picture, options);
        expect_well_formed(nal, codec);
        EXPECT_EQ(restore(nal), picture);
    }
}

TEST_F(privacy_round_trip, payload_sizes_and_length_fields) {
    // Every picture size up to 700, encrypted whole: short texts whose length field would
    // read xx 00 00 00, payload sizes that are a multiple of 255 (size bytes FF .. FF 00),
    // and payload sizes that need several FF bytes.
    bool saw_multiple_of_255 = false;
    size_t most_ff = 0;
    for (size_t size = 1; size <= 700; ++size) {
        SCOPED_TRACE(size);
        const int codec = size % 2 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
        privacy_sei_options options;
        if (size % 3) options.version_text = "ver-0.9.1";
        const bytes picture = picture_with_runs(size, 7);
        const bytes nal = write(codec, picture, options);
        expect_well_formed(nal, codec);
        const sei_layout l = parse(nal, codec);
        EXPECT_GE(l.text_length, 256u);  // below 256 the field would hold three zero bytes
        saw_multiple_of_255 |= l.payload_size % 255 == 0;
        most_ff = std::max(most_ff, l.ff_bytes);
        ASSERT_EQ(restore(nal), picture);
    }
    EXPECT_TRUE(saw_multiple_of_255);
    EXPECT_GE(most_ff, 3u);
}

TEST_F(privacy_round_trip, length_field_65536_moves_the_split) {
    // 49152 bytes give a base64 text of exactly 65536 bytes: 00 00 01 00.
    for (bool versioned : {true, false}) {
        const bytes picture = versioned ? picture_with_runs(49152, 3) : clean_picture(49152, 3);
        privacy_sei_options options;
        if (versioned) options.version_text = "ver-3";
        const bytes nal = write(AV_CODEC_ID_H264, picture, options);
        expect_well_formed(nal, AV_CODEC_ID_H264);
        EXPECT_EQ(parse(nal, AV_CODEC_ID_H264).text_length, 65532u);
        EXPECT_EQ(restore(nal), picture);
    }
    // Unversioned, and the three bytes the split would give up hold 00 00 03: the split
    // cannot move, so the text gets a terminator and filler instead.
    bytes picture = clean_picture(49152, 4);
    picture[49149] = 0;
    picture[49150] = 0;
    picture[49151] = 3;
    const bytes nal = write(AV_CODEC_ID_HEVC, picture);
    expect_well_formed(nal, AV_CODEC_ID_HEVC);
    const sei_layout l = parse(nal, AV_CODEC_ID_HEVC);
    EXPECT_GT(l.text_length, 65536u);
    EXPECT_EQ(nal[l.header_at + 48 + 65536], 0);
    EXPECT_EQ(restore(nal), picture);
}

TEST_F(privacy_round_trip, unversioned_tail_that_cannot_be_carried) {
    bytes picture = clean_picture(400, 5);
    picture[200] = 0;
    picture[201] = 0;
    picture[202] = 1;
    privacy_sei_options options;
    options.encrypt_bytes = 100;
    bytes out = {1, 2, 3};
    std::string error;
    EXPECT_FALSE(build_privacy_sei(AV_CODEC_ID_H264, picture.data(), picture.size(), "k", options, &out, &error));
    EXPECT_EQ(out, (bytes{1, 2, 3}));
    EXPECT_NE(error.find("offset 200"), std::string::npos) << error;
    EXPECT_NE(error.find("at least 203 bytes"), std::string::npos) << error;
    // Encrypting past the pattern, or the versioned form, carries it.
    options.encrypt_bytes = 203;
    EXPECT_EQ(restore(write(AV_CODEC_ID_H264, picture, options)), picture);
    options.encrypt_bytes = 100;
    options.version_text = "ver-1";
    EXPECT_EQ(restore(write(AV_CODEC_ID_H264, picture, options)), picture);
}

TEST_F(privacy_round_trip, salt_and_nonce_are_drawn_again) {
    // Draws, in order: a salt beginning "ver-" (an unversioned payload would read as
    // versioned), a salt holding 00 00 01, then usable bytes.
    std::deque<bytes> draws;
    bytes ver_salt(16, 0x11);
    std::memcpy(ver_salt.data(), "ver-", 4);
    bytes run_salt(16, 0x22);
    run_salt[5] = run_salt[6] = 0;
    run_salt[7] = 1;
    const bytes good_salt(16, 0x33), nonce(12, 0x44);
    for (const bytes* salt : std::initializer_list<const bytes*>{&ver_salt, &run_salt, &good_salt}) {
        draws.push_back(*salt);
        draws.push_back(nonce);
    }
    privacy_sei_options options;
    options.random_bytes = [&draws](uint8_t* out, size_t count) {
        if (draws.empty() || draws.front().size() != count) return false;
        std::memcpy(out, draws.front().data(), count);
        draws.pop_front();
        return true;
    };
    const bytes picture = clean_picture(500, 6);
    const bytes nal = write(AV_CODEC_ID_H264, picture, options);
    EXPECT_TRUE(draws.empty());
    const sei_layout l = parse(nal, AV_CODEC_ID_H264);
    EXPECT_TRUE(std::equal(good_salt.begin(), good_salt.end(), nal.begin() + l.header_at));
    EXPECT_EQ(restore(nal), picture);

    // A source that only ever gives zero bytes never yields a usable header; a source that
    // fails gives up at once. Either way nothing is appended.
    bytes out;
    std::string error;
    options.random_bytes = [](uint8_t* p, size_t n) {
        std::memset(p, 0, n);
        return true;
    };
    EXPECT_FALSE(build_privacy_sei(AV_CODEC_ID_H264, picture.data(), picture.size(), "k", options, &out, &error));
    EXPECT_NE(error.find("start-code pattern"), std::string::npos) << error;
    options.random_bytes = [](uint8_t*, size_t) { return false; };
    EXPECT_FALSE(build_privacy_sei(AV_CODEC_ID_H264, picture.data(), picture.size(), "k", options, &out, &error));
    EXPECT_NE(error.find("random"), std::string::npos) << error;
    EXPECT_TRUE(out.empty());
}

TEST_F(privacy_round_trip, refused_arguments) {
    const bytes picture = clean_picture(100, 8);
    auto refuses = [&](int codec, const bytes& pic, const std::string& key, privacy_sei_options options) {
        bytes out;
        std::string error;
        const bool ok = build_privacy_sei(codec, pic.data(), pic.size(), key, options, &out, &error);
        EXPECT_TRUE(out.empty());
        return !ok && !error.empty();
    };
    privacy_sei_options plain;
    EXPECT_TRUE(refuses(AV_CODEC_ID_MPEG4, picture, "k", plain));
    EXPECT_TRUE(refuses(AV_CODEC_ID_H264, bytes(), "k", plain));
    EXPECT_TRUE(refuses(AV_CODEC_ID_H264, picture, std::string("a\0b", 3), plain));
    privacy_sei_options none = plain;
    none.encrypt_bytes = 0;
    EXPECT_TRUE(refuses(AV_CODEC_ID_H264, picture, "k", none));
    for (const std::string& text : {std::string("v1.0"), std::string("ver-\0x", 6), "ver-" + std::string(61, 'x')}) {
        privacy_sei_options bad = plain;
        bad.version_text = text;
        EXPECT_TRUE(refuses(AV_CODEC_ID_H264, picture, "k", bad)) << text;
    }
    // The longest version text the reader can find the end of: 64 bytes, no zero among them.
    privacy_sei_options longest = plain;
    longest.version_text = "ver-" + std::string(60, 'x');
    EXPECT_EQ(restore(write(AV_CODEC_ID_HEVC, picture, longest)), picture);
}

// Annex B NAL units of a raw H.264/HEVC stream (start codes not included).
std::vector<bytes> split_annexb(const bytes& stream) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 2 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) starts.push_back(i + 3);
    }
    std::vector<bytes> nals;
    for (size_t k = 0; k < starts.size(); ++k) {
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : stream.size();
        while (end > starts[k] && stream[end - 1] == 0) --end;
        nals.emplace_back(stream.begin() + starts[k], stream.begin() + end);
    }
    return nals;
}

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Puts a privacy SEI (carrying the picture's own slice) in front of every P slice of a real
// stream: FFmpeg must decode the result without a single complaint, and the reader must give
// back each slice.
TEST_F(privacy_round_trip, ffmpeg_takes_streams_with_privacy_seis) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not available";
    const std::string dir = testsupport::scratch_dir("privacy_round_trip_ffmpeg");
    struct variant {
        int codec;
        const char* encoder;
        const char* extension;
        bool versioned;
    };
    for (const variant& v : {variant{AV_CODEC_ID_H264, "libx264", "h264", true},
                             variant{AV_CODEC_ID_H264, "libx264", "h264", false},
                             variant{AV_CODEC_ID_HEVC, "libx265", "hevc", true},
                             variant{AV_CODEC_ID_HEVC, "libx265", "hevc", false}}) {
        SCOPED_TRACE(std::string(v.encoder) + (v.versioned ? " versioned" : " unversioned"));
        const std::string plain = dir + "/plain." + v.extension;
        const std::string with_sei = dir + "/sei." + v.extension;
        ASSERT_TRUE(testsupport::make_clip(plain, v.encoder, 64, 64, 12, 10, "",
                                           std::string("-preset ultrafast -bf 0") +
                                               (v.codec == AV_CODEC_ID_HEVC ? " -x265-params log-level=none" : "")));
        bytes stream;
        int seis = 0;
        for (const bytes& nal : split_annexb(read_file(plain))) {
            const int type = v.codec == AV_CODEC_ID_HEVC ? (nal[0] >> 1) & 0x3F : nal[0] & 0x1F;
            const bool p_slice = v.codec == AV_CODEC_ID_HEVC ? type <= 1 : type == 1;
            if (p_slice) {
                bytes picture = {0, 0, 0, 1};
                picture.insert(picture.end(), nal.begin(), nal.end());
                privacy_sei_options options;
                if (v.versioned) options.version_text = "ver-test";
                // Unversioned tails are carried raw: encrypt the whole slice. Versioned: half.
                if (v.versioned) options.encrypt_bytes = picture.size() / 2;
                const bytes sei = write(v.codec, picture, options);
                ASSERT_EQ(restore(sei), picture);
                stream.insert(stream.end(), sei.begin(), sei.end());
                ++seis;
            }
            const uint8_t start[] = {0, 0, 0, 1};
            stream.insert(stream.end(), start, start + 4);
            stream.insert(stream.end(), nal.begin(), nal.end());
        }
        EXPECT_GE(seis, 5);
        std::ofstream(with_sei, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()), stream.size());
        const auto result = testsupport::run({"ffmpeg", "-hide_banner", "-v", "error", "-i", with_sei, "-f", "null", "-"});
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.err, "");
    }
}

}  // namespace
