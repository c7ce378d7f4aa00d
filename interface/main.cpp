// demosaic INPUT KEY: restores the unmasked pictures that a privacy-masked H.264/HEVC video
// carries and writes them, with the input's audio, into a new file beside the input.
#include <openssl/crypto.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "debug/std_debug.h"
#include "interface/pqMosaicInterface.h"
#include "interface/progress.h"
#include "interface/resultStatus.h"

namespace {

// SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken by one watcher thread,
// which stops the job through the result status like any failure: the stages stop at
// their next check and the unfinished output is removed.
class interrupt_watcher {
public:
    interrupt_watcher() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        sigaddset(&signals_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        thread_ = std::thread([this] { watch(); });
    }
    ~interrupt_watcher() {
        done_ = true;
        pthread_kill(thread_.native_handle(), SIGTERM);
        thread_.join();
    }

private:
    void watch() {
        int signal_number = 0;
        if (sigwait(&signals_, &signal_number) != 0 || done_) return;
        DEBUG_ERR("interrupted by signal %d, stopping", signal_number);
        set_result_status(RESULT_INTERRUPTED);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        printf("intput argc is error\n");
        fprintf(stderr,
                "usage: demosaic INPUT KEY\n"
                "  INPUT  privacy-masked video (.mp4 or .avi, H.264 or HEVC)\n"
                "  KEY    the privacy key; \"-\" reads it from the first line of standard input\n"
                "The restored video is written beside INPUT; the last line of standard output is\n"
                "mosaic_ResultCode=N;mosaic_errStr=TEXT; and the exit status is N.\n");
        return -1;
    }
    // A reader that goes away must not kill the job half-way through the output file.
    signal(SIGPIPE, SIG_IGN);

    std::string key;
    bool key_ok = true;
    if (std::strcmp(argv[2], "-") == 0) {
        key_ok = read_key_from_stdin(&key);
    } else {
        key = argv[2];
    }

    char message[256];
    std::memset(message, 0, sizeof(message));
    int result;
    {
        interrupt_watcher watcher;
        progress::reporter progress_line;  // only when stderr is a terminal
        if (key_ok) {
            result = pq_mosaic_interface_input(argv[1], key.c_str(), message);
        } else {
            DEBUG_ERR("could not read the privacy key from standard input");
            result = pq_mosaic_interface_input(argv[1], nullptr, message);
        }
    }
    OPENSSL_cleanse(&key[0], key.size());
    printf("mosaic_ResultCode=%d;mosaic_errStr=%s;\n", result, message);
    return result;
}
