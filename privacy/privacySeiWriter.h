// Builds privacy SEI NAL units: the exact inverse of what decryptMosic reads. Used by the
// mosaic tool to hide an unmasked coded picture inside a masked stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct privacy_sei_options {
    // Empty: the unversioned form. Otherwise the version text, which must begin "ver-", hold
    // no zero byte and be at most 64 bytes long (it is written followed by one zero byte).
    std::string version_text;
    // How many leading bytes of the coded picture are encrypted; the rest is carried as the
    // plain tail. Values above the picture size mean all of it. At least 1.
    size_t encrypt_bytes = SIZE_MAX;
    // Source of the salt and nonce; empty means OpenSSL's RAND_bytes. Returns false when it
    // cannot deliver.
    std::function<bool(uint8_t* bytes, size_t count)> random_bytes;
    // Write salt, nonce and an unversioned tail as they come, start-code patterns included,
    // as writers that do not escape them do (the reader takes them as they stand).
    bool raw_start_codes = false;
};

// Builds one privacy SEI NAL unit with a 4-byte start code for codec_id (AV_CODEC_ID_H264:
// "06 99 ..."; AV_CODEC_ID_HEVC: suffix SEI "50 01 99 ..."), carrying the Annex B coded
// picture [picture, picture + size) encrypted under privacy_key with a fresh random salt
// and nonce. On success appends the NAL unit to *out and returns true; on failure returns
// false, leaves *out as it was and says why in *error.
//
// The NAL unit holds no start-code emulation (00 00 00, 00 00 01, 00 00 02) and no stray
// 00 00 03 outside the emulation prevention of the versioned tail: salt and nonce are drawn
// again when they would form one; when the length field of the base64 text would, the split
// between encrypted part and tail moves by a few bytes, or, where that cannot help, the text
// is followed by a zero byte and filler up to a harmless length (the reader decodes the text
// up to its first zero byte). An unversioned tail is carried as it is, so it must hold no
// 00 00 0x run (x <= 3) itself. With options.raw_start_codes, salt, nonce and tail are taken
// as they come, patterns and all.
bool build_privacy_sei(int codec_id, const uint8_t* picture, size_t size, const std::string& privacy_key,
                       const privacy_sei_options& options, std::vector<uint8_t>* out, std::string* error);
