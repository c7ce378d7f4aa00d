// Jobs are independent: several run at once in threads of one process, each with its own
// result, output file, log and cancel, and a job without a log prints nothing at all. They
// run through the in-process runner on small clips masked by mosaic at test time; the clips
// differ in size, so that each log line tells which job wrote it. The HEVC one opens libx265,
// which prints on its own unless silenced.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "interface/pqMosaicInterface.h"
#include "interface/resultStatus.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

const char* const k_key = "jobs key";
const int k_frames = 12;

struct job_case {
    int width, height;
    const char* codec;
    const char* key;
    bool cancelled;  // by its own progress callback at the first picture (on the muxer's thread)
    int code;
};

}  // namespace

TEST(Jobs, RunSideBySideWithTheirOwnCodeOutputLogAndCancelAndPrintNothing) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const job_case cases[] = {{64, 48, "h264", k_key, false, RESULT_OK},
                              {96, 64, "hevc", "a wrong key", false, RESULT_KEY_INCORRECT},
                              {80, 64, "h264", k_key, true, RESULT_INTERRUPTED}};
    constexpr int n = 3;
    job_context jobs[n];
    std::string dirs[n], logs[n];
    std::mutex mutex;  // guards logs and started
    std::condition_variable all_started;
    int started = 0;
    for (int i = 0; i < n; ++i) {
        dirs[i] = testsupport::scratch_dir("jobs_" + std::to_string(i));
        ASSERT_TRUE(testsupport::make_masked(dirs[i] + "/in.mp4", k_key, cases[i].width, cases[i].height, k_frames,
                                             "aac", {"--codec", cases[i].codec}));
        // A job's first line (from the demuxer) waits until every job has begun, so that
        // the runs overlap.
        jobs[i].log.level = STD_DEBUG_LEVEL_WRN;
        jobs[i].log.write = [&, i](int, const char* line) {
            std::unique_lock<std::mutex> lock(mutex);
            if (logs[i].empty() && ++started == n) all_started.notify_all();
            all_started.wait_for(lock, std::chrono::seconds(20), [&] { return started == n; });
            logs[i] += line;
        };
        if (cases[i].cancelled) {
            jobs[i].progress.set_callback([&job = jobs[i]](int64_t done, int64_t total) {
                EXPECT_EQ(total, k_frames);
                if (done == 1) job.cancel();
            });
        }
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            pq_mosaic_interface_input(jobs[i], (dirs[i] + "/in.mp4").c_str(), cases[i].key, restore_options());
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        std::string message;
        EXPECT_EQ(jobs[i].get_result_status(&message), cases[i].code);
        EXPECT_EQ(message, result_message(cases[i].code));
        // Only a successful job leaves a file, its own, which decodes to the hidden pictures.
        const std::vector<std::string> restored = testsupport::restored_files(dirs[i]);
        EXPECT_EQ(restored, cases[i].code == RESULT_OK ? std::vector<std::string>{jobs[i].output_path}
                                                       : std::vector<std::string>{});
        std::vector<testsupport::luma_frame> pictures;
        if (!restored.empty()) {
            ASSERT_TRUE(testsupport::decode_video(restored[0], &pictures));
            EXPECT_EQ(pictures.size(), size_t(k_frames - 1));
            EXPECT_EQ(std::make_pair(pictures[0].width, pictures[0].height),
                      std::make_pair(cases[i].width, cases[i].height));
        }
        // Each log holds its own job's lines alone, the version line once per job.
        for (int other = 0; other < n; ++other) {
            const std::string resolution = "Resolution: " + std::to_string(cases[other].width) + " x " +
                                           std::to_string(cases[other].height) + "\033";
            EXPECT_EQ(logs[i].find(resolution) != std::string::npos, other == i) << logs[i];
        }
        EXPECT_EQ(testsupport::lines_starting_with(logs[i], "mosic version: ").size(), 1u) << logs[i];
        EXPECT_EQ(logs[i].find("decrypt_sei_frame failed") != std::string::npos, cases[i].code == RESULT_KEY_INCORRECT);
    }
}

TEST(Jobs, TheProcessWideEntryStartsFromTheProcessWideStatusAndLeavesItsOutcomeThere) {
    // After a failure, a job on a good input stops before its first packet and reports the
    // old failure again, writing nothing; its log goes to standard output.
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string dir = testsupport::scratch_dir("jobs_process_wide");
    ASSERT_TRUE(testsupport::make_masked(dir + "/in.mp4", k_key, 64, 48, k_frames, "", {}));
    char message[256] = {};
    const std::string log = testsupport::capture_stdout([&] {
        EXPECT_EQ(pq_mosaic_interface_input((dir + "/missing.mp4").c_str(), k_key, nullptr), RESULT_OPEN_INPUT_ERROR);
        EXPECT_EQ(pq_mosaic_interface_input((dir + "/in.mp4").c_str(), k_key, message), RESULT_OPEN_INPUT_ERROR);
    });
    EXPECT_STREQ(message, result_message(RESULT_OPEN_INPUT_ERROR));
    EXPECT_NE(log.find("Resolution: 64 x 48\033"), std::string::npos) << log;
    EXPECT_TRUE(testsupport::restored_files(dir).empty());
    set_result_status(RESULT_OK);
}
