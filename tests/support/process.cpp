#include "tests/support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>

namespace testsupport {

namespace {
void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

void remove_tree(const std::string& path) {
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string child = path + "/" + name;
            struct stat st {};
            if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                remove_tree(child);
            } else {
                unlink(child.c_str());
            }
        }
        closedir(dir);
    }
    rmdir(path.c_str());
}

void make_dirs(const std::string& path) {
    std::string partial;
    std::stringstream parts(path);
    std::string part;
    if (!path.empty() && path[0] == '/') partial = "/";
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        partial += part + "/";
        mkdir(partial.c_str(), 0755);
    }
}
}  // namespace

run_result run(const std::vector<std::string>& argv, const std::string& stdin_text, double timeout_seconds,
               const std::string& cwd) {
    run_result result;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);
    // Standard input is small in every test; write it all, then close.
    size_t written = 0;
    while (written < stdin_text.size()) {
        const ssize_t n = write(in_pipe[1], stdin_text.data() + written, stdin_text.size() - written);
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    close(in_pipe[1]);
    set_nonblocking(out_pipe[0]);
    set_nonblocking(err_pipe[0]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    bool out_open = true, err_open = true;
    char buffer[65536];
    while (out_open || err_open) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 200)));
        for (int i = 0; i < 2; ++i) {
            bool& open = i == 0 ? out_open : err_open;
            if (!open) continue;
            for (;;) {
                const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
                if (n > 0) {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
                    continue;
                }
                if (n == 0) open = false;
                break;
            }
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

std::string scratch_dir(const std::string& name) {
    const std::string dir = std::string(TEST_SCRATCH_DIR) + "/" + name;
    remove_tree(dir);
    make_dirs(dir);
    return dir;
}

std::vector<std::string> lines_starting_with(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* entry = readdir(d)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool have_ffmpeg() {
    static const bool present = run({"ffmpeg", "-hide_banner", "-version"}).exit_code == 0 &&
                                run({"ffprobe", "-hide_banner", "-version"}).exit_code == 0;
    return present;
}

bool make_clip(const std::string& path, const std::string& video_codec, int width, int height, int frames,
               int fps, const std::string& audio_codec, const std::string& extra_video_args) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                      "testsrc2=size=" + size + ":rate=" + std::to_string(fps)};
    if (!audio_codec.empty()) {
        args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"});
    }
    args.insert(args.end(), {"-frames:v", std::to_string(frames), "-c:v", video_codec, "-pix_fmt", "yuv420p"});
    std::stringstream extra(extra_video_args);
    std::string word;
    while (extra >> word) args.push_back(word);
    if (!audio_codec.empty()) args.insert(args.end(), {"-c:a", audio_codec, "-shortest"});
    args.push_back(path);
    return run(args).exit_code == 0 && file_exists(path);
}

}  // namespace testsupport
