// mosaic INPUT KEY [options]: makes a privacy-masked MP4 or AVI whose stream hides the
// unmasked pictures, encrypted under KEY, for demosaic to restore.
#include <openssl/crypto.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "tools/mosaic/maskJob.h"
#include "tools/mosaic/mosaicOptions.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::atomic<bool> g_interrupted{false};

void on_signal(int) { g_interrupted = true; }

// SIGINT, SIGTERM and SIGHUP end the run like a failure, so the unfinished output is removed.
void watch_signals() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal_number, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    mosaic::mosaic_options options;
    std::string error;
    switch (mosaic::parse_mosaic_options(argc, argv, &options, &error)) {
        case mosaic::parse_outcome::help:
            std::fputs(mosaic::mosaic_help_text(), stdout);
            return 0;
        case mosaic::parse_outcome::error:
            std::fprintf(stderr, "mosaic: %s\nTry 'mosaic --help'.\n", error.c_str());
            return 2;
        case mosaic::parse_outcome::run:
            break;
    }
    // FFmpeg and the encoders speak only of errors; mosaic reports the outcome itself.
    av_log_set_level(AV_LOG_ERROR);
    watch_signals();

    mosaic::job_summary summary;
    const bool ok = mosaic::run_mask_job(options, g_interrupted, &summary, &error);
    OPENSSL_cleanse(&options.key[0], options.key.size());
    if (!ok) {
        std::fprintf(stderr, "mosaic: %s\n", error.c_str());
        return 1;
    }
    if (summary.damaged_packets > 0) {
        std::fprintf(stderr, "mosaic: warning: %d damaged input packets were skipped\n", summary.damaged_packets);
    }
    if (summary.ignored_streams > 0) {
        std::fprintf(stderr, "mosaic: note: %d input stream(s) other than the video and its audio were not copied\n",
                     summary.ignored_streams);
    }
    if (summary.widened_pictures > 0) {
        std::fprintf(stderr,
                     "mosaic: note: %d of %d hidden pictures had more than --encrypt-bytes encrypted, because the "
                     "unversioned form carries the plain rest without escaping and it held start-code-like bytes\n",
                     summary.widened_pictures, summary.hidden_pictures);
    }
    if (summary.hidden_pictures == 0) {
        std::fprintf(stderr,
                     "mosaic: warning: every picture starts a group (--gop), so no unmasked picture is hidden "
                     "and demosaic will have nothing to restore\n");
    }
    std::printf("mosaic: wrote %s (%d pictures, %d hidden)\n", options.output.c_str(), summary.pictures,
                summary.hidden_pictures);
    return 0;
}
