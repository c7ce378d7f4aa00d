// scripts/restore-many.sh on a few tiny masked clips: one demosaic per file, one report
// line per file with its name and result line, the right exit status, and nothing lost
// when jobs run side by side.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

using testsupport::run;

namespace {

const char* const k_success =
    "mosaic_ResultCode=0;mosaic_errStr=Demosaic successfully, please get the new video without mosaic in the "
    "video file path;";

// The script lives in the source tree, which the build's cache names.
std::string script_path() {
    const std::string bin = DEMOSAIC_BIN;
    std::ifstream cache(bin.substr(0, bin.find_last_of('/')) + "/CMakeCache.txt");
    const std::string key = "demosaic_SOURCE_DIR:STATIC=";
    std::string line;
    while (std::getline(cache, line)) {
        if (line.rfind(key, 0) == 0) return line.substr(key.size()) + "/scripts/restore-many.sh";
    }
    return std::string();
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

class RestoreMany : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
        script_ = script_path();
        ASSERT_TRUE(testsupport::file_exists(script_)) << script_;
        dir_ = testsupport::scratch_dir(std::string("restore_many_") +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(testsupport::make_clip(dir_ + "/plain.mp4", "libx264", 64, 64, 12, 25));
        // Two clips under the batch key (one with a blank in its name), one under another key.
        masked("one.mp4", "batch-key");
        masked("two words.mp4", "batch-key");
        masked("other.mp4", "another-key");
        unlink((dir_ + "/plain.mp4").c_str());
    }
    void masked(const std::string& name, const std::string& key) {
        const auto r = run({MOSAIC_BIN, dir_ + "/plain.mp4", key, "--gop", "6", "--preset", "ultrafast", "-o",
                            dir_ + "/" + name});
        ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    // The script with the key and this build's demosaic in its environment.
    // with: "xargs" forces xargs -P; empty lets the script pick GNU parallel when installed.
    testsupport::run_result restore(const std::vector<std::string>& arguments, const std::string& stdin_text = "",
                                    const std::string& with = "") {
        std::vector<std::string> argv = {"env", "DEMOSAIC_KEY=batch-key", std::string("DEMOSAIC=") + DEMOSAIC_BIN,
                                         "RESTORE_MANY_WITH=" + with, script_};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return run(argv, stdin_text, 300, dir_);
    }
    int restored_count() const {
        int count = 0;
        for (const auto& name : testsupport::list_dir(dir_)) count += name.find("_decmosic_") != std::string::npos;
        return count;
    }

    void check_report(const testsupport::run_result& r);

    std::string script_;
    std::string dir_;
};

}  // namespace

TEST_F(RestoreMany, ReportsEveryFileWithItsResultLineAndFailsWhenOneFails) {
    for (const std::string with : {"", "xargs"}) {
        SCOPED_TRACE(with.empty() ? "parallel if installed" : with);
        unlink((dir_ + "/report.txt").c_str());
        for (const auto& name : testsupport::list_dir(dir_)) {
            if (name.find("_decmosic_") != std::string::npos) unlink((dir_ + "/" + name).c_str());
        }
        check_report(restore({"-j", "3", "-o", "report.txt", "-l", "logs", "one.mp4", "two words.mp4", "other.mp4"},
                             "", with));
    }
}

void RestoreMany::check_report(const testsupport::run_result& r) {
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("2 of 3 restored"), std::string::npos) << r.out;
    // Sorted by name, a tab between name and result line.
    const std::vector<std::string> expected = {
        "one.mp4\t" + std::string(k_success),
        "other.mp4\tmosaic_ResultCode=2;mosaic_errStr=The privacy key is incorrect;",
        "two words.mp4\t" + std::string(k_success),
    };
    EXPECT_EQ(read_lines(dir_ + "/report.txt"), expected);
    EXPECT_EQ(restored_count(), 2);
    // Each file's log ends with the result line the report quotes.
    for (const auto& line : expected) {
        const std::string name = line.substr(0, line.find('\t'));
        const auto log = read_lines(dir_ + "/logs/" + name + ".log");
        ASSERT_FALSE(log.empty()) << name;
        EXPECT_EQ(log.front(), "DEBUG LEVEL : 2\r");
        EXPECT_EQ(log.back(), line.substr(line.find('\t') + 1));
    }
}

TEST_F(RestoreMany, NamesFromStandardInputAndEarlierOutputsAreSkipped) {
    // Everything succeeds: exit 0.
    unlink((dir_ + "/other.mp4").c_str());
    auto r = restore({"-0", "-o", "first.txt"}, std::string("one.mp4") + '\0' + "two words.mp4" + '\0');
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(read_lines(dir_ + "/first.txt").size(), 2u);
    ASSERT_EQ(restored_count(), 2);

    // A second run over the whole folder, one name per line: the restored files from the
    // first run are skipped, not restored again.
    std::string names;
    for (const auto& name : testsupport::list_dir(dir_)) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mp4") == 0) names += name + "\n";
    }
    r = restore({"-j", "2", "-o", "second.txt"}, names);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    const auto report = read_lines(dir_ + "/second.txt");
    ASSERT_EQ(report.size(), 2u);
    EXPECT_EQ(report[0].rfind("one.mp4\t", 0), 0u);
    EXPECT_EQ(report[1].rfind("two words.mp4\t", 0), 0u);
    EXPECT_NE(r.err.find("skipping"), std::string::npos);
}

TEST_F(RestoreMany, RefusesToStartWithoutAKeyOrWithABadJobCount) {
    auto r = run({"env", "-u", "DEMOSAIC_KEY", script_, "one.mp4"}, "", 60, dir_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("DEMOSAIC_KEY"), std::string::npos);
    r = restore({"-j", "zero", "one.mp4"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(restored_count(), 0);
}
