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

#include "interface/progress.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

struct tty_run {
    int exit_code = -1;
    std::string out, tty;  // stdout and what reached the terminal
};

// Runs argv under script(1) so stderr is a pseudo-terminal; stdout goes to out_file unless stdout_on_tty.
tty_run run_with_tty_stderr(const std::vector<std::string>& argv, const std::string& out_file,
                            bool stdout_on_tty = false) {
    std::string command;
    for (const auto& a : argv) command += "'" + a + "' ";
    if (!stdout_on_tty) command += "> '" + out_file + "'";
    const auto r = testsupport::run({"script", "-qfec", command, "/dev/null"});
    std::ifstream in(out_file);
    return {r.exit_code, std::string(std::istreambuf_iterator<char>(in), {}), r.out};
}

// The terminal's lines once "\r" and "\033[K" have done their work, without colour codes.
std::vector<std::string> screen_lines(const std::string& tty) {
    std::vector<std::string> lines;
    std::string line;
    size_t column = 0;
    for (size_t i = 0; i < tty.size(); ++i) {
        const size_t m = tty.find('m', i);
        if (tty[i] == '\n') {
            lines.push_back(line);
            line.clear();
            column = 0;
        } else if (tty[i] == '\r') {
            column = 0;
        } else if (tty.compare(i, 3, "\033[K") == 0) {
            line.resize(column);
            i += 2;
        } else if (tty.compare(i, 2, "\033[") == 0 && m != std::string::npos &&
                   tty.find_first_not_of("0123456789;", i + 2) == m) {
            i = m;
        } else {
            if (column < line.size()) line[column] = tty[i];
            else line.push_back(tty[i]);
            ++column;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

const std::regex k_log_line(R"(\[(ERR|WRN):\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\] )"
                            R"(\x1b\[0;3[13]m.*\x1b\[0;39m ==func:\S+ file:\S+ line:\d+)");
const std::regex k_log_on_screen(R"(\[(ERR|WRN):\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\] .* ==func:\S+ file:\S+ line:\d+)");
const std::regex k_final_update(R"(restored \d+ pictures  \d+\.\d fps  elapsed \d+:\d\d)");
const char* const k_success =
    "mosaic_ResultCode=0;mosaic_errStr=Demosaic successfully, please get the new video without mosaic in the "
    "video file path;";

// Stdout holds the start-up line, log lines, the payload version line and, last, one result line.
void expect_only_log_and_result_lines(const std::string& out, const std::string& result_line) {
    std::vector<std::string> lines;
    std::stringstream in(out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "DEBUG LEVEL : 2\r");
    EXPECT_EQ(lines.back(), result_line);
    EXPECT_EQ(out.back(), '\n');
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], k_log_line) || lines[i].rfind("mosic version: ", 0) == 0) << lines[i];
}

// Every update on the terminal as (done, total or -1).
std::vector<std::pair<long long, long long>> progress_updates(const std::string& tty) {
    std::vector<std::pair<long long, long long>> updates;
    const std::regex pattern(R"(\r\x1b\[Krestored (\d+)(?:/(\d+))? pictures  \d+\.\d fps  elapsed \d+:\d\d)");
    for (std::sregex_iterator it(tty.begin(), tty.end(), pattern), end; it != end; ++it)
        updates.emplace_back(std::stoll((*it)[1]), (*it)[2].matched ? std::stoll((*it)[2]) : -1);
    return updates;
}

// Screen lines holding progress text must be exactly the final update, and there is one of them.
void expect_one_whole_progress_line(const std::vector<std::string>& lines) {
    int progress_lines = 0;
    for (const auto& line : lines) {
        if (line.find("restored ") != std::string::npos) {
            ++progress_lines;
            EXPECT_TRUE(std::regex_match(line, k_final_update)) << "mixed line: " << line;
        }
        if (line.find("==func:") != std::string::npos) EXPECT_TRUE(std::regex_match(line, k_log_on_screen)) << line;
    }
    EXPECT_EQ(progress_lines, 1);
}

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
        EXPECT_EQ(testsupport::run({MOSAIC_BIN, dir_ + "/plain.mp4", "progress-key", "--gop", "30", "--codec", codec,
                                    "--preset", "ultrafast", "-o", path}).exit_code, 0);
        return path;
    }
    std::vector<std::string> restored_files() const {
        std::vector<std::string> found;
        for (const auto& name : testsupport::list_dir(dir_))
            if (name.find("_decmosic_") != std::string::npos) found.push_back(dir_ + "/" + name);
        return found;
    }
    std::string dir_;
};

}  // namespace

TEST_F(ProgressLine, AtATerminalUpdatesOneLineOnStderrAndLeavesStdoutAlone) {
    const auto r = run_with_tty_stderr({DEMOSAIC_BIN, masked(), "progress-key"}, dir_ + "/out.txt");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.tty;
    expect_only_log_and_result_lines(r.out, k_success);
    // Once known the total is the picture count, it is never lost again, the count only grows
    // and never passes it; the final update gives the count alone.
    const auto updates = progress_updates(r.tty);
    ASSERT_FALSE(updates.empty()) << r.tty;
    EXPECT_EQ(updates.back().second, -1);
    bool total_known = false;
    for (size_t i = 0; i < updates.size(); ++i) {
        if (i > 0) EXPECT_GE(updates[i].first, updates[i - 1].first) << i;
        if (i + 1 == updates.size()) break;
        if (updates[i].second == -1) {
            EXPECT_FALSE(total_known) << "update " << i << " lost the total";
            continue;
        }
        total_known = true;
        EXPECT_EQ(updates[i].second, 90) << i;
        EXPECT_LE(updates[i].first, 90) << i;
    }
    const auto files = restored_files();
    ASSERT_EQ(files.size(), 1u);
    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(files[0], &packets));
    EXPECT_EQ(updates.back().first, static_cast<long long>(packets.size()));
    EXPECT_EQ(r.tty.back(), '\n');
    const auto lines = screen_lines(r.tty);
    expect_one_whole_progress_line(lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), k_final_update)) << lines.back();
}

TEST_F(ProgressLine, WithStdoutOnTheSameTerminalLogLinesAndTheLineDoNotMix) {
    const auto r = run_with_tty_stderr({DEMOSAIC_BIN, masked("hevc"), "progress-key"}, dir_ + "/out.txt", true);
    ASSERT_EQ(r.exit_code, 0) << r.tty;
    EXPECT_FALSE(progress_updates(r.tty).empty()) << r.tty;
    const auto lines = screen_lines(r.tty);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "DEBUG LEVEL : 2");
    EXPECT_EQ(lines.back(), k_success);
    EXPECT_TRUE(std::regex_match(lines[lines.size() - 2], k_final_update)) << lines[lines.size() - 2];
    expect_one_whole_progress_line(std::vector<std::string>(lines.begin() + 1, lines.end() - 1));
    EXPECT_EQ(restored_files().size(), 1u);
}

TEST_F(ProgressLine, AFailedRunAtATerminalStillEndsItsLineAndReportsOnStdout) {
    const auto r = run_with_tty_stderr({DEMOSAIC_BIN, masked(), "not-the-key"}, dir_ + "/out.txt");
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

// An abort while the line is shown still gets stderr's last words out.
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
        fputs((message + "\nlast words\n").c_str(), stderr);
        abort();
    }
    close(err_pipe[1]);
    std::string received;
    char buffer[4096];
    for (ssize_t n; (n = read(err_pipe[0], buffer, sizeof(buffer))) > 0;) received.append(buffer, static_cast<size_t>(n));
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
    EXPECT_NE(received.find(message + "\nlast words\n"), std::string::npos) << received.size();
}

TEST(ProgressFormat, UnknownTotalZeroElapsedAndLongRuns) {
    EXPECT_EQ(progress::format_line(0, 0, 0.0), "restored 0 pictures  0.0 fps  elapsed 0:00");
    EXPECT_EQ(progress::format_line(10, 250, 0.0), "restored 10/250 pictures  0.0 fps  elapsed 0:00  left ?");
    EXPECT_EQ(progress::format_line(100, 250, 4.0), "restored 100/250 pictures  25.0 fps  elapsed 0:04  left 0:06");
    EXPECT_EQ(progress::format_line(300, 250, 10.0), "restored 300/250 pictures  30.0 fps  elapsed 0:10  left 0:00");
    EXPECT_EQ(progress::format_line(90000, 180000, 3725.0),
              "restored 90000/180000 pictures  24.2 fps  elapsed 1:02:05  left 1:02:05");
}
