// The privacy step of the demux loop: decides from a packet's first NAL unit what reaches the
// decoder. Parameter sets and IDR packets pass unchanged, a packet that begins with a privacy
// SEI is replaced by the coded picture the SEI carries, everything else (the masked pictures)
// is dropped.
#include <openssl/crypto.h>

#include <cstring>

#include "debug/std_debug.h"
#include "demux/mediaDemuxer.h"
#include "interface/resultStatus.h"
#include "privacy/decryptMosic.h"

int mediaDemuxer::demuxer_mosic_process(AVPacket* packet) {
    if (packet == nullptr) return -1;
    const char* name = nal_type_name(packet->data, packet->size, video_codec_id);
    if (video_codec_id != AV_CODEC_ID_H264 && video_codec_id != AV_CODEC_ID_HEVC) {
        DEBUG_ERR("unknown codecId %d", video_codec_id);
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
        return -1;
    }
    const bool sei = std::strstr(name, "SEI") != nullptr;
    const bool wanted = sei || std::strstr(name, "SPS") != nullptr || std::strstr(name, "PPS") != nullptr ||
                        std::strstr(name, "I-frame") != nullptr ||
                        (video_codec_id == AV_CODEC_ID_HEVC && std::strstr(name, "VPS") != nullptr);
    if (!wanted) return 0;

    if (!sei) {
        // The decoder's push_data takes its own reference to the packet it is given.
        if (callbacks[0]) callbacks[0](packet);
        return 0;
    }

    // One decryptor (and its buffers) serves every privacy SEI of the job.
    if (!decryptor) decryptor = std::make_shared<decryptMosic>(privacy_key);
    if (!decrypt_buffer) decrypt_buffer.reset(new uint8_t[k_decrypt_buffer_size]);
    const int size = decryptor->decrypt_mosic_process(packet->data, packet->size, decrypt_buffer.get(),
                                                      k_decrypt_buffer_size);
    if (size < 0) return -1;

    auto holder = std::make_shared<avPacketDev>(decrypt_buffer.get(), size);
    // The packet has its own copy; the restored picture does not stay behind in the buffer.
    OPENSSL_cleanse(decrypt_buffer.get(), static_cast<size_t>(size));
    if (holder->pkt == nullptr) return 0;  // no memory for the copy: the picture is dropped
    AVPacket* restored = holder->pkt;
    restored->pts = packet->pts;
    restored->dts = packet->dts;
    restored->stream_index = packet->stream_index;
    restored->flags = packet->flags;
    restored->duration = packet->duration;
    restored->time_base = packet->time_base;
    if (callbacks[0]) callbacks[0](restored);
    return 0;
}
