#include "mux/mediaMuxer.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/printable.h"
#include "common/streamInfo.h"
#include "common/streamMetadata.h"
#include "debug/std_debug.h"
#include "common/jobContext.h"

extern "C" {
#include <libavcodec/version.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
}

namespace {

// strerror_r comes in two shapes (XSI returns int, GNU returns the text); both end here.
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

std::string lower_extension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos) return std::string();
    std::string extension = path.substr(dot);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

}  // namespace

mediaMuxer::mediaMuxer(job_context& job, const char* path, AVCodecContext* encoder_ctx, AVCodecParameters* audio_par,
                       const AVFormatContext* source, int created_fd, const AVCodecParameters* copy_video_par)
    : common(job), output_path(path != nullptr ? path : "") {
    video_time_base = input_stream_info.video_time_base;
    audio_time_base = input_stream_info.audio_time_base;
    video_stream_index = input_stream_info.video_stream_index;
    audio_stream_index = input_stream_info.audio_stream_index;
    if (created_fd >= 0) output_file.adopt(created_fd, output_path);
    // Without a video encoder (and no stream to copy) there is nothing to write: the encoder
    // has already said why, and that first cause stays the result. The file claimed for this
    // run goes again.
    if (encoder_ctx == nullptr && copy_video_par == nullptr) {
        DEBUG_ERR("No video encoder for the output");
        if (get_result_code() == RESULT_OK) set_result_status(RESULT_ENCODER_ERROR);
        remove_output();
        return;
    }

    // ".mp4" in any letter case is written as an ISO MP4 (brand isom) by the "mp4" muxer; for
    // everything else, ".avi" included, FFmpeg chooses by the file name.
    const std::string extension = lower_extension(output_path);
    is_avi = extension == ".avi";
    const char* format_name = extension == ".mp4" ? "mp4" : nullptr;
    if (avformat_alloc_output_context2(&out_fmt_ctx, nullptr, format_name, output_path.c_str()) < 0 ||
        out_fmt_ctx == nullptr) {
        out_fmt_ctx = nullptr;
        DEBUG_ERR("Could not create output context");
        set_result_status(RESULT_OPEN_OUTPUT_ERROR);
        remove_output();
        return;
    }
    const AVStream* source_video = nullptr;
    const AVStream* source_audio = nullptr;
    if (source != nullptr) {
        // When and where the footage was taken (creation_time, title, location, ...).
        av_dict_copy(&out_fmt_ctx->metadata, source->metadata, 0);
        if (video_stream_index >= 0 && video_stream_index < static_cast<int>(source->nb_streams)) {
            source_video = source->streams[video_stream_index];
        }
        if (audio_stream_index >= 0 && audio_stream_index < static_cast<int>(source->nb_streams)) {
            source_audio = source->streams[audio_stream_index];
        }
    }

    // Video first, then audio: the video stream is output stream 0.
    if (encoder_ctx != nullptr || copy_video_par != nullptr) {
        out_video_stream = avformat_new_stream(out_fmt_ctx, nullptr);
        if (out_video_stream == nullptr) {
            DEBUG_ERR("Failed allocating video stream");
            set_result_status(RESULT_MUXER_ERROR);
            close_output();
            remove_output();
            return;
        }
        const int copied = encoder_ctx != nullptr
                               ? avcodec_parameters_from_context(out_video_stream->codecpar, encoder_ctx)
                               : avcodec_parameters_copy(out_video_stream->codecpar, copy_video_par);
        if (copied < 0) {
            DEBUG_ERR("Failed to copy codec video parameters");
            set_result_status(RESULT_MUXER_ERROR);
        }
        // AVI has no default tag for HEVC that players agree on; "HEVC" is the common one.
        out_video_stream->codecpar->codec_tag =
            (is_avi && out_video_stream->codecpar->codec_id == AV_CODEC_ID_HEVC) ? MKTAG('H', 'E', 'V', 'C') : 0;
        out_video_stream->time_base = video_time_base;
        ff::copy_stream_metadata(source_video, out_video_stream);
    }

    if (audio_par != nullptr && !add_audio_stream(audio_par, source_audio)) {
        DEBUG_ERR("Failed allocating audio stream");
        set_result_status(RESULT_MUXER_ERROR);
        close_output();
        remove_output();
        return;
    }

    if (!(out_fmt_ctx->oformat->flags & AVFMT_NOFILE)) {
        int error = 0;
        if (!output_file.is_open()) {
            // Only ever a new file: an existing file of this name is never opened, let alone
            // truncated.
            const int fd = outputFile::create_exclusive(output_path, nullptr);
            error = fd < 0 ? errno : 0;
            output_file.adopt(fd, output_path);
        }
        out_fmt_ctx->pb = output_file.io();
        if (out_fmt_ctx->pb == nullptr) {
            // The input's name with "_decmosic_" and the time can pass the file system's limit.
            const char* hint =
                error == ENAMETOOLONG ? ": the name is too long for its file system; give another with -o" : "";
            DEBUG_ERR("Could not open output file '%s'%s", printable(output_path).c_str(), hint);
            set_result_status(RESULT_OPEN_OUTPUT_ERROR);
            close_output();
            remove_output();
            return;
        }
        out_fmt_ctx->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    if (is_avi) {
        // A picture's time in AVI is its chunk index; shifting the streams to start at zero
        // would move every picture off its index.
        out_fmt_ctx->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    }

    const int header = avformat_write_header(out_fmt_ctx, nullptr);
    if (header < 0) {
        char text[1024] = {0};
        av_strerror(header, text, sizeof(text));
        DEBUG_ERR("Error occurred when opening output file %s", text);
        set_result_status(RESULT_OPEN_OUTPUT_ERROR);
        // The file was created a moment ago and holds no usable header: take it away again.
        close_output();
        remove_output();
        return;
    }
    if (out_video_stream != nullptr && input_stream_info.avg_frame_rate.num > 0 &&
        input_stream_info.avg_frame_rate.den > 0) {
        video_period = std::max<int64_t>(
            1, av_rescale_q(1, av_inv_q(input_stream_info.avg_frame_rate), out_video_stream->time_base));
    }

    av_dump_format(out_fmt_ctx, 0, output_path.c_str(), 1);

    // is_init is set before the worker starts: the worker looks at it first.
    running = true;
    is_init = true;
    try {
        start_worker([this] { loop_task(); });
    } catch (...) {
        running = false;
        is_init = false;
        close_output();
        remove_output();
        throw;
    }
}

bool mediaMuxer::add_audio_stream(AVCodecParameters* audio_par, const AVStream* source_audio) {
    const AVOutputFormat* format = out_fmt_ctx->oformat;
    const char* container = is_avi ? "AVI" : std::strcmp(format->name, "mp4") == 0 ? "MP4" : format->name;
    const char* input_codec = avcodec_get_name(audio_par->codec_id);
    if (!ff::container_takes_audio(format, audio_par)) {
        auto transcoder = std::make_unique<ff::audioTranscoder>();
        std::string why;
        const AVCodec* encoder = ff::fallback_audio_encoder(format);
        if (!transcoder->open(audio_par, audio_time_base, encoder, (format->flags & AVFMT_GLOBALHEADER) != 0,
                              &why)) {
            DEBUG_WRN("%s audio cannot be stored in %s nor encoded (%s); the output has no audio", input_codec,
                      container, why.c_str());
            return true;
        }
        // (Said at the end, with what came of it.)
        transcoded_audio_note = std::string(input_codec) + " audio cannot be stored in " + container;
        audio_encoder_name = encoder->name;
        audio_transcoder = std::move(transcoder);
    }
    out_audio_stream = avformat_new_stream(out_fmt_ctx, nullptr);
    if (out_audio_stream == nullptr) return false;
    if (audio_transcoder) {
        if (avcodec_parameters_from_context(out_audio_stream->codecpar, audio_transcoder->encoder()) < 0) return false;
        out_audio_stream->time_base = audio_transcoder->time_base();
    } else if (avcodec_parameters_copy(out_audio_stream->codecpar, audio_par) < 0) {
        DEBUG_ERR("Failed to copy codec audio parameters");
        set_result_status(RESULT_MUXER_ERROR);
    }
    out_audio_stream->codecpar->codec_tag = 0;
    if (source_audio != nullptr) {
        av_dict_copy(&out_audio_stream->metadata, source_audio->metadata, 0);
        out_audio_stream->disposition = source_audio->disposition;
    }
    return true;
}

mediaMuxer::~mediaMuxer() {
    if (is_init) {
        // Waits until every queued packet is written (or the run has failed); the worker
        // then writes the trailer and ends.
        stop_worker([this] { return packet_queue.empty(); });
        close_output();
        {
            std::lock_guard<std::mutex> lock(queue_mutex);
            packet_queue.clear();
        }
        if (video_packet_count == 0 && get_result_code() == RESULT_OK) {
            DEBUG_ERR("media Muxer cnt is null");
            set_result_status(RESULT_STREAM_FORMAT_ERROR);
        }
        // Only a run that ended well keeps its file (a cancel after this comes too late).
        if (job.keep_output()) {
            output_file.keep();
        } else {
            remove_output();
        }
    }
    DEBUG_WRN("mediaMuxer destruction succeed");
}

void mediaMuxer::close_output() {
    if (out_fmt_ctx != nullptr) {
        // The I/O context belongs to output_file (custom I/O): the format context only lets go.
        out_fmt_ctx->pb = nullptr;
        avformat_free_context(out_fmt_ctx);
        out_fmt_ctx = nullptr;
        out_video_stream = nullptr;
        out_audio_stream = nullptr;
    }
    if (!output_file.close() && get_result_code() == RESULT_OK) {
        DEBUG_ERR("Error writing output file %s", printable(output_path).c_str());
        set_result_status(RESULT_MUXER_ERROR);
    }
}

void mediaMuxer::remove_output() {
    // Only the file this run created, and only while its name still leads to it.
    if (!output_file.remove()) {
        const int error = errno;
        char buffer[256] = {0};
        DEBUG_WRN("Failed to remove file: %s", error_text(strerror_r(error, buffer, sizeof(buffer)), buffer));
    }
}

bool mediaMuxer::push_data(void* packet) {
    if (bounded_queue) return push_bounded(packet_queue, static_cast<AVPacket*>(packet));
    std::shared_ptr<avPacketDev> holder(new avPacketDev(static_cast<AVPacket*>(packet)));
    if (holder->pkt == nullptr) return false;  // no reference could be taken
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        packet_queue.push_back(std::move(holder));
        data_ready = true;
    }
    queue_cond.notify_one();
    return true;
}

bool mediaMuxer::pop_data(void* packet) { return pop_packet(packet_queue, static_cast<AVPacket*>(packet)); }

void mediaMuxer::loop_task() {
    if (!is_init) return;
    auto working = std::make_shared<avPacketDev>();
    AVPacket* pkt = working->pkt;
    int64_t last_audio_dts = AV_NOPTS_VALUE;
    while (running) {
        if (get_result_code() != RESULT_OK) break;
        if (!pop_data(pkt)) continue;

        if (pkt->stream_index == video_stream_index && out_video_stream != nullptr) {
            const AVRational out_tb = out_video_stream->time_base;
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = av_rescale_q(pkt->pts, video_time_base, out_tb);
            if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = av_rescale_q(pkt->dts, video_time_base, out_tb);
            if (pkt->duration > 0) pkt->duration = av_rescale_q(pkt->duration, video_time_base, out_tb);
            pkt->stream_index = out_video_stream->index;
            ++video_packet_count;
            if (counts_pictures) job.progress.note_picture_written();
            if (!place_video(pkt)) {
                av_packet_unref(pkt);
                break;
            }
        } else if (pkt->stream_index == audio_stream_index && audio_transcoder) {
            const bool written = write_transcoded_audio(pkt);
            av_packet_unref(pkt);
            if (!written) break;
            continue;
        } else if (pkt->stream_index == audio_stream_index && out_audio_stream != nullptr) {
            const AVRational out_tb = out_audio_stream->time_base;
            const auto rounding = static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX);
            if (pkt->pts != AV_NOPTS_VALUE) pkt->pts = av_rescale_q_rnd(pkt->pts, audio_time_base, out_tb, rounding);
            if (pkt->dts != AV_NOPTS_VALUE) pkt->dts = av_rescale_q_rnd(pkt->dts, audio_time_base, out_tb, rounding);
            if (pkt->duration > 0) pkt->duration = av_rescale_q(pkt->duration, audio_time_base, out_tb);
            // Copied audio can repeat a timestamp (AAC in an AVI written audio first, for
            // example), which the muxers refuse: a repeat is moved on to one tick after the
            // last one, so that no audio is lost and the run does not fail on it.
            if (pkt->dts != AV_NOPTS_VALUE) {
                if (last_audio_dts != AV_NOPTS_VALUE && pkt->dts <= last_audio_dts) {
                    pkt->dts = last_audio_dts + 1;
                    if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
                }
                last_audio_dts = pkt->dts;
            }
            pkt->pos = -1;
            pkt->stream_index = out_audio_stream->index;
        } else {
            // Neither the input's video nor its audio stream: no output stream takes it.
            av_packet_unref(pkt);
            continue;
        }

        if (av_interleaved_write_frame(out_fmt_ctx, pkt) < 0) {
            DEBUG_ERR("Error muxing packet");
            set_result_status(RESULT_MUXER_ERROR);
            av_packet_unref(pkt);
            break;
        }
        av_packet_unref(pkt);
    }

    // The encoder's last audio, when the run went well.
    if (audio_transcoder && get_result_code() == RESULT_OK) write_transcoded_audio(nullptr);
    const int trailer = av_write_trailer(out_fmt_ctx);
    if (trailer < 0) {
        char text[1024] = {0};
        av_strerror(trailer, text, sizeof(text));
        DEBUG_ERR("Error writing trailer: %s", text);
        set_result_status(RESULT_MUXER_ERROR);
    }
    if (out_fmt_ctx->pb != nullptr) avio_flush(out_fmt_ctx->pb);
    if (transcoded_audio_packets > 0) {
        DEBUG_WRN("%s; it is encoded to %s", transcoded_audio_note.c_str(), audio_encoder_name.c_str());
    } else if (!transcoded_audio_note.empty()) {
        DEBUG_WRN("%s, and the %s encoder gave nothing for it; the output has no audio", transcoded_audio_note.c_str(),
                  audio_encoder_name.c_str());
    }
    DEBUG_WRN("mediaMuxer loop task end");
}

bool mediaMuxer::place_video(AVPacket* pkt) {
    if (pkt->dts == AV_NOPTS_VALUE) pkt->dts = pkt->pts;
    if (pkt->dts != AV_NOPTS_VALUE) {
        if (last_video_dts != AV_NOPTS_VALUE && pkt->dts <= last_video_dts) {
            // Inputs whose pictures carry no duration repeat their timestamps; the muxers need
            // them strictly increasing, so the picture moves on by one period.
            pkt->dts = last_video_dts + video_period;
            if (pkt->pts == AV_NOPTS_VALUE || pkt->pts < pkt->dts) pkt->pts = pkt->dts;
        }
        // (Bounded: a damaged timestamp must not turn into millions of empty chunks.)
        if (is_avi && last_video_dts == AV_NOPTS_VALUE && pkt->dts > 0 && pkt->dts < (int64_t{1} << 20)) {
            // The AVI muxer fills gaps with empty chunks only after the first chunk; before the
            // first picture they are written here.
            AVPacket* empty = av_packet_alloc();
            if (empty == nullptr) return false;
            for (int64_t index = 0; index < pkt->dts; ++index) {
                empty->stream_index = pkt->stream_index;
                empty->pts = empty->dts = index;
                if (av_interleaved_write_frame(out_fmt_ctx, empty) < 0) {
                    av_packet_free(&empty);
                    DEBUG_ERR("Error muxing packet");
                    set_result_status(RESULT_MUXER_ERROR);
                    return false;
                }
            }
            av_packet_free(&empty);
        }
        last_video_dts = pkt->dts;
    }
    return true;
}

bool mediaMuxer::write_transcoded_audio(const AVPacket* input) {
    std::vector<ff::packet_ptr> encoded;
    if (!audio_transcoder->push(input, &encoded)) {
        // The video matters more than the audio: the rest of the audio is left out.
        DEBUG_WRN("audio encoding failed; the rest of the audio is left out");
        audio_transcoder.reset();
        out_audio_stream = nullptr;
        return true;
    }
    for (ff::packet_ptr& packet : encoded) {
        av_packet_rescale_ts(packet.get(), audio_transcoder->time_base(), out_audio_stream->time_base);
        packet->stream_index = out_audio_stream->index;
        if (av_interleaved_write_frame(out_fmt_ctx, packet.get()) < 0) {
            DEBUG_ERR("Error muxing packet");
            set_result_status(RESULT_MUXER_ERROR);
            return false;
        }
        ++transcoded_audio_packets;
    }
    return true;
}
