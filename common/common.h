// The base of every pipeline stage (callback slots, worker thread, queue lock and signal),
// and the shared media helpers: nal_type_name and convertColorSpace.
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
#include "interface/resultStatus.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

class common {
public:
    static constexpr int k_callback_slots = 10;
    // Producers of a bounded queue wait while this many items are queued.
    static constexpr size_t k_queue_bound = 6;
    static constexpr std::chrono::milliseconds k_producer_poll{10};
    static constexpr std::chrono::milliseconds k_pop_wait{5};
    static constexpr std::chrono::milliseconds k_drain_poll{100};

    common() = default;
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

    bool is_init = false;
    std::function<void(void*)> callbacks[k_callback_slots];
    std::thread work_thread;
    std::atomic<bool> running{false};
    std::mutex queue_mutex;
    std::condition_variable queue_cond;
    bool data_ready = false;

protected:
    // Bounded push (decoder, encoder): waits while k_queue_bound or more items are queued,
    // then appends a reference copy of item. There is one producer per bounded queue. While
    // waiting it gives up (returns false, item not queued) once the result status has failed.
    template <class Holder, class Item>
    bool push_bounded(std::list<std::shared_ptr<Holder>>& queue, Item* item) {
        for (;;) {
            size_t length;
            {
                std::lock_guard<std::mutex> lock(queue_mutex);
                length = queue.size();
            }
            if (length < k_queue_bound) break;
            // Once the result status has failed, the worker has stopped taking items and the
            // queue will never shrink: give up and drop the item instead of waiting forever.
            if (get_result_code() != RESULT_OK) return false;
            std::this_thread::sleep_for(k_producer_poll);
        }
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
    // item, process it and unreference it.
    void worker_loop(const std::function<bool()>& pop, const std::function<void()>& process,
                     const std::function<void()>& unref);

    // Stage destructor, first steps: wait (polling) until the queue is empty or the result
    // status fails, then clear running and join the worker. Does nothing for a stage whose
    // set-up failed (no worker).
    void stop_worker(const std::function<bool()>& queue_empty);

private:
    template <class Holder, class Take>
    bool pop_front(std::list<std::shared_ptr<Holder>>& queue, Take take);
};

// Names the first NAL unit of an Annex B packet by the fixed H.264/HEVC text table
// ("H264 SPS", "H265 IDR (I-frame)", ...). Never reads past size.
const char* nal_type_name(const uint8_t* data, int size, int codec_id);

// Converts one frame in system memory into a new frame of the same size in dst_format,
// with BT.709 coefficients and the source's range. The constructor does the whole job;
// is_ok tells whether it succeeded. May rewrite src->format from a deprecated full-range
// YUVJ format to its plain counterpart.
class convertColorSpace {
public:
    convertColorSpace(AVFrame* src, AVPixelFormat dst_format);
    ~convertColorSpace() = default;
    convertColorSpace(const convertColorSpace&) = delete;
    convertColorSpace& operator=(const convertColorSpace&) = delete;

    SwsContext* sws_ctx = nullptr;
    std::shared_ptr<avFrameDev> dst_frame;
    bool is_ok = false;
};
