// The per-packet privacy step: naming a packet by its first NAL unit, removing a leading
// user-data SEI, and what demuxer_mosic_process forwards to the decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "demux/mediaDemuxer.h"
#include "interface/resultStatus.h"
#include "privacy/decryptMosic.h"
#include "privacy/privacyPacket.h"
#include "privacy/privacySeiWriter.h"

namespace {

using bytes = std::vector<uint8_t>;

const char* name_of(const bytes& b, int codec) {
    // An exact-size heap copy, so that a read past the end is a real overrun.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[b.size() ? b.size() : 1]);
    if (!b.empty()) std::memcpy(copy.get(), b.data(), b.size());
    return nal_type_name(copy.get(), static_cast<int>(b.size()), codec);
}

TEST(privacy_nal_names, h264_table_and_start_code_forms) {
    const int h264 = AV_CODEC_ID_H264;
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x41}, h264), "H264 P/B SLICE");
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x65}, h264), "H264 IDR SLICE (I-frame)");
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x06}, h264), "H264 SEI");
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x26}, h264), "H264 SEI");  // nal_ref_idc does not count
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x67}, h264), "H264 SPS");
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x68}, h264), "H264 PPS");
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x09}, h264), "H264 OTHER");
    EXPECT_STREQ(name_of({0, 0, 1, 0x65, 0x88}, h264), "H264 IDR SLICE (I-frame)");
    // No start code: byte 0 is the header.
    EXPECT_STREQ(name_of({0x67, 0x42}, h264), "H264 SPS");
    EXPECT_STREQ(name_of({0x41}, h264), "H264 P/B SLICE");
    // Only the first NAL unit counts.
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x67, 0, 0, 0, 1, 0x65}, h264), "H264 SPS");
}

TEST(privacy_nal_names, hevc_table) {
    const int hevc = AV_CODEC_ID_HEVC;
    auto name = [&](int type) { return name_of({0, 0, 0, 1, static_cast<uint8_t>(type << 1), 0x01}, hevc); };
    EXPECT_STREQ(name(1), "H265 TRAIL (P/B-frame)");
    EXPECT_STREQ(name(0), "H265 OTHER");
    EXPECT_STREQ(name(21), "H265 OTHER");  // CRA
    EXPECT_STREQ(name(19), "H265 IDR (I-frame)");
    EXPECT_STREQ(name(20), "H265 IDR (I-frame)");
    EXPECT_STREQ(name(32), "H265 VPS");
    EXPECT_STREQ(name(33), "H265 SPS");
    EXPECT_STREQ(name(34), "H265 PPS");
    EXPECT_STREQ(name(39), "H265 SEI PREFIX");
    EXPECT_STREQ(name(40), "H265 SEI SUFFIX");
    EXPECT_STREQ(name_of({0x81 /* forbidden bit + type 0 */}, hevc), "H265 OTHER");
}

TEST(privacy_nal_names, empty_unknown_and_short_packets) {
    EXPECT_STREQ(nal_type_name(nullptr, 0, AV_CODEC_ID_H264), "INVALID");
    EXPECT_STREQ(name_of({}, AV_CODEC_ID_MPEG4), "INVALID");
    EXPECT_STREQ(name_of({0, 0, 0, 1, 0x65}, AV_CODEC_ID_MPEG4), "UNKNOWN");
    // A start code with nothing behind it is never read past.
    EXPECT_STREQ(name_of({0, 0, 1}, AV_CODEC_ID_H264), "H264 OTHER");
    EXPECT_STREQ(name_of({0, 0, 0, 1}, AV_CODEC_ID_HEVC), "H265 OTHER");
    EXPECT_STREQ(name_of({0, 0, 0}, AV_CODEC_ID_H264), "H264 OTHER");
    EXPECT_STREQ(name_of({0, 0}, AV_CODEC_ID_HEVC), "H265 OTHER");
}

// A packet over a copy of the bytes, with distinct timing in every field that matters.
std::shared_ptr<avPacketDev> timed_packet(const bytes& b) {
    auto holder = std::make_shared<avPacketDev>(b.data(), static_cast<int32_t>(b.size()));
    AVPacket* p = holder->pkt;
    p->pts = 3600;
    p->dts = 3000;
    p->duration = 512;
    p->flags = AV_PKT_FLAG_KEY;
    p->stream_index = 2;
    p->time_base = AVRational{1, 12800};
    return holder;
}

void expect_same_timing(const AVPacket* a, const AVPacket* b) {
    EXPECT_EQ(a->pts, b->pts);
    EXPECT_EQ(a->dts, b->dts);
    EXPECT_EQ(a->duration, b->duration);
    EXPECT_EQ(a->flags, b->flags);
    EXPECT_EQ(a->stream_index, b->stream_index);
    EXPECT_EQ(av_cmp_q(a->time_base, b->time_base), 0);
}

bytes packet_bytes(const AVPacket* p) { return bytes(p->data, p->data + p->size); }

const bytes k_user_data_h264 = {0, 0, 0, 1, 0x06, 0x05, 0x10, 0xAA, 0xBB, 0xCC, 0x80};
const bytes k_user_data_hevc = {0, 0, 0, 1, 0x4E, 0x01, 0x05, 0x10, 0xAA, 0xBB, 0x80};

TEST(privacy_strip, leading_user_data_sei_is_cut) {
    for (const bytes& sei : {k_user_data_h264, k_user_data_hevc}) {
        const bytes rest = {0, 0, 0, 1, 0x06, 0x99, 0x30, 0x01, 0x02};
        bytes whole = sei;
        whole.insert(whole.end(), rest.begin(), rest.end());
        auto in = timed_packet(whole);
        std::shared_ptr<avPacketDev> holder;
        ASSERT_TRUE(strip_leading_sei(in->pkt, holder));
        ASSERT_TRUE(holder && holder->pkt);
        EXPECT_EQ(packet_bytes(holder->pkt), rest);
        expect_same_timing(holder->pkt, in->pkt);
        // The copy carries zeroed padding for the decoder.
        for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; ++i) ASSERT_EQ(holder->pkt->data[rest.size() + i], 0);
    }
}

TEST(privacy_strip, where_the_cut_falls) {
    auto strip = [](const bytes& b, bytes* rest) {
        auto in = timed_packet(b);
        auto keep = std::make_shared<avPacketDev>();
        std::shared_ptr<avPacketDev> holder = keep;
        const bool cut = strip_leading_sei(in->pkt, holder);
        if (cut) {
            *rest = packet_bytes(holder->pkt);
        } else {
            EXPECT_EQ(holder, keep);  // left alone
        }
        return cut;
    };
    bytes rest;
    // A 3-byte start code does not end the cut; a later 4-byte one does.
    bytes three = k_user_data_h264;
    three.insert(three.end(), {0, 0, 1, 0x06, 0x99, 0x20});
    EXPECT_FALSE(strip(three, &rest));
    three.insert(three.end(), {0, 0, 0, 1, 0x65, 0x88});
    EXPECT_TRUE(strip(three, &rest));
    EXPECT_EQ(rest, (bytes{0, 0, 0, 1, 0x65, 0x88}));
    // Zeros before the start code stay with the cut part.
    EXPECT_TRUE(strip({0, 0, 0, 1, 6, 5, 0, 0, 0, 0, 0, 1, 0x41}, &rest));
    EXPECT_EQ(rest, (bytes{0, 0, 0, 1, 0x41}));
    // The start code must have at least one byte behind it.
    EXPECT_FALSE(strip({0, 0, 0, 1, 6, 5, 0, 0, 0, 1}, &rest));
    EXPECT_TRUE(strip({0, 0, 0, 1, 6, 5, 0, 0, 0, 1, 0x41}, &rest));
    EXPECT_EQ(rest, (bytes{0, 0, 0, 1, 0x41}));
    // Too short, a 3-byte start code first, another SEI payload type, not an SEI.
    EXPECT_FALSE(strip({0, 0, 0, 1, 6, 5, 0, 0, 0}, &rest));
    EXPECT_FALSE(strip({0, 0, 1, 6, 5, 0xAA, 0, 0, 0, 1, 0x41}, &rest));
    EXPECT_FALSE(strip({0, 0, 0, 1, 6, 6, 0xAA, 0, 0, 0, 1, 0x41}, &rest));
    EXPECT_FALSE(strip({0, 0, 0, 1, 0x4E, 1, 4, 0, 0, 0, 1, 0x41}, &rest));
    EXPECT_FALSE(strip({0, 0, 0, 1, 0x65, 5, 0xAA, 0, 0, 0, 1, 0x41}, &rest));
    // The user-data pattern is accepted whatever the stream's codec: the HEVC one with
    // nothing but a start code behind it.
    EXPECT_FALSE(strip({0, 0, 0, 1, 0x4E, 1, 5, 0, 0, 0, 1}, &rest));
}

// A demuxer without input, set up by hand, whose callback slot 0 keeps what it is given.
class privacy_forwarding : public testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        demuxer.reset(new mediaDemuxer(nullptr, mediaDemuxer::k_type_privacy, "the key"));
        demuxer->video_codec_id = AV_CODEC_ID_H264;
        demuxer->set_callback(0, [this](void* item) {
            forwarded.push_back(std::make_shared<avPacketDev>(static_cast<AVPacket*>(item)));
        });
    }

    bytes privacy_sei(int codec, const bytes& picture, const std::string& key = "the key") {
        bytes nal;
        std::string error;
        privacy_sei_options options;
        options.version_text = "ver-test";
        options.encrypt_bytes = picture.size() / 2;
        EXPECT_TRUE(build_privacy_sei(codec, picture.data(), picture.size(), key, options, &nal, &error)) << error;
        return nal;
    }

    int process(const bytes& b) { return demuxer->demuxer_mosic_process(timed_packet(b)->pkt); }

    std::unique_ptr<mediaDemuxer> demuxer;
    std::vector<std::shared_ptr<avPacketDev>> forwarded;
};

const bytes k_picture = {0, 0, 0, 1, 0x41, 0x9A, 0x00, 0x00, 0x03, 0x01, 0x22, 0x00, 0x00, 0x00, 0x01, 0x41, 0x9B, 0x80};

TEST_F(privacy_forwarding, parameter_sets_and_idr_pass_other_slices_drop) {
    const bytes idr = {0, 0, 0, 1, 0x65, 0x88, 0x84};
    EXPECT_EQ(process(idr), 0);
    EXPECT_EQ(process({0, 0, 0, 1, 0x41, 0x9A}), 0);
    EXPECT_EQ(process({0, 0, 0, 1, 0x09, 0xF0}), 0);
    // An IDR group that begins with its SPS passes whole; the privacy SEI inside it is not
    // looked at.
    bytes group = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};
    const bytes sei = privacy_sei(AV_CODEC_ID_H264, k_picture);
    group.insert(group.end(), sei.begin(), sei.end());
    EXPECT_EQ(process(group), 0);
    EXPECT_EQ(process({0x68, 0xCE, 0x38}), 0);  // no start code: byte 0 is the header
    ASSERT_EQ(forwarded.size(), 3u);
    EXPECT_EQ(packet_bytes(forwarded[0]->pkt), idr);
    EXPECT_EQ(packet_bytes(forwarded[1]->pkt), group);
    EXPECT_EQ(forwarded[2]->pkt->size, 3);
    EXPECT_FALSE(demuxer->decryptor);
    EXPECT_EQ(get_result_code(), RESULT_OK);

    demuxer->video_codec_id = AV_CODEC_ID_HEVC;
    forwarded.clear();
    EXPECT_EQ(process({0, 0, 0, 1, 0x40, 0x01, 0x0C}), 0);  // VPS
    EXPECT_EQ(process({0, 0, 0, 1, 0x26, 0x01, 0xAF}), 0);  // IDR_W_RADL
    EXPECT_EQ(process({0, 0, 0, 1, 0x02, 0x01, 0xD0}), 0);  // TRAIL_R
    EXPECT_EQ(process({0, 0, 0, 1, 0x2A, 0x01, 0xD0}), 0);  // CRA
    EXPECT_EQ(forwarded.size(), 2u);
}

TEST_F(privacy_forwarding, privacy_sei_becomes_the_picture_with_its_timing) {
    for (int codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        forwarded.clear();
        demuxer->video_codec_id = codec;
        bytes packet = privacy_sei(codec, k_picture);
        packet.insert(packet.end(), {0, 0, 0, 1, 0x41, 0x77});  // the masked picture's slice
        auto in = timed_packet(packet);
        EXPECT_EQ(demuxer->demuxer_mosic_process(in->pkt), 0);
        ASSERT_EQ(forwarded.size(), 1u);
        EXPECT_EQ(packet_bytes(forwarded[0]->pkt), k_picture);
        expect_same_timing(forwarded[0]->pkt, in->pkt);
    }
    // One decryptor serves every privacy SEI.
    const decryptMosic* first = demuxer->decryptor.get();
    EXPECT_EQ(process(privacy_sei(AV_CODEC_ID_HEVC, k_picture)), 0);
    EXPECT_EQ(demuxer->decryptor.get(), first);
    EXPECT_EQ(forwarded.size(), 2u);
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(privacy_forwarding, stripped_packet_keeps_the_timing_of_its_source) {
    bytes packet = k_user_data_h264;
    const bytes sei = privacy_sei(AV_CODEC_ID_H264, k_picture);
    packet.insert(packet.end(), sei.begin(), sei.end());
    auto in = timed_packet(packet);
    std::shared_ptr<avPacketDev> side;
    ASSERT_TRUE(strip_leading_sei(in->pkt, side));
    EXPECT_EQ(demuxer->demuxer_mosic_process(side->pkt), 0);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(packet_bytes(forwarded[0]->pkt), k_picture);
    expect_same_timing(forwarded[0]->pkt, in->pkt);
    // Unstripped, the same packet is a user-data SEI: not a privacy SEI, dropped silently.
    EXPECT_EQ(demuxer->demuxer_mosic_process(in->pkt), -1);
    EXPECT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(privacy_forwarding, seis_that_are_not_privacy_seis_drop_silently) {
    demuxer->video_codec_id = AV_CODEC_ID_HEVC;
    // A prefix SEI with payload type 153 is not the suffix form.
    bytes prefix = privacy_sei(AV_CODEC_ID_HEVC, k_picture);
    prefix[4] = 0x4E;
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(process(prefix), -1);
    demuxer->video_codec_id = AV_CODEC_ID_H264;
    bytes ref_idc = privacy_sei(AV_CODEC_ID_H264, k_picture);
    ref_idc[4] = 0x26;
    EXPECT_EQ(process(ref_idc), -1);
    bytes three_byte = privacy_sei(AV_CODEC_ID_H264, k_picture);
    three_byte.erase(three_byte.begin());
    EXPECT_EQ(process(three_byte), -1);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(forwarded.empty());
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(privacy_forwarding, wrong_key_and_unknown_codec_stop_the_job) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(process(privacy_sei(AV_CODEC_ID_H264, k_picture, "another key")), -1);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("cannot final EVP_Decrypt"), std::string::npos) << out;
    EXPECT_NE(out.find("decrypt_sei_frame failed"), std::string::npos) << out;
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
    EXPECT_TRUE(forwarded.empty());

    reset_result_status_for_testing();
    demuxer->video_codec_id = AV_CODEC_ID_MPEG4;
    fflush(stdout);
    testing::internal::CaptureStdout();
    EXPECT_EQ(process({0, 0, 0, 1, 0x65, 0x88}), -1);
    fflush(stdout);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("unknown codecId 12"), std::string::npos) << out;
    EXPECT_EQ(get_result_code(), RESULT_STREAM_FORMAT_ERROR);
    EXPECT_TRUE(forwarded.empty());
}

}  // namespace
