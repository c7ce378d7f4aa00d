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
class inputFile;
class mediaMuxer;
namespace privacy {
struct access_unit;
}
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
    // What one access unit may make the pipeline hold (the decoder keeps state for every NAL
    // unit, in each of its threads): one of more NAL units is trimmed of its filler and empty
    // ones, and refused when it still has too many; a larger one is refused. Both lie far above
    // what encoders write (HEVC allows 600 slices per picture; H.264 level 6.2 about 27 MB).
    static constexpr size_t k_max_nal_units = 4096;
    static constexpr size_t k_max_access_unit_bytes = size_t{32} << 20;
    // The highest bit rate the encoder is given: the most H.264 and HEVC allow at their highest
    // level (6.2; H.264 High, HEVC high tier: 800 Mbit/s). A container can declare any rate (a
    // damaged duration gives petabits), which the encoders refuse.
    static constexpr int64_t k_max_bit_rate = 800000000;

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

    // Creates the output file exclusively with the input's group and bits, never wider
    // (common/fileAccess.h). When its name is taken (by another run in the same second, or by
    // anything else), waits for the next second's name; gives up after
    // k_output_name_wait_seconds. The descriptor, or -1.
    static constexpr int k_output_name_wait_seconds = 5;
    int create_output_file();

    // Runs the whole job. -1 when the demuxer is not initialised, else 0; the outcome is
    // in the job's result status. An exception (memory that runs out) fails the job first and
    // then stops the stages in pipeline order, so that the unfinished output is removed,
    // before it goes on to the caller.
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
    // The opened input, read through input_file (which outlives it).
    AVFormatContext* fmt_ctx = nullptr;
    std::unique_ptr<inputFile> input_file;
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
    // Opens input_path into fmt_ctx when it is a regular file, reading it through input_file
    // and stopping with the job. False when it cannot be opened (a refusal is logged here).
    bool open_input();
    // An opened input context reading file (every opening of the input goes through one), or
    // null.
    AVFormatContext* open_format(inputFile& file);
    // Packet time in seconds from the start of the video stream (for log lines).
    double packet_seconds(const AVPacket* packet) const;
    // A hidden picture is lost: when others may be predicted from it, the hidden pictures behind
    // it up to the next key picture cannot be decoded (the first such loss is logged, why says how).
    void lose_hidden_picture(const AVPacket* packet, bool reference, const char* why);
    // The packet within the bounds above: itself, a trimmed copy (held in bounded_packet_), or
    // null when it is refused (its picture counts as lost).
    AVPacket* bounded_access_unit(AVPacket* packet);
    std::shared_ptr<avPacketDev> bounded_packet_;
    bool noted_trimmed_ = false;
    bool noted_refused_ = false;
    // Hands on the parameter sets of an access unit whose picture is dropped.
    int forward_parameter_sets(const AVPacket* packet, const privacy::access_unit& unit);
    // Chooses the video stream: among several, the first H.264/HEVC one whose first seconds
    // carry privacy messages, else the first; -1 when there is none.
    int choose_video_stream();
    // Names every stream the output leaves out (a WRN line each).
    void name_left_out_streams() const;

    // How far the video of the input reaches (in its time base), to tell an input that ends early.
    struct input_span {
        int64_t first = AV_NOPTS_VALUE;
        int64_t last_end = AV_NOPTS_VALUE;
        int64_t period = 0;  // what a packet without a duration lasts: one picture
        void note(const AVPacket* packet);
    };
    // A WRN line when the input ends before its declared duration (by more than the larger of
    // this and three picture periods), or on a read error.
    static constexpr double k_early_end_tolerance_seconds = 0.5;
    void report_early_end(const input_span& span, int read_result) const;

    // The first seconds of each video stream looked at to find the one with privacy messages,
    // within this many bytes of the input.
    static constexpr int64_t k_probe_seconds = 5;
    static constexpr int64_t k_probe_bytes = 64 << 20;
    // Subtracted from every timestamp (AV_TIME_BASE units): the start of a running clock.
    int64_t clock_offset_ = 0;

    // A key picture has been seen, and no hidden picture that others may refer to has been
    // lost since: hidden pictures can be decoded.
    bool references_intact_ = false;
    bool noted_lost_reference_ = false;
    bool noted_unreferenced_ = false;

    // Builds the lossless restore's stages (stream copy and muxer, no codec) and connects
    // slot 0 to the copy stage and slot 1 to the muxer.
    void build_stream_copy(std::unique_ptr<streamCopy>* copy, std::unique_ptr<mediaMuxer>* muxer, int output_fd);
    // The video packet being handed to the privacy step (the stream-copy stage compares what
    // comes out with it).
    const AVPacket* routing_packet_ = nullptr;
};
