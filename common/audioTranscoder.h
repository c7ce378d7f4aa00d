// Audio for containers that cannot hold it as it is: decides whether an output container
// takes an audio stream unchanged, and if not, turns it into the container's usual codec
// (decode, convert the samples, cut them into the encoder's frame size, encode), keeping
// channels, sample rate and timing. Used by both tools' muxers.
#pragma once

#include <string>
#include <vector>

#include "common/ffHolders.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace ff {

// True when the output format writes this audio as it is: a header is tried on a scratch
// muxer that writes nowhere, and codecs the format accepts but players do not read (Vorbis
// in MP4; Opus, Vorbis and FLAC in AVI) count as refused.
bool container_takes_audio(const AVOutputFormat* format, const AVCodecParameters* audio);

// The encoder for the container's usual audio: AAC in MP4 (and anything not AVI); MP3 in
// AVI when the build has an MP3 encoder, else 16-bit PCM. Null when none exists.
const AVCodec* fallback_audio_encoder(const AVOutputFormat* format);

struct swr_deleter {
    void operator()(SwrContext* context) const { swr_free(&context); }
};
struct audio_fifo_deleter {
    void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};

class audioTranscoder {
public:
    // input: the audio stream's parameters and the time base of its packets. global_header:
    // the container wants the codec set-up in the stream header (MP4). False with *error set
    // when the audio cannot be decoded or the encoder does not open.
    bool open(const AVCodecParameters* input, AVRational input_time_base, const AVCodec* encoder,
              bool global_header, std::string* error);

    // The opened encoder: the output stream's parameters come from it.
    const AVCodecContext* encoder() const { return encoder_.get(); }
    // Time base of the packets push() hands out (one sample).
    AVRational time_base() const { return encoder_->time_base; }

    // Decodes one input packet (timestamps in the input time base; null drains everything)
    // and appends the packets the encoder makes. A packet the decoder refuses is skipped;
    // false only when the encoder fails.
    bool push(const AVPacket* packet, std::vector<packet_ptr>* out);

private:
    // Converts decoded samples (null: the resampler's rest) into the encoder's format, queued.
    bool convert(const AVFrame* decoded);
    bool encode_ready(bool last, std::vector<packet_ptr>* out);
    bool encode(const AVFrame* frame, std::vector<packet_ptr>* out);

    AVRational input_time_base_{1, 1};
    codec_context_ptr decoder_;
    codec_context_ptr encoder_;
    std::unique_ptr<SwrContext, swr_deleter> resampler_;
    std::unique_ptr<AVAudioFifo, audio_fifo_deleter> fifo_;
    frame_ptr decoded_ = make_frame();
    int64_t next_pts_ = AV_NOPTS_VALUE;  // in samples of the output rate
    bool drained_ = false;
};

}  // namespace ff
