#include "interface/evidence.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "common/json.h"
#include "demux/mediaDemuxer.h"

const char k_fingerprint_salt[] = "demosaic key fingerprint v1";

namespace {

std::string seconds_or_null(int64_t microseconds) {
    return microseconds < 0 ? json::k_null : json::number(static_cast<double>(microseconds) / 1e6);
}

std::string text_or_null(const std::string& text) { return text.empty() ? json::k_null : json::string(text); }

// The container as the input's format names it: "mp4" for the MP4/QuickTime family, "avi",
// or FFmpeg's first name for anything else it read under those extensions (e.g. "mpegts").
std::string container_name(const AVInputFormat* format) {
    if (format == nullptr || format->name == nullptr) return json::k_null;
    const std::string names = format->name;
    if (names.find("mp4") != std::string::npos) return json::string("mp4");
    return json::string(names.substr(0, names.find(',')));
}

}  // namespace

std::string describe_input(const char* input_path, const mediaDemuxer* demuxer, const picture_counts& counts,
                           int code, const std::string& message) {
    const AVFormatContext* input = demuxer != nullptr ? demuxer->fmt_ctx : nullptr;
    const bool read = demuxer != nullptr && demuxer->is_init;
    json::object video;
    if (read) {
        const input_stream_info_t& info = demuxer->input_stream_info;
        video.add("codec", json::string(avcodec_get_name(static_cast<AVCodecID>(demuxer->video_codec_id))))
            .add("width", json::number(int64_t{info.width}))
            .add("height", json::number(int64_t{info.height}))
            .add("frame_rate", json::number(av_q2d(info.avg_frame_rate)));
    }
    auto counted = [read](int64_t count) { return read ? json::number(count) : json::k_null; };
    json::object result;
    result.add("code", json::number(int64_t{code})).add("message", json::string(message));
    json::object description;
    description.add("input", input_path != nullptr ? json::string(input_path) : json::k_null)
        .add("container", input != nullptr ? container_name(input->iformat) : json::k_null)
        .add("duration", input != nullptr && input->duration > 0 ? seconds_or_null(input->duration) : json::k_null)
        .add("video", read ? video.text() : json::k_null)
        .add("audio", read && demuxer->audioCodecpar != nullptr
                          ? json::string(avcodec_get_name(demuxer->audioCodecpar->codec_id))
                          : json::k_null)
        .add("pictures", counted(counts.pictures))
        .add("key_pictures", counted(counts.key_pictures))
        .add("hidden_pictures", counted(counts.found))
        .add("version", read && demuxer->has_version ? json::string(demuxer->version_text) : json::k_null)
        .add("first_hidden", read ? seconds_or_null(demuxer->first_hidden) : json::k_null)
        .add("last_hidden", read ? seconds_or_null(demuxer->last_hidden) : json::k_null)
        .add("result", result.text());
    return description.text();
}

std::string key_fingerprint(const std::string& key) {
    unsigned char derived[16];
    if (PKCS5_PBKDF2_HMAC(key.data(), static_cast<int>(key.size()),
                          reinterpret_cast<const unsigned char*>(k_fingerprint_salt),
                          static_cast<int>(std::strlen(k_fingerprint_salt)), k_fingerprint_iterations, EVP_sha256(),
                          sizeof(derived), derived) != 1) {
        return std::string();
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : derived) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

std::string iso8601(time_t when) {
    struct tm local {};
    if (localtime_r(&when, &local) == nullptr) return std::string();
    char text[64];
    const size_t length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff / 60;  // minutes east of UTC
    const long magnitude = offset < 0 ? -offset : offset;
    snprintf(text + length, sizeof(text) - length, "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 60,
             magnitude % 60);
    return text;
}

std::string evidence_record(const evidence_facts& facts) {
    json::object tool;
    tool.add("name", json::string("demosaic"))
        .add("version", json::string(DEMOSAIC_VERSION))
        .add("ffmpeg", json::string(av_version_info()))
        .add("openssl", json::string(OpenSSL_version(OPENSSL_VERSION)));
    std::string command = json::k_null;
    if (!facts.command.empty()) {
        command = "[";
        for (size_t i = 0; i < facts.command.size(); ++i) command += (i ? "," : "") + json::string(facts.command[i]);
        command += "]";
    }
    const char* mode = facts.mode == restore_options::job_mode::info    ? "info"
                       : facts.mode == restore_options::job_mode::check ? "check"
                       : facts.copy                                     ? "copy"
                                                                        : "reencode";
    json::object range;
    range.add("from", seconds_or_null(facts.from)).add("to", seconds_or_null(facts.to));
    range.add("offset", seconds_or_null(facts.offset));
    auto file = [](const evidence_facts::file& f) {
        json::object o;
        o.add("path", text_or_null(f.path))
            .add("size", f.size < 0 ? json::k_null : json::number(f.size))
            .add("sha256", text_or_null(f.sha256));
        return o.text();
    };
    json::object result;
    result.add("code", json::number(int64_t{facts.code})).add("message", json::string(facts.message));
    // A description or a key check restores nothing: what it would have restored is not known.
    const bool restores = facts.mode == restore_options::job_mode::restore;
    auto restore_count = [restores](int64_t count) { return restores ? json::number(count) : json::k_null; };
    json::object pictures;
    pictures.add("input", json::number(facts.pictures))
        .add("key", json::number(facts.key_pictures))
        .add("hidden_found", json::number(facts.found))
        .add("restored", restore_count(facts.restored))
        .add("dropped", restore_count(facts.dropped))
        .add("damaged", restore_count(facts.damaged));
    json::object record;
    record.add("tool", tool.text())
        .add("started", json::string(iso8601(facts.started)))
        .add("finished", json::string(iso8601(facts.finished)))
        .add("command", command)
        .add("mode", json::string(mode))
        .add("range", facts.range ? range.text() : json::k_null)
        .add("input", file(facts.input))
        .add("output", facts.output.path.empty() ? json::k_null : file(facts.output))
        .add("result", result.text())
        .add("pictures", pictures.text())
        .add("key_fingerprint", text_or_null(facts.key_fingerprint));
    return record.text();
}

bool evidenceFile::create(const std::string& path, const struct stat* input, std::string* why) {
    const int fd = outputFile::create_exclusive(path, input);
    if (fd < 0 || !file_.adopt(fd, path)) {
        *why = std::strerror(fd < 0 ? errno : EBADF);
        if (fd >= 0) close(fd);
        return false;
    }
    return true;
}

bool evidenceFile::write(const std::string& text, std::string* why) {
    const int fd = file_.fd();
    bool written = fd >= 0;
    for (size_t done = 0; written && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += static_cast<size_t>(n);
    }
    written = written && fsync(fd) == 0;
    if (!written) *why = std::strerror(errno != 0 ? errno : EIO);
    if (!file_.close() && written) {
        written = false;
        *why = std::strerror(errno != 0 ? errno : EIO);
    }
    if (written) file_.keep();
    return written;
}
