// End of input: the decoder and the encoder hand on every picture their codec still holds
// (reordering delay, frame threads) before the stage goes, and a conversion scaler kept
// between frames still follows changes of size.
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "decode/videoDecode.h"
#include "encode/videoEncode.h"
#include "interface/resultStatus.h"
#include "privacy/accessUnit.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

class DrainTest : public ::testing::Test {
protected:
    void TearDown() override { reset_result_status_for_testing(); }
};

struct collected {
    std::mutex mutex;
    std::vector<int64_t> pts;
    void add(int64_t value) {
        std::lock_guard<std::mutex> lock(mutex);
        pts.push_back(value);
    }
};

// Feeds every packet of the file to a decoder stage, destroys it, and returns the pts of
// the pictures it handed on; *expected gets the pts of the packets whose pictures must come
// out (every packet that holds no key picture).
std::vector<int64_t> decode_all(const std::string& path, std::set<int64_t>* expected) {
    std::vector<testsupport::video_packet> packets;
    int codec_id = 0;
    EXPECT_TRUE(testsupport::read_video_packets(path, &packets, &codec_id));
    collected out;
    auto decoder = std::make_unique<videoDecode>(codec_id);
    EXPECT_TRUE(decoder->is_init);
    decoder->set_callback(0, [&out](void* item) { out.add(static_cast<AVFrame*>(item)->pts); });
    for (const auto& p : packets) {
        if (!privacy::is_key_picture(p.data.data(), p.data.size(), codec_id)) expected->insert(p.pts);
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, static_cast<int>(p.data.size()));
        std::copy(p.data.begin(), p.data.end(), packet->data);
        packet->pts = p.pts;
        packet->dts = p.dts;
        decoder->push_data(packet);
        av_packet_free(&packet);
    }
    decoder.reset();
    return out.pts;
}

}  // namespace

TEST_F(DrainTest, DecoderWithReorderingDelayHandsOnEveryPictureAtTheEnd) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not available";
    const std::string dir = testsupport::scratch_dir("drain_decoder");
    // B-frames make the decoder hold pictures back for reordering; a short group puts
    // several IDR pictures (withheld) among them. Both codecs.
    const struct {
        const char* file;
        const char* codec;
        const char* args;
    } cases[] = {
        {"h264_b.mp4", "libx264", "-bf 3 -g 12 -x264-params scenecut=0"},
        {"hevc_b.mp4", "libx265", "-bf 3 -g 12 -x265-params scenecut=0:log-level=error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string path = dir + "/" + c.file;
        ASSERT_TRUE(testsupport::make_clip(path, c.codec, 96, 64, 40, 25, std::string(), c.args));
        std::set<int64_t> expected;
        const std::vector<int64_t> got = decode_all(path, &expected);
        EXPECT_EQ(get_result_code(), RESULT_OK);
        ASSERT_GT(expected.size(), 30u);
        const std::set<int64_t> got_set(got.begin(), got.end());
        EXPECT_EQ(got.size(), got_set.size()) << "a picture was handed on twice";
        EXPECT_EQ(got_set, expected) << "the pictures of packets without a key picture, the last ones included, and only those";
    }
}

TEST_F(DrainTest, EncoderHandsOnAPacketForEveryFrameAndAFailedRunDrainsNothing) {
    encode_params p;
    p.width = 64;
    p.height = 64;
    p.fps = 25;
    p.bit_rate = 8388608;
    p.profile = -99;
    p.field_order = AV_FIELD_PROGRESSIVE;
    for (const bool fail : {false, true}) {
        SCOPED_TRACE(fail ? "failed run" : "good run");
        collected out;
        auto encoder = std::make_unique<videoEncode>(AV_CODEC_ID_H264, &p);
        ASSERT_TRUE(encoder->is_init);
        encoder->set_callback(0, [&out](void* item) { out.add(static_cast<AVPacket*>(item)->pts); });
        // The software encoder takes 4:2:0: the 4:4:4 frames go through the cached scaler,
        // the 4:2:0 ones go in as they are.
        for (int i = 0; i < 20; ++i) {
            AVFrame* f = av_frame_alloc();
            f->format = i < 10 ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
            f->width = 64;
            f->height = 64;
            ASSERT_EQ(av_frame_get_buffer(f, 0), 0);
            for (int plane = 0; plane < 3; ++plane) {
                const int rows = plane && f->format == AV_PIX_FMT_YUV420P ? 32 : 64;
                for (int y = 0; y < rows; ++y) {
                    memset(f->data[plane] + y * f->linesize[plane], 16 + i * 5 + y, f->linesize[plane]);
                }
            }
            f->pkt_dts = 512 * i;
            encoder->push_data(f);
            av_frame_free(&f);
        }
        if (fail) set_result_status(RESULT_DECODER_ERROR);
        encoder.reset();
        if (!fail) {
            std::vector<int64_t> want;
            for (int i = 0; i < 20; ++i) want.push_back(512 * i);
            EXPECT_EQ(out.pts, want);
        } else {
            EXPECT_LT(out.pts.size(), 20u + 1);
        }
        reset_result_status_for_testing();
    }
}
