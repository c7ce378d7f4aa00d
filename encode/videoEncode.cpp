#include "encode/videoEncode.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>
#include <system_error>

#include "common/pictureGroup.h"
#include "debug/std_debug.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
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

// The lowest HEVC level (times 10, e.g. 31 for 3.1) whose Main tier takes pictures of this size
// at this rate and bit rate (H.265 tables A.8 and A.9); 0 when none does. libx265 picks the
// level from the bit rate itself, so encoders asked for different bit rates would write
// different parameter sets; chunks are all given this one.
int hevc_main_tier_level(int width, int height, int fps, int64_t bit_rate) {
    static const struct { int level; int64_t max_luma_ps, max_luma_sr, max_br; } k_levels[] = {
        {10, 36864, 552960, 128000},          {20, 122880, 3686400, 1500000},
        {21, 245760, 7372800, 3000000},       {30, 552960, 16588800, 6000000},
        {31, 983040, 33177600, 10000000},     {40, 2228224, 66846720, 12000000},
        {41, 2228224, 133693440, 20000000},   {50, 8912896, 267386880, 25000000},
        {51, 8912896, 534773760, 40000000},   {52, 8912896, 1069547520, 60000000},
        {60, 35651584, 1069547520, 60000000}, {61, 35651584, 2139095040, 120000000},
        {62, 35651584, 4278190080, 240000000},
    };
    const int64_t luma_ps = int64_t{width} * height, luma_sr = luma_ps * std::max(1, fps);
    for (const auto& l : k_levels) {
        if (luma_ps <= l.max_luma_ps && luma_sr <= l.max_luma_sr && bit_rate <= l.max_br) return l.level;
    }
    return 0;
}

// Configures and opens ctx as the software encoder. threads 0 lets the encoder spread each
// picture over the machine's cores; a positive count is what each of the encoders that work
// side by side gets. hevc_level (see above) fixes libx265's level in the Main tier; 0 leaves the
// choice to it. Every encoder opened with the same arguments (the bit rate aside, with a fixed
// level) writes the same parameter sets, so that chunks from several of them join into one
// stream.
int open_software_encoder(AVCodecContext* ctx, const AVCodec* codec, const encode_params* params,
                          const input_stream_info_t& input_stream_info, const char* x265_log, bool low_latency,
                          int threads, int hevc_level = 0) {
    configure_encoder(ctx, params, input_stream_info, static_cast<AVPixelFormat>(params->pix_fmt), true, true,
                      low_latency);
    // Use the machine's cores without holding pictures back: libx264 splits each picture
    // into slices encoded in parallel ("zerolatency" asks for that too, and a thread type of
    // frames would override it); libx265 runs its wavefront thread pool within one picture
    // ("zerolatency" keeps it to one frame thread), of the given size.
    ctx->thread_count = threads;
    ctx->thread_type = FF_THREAD_SLICE;
    // libx265 prints its set-up and statistics itself, past FFmpeg's log level and past the
    // job's log: x265_log (videoEncode::x265_log_params) says how much it may, or null to leave
    // it at its own default.
    std::string x265_params;
    const auto x265_param = [&x265_params](const std::string& param) {
        x265_params += (x265_params.empty() ? "" : ":") + param;
    };
    if (x265_log != nullptr) x265_param(x265_log);
    if (threads > 0) x265_param("pools=" + std::to_string(threads));
    if (hevc_level > 0)
        x265_param("level-idc=" + std::to_string(hevc_level / 10) + "." + std::to_string(hevc_level % 10) + ":high-tier=0");
    AVDictionary* options = nullptr;
    if (!x265_params.empty() && std::strcmp(codec->name, "libx265") == 0)
        av_dict_set(&options, "x265-params", x265_params.c_str(), 0);
    const int opened = avcodec_open2(ctx, codec, &options);
    av_dict_free(&options);
    return opened;
}

// One software encoder for one chunk of pictures.
class softwareChunk : public chunkEncoder {
public:
    softwareChunk(codec_context_ptr ctx, ff::packet_ptr packet) : ctx_(std::move(ctx)), packet_(std::move(packet)) {}

    bool encode(AVFrame* frame, const sink& out) override {
        if (avcodec_send_frame(ctx_.get(), frame) < 0) {
            DEBUG_ERR("Error sending frame to encoder");
            return false;
        }
        for (;;) {
            const int r = avcodec_receive_packet(ctx_.get(), packet_.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
            if (r < 0) {
                DEBUG_ERR("Error during encoding");
                return false;
            }
            out(packet_.get());
            av_packet_unref(packet_.get());
        }
    }

private:
    codec_context_ptr ctx_;
    ff::packet_ptr packet_;
};

// The encoder of one chunk, opened like the stage's own but with the threads of the plan and
// rate_scale times the target bit rate.
std::unique_ptr<chunkEncoder> open_chunk_encoder(const AVCodec* codec, encode_params params,
                                                 const input_stream_info_t& input_stream_info, const char* x265_log,
                                                 double rate_scale, bool low_latency, int threads, int hevc_level) {
    if (rate_scale != 1.0) params.bit_rate = std::max<int64_t>(1025, std::llround(params.bit_rate * rate_scale));
    codec_context_ptr ctx(avcodec_alloc_context3(codec));
    ff::packet_ptr packet(av_packet_alloc());
    if (!ctx || !packet ||
        open_software_encoder(ctx.get(), codec, &params, input_stream_info, x265_log, low_latency, threads, hevc_level) <
            0) {
        DEBUG_ERR("Could not open software encoder");
        return nullptr;
    }
    return std::make_unique<softwareChunk>(std::move(ctx), std::move(packet));
}

}  // namespace

videoEncode::videoEncode(job_context& job, int codec_id, const encode_params* params, bool low_latency,
                         const chunk_plan* plan)
    : common(job) {
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
    if (hwType == AV_HWDEVICE_TYPE_NONE) start_chunks(codec_id, &software_params_, low_latency, plan);

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
    pool.reset();
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
    // The profile and level come from the input's parameter sets, which may be damaged: a
    // level the codec does not define is left to the encoder (libx264 refuses it, and FFmpeg 5.1
    // does not free what it set up before). The chunks' encoders are opened with the same.
    encode_params& used = software_params_;
    used = *params;
    if (used.level != FF_LEVEL_UNKNOWN && !is_codec_level(codec_id, used.level)) {
        DEBUG_WRN("the input's level %d is no %s level: the encoder chooses one", used.level, avcodec_get_name(codec->id));
        used.level = FF_LEVEL_UNKNOWN;
    }
    int opened = open_software_encoder(ctx.get(), codec, &used, input_stream_info, x265_log_params(ctx->height),
                                       low_latency, 0);
    if (opened < 0 && used.profile != FF_PROFILE_UNKNOWN) {
        // A profile that does not fit the pictures (or the level) is refused: the encoder
        // chooses, on a context of its own, since a failed open leaves the context unusable.
        DEBUG_WRN("the encoder refuses the input's profile %d: it chooses one", used.profile);
        used.profile = FF_PROFILE_UNKNOWN;
        codec_context_ptr retry(avcodec_alloc_context3(codec));
        if (retry) {
            opened = open_software_encoder(retry.get(), codec, &used, input_stream_info, x265_log_params(retry->height),
                                           low_latency, 0);
            ctx = std::move(retry);
        }
    }
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
                        // every packet it still holds (each chunk's encoder, and then the pool
                        // has handed on every chunk).
                        if (pool) {
                            pool->finish();
                        } else if (avcodec_send_frame(codec_ctx, nullptr) >= 0) {
                            loop_task(working_packet->pkt);
                        }
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
    // The picture type the input was coded with is no request to this encoder, nor is the mark
    // of a group start, which only the chunks act on.
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    const bool opens_group = starts_group(frame);
    mark_group_start(frame, false);
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
    // picture the encoder refuses would be lost: that fails the run too. The pool refuses a
    // picture only once the run has failed, which the result status already says.
    if (pool && prepared != nullptr) {
        pool->add(prepared, opens_group);
    } else if (const int r = video_enccode_send_data(prepared); r < 0) {
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
        hand_on(packet);
        av_packet_unref(packet);
    }
}

void videoEncode::start_chunks(int codec_id, const encode_params* params, bool low_latency, const chunk_plan* plan) {
    const int picture = av_image_get_buffer_size(codec_ctx->pix_fmt, codec_ctx->width, codec_ctx->height, 1);
    const chunk_plan chunks = plan != nullptr ? *plan : plan_chunks(usable_cores(), codec_id, picture);
    if (chunks.instances <= 1) return;
    // The chunks share the target bit rate where a lower rate leaves the parameter sets alone:
    // libx264 takes its level from the input's, never from the rate; libx265 gets the level the
    // target needs (a chunk asked for less stays within it).
    const int hevc_level = std::strcmp(codec->name, "libx265") == 0 && params->bit_rate > 1024
                               ? hevc_main_tier_level(params->width, params->height, params->fps, params->bit_rate)
                               : 0;
    const bool share_rate = params->bit_rate > 1024 && params->fps > 0 &&
                            (std::strcmp(codec->name, "libx264") == 0 || hevc_level > 0);
    // The encoder's own idea of the rate: bits per tick of its time base, one picture.
    const double picture_bits = share_rate ? static_cast<double>(params->bit_rate) / params->fps : 0.0;
    pool.reset(new encoderPool(
        job, chunks, picture_bits,
        [codec = codec, p = *params, info = input_stream_info, x265_log = x265_log_params(params->height), low_latency,
         threads = chunks.threads, hevc_level](double rate_scale) {
            return open_chunk_encoder(codec, p, info, x265_log, rate_scale, low_latency, threads, hevc_level);
        },
        [this](AVPacket* packet) { hand_on(packet); }));
    keep_description_only();
}

void videoEncode::keep_description_only() {
    codec_context_ptr description(avcodec_alloc_context3(codec));
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    if (description && parameters && avcodec_parameters_from_context(parameters, codec_ctx) >= 0 &&
        avcodec_parameters_to_context(description.get(), parameters) >= 0) {
        description->time_base = codec_ctx->time_base;
        description->max_b_frames = codec_ctx->max_b_frames;
        description->flags = codec_ctx->flags;
        avcodec_free_context(&codec_ctx);
        codec_ctx = description.release();
    }
    avcodec_parameters_free(&parameters);
}

void videoEncode::hand_on(AVPacket* packet) {
    packet->stream_index = output_stream_index;
    if (packet->duration <= 0) packet->duration = packet_duration;
    fan_out(packet);
}

const char* videoEncode::x265_log_params(int height) const {
    // Below 720 lines libx265 turns lookahead slices off with a warning; asking for that
    // directly says the same without the warning.
    const bool small = height < 720;
    if (!job.console()) return small ? "log-level=none:lookahead-slices=0" : "log-level=none";
    if (av_log_get_level() < AV_LOG_INFO) return small ? "log-level=warning:lookahead-slices=0" : "log-level=warning";
    return nullptr;
}
