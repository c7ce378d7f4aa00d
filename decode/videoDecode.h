// The decoder stage: a software decoder for H.264 or HEVC on its own worker thread. It
// decodes the packets the demuxer queues and hands every picture to its callback slots,
// except the pictures decoded from key access units (they show the mosaic and only serve as
// references: the privacy step marks them, see privacy::picture_verdict). It counts the
// pictures it hands on, and those that come out damaged.
//
// Each picture is judged by the packet it was decoded from: the packet's verdict travels
// through the decoder with it (packet opaque / reordered_opaque), so a picture the decoder
// holds back for reordering is not judged by whatever packet happens to be sent last.
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <queue>
#include <vector>

#include "common/common.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

class videoDecode : public common {
public:
    videoDecode(job_context& job, int codec_id);
    ~videoDecode() override;

    // Queues a reference to an AVPacket*, waiting while the queue is full.
    bool push_data(void* packet) override;
    // Takes the oldest packet into an (empty) AVPacket*, waiting up to 5 ms.
    bool pop_data(void* packet) override;

    // avcodec_send_packet on the decoder; -1 when not initialised or for a null packet.
    int video_decode_send_data(AVPacket* packet);
    // avcodec_receive_frame on the decoder; -1 when not initialised or for a null frame.
    int video_decode_receive_data(AVFrame* frame);

    // True for the labels (nal_type_name texts) whose pictures are withheld: an IDR slice,
    // an SPS or a VPS at the start of the packet.
    static bool is_withheld_label(const char* label);

    struct codec_context_deleter {
        void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
    };

    int codec_id = 0;
    const AVCodec* codec = nullptr;
    std::unique_ptr<AVCodecContext, codec_context_deleter> codec_ctx;
    std::list<std::shared_ptr<avPacketDev>> packet_queue;

private:
    // The worker body: pops packets until stopped, then logs its end line.
    void loop_task();
    // One turn of loop_task for the popped packet: send it, then take and judge every
    // picture that is ready. (Named like the loop, whose log lines it writes.)
    void loop_task(AVPacket* packet, AVFrame* frame);
    // Takes every picture that is ready, judges it and hands it on (the receiving half of a
    // turn, shared with drain).
    void loop_task(AVFrame* frame);
    // At the end of the input (on the worker, after the last packet): sends the end-of-stream
    // marker and hands on what the decoder still held back.
    void drain(AVFrame* frame);

    // Gives the picture its presentation time in the input video stream's time base: the time
    // of the packet it was decoded from. Where the container gives none (AVI keeps one slot per
    // picture, in decoding order), the pictures, which leave the decoder in presentation order,
    // take the slots in increasing order: the smallest decoding time not yet taken. Failing
    // that, one picture period after the picture before it.
    void assign_presentation_time(AVFrame* frame);

    // Presentation time of the last picture out of the decoder (AV_NOPTS_VALUE before the first).
    int64_t last_pts = AV_NOPTS_VALUE;
    // Decoding times of the packets sent without a presentation time, not yet taken by a picture.
    std::priority_queue<int64_t, std::vector<int64_t>, std::greater<int64_t>> free_slots;

    // Verdict of the packet sent last; used only for a picture that comes back without
    // the verdict of its own packet. Touched by the worker thread alone.
    bool last_sent_withheld = false;
    // A damaged reference has been decoded since the last key picture (worker thread alone).
    bool damage_until_key = false;
    // The next picture handed on opens a group: it is the first, or follows a withheld one.
    bool opens_group = true;
};
