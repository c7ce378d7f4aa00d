#include "common/common.h"

#include "debug/std_debug.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libswscale/swscale.h>
}

bool common::push_data(void*) { return false; }

bool common::pop_data(void*) { return false; }

void common::set_callback(int index, std::function<void(void*)> callback) {
    if (index < 0 || index >= k_callback_slots) return;
    callbacks[index] = std::move(callback);
}

void common::fan_out(void* item) {
    for (auto& callback : callbacks) {
        if (callback) callback(item);
    }
}

template <class Holder, class Take>
bool common::pop_front(std::list<std::shared_ptr<Holder>>& queue, Take take) {
    std::shared_ptr<Holder> holder;
    bool taken;
    {
        std::unique_lock<std::mutex> lock(queue_mutex);
        while (queue.empty()) {
            const auto deadline = std::chrono::steady_clock::now() + k_pop_wait;
            if (!queue_cond.wait_until(lock, deadline, [this] { return data_ready || stop_requested_; })) {
                return false;
            }
            if (stop_requested_ && queue.empty()) return false;
            data_ready = false;
        }
        holder = std::move(queue.front());
        queue.pop_front();
        taken = take(*holder);
    }
    // Room for the producer, or the empty queue a destructor waits for.
    space_cond.notify_all();
    return taken;
}

bool common::pop_packet(std::list<std::shared_ptr<avPacketDev>>& queue, AVPacket* destination) {
    return pop_front(queue, [destination](avPacketDev& holder) {
        // An empty holder (its reference copy failed) is taken out and reported as a failure.
        if (holder.pkt == nullptr || destination == nullptr) return false;
        return av_packet_ref(destination, holder.pkt) >= 0;
    });
}

bool common::pop_frame(std::list<std::shared_ptr<avFrameDev>>& queue, AVFrame* destination) {
    return pop_front(queue, [destination](avFrameDev& holder) {
        if (holder.frame == nullptr || destination == nullptr) return false;
        return av_frame_ref(destination, holder.frame) >= 0;
    });
}

void common::worker_loop(const std::function<bool()>& pop, const std::function<void()>& process,
                         const std::function<void()>& unref, const std::function<void()>& drain) {
    if (!running) return;
    for (;;) {
        if (get_result_code() != RESULT_OK) return;
        if (!pop()) {
            if (!running) break;
            continue;
        }
        process();
        unref();
        if (!running) break;
    }
    if (drain && input_ended() && get_result_code() == RESULT_OK) drain();
}

bool common::input_ended() {
    std::lock_guard<std::mutex> lock(queue_mutex);
    return input_ended_;
}

void common::stop_worker(const std::function<bool()>& queue_empty) {
    if (!is_init) return;
    {
        std::unique_lock<std::mutex> lock(queue_mutex);
        // Each take signals space_cond; the timed wait only bounds how late a failure of the
        // run is noticed.
        while (get_result_code() == RESULT_OK && !queue_empty()) space_cond.wait_for(lock, k_status_check);
        input_ended_ = get_result_code() == RESULT_OK;
        stop_requested_ = true;
        running = false;
    }
    queue_cond.notify_all();
    if (work_thread.joinable()) work_thread.join();
}

const char* nal_type_name(const uint8_t* data, int size, int codec_id) {
    if (size <= 0 || data == nullptr) return "INVALID";
    // The header byte follows a start code at the very start of the packet; otherwise
    // byte 0 itself is taken as the header. Bytes past size are never read.
    int header_at = 0;
    if (size >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
        header_at = 3;
    } else if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1) {
        header_at = 4;
    }
    if (codec_id != AV_CODEC_ID_H264 && codec_id != AV_CODEC_ID_HEVC) return "UNKNOWN";
    if (header_at >= size) {
        // A start code with no header byte behind it names nothing of the table.
        return codec_id == AV_CODEC_ID_H264 ? "H264 OTHER" : "H265 OTHER";
    }
    const uint8_t header = data[header_at];
    if (codec_id == AV_CODEC_ID_H264) {
        switch (header & 0x1F) {
            case 1: return "H264 P/B SLICE";
            case 5: return "H264 IDR SLICE (I-frame)";
            case 6: return "H264 SEI";
            case 7: return "H264 SPS";
            case 8: return "H264 PPS";
            default: return "H264 OTHER";
        }
    }
    switch ((header >> 1) & 0x3F) {
        case 1: return "H265 TRAIL (P/B-frame)";
        case 19:
        case 20: return "H265 IDR (I-frame)";
        case 32: return "H265 VPS";
        case 33: return "H265 SPS";
        case 34: return "H265 PPS";
        case 39: return "H265 SEI PREFIX";
        case 40: return "H265 SEI SUFFIX";
        default: return "H265 OTHER";
    }
}

namespace {
AVPixelFormat plain_counterpart(int format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
        default: return static_cast<AVPixelFormat>(format);
    }
}
}  // namespace

scaler_cache::~scaler_cache() { sws_freeContext(ctx); }

convertColorSpace::convertColorSpace(AVFrame* src, AVPixelFormat dst_format, scaler_cache* cache, int dst_width,
                                     int dst_height)
    : dst_frame(std::make_shared<avFrameDev>()) {
    AVFrame* dst = dst_frame->frame;
    if (src == nullptr || dst == nullptr) return;
    // Full range is carried by color_range from here on.
    src->format = plain_counterpart(src->format);

    dst->format = dst_format;
    const bool resize = dst_width > 0 && dst_height > 0;
    dst->width = resize ? dst_width : src->width;
    dst->height = resize ? dst_height : src->height;
    dst->color_range = src->color_range == AVCOL_RANGE_UNSPECIFIED ? AVCOL_RANGE_MPEG : src->color_range;
    if (av_frame_get_buffer(dst, 0) < 0) {
        DEBUG_WRN("Failed to allocate buffer for conver color space frame");
        return;
    }
    const int src_full = src->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    const int dst_full = dst->color_range == AVCOL_RANGE_JPEG ? 1 : 0;
    const auto src_format = static_cast<AVPixelFormat>(src->format);
    bool fresh = true;
    if (cache != nullptr) {
        // Returns the cached scaler when size and formats are unchanged, else frees it and
        // makes a new one (null on failure, the old one freed all the same).
        SwsContext* reused = sws_getCachedContext(cache->ctx, src->width, src->height, src_format, dst->width,
                                                  dst->height, dst_format, SWS_BILINEAR, nullptr, nullptr, nullptr);
        fresh = reused != cache->ctx || cache->src_full != src_full || cache->dst_full != dst_full;
        cache->ctx = reused;
        sws_ctx = reused;
    } else {
        sws_ctx = sws_getContext(src->width, src->height, src_format, dst->width, dst->height, dst_format,
                                 SWS_BILINEAR, nullptr, nullptr, nullptr);
    }
    if (sws_ctx == nullptr) {
        if (cache != nullptr) cache->src_full = cache->dst_full = -1;
        DEBUG_WRN("Failed to create sws context");
        return;
    }
    if (fresh) {
        int* inv_table = nullptr;
        int* table = nullptr;
        int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
        sws_getColorspaceDetails(sws_ctx, &inv_table, &src_range, &table, &dst_range, &brightness, &contrast,
                                 &saturation);
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(sws_ctx, bt709, src_full, bt709, dst_full, brightness, contrast, saturation);
        if (cache != nullptr) {
            cache->src_full = src_full;
            cache->dst_full = dst_full;
        }
    }
    sws_scale(sws_ctx, src->data, src->linesize, 0, src->height, dst->data, dst->linesize);
    // Timestamps and colour tags; the size stays the destination's.
    av_frame_copy_props(dst, src);
    if (cache == nullptr) {
        sws_freeContext(sws_ctx);
        sws_ctx = nullptr;
    }
    is_ok = true;
}

void common::start_worker(std::function<void()> body) {
    work_thread = std::thread([this, body = std::move(body)] {
        job_context::thread_binding bound(job);
        body();
    });
}
