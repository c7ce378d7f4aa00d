#include "common/avPacketDev.h"

#include <cstring>

#include "common/secret.h"

extern "C" {
#include <libavutil/mem.h>
}

avPacketDev::avPacketDev() : pkt(av_packet_alloc()) {}

avPacketDev::avPacketDev(const AVPacket* src) : pkt(av_packet_alloc()) {
    if (pkt == nullptr) return;
    if (src == nullptr || av_packet_ref(pkt, src) < 0) av_packet_free(&pkt);
}

avPacketDev::avPacketDev(const uint8_t* bytes, int32_t size) : pkt(av_packet_alloc()) {
    if (pkt == nullptr) return;
    if (size < 0 || (size > 0 && bytes == nullptr)) {
        av_packet_free(&pkt);
        return;
    }
    const size_t count = static_cast<size_t>(size);
    data = static_cast<uint8_t*>(av_malloc(count + AV_INPUT_BUFFER_PADDING_SIZE));
    if (data == nullptr) {
        av_packet_free(&pkt);
        return;
    }
    if (count > 0) std::memcpy(data, bytes, count);
    std::memset(data + count, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    // These copies carry restored pictures: wiped when the last reference goes.
    const size_t allocated = count + AV_INPUT_BUFFER_PADDING_SIZE;
    AVBufferRef* buf = av_buffer_create(data, allocated, av_buffer_wiping_free, wiping_buffer_opaque(allocated), 0);
    if (buf == nullptr) {
        av_buffer_wiping_free(wiping_buffer_opaque(allocated), data);
        data = nullptr;
        av_packet_free(&pkt);
        return;
    }
    pkt->buf = buf;
    pkt->data = buf->data;
    pkt->size = size;
    pkt->pts = AV_NOPTS_VALUE;
    pkt->dts = AV_NOPTS_VALUE;
}

avPacketDev::~avPacketDev() {
    if (pkt != nullptr) av_packet_free(&pkt);
}

avFrameDev::avFrameDev() : frame(av_frame_alloc()) {}

avFrameDev::avFrameDev(const AVFrame* src) : frame(av_frame_alloc()) {
    if (frame == nullptr) return;
    if (src == nullptr || av_frame_ref(frame, src) < 0) av_frame_free(&frame);
}

avFrameDev::~avFrameDev() {
    if (frame != nullptr) av_frame_free(&frame);
}
