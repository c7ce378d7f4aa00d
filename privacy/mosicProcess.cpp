// The privacy step of the demux loop: judges each access unit by its content and decides what
// reaches the decoder. A key picture passes whole (marked to serve as a reference only); a
// picture that carries a privacy message is replaced by the coded picture the message
// conceals, behind the access unit's parameter sets; any other picture (a masked one) is
// dropped, and only its parameter sets go on.
//
// A hidden picture can only be decoded from the pictures it was predicted from. Before the
// first key picture there are none, and once a hidden picture that others may refer to is
// lost (its message missing, unreadable or damaged), the hidden pictures behind it up to the
// next key picture would decode against a picture the decoder never had: they are left out and
// counted, never handed on as garbage.
#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/pictureCounts.h"
#include "common/printable.h"
#include "debug/std_debug.h"
#include "demux/mediaDemuxer.h"
#include "common/resultCode.h"
#include "privacy/accessUnit.h"
#include "privacy/decryptMosic.h"

namespace {

// Writes the access unit's parameter sets, each behind a 4-byte start code, to out.
size_t write_parameter_sets(const uint8_t* data, const privacy::access_unit& unit, int codec_id, uint8_t* out) {
    size_t at = 0;
    for (size_t i = 0; i < unit.unit_count; ++i) {
        const privacy::nal_unit_range& nal = unit.units[i];
        if (!privacy::is_parameter_set_type(codec_id, nal.type)) continue;
        static const uint8_t start_code[4] = {0, 0, 0, 1};
        std::memcpy(out + at, start_code, sizeof(start_code));
        std::memcpy(out + at + 4, data + nal.begin, nal.end - nal.begin);
        at += 4 + (nal.end - nal.begin);
    }
    return at;
}

}  // namespace

double mediaDemuxer::packet_seconds(const AVPacket* packet) const {
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (time == AV_NOPTS_VALUE || fmt_ctx == nullptr || videoStreamIdx < 0) return 0.0;
    const AVStream* stream = fmt_ctx->streams[videoStreamIdx];
    // (Packets of a running clock come already moved to the input's start.)
    const int64_t start = stream->start_time != AV_NOPTS_VALUE && clock_offset_ == 0 ? stream->start_time : 0;
    return static_cast<double>(time - start) * av_q2d(stream->time_base);
}

void mediaDemuxer::lose_hidden_picture(const AVPacket* packet, bool reference, const char* why) {
    if (!reference || !references_intact_) return;
    references_intact_ = false;
    if (noted_lost_reference_) return;
    noted_lost_reference_ = true;
    DEBUG_WRN("the picture at %.3f s %s; the hidden pictures behind it up to the next key picture are left out "
              "(further such losses are only counted)",
              packet_seconds(packet), why);
}

AVPacket* mediaDemuxer::bounded_access_unit(AVPacket* packet) {
    const uint8_t* data = packet->data;
    const size_t size = data != nullptr && packet->size > 0 ? static_cast<size_t>(packet->size) : 0;
    char why[96] = {0};
    if (size > k_max_access_unit_bytes) {
        snprintf(why, sizeof(why), "is %zu bytes, more than %zu", size, k_max_access_unit_bytes);
    } else if (privacy::count_nal_units(data, size, k_max_nal_units + 1) > k_max_nal_units) {
        std::vector<uint8_t> kept;
        if (privacy::drop_filler_units(data, size, video_codec_id, &kept) > k_max_nal_units) {
            snprintf(why, sizeof(why), "has more than %zu NAL units", k_max_nal_units);
        } else {
            if (!noted_trimmed_) {
                noted_trimmed_ = true;
                DEBUG_WRN("the access unit at %.3f s has more than %zu NAL units: its filler and empty ones are "
                          "left out (further ones are not logged)",
                          packet_seconds(packet), k_max_nal_units);
            }
            auto trimmed = std::make_shared<avPacketDev>(kept.data(), static_cast<int32_t>(kept.size()));
            if (trimmed->pkt == nullptr) return nullptr;  // no memory for the copy: the picture is lost
            privacy::copy_packet_timing(trimmed->pkt, packet);
            bounded_packet_ = std::move(trimmed);
            return bounded_packet_->pkt;
        }
    }
    if (why[0] == 0) return packet;
    // Refused: a key picture takes the references with it, a hidden picture counts as lost.
    if (!noted_refused_) {
        noted_refused_ = true;
        DEBUG_WRN("the access unit at %.3f s %s: refused (further ones are not logged)", packet_seconds(packet), why);
    }
    privacy::access_unit unit;
    privacy::scan_access_unit(data, std::min(size, k_max_access_unit_bytes), video_codec_id, &unit);
    if (unit.kind == privacy::picture_kind::key) {
        references_intact_ = false;
    } else if (unit.kind == privacy::picture_kind::other) {
        if (unit.message.found && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
            ++job.pictures.found;
            ++job.pictures.broken_messages;
        }
        lose_hidden_picture(packet, unit.reference, "is refused");
    }
    return nullptr;
}

int mediaDemuxer::forward_parameter_sets(const AVPacket* packet, const privacy::access_unit& unit) {
    if (unit.parameter_set_count == 0 || unit.parameter_set_bytes > k_decrypt_buffer_size) return 0;
    const size_t written = write_parameter_sets(packet->data, unit, video_codec_id, decrypt_buffer.get());
    auto holder = std::make_shared<avPacketDev>(decrypt_buffer.get(), static_cast<int32_t>(written));
    if (holder->pkt == nullptr) return 0;
    privacy::copy_packet_timing(holder->pkt, packet);
    if (callbacks[0]) callbacks[0](holder->pkt);
    return 0;
}

bool mediaDemuxer::count_access_unit(const privacy::access_unit& unit, bool shown) {
    const bool hidden = unit.kind != privacy::picture_kind::key && unit.message.found;
    if (shown) {
        picture_counts& counts = job.pictures;
        if (unit.kind != privacy::picture_kind::none) ++counts.pictures;
        if (unit.kind == privacy::picture_kind::key) ++counts.key_pictures;
        if (hidden) ++counts.found;
    }
    return hidden;
}

void mediaDemuxer::demuxer_info_process(const AVPacket* packet) {
    const size_t size = packet->data != nullptr && packet->size > 0 ? static_cast<size_t>(packet->size) : 0;
    privacy::access_unit unit;
    privacy::scan_access_unit(packet->data, size, video_codec_id, &unit);
    const bool shown = !(packet->flags & AV_PKT_FLAG_DISCARD);
    if (!count_access_unit(unit, shown) || !shown) return;
    const int64_t time = input_time(packet);
    if (time != AV_NOPTS_VALUE) {
        if (first_hidden < 0 || time < first_hidden) first_hidden = time;
        if (time > last_hidden) last_hidden = time;
    }
    // The version text as the restore reads it: from a message whose lengths hold together.
    privacy::payload_layout layout;
    if (!has_version && privacy::read_payload_layout(packet->data + unit.message.payload_at, unit.message.payload_size,
                                                     unit.message.extent, &layout) == privacy::layout_status::ok &&
        layout.version_part > 0) {
        // Shown as the log shows it: control characters and line breaks escaped.
        version_text = printable(reinterpret_cast<const char*>(packet->data + unit.message.payload_at), layout.version_size);
        has_version = true;
    }
}

void mediaDemuxer::demuxer_check_process(const AVPacket* packet) {
    const size_t size = packet->data != nullptr && packet->size > 0 ? static_cast<size_t>(packet->size) : 0;
    privacy::access_unit unit;
    privacy::scan_access_unit(packet->data, size, video_codec_id, &unit);
    if (!count_access_unit(unit, !(packet->flags & AV_PKT_FLAG_DISCARD))) return;
    if (!decryptor) decryptor = std::make_shared<decryptMosic>(job, privacy_key);
    const privacy::privacy_message_at& message = unit.message;
    const int hidden = decryptor->decrypt_mosic_process(packet->data + message.payload_at, message.payload_size,
                                                        message.extent, decrypt_buffer.get(), k_decrypt_buffer_size);
    if (hidden > 0) OPENSSL_cleanse(decrypt_buffer.get(), static_cast<size_t>(hidden));
    if (hidden >= 0) {
        job.set_result_status(RESULT_OK, k_key_correct_message);
        check_done_ = true;
    } else if (get_result_code() != RESULT_OK) {
        check_done_ = true;  // the key does not decrypt it
    }
    // A message whose lengths do not hold together tests nothing: the next one is tried.
}

int mediaDemuxer::demuxer_mosic_process(AVPacket* packet) {
    if (packet == nullptr) return -1;
    if (video_codec_id != AV_CODEC_ID_H264 && video_codec_id != AV_CODEC_ID_HEVC) {
        DEBUG_ERR("unknown codecId %d", video_codec_id);
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
        return -1;
    }
    const size_t size = packet->data != nullptr && packet->size > 0 ? static_cast<size_t>(packet->size) : 0;
    privacy::access_unit unit;
    privacy::scan_access_unit(packet->data, size, video_codec_id, &unit);
    picture_counts& counts = job.pictures;
    // Pictures an edit list (or a range) leaves out are decoded for reference only; they count
    // for nothing.
    const bool shown = !(packet->flags & AV_PKT_FLAG_DISCARD);
    count_access_unit(unit, shown);

    // A key picture keeps the decoder's references: it passes whole, to be decoded and never
    // shown. So does a packet made of parameter sets alone.
    const bool only_parameter_sets = unit.unit_count > 0 && unit.unit_count < privacy::access_unit::k_max_units &&
                                     unit.parameter_set_count == unit.unit_count;
    if (unit.kind == privacy::picture_kind::key || only_parameter_sets) {
        if (unit.kind == privacy::picture_kind::key) references_intact_ = true;
        privacy::set_verdict(packet, privacy::picture_verdict::reference_only);
        // The decoder's push_data takes its own reference to the packet it is given.
        if (callbacks[0]) callbacks[0](packet);
        return 0;
    }

    if (!decrypt_buffer) decrypt_buffer.reset(new uint8_t[k_decrypt_buffer_size]);
    const bool picture = unit.kind == privacy::picture_kind::other;
    const privacy::privacy_message_at& message = unit.message;
    if (!message.found) {
        if (message.truncated) {
            DEBUG_WRN("privacy SEI payload size bytes run past the end of the packet");
            if (shown) ++counts.broken_messages;
        } else if (picture && shown) {
            ++counts.without_message;
        }
        // The masked picture is dropped; its parameter sets still serve the pictures to come.
        if (picture) lose_hidden_picture(packet, unit.reference, "carries no privacy message");
        forward_parameter_sets(packet, unit);
        return message.truncated ? -1 : 0;
    }
    if (!references_intact_) {
        if (shown) ++counts.unreferenced;
        if (!noted_unreferenced_) {
            noted_unreferenced_ = true;
            DEBUG_WRN("the hidden picture at %.3f s is left out: a picture it may be predicted from is missing "
                      "(further ones are only counted)",
                      packet_seconds(packet));
        }
        forward_parameter_sets(packet, unit);
        return 0;
    }

    if (unit.parameter_set_bytes >= k_decrypt_buffer_size) {
        DEBUG_WRN("parameter sets of %zu bytes leave no room for the hidden picture", unit.parameter_set_bytes);
        if (shown) ++counts.broken_messages;
        lose_hidden_picture(packet, unit.reference, "cannot hold its hidden picture");
        return -1;
    }
    // One decryptor (and its buffers) serves every privacy message of the job.
    if (!decryptor) decryptor = std::make_shared<decryptMosic>(job, privacy_key);
    const size_t lead = write_parameter_sets(packet->data, unit, video_codec_id, decrypt_buffer.get());
    const int hidden = decryptor->decrypt_mosic_process(packet->data + message.payload_at, message.payload_size,
                                                        message.extent, decrypt_buffer.get() + lead,
                                                        k_decrypt_buffer_size - lead);
    if (hidden < 0) {
        // A wrong key (no message has decrypted yet) ends the job; anything else costs this picture.
        if (get_result_code() != RESULT_OK) return -1;
        if (shown) ++counts.broken_messages;
        DEBUG_WRN("the hidden picture at %.3f s is left out: its privacy message is damaged", packet_seconds(packet));
        lose_hidden_picture(packet, unit.reference, "lost its hidden picture");
        forward_parameter_sets(packet, unit);
        return -1;
    }

    const size_t total = lead + static_cast<size_t>(hidden);
    auto holder = std::make_shared<avPacketDev>(decrypt_buffer.get(), static_cast<int32_t>(total));
    // The packet has its own copy; the restored picture does not stay behind in the buffer.
    OPENSSL_cleanse(decrypt_buffer.get(), total);
    if (holder->pkt == nullptr) return 0;  // no memory for the copy: the picture is dropped
    privacy::copy_packet_timing(holder->pkt, packet);
    privacy::set_verdict(holder->pkt, privacy::picture_verdict::hidden);
    if (callbacks[0]) callbacks[0](holder->pkt);
    return 0;
}
