#include "tests/support/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

namespace testsupport {

run_result run(const std::vector<std::string>& argv, const std::string& stdin_text, double timeout_seconds,
               const std::string& cwd) {
    run_result result;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char*> args(argv.size() + 1, nullptr);
        for (size_t i = 0; i < argv.size(); ++i) args[i] = const_cast<char*>(argv[i].c_str());
        execvp(args[0], args.data());
        _exit(127);
    }
    for (int fd : {in[0], out[1], err[1]}) close(fd);
    signal(SIGPIPE, SIG_IGN);
    // Standard input is small in every test: write it all, then close.
    for (size_t done = 0; done < stdin_text.size();) {
        const ssize_t n = write(in[1], stdin_text.data() + done, stdin_text.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(in[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    char buffer[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 200)));
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
            if (n > 0) sinks[i]->append(buffer, static_cast<size_t>(n));
            if (n <= 0) fds[i].fd = -1;
        }
    }
    for (int fd : {out[0], err[0]}) close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::string capture_stdout(const std::function<void()>& body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::string scratch_dir(const std::string& name) {
    const std::string dir = std::string(TEST_SCRATCH_DIR) + "/" + name;
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    fs::create_directories(dir, ignored);
    return dir;
}

std::string test_scratch_dir(const std::string& prefix) {
    return scratch_dir(prefix + ::testing::UnitTest::GetInstance()->current_test_info()->name());
}

std::vector<std::string> lines_starting_with(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    std::stringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

std::vector<std::string> list_dir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool file_exists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> restored_files(const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& name : list_dir(dir))
        if (name.find("_decmosic_") != std::string::npos) found.push_back(dir + "/" + name);
    return found;
}

restore_result restore_run(const run_result& r) {
    restore_result o{r.exit_code, -1000, 0, r.out + r.err};
    const auto lines = lines_starting_with(r.out, "mosaic_ResultCode=");
    o.result_lines = static_cast<int>(lines.size());
    if (!lines.empty()) std::sscanf(lines.back().c_str(), "mosaic_ResultCode=%d;", &o.result_code);
    return o;
}

restore_result run_demosaic(const std::string& input, const std::string& key, const std::string& stdin_text) {
    return restore_run(run({DEMOSAIC_BIN, input, key}, stdin_text));
}

bool make_masked(const std::string& path, const std::string& key, int width, int height, int frames,
                 const std::string& audio_codec, const std::vector<std::string>& mosaic_options) {
    const std::string clip = path + ".src.mp4";
    if (!make_clip(clip, "libx264", width, height, frames, 25, audio_codec, "-preset ultrafast")) return false;
    std::vector<std::string> args = {MOSAIC_BIN, clip, key, "-o", path, "--preset", "ultrafast"};
    args.insert(args.end(), mosaic_options.begin(), mosaic_options.end());
    const bool made = run(args).exit_code == 0;
    unlink(clip.c_str());
    return made;
}

bool have_ffmpeg() {
    static const bool present = run({"ffmpeg", "-hide_banner", "-version"}).exit_code == 0 &&
                                run({"ffprobe", "-hide_banner", "-version"}).exit_code == 0;
    return present;
}

bool make_clip(const std::string& path, const std::string& video_codec, int width, int height, int frames,
               int fps, const std::string& audio_codec, const std::string& extra_video_args) {
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                     "testsrc2=size=" + std::to_string(width) + "x" + std::to_string(height) +
                                         ":rate=" + std::to_string(fps)};
    if (!audio_codec.empty()) args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"});
    args.insert(args.end(), {"-frames:v", std::to_string(frames), "-c:v", video_codec, "-pix_fmt", "yuv420p"});
    std::stringstream extra(extra_video_args);
    for (std::string word; extra >> word;) args.push_back(word);
    if (!audio_codec.empty()) args.insert(args.end(), {"-c:a", audio_codec, "-shortest"});
    args.push_back(path);
    return run(args).exit_code == 0 && file_exists(path);
}

}  // namespace testsupport
