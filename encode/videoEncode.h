// The encoder stage: opens the first encoder kind that works (Intel QSV, NVIDIA NVENC,
// AMD AMF, then FFmpeg's software encoder) for the input's codec, prepares each decoded
// frame for it on its own worker thread, encodes, and hands every packet to its callback
// slots.
#pragma once

#include <list>
#include <memory>

#include "common/common.h"
#include "common/streamInfo.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
}

class videoEncode : public common {
public:
    videoEncode(int codec_id, const encode_params* params);
    ~videoEncode() override;

    // Queues a reference to an AVFrame*, waiting while the queue is full.
    bool push_data(void* frame) override;
    // Takes the oldest frame into an (empty) AVFrame*, waiting up to 5 ms.
    bool pop_data(void* frame) override;

    int video_enccode_send_data(AVFrame* frame);
    int video_enccode_receive_data(AVPacket* packet);

    const AVCodec* codec = nullptr;
    AVCodecContext* codec_ctx = nullptr;
    std::list<std::shared_ptr<avFrameDev>> frame_queue;
    AVHWDeviceType hwType = AV_HWDEVICE_TYPE_NONE;
    std::shared_ptr<convertColorSpace> convertColorSpacePtr;
    std::shared_ptr<avFrameDev> enc_frame;

private:
    bool init_qsv_encoder(int codec_id, const encode_params* params);
    bool init_nvenc_encoder(int codec_id, const encode_params* params);
    bool init_amf_encoder(int codec_id, const encode_params* params);
    bool init_software_encoder(int codec_id, const encode_params* params);
    AVFrame* frame_qsv_process(AVFrame* frame);
    AVFrame* frame_amf_process(AVFrame* frame);
    AVFrame* frame_nvenc_process(AVFrame* frame);
    void loop_task();
};
