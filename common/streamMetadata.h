// What says when, where and how footage was taken, carried from an input stream to the
// stream written in its place: the stream's tags (language, handler name, ...) and its
// display matrix (rotation). Containers keep what they can hold of it.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

namespace ff {

// Copies from's tags and display matrix onto to; a stream without them gets nothing.
void copy_stream_metadata(const AVStream* from, AVStream* to);

// The display matrix of a stream (9 int32 values), or null.
const int32_t* display_matrix_of(const AVStream* stream);

}  // namespace ff
