// The output file: one video stream (the masked stream with its hidden pictures) and the
// input's audio streams, copied, or encoded to the container's usual codec where the
// container cannot hold them, in MP4 or AVI, with the input's tags and rotation. Everything is written to a temporary file
// beside the output, which is renamed to the output's name only when the file is complete;
// otherwise it is removed, so a failed run leaves nothing behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/audioTranscoder.h"
#include "tools/mosaic/ffHolders.h"
#include "tools/mosaic/mosaicOptions.h"

namespace mosaic {

struct muxer_video_setup {
    const AVCodecContext* encoder = nullptr;  // codec, size, colour description
    // Annex B parameter sets of the first key picture, or a decoder configuration record
    // (avcC) when the packets come length-prefixed.
    std::vector<uint8_t> extradata;
    AVRational time_base{1, 25};              // time base of the packets handed to write_video
    AVRational frame_rate{25, 1};
    AVRational sample_aspect_ratio{0, 1};
    const AVStream* source = nullptr;          // input video stream: its tags and rotation are kept
    const AVDictionary* container_tags = nullptr;  // input container's tags (creation_time, title, ...)
};

class maskedMuxer {
public:
    maskedMuxer() = default;
    ~maskedMuxer();
    maskedMuxer(const maskedMuxer&) = delete;
    maskedMuxer& operator=(const maskedMuxer&) = delete;

    // Creates the streams, opens the temporary file and writes the header.
    bool open(const std::string& path, output_container container, const muxer_video_setup& video,
              const std::vector<const AVStream*>& audio, std::string* error);

    // Writes a video packet; its timestamps are in the setup's time base.
    bool write_video(AVPacket* packet, std::string* error);
    // Writes an audio packet read from the input (stream_index and timestamps the input's).
    bool write_audio(AVPacket* packet, std::string* error);

    // Writes the trailer, closes the file and gives it the output's name.
    bool finish(std::string* error);

    bool is_open() const { return context_ != nullptr; }

    // What the run survived (audio encoded or left out), one line each.
    const std::vector<std::string>& warnings() const { return warnings_; }

private:
    bool write(AVPacket* packet, AVStream* stream, AVRational from, int64_t* last_dts, std::string* error);
    bool add_audio(const AVStream* input, const char* container_name, std::string* error);
    void discard();

    AVFormatContext* context_ = nullptr;
    std::string path_;
    std::string temporary_path_;
    AVStream* video_stream_ = nullptr;
    AVRational video_time_base_{1, 25};
    int64_t last_video_dts_ = INT64_MIN;
    struct audio_route {
        int input_index;
        AVRational input_time_base;
        AVStream* stream;
        int64_t last_dts;
        std::unique_ptr<ff::audioTranscoder> transcoder;  // set when the audio is encoded
        bool dropped = false;                             // its encoder failed: the rest is left out
    };
    bool write_encoded(audio_route& route, const AVPacket* packet, std::string* error);
    std::vector<audio_route> audio_;
    bool header_written_ = false;
    bool avi_ = false;
    int64_t first_video_dts_ = AV_NOPTS_VALUE;  // AVI: pictures count from index 0
    std::vector<std::string> warnings_;
};

}  // namespace mosaic
