// The decoder stage: a software decoder for H.264 or HEVC on its own worker thread. It
// decodes the packets the demuxer queues and hands every picture to its callback slots,
// except the pictures decoded from packets that begin with an IDR slice, an SPS or a VPS
// (they show the mosaic and only serve as references).
#pragma once

#include <list>
#include <memory>

#include "common/common.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

class videoDecode : public common {
public:
    explicit videoDecode(int codec_id);
    ~videoDecode() override;

    // Queues a reference to an AVPacket*, waiting while the queue is full.
    bool push_data(void* packet) override;
    // Takes the oldest packet into an (empty) AVPacket*, waiting up to 5 ms.
    bool pop_data(void* packet) override;

    int video_decode_send_data(AVPacket* packet);
    int video_decode_receive_data(AVFrame* frame);

    int codec_id = 0;
    const AVCodec* codec = nullptr;
    AVCodecContext* codec_ctx = nullptr;
    std::list<std::shared_ptr<avPacketDev>> packet_queue;

private:
    void loop_task();
};
