#include "mux/streamCopy.h"

#include <cstring>
#include <memory>

#include "common/pictureCounts.h"
#include "debug/std_debug.h"

// No codec and no worker thread: the stage is ready as soon as it is built.
streamCopy::streamCopy(job_context& job, int codec_id, bool length_prefixed)
    : common(job), codec_id_(codec_id), length_prefixed_(length_prefixed) { is_init = true; }

bool streamCopy::is_length_prefixed_config(const uint8_t* extradata, int size) {
    return extradata != nullptr && size > 3 && (extradata[0] != 0 || extradata[1] != 0 || extradata[2] > 1);
}

std::vector<std::pair<size_t, size_t>> streamCopy::split_annexb(const uint8_t* data, size_t size) {
    std::vector<std::pair<size_t, size_t>> nals;
    if (data == nullptr) return nals;
    size_t begin = 0;
    bool inside = false;
    size_t i = 0;
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            if (inside) nals.emplace_back(begin, i);
            begin = i + 3;
            inside = true;
            i += 3;
        } else {
            // A start code cannot begin here unless this byte or the next is zero.
            i += data[i + 2] > 1 ? 3 : 1;
        }
    }
    if (inside) nals.emplace_back(begin, size);
    // Zero bytes in front of a start code (the fourth byte of a long start code, trailing
    // zeros) belong to no NAL unit, whose last byte is never zero.
    for (auto& nal : nals) {
        while (nal.second > nal.first && data[nal.second - 1] == 0) --nal.second;
    }
    std::vector<std::pair<size_t, size_t>> kept;
    for (const auto& nal : nals) {
        if (nal.second > nal.first) kept.push_back(nal);
    }
    return kept;
}

bool streamCopy::is_slice(const uint8_t* nal, size_t size, int codec_id) {
    if (nal == nullptr || size < 2 || (nal[0] & 0x80) != 0) return false;  // forbidden_zero_bit
    if (codec_id == AV_CODEC_ID_H264) {
        // Non-IDR and IDR slices; the data-partition types only exist in the extended
        // profile, which no encoder of ours writes and FFmpeg does not decode.
        const int type = nal[0] & 0x1F;
        return type == 1 || type == 5;
    }
    if (codec_id == AV_CODEC_ID_HEVC) {
        // VCL types 0-9 and 16-21 (the others are reserved), base layer, temporal id + 1 > 0.
        const int type = (nal[0] >> 1) & 0x3F;
        const int layer = ((nal[0] & 1) << 5) | (nal[1] >> 3);
        const int temporal_id_plus1 = nal[1] & 7;
        return ((type <= 9) || (type >= 16 && type <= 21)) && layer == 0 && temporal_id_plus1 > 0;
    }
    return false;
}

bool streamCopy::push_data(void* packet) {
    push_packet(static_cast<const AVPacket*>(packet), nullptr);
    return true;
}

void streamCopy::push_packet(const AVPacket* packet, const AVPacket* source) {
    if (packet == nullptr || packet->data == nullptr || packet->size <= 0) return;
    const bool hidden = source == nullptr || source->size != packet->size ||
                        std::memcmp(source->data, packet->data, static_cast<size_t>(packet->size)) != 0;
    const auto nals = split_annexb(packet->data, static_cast<size_t>(packet->size));
    bool has_slice = false;
    for (const auto& nal : nals) has_slice = has_slice || is_slice(packet->data + nal.first, nal.second - nal.first, codec_id_);
    // The privacy step also forwards the parameter sets of an access unit whose picture it
    // dropped (new bytes, but no picture): they wait for the next picture like any others.
    bool only_parameter_sets = !nals.empty();
    for (const auto& nal : nals) {
        const uint8_t header = packet->data[nal.first];
        const int type = codec_id_ == AV_CODEC_ID_H264 ? (header & 0x1F) : ((header >> 1) & 0x3F);
        const bool parameter_set = codec_id_ == AV_CODEC_ID_H264 ? (type == 7 || type == 8) : (type >= 32 && type <= 34);
        only_parameter_sets = only_parameter_sets && nal.second > nal.first && parameter_set;
    }
    if (hidden && !has_slice && !only_parameter_sets) {
        DEBUG_WRN("decrypted picture of %d bytes holds no %s slice: dropped", packet->size,
                  avcodec_get_name(static_cast<AVCodecID>(codec_id_)));
        return;
    }
    if (!has_slice) {
        const size_t size = static_cast<size_t>(packet->size);
        if (pending_.size() + size > k_max_waiting_bytes) {
            // A newer parameter set of an id replaces the older one: the newest are what the
            // next picture needs.
            if (!noted_waiting_) {
                noted_waiting_ = true;
                DEBUG_WRN("parameter sets of more than %zu bytes wait for a picture: the older ones are left out "
                          "(further ones are not logged)",
                          k_max_waiting_bytes);
            }
            pending_.clear();
            if (size > k_max_waiting_bytes) return;
        }
        pending_.insert(pending_.end(), packet->data, packet->data + packet->size);
        return;
    }

    out_.clear();
    if (length_prefixed_) {
        const auto pending_nals = split_annexb(pending_.data(), pending_.size());
        auto append = [this](const uint8_t* nal, size_t size) {
            const uint8_t length[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
            out_.insert(out_.end(), length, length + 4);
            out_.insert(out_.end(), nal, nal + size);
        };
        for (const auto& nal : pending_nals) append(pending_.data() + nal.first, nal.second - nal.first);
        for (const auto& nal : nals) append(packet->data + nal.first, nal.second - nal.first);
    } else {
        out_ = pending_;
        out_.insert(out_.end(), packet->data, packet->data + packet->size);
    }
    pending_.clear();
    if (out_.size() > INT32_MAX) return;

    auto holder = std::make_shared<avPacketDev>(out_.data(), static_cast<int32_t>(out_.size()));
    if (holder->pkt == nullptr) return;  // no memory for the copy: the picture is dropped
    AVPacket* copy = holder->pkt;
    // AVI stores no presentation times: its packets come with a decode time alone, which is
    // also their presentation time (the muxers warn about a packet without one).
    copy->pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    copy->dts = packet->dts;
    copy->stream_index = packet->stream_index;
    copy->flags = packet->flags;
    // A picture without a duration (B-frame MP4s, MPEG-TS content) lasts one picture period:
    // the output keeps the last picture, whose duration alone the container cannot infer.
    copy->duration = packet->duration > 0 ? packet->duration : frame_period;
    copy->time_base = packet->time_base;
    if (hidden) {
        ++hidden_pictures;
        if (!(packet->flags & AV_PKT_FLAG_DISCARD)) ++job.pictures.restored;
    }
    if (callbacks[0]) callbacks[0](copy);
}
