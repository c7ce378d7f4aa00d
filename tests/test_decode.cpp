// The decoder stage fed with real packets: tiny clips made by ffmpeg, read through the Annex B
// filter as the demuxer does, then rearranged NAL unit by NAL unit. Pictures are judged by the
// label of the packet they were decoded from, even when the decoder holds them back, and the
// pictures it still holds at the end of input are handed on before the stage goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <tuple>

#include "privacy/accessUnit.h"
#include "decode/videoDecode.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

using bytes = std::vector<uint8_t>;

std::vector<bytes> read_annexb(const std::string& name, const std::string& codec, int frames, const std::string& extra) {
    const std::string path = testsupport::scratch_dir("decode_" + name) + "/clip.mp4";
    EXPECT_TRUE(testsupport::make_clip(path, codec, 64, 64, frames, 25, std::string(), extra));
    std::vector<testsupport::video_packet> packets;
    EXPECT_TRUE(testsupport::read_video_packets(path, &packets));
    std::vector<bytes> out;
    for (const auto& p : packets) out.push_back(p.data);
    return out;
}

// The bytes of data from its first NAL unit of the given type on (start code included).
bytes from_type(const bytes& data, int codec_id, int type) {
    for (size_t i = 0; i + 3 < data.size(); ++i) {
        if (data[i] || data[i + 1] || data[i + 2] != 1) continue;
        const int t = codec_id == AV_CODEC_ID_H264 ? data[i + 3] & 0x1F : (data[i + 3] >> 1) & 0x3F;
        if (t == type) return bytes(data.begin() + (i > 0 && !data[i - 1] ? i - 1 : i), data.end());
    }
    return {};
}

// Sends packets (pts = their index) through a decoder; the sorted pts of what it hands on.
// Nothing may fail on the way.
std::vector<int64_t> decode_all(int codec_id, const std::vector<bytes>& packets) {
    std::mutex mutex;
    std::vector<int64_t> pts;
    job_context job;
    {
        videoDecode decoder(job, codec_id);
        EXPECT_TRUE(decoder.is_init);
        decoder.set_callback(0, [&](void* item) {
            std::lock_guard<std::mutex> lock(mutex);
            pts.push_back(static_cast<AVFrame*>(item)->pts);
        });
        AVPacket* p = av_packet_alloc();
        for (size_t i = 0; i < packets.size(); ++i) {
            av_new_packet(p, static_cast<int>(packets[i].size()));
            std::copy(packets[i].begin(), packets[i].end(), p->data);
            p->pts = p->dts = static_cast<int64_t>(i);
            decoder.push_data(p);
            av_packet_unref(p);
        }
        av_packet_free(&p);
    }
    EXPECT_EQ(job.get_result_code(), RESULT_OK);
    std::sort(pts.begin(), pts.end());
    return pts;
}

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    }
};

}  // namespace

TEST_F(DecodeTest, PicturesOfParameterSetAndIdrPacketsAreWithheld) {
    // H.264: x264's first packet begins with its own SEI; the filter puts SPS and PPS in front
    // of the IDR slice. A user-data SEI of our own makes a packet that begins with an SEI.
    std::vector<bytes> s = read_annexb("h264", "libx264", 6, "-bf 0");
    ASSERT_EQ(s.size(), 6u);
    const bytes idr = from_type(s[0], AV_CODEC_ID_H264, 7), idr_only = from_type(idr, AV_CODEC_ID_H264, 5);
    bytes sei_idr = {0, 0, 0, 1, 6, 5, 17, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                     0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 0x42, 0x80};
    sei_idr.insert(sei_idr.end(), idr_only.begin(), idr_only.end());
    // A key picture is withheld whatever stands before its slice (SPS, PPS, SEI or nothing);
    // P slices are handed on.
    EXPECT_EQ(decode_all(AV_CODEC_ID_H264, {idr, from_type(idr, AV_CODEC_ID_H264, 8), sei_idr, idr_only, s[1], s[2]}),
              (std::vector<int64_t>{4, 5}));

    // HEVC: VPS, PPS or IDR first: withheld; TRAIL: handed on.
    s = read_annexb("hevc", "libx265", 5, "-x265-params bframes=0:log-level=error");
    ASSERT_EQ(s.size(), 5u);
    EXPECT_EQ(decode_all(AV_CODEC_ID_HEVC, {s[0], from_type(s[0], AV_CODEC_ID_HEVC, 34),
                                            from_type(s[0], AV_CODEC_ID_HEVC, 19), s[1], s[2]}),
              (std::vector<int64_t>{3, 4}));
}

TEST_F(DecodeTest, WithReorderingDelayEveryOtherPictureComesOutOnceAndIdrPicturesNever) {
    // B-frames make the decoder hold pictures back; a short group puts several IDR pictures
    // (withheld) among them; the last pictures come out only when the stage drains its codec.
    const std::tuple<const char*, const char*, int, const char*> cases[] = {
        {"h264_b", "libx264", AV_CODEC_ID_H264, "-bf 3 -g 12 -x264-params scenecut=0"},
        {"hevc_b", "libx265", AV_CODEC_ID_HEVC, "-bf 3 -g 12 -x265-params scenecut=0:log-level=error"}};
    for (const auto& [name, codec, codec_id, args] : cases) {
        SCOPED_TRACE(name);
        const std::vector<bytes> stream = read_annexb(name, codec, 40, args);
        ASSERT_EQ(stream.size(), 40u);
        std::vector<int64_t> expected;
        for (size_t i = 0; i < stream.size(); ++i)
            if (!privacy::is_key_picture(stream[i].data(), stream[i].size(), codec_id))
                expected.push_back(static_cast<int64_t>(i));
        ASSERT_LE(expected.size(), 37u) << "several IDR pictures, one every 12 frames";
        EXPECT_EQ(decode_all(codec_id, stream), expected);
    }
}
