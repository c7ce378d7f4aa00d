// The output stage: creates the output container (chosen by the file extension) with a
// video stream from the encoder and, when the input has audio, an audio stream copied from
// the input (or encoded to the container's usual codec when the container cannot hold it),
// keeps the input's tags and rotation, writes queued packets on its own worker thread with
// rescaled timestamps, and at the end finishes the file, or removes it when the run failed
// or wrote no video. The file is only ever created new, never opened over an existing one.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "common/audioTranscoder.h"
#include "common/common.h"
#include "mux/outputFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class mediaMuxer : public common {
public:
    // encoder_ctx: the opened encoder, or null when the encoder did not initialise.
    // audio_par: the input audio stream's parameters, or null when there is no audio.
    // The input's time bases and stream indexes are read from the job's input_stream_info here.
    // source: the opened input, whose container and stream tags and rotation are kept; may
    // be null. created_fd: the output file, already created exclusively by the caller with
    // the input's permissions; when -1 the muxer creates it itself (owner-only).
    // copy_video_par: without an encoder, the video stream takes these parameters instead
    // (a stream copy: the packets arrive coded as the input's, in the container's form).
    mediaMuxer(job_context& job, const char* output_path, AVCodecContext* encoder_ctx, AVCodecParameters* audio_par,
               const AVFormatContext* source = nullptr, int created_fd = -1,
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
    bool is_avi = false;
    // Set when the audio is encoded here rather than copied.
    std::unique_ptr<ff::audioTranscoder> audio_transcoder;
    // What the encoded audio is said to be once the output is complete ("pcm_s16le audio cannot
    // be stored in MP4"), and how many encoded audio packets reached the output: an encoder
    // can give nothing for a few samples, and the container then keeps no audio track.
    std::string transcoded_audio_note;
    std::string audio_encoder_name;
    int64_t transcoded_audio_packets = 0;
    outputFile output_file;
    int64_t last_video_dts = AV_NOPTS_VALUE;  // output time base
    int64_t video_period = 1;                 // one picture in the output time base

    // When set (before the first push), push_data waits while the queue is full, like the
    // decoder's and encoder's: a producer that outruns the writer then keeps memory flat.
    bool bounded_queue = false;
    // Cleared (before the first push) when the encoder counts the restored pictures for the
    // progress line itself, as they leave its encoders.
    bool counts_pictures = true;

private:
    void loop_task();
    // Adds the audio stream: a copy when the container takes it, else encoded. False only
    // when no stream could be allocated; audio that can be neither is left out.
    bool add_audio_stream(AVCodecParameters* audio_par, const AVStream* source_audio);
    // Writes the transcoder's output; the input packet null drains it.
    bool write_transcoded_audio(const AVPacket* input);
    // Video timestamps: strictly increasing (a repeat moves on by one picture period), and
    // in AVI, where a picture's time is its chunk index, empty chunks before the first
    // picture so that it keeps its index.
    bool place_video(AVPacket* pkt);
    // Closes the output file and frees the output context (streams included).
    void close_output();
    // Deletes the output file; a failure is logged, never fatal.
    void remove_output();
};
