// demosaic [options] INPUT KEY: restores the unmasked pictures that a privacy-masked H.264/HEVC
// video carries and writes them, with the input's audio, into a new file beside the input.
#include <openssl/crypto.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "common/jobContext.h"
#include "debug/std_debug.h"
#include "interface/ffmpegLog.h"
#include "interface/pqMosaicInterface.h"
#include "interface/progress.h"

namespace {

// SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken by one watcher thread,
// which cancels the job (its log line goes to the job's log): the stages stop at their next
// check, the unfinished output is removed and the job ends with RESULT_INTERRUPTED.
class interrupt_watcher {
public:
    explicit interrupt_watcher(job_context& job) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this, &job] { const job_context::thread_binding bound(job); watch(job); });
    }
    ~interrupt_watcher() {
        done_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }

private:
    void watch(job_context& job) {
        int signal_number = 0;
        if (sigwait(&signals_, &signal_number) != 0 || done_) return;
        DEBUG_ERR("interrupted by signal %d, stopping", signal_number);
        job.cancel();
    }

    sigset_t signals_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// A KEY of exactly "-" is read from the first line of standard input, so that the key
// need not appear in the process list.
bool read_key_from_stdin(std::string* key) {
    if (!std::getline(std::cin, *key) && key->empty()) return false;
    while (!key->empty() && (key->back() == '\r' || key->back() == '\n')) key->pop_back();
    return true;
}

#ifndef DEMOSAIC_VERSION
#define DEMOSAIC_VERSION "0.1.0"
#endif

const char k_usage[] =
    "usage: demosaic INPUT KEY [options]\n"
    "  INPUT  privacy-masked video (.mp4 or .avi, H.264 or HEVC)\n"
    "  KEY    the privacy key; \"-\" reads it from the first line of standard input\n"
    "The restored video is written beside INPUT; the last line of standard output is\n"
    "mosaic_ResultCode=N;mosaic_errStr=TEXT; and the exit status is N.\n"
    "options (before or after the operands; \"--\" ends them):\n"
    "  --copy              lossless and fast: copy the hidden pictures as recorded instead of\n"
    "                      decoding and encoding them; the key pictures stay masked, so the\n"
    "                      output has as many pictures as the input\n"
    "  -o, --output PATH   write the output into directory PATH (usual name), or to the file\n"
    "                      PATH, whose extension must be the input's (.mp4 or .avi)\n"
    "  -v, --verbose       show all of FFmpeg's messages (default: warnings and errors)\n"
    "  --help              show this text and exit\n"
    "  --version           show the version and exit\n";

struct command_line {
    restore_options options;
    bool verbose = false;
    bool help = false;
    bool version = false;
    bool complete = true;  // false when an option lacks its value
    std::vector<const char*> operands;
};

// Only the exact option words are options; every other argument, and every argument after
// "--", is an operand, so keys and paths that begin with "-" keep working.
command_line parse_command_line(int argc, char** argv) {
    command_line line;
    bool options_end = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (options_end) {
            line.operands.push_back(argv[i]);
        } else if (word == "--") {
            options_end = true;
        } else if (word == "--copy") {
            line.options.copy = true;
        } else if (word == "-v" || word == "--verbose") {
            line.verbose = true;
        } else if (word == "--help") {
            line.help = true;
        } else if (word == "--version") {
            line.version = true;
        } else if (word == "-o" || word == "--output") {
            if (i + 1 >= argc) {
                line.complete = false;
            } else {
                line.options.output = argv[++i];
            }
        } else {
            line.operands.push_back(argv[i]);
        }
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const command_line line = parse_command_line(argc, argv);
    if (line.help) {
        printf("%s", k_usage);
        return 0;
    }
    if (line.version) {
        printf("demosaic %s\n", DEMOSAIC_VERSION);
        return 0;
    }
    if (line.operands.size() < 2 || !line.complete) {
        printf("intput argc is error\n");
        fprintf(stderr, "%s", k_usage);
        return -1;
    }
    const char* input = line.operands[0];
    const char* key_operand = line.operands[1];
    ffmpeg_log::install(line.verbose);
    // A reader that goes away must not kill the job half-way through the output file.
    signal(SIGPIPE, SIG_IGN);

    std::string key;
    bool key_ok = true;
    if (std::strcmp(key_operand, "-") == 0) {
        key_ok = read_key_from_stdin(&key);
    } else {
        key = key_operand;
    }

    // The command line's job: log lines on standard output, cancelled by the signals above.
    job_context job;
    job.use_console();
    {
        interrupt_watcher watcher(job);
        progress::reporter progress_line(job.progress);  // only when stderr is a terminal
        if (key_ok) {
            pq_mosaic_interface_input(job, input, key.c_str(), line.options);
        } else {
            DEBUG_ERR("could not read the privacy key from standard input");
            pq_mosaic_interface_input(job, input, nullptr, line.options);
        }
    }
    OPENSSL_cleanse(&key[0], key.size());
    std::string message;
    const int result = job.get_result_status(&message);
    printf("mosaic_ResultCode=%d;mosaic_errStr=%s;\n", result, message.c_str());
    return result;
}
