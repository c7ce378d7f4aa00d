// The input stage and the owner of one job's pipeline: opens the input, picks the streams,
// derives the output path, publishes the job's input_stream_info, and runs the job's main
// loop on the caller's thread (read, Annex B filter, privacy step, routing, stage build and
// tear-down). Every stage it builds works for its job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/common.h"
#include "common/streamInfo.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

class decryptMosic;
class mediaMuxer;
class streamCopy;

class mediaDemuxer : public common {
public:
    // Mode bit that sends video packets through the privacy step.
    static constexpr int k_type_privacy = 2;
    // Mode bit of a lossless restore: the privacy step's packets go to the muxer as they
    // stand (stream copy) instead of through the decoder and encoder.
    static constexpr int k_type_copy = 4;
    // Size of the buffer that receives each decrypted coded picture.
    static constexpr size_t k_decrypt_buffer_size = 0xA00000;

    // requested_output: the output path asked for on the command line (a directory, or the
    // file itself), or null for the usual name beside the input.
    mediaDemuxer(job_context& job, const char* input_path, int type, std::string privacy_key,
                 const char* requested_output = nullptr);
    ~mediaDemuxer() override;

    // The output path for an input path: "_decmosic_" and 14 digits of local time inserted
    // before the extension, which must be mp4 or avi in any letter case. Empty when none
    // can be made.
    static std::string build_output_path(const char* input_path);
    // The same with an output path asked for: an existing directory receives the usual file
    // name; any other path is the output file itself, whose extension must be the input's
    // (mp4 or avi, any letter case). Null asks for nothing. Empty when none can be made.
    static std::string build_output_path(const char* input_path, const char* requested_output);

    // Creates the output file exclusively with the input's permission bits. When its name
    // is taken (by another run in the same second, or by anything else), waits for the next
    // second's name; gives up after k_output_name_wait_seconds. The descriptor, or -1.
    static constexpr int k_output_name_wait_seconds = 5;
    int create_output_file();

    // Runs the whole job. -1 when the demuxer is not initialised, else 0; the outcome is
    // in the job's result status.
    int demuxer_media_file_process();

    // Dispatches one video packet by demuxer_type.
    void demuxer_video_callback_all(AVPacket* packet);

    // The privacy step for one Annex B access unit, judged by its first VCL NAL unit: forwards
    // key pictures whole, replaces a picture that carries a privacy message (in any SEI NAL
    // unit before it) by the decrypted picture behind the unit's parameter sets, and drops
    // every other picture but its parameter sets. 0 when handled, -1 on an unknown codec or
    // when the hidden picture could not be recovered.
    int demuxer_mosic_process(AVPacket* packet);

    AVBSFContext* bsf_ctx = nullptr;
    AVFormatContext* fmt_ctx = nullptr;
    int demuxer_type = 0;
    int videoStreamIdx = -1;
    int audioStreamIdx = -1;
    std::unique_ptr<uint8_t[]> decrypt_buffer;  // k_decrypt_buffer_size bytes
    int video_codec_id = 0;
    std::string privacy_key;
    std::string output_path;
    std::string input_path;
    // The -o path as given (a folder or a file name); empty without -o.
    std::string requested_output_path;
    // HEVC: the packet without the container's parameter sets the Annex B filter inserted
    // behind the access unit's own (held in rebuilt_packet while it is routed), else the packet.
    AVPacket* without_inserted_configuration(AVPacket* packet);
    std::shared_ptr<avPacketDev> rebuilt_packet;
    std::shared_ptr<decryptMosic> decryptor;
    AVCodecParameters* videoCodecpar = nullptr;
    AVCodecParameters* audioCodecpar = nullptr;

    // What the last run of the loop handed on: video packets given to
    // demuxer_video_callback_all (filter flush included) and audio packets given to slot 1.
    int64_t video_packets_routed = 0;
    int64_t audio_packets_routed = 0;

private:
    // Builds the lossless restore's stages (stream copy and muxer, no codec) and connects
    // slot 0 to the copy stage and slot 1 to the muxer.
    void build_stream_copy(std::unique_ptr<streamCopy>* copy, std::unique_ptr<mediaMuxer>* muxer, int output_fd);
    // The video packet being handed to the privacy step (the stream-copy stage compares what
    // comes out with it).
    const AVPacket* routing_packet_ = nullptr;
};
