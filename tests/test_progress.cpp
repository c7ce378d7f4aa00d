// The progress line: on stderr when it is a terminal, never on stdout, absent when stderr is a pipe.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "common/jobContext.h"
#include "interface/progress.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

using lines_t = std::vector<std::string>;
const std::string k_success =
    "mosaic_ResultCode=0;mosaic_errStr=Demosaic successfully, please get the new video without mosaic in the "
    "video file path;";
const std::string k_stamp = R"(\[(ERR|WRN):\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\] )";
const std::regex k_log_line(k_stamp + R"(\x1b\[0;3[13]m.*\x1b\[0;39m ==func:\S+ file:\S+ line:\d+)");
const std::regex k_log_on_screen(k_stamp + R"(.* ==func:\S+ file:\S+ line:\d+)");
const std::regex k_final_update(R"(restored \d+ pictures  \d+\.\d fps  elapsed \d+:\d\d)");

// The terminal's lines once "\r" and "\033[K" have done their work, without colour codes.
lines_t screen_lines(const std::string& tty) {
    const std::string plain = std::regex_replace(tty, std::regex("\x1b\\[[0-9;]*m"), "");
    lines_t lines(1);
    size_t column = 0;
    for (size_t i = 0; i < plain.size(); ++i) {
        std::string& line = lines.back();
        if (plain[i] == '\n') lines.emplace_back(), column = 0;
        else if (plain[i] == '\r') column = 0;
        else if (plain.compare(i, 3, "\x1b[K") == 0) line.resize(column), i += 2;
        else if (column < line.size()) line[column++] = plain[i];
        else line.push_back(plain[i]), ++column;
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

// Stdout holds the start-up line, log lines, the payload version line and, last, one result line.
void expect_only_log_and_result_lines(const std::string& out, const std::string& result_line) {
    lines_t lines;
    std::stringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "DEBUG LEVEL : 2\r");
    EXPECT_EQ(lines.back(), result_line);
    EXPECT_EQ(out.back(), '\n');
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], k_log_line) || lines[i].rfind("mosic version: ", 0) == 0) << lines[i];
}

// Screen lines with progress text are exactly the final update, once; log lines stand whole.
void expect_one_whole_progress_line(const lines_t& lines) {
    int progress_lines = 0;
    for (const auto& line : lines) {
        const bool progress = line.find("restored ") != std::string::npos;
        progress_lines += progress;
        if (progress) {
            EXPECT_TRUE(std::regex_match(line, k_final_update)) << "mixed line: " << line;
        }
        if (line.find("==func:") != std::string::npos) {
            EXPECT_TRUE(std::regex_match(line, k_log_on_screen)) << line;
        }
    }
    EXPECT_EQ(progress_lines, 1);
}

class ProgressLine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
        dir_ = testsupport::test_scratch_dir("progress_");
    }
    std::string masked(const std::string& codec) {
        const std::string path = dir_ + "/masked_" + codec + ".mp4";
        EXPECT_TRUE(testsupport::make_masked(path, "progress-key", 320, 240, 90, "", {"--gop", "30", "--codec", codec}));
        return path;
    }
    // Runs demosaic under script(1), so stderr is a pseudo-terminal; stdout goes to out_ unless
    // stdout_on_tty. Returns the exit status; tty_ gets the terminal's text.
    int run_at_tty(const std::string& input, const std::string& key, bool stdout_on_tty = false) {
        const std::string out_file = dir_ + "/out.txt";
        const auto r = testsupport::run({"script", "-qfec", "'" DEMOSAIC_BIN "' '" + input + "' '" + key + "'" +
                                         (stdout_on_tty ? "" : " > '" + out_file + "'"), "/dev/null"});
        std::ifstream in(out_file);
        out_.assign(std::istreambuf_iterator<char>(in), {});
        tty_ = r.out;
        return r.exit_code;
    }
    std::string dir_, out_, tty_;
};

}  // namespace

TEST_F(ProgressLine, AtATerminalUpdatesOneLineOnStderrAndLeavesStdoutAloneAlsoWhenTheRunFails) {
    const std::string input = masked("h264");
    ASSERT_EQ(run_at_tty(input, "progress-key"), 0) << out_ << tty_;
    expect_only_log_and_result_lines(out_, k_success);
    // Once known the total is the picture count and stays; the count grows and never passes it;
    // the final update gives the count alone and counts every picture written.
    const std::regex update(R"(\r\x1b\[Krestored (\d+)(?:/(\d+))? pictures  \d+\.\d fps  elapsed \d+:\d\d)");
    long long last_done = 0, last_total = -1, updates = 0;
    for (std::sregex_iterator it(tty_.begin(), tty_.end(), update), end; it != end; ++it, ++updates) {
        const long long done = std::stoll((*it)[1]), total = (*it)[2].matched ? std::stoll((*it)[2]) : -1;
        EXPECT_GE(done, last_done);
        if (total != -1) {
            EXPECT_TRUE(total == 90 && done <= total) << done << "/" << total;
        }
        if (last_total != -1 && std::next(it) != end) {
            EXPECT_NE(total, -1) << "an update lost the total";
        }
        last_done = done, last_total = total;
    }
    ASSERT_GT(updates, 0) << tty_;
    EXPECT_EQ(last_total, -1);
    const auto files = testsupport::restored_files(dir_);
    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(files.size() == 1 && testsupport::read_video_packets(files[0], &packets));
    EXPECT_EQ(last_done, static_cast<long long>(packets.size()));
    EXPECT_EQ(tty_.back(), '\n');  // the shell prompt starts on a line of its own
    const auto lines = screen_lines(tty_);
    expect_one_whole_progress_line(lines);
    EXPECT_TRUE(std::regex_match(lines.back(), k_final_update)) << lines.back();

    // A failed run still ends its line and reports on stdout.
    unlink(files[0].c_str());
    EXPECT_EQ(run_at_tty(input, "not-the-key"), 2);
    expect_only_log_and_result_lines(out_, "mosaic_ResultCode=2;mosaic_errStr=The privacy key is incorrect;");
    EXPECT_NE(tty_.find("\r\x1b[Krestored "), std::string::npos) << tty_;
    EXPECT_EQ(tty_.back(), '\n');
    EXPECT_TRUE(testsupport::restored_files(dir_).empty());
}

TEST_F(ProgressLine, WithStdoutOnTheSameTerminalLogLinesAndTheLineDoNotMixAndAPipeGetsNoLine) {
    const std::string input = masked("hevc");
    ASSERT_EQ(run_at_tty(input, "progress-key", true), 0) << tty_;
    const auto lines = screen_lines(tty_);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "DEBUG LEVEL : 2");
    EXPECT_EQ(lines.back(), k_success);
    EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], k_final_update)) << lines[lines.size() - 2];
    expect_one_whole_progress_line(lines_t(lines.begin() + 1, lines.end() - 1));
    ASSERT_EQ(testsupport::restored_files(dir_).size(), 1u);
    unlink(testsupport::restored_files(dir_)[0].c_str());

    const auto r = testsupport::run({DEMOSAIC_BIN, input, "progress-key"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    expect_only_log_and_result_lines(r.out, k_success);
    EXPECT_EQ(r.err.find("restored"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("\033[K"), std::string::npos) << r.err;
    EXPECT_EQ(testsupport::restored_files(dir_).size(), 1u);
}

// An abort while the line is shown still gets stderr's last words out.
TEST(ProgressPassthrough, AnAbortDrainsWhatStderrStillHolds) {
    int err_pipe[2];
    ASSERT_EQ(pipe(err_pipe), 0);
    const std::string message(60000, 'x');  // more than a forwarder passes on in one go
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err_pipe[1], STDERR_FILENO);
        close(err_pipe[0]);
        const job_progress counts;
        progress::reporter line(counts, true);
        fputs((message + "\nlast words\n").c_str(), stderr);
        abort();
    }
    close(err_pipe[1]);
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = read(err_pipe[0], buffer, sizeof(buffer))) > 0;) received.append(buffer, size_t(n));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_NE(received.find(message + "\nlast words\n"), std::string::npos) << received.size();
}

TEST(ProgressFormat, UnknownTotalZeroElapsedLongRunsAndDamage) {
    EXPECT_EQ(progress::format_line(0, 0, 0.0), "restored 0 pictures  0.0 fps  elapsed 0:00");
    EXPECT_EQ(progress::format_line(10, 250, 0.0), "restored 10/250 pictures  0.0 fps  elapsed 0:00  left ?");
    EXPECT_EQ(progress::format_line(100, 250, 4.0), "restored 100/250 pictures  25.0 fps  elapsed 0:04  left 0:06");
    EXPECT_EQ(progress::format_line(300, 250, 10.0), "restored 300/250 pictures  30.0 fps  elapsed 0:10  left 0:00");
    EXPECT_EQ(progress::format_line(90000, 180000, 3725.0),
              "restored 90000/180000 pictures  24.2 fps  elapsed 1:02:05  left 1:02:05");
    EXPECT_EQ(progress::format_line(122, 0, 2.0, 3), "restored 122 pictures (3 damaged)  61.0 fps  elapsed 0:02");
}
