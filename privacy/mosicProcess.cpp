// The privacy step of the demux loop: judges each access unit by its content and decides what
// reaches the decoder. A key picture passes whole; a picture that carries a privacy message
// is replaced by the coded picture the message conceals, behind the access unit's parameter
// sets; any other picture (a masked one) is dropped, and only its parameter sets go on.
#include <openssl/crypto.h>

#include <cstring>

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

    // A key picture keeps the decoder's references: it passes whole (the decoder withholds
    // its picture). So does a packet made of parameter sets alone.
    const bool only_parameter_sets = unit.unit_count > 0 && unit.unit_count < privacy::access_unit::k_max_units &&
                                     unit.parameter_set_count == unit.unit_count;
    if (unit.kind == privacy::picture_kind::key || only_parameter_sets) {
        // The decoder's push_data takes its own reference to the packet it is given.
        if (callbacks[0]) callbacks[0](packet);
        return 0;
    }

    if (!decrypt_buffer) decrypt_buffer.reset(new uint8_t[k_decrypt_buffer_size]);
    const privacy::privacy_message_at& message = unit.message;
    if (!message.found) {
        if (message.truncated) {
            DEBUG_WRN("privacy SEI payload size bytes run past the end of its SEI NAL unit");
            return -1;
        }
        // The masked picture is dropped; its parameter sets still serve the pictures to come.
        if (unit.parameter_set_count == 0 || unit.parameter_set_bytes > k_decrypt_buffer_size) return 0;
        const size_t written = write_parameter_sets(packet->data, unit, video_codec_id, decrypt_buffer.get());
        auto holder = std::make_shared<avPacketDev>(decrypt_buffer.get(), static_cast<int32_t>(written));
        if (holder->pkt == nullptr) return 0;
        privacy::copy_packet_timing(holder->pkt, packet);
        if (callbacks[0]) callbacks[0](holder->pkt);
        return 0;
    }

    if (unit.parameter_set_bytes >= k_decrypt_buffer_size) {
        DEBUG_WRN("parameter sets of %zu bytes leave no room for the hidden picture", unit.parameter_set_bytes);
        return -1;
    }
    // One decryptor (and its buffers) serves every privacy message of the job.
    if (!decryptor) decryptor = std::make_shared<decryptMosic>(job, privacy_key);
    const size_t lead = write_parameter_sets(packet->data, unit, video_codec_id, decrypt_buffer.get());
    const int picture = decryptor->decrypt_message(packet->data + message.payload_at, message.payload_size,
                                                   message.extent, decrypt_buffer.get() + lead,
                                                   k_decrypt_buffer_size - lead);
    if (picture < 0) return -1;

    const size_t total = lead + static_cast<size_t>(picture);
    auto holder = std::make_shared<avPacketDev>(decrypt_buffer.get(), static_cast<int32_t>(total));
    // The packet has its own copy; the restored picture does not stay behind in the buffer.
    OPENSSL_cleanse(decrypt_buffer.get(), total);
    if (holder->pkt == nullptr) return 0;  // no memory for the copy: the picture is dropped
    privacy::copy_packet_timing(holder->pkt, packet);
    if (callbacks[0]) callbacks[0](holder->pkt);
    return 0;
}
