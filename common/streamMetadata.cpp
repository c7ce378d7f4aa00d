#include "common/streamMetadata.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace ff {

namespace {
constexpr size_t k_matrix_size = 9 * sizeof(int32_t);
}  // namespace

// Stream side data moved into the codec parameters (coded_side_data) in libavcodec 61.
const int32_t* display_matrix_of(const AVStream* stream) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 0, 100)
    const AVPacketSideData* side = av_packet_side_data_get(stream->codecpar->coded_side_data,
                                                           stream->codecpar->nb_coded_side_data,
                                                           AV_PKT_DATA_DISPLAYMATRIX);
    if (side == nullptr || side->size < k_matrix_size) return nullptr;
    return reinterpret_cast<const int32_t*>(side->data);
#else
    size_t size = 0;
    const uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    return data != nullptr && size >= k_matrix_size ? reinterpret_cast<const int32_t*>(data) : nullptr;
#endif
}

void copy_stream_metadata(const AVStream* from, AVStream* to) {
    if (from == nullptr || to == nullptr) return;
    av_dict_copy(&to->metadata, from->metadata, 0);
    const int32_t* matrix = display_matrix_of(from);
    if (matrix == nullptr) return;
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 0, 100)
    AVPacketSideData* side = av_packet_side_data_new(&to->codecpar->coded_side_data,
                                                     &to->codecpar->nb_coded_side_data,
                                                     AV_PKT_DATA_DISPLAYMATRIX, k_matrix_size, 0);
    if (side != nullptr) std::memcpy(side->data, matrix, k_matrix_size);
#else
    uint8_t* data = av_stream_new_side_data(to, AV_PKT_DATA_DISPLAYMATRIX, k_matrix_size);
    if (data != nullptr) std::memcpy(data, matrix, k_matrix_size);
#endif
}

}  // namespace ff
