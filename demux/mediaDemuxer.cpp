#include "demux/mediaDemuxer.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

#include <sys/stat.h>

#include <openssl/crypto.h>

#include "common/jobContext.h"
#include "common/resultCode.h"
#include "common/streamInfo.h"
#include "debug/std_debug.h"
#include "decode/videoDecode.h"
#include "encode/videoEncode.h"
#include "mux/mediaMuxer.h"
#include "mux/outputFile.h"
#include "mux/streamCopy.h"
#include "privacy/accessUnit.h"
#include "privacy/privacyPacket.h"

// Publishes the input's stream parameters in the job, for the encoder and the muxer.
mediaDemuxer::mediaDemuxer(job_context& job, const char* input_path, int type, std::string key,
                           const char* requested_output)
    : common(job), demuxer_type(type), privacy_key(std::move(key)) {
    if (input_path == nullptr) return;
    videoCodecpar = nullptr;
    audioCodecpar = nullptr;
    this->input_path = input_path;
    if (requested_output != nullptr) requested_output_path = requested_output;
    output_path = build_output_path(input_path, requested_output);
    if (output_path.empty()) {
        DEBUG_ERR("Could not create output file");
        set_result_status(RESULT_OPEN_OUTPUT_ERROR);
        return;
    }
    if (avformat_open_input(&fmt_ctx, input_path, nullptr, nullptr) < 0) {
        DEBUG_ERR("Could not open input file %s", input_path);
        set_result_status(RESULT_OPEN_INPUT_ERROR);
        return;
    }
    if (avformat_find_stream_info(fmt_ctx, nullptr) < 0) {
        DEBUG_ERR("Could not find stream information");
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
        avformat_close_input(&fmt_ctx);
        return;
    }
    videoStreamIdx = -1;
    audioStreamIdx = -1;
    for (unsigned i = 0; i < fmt_ctx->nb_streams; ++i) {
        AVCodecParameters* par = fmt_ctx->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && videoStreamIdx < 0) {
            videoStreamIdx = static_cast<int>(i);
            videoCodecpar = par;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && audioStreamIdx < 0) {
            audioStreamIdx = static_cast<int>(i);
            audioCodecpar = par;
        }
    }
    if (videoStreamIdx < 0) {
        DEBUG_ERR("Could not find video stream");
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
        avformat_close_input(&fmt_ctx);
        return;
    }
    bsf_ctx = nullptr;
    const char* filter_name = nullptr;
    if (videoCodecpar->codec_id == AV_CODEC_ID_H264) {
        filter_name = "h264_mp4toannexb";
    } else if (videoCodecpar->codec_id == AV_CODEC_ID_HEVC) {
        filter_name = "hevc_mp4toannexb";
    } else {
        DEBUG_ERR("unsupport video codec");
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
        return;
    }
    video_codec_id = videoCodecpar->codec_id;
    // A filter that cannot be set up (an AVI stream that is already Annex B has no
    // extradata, for example) is treated like a missing one: packets pass unfiltered.
    if (const AVBitStreamFilter* filter = av_bsf_get_by_name(filter_name)) {
        if (av_bsf_alloc(filter, &bsf_ctx) < 0 || avcodec_parameters_copy(bsf_ctx->par_in, videoCodecpar) < 0 ||
            av_bsf_init(bsf_ctx) < 0) {
            av_bsf_free(&bsf_ctx);
        }
    }

    AVStream* video = fmt_ctx->streams[videoStreamIdx];
    // Some containers leave the average rate unset (raw elementary streams, some AVI
    // files); the encoder needs a real rate for its time base, so fall back to the
    // stream's base rate and then to 25 fps.
    AVRational rate = video->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = video->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0 || av_q2d(rate) > 1000.0) rate = AVRational{25, 1};
    const double fps = rate.den != 0 ? static_cast<double>(rate.num) / rate.den : 0.0;
    input_stream_info.width = videoCodecpar->width;
    input_stream_info.height = videoCodecpar->height;
    input_stream_info.fps = fps < 1.0 ? 1 : static_cast<int32_t>(fps);
    input_stream_info.bit_rate = videoCodecpar->bit_rate < 0x800000 ? 0x800000 : videoCodecpar->bit_rate;
    input_stream_info.profile = videoCodecpar->profile;
    input_stream_info.level = videoCodecpar->level;
    input_stream_info.field_order = videoCodecpar->field_order;
    input_stream_info.duration = fmt_ctx->duration;
    input_stream_info.video_time_base = video->time_base;
    if (audioStreamIdx >= 0) input_stream_info.audio_time_base = fmt_ctx->streams[audioStreamIdx]->time_base;
    input_stream_info.sample_aspect_ratio = video->sample_aspect_ratio;
    input_stream_info.avg_frame_rate = rate;
    input_stream_info.video_stream_index = videoStreamIdx;
    input_stream_info.audio_stream_index = audioStreamIdx;
    input_stream_info.color_range = videoCodecpar->color_range;
    input_stream_info.color_primaries = videoCodecpar->color_primaries;
    input_stream_info.color_trc = videoCodecpar->color_trc;
    input_stream_info.colorspace = videoCodecpar->color_space;

    DEBUG_WRN("Resolution: %d x %d", input_stream_info.width, input_stream_info.height);
    DEBUG_WRN("Frame Rate: %d/%d (%.2f fps) bitrate=%lld", rate.num, rate.den, fps,
              static_cast<long long>(input_stream_info.bit_rate));
    DEBUG_WRN("Format: %s", avcodec_get_name(static_cast<AVCodecID>(video_codec_id)));
    DEBUG_WRN("videoStreamIdx=%d,videoCodecpar=%p", videoStreamIdx, static_cast<void*>(videoCodecpar));
    DEBUG_WRN("audioStreamIdx=%d,audioCodecpar=%p", audioStreamIdx, static_cast<void*>(audioCodecpar));

    // For the progress line only: every picture of the input, or an estimate from the length.
    int64_t expected = video->nb_frames;
    if (expected <= 0 && fmt_ctx->duration > 0) {
        expected = static_cast<int64_t>(static_cast<double>(fmt_ctx->duration) / AV_TIME_BASE * fps + 0.5);
    }
    job.progress.set_expected_pictures(expected);

    decrypt_buffer.reset(new uint8_t[k_decrypt_buffer_size]);
    is_init = true;
}

mediaDemuxer::~mediaDemuxer() {
    if (bsf_ctx != nullptr) av_bsf_free(&bsf_ctx);
    avformat_close_input(&fmt_ctx);
    decrypt_buffer.reset();
    // The key must not linger in freed memory.
    if (!privacy_key.empty()) OPENSSL_cleanse(&privacy_key[0], privacy_key.size());
    DEBUG_WRN("mediaDemuxer destruction succeed");
}

std::string mediaDemuxer::build_output_path(const char* input_path) {
    if (input_path == nullptr) return std::string();
    std::string path(input_path);
    if (path.empty()) return std::string();
    const size_t separator = path.find_last_of("/\\");
    const size_t floor = separator == std::string::npos ? 0 : separator;
    const size_t dot = path.find_last_of('.');
    // The '.' must lie behind the last separator (behind index 0 when there is none) and
    // must not be the last character.
    if (dot == std::string::npos || dot <= floor || dot + 1 == path.size()) return std::string();
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension != "mp4" && extension != "avi") return std::string();

    std::string insertion = "_decmosic_";
    char stamp[32];
    std::memset(stamp, 0, sizeof(stamp));
    const time_t now = time(nullptr);
    struct tm local {};
    if (now != static_cast<time_t>(-1) && localtime_r(&now, &local) != nullptr) {
        strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &local);
        insertion += stamp;
    }
    path.insert(dot, insertion);
    return path;
}

int mediaDemuxer::create_output_file() {
    // The restored file is as private as the input: its permission bits, never wider (the
    // umask narrows them further).
    struct stat input_info {};
    const mode_t mode = stat(input_path.c_str(), &input_info) == 0 ? (input_info.st_mode & 0666) : 0600;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(k_output_name_wait_seconds);
    // The name this run would take now: the dated name beside the input or in the folder given
    // with -o, or the file named with -o.
    const auto fresh_name = [this] {
        return build_output_path(input_path.c_str(),
                                 requested_output_path.empty() ? nullptr : requested_output_path.c_str());
    };
    // Only a dated name moves on to a later second; a file name given outright stays as it is.
    const bool dated = requested_output_path.empty() || fresh_name() != requested_output_path;
    for (;;) {
        const int fd = outputFile::create_exclusive(output_path, mode);
        if (fd >= 0) return fd;
        const int error = errno;
        if (error != EEXIST || !dated || std::chrono::steady_clock::now() >= give_up) break;
        // Taken: the name of a later second is a new name. Wait for the clock to reach it.
        const std::string taken = output_path;
        while (output_path == taken && std::chrono::steady_clock::now() < give_up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            output_path = fresh_name();
        }
        if (output_path == taken) break;
    }
    return -1;
}

std::string mediaDemuxer::build_output_path(const char* input_path, const char* requested_output) {
    const std::string usual = build_output_path(input_path);
    if (requested_output == nullptr || usual.empty()) return usual;
    const std::string requested(requested_output);
    if (requested.empty()) return std::string();
    struct stat info {};
    if (stat(requested.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        const size_t separator = usual.find_last_of("/\\");
        const std::string name = separator == std::string::npos ? usual : usual.substr(separator + 1);
        return requested.back() == '/' ? requested + name : requested + "/" + name;
    }
    // A file name: its extension must name the input's container.
    auto extension = [](const std::string& path) {
        const size_t separator = path.find_last_of("/\\");
        const size_t dot = path.find_last_of('.');
        if (dot == std::string::npos || (separator != std::string::npos && dot < separator)) return std::string();
        std::string text = path.substr(dot + 1);
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    if (extension(requested) != extension(usual)) return std::string();
    // Never the input itself (under any of its names): the input is not to be touched.
    struct stat input_info {};
    if (stat(requested.c_str(), &info) == 0 && stat(input_path, &input_info) == 0 && info.st_dev == input_info.st_dev &&
        info.st_ino == input_info.st_ino) {
        return std::string();
    }
    return requested;
}

void mediaDemuxer::build_stream_copy(std::unique_ptr<streamCopy>* copy, std::unique_ptr<mediaMuxer>* muxer,
                                     int output_fd) {
    // MP4 keeps the input's avcC/hvcC and takes NAL units behind 4-byte lengths; with any other
    // configuration (Annex B, or none) the MP4 muxer is given Annex B and converts it itself.
    // AVI stores Annex B, with Annex B parameter sets (the filter's output form) as its header.
    std::string extension = output_path.substr(output_path.find_last_of('.') + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const bool mp4 = extension == "mp4";
    const AVCodecParameters* video_par = bsf_ctx != nullptr ? bsf_ctx->par_out : videoCodecpar;
    std::unique_ptr<AVCodecParameters, void (*)(AVCodecParameters*)> adjusted(
        avcodec_parameters_alloc(), [](AVCodecParameters* p) { avcodec_parameters_free(&p); });
    bool length_prefixed = false;
    // lengthSizeMinusOne sits in the low two bits of avcC byte 4 and of hvcC byte 21; ours is 3.
    const int length_size_at = video_codec_id == AV_CODEC_ID_H264 ? 4 : 21;
    if (mp4 && streamCopy::is_length_prefixed_config(videoCodecpar->extradata, videoCodecpar->extradata_size) &&
        videoCodecpar->extradata_size > length_size_at && adjusted &&
        avcodec_parameters_copy(adjusted.get(), videoCodecpar) >= 0) {
        adjusted->extradata[length_size_at] |= 3;
        video_par = adjusted.get();
        length_prefixed = true;
    }
    copy->reset(new streamCopy(job, video_codec_id, length_prefixed));
    muxer->reset(new mediaMuxer(job, output_path.c_str(), nullptr, audioCodecpar, fmt_ctx, output_fd, video_par));
    (*muxer)->bounded_queue = true;
    mediaMuxer* sink = muxer->get();
    streamCopy* stage = copy->get();
    stage->set_callback(0, std::bind(&common::push_data, sink, std::placeholders::_1));
    set_callback(0, [this, stage](void* packet) {
        stage->push_packet(static_cast<const AVPacket*>(packet), routing_packet_);
    });
    set_callback(1, std::bind(&common::push_data, sink, std::placeholders::_1));
}

int mediaDemuxer::demuxer_media_file_process() {
    if (!is_init) return -1;

    // Built in pipeline order, each connected to the one before it. A stage that fails to set
    // up is built and connected all the same: its failure is in the result status, and the
    // read loop stops at its first check.
    // The output name is claimed before any work starts. When none can be claimed the muxer
    // tries the last name once more itself and reports the failure.
    const int output_fd = create_output_file();

    std::unique_ptr<videoDecode> decoder;
    std::unique_ptr<videoEncode> encoder;
    std::unique_ptr<streamCopy> copy;
    std::unique_ptr<mediaMuxer> muxer;
    if (demuxer_type & k_type_copy) {
        build_stream_copy(&copy, &muxer, output_fd);
    } else {
        decoder.reset(new videoDecode(job, video_codec_id));
        set_callback(0, std::bind(&common::push_data, decoder.get(), std::placeholders::_1));
        job.set_probing(true);  // hardware encoders that do not open are expected here
        encoder.reset(new videoEncode(job, video_codec_id, &input_stream_info));
        job.set_probing(false);
        decoder->set_callback(0, std::bind(&common::push_data, encoder.get(), std::placeholders::_1));
        muxer.reset(new mediaMuxer(job, output_path.c_str(), encoder->is_init ? encoder->codec_ctx : nullptr,
                                   audioCodecpar, fmt_ctx, output_fd));
        encoder->set_callback(0, std::bind(&common::push_data, muxer.get(), std::placeholders::_1));
        // Chunks encoded side by side reach the muxer in bursts; the pool counts them sooner.
        muxer->counts_pictures = !encoder->pool;
        set_callback(1, std::bind(&common::push_data, muxer.get(), std::placeholders::_1));
    }

    video_packets_routed = 0;
    audio_packets_routed = 0;

    // Receives every read and every filter output.
    auto read_holder = std::make_shared<avPacketDev>();
    AVPacket* packet = read_holder->pkt;
    while (packet != nullptr && av_read_frame(fmt_ctx, packet) >= 0) {
        // A failure anywhere stops the job; the packet in hand is not routed.
        if (get_result_code() != RESULT_OK) break;
        if (packet->stream_index == videoStreamIdx) {
            if (bsf_ctx == nullptr) {
                ++video_packets_routed;
                demuxer_video_callback_all(packet);
            } else if ((packet->data != nullptr || packet->side_data_elems > 0) &&
                       av_bsf_send_packet(bsf_ctx, packet) >= 0) {
                // (An empty packet would signal end of stream to the filter, which would then
                // refuse everything after it; it carries nothing and is dropped.)
                while (av_bsf_receive_packet(bsf_ctx, packet) == 0) {
                    // The privacy step reads the whole access unit (SEI NAL units of any kind
                    // before its picture included), so nothing is cut off here but the
                    // container's parameter sets the filter put behind the unit's own.
                    ++video_packets_routed;
                    demuxer_video_callback_all(without_inserted_configuration(packet));
                    av_packet_unref(packet);
                }
            }
        } else if (packet->stream_index == audioStreamIdx && callbacks[1]) {
            ++audio_packets_routed;
            callbacks[1](packet);
        }
        // Packets of any other stream are dropped.
        av_packet_unref(packet);
    }

    // End of stream for the filter, only when nothing has failed; what it still holds goes
    // on as it comes out.
    if (bsf_ctx != nullptr && get_result_code() == RESULT_OK) {
        auto flush_holder = std::make_shared<avPacketDev>();
        av_bsf_send_packet(bsf_ctx, nullptr);
        while (flush_holder->pkt != nullptr && av_bsf_receive_packet(bsf_ctx, flush_holder->pkt) == 0) {
            ++video_packets_routed;
            demuxer_video_callback_all(flush_holder->pkt);
            av_packet_unref(flush_holder->pkt);
        }
    }

    // Torn down in pipeline order: each destructor drains its queue into the next stage,
    // which therefore still exists, and joins its worker before that stage goes.
    decoder.reset();
    encoder.reset();
    // A lossless restore writes the key pictures too; it has restored something only when a
    // decrypted picture went through.
    if (copy && copy->hidden_pictures == 0 && get_result_code() == RESULT_OK) {
        DEBUG_ERR("no hidden picture was restored");
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
    }
    copy.reset();
    muxer.reset();
    // The slots would otherwise point at destroyed stages.
    set_callback(0, nullptr);
    set_callback(1, nullptr);

    DEBUG_WRN("mediaDemuxer loop task end");
    return 0;
}

AVPacket* mediaDemuxer::without_inserted_configuration(AVPacket* packet) {
    size_t at = 0;
    const AVCodecParameters* out = bsf_ctx != nullptr ? bsf_ctx->par_out : nullptr;
    if (video_codec_id != AV_CODEC_ID_HEVC || out == nullptr || packet->data == nullptr ||
        !privacy::find_inserted_configuration(packet->data, static_cast<size_t>(packet->size), video_codec_id,
                                              out->extradata, static_cast<size_t>(out->extradata_size), &at)) {
        return packet;
    }
    std::vector<uint8_t> bytes(packet->data, packet->data + at);
    bytes.insert(bytes.end(), packet->data + at + out->extradata_size, packet->data + packet->size);
    auto rebuilt = std::make_shared<avPacketDev>(bytes.data(), static_cast<int32_t>(bytes.size()));
    if (rebuilt->pkt == nullptr || av_packet_copy_props(rebuilt->pkt, packet) < 0) return packet;
    rebuilt->pkt->time_base = packet->time_base;
    rebuilt_packet = std::move(rebuilt);
    return rebuilt_packet->pkt;
}

void mediaDemuxer::demuxer_video_callback_all(AVPacket* packet) {
    if (demuxer_type & k_type_privacy) {
        routing_packet_ = packet;
        demuxer_mosic_process(packet);
        routing_packet_ = nullptr;
    } else {
        DEBUG_ERR("not support demuxer type");
    }
}
