// The log line format, where a line goes (standard output, or the sink of the job the thread
// works for), and a job's result status under concurrent writers and a late cancel (its
// fixed texts are checked end to end, in the manual page and the refused runs).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <regex>
#include <thread>

#include "common/jobContext.h"
#include "debug/std_debug.h"
#include "tests/support/process.h"

namespace {

void log_lines(int value) {
    DEBUG_ERR("disk %d is %s", value, "full");
    DEBUG_WRN("plain warning");
}

const std::string k_stamp = R"(\[(ERR|WRN):(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) (\d+)\] )";

}  // namespace

TEST(LogLine, TagTimeStampPidColourFunctionAndSourcePositionOnStdoutOrInTheThreadsJob) {
    // Without a job the lines go to standard output; with a job bound to the thread, to its
    // sink alone, the same bytes, each line whole with its level.
    job_context job;
    std::string sunk;
    std::vector<int> levels;
    job.log.level = STD_DEBUG_LEVEL_WRN;
    job.log.write = [&](int level, const char* line) { sunk += line, levels.push_back(level); };
    const std::string printed = testsupport::capture_stdout([] { log_lines(7); });
    const std::string bound_printed = testsupport::capture_stdout([&] {
        const job_context::thread_binding bound(job);
        log_lines(7);
    });
    EXPECT_EQ(bound_printed, "");
    EXPECT_EQ(levels, (std::vector<int>{STD_DEBUG_LEVEL_ERR, STD_DEBUG_LEVEL_WRN}));
    for (const std::string& out : {printed, sunk}) {
        std::smatch m;
        const std::regex shape("^" + k_stamp + "\x1b\\[0;31mdisk 7 is full\x1b\\[0;39m ==func:log_lines "
                               "file:tests/test_log_status\\.cpp line:(\\d+)\n" + k_stamp +
                               "\x1b\\[0;33mplain warning\x1b\\[0;39m ==func:log_lines file:tests/test_log_status\\.cpp "
                               "line:\\d+\n$");
        ASSERT_TRUE(std::regex_match(out, m, shape)) << out;
        EXPECT_EQ(m[1], "ERR");
        EXPECT_EQ(std::stoi(m[9]), std_debug::process_id());
        std::tm stamp{};  // the local time of the call
        stamp.tm_year = std::stoi(m[2]) - 1900, stamp.tm_mon = std::stoi(m[3]) - 1, stamp.tm_mday = std::stoi(m[4]);
        stamp.tm_hour = std::stoi(m[5]), stamp.tm_min = std::stoi(m[6]), stamp.tm_sec = std::stoi(m[7]), stamp.tm_isdst = -1;
        EXPECT_LE(std::abs(std::difftime(std::mktime(&stamp), std::time(nullptr))), 2.0) << m[0];
    }
}

TEST(ResultStatus, LastSetterWinsReadersNeverSeeMixedPairsAndACancelAfterTheKeptOutputChangesNothing) {
    job_context job;
    job.set_result_status(RESULT_INIT_DECRYPT_ERROR);
    job.set_result_status(RESULT_KEY_INCORRECT);
    EXPECT_EQ(job.get_result_code(), RESULT_KEY_INCORRECT);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) job.set_result_status(1 + i % 9);
    });
    for (int i = 0; i < 20000; ++i) {
        std::string message;
        const int code = job.get_result_status(&message);
        ASSERT_EQ(message, result_message(code));
    }
    stop = true;
    writer.join();

    // A cancel ends a failed or running job with 10; once the muxer has kept a finished
    // output (only with code 0), it comes too late.
    for (const bool succeeded : {false, true}) {
        job_context run;
        if (!succeeded) run.set_result_status(RESULT_MUXER_ERROR);
        EXPECT_EQ(run.keep_output(), succeeded);
        run.cancel();
        EXPECT_TRUE(run.cancelled());
        EXPECT_EQ(run.get_result_code(), succeeded ? RESULT_OK : RESULT_INTERRUPTED);
    }
}
