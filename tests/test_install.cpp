// cmake --install puts both programs and their manual pages under the prefix, the pages
// render without warnings, and they agree with the programs they describe.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "common/resultCode.h"
#include "tests/support/process.h"

using testsupport::run;

namespace {

bool can_run(const std::string& program) { return run({"sh", "-c", "command -v " + program}).exit_code == 0; }

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        if (!can_run("cmake") || !can_run("groff")) GTEST_SKIP() << "cmake or groff not installed";
        prefix_ = testsupport::scratch_dir("install") + "/prefix with space";  // a blank in the prefix
        const std::string bin = DEMOSAIC_BIN;
        const auto r = run({"cmake", "--install", bin.substr(0, bin.find_last_of('/')), "--prefix", prefix_});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    // The page rendered wide (no option or message broken across lines), white space runs
    // squeezed to one blank so justified text can be searched; groff must not warn.
    std::string page_text(const std::string& name) {
        const std::string page = prefix_ + "/share/man/man1/" + name + ".1";
        const auto rendered = run({"sh", "-c", can_run("man") ? "MANWIDTH=250 man -l '" + page + "'"
                                                             : "groff -man -Tutf8 -P-cbou -rLL=250n '" + page + "'"});
        EXPECT_EQ(rendered.err + run({"groff", "-ww", "-z", "-man", "-Tutf8", page}).err, "");
        std::string text;
        for (char c : rendered.out) {
            const bool blank = c == ' ' || c == '\n' || c == '\t';
            if (!blank || text.empty() || text.back() != ' ') text.push_back(blank ? ' ' : c);
        }
        return text;
    }
    void expect_all(const std::string& text, std::initializer_list<std::string> facts) {
        for (const auto& fact : facts) EXPECT_NE(text.find(fact), std::string::npos) << fact;
    }
    std::string prefix_;
};

}  // namespace

TEST_F(Install, PutsProgramsAndPagesInPlaceAndThePagesAgreeWithThePrograms) {
    for (const char* program : {"demosaic", "mosaic"})
        EXPECT_EQ(access((prefix_ + "/bin/" + program).c_str(), X_OK), 0) << program;
    // The installed program is the real one: it starts and answers like the built one.
    EXPECT_EQ(run({prefix_ + "/bin/demosaic"}).exit_code, 255);
    const std::string demosaic = page_text("demosaic"), mosaic = page_text("mosaic");
    expect_all(demosaic, {"NAME", "SYNOPSIS", "DESCRIPTION", "ARGUMENTS", "OUTPUT", "EXIT STATUS", "FILES", "EXAMPLES",
                          "SEE ALSO", "mosaic_ResultCode=N;mosaic_errStr=TEXT;", "intput argc is error", "_decmosic_",
                          "DEBUG LEVEL : 2", "restored 120/250 pictures 31.5 fps elapsed 0:03 left 0:04"});
    // Every result code with its exact message, as the program stores them.
    for (int code = RESULT_OK; code <= RESULT_INTERRUPTED; ++code)
        expect_all(demosaic, {std::to_string(code) + " " + result_message(code)});
    // mosaic's exit statuses, the key from standard input, and each option --help names.
    expect_all(mosaic, {"EXIT STATUS 0 ", " 1 The job failed", " 2 A bad command line", "KEY of exactly -"});
    const auto help = run({prefix_ + "/bin/mosaic", "--help"});
    ASSERT_EQ(help.exit_code, 0);
    std::istringstream lines(help.out);
    int options = 0;
    for (std::string line, option; std::getline(lines, line);) {
        if (line.rfind("  -", 0) != 0) continue;
        std::istringstream(line) >> option;
        ++options;
        EXPECT_NE(mosaic.find(option), std::string::npos) << option << " is missing from mosaic(1)";
    }
    EXPECT_GE(options, 12);
}
