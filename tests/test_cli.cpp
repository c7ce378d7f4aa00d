// The demosaic command line, run as a real process.
#include <gtest/gtest.h>

#include <tuple>

#include "tests/support/process.h"

using testsupport::run;

TEST(CommandLine, TooFewArgumentsComplainGiveUsageAndExit255) {
    // Options are not operands, and an option without its value is an incomplete command line.
    for (std::vector<std::string> argv : std::vector<std::vector<std::string>>{
             {}, {"clip.mp4"}, {"--copy"}, {"-v", "clip.mp4"}, {"clip.mp4", "--copy", "-o", "out"}, {"clip.mp4", "key", "-o"},
             {"clip.mp4", "key", "--to"}, {"--report", "clip.mp4", "key"}}) {
        argv.insert(argv.begin(), DEMOSAIC_BIN);
        const auto r = run(argv);
        EXPECT_EQ(r.exit_code, 255);
        // The start-up line, then exactly the complaint; no result line; the usage on stderr.
        EXPECT_EQ(r.out, "DEBUG LEVEL : 2\r\nintput argc is error\n");
        EXPECT_EQ(r.err.rfind("usage: demosaic INPUT KEY [options]\n", 0), 0u) << r.err;
    }
    // --info takes one operand, and keeps its standard output for JSON alone.
    const auto r = run({DEMOSAIC_BIN, "--info"});
    EXPECT_EQ(std::make_tuple(r.exit_code, r.out), std::make_tuple(255, std::string()));
    EXPECT_EQ(r.err.rfind("intput argc is error\nusage: demosaic", 0), 0u) << r.err;
}

TEST(CommandLine, HelpAndVersionAnswerOnStandardOutput) {
    for (const auto& [word, text] : {std::pair<std::string, std::string>{"--help", "--copy"}, {"--version", "demosaic "}}) {
        const auto r = run({DEMOSAIC_BIN, word});
        EXPECT_EQ(std::make_pair(r.exit_code, r.err), std::make_pair(0, std::string()));
        EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
    }
}

// Which argument is an operand: only exact option words are options, "--" ends them, further
// operands are ignored, and the output path asked for must name the input's container. The key
// never shows in any output.
TEST(CommandLine, OperandsAndOutputPathDecideTheAnswer) {
    const std::string dir = testsupport::scratch_dir("cli_operands"), key = "Sup3rSecretKeyValue";
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{dir + "/absent.mp4", key, "--surplus"}, 3},
        {{dir + "/absent.mp4", "-k3y-begins-with-a-dash"}, 3},
        {{"--", "--copy", key}, 4},  // "--copy" is the input: no extension
        {{"--copy", dir + "/absent.mp4", key, "-o", dir + "/out.avi"}, 4},
        {{dir + "/absent.AVI", key, "--output", dir + "/out.avi"}, 3},
        {{dir + "/absent.mp4", key, "-o", dir}, 3},
        // Option values that cannot be taken, and options that do not go together: code 7.
        {{dir + "/absent.mp4", key, "--from", "1m"}, 7},
        {{dir + "/absent.mp4", key, "--from", "2", "--to", "0:02"}, 7},
        {{"--check", dir + "/absent.mp4", key, "--copy"}, 7},
        {{"--info", "--check", dir + "/absent.mp4", key}, 7},
        {{"--check", dir + "/absent.mp4", key}, 3},
    };
    for (const auto& [args, code] : cases) {
        std::vector<std::string> argv = {DEMOSAIC_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto r = run(argv);
        EXPECT_EQ(r.exit_code, code) << testing::PrintToString(args);
        EXPECT_EQ(testsupport::lines_starting_with(r.out, "mosaic_ResultCode=" + std::to_string(code) + ";").size(), 1u);
        EXPECT_EQ((r.out + r.err).find(key), std::string::npos);
    }
    EXPECT_TRUE(testsupport::list_dir(dir).empty());
}
