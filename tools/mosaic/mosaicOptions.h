// The mosaic command line: mosaic INPUT KEY [options].
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mosaic {

// A rectangle to mask, in pixels of the input picture.
struct mask_region {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
};

enum class output_container { mp4, avi };

struct mosaic_options {
    std::string input;
    std::string key;
    std::string output;                    // always set after parsing (default beside the input)
    output_container container = output_container::mp4;
    std::vector<mask_region> regions;      // empty: one centred rectangle a third of the picture
    int block = 16;
    int codec_id = 0;                      // AVCodecID: H.264 or HEVC
    int gop = 50;
    int bframes = 0;                       // B-frames between reference pictures
    int qp = 23;
    std::string preset = "medium";
    std::string version_text;              // empty: the unversioned form
    size_t encrypt_bytes = SIZE_MAX;       // SIZE_MAX: the whole coded picture
    std::string dump_unmasked;             // debug: the unmasked chain's Annex B stream goes here
    // Access-unit layouts other encoders and cameras write:
    bool aud = false;                      // an access unit delimiter opens every access unit
    bool sei_before = false;               // a user-data SEI NAL unit stands before the privacy SEI
    bool shared_sei = false;               // the privacy message follows a user-data message in its SEI NAL unit
    bool prefix_sei = false;               // HEVC: the privacy SEI is a prefix SEI (type 39)
    bool cra = false;                      // HEVC: groups after the first start with a CRA picture
    bool open_gop = false;                 // H.264: groups after the first start with an I picture (HEVC: as cra)
    int slices = 1;                        // slices per picture
    bool raw_start_codes = false;          // salt, nonce (and an unversioned tail) hold start codes, unescaped
};

inline constexpr const char* k_default_version_text = "ver-mosaic-0.1";

enum class parse_outcome { run, help, error };

// Parses argv. On error, *error says what is wrong (one line, no program name). A KEY of
// exactly "-" is read from the first line of standard input.
parse_outcome parse_mosaic_options(int argc, char** argv, mosaic_options* options, std::string* error);

// The --help text.
const char* mosaic_help_text();

}  // namespace mosaic
