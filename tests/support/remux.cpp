#include "tests/support/remux.h"

#include <cstdio>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace testsupport {

namespace {
struct input_closer {
    void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct output_closer {
    void operator()(AVFormatContext* ctx) const {
        if (ctx->pb != nullptr && !(ctx->oformat->flags & AVFMT_NOFILE)) avio_closep(&ctx->pb);
        avformat_free_context(ctx);
    }
};
struct packet_freer {
    void operator()(AVPacket* pkt) const { av_packet_free(&pkt); }
};
}  // namespace

bool rewrite_video_packets(const std::string& in_path, const std::string& out_path, const packet_editor& edit) {
    AVFormatContext* raw_in = nullptr;
    if (avformat_open_input(&raw_in, in_path.c_str(), nullptr, nullptr) < 0) return false;
    std::unique_ptr<AVFormatContext, input_closer> in(raw_in);
    if (avformat_find_stream_info(in.get(), nullptr) < 0) return false;

    AVFormatContext* raw_out = nullptr;
    if (avformat_alloc_output_context2(&raw_out, nullptr, nullptr, out_path.c_str()) < 0) return false;
    std::unique_ptr<AVFormatContext, output_closer> out(raw_out);
    int video_index = -1;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* source = in->streams[i];
        AVStream* copy = avformat_new_stream(out.get(), nullptr);
        if (copy == nullptr || avcodec_parameters_copy(copy->codecpar, source->codecpar) < 0) return false;
        copy->time_base = source->time_base;
        if (source->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && video_index < 0) video_index = static_cast<int>(i);
    }
    if (avio_open(&out->pb, out_path.c_str(), AVIO_FLAG_WRITE) < 0) return false;
    if (avformat_write_header(out.get(), nullptr) < 0) return false;

    std::unique_ptr<AVPacket, packet_freer> pkt(av_packet_alloc());
    int number = 0;
    bool ok = true;
    while (ok && av_read_frame(in.get(), pkt.get()) >= 0) {
        const int index = pkt->stream_index;
        if (index == video_index) {
            std::vector<uint8_t> data(pkt->data, pkt->data + pkt->size);
            const bool keep = edit(number++, &data);
            if (!keep) {
                av_packet_unref(pkt.get());
                continue;
            }
            AVPacket* edited = av_packet_alloc();
            if (av_new_packet(edited, static_cast<int>(data.size())) < 0) {
                av_packet_free(&edited);
                return false;
            }
            if (!data.empty()) std::copy(data.begin(), data.end(), edited->data);
            av_packet_copy_props(edited, pkt.get());
            av_packet_unref(pkt.get());
            av_packet_move_ref(pkt.get(), edited);
            av_packet_free(&edited);
        }
        av_packet_rescale_ts(pkt.get(), in->streams[index]->time_base, out->streams[index]->time_base);
        pkt->pos = -1;
        ok = av_interleaved_write_frame(out.get(), pkt.get()) >= 0;
        av_packet_unref(pkt.get());
    }
    return av_write_trailer(out.get()) >= 0 && ok;
}

bool split_packet(const std::vector<uint8_t>& data, bool annexb, std::vector<packet_nal>* nals) {
    nals->clear();
    const size_t n = data.size();
    if (annexb) {
        // NAL units begin behind each 00 00 01; zero bytes in front of a start code belong to it.
        std::vector<size_t> begins, code_starts;
        for (size_t i = 0; i + 2 < n; ++i) {
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
                const size_t floor = begins.empty() ? 0 : begins.back();
                size_t code = i;
                while (code > floor && data[code - 1] == 0) --code;
                code_starts.push_back(code);
                begins.push_back(i + 3);
                i += 2;
            }
        }
        for (size_t k = 0; k < begins.size(); ++k) {
            const size_t end = k + 1 < begins.size() ? code_starts[k + 1] : n;
            nals->push_back({std::vector<uint8_t>(data.begin() + begins[k], data.begin() + end)});
        }
        return !begins.empty();
    }
    size_t pos = 0;
    while (pos < n) {
        if (n - pos < 4) return false;
        const size_t length = (size_t(data[pos]) << 24) | (size_t(data[pos + 1]) << 16) |
                              (size_t(data[pos + 2]) << 8) | data[pos + 3];
        pos += 4;
        if (length > n - pos) return false;
        nals->push_back({std::vector<uint8_t>(data.begin() + pos, data.begin() + pos + length)});
        pos += length;
    }
    return true;
}

std::vector<uint8_t> join_packet(const std::vector<packet_nal>& nals, bool annexb) {
    std::vector<uint8_t> data;
    for (const packet_nal& nal : nals) {
        const size_t length = nal.bytes.size();
        if (annexb) {
            data.insert(data.end(), {0, 0, 0, 1});
        } else {
            data.insert(data.end(), {uint8_t(length >> 24), uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)});
        }
        data.insert(data.end(), nal.bytes.begin(), nal.bytes.end());
    }
    return data;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* file = fopen(path.c_str(), "rb")) {
        uint8_t buffer[65536];
        size_t got;
        while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
        fclose(file);
    }
    return bytes;
}

bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

uint64_t file_checksum(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    uint64_t hash = 1469598103934665603ull;
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        for (size_t i = 0; i < got; ++i) hash = (hash ^ buffer[i]) * 1099511628211ull;
    }
    fclose(file);
    return hash;
}

}  // namespace testsupport
