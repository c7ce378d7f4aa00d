// The log line format, the start-up routine and the process-wide result status.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "debug/std_debug.h"
#include "interface/pqMosaicInterface.h"
#include "interface/resultStatus.h"

namespace {

std::string capture(const std::function<void()>& body) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void log_error_line(int value) { DEBUG_ERR("disk %d is %s", value, "full"); }
void log_warning_line() { DEBUG_WRN("plain warning"); }

const std::string k_stamp = R"(\[(ERR|WRN):(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) (\d+)\] )";

}  // namespace

TEST(LogLine, ErrorLineHasTagTimeStampPidColourAndSourcePosition) {
    const std::string out = capture([] { log_error_line(7); });
    std::smatch m;
    const std::regex shape("^" + k_stamp +
                           "\x1b\\[0;31mdisk 7 is full\x1b\\[0;39m ==func:log_error_line "
                           "file:tests/test_log_status\\.cpp line:(\\d+)\n$");
    ASSERT_TRUE(std::regex_match(out, m, shape)) << out;
    EXPECT_EQ(m[1], "ERR");
    EXPECT_EQ(std::stoi(m[9]), std_debug::process_id());
    // Local time: the year is plausible and the fields are in range.
    EXPECT_GE(std::stoi(m[2]), 2024);
    EXPECT_LE(std::stoi(m[3]), 12);
    EXPECT_LE(std::stoi(m[5]), 23);
    EXPECT_LE(std::stoi(m[8]), 999);
}

TEST(LogLine, WarningLineIsYellowAndShowsTheFunction) {
    const std::string out = capture(log_warning_line);
    const std::regex shape("^" + k_stamp +
                           "\x1b\\[0;33mplain warning\x1b\\[0;39m ==func:log_warning_line "
                           "file:tests/test_log_status\\.cpp line:\\d+\n$");
    EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

TEST(LogLine, SourcePathIsRelativeToTheSourceRoot) {
    const std::string out = capture(log_warning_line);
    EXPECT_EQ(out.find("file:/"), std::string::npos) << out;
}

TEST(LogLine, LevelBelowTheLineSuppressesItWithoutEvaluatingArguments) {
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    const int saved = g_debug_context->log_level;
    g_debug_context->log_level = 1;
    const std::string out = capture([&] {
        DEBUG_WRN("hidden %d", count());
        DEBUG_ERR("shown %d", count());
    });
    g_debug_context->log_level = saved;
    EXPECT_EQ(evaluated, 1);
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    EXPECT_NE(out.find("shown 1"), std::string::npos);
}

TEST(LogLine, ConcurrentLinesDoNotInterleave) {
    const std::string out = capture([] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 50; ++i) DEBUG_WRN("thread %d line %d", t, i);
            });
        }
        for (auto& th : threads) th.join();
    });
    const std::regex shape("^" + k_stamp + "\x1b\\[0;33mthread \\d line \\d+\x1b\\[0;39m ==func:.* line:\\d+$");
    std::stringstream lines(out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        ++count;
    }
    EXPECT_EQ(count, 200);
}

TEST(StartUp, SecondRunReportsBusyAndChangesNothing) {
    ASSERT_NE(g_debug_context, nullptr);
    EXPECT_EQ(g_debug_context->log_level, 2);
    set_result_status(RESULT_MUXER_ERROR);
    const std::string out = capture([] { std_debug::startup(); });
    EXPECT_EQ(out, "DEBUG ERR : lib std_debug busy!!!\r\n");
    EXPECT_EQ(g_debug_context->log_level, 2);
    EXPECT_EQ(get_result_code(), RESULT_MUXER_ERROR);
    reset_result_status_for_testing();
}

TEST(ResultStatus, CodesCarryTheirFixedMessages) {
    const std::vector<std::pair<int, std::string>> table = {
        {0, "Demosaic successfully, please get the new video without mosaic in the video file path"},
        {1, "Init decrypt Error"},
        {2, "The privacy key is incorrect"},
        {3, "Open input file Error"},
        {4, "Open output file Error"},
        {5, "video stream format Error"},
        {6, "video muxer Error"},
        {7, "Parama Error"},
        {8, "video decoder Error"},
        {9, "video encoder Error"},
    };
    for (const auto& [code, message] : table) {
        set_result_status(code);
        std::string stored;
        EXPECT_EQ(get_result_status(&stored), code);
        EXPECT_EQ(stored, message);
    }
    EXPECT_EQ(std::string(result_message(0)).size(), 85u);
    reset_result_status_for_testing();
}

TEST(ResultStatus, LastSetterWinsAndReadersNeverSeeAMixedPair) {
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

TEST(Interface, NullArgumentsGiveParamErrorWithoutBuildingAnything) {
    char message[256] = {};
    std::string out = capture([&] { EXPECT_EQ(pq_mosaic_interface_input(nullptr, "key", message), 7); });
    EXPECT_STREQ(message, "Parama Error");
    EXPECT_NE(out.find("mosaic interface input param is error"), std::string::npos);
    EXPECT_EQ(out.find("mediaDemuxer"), std::string::npos) << "no demuxer may be built";
    reset_result_status_for_testing();

    out = capture([&] { EXPECT_EQ(pq_mosaic_interface_input("a.mp4", nullptr, nullptr), 7); });
    EXPECT_NE(out.find("mosaic interface input param is error"), std::string::npos);
    reset_result_status_for_testing();
}

TEST(Interface, NullMessageBufferStillReturnsTheCode) {
    capture([] { EXPECT_EQ(pq_mosaic_interface_input("/no/such/folder/clip.mp4", "key", nullptr), 3); });
    reset_result_status_for_testing();
}
