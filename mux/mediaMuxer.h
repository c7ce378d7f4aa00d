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
    // The input's time bases and stream indexes are read from input_stream_info here.
    // copy_video_par: without an encoder, the video stream takes these parameters instead
    // (a stream copy: the packets arrive coded as the input's, in the container's form).
    mediaMuxer(const char* output_path, AVCodecContext* encoder_ctx, AVCodecParameters* audio_par,
               const AVCodecParameters* copy_video_par = nullptr);
    ~mediaMuxer() override;

    // Queues a reference to an AVPacket*; never waits. Packets whose stream index is the
    // input's video stream go to the output video stream, those of the input's audio
    // stream to the output audio stream; any other packet is dropped.
    bool push_data(void* packet) override;
    bool pop_data(void* packet) override;

    AVFormatContext* out_fmt_ctx = nullptr;
    AVStream* out_video_stream = nullptr;
    AVStream* out_audio_stream = nullptr;
    std::list<std::shared_ptr<avPacketDev>> packet_queue;
    std::string output_path;
    int64_t video_packet_count = 0;

    // What the packets arriving here are measured in and tagged with (from the input).
    AVRational video_time_base{0, 1};
    AVRational audio_time_base{0, 1};
    int video_stream_index = -1;
    int audio_stream_index = -1;

    // When set (before the first push), push_data waits while the queue is full, like the
    // decoder's and encoder's: a producer that outruns the writer then keeps memory flat.
    bool bounded_queue = false;

private:
    void loop_task();
    // Closes the output file and frees the output context (streams included).
    void close_output();
    // Deletes the output file; a failure is logged, never fatal.
    void remove_output();
};
