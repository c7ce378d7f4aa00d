#include "tests/support/media.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "common/common.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace testsupport {

namespace {

struct input_closer {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct codec_freer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct bsf_freer {
    void operator()(AVBSFContext* c) const { av_bsf_free(&c); }
};
struct packet_freer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct frame_freer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using input_ptr = std::unique_ptr<AVFormatContext, input_closer>;
using codec_ptr = std::unique_ptr<AVCodecContext, codec_freer>;
using bsf_ptr = std::unique_ptr<AVBSFContext, bsf_freer>;
using packet_ptr = std::unique_ptr<AVPacket, packet_freer>;
using frame_ptr = std::unique_ptr<AVFrame, frame_freer>;

input_ptr open_input(const std::string& path) {
    AVFormatContext* context = nullptr;
    if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) < 0) return nullptr;
    input_ptr input(context);
    if (avformat_find_stream_info(context, nullptr) < 0) return nullptr;
    return input;
}

int first_video_stream(const AVFormatContext* context) {
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream* stream = context->streams[i];
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// Takes the luma plane of a decoded picture, converting formats that are not 8-bit planar YUV.
luma_frame take_luma(const AVFrame* frame, AVRational time_base) {
    luma_frame out;
    out.width = frame->width;
    out.height = frame->height;
    out.pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    out.seconds = out.pts == AV_NOPTS_VALUE ? 0 : out.pts * av_q2d(time_base);
    out.luma.resize(static_cast<size_t>(out.width) * out.height);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const bool planar_8bit_yuv = d != nullptr && !(d->flags & AV_PIX_FMT_FLAG_RGB) &&
                                 (d->flags & AV_PIX_FMT_FLAG_PLANAR) && d->comp[0].depth == 8 && d->comp[0].plane == 0;
    if (planar_8bit_yuv) {
        for (int y = 0; y < out.height; ++y) {
            std::memcpy(&out.luma[static_cast<size_t>(y) * out.width], frame->data[0] + y * frame->linesize[0],
                        out.width);
        }
        return out;
    }
    SwsContext* sws = sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                     frame->width, frame->height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                     nullptr);
    uint8_t* planes[4] = {nullptr};
    int strides[4] = {0};
    if (sws != nullptr && av_image_alloc(planes, strides, frame->width, frame->height, AV_PIX_FMT_YUV420P, 32) >= 0) {
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides);
        for (int y = 0; y < out.height; ++y) {
            std::memcpy(&out.luma[static_cast<size_t>(y) * out.width], planes[0] + y * strides[0], out.width);
        }
        av_freep(&planes[0]);
    }
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

codec_ptr open_decoder(int codec_id, const AVCodecParameters* parameters, AVRational time_base) {
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(codec_id));
    if (codec == nullptr) return nullptr;
    codec_ptr decoder(avcodec_alloc_context3(codec));
    if (!decoder) return nullptr;
    if (parameters != nullptr && avcodec_parameters_to_context(decoder.get(), parameters) < 0) return nullptr;
    decoder->pkt_timebase = time_base;
    decoder->thread_count = 1;
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return nullptr;
    return decoder;
}

}  // namespace

double video_packet::seconds() const {
    const int64_t t = pts != AV_NOPTS_VALUE ? pts : dts;
    return t == AV_NOPTS_VALUE ? NAN : t * av_q2d(time_base);
}

std::vector<stream_summary> probe_streams(const std::string& path) {
    std::vector<stream_summary> streams;
    input_ptr input = open_input(path);
    if (!input) return streams;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* s = input->streams[i];
        stream_summary summary;
        summary.index = static_cast<int>(i);
        summary.type = s->codecpar->codec_type;
        summary.codec_id = s->codecpar->codec_id;
        summary.codec_tag = s->codecpar->codec_tag;
        summary.width = s->codecpar->width;
        summary.height = s->codecpar->height;
        summary.time_base = s->time_base;
        streams.push_back(summary);
    }
    return streams;
}

int count_streams(const std::string& path, AVMediaType type) {
    input_ptr input = open_input(path);
    if (!input) return -1;
    int count = 0;
    for (unsigned i = 0; i < input->nb_streams; ++i) count += input->streams[i]->codecpar->codec_type == type;
    return count;
}

bool read_video_packets(const std::string& path, std::vector<video_packet>* packets, int* codec_id) {
    packets->clear();
    input_ptr input = open_input(path);
    if (!input) return false;
    const int index = first_video_stream(input.get());
    if (index < 0) return false;
    const AVStream* stream = input->streams[index];
    const int id = stream->codecpar->codec_id;
    if (codec_id != nullptr) *codec_id = id;

    bsf_ptr filter;
    const char* filter_name = id == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : id == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : nullptr;
    if (filter_name != nullptr) {
        AVBSFContext* context = nullptr;
        if (av_bsf_alloc(av_bsf_get_by_name(filter_name), &context) < 0) return false;
        filter.reset(context);
        if (avcodec_parameters_copy(context->par_in, stream->codecpar) < 0) return false;
        context->time_base_in = stream->time_base;
        if (av_bsf_init(context) < 0) return false;
    }

    packet_ptr packet(av_packet_alloc());
    auto keep = [&](const AVPacket* p) {
        video_packet out;
        out.data.assign(p->data, p->data + p->size);
        out.pts = p->pts;
        out.dts = p->dts;
        out.time_base = stream->time_base;
        out.key = (p->flags & AV_PKT_FLAG_KEY) != 0;
        out.first_nal = nal_type_name(p->data, p->size, id);
        packets->push_back(std::move(out));
    };
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index != index) {
            av_packet_unref(packet.get());
            continue;
        }
        if (!filter) {
            keep(packet.get());
            av_packet_unref(packet.get());
            continue;
        }
        if (av_bsf_send_packet(filter.get(), packet.get()) < 0) return false;
        while (av_bsf_receive_packet(filter.get(), packet.get()) == 0) {
            keep(packet.get());
            av_packet_unref(packet.get());
        }
    }
    if (filter) {
        av_bsf_send_packet(filter.get(), nullptr);
        while (av_bsf_receive_packet(filter.get(), packet.get()) == 0) {
            keep(packet.get());
            av_packet_unref(packet.get());
        }
    }
    return true;
}

std::vector<nal_unit> split_nal_units(const uint8_t* data, size_t size, int codec_id) {
    std::vector<nal_unit> units;
    auto find = [&](size_t from) {
        for (size_t i = from; i + 3 <= size; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
        }
        return size;
    };
    size_t code = find(0);
    while (code < size) {
        nal_unit unit;
        unit.start_code = code > 0 && data[code - 1] == 0 ? code - 1 : code;
        unit.begin = code + 3;
        const size_t next = find(unit.begin);
        unit.end = next;
        while (unit.end > unit.begin && data[unit.end - 1] == 0) --unit.end;
        if (unit.end > unit.begin) {
            const uint8_t header = data[unit.begin];
            unit.type = codec_id == AV_CODEC_ID_HEVC ? (header >> 1) & 0x3F : header & 0x1F;
            units.push_back(unit);
        }
        code = next;
    }
    return units;
}

bool decode_video(const std::string& path, std::vector<luma_frame>* frames) {
    frames->clear();
    input_ptr input = open_input(path);
    if (!input) return false;
    const int index = first_video_stream(input.get());
    if (index < 0) return false;
    const AVStream* stream = input->streams[index];
    codec_ptr decoder = open_decoder(stream->codecpar->codec_id, stream->codecpar, stream->time_base);
    if (!decoder) return false;
    packet_ptr packet(av_packet_alloc());
    bool ok = true;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == index) ok = decode_into(decoder.get(), packet.get(), stream->time_base, frames) && ok;
        av_packet_unref(packet.get());
    }
    return decode_into(decoder.get(), nullptr, stream->time_base, frames) && ok;
}

bool decode_annexb_packets(int codec_id, const std::vector<video_packet>& packets, std::vector<luma_frame>* frames) {
    frames->clear();
    if (packets.empty()) return true;
    const AVRational time_base = packets.front().time_base;
    codec_ptr decoder = open_decoder(codec_id, nullptr, time_base);
    if (!decoder) return false;
    packet_ptr packet(av_packet_alloc());
    bool ok = true;
    for (const video_packet& in : packets) {
        if (av_new_packet(packet.get(), static_cast<int>(in.data.size())) < 0) return false;
        std::memcpy(packet->data, in.data.data(), in.data.size());
        // The picture keeps the timestamp of the packet it came from (AVI gives only dts).
        packet->pts = in.pts != AV_NOPTS_VALUE ? in.pts : in.dts;
        packet->dts = packet->pts;
        ok = decode_into(decoder.get(), packet.get(), time_base, frames) && ok;
        av_packet_unref(packet.get());
    }
    return decode_into(decoder.get(), nullptr, time_base, frames) && ok;
}

double luma_psnr(const luma_frame& a, const luma_frame& b, const region& area) {
    double squared = 0;
    int64_t count = 0;
    for (int y = area.y; y < area.y + area.h; ++y) {
        if (y >= a.height || y >= b.height) break;
        for (int x = area.x; x < area.x + area.w; ++x) {
            if (x >= a.width || x >= b.width) break;
            const double d = static_cast<double>(a.at(x, y)) - b.at(x, y);
            squared += d * d;
            ++count;
        }
    }
    if (count == 0) return 0;
    if (squared == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 / (squared / count));
}

}  // namespace testsupport
