#include "tools/mosaic/chainEncoder.h"

extern "C" {
#include <libavutil/opt.h>
}

namespace mosaic {

bool chainEncoder::open(const chain_settings& settings, std::string* error) {
    const bool hevc = settings.codec_id == AV_CODEC_ID_HEVC;
    const char* name = hevc ? "libx265" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (codec == nullptr) {
        *error = std::string("FFmpeg has no ") + name + " encoder";
        return false;
    }
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) {
        *error = "out of memory";
        return false;
    }
    AVCodecContext* c = context_.get();
    c->width = settings.width;
    c->height = settings.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = settings.time_base;
    c->framerate = settings.frame_rate;
    c->sample_aspect_ratio = settings.sample_aspect_ratio;
    c->color_range = settings.color_range;
    c->colorspace = settings.colorspace;
    c->color_primaries = settings.color_primaries;
    c->color_trc = settings.color_trc;
    c->gop_size = settings.gop;
    c->keyint_min = settings.gop;
    // B-frames in a fixed pattern (no adaptive decision, no pyramid): the frame types depend
    // only on the picture's place, so both chains code every picture with the same type.
    c->max_b_frames = settings.bframes;
    // No AV_CODEC_FLAG_GLOBAL_HEADER: the encoders then repeat the parameter sets before
    // every IDR picture, inside the picture's own access unit.

    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", settings.preset.c_str(), 0);
    av_dict_set_int(&options, "qp", settings.qp, 0);
    // A forced key picture is an IDR picture, or with cra (open groups, no forced IDR) a CRA
    // picture once the first IDR picture is out.
    const bool cra = hevc && settings.cra;
    // Likewise with open_gop for H.264: libx264 then makes forced key pictures after the first
    // I pictures with a recovery point SEI.
    const bool open_gop = !hevc && settings.open_gop;
    av_dict_set(&options, "forced-idr", cra || open_gop ? "0" : "1", 0);
    const std::string slices = settings.slices > 1 ? ":slices=" + std::to_string(settings.slices) : "";
    if (hevc) {
        // Small CTUs give small pictures enough CTU rows for their slices; libx265 needs a
        // lookahead longer than the B-frame run.
        const std::string b = std::to_string(settings.bframes);
        std::string params = "bframes=" + b + ":b-adapt=0:b-pyramid=0:scenecut=0:rc-lookahead=" +
                             std::to_string(settings.bframes > 0 ? settings.bframes + 1 : 0) +
                             ":open-gop=" + (cra ? "1" : "0") + ":keyint=" + std::to_string(settings.gop) +
                             ":min-keyint=" + std::to_string(settings.gop) +
                             ":repeat-headers=1:annexb=1:log-level=error" + slices;
        if (settings.slices > 1) params += ":ctu=16";
        av_dict_set(&options, "x265-params", params.c_str(), 0);
    } else {
        const std::string params = "bframes=" + std::to_string(settings.bframes) +
                                   ":b-adapt=0:b-pyramid=none:rc-lookahead=0:scenecut=0:intra-refresh=0:open-gop=" +
                                   (open_gop ? "1" : "0") +
                                   slices;
        av_dict_set(&options, "x264-params", params.c_str(), 0);
    }
    const int r = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (r < 0) {
        *error = std::string("cannot open ") + name + " for " + std::to_string(settings.width) + "x" +
                 std::to_string(settings.height) + ": " + av_error_text(r);
        return false;
    }
    return true;
}

bool chainEncoder::encode(AVFrame* frame, bool force_idr, std::string* error) {
    if (frame != nullptr) frame->pict_type = force_idr ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int r = avcodec_send_frame(context_.get(), frame);
    if (r < 0) {
        *error = "the encoder refused a picture: " + av_error_text(r);
        return false;
    }
    for (;;) {
        packet_ptr packet = make_packet();
        if (!packet) {
            *error = "out of memory";
            return false;
        }
        r = avcodec_receive_packet(context_.get(), packet.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) {
            *error = "the encoder failed: " + av_error_text(r);
            return false;
        }
        ready_.push_back(std::move(packet));
    }
}

}  // namespace mosaic
