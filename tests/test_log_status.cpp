// The log line format, the start-up routine, the process-wide result status.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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
    EXPECT_GE(std::stoi(m[2]), 2024);  // local time, fields in range
    EXPECT_LE(std::stoi(m[3]), 12);
    EXPECT_LE(std::stoi(m[5]), 23);
}

TEST(StartUp, SecondRunReportsBusyAndChangesNothing) {
    ASSERT_NE(g_debug_context, nullptr);
    EXPECT_EQ(g_debug_context->log_level, 2);
    set_result_status(RESULT_MUXER_ERROR);
    EXPECT_EQ(testsupport::capture_stdout([] { std_debug::startup(); }), "DEBUG ERR : lib std_debug busy!!!\r\n");
    EXPECT_EQ(g_debug_context->log_level, 2);
    EXPECT_EQ(get_result_code(), RESULT_MUXER_ERROR);
    reset_result_status_for_testing();
}

TEST(ResultStatus, FixedMessagesAndLastSetterWinsWithoutMixedPairs) {
    const char* const messages[] = {
        "Demosaic successfully, please get the new video without mosaic in the video file path", "Init decrypt Error",
        "The privacy key is incorrect", "Open input file Error", "Open output file Error", "video stream format Error",
        "video muxer Error", "Parama Error", "video decoder Error", "video encoder Error"};
    for (int code = 0; code < 10; ++code) {
        set_result_status(code);
        std::string stored;
        EXPECT_EQ(get_result_status(&stored), code);
        EXPECT_EQ(stored, messages[code]);
    }
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
