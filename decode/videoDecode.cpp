#include "decode/videoDecode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/pictureCounts.h"
#include "common/pictureGroup.h"
#include "common/streamInfo.h"
#include "debug/std_debug.h"
#include "common/resultCode.h"
#include "privacy/accessUnit.h"
#include "privacy/privacyPacket.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

// FFmpeg 6 carries a caller's value from packet to frame in AVPacket::opaque (with
// AV_CODEC_FLAG_COPY_OPAQUE); older versions only through AVCodecContext::reordered_opaque,
// which is gone from libavcodec 61 on.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 0, 0)
#define VIDEO_DECODE_PACKET_OPAQUE 1
#else
#define VIDEO_DECODE_PACKET_OPAQUE 0
#endif

namespace {

// The verdict a packet hands to the pictures decoded from it, as bits. Zero means "no
// verdict": the value a frame carries when nothing was attached to its packet.
enum picture_tag : int {
    k_tag_none = 0,
    k_tag_hand_on = 1,
    k_tag_withhold = 2,   // a key picture: a reference, never shown
    k_tag_reference = 4,  // other pictures may be predicted from it
    k_tag_discard = 8,    // left out by the input's edit list
};

void attach_tag(AVCodecContext* ctx, AVPacket* packet, int tag) {
#if VIDEO_DECODE_PACKET_OPAQUE
    (void)ctx;
    packet->opaque = reinterpret_cast<void*>(static_cast<intptr_t>(tag));
#else
    (void)packet;
    ctx->reordered_opaque = tag;
#endif
}

int64_t read_tag(const AVFrame* frame) {
#if VIDEO_DECODE_PACKET_OPAQUE
    return static_cast<int64_t>(reinterpret_cast<intptr_t>(frame->opaque));
#else
    return frame->reordered_opaque;
#endif
}

}  // namespace

bool videoDecode::is_withheld_label(const char* label) {
    if (label == nullptr) return false;
    return std::strstr(label, "I-frame") != nullptr || std::strstr(label, "SPS") != nullptr ||
           std::strstr(label, "VPS") != nullptr;
}

videoDecode::videoDecode(job_context& job, int id) : common(job), codec_id(id) {
    if (codec_id != AV_CODEC_ID_HEVC && codec_id != AV_CODEC_ID_H264) {
        DEBUG_ERR("videoDecode::videoDecode() codecId error %d", codec_id);
        set_result_status(RESULT_DECODER_ERROR);
        return;
    }
    codec = avcodec_find_decoder(static_cast<AVCodecID>(codec_id));
    if (codec == nullptr) {
        DEBUG_ERR("Decoder not found");
        set_result_status(RESULT_DECODER_ERROR);
        return;
    }
    codec_ctx.reset(avcodec_alloc_context3(codec));
    if (!codec_ctx) {
        DEBUG_ERR("Could not allocate decoder context");
        set_result_status(RESULT_DECODER_ERROR);
        return;
    }
    // The decoder learns size and format from the in-band parameter sets. It decodes on as
    // many threads as libavcodec picks for the machine (frame and slice threads). Frame
    // threads hold pictures back for a few packets; that loses nothing: each picture keeps
    // the verdict of its own packet, and the pictures still held at the end of the input are
    // collected by drain().
    codec_ctx->thread_count = 0;
    codec_ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
#if VIDEO_DECODE_PACKET_OPAQUE
    codec_ctx->flags |= AV_CODEC_FLAG_COPY_OPAQUE;
#endif
    if (avcodec_open2(codec_ctx.get(), codec, nullptr) < 0) {
        DEBUG_ERR("Could not open decoder");
        set_result_status(RESULT_DECODER_ERROR);
        codec_ctx.reset();
        return;
    }
    running = true;
    is_init = true;
    start_worker([this] { loop_task(); });
}

videoDecode::~videoDecode() {
    stop_worker([this] { return packet_queue.empty(); });
    // The worker is joined (or never ran): nobody else touches the context or the queue.
    codec_ctx.reset();
    packet_queue.clear();
    DEBUG_WRN("videoDecode destruction succeed");
}

bool videoDecode::push_data(void* packet) {
    return push_bounded(packet_queue, static_cast<AVPacket*>(packet));
}

bool videoDecode::pop_data(void* packet) { return pop_packet(packet_queue, static_cast<AVPacket*>(packet)); }

int videoDecode::video_decode_send_data(AVPacket* packet) {
    if (!is_init) {
        DEBUG_WRN("not init finish deccode");
        return -1;
    }
    if (packet == nullptr) {
        // An empty packet would put the decoder into draining mode; it is never sent.
        DEBUG_ERR("pDecPkt is null");
        set_result_status(RESULT_DECODER_ERROR);
        return -1;
    }
    return avcodec_send_packet(codec_ctx.get(), packet);
}

int videoDecode::video_decode_receive_data(AVFrame* frame) {
    if (!is_init) {
        DEBUG_WRN("not init finish deccode");
        return -1;
    }
    if (frame == nullptr) {
        DEBUG_ERR("pFrame is null");
        set_result_status(RESULT_DECODER_ERROR);
        return -1;
    }
    return avcodec_receive_frame(codec_ctx.get(), frame);
}

void videoDecode::loop_task() {
    auto packet = std::make_shared<avPacketDev>();
    auto frame = std::make_shared<avFrameDev>();
    if (packet->pkt != nullptr && frame->frame != nullptr) {
        worker_loop([&] { return pop_data(packet->pkt); }, [&] { loop_task(packet->pkt, frame->frame); },
                    [&] { av_packet_unref(packet->pkt); }, [&] { drain(frame->frame); });
    }
    DEBUG_WRN("videoDecode loop task end");
}

void videoDecode::loop_task(AVPacket* packet, AVFrame* frame) {
    // The pictures of key access units (the masked references) are withheld, as the privacy
    // step marked them; a packet that did not pass it is judged by its bytes the same way.
    privacy::access_unit unit;
    privacy::scan_access_unit(packet->data, packet->size > 0 ? static_cast<size_t>(packet->size) : 0, codec_id,
                              &unit);
    const privacy::picture_verdict verdict = privacy::verdict_of(packet);
    const bool withheld = verdict == privacy::picture_verdict::none ? unit.kind == privacy::picture_kind::key
                                                                    : verdict == privacy::picture_verdict::reference_only;
    const bool discarded = (packet->flags & AV_PKT_FLAG_DISCARD) != 0;
    attach_tag(codec_ctx.get(), packet,
               (withheld ? k_tag_withhold : k_tag_hand_on) | (unit.reference ? k_tag_reference : 0) |
                   (discarded ? k_tag_discard : 0));
    last_sent_withheld = withheld || discarded;

    const int64_t dts = packet->pts == AV_NOPTS_VALUE ? packet->dts : AV_NOPTS_VALUE;
    int result = video_decode_send_data(packet);
    if (result >= 0 && dts != AV_NOPTS_VALUE) {
        free_slots.push(dts);
        // Packets that gave no picture leave their slot behind; no decoder holds this many back.
        if (free_slots.size() > 64) free_slots.pop();
    }
    if (result < 0) {
        // The packet is not sent again; EAGAIN cannot happen while every send is followed by
        // receiving all that is ready, and is passed over silently.
        if (result != AVERROR(EAGAIN)) DEBUG_WRN("Error sending packet to decoder");
        return;
    }
    loop_task(frame);
}

void videoDecode::drain(AVFrame* frame) {
    // The end-of-stream marker: the decoder gives up every picture it still holds.
    if (avcodec_send_packet(codec_ctx.get(), nullptr) < 0) return;
    loop_task(frame);
}

void videoDecode::assign_presentation_time(AVFrame* frame) {
    int64_t pts = frame->pts;
    if (pts == AV_NOPTS_VALUE) {
        // Slots behind the last picture's time are stale (a packet that gave no picture).
        while (!free_slots.empty() && last_pts != AV_NOPTS_VALUE && free_slots.top() <= last_pts) free_slots.pop();
        if (!free_slots.empty()) {
            pts = free_slots.top();
            free_slots.pop();
        } else if (last_pts != AV_NOPTS_VALUE) {
            int64_t period = 1;
            const AVRational rate = input_stream_info.avg_frame_rate;
            const AVRational base = input_stream_info.video_time_base;
            if (rate.num > 0 && rate.den > 0 && base.num > 0 && base.den > 0)
                period = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), base));
            pts = last_pts + period;
        } else {
            pts = frame->best_effort_timestamp;
        }
    }
    if (pts != AV_NOPTS_VALUE) last_pts = pts;
    frame->pts = pts;
    frame->best_effort_timestamp = pts;
}

void videoDecode::loop_task(AVFrame* frame) {
    int result;
    for (;;) {
        result = video_decode_receive_data(frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) break;
        if (result < 0) {
            DEBUG_WRN("Error during decoding");
            break;
        }
        assign_presentation_time(frame);
        const int64_t tag = read_tag(frame);
        const bool drop = tag == k_tag_none ? last_sent_withheld : (tag & (k_tag_withhold | k_tag_discard)) != 0;
        if (tag & k_tag_withhold) damage_until_key = false;  // references are whole again
        if (!drop) {
            // A picture the decoder concealed errors in is damaged, and so is every picture
            // decoded from it up to the next key picture (FFmpeg flags only the first).
            const bool flagged = frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0;
            picture_counts& counts = job.pictures;
            ++counts.restored;
            if (flagged || damage_until_key) ++counts.damaged;
            if (flagged && (tag == k_tag_none || (tag & k_tag_reference))) damage_until_key = true;
            mark_group_start(frame, opens_group);
            opens_group = false;
            fan_out(frame);
        } else {
            opens_group = true;
        }
        av_frame_unref(frame);
    }
}
