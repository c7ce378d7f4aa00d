// Parameters of the input's video stream, published once per job by the demuxer's
// constructor before any worker starts, then only read (each job holds its own record,
// common/jobContext.h). The first eight fields are what the encoder is configured from
// (encode_params).
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

struct encode_params {
    int32_t width = 0;
    int32_t height = 0;
    int32_t fps = 0;
    int32_t pix_fmt = 0;  // AVPixelFormat; the demuxer leaves it at AV_PIX_FMT_YUV420P
    int64_t bit_rate = 0;
    int32_t profile = 0;
    int32_t level = 0;
    int32_t field_order = 0;  // AVFieldOrder
};

struct input_stream_info_t : encode_params {
    int64_t duration = 0;  // AV_TIME_BASE units
    AVRational video_time_base{0, 1};
    AVRational audio_time_base{0, 1};
    AVRational sample_aspect_ratio{0, 1};
    AVRational avg_frame_rate{0, 1};
    int32_t video_stream_index = 0;
    int32_t audio_stream_index = 0;
    // The video stream's colour description, handed to the encoder and the output stream.
    AVColorRange color_range = AVCOL_RANGE_UNSPECIFIED;
    AVColorPrimaries color_primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic color_trc = AVCOL_TRC_UNSPECIFIED;
    AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
};
