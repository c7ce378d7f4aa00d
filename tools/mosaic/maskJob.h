// One mosaic run: read the input, mask it, encode the masked and the unmasked chain, hide
// the unmasked pictures in the masked stream and write the output.
#pragma once

#include <atomic>
#include <string>

#include "tools/mosaic/mosaicOptions.h"

namespace mosaic {

struct job_summary {
    int pictures = 0;         // pictures written
    int hidden_pictures = 0;  // of which carry a hidden unmasked picture
    int damaged_packets = 0;  // input packets the decoder refused
    int widened_pictures = 0; // hidden pictures encrypted beyond --encrypt-bytes (unversioned form)
    int ignored_streams = 0;  // input streams not copied (subtitles, data, further video)
};

// Runs the job. On failure returns false with *error set, and no output file exists.
// Stops early, as a failure, once *interrupted becomes true.
bool run_mask_job(const mosaic_options& options, const std::atomic<bool>& interrupted, job_summary* summary,
                  std::string* error);

}  // namespace mosaic
