#include "interface/progress.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "common/jobContext.h"

namespace progress {

namespace {
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

// While the line is shown, everything else bound for the terminal (FFmpeg's and x265's
// messages on stderr, and the log lines when stdout is a terminal too) passes through a
// pipe and is written here, under one mutex: the line is wiped before other text goes out
// and redrawn at the next tick, so no text ends up glued to it. The bytes themselves are
// passed on unchanged.
namespace {
std::mutex g_terminal_mutex;
bool g_line_shown = false;     // the progress line is on the terminal, without its newline
// Per stream (0 stdout, 1 stderr): text was passed on that has not ended its line yet. The
// other stream's forwarder waits a little for the line to end, so that a line written in
// pieces is not split by a line from the other stream.
bool g_midline[2] = {false, false};
std::condition_variable g_line_ended;

void write_all(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// The pipes in use, for the abort handler below; pipe_read is -1 when free.
// Lock-free atomics, so that the handler may read what the forwarder threads write.
struct pipe_route {
    std::atomic<int> fd{-1};
    std::atomic<int> terminal{-1};
    std::atomic<int> pipe_read{-1};
    std::atomic<int> drained{0};  // the forwarder has met the end of the pipe
};
static_assert(std::atomic<int>::is_always_lock_free, "the abort handler needs lock-free atomics");
pipe_route g_routes[2];
struct sigaction g_previous_abort_action;

// abort() (a failed assertion, std::terminate, a malloc check) would end the process before
// the forwarders passed on its last words. The handler puts the terminals back, which ends
// the pipes, and gives the forwarders up to a second to pass on the rest in order; what they
// leave is copied out here. Async-signal-safe calls only; then the abort goes on.
void drain_on_abort(int signal_number) {
    for (pipe_route& route : g_routes) {
        if (route.pipe_read >= 0) dup2(route.terminal, route.fd);
    }
    const timespec pause{0, 2000000};
    for (int waited = 0; waited < 500; ++waited) {
        bool busy = false;
        for (const pipe_route& route : g_routes) busy = busy || (route.pipe_read >= 0 && !route.drained);
        if (!busy) break;
        nanosleep(&pause, nullptr);
    }
    for (pipe_route& route : g_routes) {
        if (route.pipe_read < 0 || route.drained) continue;
        fcntl(route.pipe_read, F_SETFL, fcntl(route.pipe_read, F_GETFL) | O_NONBLOCK);
        char buffer[4096];
        ssize_t n;
        while ((n = read(route.pipe_read, buffer, sizeof(buffer))) > 0) {
            if (write(route.terminal, buffer, static_cast<size_t>(n)) < 0) break;
        }
    }
    sigaction(signal_number, &g_previous_abort_action, nullptr);
    raise(signal_number);
}

// One stream (stdout or stderr) taken over by a pipe while the line is shown.
struct passthrough {
    int fd = -1;        // STDOUT_FILENO or STDERR_FILENO
    int terminal = -1;  // the terminal the stream had before
    int pipe_read = -1;
    std::thread forwarder;

    bool take_over(int stream_fd, FILE* stream, int progress_fd) {
        fflush(stream);
        terminal = dup(stream_fd);
        if (terminal < 0) return false;
        int fds[2];
        if (pipe(fds) != 0) {
            close(terminal);
            terminal = -1;
            return false;
        }
        if (dup2(fds[1], stream_fd) < 0) {
            close(fds[0]);
            close(fds[1]);
            close(terminal);
            terminal = -1;
            return false;
        }
        close(fds[1]);
        fd = stream_fd;
        pipe_read = fds[0];
        pipe_route& route = g_routes[stream_fd == STDOUT_FILENO ? 0 : 1];
        route.fd = fd;
        route.terminal = terminal;
        route.drained = 0;
        route.pipe_read = pipe_read;
        // Each log line is passed on as soon as it is written, as on the terminal itself.
        if (stream == stdout) setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
        // The line is wiped on the terminal itself: for stderr, fd 2 is now the pipe.
        const int wipe_fd = progress_fd == stream_fd ? terminal : progress_fd;
        forwarder = std::thread([this, wipe_fd] { forward(wipe_fd); });
        return true;
    }

    void forward(int wipe_fd) {
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(pipe_read, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                g_routes[fd == STDOUT_FILENO ? 0 : 1].drained = 1;
                return;
            }
            const int self = fd == STDOUT_FILENO ? 0 : 1;
            std::unique_lock<std::mutex> lock(g_terminal_mutex);
            g_line_ended.wait_for(lock, std::chrono::milliseconds(200), [self] { return !g_midline[1 - self]; });
            if (g_line_shown) {
                write_all(wipe_fd, "\r\033[K", 4);
                g_line_shown = false;
            }
            write_all(terminal, buffer, static_cast<size_t>(n));
            g_midline[self] = buffer[n - 1] != '\n';
            g_line_ended.notify_all();
        }
    }

    // Putting the terminal back closes the pipe's only writer: the forwarder passes on what
    // is left and ends. The saved descriptor stays open for the final update.
    void give_back(FILE* stream) {
        if (terminal < 0) return;
        fflush(stream);
        g_routes[fd == STDOUT_FILENO ? 0 : 1].pipe_read = -1;
        dup2(terminal, fd);
        if (forwarder.joinable()) forwarder.join();
        close(pipe_read);
        pipe_read = -1;
    }

    ~passthrough() {
        if (terminal >= 0) close(terminal);
    }
};

void draw_line(int progress_fd, const std::string& text, bool final_update) {
    std::lock_guard<std::mutex> lock(g_terminal_mutex);
    const bool midline = g_midline[0] || g_midline[1];
    if (midline && !final_update) return;  // wait until the other text ends its line
    const std::string update = std::string(midline ? "\n" : "") + "\r\033[K" + text + (final_update ? "\n" : "");
    write_all(progress_fd, update.data(), update.size());
    g_midline[0] = g_midline[1] = false;
    g_line_shown = !final_update;
}
}  // namespace

struct reporter::impl {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread drawer;
    passthrough out;
    passthrough err;
    int progress_fd = STDERR_FILENO;
    const job_progress* counts = nullptr;
};

reporter::reporter(const job_progress& counts, bool force) : impl_(nullptr) {
    if (!force && !isatty(STDERR_FILENO)) return;
    impl_ = new impl;
    impl_->counts = &counts;
    g_line_shown = false;
    g_midline[0] = g_midline[1] = false;
    struct sigaction on_abort {};
    on_abort.sa_handler = drain_on_abort;
    sigemptyset(&on_abort.sa_mask);
    sigaction(SIGABRT, &on_abort, &g_previous_abort_action);
    if (impl_->err.take_over(STDERR_FILENO, stderr, STDERR_FILENO)) impl_->progress_fd = impl_->err.terminal;
    if (isatty(STDOUT_FILENO)) impl_->out.take_over(STDOUT_FILENO, stdout, impl_->progress_fd);
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
            const job_progress& counts = *state->counts;
            draw_line(state->progress_fd,
                      format_line(counts.pictures_written(), stopping ? 0 : counts.expected_pictures(), elapsed),
                      stopping);
            if (stopping) return;
        }
    });
}

reporter::~reporter() {
    if (impl_ == nullptr) return;
    // Every line of the job is on the terminal before the final update.
    impl_->out.give_back(stdout);
    impl_->err.give_back(stderr);
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->wake.notify_one();
    impl_->drawer.join();
    sigaction(SIGABRT, &g_previous_abort_action, nullptr);
    delete impl_;
}

}  // namespace progress
