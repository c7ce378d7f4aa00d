// Where the restored stream's groups of pictures begin. The decoder withholds the pictures of
// the input's key access units; the first picture it hands on after one opens a group, a
// natural place for the encoder to begin an independent piece of output. The mark rides on the
// frame's key flag, which the decoder sets or clears on every picture it hands on, so it keeps
// its place through every queue and reference copy. Encoders take no request from that flag
// (a key picture is asked for with pict_type).
#pragma once

extern "C" {
#include <libavutil/frame.h>
}

inline void mark_group_start(AVFrame* frame, bool opens_group) {
#ifdef AV_FRAME_FLAG_KEY
    frame->flags = opens_group ? frame->flags | AV_FRAME_FLAG_KEY : frame->flags & ~AV_FRAME_FLAG_KEY;
#else
    frame->key_frame = opens_group ? 1 : 0;
#endif
}

inline bool starts_group(const AVFrame* frame) {
#ifdef AV_FRAME_FLAG_KEY
    return (frame->flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame->key_frame != 0;
#endif
}
