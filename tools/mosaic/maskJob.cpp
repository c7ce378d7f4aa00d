#include "tools/mosaic/maskJob.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <vector>

#include "privacy/accessUnit.h"
#include "privacy/privacyPacket.h"
#include "privacy/privacySeiWriter.h"
#include "tools/mosaic/annexB.h"
#include "tools/mosaic/chainEncoder.h"
#include "tools/mosaic/frameConvert.h"
#include "tools/mosaic/frameSource.h"
#include "tools/mosaic/maskedMuxer.h"
#include "tools/mosaic/pixelate.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace mosaic {

namespace {

struct file_closer {
    void operator()(FILE* file) const { std::fclose(file); }
};

// A picture sent to both chains, waiting for their packets.
struct pending_picture {
    int64_t pts;
    bool group_start;
};

// A user-data-unregistered SEI message (payload type 5): a UUID and a short text, all bytes
// non-zero, so it never forms a start-code pattern with its neighbours.
const uint8_t k_user_data_message[] = {0x05, 0x17, 0x6D, 0x6F, 0x73, 0x61, 0x69, 0x63, 0x2D, 0x6C,
                                       0x61, 0x79, 0x6F, 0x75, 0x74, 0x2D, 0x31, 0x2E, 0x01, 0x6D,
                                       0x6F, 0x73, 0x61, 0x69, 0x63};
static_assert(sizeof(k_user_data_message) == 2 + 0x17, "type, size and payload");

void append(std::vector<uint8_t>& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }

// Access unit delimiter: H.264 primary_pic_type 7 (any slice type); HEVC pic_type 2.
void append_delimiter(int codec_id, std::vector<uint8_t>& out) {
    if (codec_id == AV_CODEC_ID_HEVC) {
        append(out, {0, 0, 0, 1, 0x46, 0x01, 0x50});
    } else {
        append(out, {0, 0, 0, 1, 0x09, 0xF0});
    }
}

// An SEI NAL unit of its own holding the user-data message (HEVC: a prefix SEI).
void append_user_data_sei(int codec_id, std::vector<uint8_t>& out) {
    if (codec_id == AV_CODEC_ID_HEVC) {
        append(out, {0, 0, 0, 1, 0x4E, 0x01});
    } else {
        append(out, {0, 0, 0, 1, 0x06});
    }
    out.insert(out.end(), std::begin(k_user_data_message), std::end(k_user_data_message));
    out.push_back(0x80);
}

// Reshapes the privacy SEI NAL unit build_privacy_sei made (4-byte start code, NAL header,
// privacy message): HEVC prefix SEI header, and the user-data message first in the unit.
void reshape_privacy_sei(const mosaic_options& options, std::vector<uint8_t>& sei) {
    const size_t header_end = options.codec_id == AV_CODEC_ID_HEVC ? 6 : 5;
    if (options.prefix_sei) sei[4] = 0x4E;  // NAL type 39 (layer and temporal id unchanged)
    if (options.shared_sei) {
        sei.insert(sei.begin() + header_end, std::begin(k_user_data_message), std::end(k_user_data_message));
    }
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

class maskJob {
public:
    maskJob(const mosaic_options& options, job_summary* summary)
        : options_(options),
          summary_(summary),
          length_prefixed_(options.raw_start_codes && options.container == output_container::mp4) {
        sei_options_.version_text = options.version_text;
        sei_options_.encrypt_bytes = options.encrypt_bytes;
        if (options.raw_start_codes) {
            // Random salt and nonce with a 3-byte start code in the salt and a 4-byte one in
            // the nonce, which the writer then keeps as they are.
            sei_options_.raw_start_codes = true;
            sei_options_.random_bytes = [](uint8_t* bytes, size_t count) {
                if (RAND_bytes(bytes, static_cast<int>(count)) != 1 || count < 8) return false;
                static const uint8_t salt_code[] = {0, 0, 1}, nonce_code[] = {0, 0, 0, 1};
                if (count == privacy::k_salt_size) {
                    std::memcpy(bytes + 5, salt_code, sizeof(salt_code));
                } else {
                    std::memcpy(bytes + 4, nonce_code, sizeof(nonce_code));
                }
                return true;
            };
        }
    }

    ~maskJob() {
        dump_.reset();
        if (!succeeded_ && !options_.dump_unmasked.empty() && dump_created_) {
            std::remove(options_.dump_unmasked.c_str());
        }
    }

    bool run(const std::atomic<bool>& interrupted, std::string* error);

private:
    bool start(const AVFrame* first, std::string* error);
    bool take_picture(const AVFrame* decoded, std::string* error);
    bool write_ready(std::string* error);
    bool write_pair(AVPacket* masked, AVPacket* unmasked, const pending_picture& picture, std::string* error);
    bool open_muxer(const AVPacket* idr, std::string* error);

    const mosaic_options& options_;
    job_summary* summary_;
    privacy_sei_options sei_options_;
    frameSource source_;
    frameConvert convert_;
    std::vector<pixel_rect> regions_;
    chainEncoder masked_chain_;
    chainEncoder unmasked_chain_;
    chain_settings settings_;
    maskedMuxer muxer_;
    std::deque<pending_picture> pending_;
    std::deque<packet_ptr> early_audio_;  // audio read before the output could be opened
    std::unique_ptr<FILE, file_closer> dump_;
    bool dump_created_ = false;
    bool succeeded_ = false;
    // MP4 with start-code patterns in the privacy SEIs: packets go to the muxer length-prefixed.
    const bool length_prefixed_;
    int64_t picture_index_ = 0;
    std::vector<uint8_t> sei_;
};

bool maskJob::start(const AVFrame* first, std::string* error) {
    std::vector<mask_region> requested = options_.regions;
    if (requested.empty()) requested.push_back(default_region(convert_.source_width(), convert_.source_height()));
    if (!resolve_regions(requested, convert_.source_width(), convert_.source_height(), &regions_, error)) return false;

    const AVStream* video = source_.video_stream();
    settings_.codec_id = options_.codec_id;
    settings_.width = convert_.width();
    settings_.height = convert_.height();
    settings_.time_base = video->time_base;
    settings_.frame_rate = source_.frame_rate();
    settings_.sample_aspect_ratio =
        first->sample_aspect_ratio.num > 0 ? first->sample_aspect_ratio : video->codecpar->sample_aspect_ratio;
    settings_.color_range = first->color_range;
    settings_.colorspace = first->colorspace;
    settings_.color_primaries = first->color_primaries;
    settings_.color_trc = first->color_trc;
    settings_.gop = options_.gop;
    settings_.bframes = options_.bframes;
    settings_.qp = options_.qp;
    settings_.preset = options_.preset;
    settings_.slices = options_.slices;
    settings_.cra = options_.cra;
    settings_.open_gop = options_.open_gop;
    if (!masked_chain_.open(settings_, error) || !unmasked_chain_.open(settings_, error)) return false;

    if (!options_.dump_unmasked.empty()) {
        // The unmasked pictures are as private as the input: its permission bits, never wider.
        struct stat input_info {};
        const mode_t mode = stat(options_.input.c_str(), &input_info) == 0 ? (input_info.st_mode & 0666) : 0600;
        const int fd = open(options_.dump_unmasked.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
        // A file that existed already keeps no bit the input lacks.
        struct stat dump_info {};
        if (fd >= 0 && fstat(fd, &dump_info) == 0) fchmod(fd, dump_info.st_mode & mode);
        dump_.reset(fd >= 0 ? fdopen(fd, "wb") : nullptr);
        if (fd >= 0 && !dump_) ::close(fd);
        if (!dump_) {
            *error = "cannot create '" + options_.dump_unmasked + "': " + std::strerror(errno);
            return false;
        }
        dump_created_ = true;
    }
    return true;
}

// Masks one decoded picture and gives it to both chains. At a group start both get the
// masked picture as a forced IDR picture, so the restorer's decoder holds exactly the
// reference the unmasked chain's next pictures were predicted from; inside a group the
// unmasked chain gets the unmasked picture.
bool maskJob::take_picture(const AVFrame* decoded, std::string* error) {
    frame_ptr unmasked = convert_.convert(decoded, error);
    if (!unmasked) return false;
    if (picture_index_ == 0 && !start(unmasked.get(), error)) return false;

    frame_ptr masked = make_frame();
    if (!masked) {
        *error = "out of memory";
        return false;
    }
    masked->format = unmasked->format;
    masked->width = unmasked->width;
    masked->height = unmasked->height;
    if (av_frame_get_buffer(masked.get(), 0) < 0 || av_frame_copy(masked.get(), unmasked.get()) < 0 ||
        av_frame_copy_props(masked.get(), unmasked.get()) < 0) {
        *error = "out of memory";
        return false;
    }
    for (const pixel_rect& rect : regions_) pixelate_yuv420p(masked.get(), rect, options_.block);

    const bool group_start = picture_index_ % options_.gop == 0;
    ++picture_index_;
    pending_.push_back({unmasked->pts, group_start});
    if (!masked_chain_.encode(masked.get(), group_start, error)) return false;
    if (!unmasked_chain_.encode(group_start ? masked.get() : unmasked.get(), group_start, error)) return false;
    return write_ready(error);
}

bool maskJob::open_muxer(const AVPacket* idr, std::string* error) {
    muxer_video_setup video;
    video.encoder = masked_chain_.context();
    video.extradata = parameter_sets_of(options_.codec_id, idr->data, static_cast<size_t>(idr->size));
    if (length_prefixed_) {
        // The MP4 muxer would split Annex B packets at every start-code pattern, the privacy
        // SEI's too: the packets come length-prefixed, and the sample entry is built here.
        video.extradata = avc_configuration(video.extradata.data(), video.extradata.size());
    }
    video.time_base = settings_.time_base;
    video.frame_rate = settings_.frame_rate;
    video.sample_aspect_ratio = settings_.sample_aspect_ratio;
    video.source = source_.video_stream();
    video.container_tags = source_.tags();
    if (video.extradata.empty()) {
        *error = "the encoder wrote no parameter sets with its first IDR picture";
        return false;
    }
    if (!muxer_.open(options_.output, options_.container, video, source_.audio_streams(), error)) return false;
    for (const std::string& warning : muxer_.warnings()) std::fprintf(stderr, "mosaic: warning: %s\n", warning.c_str());
    for (packet_ptr& audio : early_audio_) {
        if (!muxer_.write_audio(audio.get(), error)) return false;
    }
    early_audio_.clear();
    return true;
}

// Checks that a group-start picture is a key access unit (IDR, CRA, or an H.264 I picture) that
// carries its parameter sets.
bool is_key_with_parameter_sets(int codec_id, const AVPacket* packet) {
    privacy::access_unit unit;
    return privacy::scan_access_unit(packet->data, static_cast<size_t>(packet->size), codec_id, &unit) &&
           unit.kind == privacy::picture_kind::key && unit.parameter_set_count > 0;
}

bool maskJob::write_pair(AVPacket* masked, AVPacket* unmasked, const pending_picture& picture, std::string* error) {
    const int64_t number = summary_->pictures;
    if (masked->pts != picture.pts || unmasked->pts != picture.pts || masked->dts != unmasked->dts) {
        *error = "the encoders returned picture " + std::to_string(number) + " out of order";
        return false;
    }
    if (dump_ && std::fwrite(unmasked->data, 1, static_cast<size_t>(unmasked->size), dump_.get()) !=
                     static_cast<size_t>(unmasked->size)) {
        *error = "cannot write to '" + options_.dump_unmasked + "'";
        return false;
    }

    packet_ptr out = make_packet();
    if (!out) {
        *error = "out of memory";
        return false;
    }
    std::vector<uint8_t> sample;  // the packet with its NAL units behind lengths (length_prefixed_)
    if (picture.group_start) {
        // Both chains encoded the same masked picture as an IDR picture with the same
        // settings and history; if their bytes differ, the hidden pictures that follow would
        // be decoded against a reference the restorer does not have.
        if (!is_key_with_parameter_sets(options_.codec_id, masked) ||
            !is_key_with_parameter_sets(options_.codec_id, unmasked)) {
            *error = "picture " + std::to_string(number) +
                     " starts a group but the encoder did not make it a key picture with parameter sets";
            return false;
        }
        if (masked->size != unmasked->size || std::memcmp(masked->data, unmasked->data, masked->size) != 0) {
            *error = "the masked and the unmasked encoder made different IDR pictures (or parameter sets) at "
                     "picture " + std::to_string(number) +
                     "; their hidden pictures could not be restored, so nothing was written";
            return false;
        }
        if (!muxer_.is_open() && !open_muxer(masked, error)) return false;
        if (options_.aud) {
            std::vector<uint8_t> delimiter;
            append_delimiter(options_.codec_id, delimiter);
            if (av_new_packet(out.get(), static_cast<int>(delimiter.size()) + masked->size) < 0) {
                *error = "out of memory";
                return false;
            }
            std::memcpy(out->data, delimiter.data(), delimiter.size());
            std::memcpy(out->data + delimiter.size(), masked->data, masked->size);
        } else if (av_packet_ref(out.get(), masked) < 0) {
            *error = "out of memory";
            return false;
        }
        out->flags |= AV_PKT_FLAG_KEY;
    } else {
        sei_.clear();
        std::string why;
        privacy_sei_options sei_options = sei_options_;
        const size_t size = static_cast<size_t>(unmasked->size);
        if (sei_options.version_text.empty() && sei_options.encrypt_bytes < size && !sei_options.raw_start_codes) {
            // The unversioned form carries its plain tail without emulation prevention, so the
            // tail must not hold a 00 00 0x run (every start code and escape in the picture
            // is one): encrypt up to the last of them.
            const size_t needed = clean_tail_start(unmasked->data, size);
            if (needed > sei_options.encrypt_bytes) {
                sei_options.encrypt_bytes = needed;
                ++summary_->widened_pictures;
            }
        }
        if (!build_privacy_sei(options_.codec_id, unmasked->data, size, options_.key, sei_options, &sei_, &why)) {
            *error = "cannot hide picture " + std::to_string(number) + ": " + why;
            return false;
        }
        reshape_privacy_sei(options_, sei_);
        // [delimiter] [user-data SEI] privacy SEI, then the masked picture's own NAL units.
        std::vector<uint8_t> lead;
        if (options_.aud) append_delimiter(options_.codec_id, lead);
        if (options_.sei_before) append_user_data_sei(options_.codec_id, lead);
        const size_t front = lead.size() + sei_.size();
        if (av_new_packet(out.get(), static_cast<int>(front) + masked->size) < 0) {
            *error = "out of memory";
            return false;
        }
        if (!lead.empty()) std::memcpy(out->data, lead.data(), lead.size());
        std::memcpy(out->data + lead.size(), sei_.data(), sei_.size());
        std::memcpy(out->data + front, masked->data, masked->size);
        out->flags = masked->flags;
        ++summary_->hidden_pictures;
        if (length_prefixed_) {
            // The privacy SEI is one NAL unit, whatever start-code patterns it holds.
            append_length_prefixed(lead.data(), lead.size(), sample);
            append_nal(sei_.data() + 4, sei_.size() - 4, sample);
            append_length_prefixed(masked->data, static_cast<size_t>(masked->size), sample);
        }
    }
    if (length_prefixed_) {
        if (picture.group_start) append_length_prefixed(out->data, static_cast<size_t>(out->size), sample);
        const int flags = out->flags;
        av_packet_unref(out.get());
        if (av_new_packet(out.get(), static_cast<int>(sample.size())) < 0) {
            *error = "out of memory";
            return false;
        }
        std::memcpy(out->data, sample.data(), sample.size());
        out->flags = flags;
    }
    out->pts = picture.pts;
    // With B-frames the packets come in decoding order, their dts from the encoder.
    out->dts = masked->dts != AV_NOPTS_VALUE ? masked->dts : picture.pts;
    out->duration = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(settings_.frame_rate), settings_.time_base));
    if (!muxer_.write_video(out.get(), error)) return false;
    ++summary_->pictures;
    return true;
}

// Pairs the packets both chains have made so far, picture by picture, and writes them.
bool maskJob::write_ready(std::string* error) {
    auto& masked = masked_chain_.ready();
    auto& unmasked = unmasked_chain_.ready();
    while (!masked.empty() && !unmasked.empty()) {
        // Packets leave in decoding order: each is matched with its picture by time.
        const int64_t pts = masked.front()->pts;
        auto picture = pending_.begin();
        while (picture != pending_.end() && picture->pts != pts) ++picture;
        if (picture == pending_.end()) {
            *error = "the encoders returned a picture they were not given";
            return false;
        }
        if (!write_pair(masked.front().get(), unmasked.front().get(), *picture, error)) return false;
        masked.pop_front();
        unmasked.pop_front();
        pending_.erase(picture);
    }
    return true;
}

bool maskJob::run(const std::atomic<bool>& interrupted, std::string* error) {
    if (same_file(options_.input, options_.output)) {
        *error = "the output '" + options_.output + "' is the input";
        return false;
    }
    if (!source_.open(options_.input, error)) return false;

    frame_ptr frame = make_frame();
    packet_ptr audio = make_packet();
    if (!frame || !audio) {
        *error = "out of memory";
        return false;
    }
    for (;;) {
        if (interrupted) {
            *error = "interrupted";
            return false;
        }
        const frameSource::item item = source_.next(frame.get(), audio.get(), error);
        if (item == frameSource::item::failed) return false;
        if (item == frameSource::item::end) break;
        if (item == frameSource::item::video_frame) {
            const bool ok = take_picture(frame.get(), error);
            av_frame_unref(frame.get());
            if (!ok) return false;
            continue;
        }
        if (muxer_.is_open()) {
            if (!muxer_.write_audio(audio.get(), error)) return false;
            av_packet_unref(audio.get());
        } else {
            packet_ptr held = make_packet();
            if (!held) {
                *error = "out of memory";
                return false;
            }
            av_packet_move_ref(held.get(), audio.get());
            early_audio_.push_back(std::move(held));
        }
    }
    summary_->damaged_packets = source_.damaged_packets();
    summary_->ignored_streams = source_.ignored_streams();
    if (picture_index_ == 0) {
        *error = "no picture could be decoded from '" + options_.input + "'";
        return false;
    }
    if (!masked_chain_.encode(nullptr, false, error) || !unmasked_chain_.encode(nullptr, false, error) ||
        !write_ready(error)) {
        return false;
    }
    if (!pending_.empty() || !masked_chain_.ready().empty() || !unmasked_chain_.ready().empty()) {
        *error = "the two encoders returned different numbers of pictures";
        return false;
    }
    if (dump_ && std::fflush(dump_.get()) != 0) {
        *error = "cannot write to '" + options_.dump_unmasked + "'";
        return false;
    }
    if (!muxer_.finish(error)) return false;
    succeeded_ = true;
    return true;
}

}  // namespace

bool run_mask_job(const mosaic_options& options, const std::atomic<bool>& interrupted, job_summary* summary,
                  std::string* error) {
    *summary = job_summary();
    maskJob job(options, summary);
    return job.run(interrupted, error);
}

}  // namespace mosaic
