// The input side of the mosaic tool: opens any file FFmpeg can read, decodes its first video
// stream and hands out pictures in presentation order, with the packets of its audio streams
// in between, untouched.
#pragma once

#include <string>
#include <vector>

#include "tools/mosaic/ffHolders.h"

namespace mosaic {

class frameSource {
public:
    enum class item { video_frame, audio_packet, end, failed };

    frameSource() = default;
    frameSource(const frameSource&) = delete;
    frameSource& operator=(const frameSource&) = delete;

    // Opens the input, picks the first video stream (cover pictures aside) and every audio
    // stream, and opens a decoder for the video.
    bool open(const std::string& path, std::string* error);

    // The next picture (into frame, pts in the video stream's time base, never
    // AV_NOPTS_VALUE) or audio packet (into audio, stream_index the input's). end after the
    // last picture; failed with *error set on a read error.
    item next(AVFrame* frame, AVPacket* audio, std::string* error);

    const AVStream* video_stream() const { return input_->streams[video_index_]; }
    const AVDictionary* tags() const { return input_->metadata; }
    const std::vector<const AVStream*>& audio_streams() const { return audio_streams_; }
    // The picture rate: the stream's average rate, else its base rate, else 25.
    AVRational frame_rate() const { return frame_rate_; }
    // Packets the decoder refused as damaged (the pictures in them are lost).
    int damaged_packets() const { return damaged_packets_; }
    // Streams neither decoded nor copied (subtitles, data, further video).
    int ignored_streams() const { return ignored_streams_; }

private:
    bool is_copied_audio(int stream_index) const;
    void stamp(AVFrame* frame);

    input_context_ptr input_;
    codec_context_ptr decoder_;
    packet_ptr packet_ = make_packet();
    int video_index_ = -1;
    std::vector<const AVStream*> audio_streams_;
    AVRational frame_rate_{25, 1};
    bool draining_ = false;
    int damaged_packets_ = 0;
    int ignored_streams_ = 0;
    int64_t last_pts_ = AV_NOPTS_VALUE;
};

}  // namespace mosaic
