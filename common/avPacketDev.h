// Owning holders for one AVPacket or AVFrame. Always reached through std::shared_ptr;
// they are the unit of every stage queue. A holder whose allocation or reference failed
// keeps a null pkt/frame and is still safe to destroy.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

class avPacketDev {
public:
    // An empty packet (working packets of the stage loops).
    avPacketDev();
    // A new reference to src (its payload buffer is shared when it is reference-counted).
    explicit avPacketDev(const AVPacket* src);
    // A packet owning a copy of [bytes, bytes + size). The copy carries
    // AV_INPUT_BUFFER_PADDING_SIZE zeroed bytes behind the data, outside the packet size, and
    // is wiped when its last reference goes (it may hold a restored picture).
    // pts and dts are AV_NOPTS_VALUE; every other field keeps av_packet_alloc's value.
    avPacketDev(const uint8_t* bytes, int32_t size);
    ~avPacketDev();

    avPacketDev(const avPacketDev&) = delete;
    avPacketDev& operator=(const avPacketDev&) = delete;

    AVPacket* pkt = nullptr;
    uint8_t* data = nullptr;  // owned by pkt's buffer reference, never freed here
};

class avFrameDev {
public:
    avFrameDev();
    explicit avFrameDev(const AVFrame* src);
    ~avFrameDev();

    avFrameDev(const avFrameDev&) = delete;
    avFrameDev& operator=(const avFrameDev&) = delete;

    AVFrame* frame = nullptr;
};
