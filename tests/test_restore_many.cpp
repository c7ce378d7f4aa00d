// scripts/restore-many.sh on a few tiny masked clips: one report line per file with its
// result line, the right exit status, and nothing lost when jobs run side by side.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace {

const std::string k_success =
    "mosaic_ResultCode=0;mosaic_errStr=Demosaic successfully, please get the new video without mosaic in the "
    "video file path;";

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class RestoreMany : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
        ASSERT_TRUE(testsupport::file_exists(script_)) << script_;
        dir_ = testsupport::test_scratch_dir("restore_many_");
        ASSERT_TRUE(testsupport::make_clip(dir_ + "/plain.mp4", "libx264", 64, 64, 12, 25));
        // Two clips under the batch key (one with a blank in its name), one under another key.
        for (const auto& [name, key] : {std::pair{"one.mp4", "batch-key"}, {"two words.mp4", "batch-key"},
                                        {"other.mp4", "another-key"}})
            ASSERT_EQ(testsupport::run({MOSAIC_BIN, dir_ + "/plain.mp4", key, "--gop", "6", "--preset", "ultrafast",
                                        "-o", dir_ + "/" + name}).exit_code, 0);
        unlink((dir_ + "/plain.mp4").c_str());
    }
    // with: "xargs" forces xargs -P; empty lets the script pick GNU parallel when installed.
    testsupport::run_result restore(std::vector<std::string> args, const std::string& stdin_text = "",
                                    const std::string& with = "") {
        args.insert(args.begin(), {"env", "DEMOSAIC_KEY=batch-key", std::string("DEMOSAIC=") + DEMOSAIC_BIN,
                                   "RESTORE_MANY_WITH=" + with, script_});
        return testsupport::run(args, stdin_text, 300, dir_);
    }
    // Counts the restored files, removing them when clear.
    int restored_count(bool clear = false) const {
        const auto files = testsupport::restored_files(dir_);
        for (const auto& file : files) clear && unlink(file.c_str());
        return static_cast<int>(files.size());
    }
    std::string script_ = DEMOSAIC_SOURCE_DIR "/scripts/restore-many.sh", dir_;
};

}  // namespace

TEST_F(RestoreMany, ReportsEveryFileWithItsResultLineAndFailsWhenOneFails) {
    // Sorted by name, a tab between name and result line.
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"one.mp4", k_success},
        {"other.mp4", "mosaic_ResultCode=2;mosaic_errStr=The privacy key is incorrect;"},
        {"two words.mp4", k_success}};
    for (const std::string with : {"", "xargs"}) {
        SCOPED_TRACE(with.empty() ? "parallel if installed" : with);
        unlink((dir_ + "/report.txt").c_str());
        const auto r = restore({"-j", "3", "-o", "report.txt", "-l", "logs", "one.mp4", "two words.mp4", "other.mp4"},
                               "", with);
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
        EXPECT_NE(r.out.find("2 of 3 restored"), std::string::npos) << r.out;
        const auto report = read_lines(dir_ + "/report.txt");
        ASSERT_EQ(report.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(report[i], expected[i].first + "\t" + expected[i].second);
            // Each file's log ends with the result line the report quotes.
            const auto log = read_lines(dir_ + "/logs/" + expected[i].first + ".log");
            ASSERT_FALSE(log.empty()) << expected[i].first;
            EXPECT_EQ(log.front(), "DEBUG LEVEL : 2\r");
            EXPECT_EQ(log.back(), expected[i].second);
        }
        EXPECT_EQ(restored_count(true), 2);
    }
}

TEST_F(RestoreMany, NamesFromStandardInputAndEarlierOutputsAreSkipped) {
    unlink((dir_ + "/other.mp4").c_str());  // everything succeeds: exit 0
    auto r = restore({"-0", "-o", "first.txt"}, std::string("one.mp4") + '\0' + "two words.mp4" + '\0');
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(read_lines(dir_ + "/first.txt").size(), 2u);
    ASSERT_EQ(restored_count(), 2);
    // Over the whole folder, one name per line: the first run's outputs are skipped.
    std::string names;
    for (const auto& name : testsupport::list_dir(dir_))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".mp4") == 0) names += name + "\n";
    r = restore({"-j", "2", "-o", "second.txt"}, names);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    const auto report = read_lines(dir_ + "/second.txt");
    ASSERT_EQ(report.size(), 2u);
    EXPECT_EQ(report[0].rfind("one.mp4\t", 0), 0u);
    EXPECT_EQ(report[1].rfind("two words.mp4\t", 0), 0u);
    EXPECT_NE(r.err.find("skipping"), std::string::npos);
}

TEST_F(RestoreMany, RefusesToStartWithoutAKeyOrWithABadJobCount) {
    auto r = testsupport::run({"env", "-u", "DEMOSAIC_KEY", script_, "one.mp4"}, "", 60, dir_);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("DEMOSAIC_KEY"), std::string::npos);
    EXPECT_EQ(restore({"-j", "zero", "one.mp4"}).exit_code, 2);
    EXPECT_EQ(restored_count(), 0);
}

TEST_F(RestoreMany, PassesOptionsToEveryRunAndKeepsARecordPerFile) {
    const auto r = restore({"-a", "--check", "-r", "records", "-o", "checks.txt", "one.mp4", "other.mp4"});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(read_lines(dir_ + "/checks.txt"),
              (std::vector<std::string>{"one.mp4\tmosaic_ResultCode=0;mosaic_errStr=The privacy key is correct;",
                                        "other.mp4\tmosaic_ResultCode=2;mosaic_errStr=The privacy key is incorrect;"}));
    for (const std::string name : {"one.mp4", "other.mp4"}) {
        const auto record = read_lines(dir_ + "/records/" + name + ".json");
        ASSERT_EQ(record.size(), 1u) << name;
        EXPECT_NE(record[0].find("\"mode\":\"check\""), std::string::npos) << record[0];
        EXPECT_EQ(record[0].find("batch-key"), std::string::npos);
    }
    EXPECT_EQ(restored_count(), 0);
}
