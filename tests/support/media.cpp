#include "tests/support/media.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <sstream>

#include "common/common.h"
#include "tests/support/process.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace testsupport {

namespace {

template <class T, void (*Free)(T**)>
struct freer {
    void operator()(T* p) const { Free(&p); }
};
using input_ptr = std::unique_ptr<AVFormatContext, freer<AVFormatContext, avformat_close_input>>;
using codec_ptr = std::unique_ptr<AVCodecContext, freer<AVCodecContext, avcodec_free_context>>;
using bsf_ptr = std::unique_ptr<AVBSFContext, freer<AVBSFContext, av_bsf_free>>;
using packet_ptr = std::unique_ptr<AVPacket, freer<AVPacket, av_packet_free>>;
using frame_ptr = std::unique_ptr<AVFrame, freer<AVFrame, av_frame_free>>;

// The opened input and the index of its first video stream (not a cover picture), or null.
input_ptr open_input(const std::string& path, int* video = nullptr) {
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    input_ptr input(context);
    if (avformat_find_stream_info(context, nullptr) < 0) return nullptr;
    if (video == nullptr) return input;
    for (*video = 0; *video < static_cast<int>(context->nb_streams); ++*video) {
        const AVStream* s = context->streams[*video];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) return input;
    }
    return nullptr;
}

// The luma plane of a decoded picture.
luma_frame take_luma(const AVFrame* frame, AVRational time_base) {
    luma_frame out;
    out.width = frame->width;
    out.height = frame->height;
    out.pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    out.seconds = out.pts == AV_NOPTS_VALUE ? 0 : out.pts * av_q2d(time_base);
    out.luma.resize(static_cast<size_t>(out.width) * out.height);
    // Through swscale whatever the format (8-bit 4:2:0 in, the luma is copied as it is).
    SwsContext* sws = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                     frame->width, frame->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    uint8_t* planes[4] = {nullptr};
    int strides[4] = {0};
    if (sws != nullptr && av_image_alloc(planes, strides, frame->width, frame->height, AV_PIX_FMT_YUV420P, 32) >= 0) {
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
        for (int y = 0; y < out.height; ++y)
            std::memcpy(&out.luma[static_cast<size_t>(y) * out.width], planes[0] + y * strides[0], out.width);
    }
    av_freep(&planes[0]);
    sws_freeContext(sws);
    return out;
}

// Sends one packet (null: drain) and collects the pictures that are ready.
bool decode_into(AVCodecContext* decoder, const AVPacket* packet, AVRational time_base,
                 std::vector<luma_frame>* frames) {
    if (avcodec_send_packet(decoder, packet) < 0) return false;
    frame_ptr frame(av_frame_alloc());
    for (;;) {
        const int r = avcodec_receive_frame(decoder, frame.get());
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return false;
        frames->push_back(take_luma(frame.get(), time_base));
        av_frame_unref(frame.get());
    }
}

}  // namespace

double video_packet::seconds() const {
    const int64_t t = pts != AV_NOPTS_VALUE ? pts : dts;
    return t == AV_NOPTS_VALUE ? NAN : t * av_q2d(time_base);
}

std::vector<stream_summary> probe_streams(const std::string& path) {
    std::vector<stream_summary> streams;
    input_ptr input = open_input(path);
    for (unsigned i = 0; input && i < input->nb_streams; ++i) {
        const AVCodecParameters* p = input->streams[i]->codecpar;
        streams.push_back({static_cast<int>(i), p->codec_type, p->codec_id, p->codec_tag, p->width, p->height,
                           input->streams[i]->time_base});
    }
    return streams;
}

int count_streams(const std::string& path, AVMediaType type) {
    const auto streams = probe_streams(path);
    int count = 0;
    for (const auto& s : streams) count += s.type == type;
    return streams.empty() ? -1 : count;
}

std::vector<std::vector<uint8_t>> parameter_sets(const std::vector<uint8_t>& data, bool hevc) {
    std::vector<std::vector<uint8_t>> sets;
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < data.size(); ++i)
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) starts.push_back(i + 3);
    for (size_t k = 0; k < starts.size(); ++k) {
        // A four-byte start code leaves a zero byte behind the unit before it.
        size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : data.size();
        while (end > starts[k] && data[end - 1] == 0) --end;
        const int type = hevc ? (data[starts[k]] >> 1) & 0x3F : data[starts[k]] & 0x1F;
        if (hevc ? type >= 32 && type <= 34 : type == 7 || type == 8) sets.emplace_back(data.begin() + starts[k], data.begin() + end);
    }
    return sets;
}

bool read_video_packets(const std::string& path, std::vector<video_packet>* packets, int* codec_id) {
    packets->clear();
    int index = -1;
    input_ptr input = open_input(path, &index);
    if (!input) return false;
    const AVStream* stream = input->streams[index];
    const int id = stream->codecpar->codec_id;
    if (codec_id != nullptr) *codec_id = id;
    // H.264 and HEVC go through the Annex B filter as in the restorer; others pass as stored.
    const char* name = id == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : id == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : "null";
    AVBSFContext* context = nullptr;
    if (av_bsf_alloc(av_bsf_get_by_name(name), &context) < 0) return false;
    bsf_ptr filter(context);
    if (avcodec_parameters_copy(context->par_in, stream->codecpar) < 0) return false;
    context->time_base_in = stream->time_base;
    if (av_bsf_init(context) < 0) return false;
    packet_ptr packet(av_packet_alloc());
    for (bool more = true; more;) {
        more = av_read_frame(input.get(), packet.get()) >= 0;
        if (more && packet->stream_index != index) av_packet_unref(packet.get());
        else if (av_bsf_send_packet(context, more ? packet.get() : nullptr) < 0) return false;
        while (av_bsf_receive_packet(context, packet.get()) == 0) {
            packets->push_back({std::vector<uint8_t>(packet->data, packet->data + packet->size), packet->pts,
                                packet->dts, stream->time_base, (packet->flags & AV_PKT_FLAG_KEY) != 0,
                                nal_type_name(packet->data, packet->size, id),
                                (packet->flags & AV_PKT_FLAG_DISCARD) != 0});
            av_packet_unref(packet.get());
        }
    }
    return true;
}

bool decode_video(const std::string& path, std::vector<luma_frame>* frames) {
    frames->clear();
    int index = -1;
    input_ptr input = open_input(path, &index);
    if (!input) return false;
    const AVStream* stream = input->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    codec_ptr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0) return false;
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = 1;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return false;
    packet_ptr packet(av_packet_alloc());
    bool ok = true;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) ok = decode_into(decoder.get(), packet.get(), stream->time_base, frames) && ok;
        av_packet_unref(packet.get());
    }
    return decode_into(decoder.get(), nullptr, stream->time_base, frames) && ok;
}

std::vector<std::string> frame_md5s(const std::string& format, const std::string& path) {
    const std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-f", format, "-i", path, "-map", "0:v",
                                           "-fps_mode", "passthrough", "-f", "framemd5", "-"};
    std::vector<std::string> md5s;
    std::istringstream lines(run(argv).out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') md5s.push_back(line.substr(line.rfind(' ') + 1));
    return md5s;
}

double luma_psnr(const luma_frame& a, const luma_frame& b, const region& area) {
    double squared = 0;
    int64_t count = 0;
    for (int y = area.y; y < area.y + area.h && y < a.height && y < b.height; ++y) {
        for (int x = area.x; x < area.x + area.w && x < a.width && x < b.width; ++x) {
            const double d = static_cast<double>(a.at(x, y)) - b.at(x, y);
            squared += d * d;
            ++count;
        }
    }
    return count == 0 ? 0 : squared == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / (squared / count));
}

}  // namespace testsupport
