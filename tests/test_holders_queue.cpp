// Packet/frame holders and the stage base: queue bound, order, drain and discard rules. The
// suite runs with MALLOC_PERTURB_ set, so padding that is not zeroed shows up as dirty bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

#include "common/common.h"

using namespace std::chrono_literals;

namespace {

AVPacket* make_packet(int64_t pts, int size = 16) {
    AVPacket* p = av_packet_alloc();
    av_new_packet(p, size);
    p->pts = pts;
    p->dts = pts;
    return p;
}

// What a probe stage's worker saw; outlives the stage so tests can read it after destruction.
struct probe_record {
    std::mutex mutex;
    std::vector<int64_t> pts;
    std::vector<int64_t> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return pts;
    }
};

// A minimal threaded stage: its worker records the pts of each packet, and can be held
// inside the processing step to keep items waiting in the queue.
class probe_stage : public common {
public:
    probe_stage(job_context& job, bool start, std::shared_ptr<probe_record> record = std::make_shared<probe_record>())
        : common(job), record(std::move(record)) {
        if (!start) return;
        running = true;
        is_init = true;
        start_worker([this] { loop_task(); });
    }
    ~probe_stage() override {
        stop_worker([this] { return queue.empty(); });
        queue.clear();
    }
    bool push_data(void* item) override { return push_bounded(queue, static_cast<AVPacket*>(item)); }
    bool pop_data(void* item) override { return pop_packet(queue, static_cast<AVPacket*>(item)); }

    size_t queued() {
        std::lock_guard<std::mutex> lock(queue_mutex);
        return queue.size();
    }
    void push_pts(int64_t pts) {
        AVPacket* p = make_packet(pts);
        push_data(p);
        av_packet_free(&p);
    }

    std::list<std::shared_ptr<avPacketDev>> queue;
    std::shared_ptr<probe_record> record;
    std::atomic<bool> hold{false};
    std::atomic<int> in_process{0};

private:
    void loop_task() {
        auto working = std::make_shared<avPacketDev>();
        worker_loop([&] { return pop_data(working->pkt); },
                    [&] {
                        ++in_process;
                        while (hold) std::this_thread::sleep_for(1ms);
                        std::lock_guard<std::mutex> lock(record->mutex);
                        record->pts.push_back(working->pkt->pts);
                    },
                    [&] { av_packet_unref(working->pkt); });
    }
};

void wait_until(const std::function<bool()>& condition) {
    for (int i = 0; i < 2000 && !condition(); ++i) std::this_thread::sleep_for(1ms);
}

class QueueTest : public ::testing::Test {
protected:
    job_context job;
};

}  // namespace

TEST(Holders, ReferenceCopiesShareThePayloadAndFailedOnesAreNullAndSafeToDrop) {
    AVPacket* src = make_packet(42);
    avPacketDev copy(src);
    ASSERT_NE(copy.pkt, nullptr);
    EXPECT_EQ(std::make_tuple(copy.pkt->data, copy.pkt->pts, copy.data), std::make_tuple(src->data, int64_t{42}, nullptr));
    av_packet_free(&src);
    EXPECT_EQ(copy.pkt->size, 16);  // the copy keeps the payload alive on its own
    EXPECT_EQ(avPacketDev(static_cast<const AVPacket*>(nullptr)).pkt, nullptr);
    EXPECT_EQ(avFrameDev(static_cast<const AVFrame*>(nullptr)).frame, nullptr);
    EXPECT_EQ(avPacketDev(reinterpret_cast<const uint8_t*>("x"), -1).pkt, nullptr);
}

TEST(Holders, ByteCopyIsPaddedWithZerosAndCarriesNoTiming) {
    // Sizes around the allocator's size classes, so the padding lands on reused memory.
    for (int size : {0, 8, 23, 57, 200, 4095}) {
        std::vector<uint8_t> bytes(static_cast<size_t>(size) + 1);
        for (int i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
        avPacketDev copy(bytes.data(), size);
        ASSERT_NE(copy.pkt, nullptr);
        ASSERT_EQ(copy.pkt->size, size);
        EXPECT_EQ(copy.pkt->data, copy.data);
        EXPECT_TRUE(size == 0 || std::memcmp(copy.pkt->data, bytes.data(), size) == 0);
        for (int i = 0; i < AV_INPUT_BUFFER_PADDING_SIZE; ++i) ASSERT_EQ(copy.pkt->data[size + i], 0) << size << " " << i;
        EXPECT_EQ(std::make_tuple(copy.pkt->pts, copy.pkt->dts, copy.pkt->flags), std::make_tuple(AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0));
        // The bytes outlive the holder in any packet that references them.
        ASSERT_NE(copy.pkt->buf, nullptr);
        EXPECT_EQ(copy.pkt->buf->data, copy.pkt->data);
    }
}

TEST_F(QueueTest, PopFailsOnAnEmptyQueueAfterAWaitAndTakesAnEmptyHolderOut) {
    probe_stage stage(job, false);
    AVPacket* dst = av_packet_alloc();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(stage.pop_data(dst));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5ms);
    EXPECT_EQ(std::make_pair(dst->data, dst->size), std::make_pair(static_cast<uint8_t*>(nullptr), 0));
    stage.queue.push_back(std::make_shared<avPacketDev>(static_cast<const AVPacket*>(nullptr)));
    EXPECT_FALSE(stage.pop_data(dst));
    EXPECT_TRUE(stage.queue.empty());
    av_packet_free(&dst);
}

TEST_F(QueueTest, BoundOfSixHoldsTheProducerUntilTheWorkerTakesOne) {
    probe_stage stage(job, true);
    stage.hold = true;
    stage.push_pts(0);
    wait_until([&] { return stage.in_process == 1; });  // the worker holds item 0
    for (int i = 1; i <= 6; ++i) stage.push_pts(i);
    EXPECT_EQ(stage.queued(), 6u);
    auto blocked = std::async(std::launch::async, [&] { stage.push_pts(7); });
    EXPECT_EQ(blocked.wait_for(150ms), std::future_status::timeout) << "a seventh waiting item must hold the producer";
    EXPECT_EQ(stage.queued(), 6u);
    stage.hold = false;
    EXPECT_EQ(blocked.wait_for(2s), std::future_status::ready);
    wait_until([&] { return stage.record->seen().size() == 8; });
    EXPECT_EQ(stage.record->seen(), (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7})) << "items leave in the order they came";
}

TEST_F(QueueTest, DestroyingDrainsTheQueueOnlyWhileTheResultIsZero) {
    // Four items, the worker holding the first. Result 0: the destructor waits for the queue
    // to drain. A failure: the item in hand finishes, the queued ones are dropped at once.
    for (const bool failed : {false, true}) {
        SCOPED_TRACE(failed ? "failed run" : "good run");
        job_context run;
        auto record = std::make_shared<probe_record>();
        auto stage = std::make_unique<probe_stage>(run, true, record);
        stage->hold = true;
        for (int i = 0; i < 4; ++i) stage->push_pts(i);
        wait_until([&] { return stage->in_process == 1; });
        EXPECT_EQ(stage->queued(), 3u);
        if (failed) run.set_result_status(RESULT_DECODER_ERROR);
        std::thread release([raw = stage.get(), failed] {
            if (!failed) std::this_thread::sleep_for(120ms);
            raw->hold = false;
        });
        const auto start = std::chrono::steady_clock::now();
        stage.reset();
        release.join();
        if (failed) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        }
        EXPECT_EQ(record->seen(), (failed ? std::vector<int64_t>{0} : std::vector<int64_t>{0, 1, 2, 3}));
    }
    // A stage whose set-up failed goes without the drain wait (it polls every 100 ms).
    auto stage = std::make_unique<probe_stage>(job, false);
    for (int i = 0; i < 3; ++i) stage->push_pts(i);
    const auto start = std::chrono::steady_clock::now();
    stage.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 90ms);
}

TEST(CallbackSlots, FanOutCallsFilledSlotsInOrderAndASecondSetReplaces) {
    job_context job;
    common stage(job);
    std::vector<int> calls;
    stage.set_callback(3, [&](void*) { calls.push_back(3); });
    stage.set_callback(0, [&](void*) { calls.push_back(0); });
    stage.set_callback(0, [&](void*) { calls.push_back(100); });
    stage.set_callback(10, [&](void*) { calls.push_back(10); });  // out of range: ignored
    stage.fan_out(nullptr);
    EXPECT_EQ(calls, (std::vector<int>{100, 3}));
    EXPECT_FALSE(stage.push_data(nullptr));
    EXPECT_FALSE(stage.pop_data(nullptr));
}
