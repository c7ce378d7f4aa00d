#include "tools/mosaic/frameSource.h"

#include <algorithm>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace mosaic {

bool frameSource::open(const std::string& path, std::string* error) {
    AVFormatContext* context = nullptr;
    int r = avformat_open_input(&context, path.c_str(), nullptr, nullptr);
    if (r < 0) {
        *error = "cannot open '" + path + "': " + av_error_text(r);
        return false;
    }
    input_.reset(context);
    r = avformat_find_stream_info(context, nullptr);
    if (r < 0) {
        *error = "cannot read the streams of '" + path + "': " + av_error_text(r);
        return false;
    }
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        const AVMediaType type = stream->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && video_index_ < 0 && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            video_index_ = static_cast<int>(i);
        } else if (type == AVMEDIA_TYPE_AUDIO) {
            audio_streams_.push_back(stream);
        } else {
            ++ignored_streams_;
        }
    }
    if (video_index_ < 0) {
        *error = "'" + path + "' has no video stream";
        return false;
    }
    const AVStream* video = context->streams[video_index_];
    const AVCodec* codec = avcodec_find_decoder(video->codecpar->codec_id);
    if (codec == nullptr) {
        *error = std::string("no decoder for the video codec ") + avcodec_get_name(video->codecpar->codec_id);
        return false;
    }
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_ || avcodec_parameters_to_context(decoder_.get(), video->codecpar) < 0) {
        *error = "cannot set up the video decoder";
        return false;
    }
    decoder_->pkt_timebase = video->time_base;
    r = avcodec_open2(decoder_.get(), codec, nullptr);
    if (r < 0) {
        *error = std::string("cannot open the ") + codec->name + " decoder: " + av_error_text(r);
        return false;
    }
    if (video->avg_frame_rate.num > 0 && video->avg_frame_rate.den > 0) {
        frame_rate_ = video->avg_frame_rate;
    } else if (video->r_frame_rate.num > 0 && video->r_frame_rate.den > 0) {
        frame_rate_ = video->r_frame_rate;
    }
    return true;
}

bool frameSource::is_copied_audio(int stream_index) const {
    for (const AVStream* stream : audio_streams_) {
        if (stream->index == stream_index) return true;
    }
    return false;
}

// Every picture gets a timestamp: the decoder's best guess, or, when it has none, the last
// one plus one picture period.
void frameSource::stamp(AVFrame* frame) {
    int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = frame->pts;
    if (pts == AV_NOPTS_VALUE) {
        const int64_t period = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(frame_rate_), video_stream()->time_base));
        pts = last_pts_ == AV_NOPTS_VALUE ? 0 : last_pts_ + period;
    }
    frame->pts = pts;
    last_pts_ = pts;
}

frameSource::item frameSource::next(AVFrame* frame, AVPacket* audio, std::string* error) {
    for (;;) {
        const int received = avcodec_receive_frame(decoder_.get(), frame);
        if (received == 0) {
            stamp(frame);
            return item::video_frame;
        }
        if (received == AVERROR_EOF) return item::end;
        if (received != AVERROR(EAGAIN)) {
            // A damaged picture: skip it like a player would.
            ++damaged_packets_;
            continue;
        }
        if (draining_) return item::end;

        const int r = av_read_frame(input_.get(), packet_.get());
        if (r < 0) {
            if (r != AVERROR_EOF && !(input_->pb != nullptr && avio_feof(input_->pb))) {
                *error = "cannot read the input: " + av_error_text(r);
                return item::failed;
            }
            draining_ = true;
            avcodec_send_packet(decoder_.get(), nullptr);
            continue;
        }
        if (packet_->stream_index == video_index_) {
            const int sent = avcodec_send_packet(decoder_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (sent < 0 && sent != AVERROR(EAGAIN)) ++damaged_packets_;
            continue;
        }
        if (is_copied_audio(packet_->stream_index)) {
            av_packet_move_ref(audio, packet_.get());
            return item::audio_packet;
        }
        av_packet_unref(packet_.get());
    }
}

}  // namespace mosaic
