#include "interface/progress.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

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

// Everything that reaches the terminal while the line is shown goes through here, under
// one mutex: the line is wiped before other text is written and redrawn at the next tick,
// so log lines never end up glued to it.
namespace {
std::mutex g_terminal_mutex;
bool g_line_shown = false;   // the progress line is on the terminal, without its newline
bool g_other_midline = false;  // other text was written that has not ended its line yet
int g_av_print_prefix = 1;

void wipe_line_locked() {
    if (!g_line_shown) return;
    fputs("\r\033[K", stderr);
    fflush(stderr);
    g_line_shown = false;
}

void write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// FFmpeg's own messages (encoder statistics, hardware probing) go to stderr as well.
void log_around_line(void* avcl, int level, const char* format, va_list arguments) {
    if (level > av_log_get_level()) return;
    va_list copy;
    va_copy(copy, arguments);
    char text[1024];
    std::lock_guard<std::mutex> lock(g_terminal_mutex);
    av_log_format_line2(avcl, level, format, copy, text, sizeof(text), &g_av_print_prefix);
    va_end(copy);
    if (text[0] == '\0') return;
    wipe_line_locked();
    av_log_default_callback(avcl, level, format, arguments);
    fflush(stderr);
    g_other_midline = text[strlen(text) - 1] != '\n';
}

void draw_line(const std::string& text, bool final_update) {
    std::lock_guard<std::mutex> lock(g_terminal_mutex);
    if (g_other_midline && !final_update) return;  // wait until the other text ends its line
    fprintf(stderr, "%s\r\033[K%s%s", g_other_midline ? "\n" : "", text.c_str(), final_update ? "\n" : "");
    fflush(stderr);
    g_other_midline = false;
    g_line_shown = !final_update;
}
}  // namespace

struct reporter::impl {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread drawer;
    // When stdout is a terminal too, the log lines are passed through a pipe so that they
    // can be written around the progress line; the bytes themselves are unchanged.
    int terminal_stdout = -1;
    int pipe_read = -1;
    std::thread forwarder;

    void forward_stdout() {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(pipe_read, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            std::lock_guard<std::mutex> lock(g_terminal_mutex);
            wipe_line_locked();
            write_all(terminal_stdout, buffer, static_cast<size_t>(n));
            g_other_midline = buffer[n - 1] != '\n';
        }
    }

    void take_over_stdout() {
        if (!isatty(STDOUT_FILENO)) return;
        int fds[2];
        fflush(stdout);
        terminal_stdout = dup(STDOUT_FILENO);
        if (terminal_stdout < 0) return;
        if (pipe(fds) != 0 || dup2(fds[1], STDOUT_FILENO) < 0) {
            close(terminal_stdout);
            terminal_stdout = -1;
            return;
        }
        close(fds[1]);
        pipe_read = fds[0];
        // Each log line is passed on as soon as it is written, as on the terminal itself.
        setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
        forwarder = std::thread([this] { forward_stdout(); });
    }

    void give_back_stdout() {
        if (terminal_stdout < 0) return;
        fflush(stdout);
        // Putting the terminal back on fd 1 closes the pipe's only writer: the forwarder
        // passes on what is left and ends.
        dup2(terminal_stdout, STDOUT_FILENO);
        if (forwarder.joinable()) forwarder.join();
        close(pipe_read);
        close(terminal_stdout);
        terminal_stdout = pipe_read = -1;
    }
};

reporter::reporter(bool force) : impl_(nullptr) {
    if (!force && !isatty(STDERR_FILENO)) return;
    impl_ = new impl;
    g_line_shown = false;
    g_other_midline = false;
    impl_->take_over_stdout();
    av_log_set_callback(log_around_line);
    impl_->drawer = std::thread([state = impl_] {
        const auto start = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(state->mutex);
        for (;;) {
            const bool stopping =
                state->wake.wait_for(lock, std::chrono::milliseconds(250), [state] { return state->stop; });
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            // The final update stays on the terminal and ends its line. It gives the count
            // alone: the pictures that start each group carry no hidden picture, so a
            // finished job stays a little short of the input's total.
            draw_line(format_line(pictures_written(), stopping ? 0 : g_expected.load(), elapsed), stopping);
            if (stopping) return;
        }
    });
}

reporter::~reporter() {
    if (impl_ == nullptr) return;
    // Every log line of the job is on the terminal before the final update.
    impl_->give_back_stdout();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->wake.notify_one();
    impl_->drawer.join();
    av_log_set_callback(av_log_default_callback);
    delete impl_;
}

}  // namespace progress
