#include "tests/support/remux.h"

#include <cstdio>
#include <fstream>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace testsupport {

bool rewrite_video_packets(const std::string& in_path, const std::string& out_path, const packet_editor& edit) {
    AVFormatContext *raw_in = nullptr, *raw_out = nullptr;
    if (avformat_open_input(&raw_in, in_path.c_str(), nullptr, nullptr) < 0) return false;
    const auto close_input = [](AVFormatContext* ctx) { avformat_close_input(&ctx); };
    const auto close_output = [](AVFormatContext* ctx) { avio_closep(&ctx->pb), avformat_free_context(ctx); };
    const auto free_packet = [](AVPacket* pkt) { av_packet_free(&pkt); };
    std::unique_ptr<AVFormatContext, decltype(close_input)> in(raw_in, close_input);
    if (avformat_find_stream_info(in.get(), nullptr) < 0 ||
        avformat_alloc_output_context2(&raw_out, nullptr, nullptr, out_path.c_str()) < 0)
        return false;
    std::unique_ptr<AVFormatContext, decltype(close_output)> out(raw_out, close_output);
    const int video_index = av_find_best_stream(in.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    for (unsigned i = 0; i < in->nb_streams; ++i) {
        AVStream* copy = avformat_new_stream(out.get(), nullptr);
        if (copy == nullptr || avcodec_parameters_copy(copy->codecpar, in->streams[i]->codecpar) < 0) return false;
        copy->time_base = in->streams[i]->time_base;
    }
    if (avio_open(&out->pb, out_path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(out.get(), nullptr) < 0)
        return false;
    std::unique_ptr<AVPacket, decltype(free_packet)> pkt(av_packet_alloc(), free_packet);
    int number = 0;
    bool ok = true;
    while (ok && av_read_frame(in.get(), pkt.get()) >= 0) {
        const int index = pkt->stream_index;
        if (index == video_index) {
            std::vector<uint8_t> data(pkt->data, pkt->data + pkt->size);
            if (!edit(number++, &data) || av_packet_make_writable(pkt.get()) < 0) {
                av_packet_unref(pkt.get());
                continue;
            }
            const int size = static_cast<int>(data.size());
            if (size > pkt->size) ok = av_grow_packet(pkt.get(), size - pkt->size) >= 0;
            else av_shrink_packet(pkt.get(), size);
            if (ok && !data.empty()) std::copy(data.begin(), data.end(), pkt->data);
        }
        av_packet_rescale_ts(pkt.get(), in->streams[index]->time_base, out->streams[index]->time_base);
        pkt->pos = -1;
        ok = ok && av_interleaved_write_frame(out.get(), pkt.get()) >= 0;
        av_packet_unref(pkt.get());
    }
    return av_write_trailer(out.get()) >= 0 && ok;
}

bool split_packet(const std::vector<uint8_t>& data, bool annexb, std::vector<packet_nal>* nals) {
    nals->clear();
    const size_t n = data.size(), none = std::string::npos;
    if (annexb) {
        // NAL units begin behind each 00 00 01; zero bytes in front of a start code belong to it.
        size_t begin = none;
        for (size_t i = 0; i + 2 < n; ++i) {
            if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
            size_t code = i;
            while (code > (begin == none ? 0 : begin) && data[code - 1] == 0) --code;
            if (begin != none) nals->push_back({std::vector<uint8_t>(data.begin() + begin, data.begin() + code)});
            begin = i + 3;
            i += 2;
        }
        if (begin != none) nals->push_back({std::vector<uint8_t>(data.begin() + begin, data.end())});
        return begin != none;
    }
    size_t pos = 0;
    for (size_t length = 0; pos + 4 <= n; pos += 4 + length) {
        length = (size_t(data[pos]) << 24) | (size_t(data[pos + 1]) << 16) | (size_t(data[pos + 2]) << 8) | data[pos + 3];
        if (length > n - pos - 4) return false;
        nals->push_back({std::vector<uint8_t>(data.begin() + pos + 4, data.begin() + pos + 4 + length)});
    }
    return pos == n;
}

std::vector<uint8_t> join_packet(const std::vector<packet_nal>& nals, bool annexb) {
    std::vector<uint8_t> data;
    for (const packet_nal& nal : nals) {
        const uint32_t prefix = annexb ? 1 : uint32_t(nal.bytes.size());  // 00 00 00 01 or the length
        for (int shift = 24; shift >= 0; shift -= 8) data.push_back(uint8_t(prefix >> shift));
        data.insert(data.end(), nal.bytes.begin(), nal.bytes.end());
    }
    return data;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    if (FILE* file = fopen(path.c_str(), "rb")) {  // a folder opens but reads nothing
        uint8_t buffer[65536];
        for (size_t got; (got = fread(buffer, 1, sizeof(buffer), file)) > 0;) bytes.insert(bytes.end(), buffer, buffer + got);
        fclose(file);
    }
    return bytes;
}

bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

uint64_t file_checksum(const std::string& path) {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a 64
    for (uint8_t byte : read_bytes(path)) hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

}  // namespace testsupport
