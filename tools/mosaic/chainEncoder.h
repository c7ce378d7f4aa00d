// One encoder chain: libx264 or libx265 with the settings both chains must share so that the
// IDR pictures they make from the same masked picture are identical byte for byte: constant
// quantiser, a fixed pattern of B-frames (none by default), no lookahead, no scene-cut key frames, closed groups
// (unless asked for open ones), forced key pictures and parameter sets in band (no global header).
#pragma once

#include <deque>
#include <string>

#include "tools/mosaic/ffHolders.h"

namespace mosaic {

struct chain_settings {
    int codec_id = AV_CODEC_ID_H264;
    int width = 0;
    int height = 0;
    AVRational time_base{1, 25};   // the input video stream's: pictures keep their timestamps
    AVRational frame_rate{25, 1};
    AVRational sample_aspect_ratio{0, 1};
    AVColorRange color_range = AVCOL_RANGE_UNSPECIFIED;
    AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED;
    AVColorPrimaries color_primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic color_trc = AVCOL_TRC_UNSPECIFIED;
    int gop = 50;
    int bframes = 0;
    int qp = 23;
    std::string preset = "medium";
    int slices = 1;     // slices per picture
    bool cra = false;   // HEVC: open groups, so forced key pictures after the first are CRA
    bool open_gop = false;  // H.264: open groups, so forced key pictures after the first are I pictures
};

class chainEncoder {
public:
    chainEncoder() = default;
    chainEncoder(const chainEncoder&) = delete;
    chainEncoder& operator=(const chainEncoder&) = delete;

    bool open(const chain_settings& settings, std::string* error);

    // Encodes one picture (an IDR picture when force_idr), or with a null frame drains the
    // encoder. Every packet that comes out is appended to ready().
    bool encode(AVFrame* frame, bool force_idr, std::string* error);

    std::deque<packet_ptr>& ready() { return ready_; }
    const AVCodecContext* context() const { return context_.get(); }

private:
    codec_context_ptr context_;
    std::deque<packet_ptr> ready_;
};

}  // namespace mosaic
