#include "demux/mediaDemuxer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include <openssl/crypto.h>

#include "common/ffHolders.h"
#include "common/jobContext.h"
#include "common/printable.h"
#include "common/resultCode.h"
#include "common/secret.h"
#include "common/streamInfo.h"
#include "debug/std_debug.h"
#include "decode/videoDecode.h"
#include "demux/hashedInput.h"
#include "demux/inputFile.h"
#include "encode/videoEncode.h"
#include "mux/mediaMuxer.h"
#include "mux/outputFile.h"
#include "mux/streamCopy.h"
#include "privacy/accessUnit.h"
#include "privacy/privacyPacket.h"

// Publishes the input's stream parameters in the job, for the encoder and the muxer.
mediaDemuxer::mediaDemuxer(job_context& job, const char* input_path, int type, std::string key,
                           const char* requested_output, hashedInput* reader)
    : common(job), demuxer_type(type), privacy_key(std::move(key)) {
    // A short key is copied, not moved: what stays in the argument goes.
    wipe_string(key);
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
    if (!open_input(reader)) {
        // A job cancelled meanwhile keeps its code.
        if (!job.cancelled()) {
            DEBUG_ERR("Could not open input file %s", printable(input_path, std::strlen(input_path)).c_str());
            set_result_status(RESULT_OPEN_INPUT_ERROR);
        }
        return;
    }
    if (avformat_find_stream_info(fmt_ctx, nullptr) < 0) {
        if (!job.cancelled()) {
            DEBUG_ERR("Could not find stream information");
            set_result_status(RESULT_STREAM_FORMAT_ERROR);
        }
        avformat_close_input(&fmt_ctx);
        return;
    }
    videoStreamIdx = choose_video_stream();
    if (videoStreamIdx >= 0) videoCodecpar = fmt_ctx->streams[videoStreamIdx]->codecpar;
    audioStreamIdx = -1;
    for (unsigned i = 0; i < fmt_ctx->nb_streams; ++i) {
        AVCodecParameters* par = fmt_ctx->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_AUDIO && audioStreamIdx < 0) {
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
    if (input_stream_info.bit_rate > k_max_bit_rate) {
        DEBUG_WRN("the input's bit rate of %lld bit/s is more than %s can hold: %lld bit/s used",
                  static_cast<long long>(input_stream_info.bit_rate),
                  avcodec_get_name(videoCodecpar->codec_id), static_cast<long long>(k_max_bit_rate));
        input_stream_info.bit_rate = k_max_bit_rate;
    }
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
    name_left_out_streams();
    // Containers whose timestamps are a running clock (MPEG-TS) start anywhere: the job's
    // timeline starts at the input's start, as the container's duration counts it.
    if ((fmt_ctx->iformat->flags & AVFMT_TS_DISCONT) && fmt_ctx->start_time != AV_NOPTS_VALUE) {
        clock_offset_ = fmt_ctx->start_time;
    }
    timeline_start_ = (fmt_ctx->start_time != AV_NOPTS_VALUE ? fmt_ctx->start_time : 0) - clock_offset_;

    // For the progress line only: every picture of the input, or an estimate from the length.
    int64_t expected = video->nb_frames;
    if (expected <= 0 && fmt_ctx->duration > 0) {
        expected = static_cast<int64_t>(static_cast<double>(fmt_ctx->duration) / AV_TIME_BASE * fps + 0.5);
    }
    job.progress.set_expected_pictures(expected);

    // (Memory that has run out fails the job here rather than through an exception: the
    // constructor of an object that is not finished would not wipe the key.)
    decrypt_buffer.reset(new (std::nothrow) uint8_t[k_decrypt_buffer_size]);
    if (!decrypt_buffer) {
        DEBUG_ERR("out of memory: no room for the %zu-byte picture buffer", k_decrypt_buffer_size);
        set_result_status(RESULT_OUT_OF_MEMORY);
        return;
    }
    is_init = true;
}

mediaDemuxer::~mediaDemuxer() {
    if (bsf_ctx != nullptr) av_bsf_free(&bsf_ctx);
    avformat_close_input(&fmt_ctx);  // (the input file's AVIOContext stays with input_file)
    decrypt_buffer.reset();  // (wiped after each picture by the privacy step)
    // The key must not linger in freed memory.
    wipe_string(privacy_key);
    DEBUG_WRN("mediaDemuxer destruction succeed");
}

bool mediaDemuxer::open_input(hashedInput* reader) {
    // A cancel ends every wait and read of the input (and FFmpeg's own loops, through the
    // interrupt callback): it never waits for a slow or stuck input. (A failure elsewhere stops
    // the read loop at its next packet; reads of a regular file do not block.)
    input_file.reset(new inputFile([this] { return job.cancelled(); }));
    switch (input_file->open(input_path.c_str())) {
        case inputFile::open_status::ok:
            break;
        case inputFile::open_status::not_regular:
            DEBUG_ERR("%s is not a regular file (a FIFO, device, socket or folder): refused",
                      printable(input_path).c_str());
            return false;
        case inputFile::open_status::not_found:
        case inputFile::open_status::stopped:
            return false;
    }
    // The evidence record's digest follows what the demuxer reads.
    if (reader != nullptr && reader->attach(input_file->descriptor())) {
        input_file->on_read([reader](int64_t offset, const uint8_t* data, int64_t size) {
            reader->note_read(offset, data, size);
        });
    }
    fmt_ctx = open_format(*input_file);
    return fmt_ctx != nullptr;
}

AVFormatContext* mediaDemuxer::open_format(inputFile& file) {
    AVFormatContext* context = avformat_alloc_context();
    if (context == nullptr) return nullptr;
    context->pb = file.io();
    context->interrupt_callback.callback = [](void* job) { return static_cast<job_context*>(job)->cancelled() ? 1 : 0; };
    context->interrupt_callback.opaque = &job;
    // The input is this one file: a file that poses as a playlist or a list of files (HLS,
    // concat, image sequences) must not make FFmpeg open anything else, which could block
    // (a FIFO, a terminal) or read what the user never named.
    context->protocol_whitelist = av_strdup("none");
    if (context->pb == nullptr || context->protocol_whitelist == nullptr) {
        avformat_free_context(context);
        return nullptr;
    }
    // On failure avformat_open_input frees the context and leaves it null.
    if (avformat_open_input(&context, input_path.c_str(), nullptr, nullptr) < 0) return nullptr;
    return context;
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
    // The restored file is as private as the input (the file actually read): its group where
    // the user may set it, its bits, never wider (common/fileAccess.h).
    const struct stat* input_info = input_file ? &input_file->info() : nullptr;
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
        const int fd = outputFile::create_exclusive(output_path, input_info);
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

int mediaDemuxer::choose_video_stream() {
    std::vector<int> video, candidates;
    for (unsigned i = 0; i < fmt_ctx->nb_streams; ++i) {
        const AVStream* stream = fmt_ctx->streams[i];
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        video.push_back(static_cast<int>(i));
        const AVCodecID id = stream->codecpar->codec_id;
        if ((id == AV_CODEC_ID_H264 || id == AV_CODEC_ID_HEVC) && !(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            candidates.push_back(static_cast<int>(i));
        }
    }
    if (video.size() < 2 || candidates.empty()) return video.empty() ? -1 : video[0];

    // Several video streams: the first seconds of each candidate are read (through a second
    // opening of the input, which leaves this one untouched) and looked at for privacy messages.
    struct probe_state {
        int index = -1;
        ff::bsf_ptr filter;
        int64_t first = AV_NOPTS_VALUE;
        bool decided = false, carries = false;
    };
    std::vector<probe_state> probes(candidates.size());
    for (size_t k = 0; k < candidates.size(); ++k) {
        probes[k].index = candidates[k];
        const AVCodecParameters* par = fmt_ctx->streams[candidates[k]]->codecpar;
        const AVBitStreamFilter* filter =
            av_bsf_get_by_name(par->codec_id == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : "hevc_mp4toannexb");
        AVBSFContext* ctx = nullptr;
        if (filter != nullptr && av_bsf_alloc(filter, &ctx) >= 0) {
            probes[k].filter.reset(ctx);
            if (avcodec_parameters_copy(ctx->par_in, par) < 0 || av_bsf_init(ctx) < 0) probes[k].filter.reset();
        }
    }
    // The second opening reads the same file as the first, from a position of its own.
    inputFile same_file([this] { return job.cancelled(); });
    AVFormatContext* opened = same_file.open_same(*input_file) ? open_format(same_file) : nullptr;
    if (opened != nullptr) {
        ff::input_context_ptr probe(opened);
        ff::packet_ptr packet(av_packet_alloc());
        int64_t bytes = 0;
        size_t open_probes = probes.size();
        while (packet && open_probes > 0 && bytes < k_probe_bytes && av_read_frame(probe.get(), packet.get()) >= 0) {
            bytes += packet->size;
            for (probe_state& state : probes) {
                if (state.index != packet->stream_index || state.decided) continue;
                const AVStream* stream = fmt_ctx->streams[state.index];
                const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                if (time != AV_NOPTS_VALUE && state.first == AV_NOPTS_VALUE) state.first = time;
                if (time != AV_NOPTS_VALUE &&
                    av_compare_ts(time - state.first, stream->time_base, k_probe_seconds, AVRational{1, 1}) > 0) {
                    state.decided = true;
                } else if (!state.filter) {
                    privacy::access_unit unit;
                    privacy::scan_access_unit(packet->data, static_cast<size_t>(packet->size),
                                              stream->codecpar->codec_id, &unit);
                    state.carries = state.decided = unit.message.found;
                } else if (av_bsf_send_packet(state.filter.get(), packet.get()) >= 0) {
                    while (av_bsf_receive_packet(state.filter.get(), packet.get()) == 0) {
                        privacy::access_unit unit;
                        privacy::scan_access_unit(packet->data, static_cast<size_t>(packet->size),
                                                  stream->codecpar->codec_id, &unit);
                        state.carries = state.carries || unit.message.found;
                        av_packet_unref(packet.get());
                    }
                    state.decided = state.carries;
                }
                if (state.decided) --open_probes;
                break;  // (the filter may have taken the packet)
            }
            av_packet_unref(packet.get());
        }
    }
    for (const probe_state& state : probes) {
        if (state.carries) return state.index;
    }
    return video[0];
}

void mediaDemuxer::name_left_out_streams() const {
    for (unsigned i = 0; i < fmt_ctx->nb_streams; ++i) {
        if (static_cast<int>(i) == videoStreamIdx || static_cast<int>(i) == audioStreamIdx) continue;
        const AVCodecParameters* par = fmt_ctx->streams[i]->codecpar;
        const char* type = av_get_media_type_string(par->codec_type);
        DEBUG_WRN("stream %u (%s, %s) is left out: the output holds one video and one audio stream", i,
                  type != nullptr ? type : "unknown", avcodec_get_name(par->codec_id));
    }
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
    const AVRational rate = input_stream_info.avg_frame_rate;
    if (rate.num > 0 && rate.den > 0) {
        (*copy)->frame_period = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), input_stream_info.video_time_base));
    }
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
    if (!range_fits_input()) return 0;

    // A description of the input and a key check build no stage: their steps take the video
    // packets, and nothing takes the audio.
    const bool writes = !(demuxer_type & (k_type_info | k_type_check));
    std::unique_ptr<videoDecode> decoder;
    std::unique_ptr<videoEncode> encoder;
    std::unique_ptr<streamCopy> copy;
    std::unique_ptr<mediaMuxer> muxer;
    picture_counts& counts = job.pictures;
    counts.reset();
    try {
        // The output name is claimed before any work starts; until the muxer takes the file
        // over, claimed removes it should the run end here. When no name can be claimed the
        // muxer tries the last one once more itself and reports the failure.
        outputFile claimed;
        if (writes) claimed.adopt(create_output_file(), output_path);

        // Built in pipeline order, each connected to the one before it. A stage that fails to
        // set up is built and connected all the same: its failure is in the result status, and
        // the read loop stops at its first check.
        if (!writes) {
            set_callback(1, nullptr);
        } else if (demuxer_type & k_type_copy) {
            build_stream_copy(&copy, &muxer, claimed.release());
        } else {
            decoder.reset(new videoDecode(job, video_codec_id));
            set_callback(0, std::bind(&common::push_data, decoder.get(), std::placeholders::_1));
            job.set_probing(true);  // hardware encoders that do not open are expected here
            encoder.reset(new videoEncode(job, video_codec_id, &input_stream_info));
            job.set_probing(false);
            decoder->set_callback(0, std::bind(&common::push_data, encoder.get(), std::placeholders::_1));
            muxer.reset(new mediaMuxer(job, output_path.c_str(), encoder->is_init ? encoder->codec_ctx : nullptr,
                                       audioCodecpar, fmt_ctx, claimed.release()));
            encoder->set_callback(0, std::bind(&common::push_data, muxer.get(), std::placeholders::_1));
            // Chunks encoded side by side reach the muxer in bursts; the pool counts them sooner.
            muxer->counts_pictures = !encoder->pool;
            set_callback(1, std::bind(&common::push_data, muxer.get(), std::placeholders::_1));
        }

        video_packets_routed = 0;
        audio_packets_routed = 0;
        references_intact_ = noted_lost_reference_ = noted_unreferenced_ = false;
        noted_trimmed_ = noted_refused_ = false;
        input_span span;
        if (input_stream_info.avg_frame_rate.num > 0) {
            span.period = av_rescale_q(1, av_inv_q(input_stream_info.avg_frame_rate), input_stream_info.video_time_base);
        }
        if (range_.active) seek_to_range_start();

        // Receives every read and every filter output.
        auto read_holder = std::make_shared<avPacketDev>();
        AVPacket* packet = read_holder->pkt;
        int read_result = 0;
        while (packet != nullptr && (read_result = av_read_frame(fmt_ctx, packet)) >= 0) {
            // A failure anywhere stops the job; the packet in hand is not routed.
            if (get_result_code() != RESULT_OK) break;
            if (clock_offset_ != 0 && packet->stream_index >= 0 &&
                packet->stream_index < static_cast<int>(fmt_ctx->nb_streams)) {
                const int64_t offset = av_rescale_q(clock_offset_, AV_TIME_BASE_Q,
                                                    fmt_ctx->streams[packet->stream_index]->time_base);
                if (packet->pts != AV_NOPTS_VALUE) packet->pts -= offset;
                if (packet->dts != AV_NOPTS_VALUE) packet->dts -= offset;
            }
            if (range_.active && (packet->stream_index == videoStreamIdx || packet->stream_index == audioStreamIdx) &&
                !place_in_range(packet)) {
                av_packet_unref(packet);
                if (range_finished()) break;
                continue;
            }
            if (packet->stream_index == videoStreamIdx) {
                span.note(packet);
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
            // A key check ends at its first verdict.
            if (check_done_) break;
        }

        // (A range stops early on purpose, and a key check at its first verdict.)
        if (get_result_code() == RESULT_OK && !range_.active && !check_done_) report_early_end(span, read_result);

        // End of stream for the filter, only when nothing has failed; what it still holds goes
        // on as it comes out.
        if (bsf_ctx != nullptr && get_result_code() == RESULT_OK && !check_done_) {
            auto flush_holder = std::make_shared<avPacketDev>();
            av_bsf_send_packet(bsf_ctx, nullptr);
            while (flush_holder->pkt != nullptr && av_bsf_receive_packet(bsf_ctx, flush_holder->pkt) == 0) {
                ++video_packets_routed;
                demuxer_video_callback_all(flush_holder->pkt);
                av_packet_unref(flush_holder->pkt);
            }
        }
    } catch (...) {
        // Memory (or another resource) ran out: the job fails before any stage goes, so the
        // stages below stop at once and the muxer removes its file instead of finishing it.
        job.fail_with(std::current_exception());
        job.set_probing(false);
    }
    if ((demuxer_type & k_type_check) && !check_done_ && get_result_code() == RESULT_OK) {
        DEBUG_ERR("no privacy message in the input: nothing to check the key against");
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
    }
    if ((demuxer_type & k_type_info) && get_result_code() == RESULT_OK) {
        job.set_result_status(RESULT_OK, k_input_read_message);
    }

    // Torn down in pipeline order: each destructor drains its queue into the next stage,
    // which therefore still exists, and joins its worker before that stage goes.
    decoder.reset();
    encoder.reset();
    // An output in which most hidden pictures are missing or damaged does not hold the hidden
    // pictures: the job fails (and the muxer removes the file) rather than answering 0.
    if (get_result_code() == RESULT_OK && !counts.mostly_intact()) {
        DEBUG_ERR("only %lld of the %lld hidden pictures found were restored intact",
                  static_cast<long long>(counts.restored - counts.damaged), static_cast<long long>(counts.found));
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
    }
    // A lossless restore writes the key pictures too; it has restored something only when a
    // decrypted picture went through.
    if (copy && (range_.active ? counts.restored.load() : copy->hidden_pictures) == 0 &&
        get_result_code() == RESULT_OK) {
        DEBUG_ERR("no hidden picture was restored");
        set_result_status(RESULT_STREAM_FORMAT_ERROR);
    }
    copy.reset();
    muxer.reset();
    // The slots would otherwise point at destroyed stages.
    set_callback(0, nullptr);
    set_callback(1, nullptr);

    if (writes) DEBUG_WRN("%s", counts.line().c_str());
    job.progress.set_damaged_pictures(counts.damaged);
    DEBUG_WRN("mediaDemuxer loop task end");
    return 0;
}

void mediaDemuxer::input_span::note(const AVPacket* packet) {
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (time == AV_NOPTS_VALUE) return;
    if (first == AV_NOPTS_VALUE || time < first) first = time;
    const int64_t end = time + (packet->duration > 0 ? packet->duration : period);
    if (last_end == AV_NOPTS_VALUE || end > last_end) last_end = end;
}

void mediaDemuxer::report_early_end(const input_span& span, int read_result) const {
    const AVStream* video = fmt_ctx->streams[videoStreamIdx];
    const double base = av_q2d(video->time_base);
    const double period = input_stream_info.avg_frame_rate.num > 0 ? 1.0 / av_q2d(input_stream_info.avg_frame_rate) : 0.0;
    const double ends = span.first == AV_NOPTS_VALUE ? 0.0 : static_cast<double>(span.last_end - span.first) * base;
    // What the container declares: the stream's duration (or the file's), or its picture count
    // (FFmpeg shortens the duration of an AVI file whose index is missing, not its count).
    double expected = video->duration > 0 ? static_cast<double>(video->duration) * base
                      : fmt_ctx->duration > 0 ? static_cast<double>(fmt_ctx->duration) / AV_TIME_BASE
                                              : 0.0;
    expected = std::max(expected, static_cast<double>(video->nb_frames) * period);
    const bool unreadable = read_result != AVERROR_EOF;
    // Declared durations are rounded (and estimated where the container stores none).
    const double tolerance = std::max(k_early_end_tolerance_seconds, 3 * period);
    if (!unreadable && !(expected > 0 && ends + tolerance < expected)) return;
    char reason[AV_ERROR_MAX_STRING_SIZE] = "truncated";
    if (unreadable) av_strerror(read_result, reason, sizeof(reason));
    DEBUG_WRN("the input ends early: its video stops at %.2f s of %.2f s (%s); the pictures after that are missing",
              ends, expected, reason);
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
    if (demuxer_type & k_type_info) {
        demuxer_info_process(packet);
    } else if (demuxer_type & k_type_check) {
        demuxer_check_process(packet);
    } else if (demuxer_type & k_type_privacy) {
        packet = bounded_access_unit(packet);
        if (packet == nullptr) return;
        routing_packet_ = packet;
        demuxer_mosic_process(packet);
        routing_packet_ = nullptr;
        bounded_packet_.reset();  // (the next stage holds its own reference)
    } else {
        DEBUG_ERR("not support demuxer type");
    }
}
