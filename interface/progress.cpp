#include "interface/progress.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace progress {

namespace {
std::atomic<int64_t> g_expected{0};
std::atomic<int64_t> g_written{0};

std::string clock_text(double seconds) {
    if (seconds < 0) seconds = 0;
    const long total = static_cast<long>(seconds + 0.5);
    char text[32];
    if (total >= 3600) {
        snprintf(text, sizeof(text), "%ld:%02ld:%02ld", total / 3600, (total / 60) % 60, total % 60);
    } else {
        snprintf(text, sizeof(text), "%ld:%02ld", total / 60, total % 60);
    }
    return text;
}
}  // namespace

void set_expected_pictures(int64_t count) { g_expected = count; }
void note_picture_written() { g_written.fetch_add(1, std::memory_order_relaxed); }
int64_t pictures_written() { return g_written.load(std::memory_order_relaxed); }
void reset() {
    g_expected = 0;
    g_written = 0;
}

std::string format_line(int64_t done, int64_t expected, double elapsed_seconds) {
    const double fps = elapsed_seconds > 0 ? done / elapsed_seconds : 0.0;
    char text[160];
    if (expected > 0) {
        const int64_t left_pictures = expected > done ? expected - done : 0;
        const std::string left = fps > 0 ? clock_text(left_pictures / fps) : std::string("?");
        snprintf(text, sizeof(text), "restored %lld/%lld pictures  %.1f fps  elapsed %s  left %s",
                 static_cast<long long>(done), static_cast<long long>(expected), fps,
                 clock_text(elapsed_seconds).c_str(), left.c_str());
    } else {
        snprintf(text, sizeof(text), "restored %lld pictures  %.1f fps  elapsed %s", static_cast<long long>(done),
                 fps, clock_text(elapsed_seconds).c_str());
    }
    return text;
}

struct reporter::impl {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

reporter::reporter(bool force) : impl_(nullptr) {
    if (!force && !isatty(STDERR_FILENO)) return;
    impl_ = new impl;
    impl_->thread = std::thread([state = impl_] {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(state->mutex);
        for (;;) {
            const bool stopping = state->wake.wait_for(lock, std::chrono::milliseconds(250), [state] { return state->stop; });
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            // \r and the erase-line code keep it one line; the final update ends with a newline.
            fprintf(stderr, "\r\033[K%s%s", format_line(pictures_written(), g_expected.load(), elapsed).c_str(),
                    stopping ? "\n" : "");
            fflush(stderr);
            if (stopping) return;
        }
    });
}

reporter::~reporter() {
    if (impl_ == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->wake.notify_one();
    impl_->thread.join();
    delete impl_;
}

}  // namespace progress
