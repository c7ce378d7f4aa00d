// The per-packet privacy step: naming a packet by its first NAL unit, removing a leading
// user-data SEI, reading an access unit (picture kind, parameter sets, where the privacy
// message sits in the layouts encoders write), and what demuxer_mosic_process forwards.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

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

TEST(privacy_step, access_unit_scan) {
    using privacy::picture_kind;
    const bytes s4 = {0, 0, 0, 1}, s3 = {0, 0, 1}, msg = {0x99, 2, 0xAA, 0xBB, 0x80};
    struct row {
        int codec;
        bytes au;
        picture_kind kind;
        size_t parameter_sets;
        int payload_at;  // -1: no message; -2: its size bytes are cut off
        size_t payload_size, extent;
    };
    const row rows[] = {
        {H264, cat(cat(cat(s4, {9, 0xF0}), cat(s4, {6})), cat(msg, cat(s3, {0x41, 0x9A}))), picture_kind::other, 0, 13, 2, 3},
        {H264, cat(cat(s4, {6, 5, 2, 0x11, 0x22, 0x80}), cat(cat(s3, {6}), cat(msg, cat(s4, {0x41})))), picture_kind::other, 0, 16, 2, 3},
        {H264, cat(cat(s4, {6, 5, 2, 0x11, 0x22, 0xFF, 1, 1, 0x33}), cat(msg, cat(s4, {0x41}))), picture_kind::other, 0, 15, 2, 3},
        // Emulation prevention in the size field, then before a type byte: counted unescaped.
        {H264, cat(cat(s4, {6, 5, 1, 0, 0, 3, 1, 0xEE}), cat(msg, cat(s4, {0x41}))), picture_kind::other, 0, 14, 2, 3},
        {H264, cat(cat(s4, {6, 5, 2, 0, 0, 3, 1, 1, 0x77}), cat(msg, cat(s4, {0x41}))), picture_kind::other, 0, 15, 2, 3},
        {H264, cat(cat(s4, {0x67, 0x42}), cat(cat(s3, {0x68, 0xCE}), cat(s4, {0x65, 0x88}))), picture_kind::key, 2, -1, 0, 0},
        {H264, cat(cat(s4, {6, 0x99, 0x10, 0xAA, 0x80}), cat(s4, {0x41})), picture_kind::other, 0, 7, 16, 2},  // past the NAL
        {H264, cat(s4, {6, 0x99, 0xFF, 0xFF}), picture_kind::none, 0, -2, 0, 0},
        {H264, cat(cat(s4, {6, 0xFF, 0xFF}), cat(s4, {0x41})), picture_kind::other, 0, -1, 0, 0},
        {H264, cat(cat(s4, {6, 5, 9, 0x11, 0x80}), cat(s4, {0x41})), picture_kind::other, 0, -1, 0, 0},  // runs past
        {HEVC, cat(cat(s4, {0x4E, 1}), cat(msg, cat(s4, {0x02, 1}))), picture_kind::other, 0, 8, 2, 3},  // prefix
        {HEVC, cat(cat(s4, {0x50, 1}), cat(msg, cat(s3, {0x00, 1}))), picture_kind::other, 0, 8, 2, 3},  // suffix
        {HEVC, cat(cat(cat(s4, {0x46, 1, 0x50}), cat(s4, {0x40, 1, 0x0C})), cat(cat(s3, {0x42, 1, 1}), cat(s4, {0x44, 1, 0xC0, 0, 0, 0, 1, 0x2A, 1}))), picture_kind::key, 3, -1, 0, 0},
        {HEVC, cat(s4, {0x20, 1, 0xAF}), picture_kind::key, 0, -1, 0, 0}};  // BLA
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.au));
        std::unique_ptr<uint8_t[]> exact(new uint8_t[r.au.size()]);  // a read past it is an overrun
        std::memcpy(exact.get(), r.au.data(), r.au.size());
        privacy::access_unit unit;
        ASSERT_TRUE(privacy::scan_access_unit(exact.get(), r.au.size(), r.codec, &unit));
        EXPECT_EQ(unit.kind, r.kind);
        EXPECT_EQ(unit.parameter_set_count, r.parameter_sets);
        const privacy::privacy_message_at& m = unit.message;
        const int at = m.found ? static_cast<int>(m.payload_at) : m.truncated ? -2 : -1;
        EXPECT_EQ(std::make_tuple(at, m.payload_size, m.extent), std::make_tuple(r.payload_at, r.payload_size, r.extent));
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
        job.log.level = STD_DEBUG_LEVEL_WRN;
        job.log.write = [this](int, const char* line) { printed += line; };
        demuxer.reset(new mediaDemuxer(job, nullptr, mediaDemuxer::k_type_privacy, "the key"));
        demuxer->video_codec_id = H264;
        demuxer->set_callback(
            0, [this](void* p) { sent.push_back(std::make_shared<avPacketDev>(static_cast<AVPacket*>(p))); });
    }
    static bytes sei(int codec, const std::string& key = "the key") {
        bytes nal;
        std::string error;
        EXPECT_TRUE(build_privacy_sei(codec, k_picture.data(), k_picture.size(), key,
                                      {"ver-test", k_picture.size() / 2, {}}, &nal, &error)) << error;
        return nal;
    }
    // Processes the packet, the lines it wrote to the job kept in printed.
    int process(AVPacket* packet) {
        printed.clear();
        return demuxer->demuxer_mosic_process(packet);
    }
    int process(const bytes& b) { return process(timed(b)->pkt); }

    inline static const bytes k_picture = {0, 0, 0, 1, 0x41, 0x9A, 0, 0, 3, 1, 0x22, 0, 0, 0, 1, 0x41, 0x9B, 0x80};
    // The job and its log outlive the demuxer, which logs as it goes.
    job_context job;
    std::string printed;
    std::unique_ptr<mediaDemuxer> demuxer;
    std::vector<std::shared_ptr<avPacketDev>> sent;
};

TEST_F(privacy_forwarding, key_pictures_pass_privacy_messages_become_pictures_others_drop) {
    // A key access unit passes whole, the privacy SEI in it unread; so do parameter sets alone.
    // A masked picture drops, but for its parameter sets; a packet without start code is no picture.
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
    }
    EXPECT_FALSE(demuxer->decryptor);

    // A privacy message becomes the hidden picture, timing kept, the unit's parameter sets in
    // front, wherever its SEI stands (behind a delimiter and a user-data SEI here).
    for (int codec : {H264, HEVC}) {
        demuxer->video_codec_id = codec;
        auto in = timed(cat(sei(codec), {0, 0, 0, 1, codec == H264 ? uint8_t(0x41) : uint8_t(0x02), 0x77}));
        EXPECT_EQ(process(in->pkt), 0);
        expect_packet(sent.back()->pkt, k_picture, in->pkt);
    }
    demuxer->video_codec_id = H264;
    auto in = timed(cat(cat(cat(aud, {0, 0, 0, 1, 6, 5, 1, 0x10, 0x80}), cat(pps, sei(H264))), {0, 0, 1, 0x41}));
    EXPECT_EQ(process(in->pkt), 0);
    expect_packet(sent.back()->pkt, cat({0, 0, 0, 1, 0x68, 0xCE}, k_picture), in->pkt);
    EXPECT_EQ(sent.size(), 10u);
    EXPECT_EQ(job.get_result_code(), RESULT_OK);
    const size_t count = sent.size();

    // A wrong key and an unknown codec stop the job.
    EXPECT_EQ(process(sei(H264, "another key")), -1);
    EXPECT_NE(printed.find("cannot final EVP_Decrypt"), std::string::npos) << printed;
    EXPECT_NE(printed.find("decrypt_sei_frame failed"), std::string::npos) << printed;
    EXPECT_EQ(job.get_result_code(), RESULT_KEY_INCORRECT);
    job.set_result_status(RESULT_OK);
    demuxer->video_codec_id = AV_CODEC_ID_MPEG4;
    EXPECT_EQ(process({0, 0, 0, 1, 0x65, 0x88}), -1);
    EXPECT_NE(printed.find("unknown codecId 12"), std::string::npos) << printed;
    EXPECT_EQ(job.get_result_code(), RESULT_STREAM_FORMAT_ERROR);
    EXPECT_EQ(sent.size(), count);
}

}  // namespace
