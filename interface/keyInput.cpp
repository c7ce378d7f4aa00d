#include "interface/keyInput.h"

#include <openssl/crypto.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "common/secret.h"

namespace {

// Echo off while it lives (the line end still shows, so the cursor moves on), the terminal's
// own settings back when it goes.
class echo_off {
public:
    explicit echo_off(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) return;
        struct termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~echo_off() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    echo_off(const echo_off&) = delete;
    echo_off& operator=(const echo_off&) = delete;

private:
    int fd_;
    struct termios saved_ {};
    bool active_ = false;
};

}  // namespace

key_read_status read_key_line(int fd, std::string* key, const std::function<bool()>& stop, const char* prompt) {
    wipe_string(*key);
    // Room for the longest key and one byte more, reserved once: appending never moves the
    // text (which would leave a copy behind in the storage given back).
    key->reserve(k_max_key_bytes + 1);
    const bool terminal = isatty(fd) != 0;
    std::optional<echo_off> quiet;
    if (terminal) {
        // Echo goes off first (dropping what was typed before): whatever is typed once the
        // prompt shows is not shown.
        quiet.emplace(fd);
        if (prompt != nullptr) {
            const ssize_t shown = write(STDERR_FILENO, prompt, std::strlen(prompt));
            (void)shown;  // a prompt that cannot be shown does not stop the key from being typed
        }
    }
    char chunk[256];
    key_read_status status = key_read_status::nothing;
    bool line_ended = false;
    while (!line_ended) {
        if (stop()) {
            status = key_read_status::stopped;
            break;
        }
        pollfd ready{fd, POLLIN, 0};
        const int polled = poll(&ready, 1, k_stop_check_ms);
        if (polled < 0 && errno != EINTR) {
            status = key_read_status::failed;
            break;
        }
        if (polled <= 0) continue;
        // A terminal gives one line per read; from a pipe or a file only the first line counts.
        const ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) {
            status = key_read_status::failed;
            break;
        }
        if (n == 0) break;  // the end: whatever came is the key
        status = key_read_status::ok;
        const char* end = static_cast<const char*>(std::memchr(chunk, '\n', static_cast<size_t>(n)));
        const size_t take = end != nullptr ? static_cast<size_t>(end - chunk) : static_cast<size_t>(n);
        line_ended = end != nullptr;
        if (key->size() + take > k_max_key_bytes) {
            status = key_read_status::too_long;
            break;
        }
        key->append(chunk, take);
    }
    OPENSSL_cleanse(chunk, sizeof(chunk));
    if (status != key_read_status::ok) {
        wipe_string(*key);
        return status;
    }
    while (!key->empty() && (key->back() == '\r' || key->back() == '\n')) key->pop_back();
    return status;
}
