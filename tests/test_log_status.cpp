// The log line format and the process-wide result status under concurrent
// writers (its fixed texts are checked end to end, in the manual page and the refused runs).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <regex>
#include <thread>

#include "debug/std_debug.h"
#include "interface/resultStatus.h"
#include "tests/support/process.h"

namespace {

void log_lines(int value) {
    DEBUG_ERR("disk %d is %s", value, "full");
    DEBUG_WRN("plain warning");
}

const std::string k_stamp = R"(\[(ERR|WRN):(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) (\d+)\] )";

}  // namespace

TEST(LogLine, TagTimeStampPidColourFunctionAndSourcePosition) {
    const std::string out = testsupport::capture_stdout([] { log_lines(7); });
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

TEST(ResultStatus, LastSetterWinsAndReadersNeverSeeMixedPairs) {
    set_result_status(RESULT_INIT_DECRYPT_ERROR);
    set_result_status(RESULT_KEY_INCORRECT);
    EXPECT_EQ(get_result_code(), RESULT_KEY_INCORRECT);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) set_result_status(1 + i % 9);
    });
    for (int i = 0; i < 20000; ++i) {
        std::string message;
        const int code = get_result_status(&message);
        ASSERT_EQ(message, result_message(code));
    }
    stop = true;
    writer.join();
    reset_result_status_for_testing();
}
