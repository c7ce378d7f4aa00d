// The output stage: creates the output container (chosen by the file extension) with a
// video stream from the encoder and, when the input has audio, an audio stream copied from
// the input, writes queued packets on its own worker thread with rescaled timestamps, and
// at the end finishes the file, or removes it when the run failed or wrote no video.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "common/common.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class mediaMuxer : public common {
public:
    // encoder_ctx: the opened encoder, or null when the encoder did not initialise.
    // audio_par: the input audio stream's parameters, or null when there is no audio.
    mediaMuxer(const char* output_path, AVCodecContext* encoder_ctx, AVCodecParameters* audio_par);
    ~mediaMuxer() override;

    // Queues a reference to an AVPacket*; never waits.
    bool push_data(void* packet) override;
    bool pop_data(void* packet) override;

    AVFormatContext* out_fmt_ctx = nullptr;
    AVStream* out_video_stream = nullptr;
    AVStream* out_audio_stream = nullptr;
    std::list<std::shared_ptr<avPacketDev>> packet_queue;
    std::string output_path;
    int64_t video_packet_count = 0;

private:
    void loop_task();
};
