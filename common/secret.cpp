#include "common/secret.h"

extern "C" {
#include <libavutil/mem.h>
}

void av_buffer_wiping_free(void* opaque, uint8_t* data) {
    OPENSSL_cleanse(data, static_cast<size_t>(reinterpret_cast<uintptr_t>(opaque)));
    av_free(data);
}
