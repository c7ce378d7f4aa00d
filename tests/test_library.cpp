// The library as a host program sees it: the C interface of libdemosaic (this test links the
// shared library, not the static core) and the Python package on it. Jobs run side by side in
// threads of one process, each with its own code, file, log and progress; a cancel from
// another thread ends a run with 10 and no file; nothing reaches the host's standard output or
// error. Clips are masked by mosaic at test time and differ in size, so that each log line
// tells which job wrote it; the HEVC one opens libx265, which prints on its own unless silenced.
#include <demosaic.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

#include "common/resultCode.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

const char* const k_key = "library key";
const int k_frames = 12;

// What the host keeps of one job: its log and progress as the callbacks saw them.
struct host_job {
    demosaic_job* job = nullptr;
    std::string log;
    std::vector<std::pair<int, std::string>> lines;  // level, line
    std::vector<std::pair<int64_t, int64_t>> progress;
};

// Every job's first log line waits until each job has written one, so that the runs overlap.
struct start_line {
    std::mutex mutex;
    std::condition_variable all_started;
    int started = 0, jobs = 0;
    void arrive() {
        std::unique_lock<std::mutex> lock(mutex);
        if (++started == jobs) all_started.notify_all();
        all_started.wait_for(lock, std::chrono::seconds(20), [&] { return started >= jobs; });
    }
} g_start;

void on_log(void* opaque, int level, const char* line) {
    auto* host = static_cast<host_job*>(opaque);
    if (host->lines.empty()) g_start.arrive();
    host->lines.emplace_back(level, line);
    host->log += line;
}

void on_progress(void* opaque, int64_t done, int64_t total) {
    static_cast<host_job*>(opaque)->progress.emplace_back(done, total);
}

// The cancelled job's first picture waits until the test thread has cancelled it.
struct cancel_point {
    std::mutex mutex;
    std::condition_variable changed;
    bool reached = false, cancelled = false;
} g_cancel;

void on_progress_then_wait(void* opaque, int64_t done, int64_t total) {
    on_progress(opaque, done, total);
    std::unique_lock<std::mutex> lock(g_cancel.mutex);
    g_cancel.reached = true;
    g_cancel.changed.notify_all();
    g_cancel.changed.wait_for(lock, std::chrono::seconds(20), [] { return g_cancel.cancelled; });
}

}  // namespace

TEST(Library, ItsInterfaceComesFromTheSharedLibraryAndTheReadmeShowsTheExamplesTheTestsRun) {
    Dl_info where{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&demosaic_job_run), &where), 0);
    EXPECT_NE(std::string(where.dli_fname).find("libdemosaic.so"), std::string::npos) << where.dli_fname;
    const auto read = [](const std::string& path) {
        std::ifstream file(std::string(DEMOSAIC_SOURCE_DIR) + "/" + path);
        return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const std::string readme = read("README.md");
    // Each example as the README shows it: without its opening comment.
    for (const auto& [path, comment_end] : {std::pair<std::string, std::string>{"docs/examples/restore.c", "*/\n"},
                                            {"docs/examples/restore.py", "\"\"\"\n"}}) {
        const std::string example = read(path);
        const size_t body = example.find(comment_end, 3);
        ASSERT_NE(body, std::string::npos) << path;
        EXPECT_NE(readme.find(example.substr(body + comment_end.size())), std::string::npos) << path;
    }
}

TEST(Library, JobsRunSideBySideWithTheirOwnCodeFileLogAndProgressAndPrintNothing) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    struct job_case {
        int width, height;
        const char* codec;
        const char* key;
        bool cancelled;  // from the test's thread, at the first picture
        int code;
    };
    const job_case cases[] = {{64, 48, "h264", k_key, false, RESULT_OK},
                              {96, 64, "hevc", "a wrong key", false, RESULT_KEY_INCORRECT},
                              {80, 64, "h264", k_key, true, RESULT_INTERRUPTED}};
    constexpr int n = 3;
    host_job hosts[n];
    std::string dirs[n];
    g_start.jobs = n;
    for (int i = 0; i < n; ++i) {
        dirs[i] = testsupport::scratch_dir("library_" + std::to_string(i));
        ASSERT_TRUE(testsupport::make_masked(dirs[i] + "/in.mp4", k_key, cases[i].width, cases[i].height, k_frames,
                                             "aac", {"--codec", cases[i].codec}));
        hosts[i].job = demosaic_job_new((dirs[i] + "/in.mp4").c_str(), cases[i].key);
        ASSERT_NE(hosts[i].job, nullptr);
        demosaic_job_on_log(hosts[i].job, on_log, &hosts[i]);
        demosaic_job_on_progress(hosts[i].job, cases[i].cancelled ? on_progress_then_wait : on_progress, &hosts[i]);
    }
    int codes[n];
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) threads.emplace_back([&, i] { codes[i] = demosaic_job_run(hosts[i].job); });
    {
        std::unique_lock<std::mutex> lock(g_cancel.mutex);
        g_cancel.changed.wait_for(lock, std::chrono::seconds(60), [] { return g_cancel.reached; });
        demosaic_job_cancel(hosts[2].job);
        g_cancel.cancelled = true;
        g_cancel.changed.notify_all();
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(i);
        const host_job& host = hosts[i];
        EXPECT_EQ(codes[i], cases[i].code);
        EXPECT_STREQ(demosaic_job_message(host.job), result_message(cases[i].code));
        // Only a successful job leaves a file, its own, which decodes to the hidden pictures;
        // its progress counts each of them once, in order, of the input's pictures.
        const std::vector<std::string> restored = testsupport::restored_files(dirs[i]);
        const char* output = demosaic_job_output(host.job);
        EXPECT_EQ(restored, output != nullptr ? std::vector<std::string>{output} : std::vector<std::string>{});
        EXPECT_EQ(output != nullptr, cases[i].code == RESULT_OK);
        for (size_t k = 0; k < host.progress.size(); ++k) {
            EXPECT_EQ(host.progress[k], std::make_pair(int64_t(k + 1), int64_t(k_frames)));
        }
        if (cases[i].code == RESULT_OK) {
            std::vector<testsupport::luma_frame> pictures;
            ASSERT_TRUE(testsupport::decode_video(restored.at(0), &pictures));
            EXPECT_EQ(pictures.size(), size_t(k_frames - 1));
            EXPECT_EQ(host.progress.size(), pictures.size());
        }
        // Each log holds its own job's lines alone, each line with its level, the version line once.
        for (int other = 0; other < n; ++other) {
            const std::string resolution = "Resolution: " + std::to_string(cases[other].width) + " x " +
                                           std::to_string(cases[other].height) + "\033";
            EXPECT_EQ(host.log.find(resolution) != std::string::npos, other == i) << host.log;
        }
        for (const auto& [level, line] : host.lines) {
            const int tagged = line.rfind("[ERR:", 0) == 0   ? DEMOSAIC_LOG_ERROR
                               : line.rfind("[WRN:", 0) == 0 ? DEMOSAIC_LOG_WARNING
                               : line.rfind("mosic version: ", 0) == 0 ? DEMOSAIC_LOG_PLAIN
                                                                       : level;
            EXPECT_EQ(level, tagged) << line;
        }
        EXPECT_EQ(testsupport::lines_starting_with(host.log, "mosic version: ").size(), 1u) << host.log;
        EXPECT_EQ(host.log.find("decrypt_sei_frame failed") != std::string::npos, cases[i].code == RESULT_KEY_INCORRECT);
        demosaic_job_free(host.job);
    }
}

TEST(Library, AJobKeepsItsOptionsRunsAgainAfreshAndACancelBeforeARunEndsThatRun) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string dir = testsupport::scratch_dir("library_options"), out = dir + "/out";
    ASSERT_TRUE(testsupport::make_masked(dir + "/in.mp4", k_key, 64, 48, k_frames, "", {}));
    ASSERT_EQ(testsupport::run({"mkdir", out}).exit_code, 0);
    EXPECT_EQ(demosaic_job_new(nullptr, k_key), nullptr);
    EXPECT_EQ(demosaic_job_new((dir + "/in.mp4").c_str(), nullptr), nullptr);
    EXPECT_EQ(demosaic_job_run(nullptr), RESULT_PARAM_ERROR);
    EXPECT_EQ(demosaic_job_message(nullptr), nullptr);
    demosaic_job_cancel(nullptr);
    demosaic_job_free(nullptr);

    demosaic_job* job = demosaic_job_new((dir + "/in.mp4").c_str(), k_key);
    ASSERT_NE(job, nullptr);
    EXPECT_STREQ(demosaic_job_message(job), "");
    const struct {
        const char* option;
        const char* value;
        int answer;
    } settings[] = {{"copy", "1", 0},          {"copy", "yes", DEMOSAIC_BAD_VALUE}, {"copy", nullptr, DEMOSAIC_BAD_VALUE},
                    {"output", out.c_str(), 0}, {"verbose", "1", DEMOSAIC_UNKNOWN_OPTION},
                    {"Copy", "1", DEMOSAIC_UNKNOWN_OPTION}, {nullptr, "1", DEMOSAIC_UNKNOWN_OPTION},
                    {"to", "soon", DEMOSAIC_BAD_VALUE},   {"info", "yes", DEMOSAIC_BAD_VALUE}};
    for (const auto& setting : settings) {
        EXPECT_EQ(demosaic_job_set(job, setting.option, setting.value), setting.answer)
            << (setting.option ? setting.option : "null") << "=" << (setting.value ? setting.value : "null");
    }
    // A cancel before the run ends that run with 10 and nothing written; the next run starts
    // afresh, with the options set (copy: every picture of the input, in the folder asked for).
    demosaic_job_cancel(job);
    EXPECT_EQ(demosaic_job_run(job), RESULT_INTERRUPTED);
    EXPECT_STREQ(demosaic_job_message(job), result_message(RESULT_INTERRUPTED));
    EXPECT_EQ(demosaic_job_output(job), nullptr);
    EXPECT_TRUE(testsupport::restored_files(out).empty());
    EXPECT_EQ(demosaic_job_run(job), RESULT_OK);
    const std::vector<std::string> restored = testsupport::restored_files(out);
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_STREQ(demosaic_job_output(job), restored[0].c_str());
    std::vector<testsupport::luma_frame> pictures;
    ASSERT_TRUE(testsupport::decode_video(restored[0], &pictures));
    EXPECT_EQ(pictures.size(), size_t(k_frames));
    demosaic_job_free(job);

    // A description writes nothing and leaves demosaic --info's object; other runs leave none.
    demosaic_job* info = demosaic_job_new((dir + "/in.mp4").c_str(), "");
    ASSERT_EQ(demosaic_job_set(info, "info", "1"), 0);
    EXPECT_EQ(demosaic_job_run(info), RESULT_OK);
    ASSERT_NE(demosaic_job_description(info), nullptr);
    EXPECT_NE(std::string(demosaic_job_description(info)).find("\"pictures\":" + std::to_string(k_frames)),
              std::string::npos) << demosaic_job_description(info);
    EXPECT_EQ(demosaic_job_output(info), nullptr);
    ASSERT_EQ(demosaic_job_set(info, "info", "0"), 0);
    EXPECT_EQ(demosaic_job_run(info), RESULT_KEY_INCORRECT);
    EXPECT_EQ(demosaic_job_description(info), nullptr);
    demosaic_job_free(info);
}

TEST(Library, ThePythonPackageRestoresReportsAWrongKeyAndCancelsFromAnotherThread) {
    if (std::string(DEMOSAIC_SANITIZE_FLAGS) != "") GTEST_SKIP() << "python3 cannot load a sanitised library";
    if (!testsupport::have_ffmpeg() || testsupport::run({"python3", "-c", "import ctypes"}).exit_code != 0)
        GTEST_SKIP() << "ffmpeg or python3 is not installed";
    const std::string dir = testsupport::scratch_dir("library_python"), input = dir + "/in.mp4";
    ASSERT_TRUE(testsupport::make_masked(input, k_key, 64, 48, k_frames, "aac", {}));
    const std::string example = std::string(DEMOSAIC_SOURCE_DIR) + "/docs/examples/restore.py";
    const auto python = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"env", "PYTHONPATH=" DEMOSAIC_BUILD_DIR "/python", "python3"});
        return testsupport::run(arguments);
    };
    // Cancelled from another Python thread while its first picture waits; a callback that
    // raises cancels the run too, and run() raises it; arguments of the wrong type raise.
    const auto checks = python({"-c", R"(
import sys, threading, demosaic
started, cancelled = threading.Event(), threading.Event()
job = demosaic.Job(sys.argv[1], sys.argv[2], progress=lambda done, total: (started.set(), cancelled.wait(20)))
results = []
worker = threading.Thread(target=lambda: results.append(job.run()))
worker.start(); started.wait(60); job.cancel(); cancelled.set(); worker.join()
print(results[0].code, results[0].message, results[0].output)
for call in (lambda: demosaic.restore(sys.argv[1], sys.argv[2], progress=lambda done, total: 1 / 0),
             lambda: demosaic.restore(5, "k"), lambda: demosaic.restore("a.mp4", None),
             lambda: demosaic.restore("a.mp4", "k", copy="1"), lambda: demosaic.restore("a.mp4", "k", log=3)):
    try:
        call()
    except Exception as error:
        print(type(error).__name__)
print(demosaic.__version__)
)", input, k_key});
    EXPECT_EQ(checks.exit_code, 0) << checks.err;
    EXPECT_EQ(checks.out, "10 Interrupted by signal None\nZeroDivisionError\nTypeError\nTypeError\nTypeError\nTypeError\n" +
                              std::string(demosaic_version()) + "\n");
    EXPECT_EQ(checks.err, "");
    EXPECT_TRUE(testsupport::restored_files(dir).empty());

    const auto restored = python({example, input, k_key});
    const std::vector<std::string> files = testsupport::restored_files(dir);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(restored.exit_code, RESULT_OK);
    EXPECT_EQ(restored.out, "code 0: " + std::string(result_message(RESULT_OK)) + "\nrestored: " + files[0] + "\n");
    const auto wrong = python({example, input, "a wrong key"});
    EXPECT_EQ(wrong.exit_code, RESULT_KEY_INCORRECT);
    EXPECT_EQ(wrong.out, "code 2: The privacy key is incorrect\n");
    EXPECT_EQ(testsupport::restored_files(dir).size(), 1u);
}
