// The decoder stage fed with real packets: tiny clips made by ffmpeg, read and put through
// the Annex B filter as the demuxer does, then rearranged NAL unit by NAL unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "decode/videoDecode.h"
#include "tests/support/process.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

using namespace std::chrono_literals;

namespace {

struct packet_deleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using packet_ptr = std::unique_ptr<AVPacket, packet_deleter>;
using bytes = std::vector<uint8_t>;

// The video packets of a clip in Annex B form, as the demuxer hands them on.
std::vector<bytes> read_annexb(const std::string& path, int* codec_id) {
    std::vector<bytes> out;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
    avformat_find_stream_info(fmt, nullptr);
    const int video = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    AVCodecParameters* par = fmt->streams[video]->codecpar;
    *codec_id = par->codec_id;
    AVBSFContext* bsf = nullptr;
    av_bsf_alloc(av_bsf_get_by_name(par->codec_id == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : "hevc_mp4toannexb"),
                 &bsf);
    avcodec_parameters_copy(bsf->par_in, par);
    av_bsf_init(bsf);
    packet_ptr pkt(av_packet_alloc());
    while (av_read_frame(fmt, pkt.get()) >= 0) {
        if (pkt->stream_index == video && av_bsf_send_packet(bsf, pkt.get()) >= 0) {
            while (av_bsf_receive_packet(bsf, pkt.get()) == 0) {
                out.emplace_back(pkt->data, pkt->data + pkt->size);
                av_packet_unref(pkt.get());
            }
        }
        av_packet_unref(pkt.get());
    }
    av_bsf_free(&bsf);
    avformat_close_input(&fmt);
    return out;
}

// The NAL units of an Annex B packet, each with its start code.
std::vector<bytes> split_nals(const bytes& data) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 <= data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i > 0 && data[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<bytes> nals;
    for (size_t k = 0; k < starts.size(); ++k) {
        const size_t end = k + 1 < starts.size() ? starts[k + 1] : data.size();
        nals.emplace_back(data.begin() + starts[k], data.begin() + end);
    }
    return nals;
}

int nal_type(const bytes& nal, int codec_id) {
    const size_t at = nal[2] == 1 ? 3 : 4;
    return codec_id == AV_CODEC_ID_H264 ? (nal[at] & 0x1F) : ((nal[at] >> 1) & 0x3F);
}

bytes join(const std::vector<bytes>& nals) {
    bytes out;
    for (const bytes& n : nals) out.insert(out.end(), n.begin(), n.end());
    return out;
}

// The NAL units of data from the first one of type first_type on.
bytes from_type(const bytes& data, int codec_id, int first_type) {
    std::vector<bytes> nals = split_nals(data);
    auto it = std::find_if(nals.begin(), nals.end(), [&](const bytes& n) { return nal_type(n, codec_id) == first_type; });
    return join(std::vector<bytes>(it, nals.end()));
}

packet_ptr make_packet(const bytes& data, int64_t pts) {
    packet_ptr p(av_packet_alloc());
    av_new_packet(p.get(), static_cast<int>(data.size()));
    std::copy(data.begin(), data.end(), p->data);
    p->pts = pts;
    p->dts = pts;
    return p;
}

// Collects the pictures the decoder hands on; written by its worker, read after it joined.
struct picture_sink {
    std::mutex mutex;
    std::vector<int64_t> pts;
    void operator()(void* item) {
        const AVFrame* frame = static_cast<AVFrame*>(item);
        std::lock_guard<std::mutex> lock(mutex);
        pts.push_back(frame->pts);
    }
};

// Sends packets (pts = their index) through a decoder whose slot 0 records what it hands on.
std::vector<int64_t> decode_all(int codec_id, const std::vector<bytes>& packets) {
    picture_sink sink;
    {
        videoDecode decoder(codec_id);
        EXPECT_TRUE(decoder.is_init);
        decoder.set_callback(0, std::ref(sink));
        for (size_t i = 0; i < packets.size(); ++i) {
            packet_ptr p = make_packet(packets[i], static_cast<int64_t>(i));
            decoder.push_data(p.get());
        }
    }
    std::sort(sink.pts.begin(), sink.pts.end());
    return sink.pts;
}

std::string capture(const std::function<void()>& body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string clip(const std::string& name, const std::string& codec, int frames, const std::string& extra) {
    const std::string path = testsupport::scratch_dir("decode_" + name) + "/clip.mp4";
    EXPECT_TRUE(testsupport::make_clip(path, codec, 64, 64, frames, 25, std::string(), extra));
    return path;
}

class DecodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        reset_result_status_for_testing();
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    }
    void TearDown() override { reset_result_status_for_testing(); }
};

}  // namespace

TEST_F(DecodeTest, BadCodecIdFailsWithStatusEightAndNoWorker) {
    std::string out = capture([] {
        auto decoder = std::make_unique<videoDecode>(AV_CODEC_ID_MPEG4);
        EXPECT_FALSE(decoder->is_init);
        EXPECT_FALSE(decoder->work_thread.joinable());
        EXPECT_EQ(get_result_code(), RESULT_DECODER_ERROR);

        // Calls on a decoder that is not set up refuse without touching the status.
        reset_result_status_for_testing();
        AVFrame* frame = av_frame_alloc();
        EXPECT_EQ(decoder->video_decode_send_data(nullptr), -1);
        EXPECT_EQ(decoder->video_decode_receive_data(frame), -1);
        av_frame_free(&frame);
        EXPECT_EQ(get_result_code(), RESULT_OK);

        const auto start = std::chrono::steady_clock::now();
        decoder.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 90ms);
    });
    EXPECT_NE(out.find("[ERR:"), std::string::npos) << out;
    EXPECT_NE(out.find("videoDecode::videoDecode() codecId error 12\033[0;39m ==func:videoDecode file:decode/"
                       "videoDecode.cpp"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("not init finish deccode\033[0;39m ==func:video_decode_send_data"), std::string::npos) << out;
    EXPECT_NE(out.find("not init finish deccode\033[0;39m ==func:video_decode_receive_data"), std::string::npos)
        << out;
    EXPECT_NE(out.find("videoDecode destruction succeed\033[0;39m ==func:~videoDecode"), std::string::npos) << out;
    EXPECT_EQ(out.find("videoDecode loop task end"), std::string::npos) << "no worker ran";
}

TEST_F(DecodeTest, NullPacketOnAnOpenDecoderStopsThePipelineWithStatusEight) {
    const std::string out = capture([] {
        videoDecode decoder(AV_CODEC_ID_HEVC);
        ASSERT_TRUE(decoder.is_init);
        EXPECT_EQ(decoder.video_decode_send_data(nullptr), -1);
        EXPECT_EQ(get_result_code(), RESULT_DECODER_ERROR);
    });
    EXPECT_NE(out.find("pDecPkt is null\033[0;39m ==func:video_decode_send_data"), std::string::npos) << out;
    EXPECT_NE(out.find("videoDecode loop task end\033[0;39m ==func:loop_task"), std::string::npos) << out;
}

TEST_F(DecodeTest, H264PicturesFromSpsAndIdrPacketsAreWithheld) {
    int codec_id = 0;
    const std::vector<bytes> stream = read_annexb(clip("h264_table", "libx264", 6, "-bf 0"), &codec_id);
    ASSERT_EQ(codec_id, AV_CODEC_ID_H264);
    ASSERT_EQ(stream.size(), 6u);
    // x264's first packet begins with its own SEI; the filter puts the parameter sets right
    // in front of the IDR slice.
    const bytes idr = from_type(stream[0], codec_id, 7);
    ASSERT_EQ(split_nals(idr).size(), 3u) << "SPS, PPS, IDR slice";
    // A user-data SEI of our own, to make a packet that begins with an SEI.
    const bytes sei = {0, 0, 0, 1, 6, 5, 17, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                       0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x00, 0x42, 0x80};
    bytes sei_idr = sei;
    const bytes idr_only = from_type(idr, codec_id, 5);
    sei_idr.insert(sei_idr.end(), idr_only.begin(), idr_only.end());

    const std::vector<bytes> packets = {
        idr,                        // 0: begins with SPS      -> withheld
        from_type(idr, codec_id, 8),  // 1: begins with PPS      -> handed on
        sei_idr,                    // 2: begins with SEI      -> handed on
        idr_only,                   // 3: begins with IDR      -> withheld
        stream[1],                  // 4: P slice              -> handed on
        stream[2],                  // 5: P slice              -> handed on
    };
    ASSERT_EQ(nal_type(split_nals(packets[4])[0], codec_id), 1);
    EXPECT_EQ(decode_all(codec_id, packets), (std::vector<int64_t>{1, 2, 4, 5}));
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(DecodeTest, HevcPicturesFromVpsAndIdrPacketsAreWithheld) {
    int codec_id = 0;
    const std::vector<bytes> stream =
        read_annexb(clip("hevc_table", "libx265", 5, "-x265-params bframes=0:log-level=error"), &codec_id);
    ASSERT_EQ(codec_id, AV_CODEC_ID_HEVC);
    ASSERT_EQ(stream.size(), 5u);
    ASSERT_EQ(nal_type(split_nals(stream[0])[0], codec_id), 32);
    ASSERT_EQ(nal_type(split_nals(stream[1])[0], codec_id), 1);

    const std::vector<bytes> packets = {
        stream[0],                      // 0: begins with VPS -> withheld
        from_type(stream[0], codec_id, 34),  // 1: begins with PPS -> handed on
        from_type(stream[0], codec_id, 19),  // 2: begins with IDR -> withheld
        stream[1],                      // 3: TRAIL          -> handed on
        stream[2],                      // 4: TRAIL          -> handed on
    };
    EXPECT_EQ(decode_all(codec_id, packets), (std::vector<int64_t>{1, 3, 4}));
    EXPECT_EQ(get_result_code(), RESULT_OK);
}

TEST_F(DecodeTest, ReorderedStreamKeepsEveryIdrPictureOut) {
    // B-frames make the decoder hold pictures back: an IDR picture comes out only after a
    // later packet has been sent, and must still be judged by its own packet.
    int codec_id = 0;
    const std::vector<bytes> stream = read_annexb(clip("reorder", "libx264", 40, "-bf 2 -g 8"), &codec_id);
    ASSERT_EQ(stream.size(), 40u);
    std::set<int64_t> withheld;
    for (size_t i = 0; i < stream.size(); ++i) {
        if (videoDecode::is_withheld_label(nal_type_name(stream[i].data(), static_cast<int>(stream[i].size()),
                                                         codec_id))) {
            withheld.insert(static_cast<int64_t>(i));
        }
    }
    ASSERT_GE(withheld.size(), 4u) << "several IDR pictures, one every 8 frames";

    // Packets carry their decode index as pts; map it back to the packet each picture came from.
    const std::vector<int64_t> handed_on = decode_all(codec_id, stream);
    for (int64_t pts : handed_on) EXPECT_EQ(withheld.count(pts), 0u) << "IDR picture of packet " << pts << " leaked";
    // Every other picture comes out, except the few the decoder still holds at the end
    // (it is never drained).
    const size_t others = stream.size() - withheld.size();
    EXPECT_LE(handed_on.size(), others);
    EXPECT_GE(handed_on.size() + 2, others);
    EXPECT_EQ(std::set<int64_t>(handed_on.begin(), handed_on.end()).size(), handed_on.size());
}

TEST_F(DecodeTest, CorruptPacketCostsOnlyItself) {
    int codec_id = 0;
    const std::vector<bytes> stream =
        read_annexb(clip("corrupt", "libx265", 6, "-x265-params bframes=0:log-level=error"), &codec_id);
    ASSERT_EQ(stream.size(), 6u);
    // A slice whose header names a parameter set that does not exist.
    bytes corrupt = stream[2];
    const std::vector<bytes> nals = split_nals(corrupt);
    bytes slice = nals.back();
    const size_t header = slice[2] == 1 ? 3 : 4;
    slice[header + 2] = 0x3F;  // first_slice_segment_in_pic_flag=0, ... pps id far out of range
    std::fill(slice.begin() + header + 3, slice.end(), 0xFF);
    std::vector<bytes> packets = {stream[0], stream[1], slice, stream[3], stream[4], stream[5]};

    std::vector<int64_t> handed_on;
    const std::string out = capture([&] { handed_on = decode_all(codec_id, packets); });
    EXPECT_TRUE(out.find("Error sending packet to decoder\033[0;39m ==func:loop_task") != std::string::npos ||
                out.find("Error during decoding\033[0;39m ==func:loop_task") != std::string::npos)
        << out;
    EXPECT_NE(out.find("[WRN:"), std::string::npos);
    EXPECT_EQ(handed_on, (std::vector<int64_t>{1, 3, 4, 5}));
    EXPECT_EQ(get_result_code(), RESULT_OK) << "a bad packet does not stop the job";
}

TEST_F(DecodeTest, PicturesAreDroppedQuietlyWithNoSlotFilledAndReachEveryFilledSlot) {
    int codec_id = 0;
    std::vector<bytes> stream = read_annexb(clip("slots", "libx264", 4, "-bf 0"), &codec_id);
    ASSERT_EQ(stream.size(), 4u);
    stream[0] = from_type(stream[0], codec_id, 7);
    {
        videoDecode decoder(codec_id);
        for (size_t i = 0; i < stream.size(); ++i) decoder.push_data(make_packet(stream[i], i).get());
    }
    EXPECT_EQ(get_result_code(), RESULT_OK);

    picture_sink first, last;
    {
        videoDecode decoder(codec_id);
        decoder.set_callback(0, std::ref(first));
        decoder.set_callback(9, std::ref(last));
        for (size_t i = 0; i < stream.size(); ++i) decoder.push_data(make_packet(stream[i], i).get());
    }
    EXPECT_EQ(first.pts, (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(last.pts, first.pts);
}

TEST_F(DecodeTest, FullQueueReleasesItsProducerOnceTheJobHasFailed) {
    int codec_id = 0;
    const std::vector<bytes> stream = read_annexb(clip("full", "libx264", 2, "-bf 0"), &codec_id);
    ASSERT_FALSE(stream.empty());
    videoDecode decoder(codec_id);
    // Another stage fails: the worker stops taking packets, so the queue fills up for good.
    set_result_status(RESULT_ENCODER_ERROR);
    auto producer = std::async(std::launch::async, [&] {
        for (int i = 0; i < 8; ++i) decoder.push_data(make_packet(stream[0], i).get());
    });
    EXPECT_EQ(producer.wait_for(3s), std::future_status::ready) << "the demux loop would hang here";
    // Unblock a stuck producer so that a failure does not hang the test as well.
    AVPacket* sink = av_packet_alloc();
    while (producer.wait_for(10ms) != std::future_status::ready) {
        if (decoder.pop_data(sink)) av_packet_unref(sink);
    }
    av_packet_free(&sink);
}
