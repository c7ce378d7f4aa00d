#include "tools/mosaic/maskedMuxer.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/streamMetadata.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace mosaic {

maskedMuxer::~maskedMuxer() { discard(); }

// Closes and removes the unfinished temporary file.
void maskedMuxer::discard() {
    if (context_ == nullptr) return;
    if (context_->pb != nullptr) avio_closep(&context_->pb);
    avformat_free_context(context_);
    context_ = nullptr;
    if (!temporary_path_.empty()) std::remove(temporary_path_.c_str());
}

bool maskedMuxer::open(const std::string& path, output_container container, const muxer_video_setup& video,
                       const std::vector<const AVStream*>& audio, std::string* error) {
    path_ = path;
    temporary_path_ = path + ".mosaic-" + std::to_string(getpid()) + ".part";
    const char* format_name = container == output_container::avi ? "avi" : "mp4";
    if (avformat_alloc_output_context2(&context_, nullptr, format_name, temporary_path_.c_str()) < 0 ||
        context_ == nullptr) {
        *error = std::string("cannot create an ") + format_name + " muxer";
        return false;
    }

    video_stream_ = avformat_new_stream(context_, nullptr);
    if (video_stream_ == nullptr || avcodec_parameters_from_context(video_stream_->codecpar, video.encoder) < 0) {
        *error = "out of memory";
        return false;
    }
    AVCodecParameters* par = video_stream_->codecpar;
    // The sample entry (avcC/hvcC) is built from these parameter sets; without them the MP4
    // muxer would not turn the Annex B packets into length-prefixed samples.
    av_freep(&par->extradata);
    par->extradata_size = 0;
    if (!video.extradata.empty()) {
        par->extradata = static_cast<uint8_t*>(av_mallocz(video.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) {
            *error = "out of memory";
            return false;
        }
        std::memcpy(par->extradata, video.extradata.data(), video.extradata.size());
        par->extradata_size = static_cast<int>(video.extradata.size());
    }
    par->codec_tag = 0;
    if (container == output_container::avi && par->codec_id == AV_CODEC_ID_HEVC) {
        par->codec_tag = MKTAG('H', 'E', 'V', 'C');
    }
    par->sample_aspect_ratio = video.sample_aspect_ratio;
    video_stream_->sample_aspect_ratio = video.sample_aspect_ratio;
    video_stream_->avg_frame_rate = video.frame_rate;
    video_time_base_ = video.time_base;
    // AVI counts pictures: its time base must be one picture period, or the muxer fills the
    // gaps between timestamps with empty chunks.
    video_stream_->time_base = container == output_container::avi ? av_inv_q(video.frame_rate) : video.time_base;

    av_dict_copy(&context_->metadata, video.container_tags, 0);
    ff::copy_stream_metadata(video.source, video_stream_);
    avi_ = container == output_container::avi;
    for (const AVStream* input : audio) {
        if (!add_audio(input, avi_ ? "AVI" : "MP4", error)) return false;
    }

    if (container == output_container::avi) {
        // AVI has no negative time: libavformat would shift every stream by the lead of the
        // earliest packet (typically the audio priming), and the video, rounded to whole
        // picture periods, would then lose its source timestamps. Audio chunks are timed by
        // their position in AVI anyway.
        context_->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    }
    int r = avio_open(&context_->pb, temporary_path_.c_str(), AVIO_FLAG_WRITE);
    if (r < 0) {
        *error = "cannot create '" + temporary_path_ + "': " + av_error_text(r);
        temporary_path_.clear();  // nothing was created
        return false;
    }
    r = avformat_write_header(context_, nullptr);
    if (r < 0) {
        *error = std::string("cannot write the ") + format_name + " header: " + av_error_text(r);
        return false;
    }
    header_written_ = true;
    return true;
}

// A copy when the container takes the audio, else encoded to its usual codec; audio that
// can be neither is left out with a warning (the video is never lost over audio).
bool maskedMuxer::add_audio(const AVStream* input, const char* container_name, std::string* error) {
    const std::string what = std::string("the ") + avcodec_get_name(input->codecpar->codec_id) +
                             " audio of stream #" + std::to_string(input->index);
    std::unique_ptr<ff::audioTranscoder> transcoder;
    if (!ff::container_takes_audio(context_->oformat, input->codecpar)) {
        transcoder = std::make_unique<ff::audioTranscoder>();
        const AVCodec* encoder = ff::fallback_audio_encoder(context_->oformat);
        std::string why;
        if (!transcoder->open(input->codecpar, input->time_base, encoder,
                              (context_->oformat->flags & AVFMT_GLOBALHEADER) != 0, &why)) {
            warnings_.push_back(what + " cannot be stored in " + container_name + " nor encoded (" + why +
                                "); it is left out");
            return true;
        }
        warnings_.push_back(what + " cannot be stored in " + container_name + "; it is encoded to " + encoder->name);
    }
    AVStream* stream = avformat_new_stream(context_, nullptr);
    if (stream == nullptr) {
        *error = "out of memory";
        return false;
    }
    const int copied = transcoder ? avcodec_parameters_from_context(stream->codecpar, transcoder->encoder())
                                  : avcodec_parameters_copy(stream->codecpar, input->codecpar);
    if (copied < 0) {
        *error = "out of memory";
        return false;
    }
    stream->codecpar->codec_tag = 0;
    stream->time_base = transcoder ? transcoder->time_base() : input->time_base;
    stream->disposition = input->disposition;
    av_dict_copy(&stream->metadata, input->metadata, 0);
    audio_.push_back({input->index, input->time_base, stream, INT64_MIN, std::move(transcoder)});
    return true;
}

bool maskedMuxer::write(AVPacket* packet, AVStream* stream, AVRational from, int64_t* last_dts,
                        std::string* error) {
    av_packet_rescale_ts(packet, from, stream->time_base);
    packet->stream_index = stream->index;
    // Timestamps rounded to a coarser time base (AVI counts pictures) may collide; the
    // muxers need them strictly increasing.
    if (packet->dts != AV_NOPTS_VALUE && *last_dts != INT64_MIN && packet->dts <= *last_dts) {
        const int64_t shift = *last_dts + 1 - packet->dts;
        packet->dts += shift;
        if (packet->pts != AV_NOPTS_VALUE) packet->pts += shift;
    }
    if (packet->dts != AV_NOPTS_VALUE) *last_dts = packet->dts;
    const int r = av_interleaved_write_frame(context_, packet);
    if (r < 0) {
        *error = "cannot write to the output: " + av_error_text(r);
        return false;
    }
    return true;
}

bool maskedMuxer::write_video(AVPacket* packet, std::string* error) {
    if (avi_) {
        // A picture's time in AVI is its chunk index, and the muxer writes the first chunk at
        // index 0 whatever its timestamp: the pictures count from there, so no empty chunk
        // opens a gap after the first one.
        av_packet_rescale_ts(packet, video_time_base_, video_stream_->time_base);
        if (first_video_dts_ == AV_NOPTS_VALUE) first_video_dts_ = packet->dts != AV_NOPTS_VALUE ? packet->dts : 0;
        if (packet->pts != AV_NOPTS_VALUE) packet->pts -= first_video_dts_;
        if (packet->dts != AV_NOPTS_VALUE) packet->dts -= first_video_dts_;
        return write(packet, video_stream_, video_stream_->time_base, &last_video_dts_, error);
    }
    return write(packet, video_stream_, video_time_base_, &last_video_dts_, error);
}

bool maskedMuxer::write_encoded(audio_route& route, const AVPacket* packet, std::string* error) {
    std::vector<packet_ptr> encoded;
    if (!route.transcoder->push(packet, &encoded)) {
        // The video is never lost over audio: the rest of this stream is left out.
        std::fprintf(stderr, "mosaic: warning: encoding the audio of stream #%d failed; the rest of it is left out\n",
                     route.input_index);
        route.dropped = true;
        route.transcoder.reset();
        return true;
    }
    for (packet_ptr& out : encoded) {
        if (!write(out.get(), route.stream, route.transcoder->time_base(), &route.last_dts, error)) return false;
    }
    return true;
}

bool maskedMuxer::write_audio(AVPacket* packet, std::string* error) {
    for (audio_route& route : audio_) {
        if (route.input_index == packet->stream_index && (route.transcoder || route.dropped)) {
            if (route.dropped) {
                av_packet_unref(packet);
                return true;
            }
            const bool ok = write_encoded(route, packet, error);
            av_packet_unref(packet);
            return ok;
        }
        if (route.input_index == packet->stream_index) {
            return write(packet, route.stream, route.input_time_base, &route.last_dts, error);
        }
    }
    av_packet_unref(packet);
    return true;
}

bool maskedMuxer::finish(std::string* error) {
    if (context_ == nullptr || !header_written_) {
        *error = "the output was never opened";
        return false;
    }
    for (audio_route& route : audio_) {
        if (route.transcoder && !write_encoded(route, nullptr, error)) return false;  // drains the encoder
    }
    int r = av_write_trailer(context_);
    if (r < 0) {
        *error = "cannot finish the output: " + av_error_text(r);
        return false;
    }
    r = avio_closep(&context_->pb);
    if (r < 0) {
        *error = "cannot finish the output: " + av_error_text(r);
        return false;
    }
    if (std::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
        *error = "cannot rename '" + temporary_path_ + "' to '" + path_ + "': " + std::strerror(errno);
        return false;
    }
    temporary_path_.clear();
    avformat_free_context(context_);
    context_ = nullptr;
    return true;
}

}  // namespace mosaic
