// The per-packet privacy step: naming a packet by its first NAL unit, removing a leading
// user-data SEI, reading an access unit (picture kind, parameter sets, where the privacy
// message sits in the layouts encoders write), and what demuxer_mosic_process forwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "common/pictureCounts.h"
#include "demux/mediaDemuxer.h"
#include "privacy/accessUnit.h"
#include "privacy/decryptMosic.h"
#include "privacy/privacyPacket.h"
#include "privacy/privacySeiWriter.h"

namespace {

using bytes = std::vector<uint8_t>;
const int H264 = AV_CODEC_ID_H264, HEVC = AV_CODEC_ID_HEVC;

bytes cat(bytes a, const bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(privacy_step, nal_type_names) {
    // nal_ref_idc does not count; without a start code byte 0 does; only the first unit counts;
    // CRA is no IDR; short packets are never read past their end.
    const std::tuple<bytes, int, const char*> cases[] = {
        {{0, 0, 0, 1, 0x26}, H264, "H264 SEI"}, {{0, 0, 1, 0x68, 0}, H264, "H264 PPS"}, {{0x67, 0x42}, H264, "H264 SPS"},
        {{0, 0, 0, 1, 0x67, 0, 0, 0, 1, 0x65}, H264, "H264 SPS"}, {{0, 0, 0, 1, 0x2A, 1}, HEVC, "H265 OTHER"},
        {{0, 0, 0, 1, 0x28, 1}, HEVC, "H265 IDR (I-frame)"}, {{0, 0, 1, 0x44, 1}, HEVC, "H265 PPS"},
        {{0, 0, 0, 1, 0x4E, 1}, HEVC, "H265 SEI PREFIX"}, {{}, AV_CODEC_ID_MPEG4, "INVALID"},
        {{0, 0, 0, 1, 0x65}, AV_CODEC_ID_MPEG4, "UNKNOWN"}, {{0, 0, 1}, H264, "H264 OTHER"}, {{0, 0}, HEVC, "H265 OTHER"}};
    for (const auto& [packet, codec, name] : cases) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[packet.size()]);  // a read past it is an overrun
        if (!packet.empty()) std::memcpy(exact.get(), packet.data(), packet.size());
        EXPECT_STREQ(nal_type_name(exact.get(), static_cast<int>(packet.size()), codec), name);
    }
}

// A privacy message written the way some cameras write it: size, salt, nonce, tag, length and
// an unversioned tail unescaped. The salt holds 00 00 01 (with the size byte 00 of S = 255 in
// front, also its first two bytes), the nonce 00 00 00 01, the length field 04 00 00 00.
bytes raw_message(const bytes& version, const bytes& tail, size_t tail_count) {
    bytes payload = version;
    const bytes salt = {0, 1, 0x5A, 0x5A, 0x5A, 0, 0, 1, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
    const bytes nonce = {0x3C, 0, 0, 0, 1, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C, 0x3C}, tag(16, 0);
    payload = cat(cat(cat(cat(payload, salt), nonce), tag), {4, 0, 0, 0, 'Q', 'U', 'J', 'D'});
    const size_t size = payload.size() + tail_count;
    bytes message = {0x99};
    message.insert(message.end(), size / 255, 0xFF);
    message.push_back(static_cast<uint8_t>(size % 255));
    return cat(cat(message, payload), tail);
}

TEST(privacy_step, access_unit_scan) {
    using privacy::picture_kind;
    const bytes s4 = {0, 0, 0, 1}, s3 = {0, 0, 1}, msg = {0x99, 2, 0xAA, 0xBB, 0x80};
    // Raw start codes in the message; an unversioned tail that holds a fake IDR slice.
    const bytes fake_idr = {0, 0, 0, 1, 0x65, 0x88}, long_tail(203, 0x42);
    const bytes raw = raw_message({}, fake_idr, 6), raw_255 = raw_message({}, long_tail, 203),
                raw_versioned = raw_message({'v', 'e', 'r', '-', '1', 0}, {0, 0, 3, 1, 0x65, 0x88}, 5);
    struct row {
        int codec;
        bytes au;
        picture_kind kind;
        size_t parameter_sets;
        int payload_at;  // -1: no message; -2: its size bytes are cut off
        size_t payload_size;
        int vcl;  // type of the first VCL NAL unit, -1 for none
    };
    const row rows[] = {
        {H264, cat(cat(cat(s4, {9, 0xF0}), cat(s4, {6})), cat(msg, cat(s3, {0x41, 0x9A}))), picture_kind::other, 0, 13, 2, 1},
        {H264, cat(cat(s4, {6, 5, 2, 0x11, 0x22, 0x80}), cat(cat(s3, {6}), cat(msg, cat(s4, {0x41})))), picture_kind::other, 0, 16, 2, 1},
        {H264, cat(cat(s4, {6, 5, 2, 0x11, 0x22, 0xFF, 1, 1, 0x33}), cat(msg, cat(s4, {0x41}))), picture_kind::other, 0, 15, 2, 1},
        // Emulation prevention in the size field, then before a type byte: counted unescaped.
        {H264, cat(cat(s4, {6, 5, 1, 0, 0, 3, 1, 0xEE}), cat(msg, cat(s4, {0x41}))), picture_kind::other, 0, 14, 2, 1},
        {H264, cat(cat(s4, {6, 5, 2, 0, 0, 3, 1, 1, 0x77}), cat(msg, cat(s4, {0x41}))), picture_kind::other, 0, 15, 2, 1},
        {H264, cat(cat(s4, {0x67, 0x42}), cat(cat(s3, {0x68, 0xCE}), cat(s4, {0x65, 0x88}))), picture_kind::key, 2, -1, 0, 5},
        {H264, cat(cat(s4, {6, 0x99, 0x10, 0xAA, 0x80}), cat(s4, {0x41})), picture_kind::other, 0, 7, 16, 1},  // past the packet
        {H264, cat(s4, {6, 0x99, 0xFF, 0xFF}), picture_kind::none, 0, -2, 0, -1},
        {H264, cat(cat(s4, {6, 0xFF, 0xFF}), cat(s4, {0x41})), picture_kind::other, 0, -1, 0, 1},
        {H264, cat(cat(s4, {6, 5, 9, 0x11, 0x80}), cat(s4, {0x41})), picture_kind::other, 0, -1, 0, 1},  // runs past
        // Start-code patterns inside a privacy message end nothing: the scan goes on behind it.
        {H264, cat(cat(cat(s4, {6}), raw), cat({0x80}, cat(s3, {0x41, 0x9A}))), picture_kind::other, 0, 7, 58, 1},
        {H264, cat(cat(cat(s4, {6, 5, 1, 0x11}), raw_255), cat({0x80}, cat(s4, {0x41, 0x9A}))), picture_kind::other, 0, 11, 255, 1},
        {HEVC, cat(cat(cat(s4, {0x50, 1}), raw_versioned), cat({0x80}, cat(s3, {0x02, 1}))), picture_kind::other, 0, 8, 63, 1},
        {HEVC, cat(cat(s4, {0x4E, 1}), cat(msg, cat(s4, {0x02, 1}))), picture_kind::other, 0, 8, 2, 1},  // prefix
        {HEVC, cat(cat(s4, {0x50, 1}), cat(msg, cat(s3, {0x00, 1}))), picture_kind::other, 0, 8, 2, 0},  // suffix
        {HEVC, cat(cat(cat(s4, {0x46, 1, 0x50}), cat(s4, {0x40, 1, 0x0C})), cat(cat(s3, {0x42, 1, 1}), cat(s4, {0x44, 1, 0xC0, 0, 0, 0, 1, 0x2A, 1}))), picture_kind::key, 3, -1, 0, 21},
        {HEVC, cat(s4, {0x20, 1, 0xAF}), picture_kind::key, 0, -1, 0, 16}};  // BLA
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.au));
        std::unique_ptr<uint8_t[]> exact(new uint8_t[r.au.size()]);  // a read past it is an overrun
        std::memcpy(exact.get(), r.au.data(), r.au.size());
        privacy::access_unit unit;
        ASSERT_TRUE(privacy::scan_access_unit(exact.get(), r.au.size(), r.codec, &unit));
        EXPECT_EQ(std::make_tuple(unit.kind, unit.first_vcl_type, unit.parameter_set_count),
                  std::make_tuple(r.kind, r.vcl, r.parameter_sets));
        const privacy::privacy_message_at& m = unit.message;
        const int at = m.found ? static_cast<int>(m.payload_at) : m.truncated ? -2 : -1;
        EXPECT_EQ(std::make_tuple(at, m.payload_size), std::make_tuple(r.payload_at, r.payload_size));
        if (m.found) {
            EXPECT_EQ(m.extent, r.au.size() - m.payload_at);
        }
    }

    // Picture kinds: an H.264 picture of I slices alone and without a privacy message opens a
    // group (with or without its recovery point SEI); one P slice, or a message, makes it an
    // ordinary picture. Whether others may refer to a picture: nal_ref_idc, HEVC _N types.
    const bytes i_slice = cat(s4, {0x21, 0x88, 0x80}), i_second = cat(s3, {0x21, 0x42, 0x20}),
                p_second = cat(s3, {0x21, 0x46, 0x80}), recovery = cat(s4, {6, 6, 1, 0x84, 0x80});
    const std::tuple<int, bytes, picture_kind, bool> kinds[] = {
        {H264, i_slice, picture_kind::key, true},
        {H264, cat(cat(recovery, i_slice), i_second), picture_kind::key, true},
        {H264, cat(i_slice, p_second), picture_kind::other, true},
        {H264, cat(cat(cat(s4, {6}), raw), cat({0x80}, i_slice)), picture_kind::other, true},
        {H264, cat(s4, {0x01, 0x9A}), picture_kind::other, false},
        {H264, cat(s4, {0x41, 0x9A}), picture_kind::other, true},
        {HEVC, cat(s4, {0x00, 1, 0xAF}), picture_kind::other, false},   // TRAIL_N
        {HEVC, cat(s4, {0x10, 1, 0xAF}), picture_kind::other, false},   // RASL_N
        {HEVC, cat(s4, {0x02, 1, 0xAF}), picture_kind::other, true}};   // TRAIL_R
    for (const auto& [codec, au, kind, reference] : kinds) {
        privacy::access_unit unit;
        ASSERT_TRUE(privacy::scan_access_unit(au.data(), au.size(), codec, &unit));
        EXPECT_EQ(std::make_pair(unit.kind, unit.reference), std::make_pair(kind, reference)) << testing::PrintToString(au);
        EXPECT_EQ(privacy::is_key_picture(au.data(), au.size(), codec), kind == picture_kind::key);
    }
}

// A packet over a copy of the bytes, with distinct values in every timing field.
std::shared_ptr<avPacketDev> timed(const bytes& b) {
    auto holder = std::make_shared<avPacketDev>(b.data(), static_cast<int32_t>(b.size()));
    AVPacket* p = holder->pkt;
    std::tie(p->pts, p->dts, p->duration, p->flags, p->stream_index) = std::make_tuple(3600, 3000, 512, 1, 2);
    p->time_base = AVRational{1, 12800};
    return holder;
}

void expect_packet(const AVPacket* got, const bytes& data, const AVPacket* timing) {
    EXPECT_EQ(bytes(got->data, got->data + got->size), data);
    EXPECT_EQ(std::make_tuple(got->pts, got->dts, got->duration, got->flags, got->stream_index),
              std::make_tuple(timing->pts, timing->dts, timing->duration, timing->flags, timing->stream_index));
    EXPECT_EQ(av_cmp_q(got->time_base, timing->time_base), 0);
}

TEST(privacy_step, strip_leading_user_data_sei) {
    const bytes rest = {0, 0, 0, 1, 0x65, 0x88};
    const std::pair<bytes, bool> cases[] = {  // packet, cut (what is left is then `rest`)
        {{0, 0, 0, 1, 0x06, 0x05, 0x10, 0xAA, 0, 0, 0, 1, 0x65, 0x88}, true},
        {{0, 0, 0, 1, 0x4E, 0x01, 0x05, 0x10, 0xAA, 0, 0, 0, 1, 0x65, 0x88}, true},  // HEVC prefix SEI
        // A 3-byte start code does not end the cut (with nothing behind, nothing is cut).
        {{0, 0, 0, 1, 6, 5, 0xAA, 0, 0, 1, 6, 0x99, 0x20, 0, 0, 0, 1, 0x65, 0x88}, true},
        {{0, 0, 0, 1, 6, 5, 0xAA, 0, 0, 1, 6, 0x99, 0x20, 0x31, 0x32}, false},
        {{0, 0, 0, 1, 6, 5, 0, 0, 0, 0, 0, 0, 1, 0x65, 0x88}, true},  // zeros before go with the SEI
        {{0, 0, 1, 6, 5, 0xAA, 0, 0, 0, 1, 0x65, 0x88}, false},     // 3-byte start code first
        {{0, 0, 0, 1, 6, 6, 0xAA, 0, 0, 0, 1, 0x65, 0x88}, false}};  // other payload type
    for (const auto& [packet, cut] : cases) {
        auto in = timed(packet);
        const auto before = std::make_shared<avPacketDev>();
        std::shared_ptr<avPacketDev> holder = before;
        ASSERT_EQ(strip_leading_sei(in->pkt, holder), cut) << testing::PrintToString(packet);
        if (!cut) {
            EXPECT_EQ(holder, before);  // left alone
            continue;
        }
        expect_packet(holder->pkt, rest, in->pkt);
        for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; ++i) ASSERT_EQ(holder->pkt->data[rest.size() + i], 0);
    }
}

// A demuxer without input, set up by hand, whose callback slot 0 keeps what it is given.
class privacy_forwarding : public testing::Test {
protected:
    void SetUp() override {
        job.set_result_status(RESULT_OK);
        job.pictures.reset();
        sent.clear();
        job.log.level = STD_DEBUG_LEVEL_WRN;
        job.log.write = [this](int, const char* line) { printed += line; };
        demuxer.reset(new mediaDemuxer(job, nullptr, mediaDemuxer::k_type_privacy, "the key"));
        demuxer->video_codec_id = H264;
        demuxer->set_callback(
            0, [this](void* p) { sent.push_back(std::make_shared<avPacketDev>(static_cast<AVPacket*>(p))); });
    }
    // With raw, salt and nonce hold start codes, written unescaped.
    static bytes sei(int codec, const std::string& key = "the key", bool raw = false) {
        bytes nal;
        std::string error;
        privacy_sei_options options{"ver-test", k_picture.size() / 2, {}};
        if (raw) {
            options.raw_start_codes = true;
            options.random_bytes = [](uint8_t* b, size_t n) {
                std::memset(b, 0x5A, n);
                std::memcpy(b + 4, n == 16 ? "\0\0\1" : "\0\0\0\1", n == 16 ? 3 : 4);
                return true;
            };
        }
        EXPECT_TRUE(build_privacy_sei(codec, k_picture.data(), k_picture.size(), key, options, &nal, &error)) << error;
        return nal;
    }
    // Processes the packet, the lines it wrote to the job kept in printed.
    int process(AVPacket* packet) {
        printed.clear();
        return demuxer->demuxer_mosic_process(packet);
    }
    int process(const bytes& b) { return process(timed(b)->pkt); }

    inline static const uint8_t k_version[] = "ver-test";
    inline static const bytes k_picture = {0, 0, 0, 1, 0x41, 0x9A, 0, 0, 3, 1, 0x22, 0, 0, 0, 1, 0x41, 0x9B, 0x80};
    // The job and its log outlive the demuxer, which logs as it goes.
    job_context job;
    std::string printed;
    std::unique_ptr<mediaDemuxer> demuxer;
    std::vector<std::shared_ptr<avPacketDev>> sent;
};

TEST_F(privacy_forwarding, key_pictures_pass_privacy_messages_become_pictures_others_drop) {
    // A wrong key shows at the first message: the job stops with code 2.
    EXPECT_EQ(process(cat(cat({0, 0, 0, 1, 0x65, 0x88}, sei(H264, "another key")), {0, 0, 0, 1, 0x41, 0x9A})), 0);
    EXPECT_EQ(process(cat(sei(H264, "another key"), {0, 0, 0, 1, 0x41, 0x9A})), -1);
    EXPECT_NE(printed.find("cannot final EVP_Decrypt"), std::string::npos) << printed;
    EXPECT_NE(printed.find("decrypt_sei_frame failed\033[0;39m ==func:decrypt_mosic_process"), std::string::npos) << printed;
    EXPECT_EQ(job.get_result_code(), RESULT_KEY_INCORRECT);
    job.set_result_status(RESULT_OK);
    sent.clear();

    // A key access unit passes whole, the privacy SEI in it unread, marked to serve as a
    // reference only; so do parameter sets alone. A masked picture drops, but for its
    // parameter sets; a packet without start code is no picture.
    const bytes aud = {0, 0, 0, 1, 0x09, 0xF0}, sps = {0, 0, 0, 1, 0x67, 0x42}, pps = {0, 0, 1, 0x68, 0xCE};
    const bytes key = cat(cat(sps, sei(H264)), {0, 0, 1, 0x65});
    const bytes vps = {0, 0, 0, 1, 0x40, 1}, idr = {0, 0, 0, 1, 0x26, 1}, cra = {0, 0, 0, 1, 0x2A, 1};
    const std::tuple<int, bytes, bytes> cases[] = {{H264, {0, 0, 0, 1, 0x65, 0x88}, {0, 0, 0, 1, 0x65, 0x88}},
                                                   {H264, key, key}, {H264, cat(sps, pps), cat(sps, pps)},
                                                   {H264, cat(cat(aud, sps), {0, 0, 0, 1, 0x41, 0x9A}), sps},
                                                   {H264, cat(cat(aud, {0, 0, 0, 1, 6, 5, 1, 0x10, 0x80}), {0, 0, 1, 0x41}), {}},
                                                   {H264, {0x68, 0xCE, 0x38}, {}}, {HEVC, vps, vps}, {HEVC, idr, idr},
                                                   {HEVC, cra, cra}, {HEVC, {0, 0, 0, 1, 0x02, 1}, {}}};
    for (const auto& [codec, in, out] : cases) {
        demuxer->video_codec_id = codec;
        const size_t count = sent.size();
        EXPECT_EQ(process(in), 0);
        ASSERT_LE(sent.size(), count + 1);
        const AVPacket* last = sent.size() == count ? nullptr : sent.back()->pkt;
        EXPECT_EQ(last ? bytes(last->data, last->data + last->size) : bytes(), out);
        if (last && out == in) {
            EXPECT_EQ(privacy::verdict_of(last), privacy::picture_verdict::reference_only);
        }
    }

    // Behind a key picture, a privacy message becomes the hidden picture, timing kept, the
    // unit's parameter sets in front, wherever its SEI stands (behind a delimiter and a
    // user-data SEI here), whatever start codes its salt and nonce hold.
    for (const bool raw : {false, true}) {
        for (int codec : {H264, HEVC}) {
            demuxer->video_codec_id = codec;
            process(codec == H264 ? bytes{0, 0, 0, 1, 0x65, 0x88} : idr);
            auto in = timed(cat(sei(codec, "the key", raw), {0, 0, 0, 1, codec == H264 ? uint8_t(0x41) : uint8_t(0x02), 0x77}));
            EXPECT_EQ(process(in->pkt), 0);
            expect_packet(sent.back()->pkt, k_picture, in->pkt);
            EXPECT_EQ(privacy::verdict_of(sent.back()->pkt), privacy::picture_verdict::hidden);
        }
    }
    demuxer->video_codec_id = H264;
    auto in = timed(cat(cat(cat(aud, {0, 0, 0, 1, 6, 5, 1, 0x10, 0x80}), cat(pps, sei(H264))), {0, 0, 1, 0x41}));
    EXPECT_EQ(process(in->pkt), 0);
    expect_packet(sent.back()->pkt, cat({0, 0, 0, 1, 0x68, 0xCE}, k_picture), in->pkt);
    EXPECT_EQ(job.get_result_code(), RESULT_OK);
    const size_t count = sent.size();

    // An unknown codec stops the job.
    demuxer->video_codec_id = AV_CODEC_ID_MPEG4;
    EXPECT_EQ(process({0, 0, 0, 1, 0x65, 0x88}), -1);
    EXPECT_NE(printed.find("unknown codecId 12"), std::string::npos) << printed;
    EXPECT_EQ(job.get_result_code(), RESULT_STREAM_FORMAT_ERROR);
    EXPECT_EQ(sent.size(), count);
}

TEST_F(privacy_forwarding, lost_references_leave_out_the_hidden_pictures_behind_them) {
    // K key picture, O an H.264 I picture that opens a group, H a hidden picture, M a masked
    // reference picture without its message, N a masked picture no other refers to, without
    // its message, D a hidden picture whose message is damaged (after others decrypted).
    // What goes to the decoder ("p": the hidden picture), and the counts
    // {found, broken messages, without message, left out without reference}.
    const bytes slice = {0, 0, 0, 1, 0x41, 0x9A}, key = {0, 0, 0, 1, 0x65, 0x88}, opener = {0, 0, 0, 1, 0x21, 0x88, 0x80};
    bytes damaged = cat(sei(H264), slice);
    damaged[std::search(damaged.begin(), damaged.end(), k_version, k_version + 9) - damaged.begin() + 9 + 28] ^= 1;
    const std::map<char, bytes> packets = {{'K', key}, {'O', opener}, {'H', cat(sei(H264), slice)},
                                           {'M', slice}, {'N', {0, 0, 0, 1, 0x01, 0x9A}}, {'D', damaged}};
    const std::tuple<std::string, std::string, std::array<int64_t, 4>> rows[] = {
        {"HKH", "Kp", {2, 0, 0, 1}},           // nothing to predict the first one from
        {"KHMHKH", "KpKp", {3, 0, 1, 1}},      // the reference is lost until the next key picture
        {"KHNH", "Kpp", {2, 0, 1, 0}},         // a picture nobody refers to costs itself alone
        {"KHDHOH", "KpOp", {4, 1, 0, 1}}};     // damaged data; an open-group I picture restores
    std::string log;
    for (const auto& [in, out, expected] : rows) {
        SetUp();
        for (const char c : in) process(packets.at(c)), log += printed;
        std::string got;
        for (const auto& p : sent) {
            const bytes b(p->pkt->data, p->pkt->data + p->pkt->size);
            got += b == k_picture ? 'p' : b == key ? 'K' : b == opener ? 'O' : '?';
        }
        const picture_counts& c = job.pictures;
        EXPECT_EQ(got, out) << in;
        EXPECT_EQ((std::array<int64_t, 4>{c.found, c.broken_messages, c.without_message, c.unreferenced}), expected) << in;
        EXPECT_EQ(job.get_result_code(), RESULT_OK) << in;
    }
    EXPECT_NE(log.find("fails to decrypt after 1 that did: damaged data"), std::string::npos) << log;
}

}  // namespace
