// Probing helpers for tests that look inside real media files: the streams of a file, its
// video packets as the restorer sees them (Annex B, named by their first NAL unit), decoded
// pictures with timestamps, and luma PSNR between pictures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/avutil.h>
#include <libavutil/rational.h>
}

namespace testsupport {

struct stream_summary {
    int index = -1;
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    int codec_id = 0;        // AVCodecID
    uint32_t codec_tag = 0;  // as stored in the container (e.g. MKTAG('H','E','V','C'))
    int width = 0;
    int height = 0;
    AVRational time_base{0, 1};
};

// The streams of a file, in index order; empty when it cannot be opened.
std::vector<stream_summary> probe_streams(const std::string& path);

// How many streams of the given type a file has (-1 when it cannot be opened).
int count_streams(const std::string& path, AVMediaType type);

struct video_packet {
    std::vector<uint8_t> data;
    int64_t pts = AV_NOPTS_VALUE;
    int64_t dts = AV_NOPTS_VALUE;
    AVRational time_base{0, 1};
    bool key = false;
    std::string first_nal;  // nal_type_name() of the first NAL unit
    bool discard = false;   // left out of the presentation (an edit list's lead-in)
    // pts in seconds, or dts when the container gives no pts (AVI).
    double seconds() const;
};

// The packets of the first video stream in file order. H.264 and HEVC go through
// "h264_mp4toannexb" / "hevc_mp4toannexb" as the restorer reads them (Annex B input passes
// through unchanged). *codec_id receives the stream's codec. False when the file cannot be read.
bool read_video_packets(const std::string& path, std::vector<video_packet>* packets, int* codec_id = nullptr);

// A decoded picture's luma plane (8 bits; other formats are converted).
struct luma_frame {
    int64_t pts = AV_NOPTS_VALUE;
    double seconds = 0;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> luma;  // width * height bytes
    uint8_t at(int x, int y) const { return luma[static_cast<size_t>(y) * width + x]; }
};

// The parameter-set NAL units (H.264 SPS and PPS, HEVC VPS, SPS and PPS) of an Annex B packet,
// each without its start code, in packet order.
std::vector<std::vector<uint8_t>> parameter_sets(const std::vector<uint8_t>& data, bool hevc);

// Decodes every picture of the first video stream, in presentation order.
bool decode_video(const std::string& path, std::vector<luma_frame>* frames);

struct region {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
};

// The frame checksums ffmpeg's framemd5 gives for the video of a file read as format, in
// decoding output order (pictures an edit list leaves out are not decoded).
std::vector<std::string> frame_md5s(const std::string& format, const std::string& path);

// Luma PSNR in dB of the region between two pictures (99 when identical).
double luma_psnr(const luma_frame& a, const luma_frame& b, const region& area);

}  // namespace testsupport
