// The encoder stage: opens the first encoder kind that works (Intel QSV, NVIDIA NVENC,
// AMD AMF, then FFmpeg's software encoder) for the input's codec, prepares each decoded
// frame for it on its own worker thread, encodes, and hands every packet to its callback
// slots.
#pragma once

#include <cstdint>
#include <list>
#include <memory>

#include "common/common.h"
#include "common/streamInfo.h"
#include "encode/encoderPool.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
}

class videoEncode : public common {
public:
    // codec_id: AV_CODEC_ID_H264 or AV_CODEC_ID_HEVC; the encoder produces the same codec.
    // Packets leave with the stream index of the job's input_stream_info.video_stream_index
    // (read here), so that the muxer can tell them from the input's audio packets; the colour
    // description is read from there too. low_latency false (tests only) opens the software encoder with
    // its lookahead, so that it holds pictures back until the end-of-input drain. A software
    // encoder encodes in chunks side by side as plan says (null: the plan for this machine and
    // picture size, one encoder on one core); hardware encoders always run one instance.
    videoEncode(job_context& job, int codec_id, const encode_params* params, bool low_latency = true,
                const chunk_plan* plan = nullptr);
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
    // The scaler of the conversions above, reused while size and formats stay the same.
    scaler_cache scaler;
    // The stream index stamped on every packet handed on.
    int output_stream_index = 0;
    int64_t packet_duration = 0;
    // Presentation time of the last picture sent, in the input video stream's time base.
    int64_t last_pts = AV_NOPTS_VALUE;
    // Size and format of the last picture taken, to log a change once.
    int last_width = 0;
    int last_height = 0;
    int last_format = -1;
    // The software encoder's chunks, when more than one encoder works side by side; codec_ctx
    // then only describes the output stream and the size and format pictures are prepared to.
    std::unique_ptr<encoderPool> pool;

private:
    bool init_qsv_encoder(int codec_id, const encode_params* params);
    bool init_nvenc_encoder(int codec_id, const encode_params* params);
    bool init_amf_encoder(int codec_id, const encode_params* params);
    bool init_software_encoder(int codec_id, const encode_params* params, bool low_latency);
    // What the software encoder was opened with: the input's parameters, less a level or
    // profile the encoder would not take. The chunks' encoders are opened alike.
    encode_params software_params_;
    AVFrame* frame_qsv_process(AVFrame* frame);
    AVFrame* frame_amf_process(AVFrame* frame);
    AVFrame* frame_nvenc_process(AVFrame* frame);
    AVFrame* frame_software_process(AVFrame* frame);
    // libx265's own log level ("x265-params"), or null to leave it at its default: warnings
    // only when FFmpeg shows no more, nothing in a job that prints nothing (see console()).
    const char* x265_log_params(int height) const;
    // Shared by QSV and AMF: a reference when the frame is already in the encoder's format,
    // else a conversion to it.
    AVFrame* reference_or_convert(AVFrame* frame);
    // The frame's own presentation time, moved just past the previous picture's when it
    // would not come after it (a picture without a time, or a container that repeats one).
    int64_t presentation_time(const AVFrame* frame);
    // Logs (once per change) a picture whose size or pixel format differs from the one before.
    void note_picture_shape(const AVFrame* frame);
    void loop_task();
    // One turn: prepare the frame, send it, hand on every packet that is ready.
    void loop_task(AVFrame* frame, AVPacket* packet);
    // Takes every packet that is ready and hands it on (shared with the end-of-input drain).
    void loop_task(AVPacket* packet);
    // Stamps the packet's stream index and length and hands it to the callback slots.
    void hand_on(AVPacket* packet);
    // For the software encoder: the pool of chunk encoders, when plan (or, when null, the plan
    // for this machine) has more than one.
    void start_chunks(int codec_id, const encode_params* params, bool low_latency, const chunk_plan* plan);
    // Every chunk opens an encoder of its own: the stage's encoder, opened to prove the
    // settings, is closed again, and a context holding only its description (the parameters
    // the muxer copies) takes its place.
    void keep_description_only();
};
