// End of input: the decoder hands on every picture its codec still holds (reordering delay,
// frame threads) before the stage goes. (The encoder's drain is proved in test_encode.)
#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "decode/videoDecode.h"
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
