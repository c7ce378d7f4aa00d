// The demosaic command line, run as a real process.
#include <gtest/gtest.h>

#include "tests/support/process.h"

using testsupport::run;

TEST(CommandLine, TooFewArgumentsComplainGiveUsageAndExit255) {
    for (const std::vector<std::string>& argv : {std::vector<std::string>{DEMOSAIC_BIN}, {DEMOSAIC_BIN, "clip.mp4"}}) {
        const auto r = run(argv);
        EXPECT_EQ(r.exit_code, 255);
        // The start-up line, then exactly the complaint; no result line; the usage on stderr.
        EXPECT_EQ(r.out, "DEBUG LEVEL : 2\r\nintput argc is error\n");
        EXPECT_EQ(r.err.rfind("usage: demosaic INPUT KEY\n", 0), 0u) << r.err;
    }
}

TEST(CommandLine, ExtraArgumentsAreIgnoredAndTheKeyIsNeverShown) {
    const std::string dir = testsupport::scratch_dir("cli_extra");
    const auto r = run({DEMOSAIC_BIN, dir + "/absent.mp4", "Sup3rSecretKeyValue", "--surplus"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(testsupport::lines_starting_with(r.out, "mosaic_ResultCode="),
              std::vector<std::string>{"mosaic_ResultCode=3;mosaic_errStr=Open input file Error;"});
    EXPECT_EQ((r.out + r.err).find("Sup3rSecretKeyValue"), std::string::npos);
}
