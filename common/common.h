// The base of every pipeline stage (the job it works for, callback slots, worker thread, queue
// lock and signal), and the shared media helpers: nal_type_name and convertColorSpace.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "common/avPacketDev.h"
#include "common/jobContext.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

class common {
public:
    static constexpr int k_callback_slots = 10;
    // Producers of a bounded queue wait while this many items are queued.
    static constexpr size_t k_queue_bound = 6;
    // A producer facing a full queue, and a destructor waiting for an empty one, are woken
    // as soon as the worker takes an item; they look at the result status at least this often
    // in case the run fails while they wait.
    static constexpr std::chrono::milliseconds k_status_check{10};
    static constexpr std::chrono::milliseconds k_pop_wait{5};

    explicit common(job_context& job) : job(job), input_stream_info(job.input_stream_info) {}
    virtual ~common() = default;
    common(const common&) = delete;
    common& operator=(const common&) = delete;

    // The base versions queue nothing.
    virtual bool push_data(void* item);
    virtual bool pop_data(void* destination);

    // Installs a callable in slot index (0 to 9); other indexes are ignored.
    void set_callback(int index, std::function<void(void*)> callback);

    // Calls every filled slot, 0 to 9 in order, with item.
    void fan_out(void* item);

    // The job this stage works for, which outlives it. A stage reports to its job alone, in
    // the words the status has everywhere: set_result_status, get_result_code, and the log
    // lines, whose macros find log_target() here.
    job_context& job;
    // The job's stream parameters (published by the demuxer).
    input_stream_info_t& input_stream_info;
    void set_result_status(int code) { job.set_result_status(code); }
    int get_result_code() const { return job.get_result_code(); }
    std_debug::log_sink* log_target() const { return &job.log; }

    bool is_init = false;
    std::function<void(void*)> callbacks[k_callback_slots];
    std::thread work_thread;
    std::atomic<bool> running{false};
    std::mutex queue_mutex;
    std::condition_variable queue_cond;
    bool data_ready = false;
    // Signalled (under queue_mutex) whenever the worker takes an item: room for a waiting
    // producer, and maybe the empty queue a destructor waits for.
    std::condition_variable space_cond;

protected:
    // Starts work_thread on body, with the job bound to the thread: FFmpeg's messages and the
    // code of no stage on it report to the job too.
    void start_worker(std::function<void()> body);

    // Bounded push (decoder, encoder): waits while k_queue_bound or more items are queued,
    // then appends a reference copy of item. There is one producer per bounded queue.
    // Once the result status has failed, the consumer has stopped or is about to, so a full
    // queue will never drain: the item is dropped (false) instead of waiting for ever.
    template <class Holder, class Item>
    bool push_bounded(std::list<std::shared_ptr<Holder>>& queue, Item* item) {
        {
            std::unique_lock<std::mutex> lock(queue_mutex);
            while (queue.size() >= k_queue_bound) {
                if (get_result_code() != RESULT_OK) return false;
                space_cond.wait_for(lock, k_status_check);
            }
        }
        // The reference copy is made outside the lock; the single producer keeps the room.
        return push_unbounded(queue, item);
    }

    // Unbounded push (muxer): appends a reference copy of item and signals the worker.
    template <class Holder, class Item>
    bool push_unbounded(std::list<std::shared_ptr<Holder>>& queue, Item* item) {
        std::shared_ptr<Holder> holder(new Holder(item));
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            queue.push_back(std::move(holder));
            data_ready = true;
        }
        queue_cond.notify_one();
        return true;
    }

    // Takes the oldest item into destination (which must be empty), waiting at most
    // k_pop_wait for one. Returns false on time-out, and for an item whose reference copy
    // had failed (it is removed from the queue).
    bool pop_packet(std::list<std::shared_ptr<avPacketDev>>& queue, AVPacket* destination);
    bool pop_frame(std::list<std::shared_ptr<avFrameDev>>& queue, AVFrame* destination);

    // The shared worker loop: until running is cleared or the result status fails, pop an
    // item, process it and unreference it. When the loop ended because the input is over
    // (stop_worker with result 0, queue empty), drain runs last on the worker thread: the
    // stage hands on what its codec still holds.
    void worker_loop(const std::function<bool()>& pop, const std::function<void()>& process,
                     const std::function<void()>& unref, const std::function<void()>& drain = nullptr);

    // Stage destructor, first steps. With result 0: wait until the worker has taken every
    // queued item (woken by each take, no polling), then tell it the input is over and join
    // it; it finishes the item in hand and drains. With a failed result: stop it at once and
    // join; queued items stay for the caller to drop. Does nothing for a stage whose set-up
    // failed (no worker).
    void stop_worker(const std::function<bool()>& queue_empty);

    // True once stop_worker has found the queue empty with result 0.
    bool input_ended();

private:
    template <class Holder, class Take>
    bool pop_front(std::list<std::shared_ptr<Holder>>& queue, Take take);

    // Both under queue_mutex. stop_requested wakes a worker waiting in pop_data.
    bool stop_requested_ = false;
    bool input_ended_ = false;
};

// Names the first NAL unit of an Annex B packet by the fixed H.264/HEVC text table
// ("H264 SPS", "H265 IDR (I-frame)", ...). Never reads past size.
const char* nal_type_name(const uint8_t* data, int size, int codec_id);

// A scaler kept between conversions by its owner, so that a run of frames of one size and
// format is converted with one scaler instead of a new one per frame. Freed with its owner.
struct scaler_cache {
    scaler_cache() = default;
    ~scaler_cache();
    scaler_cache(const scaler_cache&) = delete;
    scaler_cache& operator=(const scaler_cache&) = delete;

    SwsContext* ctx = nullptr;
    // The range flags ctx was last set up with (-1: not yet).
    int src_full = -1;
    int dst_full = -1;
};

// Converts one frame in system memory into a new frame in dst_format, with BT.709
// coefficients and the source's range, at the source's size or, when dst_width and dst_height
// are given (both above 0), scaled to that size. The constructor does the whole job;
// is_ok tells whether it succeeded. May rewrite src->format from a deprecated full-range
// YUVJ format to its plain counterpart. Without a cache the scaler is made and freed here;
// with one, the cached scaler is reused while size, formats and range stay the same
// (sws_ctx then points at the cache's scaler, which the cache owns).
class convertColorSpace {
public:
    convertColorSpace(AVFrame* src, AVPixelFormat dst_format, scaler_cache* cache = nullptr, int dst_width = 0,
                      int dst_height = 0);
    ~convertColorSpace() = default;
    convertColorSpace(const convertColorSpace&) = delete;
    convertColorSpace& operator=(const convertColorSpace&) = delete;

    SwsContext* sws_ctx = nullptr;
    std::shared_ptr<avFrameDev> dst_frame;
    bool is_ok = false;
};
