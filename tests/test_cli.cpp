// The demosaic command line, run as a real process.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/process.h"

using testsupport::run;

TEST(CommandLine, TooFewArgumentsPrintsTheComplaintAndExitsMinusOne) {
    for (const std::vector<std::string>& argv :
         {std::vector<std::string>{DEMOSAIC_BIN}, std::vector<std::string>{DEMOSAIC_BIN, "clip.mp4"}}) {
        const auto r = run(argv);
        EXPECT_EQ(r.exit_code, 255);
        // The start-up line comes first, then exactly the complaint; no result line.
        EXPECT_EQ(r.out.rfind("DEBUG LEVEL : 2\r\nintput argc is error\n", 0), 0u) << r.out;
        EXPECT_EQ(r.out.find("mosaic_ResultCode"), std::string::npos);
    }
}

TEST(CommandLine, MissingInputEndsWithCodeThreeAndOneResultLine) {
    const std::string dir = testsupport::scratch_dir("cli_missing");
    const auto r = run({DEMOSAIC_BIN, dir + "/absent.mp4", "secret"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out.rfind("DEBUG LEVEL : 2\r\n", 0), 0u);
    const auto results = testsupport::lines_starting_with(r.out, "mosaic_ResultCode=");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], "mosaic_ResultCode=3;mosaic_errStr=Open input file Error;");
    // The result line is the last line of the output.
    EXPECT_EQ(r.out.substr(r.out.size() - results[0].size() - 1), results[0] + "\n");
    EXPECT_TRUE(testsupport::list_dir(dir).empty());
}

TEST(CommandLine, ExtraArgumentsAreIgnored) {
    const std::string dir = testsupport::scratch_dir("cli_extra");
    const auto two = run({DEMOSAIC_BIN, dir + "/clip.mkv", "secret"});
    const auto three = run({DEMOSAIC_BIN, dir + "/clip.mkv", "secret", "--surplus"});
    EXPECT_EQ(two.exit_code, 4);
    EXPECT_EQ(three.exit_code, 4);
    EXPECT_EQ(testsupport::lines_starting_with(three.out, "mosaic_ResultCode="),
              std::vector<std::string>{"mosaic_ResultCode=4;mosaic_errStr=Open output file Error;"});
}

TEST(CommandLine, KeyNeverAppearsInTheOutput) {
    const std::string dir = testsupport::scratch_dir("cli_key");
    const auto r = run({DEMOSAIC_BIN, dir + "/absent.mp4", "Sup3rSecretKeyValue"});
    EXPECT_EQ(r.out.find("Sup3rSecretKeyValue"), std::string::npos);
    EXPECT_EQ(r.err.find("Sup3rSecretKeyValue"), std::string::npos);
}
