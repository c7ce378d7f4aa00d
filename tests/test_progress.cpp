// The progress line: shown on stderr when stderr is a terminal, never on stdout, and not at
// all when stderr is a pipe. demosaic runs as a real process, once with stderr on a
// pseudo-terminal and stdout on a pipe, once with both on pipes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "interface/progress.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

struct tty_run {
    int exit_code = -1;
    std::string out;  // stdout (a pipe)
    std::string tty;  // what the program wrote to the terminal on stderr
};

// Runs argv with stdout on a pipe, stderr on the slave side of a fresh pseudo-terminal and
// stdin from /dev/null; reads both until the program has exited and both are drained.
// With stdout_on_tty, stdout goes to the terminal as well and result.out stays empty.
tty_run run_with_tty_stderr(const std::vector<std::string>& argv, bool stdout_on_tty = false,
                            double timeout_seconds = 120) {
    tty_run result;
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return result;
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        dup2(stdout_on_tty ? slave : out_pipe[1], 1);
        dup2(slave, 2);
        for (int fd : {null_fd, out_pipe[0], out_pipe[1], slave, master}) close(fd);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(slave);
    close(out_pipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    bool out_open = true, tty_open = true;
    char buffer[4096];
    while ((out_open || tty_open) && std::chrono::steady_clock::now() < deadline) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {master, POLLIN, 0}};
        if (poll(fds, 2, 200) < 0) break;
        if (out_open && (fds[0].revents & (POLLIN | POLLHUP))) {
            const ssize_t n = read(out_pipe[0], buffer, sizeof(buffer));
            if (n > 0) result.out.append(buffer, static_cast<size_t>(n));
            else out_open = false;
        }
        if (tty_open && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            // A master reads EIO once the last slave descriptor is closed.
            const ssize_t n = read(master, buffer, sizeof(buffer));
            if (n > 0) result.tty.append(buffer, static_cast<size_t>(n));
            else tty_open = false;
        }
    }
    if (out_open || tty_open) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    close(out_pipe[0]);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

// What a person sees: the terminal's lines once "\r" and "\033[K" have done their work
// (the pseudo-terminal turns "\n" into "\r\n"), without colour codes.
std::vector<std::string> screen_lines(const std::string& tty) {
    std::vector<std::string> lines;
    std::string line;
    size_t column = 0;
    for (size_t i = 0; i < tty.size(); ++i) {
        const char c = tty[i];
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
            column = 0;
        } else if (c == '\r') {
            column = 0;
        } else if (tty.compare(i, 3, "\033[K") == 0) {
            line.resize(column);
            i += 2;
        } else if (tty.compare(i, 2, "\033[") == 0 && tty.find('m', i) != std::string::npos &&
                   tty.find_first_not_of("0123456789;", i + 2) == tty.find('m', i)) {
            i = tty.find('m', i);  // a colour code takes no room on the screen
        } else {
            if (column < line.size()) line[column] = c;
            else line.push_back(c);
            ++column;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// A log line as written to stdout, and as it looks on the screen without its colour codes.
const std::regex k_log_line(R"(\[(ERR|WRN):\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\] )"
                            R"(\x1b\[0;3[13]m.*\x1b\[0;39m ==func:\S+ file:\S+ line:\d+)");
const std::regex k_log_line_on_screen(
    R"(\[(ERR|WRN):\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\] .* ==func:\S+ file:\S+ line:\d+)");

// Standard output holds the start-up line, log lines, the payload version line and, last,
// exactly one result line; nothing else.
void expect_only_log_and_result_lines(const std::string& out, const std::string& result_line) {
    const auto lines = split_lines(out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "DEBUG LEVEL : 2\r");
    EXPECT_EQ(lines.back(), result_line);
    EXPECT_EQ(out.back(), '\n');
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], k_log_line) || lines[i].rfind("mosic version: ", 0) == 0)
            << "unexpected stdout line: " << lines[i];
    }
    EXPECT_EQ(out.find("restored"), std::string::npos);
}

struct update {
    long long done = 0;
    long long expected = -1;  // -1: the line gave no total
};

// Every progress update on the terminal: "\r\033[K" and then the line's text.
std::vector<update> progress_updates(const std::string& tty) {
    std::vector<update> updates;
    const std::regex pattern(R"(\r\x1b\[Krestored (\d+)(?:/(\d+))? pictures  \d+\.\d fps  elapsed \d+:\d\d)");
    for (std::sregex_iterator it(tty.begin(), tty.end(), pattern), end; it != end; ++it) {
        update u;
        u.done = std::stoll((*it)[1]);
        if ((*it)[2].matched) u.expected = std::stoll((*it)[2]);
        updates.push_back(u);
    }
    return updates;
}

// Each test has its own folder (ctest runs tests in parallel) with a masked clip made by
// mosaic, long enough at 320x240 for a few quarter-second updates.
class ProgressLine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
        dir_ = testsupport::scratch_dir(std::string("progress_") +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(testsupport::make_clip(dir_ + "/plain.mp4", "libx264", 320, 240, 90, 25));
    }
    std::string masked(const std::string& codec = "h264") {
        const std::string path = dir_ + "/masked_" + codec + ".mp4";
        const auto r = testsupport::run({MOSAIC_BIN, dir_ + "/plain.mp4", "progress-key", "--gop", "30", "--codec",
                                         codec, "--preset", "ultrafast", "-o", path});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        return path;
    }
    std::vector<std::string> restored_files() const {
        std::vector<std::string> found;
        for (const auto& name : testsupport::list_dir(dir_)) {
            if (name.find("_decmosic_") != std::string::npos) found.push_back(dir_ + "/" + name);
        }
        return found;
    }

    std::string dir_;
};

const char* const k_success =
    "mosaic_ResultCode=0;mosaic_errStr=Demosaic successfully, please get the new video without mosaic in the "
    "video file path;";

}  // namespace

TEST_F(ProgressLine, AtATerminalUpdatesOneLineOnStderrAndLeavesStdoutAlone) {
    const auto r = run_with_tty_stderr({DEMOSAIC_BIN, masked(), "progress-key"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.tty;
    expect_only_log_and_result_lines(r.out, k_success);

    const auto updates = progress_updates(r.tty);
    ASSERT_FALSE(updates.empty()) << r.tty;
    // Once the input is open the total is its picture count (before that, on a slow machine,
    // the line has no total); the count only grows and never passes it. The final update
    // gives the count alone.
    EXPECT_EQ(updates.back().expected, -1);
    bool total_known = false;
    for (size_t i = 0; i + 1 < updates.size(); ++i) {
        if (updates[i].expected == -1) {
            EXPECT_FALSE(total_known) << "update " << i << " lost the total";
            continue;
        }
        total_known = true;
        EXPECT_EQ(updates[i].expected, 90) << i;
        EXPECT_LE(updates[i].done, updates[i].expected) << i;
    }
    for (size_t i = 0; i < updates.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(updates[i].done, updates[i - 1].done) << i;
        }
    }
    // The last update counts every picture written to the output and ends the line, so the
    // shell prompt starts on a line of its own.
    const auto files = restored_files();
    ASSERT_EQ(files.size(), 1u);
    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(files[0], &packets));
    EXPECT_EQ(updates.back().done, static_cast<long long>(packets.size()));
    EXPECT_EQ(r.tty.back(), '\n');
    // The line is redrawn in place: what stays on the screen is the last update, once, and
    // FFmpeg's own messages on whole lines of their own.
    const std::regex final_update(R"(restored \d+ pictures  \d+\.\d fps  elapsed \d+:\d\d)");
    const auto lines = screen_lines(r.tty);
    int progress_lines = 0;
    for (const auto& line : lines) {
        if (line.find("restored ") == std::string::npos) continue;
        ++progress_lines;
        EXPECT_TRUE(std::regex_match(line, final_update)) << "mixed line: " << line;
    }
    EXPECT_EQ(progress_lines, 1) << r.tty;
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), final_update)) << lines.back();
}

TEST_F(ProgressLine, WithStdoutOnTheSameTerminalLogLinesAndTheLineDoNotMix) {
    const auto r = run_with_tty_stderr({DEMOSAIC_BIN, masked("hevc"), "progress-key"}, true);
    ASSERT_EQ(r.exit_code, 0) << r.tty;
    EXPECT_FALSE(progress_updates(r.tty).empty()) << r.tty;
    // On screen every line is whole: the start-up line, log lines, FFmpeg's own messages,
    // the final progress line once, and the result line last.
    const auto lines = screen_lines(r.tty);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "DEBUG LEVEL : 2");
    EXPECT_EQ(lines.back(), k_success);
    const std::regex final_update(R"(restored \d+ pictures  \d+\.\d fps  elapsed \d+:\d\d)");
    EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], final_update)) << lines[lines.size() - 2];
    // A progress text or a log line that shares its screen line with anything else is a
    // line that was drawn over or glued on.
    int progress_lines = 0;
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.find("restored ") != std::string::npos) {
            ++progress_lines;
            EXPECT_TRUE(std::regex_match(line, final_update)) << "mixed line: " << line;
        }
        if (line.find("==func:") != std::string::npos) {
            EXPECT_TRUE(std::regex_match(line, k_log_line_on_screen)) << "mixed line: " << line;
        }
    }
    EXPECT_EQ(progress_lines, 1) << r.tty;
    EXPECT_EQ(restored_files().size(), 1u);
}

TEST_F(ProgressLine, AFailedRunAtATerminalStillEndsItsLineAndReportsOnStdout) {
    const auto r = run_with_tty_stderr({DEMOSAIC_BIN, masked(), "not-the-key"});
    EXPECT_EQ(r.exit_code, 2);
    expect_only_log_and_result_lines(r.out, "mosaic_ResultCode=2;mosaic_errStr=The privacy key is incorrect;");
    ASSERT_FALSE(progress_updates(r.tty).empty()) << r.tty;
    EXPECT_EQ(r.tty.back(), '\n');
    EXPECT_TRUE(restored_files().empty());
}

TEST_F(ProgressLine, InAPipeStderrCarriesNoProgressText) {
    const auto r = testsupport::run({DEMOSAIC_BIN, masked(), "progress-key"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    expect_only_log_and_result_lines(r.out, k_success);
    EXPECT_EQ(r.err.find("restored"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("\033[K"), std::string::npos) << r.err;
    EXPECT_EQ(restored_files().size(), 1u);
}

// A process that aborts while the line is shown still gets its last words out: the pipe
// that carries stderr is drained before the abort goes on.
TEST(ProgressPassthrough, AnAbortDrainsWhatStderrStillHolds) {
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    const std::string message(60000, 'x');  // more than a forwarder passes on in one go
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], STDERR_FILENO);
        close(err_pipe[0]);
        close(err_pipe[1]);
        progress::reporter line(true);
        fputs(message.c_str(), stderr);
        fputs("\nlast words\n", stderr);
        abort();
    }
    close(err_pipe[1]);
    std::string received;
    char buffer[4096];
    ssize_t n;
    while ((n = read(err_pipe[0], buffer, sizeof(buffer))) > 0) received.append(buffer, static_cast<size_t>(n));
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_NE(received.find(message + "\nlast words\n"), std::string::npos) << received.size() << " bytes";
}

// format_line corner cases a person would see: no total known, no time passed yet, hours.
TEST(ProgressFormat, UnknownTotalZeroElapsedAndLongRuns) {
    EXPECT_EQ(progress::format_line(0, 0, 0.0), "restored 0 pictures  0.0 fps  elapsed 0:00");
    EXPECT_EQ(progress::format_line(10, 250, 0.0), "restored 10/250 pictures  0.0 fps  elapsed 0:00  left ?");
    EXPECT_EQ(progress::format_line(100, 250, 4.0), "restored 100/250 pictures  25.0 fps  elapsed 0:04  left 0:06");
    // More pictures than the estimate (a length-based guess): nothing negative is shown.
    EXPECT_EQ(progress::format_line(300, 250, 10.0), "restored 300/250 pictures  30.0 fps  elapsed 0:10  left 0:00");
    EXPECT_EQ(progress::format_line(90000, 180000, 3725.0),
              "restored 90000/180000 pictures  24.2 fps  elapsed 1:02:05  left 1:02:05");
}
