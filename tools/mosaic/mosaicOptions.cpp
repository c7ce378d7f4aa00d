#include "tools/mosaic/mosaicOptions.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace mosaic {

namespace {

enum option_id {
    opt_region = 1000,
    opt_block,
    opt_codec,
    opt_gop,
    opt_bframes,
    opt_qp,
    opt_preset,
    opt_version_text,
    opt_unversioned,
    opt_encrypt_bytes,
    opt_dump_unmasked,
    opt_aud,
    opt_sei_before,
    opt_shared_sei,
    opt_prefix_sei,
    opt_cra,
    opt_open_gop,
    opt_slices,
    opt_raw_start_codes,
    opt_help,
};

const char* const k_presets[] = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                 "medium",    "slow",      "slower",   "veryslow", "placebo"};

// The longest version text the reader takes back whole: it looks for the terminating zero
// byte within the first 64 payload bytes.
constexpr size_t k_max_version_text = 63;

bool parse_int(const char* text, long min, long max, long* value) {
    if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text))) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < min || parsed > max) return false;
    *value = parsed;
    return true;
}

bool parse_size(const char* text, unsigned long long min, size_t* value) {
    if (text == nullptr || !std::isdigit(static_cast<unsigned char>(*text))) return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min) return false;
    *value = static_cast<size_t>(parsed);
    return true;
}

// "X,Y,W,H" with X, Y >= 0 and W, H >= 1.
bool parse_region(const std::string& text, mask_region* region) {
    long parts[4];
    size_t from = 0;
    for (int i = 0; i < 4; ++i) {
        const size_t comma = text.find(',', from);
        if ((i < 3) != (comma != std::string::npos)) return false;
        const std::string part = text.substr(from, i < 3 ? comma - from : std::string::npos);
        if (!parse_int(part.c_str(), i < 2 ? 0 : 1, INT_MAX / 2, &parts[i])) return false;
        from = comma + 1;
    }
    *region = {static_cast<int>(parts[0]), static_cast<int>(parts[1]), static_cast<int>(parts[2]),
               static_cast<int>(parts[3])};
    return true;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// ".mp4" / ".avi" in any letter case picks the container; anything else is refused.
bool container_of(const std::string& path, output_container* container) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    const std::string extension = lower(path.substr(dot));
    if (extension == ".mp4") {
        *container = output_container::mp4;
        return true;
    }
    if (extension == ".avi") {
        *container = output_container::avi;
        return true;
    }
    return false;
}

// INPUT's folder and name without its extension, then "_masked.mp4".
std::string default_output(const std::string& input) {
    const size_t slash = input.find_last_of('/');
    const size_t dot = input.find_last_of('.');
    const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
    std::string stem = input;
    // A leading dot (".clip") is part of the name, not an extension.
    if (dot != std::string::npos && dot > name_start) stem = input.substr(0, dot);
    return stem + "_masked.mp4";
}

}  // namespace

const char* mosaic_help_text() {
    return "usage: mosaic INPUT KEY [options]\n"
           "Makes a privacy-masked MP4 or AVI from any video FFmpeg can open: the chosen regions\n"
           "are covered by a mosaic, and beside every masked picture but the first of each group\n"
           "the stream carries the unmasked picture, encrypted under KEY in an SEI NAL unit of\n"
           "payload type 153. demosaic with the same KEY restores it. KEY \"-\" reads the key\n"
           "from the first line of standard input.\n"
           "\n"
           "options:\n"
           "  --region X,Y,W,H     rectangle to mask, in input pixels; repeatable\n"
           "                       (default: one centred rectangle a third of the picture)\n"
           "  --block N            mosaic cell size in pixels, at least 2 (default 16)\n"
           "  -o PATH              output file, .mp4 or .avi in any letter case\n"
           "                       (default: INPUT's name with _masked.mp4, beside it)\n"
           "  --codec h264|hevc    output video codec, libx264 or libx265 (default h264)\n"
           "  --gop N              pictures per group; each group starts with a masked IDR\n"
           "                       picture (default 50)\n"
           "  --bframes N          B-frames between reference pictures, 0 to 4 (default 0);\n"
           "                       a fixed pattern, the same in the masked and unmasked stream\n"
           "  --qp N               constant quantiser, 0 to 51 (default 23)\n"
           "  --preset NAME        encoder preset, ultrafast to placebo (default medium)\n"
           "  --version-text TEXT  version text carried with each hidden picture; begins with\n"
           "                       \"ver-\", at most 63 bytes (default \"ver-mosaic-0.1\")\n"
           "  --unversioned        hidden pictures without a version text\n"
           "  --encrypt-bytes N    encrypt only the first N bytes (N >= 1) of each hidden\n"
           "                       picture; the rest is carried in plain (default: all of it).\n"
           "                       With --unversioned the plain rest cannot be escaped, so the\n"
           "                       split moves past the picture's last 00 00 0x bytes\n"
           "  --dump-unmasked PATH also write the unmasked encoder's Annex B stream to PATH\n"
           "                       (for debugging)\n"
           "\n"
           "access-unit layouts (as other encoders and cameras write them):\n"
           "  --aud                an access unit delimiter opens every access unit\n"
           "  --sei-before         a user-data SEI NAL unit stands before each privacy SEI\n"
           "  --shared-sei         the privacy message is the second message of its SEI NAL\n"
           "                       unit, behind a user-data message\n"
           "  --prefix-sei         HEVC: carry the privacy message in a prefix SEI (type 39)\n"
           "                       instead of a suffix SEI (type 40)\n"
           "  --cra                HEVC: every group but the first starts with a CRA picture\n"
           "                       instead of an IDR picture\n"
           "  --open-gop           every group but the first starts with a key picture that is\n"
           "                       no IDR picture: H.264 an I picture with a recovery point SEI\n"
           "                       (needs --bframes 1 or more), HEVC a CRA picture (as --cra)\n"
           "  --slices N           code every picture as N slices, 1 to 16 (default 1)\n"
           "  --raw-start-codes    the salt and nonce of every hidden picture hold the start\n"
           "                       codes 00 00 01 and 00 00 00 01, written unescaped as some\n"
           "                       cameras do; with --unversioned the plain rest keeps its start\n"
           "                       codes unescaped too (HEVC: .avi output only)\n"
           "  --help               show this text and exit\n"
           "\n"
           "Audio streams are copied unchanged and every picture keeps its source timestamp.\n"
           "On failure mosaic prints the reason on standard error, exits with status 1 (2 for\n"
           "a bad command line) and leaves no output file.\n";
}

parse_outcome parse_mosaic_options(int argc, char** argv, mosaic_options* options, std::string* error) {
    static const option long_options[] = {
        {"region", required_argument, nullptr, opt_region},
        {"block", required_argument, nullptr, opt_block},
        {"codec", required_argument, nullptr, opt_codec},
        {"gop", required_argument, nullptr, opt_gop},
        {"bframes", required_argument, nullptr, opt_bframes},
        {"qp", required_argument, nullptr, opt_qp},
        {"preset", required_argument, nullptr, opt_preset},
        {"version-text", required_argument, nullptr, opt_version_text},
        {"unversioned", no_argument, nullptr, opt_unversioned},
        {"encrypt-bytes", required_argument, nullptr, opt_encrypt_bytes},
        {"dump-unmasked", required_argument, nullptr, opt_dump_unmasked},
        {"aud", no_argument, nullptr, opt_aud},
        {"sei-before", no_argument, nullptr, opt_sei_before},
        {"shared-sei", no_argument, nullptr, opt_shared_sei},
        {"prefix-sei", no_argument, nullptr, opt_prefix_sei},
        {"cra", no_argument, nullptr, opt_cra},
        {"open-gop", no_argument, nullptr, opt_open_gop},
        {"slices", required_argument, nullptr, opt_slices},
        {"raw-start-codes", no_argument, nullptr, opt_raw_start_codes},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };

    *options = mosaic_options();
    options->codec_id = AV_CODEC_ID_H264;
    bool version_given = false;
    bool unversioned = false;
    long value = 0;

    opterr = 0;  // messages are ours
    optind = 1;
    for (;;) {
        int index = 0;
        const int c = getopt_long(argc, argv, ":o:", long_options, &index);
        if (c == -1) break;
        const std::string argument = optarg != nullptr ? optarg : "";
        switch (c) {
            case opt_help:
                return parse_outcome::help;
            case opt_region: {
                mask_region region;
                if (!parse_region(argument, &region)) {
                    *error = "--region needs X,Y,W,H with X,Y >= 0 and W,H >= 1, not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->regions.push_back(region);
                break;
            }
            case opt_block:
                if (!parse_int(argument.c_str(), 2, 4096, &value)) {
                    *error = "--block needs a cell size from 2 to 4096, not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->block = static_cast<int>(value);
                break;
            case 'o':
                options->output = argument;
                break;
            case opt_codec: {
                const std::string codec = lower(argument);
                if (codec == "h264" || codec == "avc") {
                    options->codec_id = AV_CODEC_ID_H264;
                } else if (codec == "hevc" || codec == "h265") {
                    options->codec_id = AV_CODEC_ID_HEVC;
                } else {
                    *error = "--codec must be h264 or hevc, not '" + argument + "'";
                    return parse_outcome::error;
                }
                break;
            }
            case opt_gop:
                if (!parse_int(argument.c_str(), 1, 100000, &value)) {
                    *error = "--gop needs a group length from 1 to 100000, not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->gop = static_cast<int>(value);
                break;
            case opt_bframes:
                if (!parse_int(argument.c_str(), 0, 4, &value)) {
                    *error = "--bframes needs a count from 0 to 4, not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->bframes = static_cast<int>(value);
                break;
            case opt_qp:
                if (!parse_int(argument.c_str(), 0, 51, &value)) {
                    *error = "--qp needs a quantiser from 0 to 51, not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->qp = static_cast<int>(value);
                break;
            case opt_preset: {
                bool known = false;
                for (const char* preset : k_presets) known = known || argument == preset;
                if (!known) {
                    *error = "--preset must be one of ultrafast, superfast, veryfast, faster, fast, medium, "
                             "slow, slower, veryslow, placebo; not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->preset = argument;
                break;
            }
            case opt_version_text:
                if (argument.compare(0, 4, "ver-") != 0 || argument.size() > k_max_version_text) {
                    *error = "--version-text must begin with \"ver-\" and be at most " +
                             std::to_string(k_max_version_text) + " bytes long, not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->version_text = argument;
                version_given = true;
                break;
            case opt_unversioned:
                unversioned = true;
                break;
            case opt_encrypt_bytes:
                if (!parse_size(argument.c_str(), 1, &options->encrypt_bytes)) {
                    *error = "--encrypt-bytes needs a byte count of at least 1, not '" + argument + "'";
                    return parse_outcome::error;
                }
                break;
            case opt_dump_unmasked:
                if (argument.empty()) {
                    *error = "--dump-unmasked needs a file name";
                    return parse_outcome::error;
                }
                options->dump_unmasked = argument;
                break;
            case opt_aud:
                options->aud = true;
                break;
            case opt_sei_before:
                options->sei_before = true;
                break;
            case opt_shared_sei:
                options->shared_sei = true;
                break;
            case opt_prefix_sei:
                options->prefix_sei = true;
                break;
            case opt_cra:
                options->cra = true;
                break;
            case opt_open_gop:
                options->open_gop = true;
                break;
            case opt_raw_start_codes:
                options->raw_start_codes = true;
                break;
            case opt_slices:
                if (!parse_int(argument.c_str(), 1, 16, &value)) {
                    *error = "--slices needs a slice count from 1 to 16, not '" + argument + "'";
                    return parse_outcome::error;
                }
                options->slices = static_cast<int>(value);
                break;
            case ':':
                *error = std::string("option ") + (optopt != 0 && optopt < 256 ? std::string("-") + char(optopt)
                                                                                : std::string(argv[optind - 1])) +
                         " needs a value";
                return parse_outcome::error;
            default:
                *error = std::string("unknown option ") + argv[optind - 1];
                return parse_outcome::error;
        }
    }

    const int positional = argc - optind;
    if (positional != 2) {
        *error = positional < 2 ? "needs INPUT and KEY" : std::string("unexpected argument '") + argv[optind + 2] + "'";
        return parse_outcome::error;
    }
    options->input = argv[optind];
    options->key = argv[optind + 1];
    if (options->input.empty()) {
        *error = "INPUT is empty";
        return parse_outcome::error;
    }
    if (version_given && unversioned) {
        *error = "--version-text and --unversioned exclude each other";
        return parse_outcome::error;
    }
    if (!unversioned && !version_given) options->version_text = k_default_version_text;
    if ((options->prefix_sei || options->cra) && options->codec_id != AV_CODEC_ID_HEVC) {
        *error = std::string(options->prefix_sei ? "--prefix-sei" : "--cra") + " needs --codec hevc";
        return parse_outcome::error;
    }
    if (options->open_gop && options->codec_id == AV_CODEC_ID_HEVC) options->cra = true;
    if (options->open_gop && options->codec_id == AV_CODEC_ID_H264 && options->bframes == 0) {
        *error = "--open-gop needs --bframes 1 or more with h264 (libx264 opens groups only with B-frames)";
        return parse_outcome::error;
    }

    if (options->output.empty()) options->output = default_output(options->input);
    if (!container_of(options->output, &options->container)) {
        *error = "the output name must end in .mp4 or .avi: '" + options->output + "'";
        return parse_outcome::error;
    }
    if (options->raw_start_codes && options->codec_id == AV_CODEC_ID_HEVC &&
        options->container == output_container::mp4) {
        *error = "--raw-start-codes with --codec hevc needs an .avi output";
        return parse_outcome::error;
    }

    if (options->key == "-") {
        options->key.clear();
        if (!std::getline(std::cin, options->key) && options->key.empty()) {
            *error = "could not read the key from standard input";
            return parse_outcome::error;
        }
        while (!options->key.empty() && (options->key.back() == '\r' || options->key.back() == '\n')) {
            options->key.pop_back();
        }
    }
    if (options->key.empty()) {
        *error = "the key must not be empty";
        return parse_outcome::error;
    }
    return parse_outcome::run;
}

}  // namespace mosaic
