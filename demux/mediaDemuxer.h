// The input stage and the owner of one job's pipeline: opens the input, picks the streams,
// derives the output path, publishes the job's input_stream_info, and runs the job's main
// loop on the caller's thread (read, Annex B filter, privacy step, routing, stage build and
// tear-down). Every stage it builds works for its job.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/common.h"
#include "common/streamInfo.h"

extern "C" {
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

class decryptMosic;
class hashedInput;
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
    // Mode bit of a description of the input: every access unit is read and counted as the
    // privacy step counts it, nothing is decrypted or decoded, no stage and no file is made.
    static constexpr int k_type_info = 8;
    // Mode bit of a key check: the first privacy message is decrypted and the reading stops
    // there; no stage and no file is made.
    static constexpr int k_type_check = 16;
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
    // file itself), or null for the usual name beside the input. reader: the input is read
    // through it (to hash it on the way) rather than opened by FFmpeg; it must outlive the
    // demuxer.
    mediaDemuxer(job_context& job, const char* input_path, int type, std::string privacy_key,
                 const char* requested_output = nullptr, hashedInput* reader = nullptr);
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

    // Restricts the run to a time range of the input, in microseconds from its start (-1: an
    // open end). The reading starts at the key picture at or before from; the pictures before
    // from and from to on are decoded as references only, the output's times start near zero
    // (at from; in a lossless restore at that key picture, which the output begins with), and
    // the audio is cut to match. Set before demuxer_media_file_process.
    void set_range(int64_t from, int64_t to);
    // The input time (microseconds from its start) that became time zero of the output; -1
    // without a range or before the run has fixed it.
    int64_t range_offset() const { return range_.offset; }

    // Runs the whole job. -1 when the demuxer is not initialised, else 0; the outcome is
    // in the job's result status. An exception (memory that runs out) fails the job first and
    // then stops the stages in pipeline order, so that the unfinished output is removed,
    // before it goes on to the caller.
    int demuxer_media_file_process();

    // What a description of the input (k_type_info) finds beside the counts of job.pictures:
    // the first version text, and the times (microseconds from the input's start) of the
    // first and last hidden picture, -1 when there is none.
    std::string version_text;
    bool has_version = false;
    int64_t first_hidden = -1;
    int64_t last_hidden = -1;

    // Dispatches one video packet by demuxer_type.
    void demuxer_video_callback_all(AVPacket* packet);

    // The privacy step for one Annex B access unit, judged by its first VCL NAL unit: forwards
    // key pictures whole, replaces a picture that carries a privacy message (in any SEI NAL
    // unit before it) by the decrypted picture behind the unit's parameter sets, and drops
    // every other picture but its parameter sets. 0 when handled, -1 on an unknown codec or
    // when the hidden picture could not be recovered.
    int demuxer_mosic_process(AVPacket* packet);
    // The description's step and the key check's step for one Annex B access unit.
    void demuxer_info_process(const AVPacket* packet);
    void demuxer_check_process(const AVPacket* packet);

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
    // and stopping with the job; reader, when given, hashes what is read. False when it cannot
    // be opened (a refusal is logged here).
    bool open_input(hashedInput* reader);
    // An opened input context reading file (every opening of the input goes through one), or
    // null.
    AVFormatContext* open_format(inputFile& file);
    // Counts what one access unit adds to what the input holds (pictures, key pictures,
    // privacy messages; only for pictures that are shown). True when it carries a hidden
    // picture: a privacy message in a picture that is no key picture. Every mode counts here.
    bool count_access_unit(const privacy::access_unit& unit, bool shown);
    // A packet's presentation time (its decode time when it has none) in microseconds from
    // the start of the input, or AV_NOPTS_VALUE.
    int64_t input_time(const AVPacket* packet, bool decode_time = false) const;

    // The range of the run (set_range) and what the reading has found of it.
    struct range_state {
        bool active = false;
        int64_t from = 0;
        int64_t to = INT64_MAX;
        int64_t offset = -1;      // input time of output time zero; fixed by the first video packet in copy mode
        bool video_done = false;  // a video picture decoded at or after `to` was read
        bool audio_done = false;  // an audio packet at or after `to` was read
        int64_t last_video = AV_NOPTS_VALUE;  // decode time of the last video packet read
    };
    range_state range_;
    // Audio read before a lossless restore's offset is known (at most k_held_audio packets).
    static constexpr size_t k_held_audio = 512;
    std::vector<std::shared_ptr<avPacketDev>> held_audio_;
    // Refuses a range that starts at or past the end of the input (result status 7). True
    // when there is no range or it fits.
    bool range_fits_input();
    // Seeks to the key picture at or before the range's start.
    void seek_to_range_start();
    // Decides a packet's fate inside the range: false when it is dropped; else it is marked as
    // a reference only (AV_PKT_FLAG_DISCARD) when it lies outside [from, to), and its times are
    // moved by the offset. Audio that arrives before the offset is fixed is held.
    bool place_in_range(AVPacket* packet);
    // Moves a packet's times so that the range's offset becomes zero.
    void shift_to_offset(AVPacket* packet) const;
    // Fixes the offset and hands on the audio held until then.
    void fix_range_offset(int64_t offset);
    // The range has been read: the video and (unless the input has none, or it lags too far)
    // the audio have passed its end.
    bool range_finished() const;
    // The first privacy message has been decrypted, or has failed to decrypt (key check).
    bool check_done_ = false;

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
    // Time zero of the input (its container's start time) in the timestamps the read loop
    // sees, a running clock's start already taken off (AV_TIME_BASE units).
    int64_t timeline_start_ = 0;

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
