#include "encode/videoEncode.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <system_error>

#include "debug/std_debug.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace {

struct codec_context_deleter {
    void operator()(AVCodecContext* ctx) const { avcodec_free_context(&ctx); }
};
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_deleter>;

struct buffer_ref_deleter {
    void operator()(AVBufferRef* ref) const { av_buffer_unref(&ref); }
};
using buffer_ref_ptr = std::unique_ptr<AVBufferRef, buffer_ref_deleter>;

// Owns the option dictionary handed to avcodec_open2 (which may replace it).
struct option_dictionary {
    AVDictionary* dict = nullptr;
    option_dictionary() = default;
    option_dictionary(const option_dictionary&) = delete;
    option_dictionary& operator=(const option_dictionary&) = delete;
    ~option_dictionary() { av_dict_free(&dict); }
};

// The fields every encoder kind is opened with (the colour from the job's stream record). Only
// the software encoder takes the input's level, and only the software and QSV encoders take the private options.
void configure_encoder(AVCodecContext* ctx, const encode_params* p, const input_stream_info_t& input_stream_info,
                       AVPixelFormat pix_fmt, bool with_level, bool with_private_options, bool low_latency = true) {
    ctx->width = p->width;
    ctx->height = p->height;
    ctx->time_base = AVRational{1, p->fps};
    ctx->pix_fmt = pix_fmt;
    ctx->profile = p->profile;
    if (with_level) ctx->level = p->level;
    ctx->field_order = static_cast<AVFieldOrder>(p->field_order);
    // A rate of 1024 bit/s or less means "not given": the encoder's own default applies.
    if (p->bit_rate > 1024) ctx->bit_rate = p->bit_rate;
    ctx->max_b_frames = 0;
    // The input's colour description goes into the stream's VUI and the output container.
    ctx->color_range = input_stream_info.color_range;
    ctx->color_primaries = input_stream_info.color_primaries;
    ctx->color_trc = input_stream_info.color_trc;
    ctx->colorspace = input_stream_info.colorspace;
    if (with_private_options) {
        // Frames reach the encoder with pts in the input's time base while its time base is
        // 1/fps; zerolatency keeps the rate control from depending on that frame timing.
        av_opt_set(ctx->priv_data, "preset", "medium", 0);
        if (low_latency) av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    }
}

// Whether level (as libavcodec gives it: H.264 level_idc, 9 for level 1b; HEVC
// general_level_idc, 30 times the level) is one the codec defines.
bool is_codec_level(int codec_id, int level) {
    static const int h264[] = {9, 10, 11, 12, 13, 20, 21, 22, 30, 31, 32, 40, 41, 42, 50, 51, 52, 60, 61, 62};
    static const int hevc[] = {30, 60, 63, 90, 93, 120, 123, 150, 153, 156, 180, 183, 186};
    if (codec_id == AV_CODEC_ID_H264) return std::find(std::begin(h264), std::end(h264), level) != std::end(h264);
    return std::find(std::begin(hevc), std::end(hevc), level) != std::end(hevc);
}

const char* hardware_encoder_name(int codec_id, const char* h264_name, const char* hevc_name) {
    return codec_id == AV_CODEC_ID_H264 ? h264_name : hevc_name;
}

}  // namespace

videoEncode::videoEncode(job_context& job, int codec_id, const encode_params* params, bool low_latency) : common(job) {
    if (codec_id != AV_CODEC_ID_HEVC && codec_id != AV_CODEC_ID_H264) {
        DEBUG_ERR("videoEncode::videoEncode() codecId error %d", codec_id);
        set_result_status(RESULT_ENCODER_ERROR);
        return;
    }
    output_stream_index = input_stream_info.video_stream_index;
    // Packet length for packets the encoder leaves without one: one picture at the input's
    // frame rate, in the input video stream's time base. Without it the MP4 muxer ends the
    // track's edit list at the last packet's start and players drop the last picture.
    const AVRational rate = input_stream_info.avg_frame_rate;
    if (rate.num > 0 && rate.den > 0 && input_stream_info.video_time_base.num > 0) {
        packet_duration = av_rescale_q(1, av_inv_q(rate), input_stream_info.video_time_base);
    }

    hwType = AV_HWDEVICE_TYPE_NONE;
    bool opened = false;
    if (params != nullptr) {
        if (init_qsv_encoder(codec_id, params)) {
            hwType = AV_HWDEVICE_TYPE_QSV;
            DEBUG_WRN("QSV encoder init succeed");
            opened = true;
        } else if (init_nvenc_encoder(codec_id, params)) {
            hwType = AV_HWDEVICE_TYPE_CUDA;
            DEBUG_WRN("NVENC encoder init succeed");
            opened = true;
        } else if (init_amf_encoder(codec_id, params)) {
            // Only a tag: no DXVA2 device is created for AMF.
            hwType = AV_HWDEVICE_TYPE_DXVA2;
            DEBUG_WRN("AMF encoder init succeed");
            opened = true;
        } else if (init_software_encoder(codec_id, params, low_latency)) {
            DEBUG_WRN("Software encoder init succeed");
            opened = true;
        }
    }
    if (!opened) {
        DEBUG_ERR("Encoder init failed");
        set_result_status(RESULT_ENCODER_ERROR);
        return;
    }

    running = true;
    is_init = true;
    try {
        start_worker([this] { loop_task(); });
    } catch (...) {
        // No worker: leave nothing open behind the exception.
        running = false;
        is_init = false;
        avcodec_free_context(&codec_ctx);
        throw;
    }
}

videoEncode::~videoEncode() {
    // Waits until the worker has taken every queued frame (or the run has failed), then
    // stops and joins it. Does nothing for a stage whose set-up failed.
    stop_worker([this] { return frame_queue.empty(); });
    if (is_init) avcodec_free_context(&codec_ctx);
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        frame_queue.clear();
    }
    DEBUG_WRN("videoEncode destruction succeed");
    enc_frame.reset();
    convertColorSpacePtr.reset();
}

bool videoEncode::push_data(void* frame) { return push_bounded(frame_queue, static_cast<AVFrame*>(frame)); }

bool videoEncode::pop_data(void* frame) { return pop_frame(frame_queue, static_cast<AVFrame*>(frame)); }

int videoEncode::video_enccode_send_data(AVFrame* frame) {
    if (is_init) {
        if (frame == nullptr) {
            DEBUG_ERR("pFrame is null");
            set_result_status(RESULT_ENCODER_ERROR);
            return -1;
        }
        return avcodec_send_frame(codec_ctx, frame);
    }
    DEBUG_WRN("not init finish enccode");
    return -1;
}

int videoEncode::video_enccode_receive_data(AVPacket* packet) {
    if (is_init) {
        if (packet == nullptr) {
            DEBUG_ERR("pEncPkt is null");
            set_result_status(RESULT_ENCODER_ERROR);
            return -1;
        }
        return avcodec_receive_packet(codec_ctx, packet);
    }
    DEBUG_WRN("not init finish enccode");
    return -1;
}

bool videoEncode::init_software_encoder(int codec_id, const encode_params* params, bool low_latency) {
    codec = avcodec_find_encoder(static_cast<AVCodecID>(codec_id));
    if (codec == nullptr) {
        DEBUG_WRN("software Encoder not found");
        return false;
    }
    codec_context_ptr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        DEBUG_WRN("Could not allocate encoder software context");
        return false;
    }
    configure_encoder(ctx.get(), params, input_stream_info, static_cast<AVPixelFormat>(params->pix_fmt), true, true,
                      low_latency);
    // The profile and level come from the input's parameter sets, which may be damaged: a
    // level the codec does not define is left to the encoder (libx264 refuses it, and FFmpeg 5.1
    // does not free what it set up before).
    if (ctx->level != FF_LEVEL_UNKNOWN && !is_codec_level(codec_id, ctx->level)) {
        DEBUG_WRN("the input's level %d is no %s level: the encoder chooses one", ctx->level, avcodec_get_name(codec->id));
        ctx->level = FF_LEVEL_UNKNOWN;
    }
    // Use the machine's cores without holding pictures back: libx264 splits each picture
    // into slices encoded in parallel ("zerolatency" asks for that too, and a thread type of
    // frames would override it); libx265 runs its wavefront thread pool within one picture
    // ("zerolatency" keeps it to one frame thread).
    ctx->thread_count = 0;
    ctx->thread_type = FF_THREAD_SLICE;
    // libx265 prints its set-up and statistics itself, past FFmpeg's log level and past the
    // job's log: when FFmpeg shows warnings and errors only, libx265 is asked for no more
    // either, and in a job that prints nothing, for nothing at all. Otherwise it is left at
    // its own default.
    AVDictionary* quiet = nullptr;
    if (std::strcmp(codec->name, "libx265") == 0 && x265_log_params(ctx->height) != nullptr) {
        av_dict_set(&quiet, "x265-params", x265_log_params(ctx->height), 0);
    }
    AVDictionary* options = nullptr;
    av_dict_copy(&options, quiet, 0);
    int opened = avcodec_open2(ctx.get(), codec, &options);
    av_dict_free(&options);
    if (opened < 0 && ctx->profile != FF_PROFILE_UNKNOWN) {
        // A profile that does not fit the pictures (or the level) is refused: the encoder
        // chooses, on a context of its own, since a failed open leaves the context unusable.
        DEBUG_WRN("the encoder refuses the input's profile %d: it chooses one", ctx->profile);
        codec_context_ptr retry(avcodec_alloc_context3(codec));
        if (retry) {
            configure_encoder(retry.get(), params, input_stream_info, static_cast<AVPixelFormat>(params->pix_fmt),
                              true, true, low_latency);
            retry->level = ctx->level;
            retry->profile = FF_PROFILE_UNKNOWN;
            retry->thread_count = ctx->thread_count;
            retry->thread_type = ctx->thread_type;
            av_dict_copy(&options, quiet, 0);
            opened = avcodec_open2(retry.get(), codec, &options);
            av_dict_free(&options);
            ctx = std::move(retry);
        }
    }
    av_dict_free(&quiet);
    if (opened < 0) {
        DEBUG_WRN("Could not open software encoder");
        return false;
    }
    codec_ctx = ctx.release();
    return true;
}

bool videoEncode::init_qsv_encoder(int codec_id, const encode_params* params) {
    const char* name = hardware_encoder_name(codec_id, "h264_qsv", "hevc_qsv");
    codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return false;
    codec_context_ptr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        DEBUG_WRN("Could not avcode alloc encoder %s", name);
        return false;
    }

    AVBufferRef* created = nullptr;
    if (av_hwdevice_ctx_create(&created, AV_HWDEVICE_TYPE_QSV, nullptr, nullptr, 0) < 0) {
        DEBUG_WRN("Failed to create hardware device %s context", name);
        return false;
    }
    buffer_ref_ptr device(created);
    ctx->hw_device_ctx = av_buffer_ref(device.get());
    if (ctx->hw_device_ctx == nullptr) {
        DEBUG_WRN("Failed to reference hardware device %s context", name);
        return false;
    }
    device.reset();

    configure_encoder(ctx.get(), params, input_stream_info, AV_PIX_FMT_NV12, false, true);
    option_dictionary options;
    av_dict_set(&options.dict, "low_power", "0", 0);
    if (avcodec_open2(ctx.get(), codec, &options.dict) < 0) {
        DEBUG_WRN("Could not open hardware device %s", name);
        return false;
    }
    codec_ctx = ctx.release();
    return true;
}

bool videoEncode::init_nvenc_encoder(int codec_id, const encode_params* params) {
    const char* name = hardware_encoder_name(codec_id, "h264_nvenc", "hevc_nvenc");
    codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return false;
    codec_context_ptr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        DEBUG_WRN("Could not avcode alloc encoder %s", name);
        return false;
    }

    AVBufferRef* created = nullptr;
    if (av_hwdevice_ctx_create(&created, AV_HWDEVICE_TYPE_CUDA, nullptr, nullptr, 0) < 0) {
        DEBUG_WRN("Failed to create hardware device %s context", name);
        return false;
    }
    buffer_ref_ptr device(created);
    buffer_ref_ptr frames(av_hwframe_ctx_alloc(device.get()));
    if (!frames) {
        DEBUG_WRN("Failed to create hardware frame context for %s", name);
        return false;
    }
    // A pool of CUDA surfaces holding NV12 pictures of the encoder's size, growing on demand.
    auto* pool = reinterpret_cast<AVHWFramesContext*>(frames->data);
    pool->format = AV_PIX_FMT_CUDA;
    pool->sw_format = AV_PIX_FMT_NV12;
    pool->width = params->width;
    pool->height = params->height;
    if (av_hwframe_ctx_init(frames.get()) < 0) {
        DEBUG_WRN("Failed to initialize hardware frame context for %s", name);
        return false;
    }
    ctx->hw_device_ctx = av_buffer_ref(device.get());
    ctx->hw_frames_ctx = av_buffer_ref(frames.get());
    if (ctx->hw_device_ctx == nullptr || ctx->hw_frames_ctx == nullptr) {
        DEBUG_WRN("Failed to reference hardware device %s context", name);
        return false;
    }
    frames.reset();
    device.reset();

    configure_encoder(ctx.get(), params, input_stream_info, AV_PIX_FMT_CUDA, false, false);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        DEBUG_WRN("Could not open hardware device %s", name);
        return false;
    }
    codec_ctx = ctx.release();
    return true;
}

bool videoEncode::init_amf_encoder(int codec_id, const encode_params* params) {
    const char* name = hardware_encoder_name(codec_id, "h264_amf", "hevc_amf");
    codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) return false;
    codec_context_ptr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
        DEBUG_WRN("Could not avcode alloc encoder %s", name);
        return false;
    }
    configure_encoder(ctx.get(), params, input_stream_info, AV_PIX_FMT_NV12, false, false);
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
        DEBUG_WRN("Could not open hardware device %s", name);
        return false;
    }
    codec_ctx = ctx.release();
    return true;
}

AVFrame* videoEncode::reference_or_convert(AVFrame* frame) {
    // A frame already in the encoder's format and size goes in as it is (the encoder takes its
    // own reference when it needs one). Any other is converted and scaled to them: an encoder
    // reads a picture of the size it was opened with, whatever the frame says.
    if (frame->format == codec_ctx->pix_fmt && frame->width == codec_ctx->width && frame->height == codec_ctx->height)
        return frame;
    convertColorSpacePtr =
        std::make_shared<convertColorSpace>(frame, codec_ctx->pix_fmt, &scaler, codec_ctx->width, codec_ctx->height);
    return convertColorSpacePtr->is_ok ? convertColorSpacePtr->dst_frame->frame : nullptr;
}

int64_t videoEncode::presentation_time(const AVFrame* frame) {
    int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = frame->pts;
    if (pts == AV_NOPTS_VALUE) pts = frame->pkt_dts;
    if (last_pts != AV_NOPTS_VALUE && (pts == AV_NOPTS_VALUE || pts <= last_pts))
        pts = last_pts + (packet_duration > 0 ? packet_duration : 1);
    if (pts == AV_NOPTS_VALUE) pts = 0;
    last_pts = pts;
    return pts;
}

void videoEncode::note_picture_shape(const AVFrame* frame) {
    if (frame->width == last_width && frame->height == last_height && frame->format == last_format) return;
    if (frame->width != codec_ctx->width || frame->height != codec_ctx->height) {
        DEBUG_WRN("Picture size changed to %dx%d; scaled to the encoder's %dx%d", frame->width, frame->height,
                  codec_ctx->width, codec_ctx->height);
    } else if (last_format >= 0 && frame->format != last_format) {
        const char* from = av_get_pix_fmt_name(static_cast<AVPixelFormat>(last_format));
        const char* to = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
        DEBUG_WRN("Picture format changed from %s to %s", from ? from : "?", to ? to : "?");
    }
    last_width = frame->width;
    last_height = frame->height;
    last_format = frame->format;
}

AVFrame* videoEncode::frame_qsv_process(AVFrame* frame) {
    if (hwType != AV_HWDEVICE_TYPE_QSV) return nullptr;
    return reference_or_convert(frame);
}

AVFrame* videoEncode::frame_amf_process(AVFrame* frame) {
    if (hwType != AV_HWDEVICE_TYPE_DXVA2) return nullptr;
    return reference_or_convert(frame);
}

// The software encoder is opened with the input's pixel format setting (4:2:0, 8 bit);
// 10-bit, 4:2:2, 4:4:4 and grey pictures are converted to it rather than lost.
AVFrame* videoEncode::frame_software_process(AVFrame* frame) {
    if (hwType != AV_HWDEVICE_TYPE_NONE) return nullptr;
    return reference_or_convert(frame);
}

AVFrame* videoEncode::frame_nvenc_process(AVFrame* frame) {
    if (hwType != AV_HWDEVICE_TYPE_CUDA) return nullptr;
    // Every picture goes through NV12 in system memory before the upload, whatever its format.
    convertColorSpacePtr =
        std::make_shared<convertColorSpace>(frame, AV_PIX_FMT_NV12, &scaler, codec_ctx->width, codec_ctx->height);
    AVFrame* nv12 = convertColorSpacePtr->dst_frame ? convertColorSpacePtr->dst_frame->frame : nullptr;
    if (!convertColorSpacePtr->is_ok || nv12 == nullptr) {
        DEBUG_WRN("convertColorSpacePtr failed");
        return nullptr;
    }
    enc_frame = std::make_shared<avFrameDev>();
    AVFrame* surface = enc_frame->frame;
    if (surface == nullptr || av_hwframe_get_buffer(codec_ctx->hw_frames_ctx, surface, 0) < 0) {
        DEBUG_WRN("Failed to get hardware frame buffer");
        return nullptr;
    }
    if (av_hwframe_transfer_data(surface, nv12, 0) < 0) {
        DEBUG_WRN("Error transferring data to CUDA frame");
        return nullptr;
    }
    if (av_frame_copy_props(surface, nv12) < 0) {
        DEBUG_WRN("Error cpoy props data to CUDA frame");
        return nullptr;
    }
    return surface;
}

void videoEncode::loop_task() {
    auto working_frame = std::make_shared<avFrameDev>();
    auto working_packet = std::make_shared<avPacketDev>();
    if (working_frame->frame != nullptr && working_packet->pkt != nullptr) {
        worker_loop([&] { return pop_data(working_frame->frame); },
                    [&] { loop_task(working_frame->frame, working_packet->pkt); },
                    [&] { av_frame_unref(working_frame->frame); },
                    [&] {
                        // End of input: the end-of-stream marker makes the encoder give up
                        // every packet it still holds.
                        if (avcodec_send_frame(codec_ctx, nullptr) >= 0) loop_task(working_packet->pkt);
                    });
    }
    DEBUG_WRN("videoEncode loop task end");
}

void videoEncode::loop_task(AVFrame* frame, AVPacket* packet) {
    // Frames arrive in presentation order, each with the time of the packet it was decoded
    // from (in the input's time base); the encoder keeps that order (no B-frames), so its
    // packets leave with strictly increasing times.
    frame->pts = presentation_time(frame);
    if (frame->width <= 0 || frame->height <= 0) {
        DEBUG_ERR("Picture without a size");
        set_result_status(RESULT_ENCODER_ERROR);
        return;
    }
    note_picture_shape(frame);
    // The picture type the input was coded with is no request to this encoder.
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    AVFrame* prepared = nullptr;
    switch (hwType) {
        case AV_HWDEVICE_TYPE_NONE: prepared = frame_software_process(frame); break;
        case AV_HWDEVICE_TYPE_QSV: prepared = frame_qsv_process(frame); break;
        case AV_HWDEVICE_TYPE_DXVA2: prepared = frame_amf_process(frame); break;
        case AV_HWDEVICE_TYPE_CUDA: prepared = frame_nvenc_process(frame); break;
        default:
            DEBUG_ERR("process hwType not support");
            set_result_status(RESULT_ENCODER_ERROR);
            break;
    }

    // A missing prepared frame is refused here ("pFrame is null"), which fails the run. A
    // picture the encoder refuses would be lost: that fails the run too.
    const int r = video_enccode_send_data(prepared);
    if (r < 0) {
        DEBUG_ERR("Error sending frame to encoder");
        if (get_result_code() == RESULT_OK) set_result_status(RESULT_ENCODER_ERROR);
    } else {
        loop_task(packet);
    }
    // The decoded frame itself is unreferenced by the worker loop.
    if (prepared != nullptr && prepared != frame) av_frame_unref(prepared);
}

void videoEncode::loop_task(AVPacket* packet) {
    for (;;) {
        const int r = video_enccode_receive_data(packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            DEBUG_ERR("Error during encoding");
            if (get_result_code() == RESULT_OK) set_result_status(RESULT_ENCODER_ERROR);
            break;
        }
        packet->stream_index = output_stream_index;
        if (packet->duration <= 0) packet->duration = packet_duration;
        fan_out(packet);
        av_packet_unref(packet);
    }
}

const char* videoEncode::x265_log_params(int height) const {
    // Below 720 lines libx265 turns lookahead slices off with a warning; asking for that
    // directly says the same without the warning.
    const bool small = height < 720;
    if (!job.console()) return small ? "log-level=none:lookahead-slices=0" : "log-level=none";
    if (av_log_get_level() < AV_LOG_INFO) return small ? "log-level=warning:lookahead-slices=0" : "log-level=warning";
    return nullptr;
}
