#include "common/audioTranscoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
}

namespace ff {

namespace {

// A write target that keeps only its position: enough for a trial header and trailer.
struct null_sink {
    int64_t position = 0;
    int64_t size = 0;
};

int sink_write(void* opaque, avio_write_bytes, int size) {
    auto* sink = static_cast<null_sink*>(opaque);
    sink->position += size;
    if (sink->position > sink->size) sink->size = sink->position;
    return size;
}

int64_t sink_seek(void* opaque, int64_t offset, int whence) {
    auto* sink = static_cast<null_sink*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return sink->size;
        case SEEK_SET: sink->position = offset; break;
        case SEEK_CUR: sink->position += offset; break;
        case SEEK_END: sink->position = sink->size + offset; break;
        default: return AVERROR(EINVAL);
    }
    return sink->position;
}

bool refused_by_players(const AVOutputFormat* format, AVCodecID codec) {
    if (std::strcmp(format->name, "avi") == 0) {
        return codec == AV_CODEC_ID_OPUS || codec == AV_CODEC_ID_VORBIS || codec == AV_CODEC_ID_FLAC;
    }
    return codec == AV_CODEC_ID_VORBIS;
}

// What the encoder takes: a list with its terminator, or null for anything. FFmpeg 7.1 gives
// the lists through avcodec_get_supported_config; earlier versions as fields of the codec.
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
const void* supported_config(const AVCodec* codec, AVCodecConfig config) {
    const void* list = nullptr;
    int count = 0;
    return avcodec_get_supported_config(nullptr, codec, config, 0, &list, &count) < 0 ? nullptr : list;
}
const int* sample_rates(const AVCodec* codec) {
    return static_cast<const int*>(supported_config(codec, AV_CODEC_CONFIG_SAMPLE_RATE));
}
const AVSampleFormat* sample_formats(const AVCodec* codec) {
    return static_cast<const AVSampleFormat*>(supported_config(codec, AV_CODEC_CONFIG_SAMPLE_FORMAT));
}
const AVChannelLayout* channel_layouts(const AVCodec* codec) {
    return static_cast<const AVChannelLayout*>(supported_config(codec, AV_CODEC_CONFIG_CHANNEL_LAYOUT));
}
#else
const int* sample_rates(const AVCodec* codec) { return codec->supported_samplerates; }
const AVSampleFormat* sample_formats(const AVCodec* codec) { return codec->sample_fmts; }
const AVChannelLayout* channel_layouts(const AVCodec* codec) { return codec->ch_layouts; }
#endif

// The supported value closest to the wanted one (rates), or the wanted one when the
// encoder takes any.
int pick_sample_rate(const AVCodec* codec, int wanted) {
    const int* rates = sample_rates(codec);
    if (rates == nullptr) return wanted;
    // The smallest rate at or above the wanted one loses nothing; else the largest below it.
    int above = 0, below = 0;
    for (const int* rate = rates; *rate != 0; ++rate) {
        if (*rate >= wanted && (above == 0 || *rate < above)) above = *rate;
        if (*rate < wanted && *rate > below) below = *rate;
    }
    return above != 0 ? above : below;
}

AVSampleFormat pick_sample_format(const AVCodec* codec, AVSampleFormat wanted) {
    const AVSampleFormat* formats = sample_formats(codec);
    if (formats == nullptr) return wanted;
    for (const AVSampleFormat* format = formats; *format != AV_SAMPLE_FMT_NONE; ++format) {
        if (*format == wanted) return wanted;
    }
    return formats[0];
}

// The input's layout when the encoder takes it, else one of the encoder's with as many
// channels, else its first (typically stereo).
bool pick_layout(const AVCodec* codec, const AVChannelLayout& input, AVChannelLayout* out) {
    AVChannelLayout wanted{};
    if (input.nb_channels <= 0) return false;
    if (input.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&wanted, input.nb_channels);
    } else if (av_channel_layout_copy(&wanted, &input) < 0) {
        return false;
    }
    const AVChannelLayout* layouts = channel_layouts(codec);
    const AVChannelLayout* chosen = layouts == nullptr ? &wanted : nullptr;
    const AVChannelLayout* same_count = nullptr;
    for (const AVChannelLayout* layout = layouts; chosen == nullptr && layout->nb_channels != 0; ++layout) {
        if (av_channel_layout_compare(layout, &wanted) == 0) chosen = layout;
        if (same_count == nullptr && layout->nb_channels == wanted.nb_channels) same_count = layout;
    }
    if (chosen == nullptr) chosen = same_count != nullptr ? same_count : &layouts[0];
    const bool copied = av_channel_layout_copy(out, chosen) >= 0;
    av_channel_layout_uninit(&wanted);
    return copied;
}

}  // namespace

bool container_takes_audio(const AVOutputFormat* format, const AVCodecParameters* audio) {
    if (format == nullptr || audio == nullptr || refused_by_players(format, audio->codec_id)) return false;
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, format, nullptr, nullptr) < 0 || raw == nullptr) return false;
    output_context_ptr context(raw);
    AVStream* stream = avformat_new_stream(raw, nullptr);
    if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, audio) < 0) return false;
    stream->codecpar->codec_tag = 0;
    null_sink sink;
    constexpr int k_buffer = 4096;
    auto* buffer = static_cast<unsigned char*>(av_malloc(k_buffer));
    if (buffer == nullptr) return false;
    raw->pb = avio_alloc_context(buffer, k_buffer, 1, &sink, nullptr, sink_write, sink_seek);
    if (raw->pb == nullptr) {
        av_free(buffer);
        return false;
    }
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    const int previous = av_log_get_level();
    // The trial's refusals are expected; the caller reports the outcome in its own words.
    av_log_set_level(AV_LOG_QUIET);
    const bool taken = avformat_write_header(raw, nullptr) >= 0 && av_write_trailer(raw) >= 0;
    av_log_set_level(previous);
    av_freep(&raw->pb->buffer);
    avio_context_free(&raw->pb);
    return taken;
}

const AVCodec* fallback_audio_encoder(const AVOutputFormat* format) {
    if (format != nullptr && std::strcmp(format->name, "avi") == 0) {
        if (const AVCodec* mp3 = avcodec_find_encoder(AV_CODEC_ID_MP3)) return mp3;
        return avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    }
    return avcodec_find_encoder(AV_CODEC_ID_AAC);
}

bool audioTranscoder::open(const AVCodecParameters* input, AVRational input_time_base, const AVCodec* encoder,
                           bool global_header, std::string* error) {
    input_time_base_ = input_time_base;
    const AVCodec* decoder = avcodec_find_decoder(input->codec_id);
    if (decoder == nullptr) {
        *error = std::string("no decoder for ") + avcodec_get_name(input->codec_id);
        return false;
    }
    decoder_.reset(avcodec_alloc_context3(decoder));
    if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), input) < 0) {
        *error = "out of memory";
        return false;
    }
    decoder_->pkt_timebase = input_time_base;
    int r = avcodec_open2(decoder_.get(), decoder, nullptr);
    if (r < 0 || decoder_->sample_rate <= 0 || decoder_->ch_layout.nb_channels <= 0) {
        *error = std::string("cannot decode the ") + avcodec_get_name(input->codec_id) + " audio";
        return false;
    }
    if (encoder == nullptr) {
        *error = "no audio encoder for the container";
        return false;
    }

    encoder_.reset(avcodec_alloc_context3(encoder));
    if (!encoder_ || !pick_layout(encoder, decoder_->ch_layout, &encoder_->ch_layout)) {
        *error = "out of memory";
        return false;
    }
    encoder_->sample_rate = pick_sample_rate(encoder, decoder_->sample_rate);
    encoder_->sample_fmt = pick_sample_format(encoder, decoder_->sample_fmt);
    encoder_->time_base = AVRational{1, encoder_->sample_rate};
    if (encoder->id != AV_CODEC_ID_PCM_S16LE) encoder_->bit_rate = 64000 * std::min(encoder_->ch_layout.nb_channels, 6);
    if (global_header) encoder_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    r = avcodec_open2(encoder_.get(), encoder, nullptr);
    if (r < 0) {
        *error = std::string("cannot open the ") + encoder->name + " encoder: " + av_error_text(r);
        return false;
    }

    // The decoder's output format can change with its first frame; the resampler is set up
    // from what the decoder says now and checked again per frame.
    SwrContext* resampler = nullptr;
    if (swr_alloc_set_opts2(&resampler, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate,
                            &decoder_->ch_layout, decoder_->sample_fmt, decoder_->sample_rate, 0, nullptr) < 0 ||
        swr_init(resampler) < 0) {
        swr_free(&resampler);
        *error = "cannot convert the audio samples";
        return false;
    }
    resampler_.reset(resampler);
    fifo_.reset(av_audio_fifo_alloc(encoder_->sample_fmt, encoder_->ch_layout.nb_channels, 1024));
    if (!fifo_ || !decoded_) {
        *error = "out of memory";
        return false;
    }
    return true;
}

bool audioTranscoder::push(const AVPacket* packet, std::vector<packet_ptr>* out) {
    if (drained_) return true;
    // A damaged packet costs its samples only.
    if (avcodec_send_packet(decoder_.get(), packet) < 0 && packet != nullptr) return true;
    for (;;) {
        const int r = avcodec_receive_frame(decoder_.get(), decoded_.get());
        if (r < 0) break;
        const bool ok = convert(decoded_.get());
        av_frame_unref(decoded_.get());
        if (!ok) return false;
    }
    if (packet != nullptr) return encode_ready(false, out);
    // End: what the resampler still holds, the short last frame, then the encoder's delay.
    drained_ = true;
    if (!convert(nullptr) || !encode_ready(true, out)) return false;
    return encode(nullptr, out);
}

bool audioTranscoder::convert(const AVFrame* decoded) {
    if (decoded != nullptr) {
        if (decoded->sample_rate != decoder_->sample_rate || decoded->format != decoder_->sample_fmt ||
            av_channel_layout_compare(&decoded->ch_layout, &decoder_->ch_layout) != 0) {
            // The stream changed its format midway: a new resampler for the new input.
            SwrContext* resampler = nullptr;
            if (swr_alloc_set_opts2(&resampler, &encoder_->ch_layout, encoder_->sample_fmt, encoder_->sample_rate,
                                    const_cast<AVChannelLayout*>(&decoded->ch_layout), static_cast<AVSampleFormat>(decoded->format),
                                    decoded->sample_rate, 0, nullptr) < 0 ||
                swr_init(resampler) < 0) {
                swr_free(&resampler);
                return true;  // samples it cannot convert are left out
            }
            resampler_.reset(resampler);
            decoder_->sample_rate = decoded->sample_rate;
            decoder_->sample_fmt = static_cast<AVSampleFormat>(decoded->format);
            av_channel_layout_uninit(&decoder_->ch_layout);
            av_channel_layout_copy(&decoder_->ch_layout, &decoded->ch_layout);
        }
        if (next_pts_ == AV_NOPTS_VALUE) {
            // Timing is kept from the first decoded samples on; after that the samples run on
            // without gaps, as the encoder needs them.
            const int64_t pts = decoded->best_effort_timestamp != AV_NOPTS_VALUE ? decoded->best_effort_timestamp
                                                                                 : decoded->pts;
            next_pts_ = pts == AV_NOPTS_VALUE ? 0 : av_rescale_q(pts, input_time_base_, encoder_->time_base);
        }
    }
    const int in_samples = decoded != nullptr ? decoded->nb_samples : 0;
    const int capacity = swr_get_out_samples(resampler_.get(), in_samples);
    if (capacity <= 0) return true;
    uint8_t** planes = nullptr;
    if (av_samples_alloc_array_and_samples(&planes, nullptr, encoder_->ch_layout.nb_channels, capacity,
                                           encoder_->sample_fmt, 0) < 0) {
        return false;
    }
    const int made = swr_convert(resampler_.get(), planes, capacity,
                                 decoded != nullptr ? const_cast<const uint8_t**>(decoded->extended_data) : nullptr,
                                 in_samples);
    const bool ok = made < 0 || av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(planes), made) >= 0;
    av_freep(&planes[0]);
    av_freep(&planes);
    return ok;
}

// Hands the encoder whole frames of its size (all that is there when it takes any size);
// at the end also the short rest.
bool audioTranscoder::encode_ready(bool last, std::vector<packet_ptr>* out) {
    const bool any_size = encoder_->frame_size <= 0 ||
                          (encoder_->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) != 0;
    for (;;) {
        const int available = av_audio_fifo_size(fifo_.get());
        const int size = any_size ? std::min(available, 4096) : encoder_->frame_size;
        if (available == 0 || (available < size && !last)) return true;
        frame_ptr frame = make_frame();
        if (!frame) return false;
        frame->nb_samples = std::min(available, size);
        frame->format = encoder_->sample_fmt;
        frame->sample_rate = encoder_->sample_rate;
        if (av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout) < 0 ||
            av_frame_get_buffer(frame.get(), 0) < 0 ||
            av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->data), frame->nb_samples) < 0) {
            return false;
        }
        frame->pts = next_pts_;
        next_pts_ += frame->nb_samples;
        if (!encode(frame.get(), out)) return false;
    }
}

bool audioTranscoder::encode(const AVFrame* frame, std::vector<packet_ptr>* out) {
    if (avcodec_send_frame(encoder_.get(), frame) < 0) return false;
    for (;;) {
        packet_ptr packet = make_packet();
        if (!packet) return false;
        const int r = avcodec_receive_packet(encoder_.get(), packet.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return false;
        packet->time_base = encoder_->time_base;
        out->push_back(std::move(packet));
    }
}

}  // namespace ff
