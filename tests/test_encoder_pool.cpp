// The chunk scheduler without a codec: where chunks begin, packets in picture order whichever
// encoder finishes first, a failing encoder (code 9, no hang), the bound on pictures held, the
// bit rate the chunks share, the progress count, and the plan for a machine. The encoders are fakes that give each
// picture back as a packet carrying its pts, one picture late (so every chunk needs its drain),
// sized by the rate they were asked for.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "encode/encoderPool.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

using namespace std::chrono_literals;

namespace {

constexpr double k_picture_bits = 8000;  // the target: 1000 bytes per picture

std::atomic<int> g_frames_alive{0};

// A picture whose buffer counts itself while any reference to it lives.
ff::frame_ptr make_picture(int64_t pts) {
    ff::frame_ptr frame(av_frame_alloc());
    static uint8_t pixel = 0;
    frame->buf[0] = av_buffer_create(&pixel, 1, [](void*, uint8_t*) { --g_frames_alive; }, nullptr, 0);
    frame->data[0] = &pixel;
    frame->pts = pts;
    ++g_frames_alive;
    return frame;
}

struct fake_options {
    std::chrono::milliseconds first_chunk_delay{0};  // per picture, for the first chunk's encoder
    std::chrono::milliseconds delay{0};              // per picture, for the others
    double overshoot = 1.0;  // bytes given per byte asked
    int fail_open = -1;      // this chunk's encoder does not open
    int fail_encode = -1;    // this picture (pts) makes its encoder fail
};

// What the fakes and the pool's output saw.
struct record {
    std::mutex mutex;
    std::vector<int64_t> handed_on;   // pts in the order handed on
    std::vector<int64_t> key;         // pts of the first packet of each encoder
    std::vector<double> rate_scales;  // asked of each encoder, in opening order
    int opened = 0;
};

class fakeEncoder : public chunkEncoder {
public:
    fakeEncoder(const fake_options& o, int index, double scale)
        : o_(o), delay_(index == 0 ? o.first_chunk_delay : o.delay), bytes_(scale * o.overshoot * 1000) {}
    bool encode(AVFrame* frame, const sink& out) override {
        std::this_thread::sleep_for(delay_);
        if (frame != nullptr && frame->pts == o_.fail_encode) return false;
        if (held_ != AV_NOPTS_VALUE) emit(held_, out);
        held_ = frame != nullptr ? frame->pts : AV_NOPTS_VALUE;
        return true;
    }

private:
    void emit(int64_t pts, const sink& out) {
        ff::packet_ptr p(av_packet_alloc());
        av_new_packet(p.get(), static_cast<int>(bytes_));
        p->pts = pts;
        p->flags = first_ ? AV_PKT_FLAG_KEY : 0;
        first_ = false;
        out(p.get());
    }
    const fake_options o_;
    const std::chrono::milliseconds delay_;
    const double bytes_;
    int64_t held_ = AV_NOPTS_VALUE;
    bool first_ = true;
};

struct run_result {
    std::vector<int64_t> handed_on, key;
    std::vector<double> rate_scales;
    bool added = true, finished = false;
    int max_alive = 0;
};

// Feeds pictures 0..count-1 (group starts at the given pts) through a pool.
run_result run_pool(job_context& job, const chunk_plan& plan, int count, const std::vector<int64_t>& group_starts,
                    const fake_options& options = {}) {
    record r;
    run_result result;
    {
        encoderPool pool(
            job, plan, k_picture_bits,
            [&](double scale) -> std::unique_ptr<chunkEncoder> {
                std::lock_guard<std::mutex> lock(r.mutex);
                const int index = r.opened++;
                r.rate_scales.push_back(scale);
                if (index == options.fail_open) return nullptr;
                return std::make_unique<fakeEncoder>(options, index, scale);
            },
            [&](AVPacket* p) {
                std::lock_guard<std::mutex> lock(r.mutex);
                r.handed_on.push_back(p->pts);
                if (p->flags & AV_PKT_FLAG_KEY) r.key.push_back(p->pts);
            });
        for (int i = 0; i < count && result.added; ++i) {
            auto picture = make_picture(i);
            result.added = pool.add(picture.get(), std::count(group_starts.begin(), group_starts.end(), i) > 0);
            picture.reset();
            result.max_alive = std::max(result.max_alive, g_frames_alive.load());
        }
        result.finished = result.added && pool.finish();
    }
    std::lock_guard<std::mutex> lock(r.mutex);
    result.handed_on = r.handed_on;
    result.key = r.key;
    result.rate_scales = r.rate_scales;
    return result;
}

std::vector<int64_t> upto(int count) {
    std::vector<int64_t> v(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) v[static_cast<size_t>(i)] = i;
    return v;
}

class Pool : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(g_frames_alive.load(), 0) << "a picture outlived the pool"; }
};

}  // namespace

TEST_F(Pool, ChunksBeginAtGroupStartsAndAfterTheBoundAndEveryPictureLeavesInOrder) {
    const struct {
        const char* name;
        int count, bound;
        std::vector<int64_t> group_starts, chunk_starts;
    } rows[] = {
        {"groups of one picture", 5, 10, {0, 1, 2}, {0, 1, 2}},
        {"a group longer than the bound, a last chunk of one", 7, 3, {0}, {0, 3, 6}},
        {"a group start inside a bounded run; the next, longer than guessed", 9, 3, {0, 4}, {0, 3, 4, 6}},
        {"a long group cut in equal chunks by the length of the one before", 14, 3, {0, 7}, {0, 3, 6, 7, 10, 12}},
        {"no group start at the first picture", 4, 10, {2}, {0, 2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (int instances : {2, 3}) {
            job_context job;
            const auto r = run_pool(job, {instances, 1, row.bound, 4}, row.count, row.group_starts);
            EXPECT_TRUE(r.finished);
            EXPECT_EQ(r.handed_on, upto(row.count));
            EXPECT_EQ(r.key, row.chunk_starts);
            EXPECT_EQ(job.progress.pictures_written(), row.count);
        }
    }
}

TEST_F(Pool, PacketsOfChunksThatFinishFirstWaitForTheChunksBefore) {
    fake_options slow_first;
    slow_first.first_chunk_delay = 20ms;  // the first chunk is still encoding when the others are done
    job_context job;
    const auto r = run_pool(job, {3, 1, 2, 8}, 10, {0}, slow_first);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.handed_on, upto(10));
    EXPECT_EQ(r.key, (std::vector<int64_t>{0, 2, 4, 6, 8}));
}

TEST_F(Pool, AFailingEncoderFailsTheRunWithCode9AndNothingAfterItsPlaceLeaves) {
    const struct {
        const char* name;
        fake_options options;
        int64_t first_lost;  // no picture from here on may be handed on
    } rows[] = {
        {"an encoder that does not open", {0ms, 0ms, 1.0, 2, -1}, 4},
        {"an encoder that fails on a picture", {0ms, 0ms, 1.0, -1, 5}, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        job_context job;
        const auto r = run_pool(job, {2, 1, 2, 4}, 40, {0}, row.options);
        EXPECT_FALSE(r.finished);
        EXPECT_EQ(job.get_result_code(), RESULT_ENCODER_ERROR);
        ASSERT_LE(r.handed_on.size(), static_cast<size_t>(row.first_lost));
        EXPECT_EQ(r.handed_on, upto(static_cast<int>(r.handed_on.size())));
    }
    // A failure elsewhere stops the pool too, and its code stays the run's.
    job_context job;
    fake_options slow;
    slow.delay = slow.first_chunk_delay = 5ms;
    std::thread other([&job] {
        std::this_thread::sleep_for(30ms);
        job.set_result_status(RESULT_MUXER_ERROR);
    });
    const auto r = run_pool(job, {2, 1, 4, 4}, 200, {0}, slow);
    other.join();
    EXPECT_FALSE(r.finished);
    EXPECT_EQ(job.get_result_code(), RESULT_MUXER_ERROR);
    EXPECT_LT(r.handed_on.size(), 200u);
}

TEST_F(Pool, PicturesWaitingForAnEncoderStayWithinTheBound) {
    fake_options slow;
    slow.delay = slow.first_chunk_delay = 2ms;
    const chunk_plan plan{2, 1, 6, 5};
    job_context job;
    const auto r = run_pool(job, plan, 60, {0}, slow);
    EXPECT_TRUE(r.finished);
    // Waiting for an encoder, plus the one in each encoder's hand.
    EXPECT_LE(r.max_alive, plan.held_pictures + plan.instances);
}

TEST_F(Pool, LaterChunksMakeUpForWhatTheFinishedOnesOvershotWithinBounds) {
    // Encoders that give 1.25 times what they are asked for: the first two chunks (the two
    // encoders start together), asked for the target, overspend; the later ones are asked for
    // less, so that the stream as a whole comes close to the target (without making up for
    // it: 1.05). Never more than the target is asked, never less than half.
    const struct {
        double overshoot, low_scale, high_scale, low_total, high_total;
    } rows[] = {{1.25, 0.7, 0.8, 0.99, 1.025}, {0.8, 1.0, 1.0, 0.79, 0.81}, {4.0, 0.5, 0.5, 2.39, 2.41}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.overshoot);
        fake_options options;
        options.overshoot = row.overshoot;
        options.first_chunk_delay = 20ms;  // so that every later chunk opens after the first is done
        // One encoder at a time: each chunk opens after the one before it is drained.
        job_context job;
        const auto r = run_pool(job, {2, 1, 4, 1}, 40, {0}, options);
        ASSERT_EQ(r.rate_scales.size(), 10u);
        EXPECT_EQ(r.rate_scales[0], 1.0);
        double asked = 0;
        for (size_t i = 0; i < r.rate_scales.size(); ++i) {
            asked += r.rate_scales[i];
            if (i < 2) continue;
            EXPECT_GE(r.rate_scales[i], row.low_scale - 1e-9) << i;
            EXPECT_LE(r.rate_scales[i], row.high_scale + 1e-9) << i;
        }
        // The fakes give overshoot × scale × the target for every picture.
        const double total = row.overshoot * asked / static_cast<double>(r.rate_scales.size());
        EXPECT_GE(total, row.low_total);
        EXPECT_LE(total, row.high_total);
    }
}

TEST(ChunkPlan, OneEncoderWhereCoresOrMemoryDoNotAllowMoreAndAllCoresBusyOtherwise) {
    constexpr int64_t p360 = 640 * 360 * 3 / 2, p720 = 1280 * 720 * 3 / 2, p2160 = 3840 * 2160 * 3 / 2;
    const struct {
        int cores, codec;
        int64_t picture;
        bool chunks;
    } rows[] = {
        {1, AV_CODEC_ID_H264, p360, false},   // one core: one encoder, as ever
        {2, AV_CODEC_ID_HEVC, p2160, false},  // a second 4K encoder outweighs half a run
        {2, AV_CODEC_ID_H264, p720, true},   {2, AV_CODEC_ID_HEVC, p360, true},
        {6, AV_CODEC_ID_H264, p360, true},   {16, AV_CODEC_ID_H264, p360, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.cores) + " cores, " + std::to_string(row.picture) + " bytes");
        const chunk_plan plan = plan_chunks(row.cores, row.codec, row.picture);
        EXPECT_EQ(plan.instances > 1, row.chunks);
        if (!row.chunks) continue;
        EXPECT_LE(plan.instances, row.cores);
        EXPECT_GE(plan.instances * plan.threads, row.cores);
        EXPECT_LT((plan.instances - 1) * plan.threads, row.cores);
        EXPECT_GE(plan.held_pictures, plan.chunk_pictures / 2 * (plan.instances - 1));
        EXPECT_GE(plan.chunk_pictures, 8);
        EXPECT_LE(plan.chunk_pictures, 250);
    }
    EXPECT_GE(usable_cores(), 1);
}
