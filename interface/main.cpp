// demosaic [options] INPUT KEY: restores the unmasked pictures that a privacy-masked H.264/HEVC
// video carries and writes them, with the input's audio, into a new file beside the input.
#include <fcntl.h>
#include <openssl/crypto.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/jobContext.h"
#include "common/printable.h"
#include "common/secret.h"
#include "debug/std_debug.h"
#include "interface/evidence.h"
#include "interface/ffmpegLog.h"
#include "interface/keyInput.h"
#include "interface/pqMosaicInterface.h"
#include "interface/progress.h"

namespace {

// SIGINT, SIGTERM, SIGHUP and SIGQUIT are blocked in every thread and taken by one watcher
// thread, which cancels the job (its log line goes to the job's log): the stages stop at their
// next check, the unfinished output is removed and the job ends with RESULT_INTERRUPTED.
// (SIGQUIT would only end the process without a core file, which is off: the unmasked output
// would stay behind half-written.)
class interrupt_watcher {
public:
    explicit interrupt_watcher(job_context& job) {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGHUP);
        sigaddset(&signals_, SIGQUIT);
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

// Settings of the whole process, made before anything else. Memory holds the key and the
// restored pictures: no core file may show them, nor may another process of the user read them
// through /proc or a debugger. A write beyond the file size limit fails like a full disk (code 6,
// the unfinished output removed) instead of killing the process with SIGXFSZ. A reader that
// goes away must not kill the job half-way through the output file.
void harden_process() {
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const struct rlimit no_core {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

const char k_key_prompt[] = "Privacy key: ";

// The key from standard input (KEY "-") or from the first line of a key file, waiting at most
// until the job is cancelled. False, with an ERR line, when there is none; a cancel ends the
// wait without a line (the job then ends with its code 10).
bool read_key(job_context& job, const char* key_file, std::string* key) {
    const auto cancelled = [&job] { return job.cancelled(); };
    int fd = STDIN_FILENO;
    if (key_file != nullptr) {
        do {
            fd = open(key_file, O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            DEBUG_ERR("could not read the privacy key from %s: %s", printable(key_file, std::strlen(key_file)).c_str(),
                      std::strerror(errno));
            return false;
        }
    }
    const key_read_status status = read_key_line(fd, key, cancelled, k_key_prompt);
    const int error = errno;
    if (key_file != nullptr) close(fd);
    const std::string from = key_file != nullptr ? printable(key_file, std::strlen(key_file)) : "standard input";
    switch (status) {
        case key_read_status::ok:
        case key_read_status::stopped:
            return status == key_read_status::ok;
        case key_read_status::nothing:
            DEBUG_ERR("could not read the privacy key from %s", from.c_str());
            return false;
        case key_read_status::too_long:
            DEBUG_ERR("could not read the privacy key from %s: longer than %zu bytes", from.c_str(), k_max_key_bytes);
            return false;
        case key_read_status::failed:
            break;
    }
    DEBUG_ERR("could not read the privacy key from %s: %s", from.c_str(), std::strerror(error));
    return false;
}

const char k_usage[] =
    "usage: demosaic INPUT KEY [options]\n"
    "       demosaic --key-file FILE INPUT [options]\n"
    "       demosaic --info INPUT\n"
    "  INPUT  privacy-masked video (.mp4 or .avi, H.264 or HEVC)\n"
    "  KEY    the privacy key; \"-\" reads it from the first line of standard input\n"
    "         (at a terminal: asked for, not shown). A key on the command line can be\n"
    "         seen by other users of the machine (ps); prefer \"-\" or --key-file.\n"
    "The restored video is written beside INPUT; the last line of standard output is\n"
    "mosaic_ResultCode=N;mosaic_errStr=TEXT; and the exit status is N.\n"
    "options (before or after the operands; \"--\" ends them):\n"
    "  --copy              lossless and fast: copy the hidden pictures as recorded instead of\n"
    "                      decoding and encoding them; the key pictures stay masked, so the\n"
    "                      output has as many pictures as the input\n"
    "  -o, --output PATH   write the output into directory PATH (usual name), or to the file\n"
    "                      PATH, whose extension must be the input's (.mp4 or .avi)\n"
    "  --key-file FILE     read the key from the first line of FILE, in place of KEY\n"
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
    const char* key_file = nullptr;  // --key-file: the key comes from this file, not an operand
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
        } else if (word == "--key-file") {
            if (i + 1 >= argc) {
                line.complete = false;
            } else {
                line.key_file = argv[++i];
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

// The program's entry, called by main() in interface/program.c: the program lives in
// libdemosaic with the code it runs. Exported for the program alone; it is no part of the
// library's interface (include/demosaic.h), and the start-up line comes from here rather than
// from loading the library, which prints nothing.
extern "C" __attribute__((visibility("default"))) int demosaic_program_main(int argc, char** argv) {
    harden_process();
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
    const size_t operands_needed = info || line.key_file != nullptr ? 1 : 2;
    if (line.operands.size() < operands_needed || !line.complete) {
        fprintf(info ? stderr : stdout, "intput argc is error\n");
        fflush(stdout);
        fprintf(stderr, "%s", k_usage);
        return -1;
    }
    const char* input = line.operands[0];
    const char* key_operand = info ? "" : line.key_file != nullptr ? nullptr : line.operands[1];
    ffmpeg_log::install(line.verbose);

    // The command line's job: log lines on standard output (for --info, its ERR lines on
    // standard error), cancelled by the signals below.
    job_context job;
    job.use_console();
    if (info) {
        job.log.level = STD_DEBUG_LEVEL_ERR;
        job.log.write = [](int, const char* text) { fputs(text, stderr); };
    }
    std::string key;
    // The job's own failures end up in its result; this catches what fails around it (a
    // thread that cannot start when memory has run out), so that there is always a result line.
    try {
        if (!line.error.empty()) {
            // A value the option does not take: no job runs (and no key is asked for).
            const job_context::thread_binding bound(job);
            DEBUG_ERR("%s", line.error.c_str());
            job.set_result_status(RESULT_PARAM_ERROR);
        } else {
            // Watching from here on, so that a signal also ends the wait for a key.
            interrupt_watcher watcher(job);
            bool key_ok = true;
            if (key_operand != nullptr && std::strcmp(key_operand, "-") != 0) {
                key = key_operand;
                // The key leaves the argument area, which other users can read
                // (/proc/PID/cmdline) for as long as the process runs.
                OPENSSL_cleanse(const_cast<char*>(key_operand), key.size());
            } else {
                key_ok = read_key(job, line.key_file, &key);
            }
            if (!job.cancelled()) {
                std::unique_ptr<progress::reporter> progress_line;  // only when stderr is a terminal
                if (line.options.mode == restore_options::job_mode::restore) {
                    progress_line.reset(new progress::reporter(job.progress));
                }
                pq_mosaic_interface_input(job, input, key_ok ? key.c_str() : nullptr, line.options);
            }
        }
    } catch (...) {
        job.fail_with(std::current_exception());
    }
    wipe_string(key);
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
