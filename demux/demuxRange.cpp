// The demuxer's time range (restore_options from/to): where the reading starts, which packets
// the range keeps, and the times they get. Times are microseconds from the start of the input
// (its container's start time), the scale of --from/--to and of `ffmpeg -ss`.
#include <algorithm>

#include "debug/std_debug.h"
#include "demux/mediaDemuxer.h"

namespace {
// The audio is not waited for once the video has passed the range's end by this much.
constexpr int64_t k_audio_lag = 1000000;

double seconds(int64_t microseconds) { return static_cast<double>(microseconds) / 1e6; }
}  // namespace

int64_t mediaDemuxer::input_time(const AVPacket* packet, bool decode_time) const {
    const int64_t first = decode_time ? packet->dts : packet->pts;
    const int64_t time = first != AV_NOPTS_VALUE ? first : decode_time ? packet->pts : packet->dts;
    if (time == AV_NOPTS_VALUE || packet->stream_index < 0 ||
        packet->stream_index >= static_cast<int>(fmt_ctx->nb_streams)) {
        return AV_NOPTS_VALUE;
    }
    return av_rescale_q(time, fmt_ctx->streams[packet->stream_index]->time_base, AV_TIME_BASE_Q) - timeline_start_;
}

void mediaDemuxer::set_range(int64_t from, int64_t to) {
    if (from < 0 && to < 0) return;
    range_ = range_state();
    range_.active = true;
    range_.from = std::max<int64_t>(from, 0);
    range_.to = to < 0 ? INT64_MAX : to;
    // The default restore shows the picture at `from` at time zero; a lossless restore begins
    // with the key picture before it, whose time is known once it is read.
    range_.offset = (demuxer_type & k_type_copy) ? -1 : range_.from;
    if (fmt_ctx == nullptr) return;
    // For the progress line: the pictures of the range.
    const int64_t end = fmt_ctx->duration > 0 ? std::min(range_.to, fmt_ctx->duration) : range_.to;
    const double rate = av_q2d(input_stream_info.avg_frame_rate);
    if (end != INT64_MAX && end > range_.from && rate > 0) {
        job.progress.set_expected_pictures(static_cast<int64_t>(seconds(end - range_.from) * rate + 0.5));
    }
}

bool mediaDemuxer::range_fits_input() {
    if (!range_.active || fmt_ctx->duration <= 0 || range_.from < fmt_ctx->duration) return true;
    DEBUG_ERR("the range starts at %.3f s, at or past the end of the input (%.3f s)", seconds(range_.from),
              seconds(fmt_ctx->duration));
    set_result_status(RESULT_PARAM_ERROR);
    return false;
}

void mediaDemuxer::seek_to_range_start() {
    if (range_.from <= 0) return;
    const AVStream* video = fmt_ctx->streams[videoStreamIdx];
    // In the stream's own timestamps (a running clock's start included).
    const int64_t target =
        av_rescale_q(range_.from + timeline_start_ + clock_offset_, AV_TIME_BASE_Q, video->time_base);
    const int result = avformat_seek_file(fmt_ctx, videoStreamIdx, INT64_MIN, target, target, 0);
    if (result < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {0};
        av_strerror(result, text, sizeof(text));
        DEBUG_WRN("cannot seek to %.3f s (%s); the input is read from its start", seconds(range_.from), text);
        return;
    }
    if (bsf_ctx != nullptr) av_bsf_flush(bsf_ctx);
}

bool mediaDemuxer::place_in_range(AVPacket* packet) {
    const int64_t at = input_time(packet);
    if (packet->stream_index == videoStreamIdx) {
        // A picture decoded after the end serves nothing in the range: the reading ends
        // there, as `ffmpeg -to` ends a copy. One decoded before it but shown after it (a
        // reference of a reordered picture in the range) is decoded and not shown.
        const int64_t decoded_at = input_time(packet, true);
        if (decoded_at != AV_NOPTS_VALUE) range_.last_video = decoded_at;
        if (decoded_at != AV_NOPTS_VALUE && decoded_at >= range_.to) {
            range_.video_done = true;
            return false;
        }
        if (at == AV_NOPTS_VALUE || at < range_.from || at >= range_.to) packet->flags |= AV_PKT_FLAG_DISCARD;
        if (range_.offset < 0) fix_range_offset(decoded_at != AV_NOPTS_VALUE ? decoded_at : range_.from);
        shift_to_offset(packet);
        return true;
    }
    if (at == AV_NOPTS_VALUE) return false;
    if (at >= range_.to) {
        range_.audio_done = true;
        return false;
    }
    if (range_.offset < 0) {
        if (held_audio_.size() < k_held_audio) {
            auto held = std::make_shared<avPacketDev>(packet);
            if (held->pkt != nullptr) held_audio_.push_back(std::move(held));
            return false;
        }
        fix_range_offset(range_.from);  // no video for that long: the range's start it is
    }
    if (at < range_.offset) return false;
    shift_to_offset(packet);
    return true;
}

void mediaDemuxer::shift_to_offset(AVPacket* packet) const {
    const AVRational base = fmt_ctx->streams[packet->stream_index]->time_base;
    const int64_t shift = av_rescale_q(range_.offset + timeline_start_, AV_TIME_BASE_Q, base);
    if (packet->pts != AV_NOPTS_VALUE) packet->pts -= shift;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts -= shift;
}

void mediaDemuxer::fix_range_offset(int64_t offset) {
    range_.offset = offset;
    std::vector<std::shared_ptr<avPacketDev>> held;
    held.swap(held_audio_);
    for (const auto& holder : held) {
        if (input_time(holder->pkt) < offset || !callbacks[1]) continue;
        shift_to_offset(holder->pkt);
        ++audio_packets_routed;
        callbacks[1](holder->pkt);
    }
}

bool mediaDemuxer::range_finished() const {
    if (!range_.video_done) return false;
    if (audioStreamIdx < 0 || range_.audio_done) return true;
    return range_.last_video != AV_NOPTS_VALUE && range_.last_video - k_audio_lag >= range_.to;
}
