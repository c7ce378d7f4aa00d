// Builds privacy SEI NAL units: the exact inverse of what decryptMosic reads. Used by the
// mosaic tool to hide an unmasked coded picture inside a masked stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct privacy_sei_options {
    // Empty: the unversioned form. Otherwise the version text, which must begin "ver-" and
    // hold no zero byte (it is written followed by one zero byte).
    std::string version_text;
    // How many leading bytes of the coded picture are encrypted; the rest is carried as the
    // plain tail. Values above the picture size mean all of it.
    size_t encrypt_bytes = SIZE_MAX;
};

// Builds one privacy SEI NAL unit with a 4-byte start code for codec_id (AV_CODEC_ID_H264:
// "06 99 ..."; AV_CODEC_ID_HEVC: suffix SEI "50 01 99 ..."), carrying the Annex B coded
// picture [picture, picture + size) encrypted under privacy_key with a fresh random salt
// and nonce. On success appends the NAL unit to *out and returns true; on failure returns
// false and says why in *error.
bool build_privacy_sei(int codec_id, const uint8_t* picture, size_t size, const std::string& privacy_key,
                       const privacy_sei_options& options, std::vector<uint8_t>* out, std::string* error);
