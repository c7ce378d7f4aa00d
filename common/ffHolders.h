// Owning smart pointers for the FFmpeg objects both tools work with (one owner per object,
// visible in its type), and a few small helpers around them.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace ff {

struct frame_deleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct packet_deleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct codec_context_deleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct input_context_deleter {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct output_context_deleter {
    void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
struct bsf_deleter {
    void operator()(AVBSFContext* context) const { av_bsf_free(&context); }
};
struct sws_deleter {
    void operator()(SwsContext* context) const { sws_freeContext(context); }
};

using frame_ptr = std::unique_ptr<AVFrame, frame_deleter>;
using packet_ptr = std::unique_ptr<AVPacket, packet_deleter>;
using codec_context_ptr = std::unique_ptr<AVCodecContext, codec_context_deleter>;
using input_context_ptr = std::unique_ptr<AVFormatContext, input_context_deleter>;
using output_context_ptr = std::unique_ptr<AVFormatContext, output_context_deleter>;
using sws_ptr = std::unique_ptr<SwsContext, sws_deleter>;
using bsf_ptr = std::unique_ptr<AVBSFContext, bsf_deleter>;

// The bytes handed to an AVIOContext's write callback: const from libavformat 61 on.
#if LIBAVFORMAT_VERSION_MAJOR < 61
using avio_write_bytes = uint8_t*;
#else
using avio_write_bytes = const uint8_t*;
#endif

inline frame_ptr make_frame() { return frame_ptr(av_frame_alloc()); }
inline packet_ptr make_packet() { return packet_ptr(av_packet_alloc()); }

// FFmpeg's text for an error code.
inline std::string av_error_text(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof(text));
    return text;
}

}  // namespace ff
