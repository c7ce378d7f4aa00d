// demosaic [options] INPUT KEY: restores the unmasked pictures that a privacy-masked H.264/HEVC
// video carries and writes them, with the input's audio, into a new file beside the input.
#include <openssl/crypto.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/jobContext.h"
#include "debug/std_debug.h"
#include "interface/evidence.h"
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

const char k_usage[] =
    "usage: demosaic INPUT KEY [options]\n"
    "       demosaic --info INPUT\n"
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
    "  --from TIME         restore from TIME on, reading from the key picture before it; TIME\n"
    "                      in seconds (12.5) or [HH:]MM:SS[.fff] (14:02 is 14 min 2 s)\n"
    "  --to TIME           restore up to TIME (not included); the output's times start near 0\n"
    "                      demosaic clip.mp4 KEY --from 14:02 --to 14:07\n"
    "  --info              describe INPUT without a key: one JSON object on standard output\n"
    "                      (streams, pictures, key and hidden pictures, version, first and\n"
    "                      last hidden picture, result); nothing is decoded or decrypted\n"
    "                      demosaic --info clip.mp4\n"
    "  --check             test KEY on the first privacy message only and write nothing:\n"
    "                      0 \"The privacy key is correct\", 2 wrong key, 5 no privacy data\n"
    "                      demosaic --check clip.mp4 -\n"
    "  --report FILE       write an evidence record (JSON) to FILE, which must not exist:\n"
    "                      program and versions, times, command (key as ***), input and\n"
    "                      output with SHA-256, result, picture counts, key fingerprint\n"
    "                      demosaic clip.mp4 KEY --report clip.record.json\n"
    "  -v, --verbose       show all of FFmpeg's messages (default: warnings and errors)\n"
    "  --help              show this text and exit\n"
    "  --version           show the version and exit\n"
    "A bad option value ends with code 7 (Parama Error) and an ERR line saying why.\n";

struct command_line {
    restore_options options;
    bool verbose = false;
    bool help = false;
    bool version = false;
    bool complete = true;  // false when an option lacks its value
    // Why an option's value cannot be taken (the first such), or why options clash.
    std::string error;
    std::vector<const char*> operands;
    // Where the operands stand in argv (the key's is masked in the evidence record).
    std::vector<int> operand_indexes;
};

// Only the exact option words are options; every other argument, and every argument after
// "--", is an operand, so keys and paths that begin with "-" keep working.
command_line parse_command_line(int argc, char** argv) {
    command_line line;
    bool options_end = false;
    bool info = false, check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        // Options that take a value, by the name restore_options knows them by.
        const char* valued = word == "-o" || word == "--output" ? "output"
                             : word == "--from"                 ? "from"
                             : word == "--to"                   ? "to"
                             : word == "--report"               ? "report"
                                                                : nullptr;
        if (options_end) {
            line.operands.push_back(argv[i]);
            line.operand_indexes.push_back(i);
        } else if (word == "--") {
            options_end = true;
        } else if (word == "--copy") {
            line.options.copy = true;
        } else if (word == "--info" || word == "--check") {
            (word == "--info" ? info : check) = true;
            line.options.set(word.substr(2), "1", nullptr);
        } else if (word == "-v" || word == "--verbose") {
            line.verbose = true;
        } else if (word == "--help") {
            line.help = true;
        } else if (word == "--version") {
            line.version = true;
        } else if (valued != nullptr) {
            std::string why;
            if (i + 1 >= argc) {
                line.complete = false;
            } else if (!line.options.set(valued, argv[++i], &why) && line.error.empty()) {
                line.error = why;
            }
        } else {
            line.operands.push_back(argv[i]);
            line.operand_indexes.push_back(i);
        }
    }
    if (info && check && line.error.empty()) line.error = "--info and --check do not go together";
    // The command as the evidence record shows it: the key operand never appears.
    for (int i = 0; i < argc; ++i) {
        const bool key = line.operand_indexes.size() > 1 && i == line.operand_indexes[1];
        line.options.command.push_back(key ? "***" : argv[i]);
    }
    return line;
}

}  // namespace

int main(int argc, char** argv) {
    const command_line line = parse_command_line(argc, argv);
    const bool info = line.options.mode == restore_options::job_mode::info;
    // The start-up line opens standard output, but for --info, whose standard output is its
    // JSON alone.
    std_debug::startup(!info);
    if (line.help) {
        printf("%s", k_usage);
        return 0;
    }
    if (line.version) {
        printf("demosaic %s\n", DEMOSAIC_VERSION);
        return 0;
    }
    if (line.operands.size() < (info ? 1u : 2u) || !line.complete) {
        fprintf(info ? stderr : stdout, "intput argc is error\n");
        fflush(stdout);
        fprintf(stderr, "%s", k_usage);
        return -1;
    }
    const char* input = line.operands[0];
    const char* key_operand = info ? "" : line.operands[1];
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

    // The command line's job: log lines on standard output (for --info, its ERR lines on
    // standard error), cancelled by the signals above.
    job_context job;
    job.use_console();
    if (info) {
        job.log.level = STD_DEBUG_LEVEL_ERR;
        job.log.write = [](int, const char* text) { fputs(text, stderr); };
    }
    if (!line.error.empty()) {
        // A value the option does not take: no job runs.
        const job_context::thread_binding bound(job);
        DEBUG_ERR("%s", line.error.c_str());
        job.set_result_status(RESULT_PARAM_ERROR);
    } else {
        interrupt_watcher watcher(job);
        const bool restores = line.options.mode == restore_options::job_mode::restore;
        std::unique_ptr<progress::reporter> progress_line;  // only when stderr is a terminal
        if (restores) progress_line.reset(new progress::reporter(job.progress));
        if (key_ok) {
            pq_mosaic_interface_input(job, input, key.c_str(), line.options);
        } else {
            DEBUG_ERR("could not read the privacy key from standard input");
            pq_mosaic_interface_input(job, input, nullptr, line.options);
        }
    }
    if (!key.empty()) OPENSSL_cleanse(&key[0], key.size());
    std::string message;
    const int result = job.get_result_status(&message);
    if (info) {
        if (job.description.empty()) job.description = describe_input(input, nullptr, job.pictures, result, message);
        printf("%s\n", job.description.c_str());
    } else {
        printf("mosaic_ResultCode=%d;mosaic_errStr=%s;\n", result, message.c_str());
    }
    return result;
}
