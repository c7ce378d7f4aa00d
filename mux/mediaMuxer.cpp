#include "mux/mediaMuxer.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "common/streamInfo.h"
#include "debug/std_debug.h"
#include "interface/progress.h"

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

// Thread-sanitised builds only. Packets reach this stage by reference from the encoder's
// worker and the demux loop, and whichever thread drops the last reference frees the
// payload. FFmpeg orders that free after every other holder's reads with an atomic
// reference count inside libavutil, which the sanitiser cannot see because the system
// libraries are not instrumented; without this it reports each such free as a race.
#if defined(__SANITIZE_THREAD__)
#define DEMOSAIC_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DEMOSAIC_THREAD_SANITIZER 1
#endif
#endif
#ifdef DEMOSAIC_THREAD_SANITIZER
// The same holds for pictures a frame-threaded decoder allocates on its own threads: they are
// handed over through libavcodec's uninstrumented progress signalling and freed, through
// av_frame_unref, on the decoder stage's worker; and libx264/libx265 copy those pictures'
// pixels (memcpy from inside the uninstrumented encoder library) without the sanitizer
// having seen that hand-over. The last picture returned to a decoder's buffer pool frees the pool
// on whichever thread returns it, ordered by the same uninstrumented reference count.
//
// From libavcodec 61 (FFmpeg 7) a frame-threaded decoder queues its finished pictures in an
// array that the worker thread grows under its own mutex and avcodec_receive_frame shifts
// after checking an atomic state flag, without taking that mutex: a hand-over the sanitizer
// cannot see, inside the library (whose functions carry no names to suppress by).
#if LIBAVCODEC_VERSION_MAJOR >= 61
#define DEMOSAIC_TSAN_LIBAVCODEC "race:libavcodec.so\n"
#else
#define DEMOSAIC_TSAN_LIBAVCODEC ""
#endif
extern "C" const char* __tsan_default_suppressions() {
    return "race:av_buffer_unref\nrace:av_frame_unref\nrace:av_buffer_pool_uninit\n"
           "called_from_lib:libx265.so\ncalled_from_lib:libx264.so\n" DEMOSAIC_TSAN_LIBAVCODEC;
}
#endif

mediaMuxer::mediaMuxer(const char* path, AVCodecContext* encoder_ctx, AVCodecParameters* audio_par)
    : output_path(path != nullptr ? path : "") {
    video_time_base = input_stream_info.video_time_base;
    audio_time_base = input_stream_info.audio_time_base;
    video_stream_index = input_stream_info.video_stream_index;
    audio_stream_index = input_stream_info.audio_stream_index;

    // ".mp4" in any letter case is written by the "mov" muxer; for everything else, ".avi"
    // included, FFmpeg chooses by the file name.
    const std::string extension = lower_extension(output_path);
    const bool is_avi = extension == ".avi";
    const char* format_name = extension == ".mp4" ? "mov" : nullptr;
    if (avformat_alloc_output_context2(&out_fmt_ctx, nullptr, format_name, output_path.c_str()) < 0 ||
        out_fmt_ctx == nullptr) {
        out_fmt_ctx = nullptr;
        DEBUG_ERR("Could not create output context");
        set_result_status(RESULT_OPEN_OUTPUT_ERROR);
        return;
    }

    // Video first, then audio: the video stream is output stream 0.
    if (encoder_ctx != nullptr) {
        out_video_stream = avformat_new_stream(out_fmt_ctx, nullptr);
        if (out_video_stream == nullptr) {
            DEBUG_ERR("Failed allocating video stream");
            set_result_status(RESULT_MUXER_ERROR);
            close_output();
            return;
        }
        if (avcodec_parameters_from_context(out_video_stream->codecpar, encoder_ctx) < 0) {
            DEBUG_ERR("Failed to copy codec video parameters");
            set_result_status(RESULT_MUXER_ERROR);
        }
        // AVI has no default tag for HEVC that players agree on; "HEVC" is the common one.
        out_video_stream->codecpar->codec_tag =
            (is_avi && encoder_ctx->codec_id == AV_CODEC_ID_HEVC) ? MKTAG('H', 'E', 'V', 'C') : 0;
        out_video_stream->time_base = video_time_base;
    }

    if (audio_par != nullptr) {
        out_audio_stream = avformat_new_stream(out_fmt_ctx, nullptr);
        if (out_audio_stream == nullptr) {
            DEBUG_ERR("Failed allocating audio stream");
            set_result_status(RESULT_MUXER_ERROR);
            close_output();
            return;
        }
        if (avcodec_parameters_copy(out_audio_stream->codecpar, audio_par) < 0) {
            DEBUG_ERR("Failed to copy codec audio parameters");
            set_result_status(RESULT_MUXER_ERROR);
        }
        out_audio_stream->codecpar->codec_tag = 0;
    }

    bool file_created = false;
    if (!(out_fmt_ctx->oformat->flags & AVFMT_NOFILE)) {
        if (avio_open(&out_fmt_ctx->pb, output_path.c_str(), AVIO_FLAG_WRITE) < 0) {
            DEBUG_ERR("Could not open output file '%s'", output_path.c_str());
            set_result_status(RESULT_OPEN_OUTPUT_ERROR);
            close_output();
            return;
        }
        file_created = true;
    }

    const int header = avformat_write_header(out_fmt_ctx, nullptr);
    if (header < 0) {
        char text[1024] = {0};
        av_strerror(header, text, sizeof(text));
        DEBUG_ERR("Error occurred when opening output file %s", text);
        set_result_status(RESULT_OPEN_OUTPUT_ERROR);
        // The file was created a moment ago and holds no usable header: take it away again.
        close_output();
        if (file_created) remove_output();
        return;
    }

    av_dump_format(out_fmt_ctx, 0, output_path.c_str(), 1);

    // is_init is set before the worker starts: the worker looks at it first.
    running = true;
    is_init = true;
    try {
        work_thread = std::thread(&mediaMuxer::loop_task, this);
    } catch (...) {
        running = false;
        is_init = false;
        close_output();
        if (file_created) remove_output();
        throw;
    }
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
        // Only a run that ended well keeps its file.
        if (get_result_code() != RESULT_OK) remove_output();
    }
    DEBUG_WRN("mediaMuxer destruction succeed");
}

void mediaMuxer::close_output() {
    if (out_fmt_ctx == nullptr) return;
    if (!(out_fmt_ctx->oformat->flags & AVFMT_NOFILE)) avio_closep(&out_fmt_ctx->pb);
    avformat_free_context(out_fmt_ctx);
    out_fmt_ctx = nullptr;
    out_video_stream = nullptr;
    out_audio_stream = nullptr;
}

void mediaMuxer::remove_output() {
    if (output_path.empty()) return;
    // unlink, not remove: a directory of that name is never touched.
    if (unlink(output_path.c_str()) != 0) {
        const int error = errno;
        char buffer[256] = {0};
        DEBUG_WRN("Failed to remove file: %s", error_text(strerror_r(error, buffer, sizeof(buffer)), buffer));
    }
}

bool mediaMuxer::push_data(void* packet) {
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
            progress::note_picture_written();
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

    const int trailer = av_write_trailer(out_fmt_ctx);
    if (trailer < 0) {
        char text[1024] = {0};
        av_strerror(trailer, text, sizeof(text));
        DEBUG_ERR("Error writing trailer: %s", text);
        set_result_status(RESULT_MUXER_ERROR);
    }
    if (out_fmt_ctx->pb != nullptr) avio_flush(out_fmt_ctx->pb);
    DEBUG_WRN("mediaMuxer loop task end");
}
