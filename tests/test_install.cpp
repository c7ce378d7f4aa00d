// cmake --install puts both programs and their manual pages under the prefix, the pages
// render without warnings, and they agree with the programs they describe.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "interface/resultStatus.h"
#include "tests/support/process.h"

using testsupport::run;

namespace {

bool can_run(const std::string& program) {
    return run({"sh", "-c", "command -v " + program}).exit_code == 0;
}

std::string build_dir() {
    const std::string bin = DEMOSAIC_BIN;
    return bin.substr(0, bin.find_last_of('/'));
}

bool is_executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR);
}

// Renders a page as plain text, wide enough that no option or message is broken across lines.
std::string render(const std::string& page, std::string* warnings) {
    const std::string command = can_run("man") ? "MANWIDTH=250 man -l '" + page + "'"
                                               : "groff -man -Tutf8 -P-cbou -rLL=250n '" + page + "'";
    const auto rendered = run({"sh", "-c", command});
    const auto checked = run({"groff", "-ww", "-z", "-man", "-Tutf8", page});
    *warnings = rendered.err + checked.err;
    return rendered.out;
}

// Runs of white space become one blank, so that justified text can be searched.
std::string squeeze(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool blank = c == ' ' || c == '\n' || c == '\t';
        if (blank && !out.empty() && out.back() == ' ') continue;
        out.push_back(blank ? ' ' : c);
    }
    return out;
}

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        if (!can_run("cmake")) GTEST_SKIP() << "cmake not found";
        if (!can_run("groff")) GTEST_SKIP() << "groff not installed";
        // A folder per test (ctest runs them in parallel), with a blank in the prefix.
        prefix_ = testsupport::scratch_dir(std::string("install_") +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                  "/prefix with space";
        const auto r = run({"cmake", "--install", build_dir(), "--prefix", prefix_});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    std::string prefix_;
};

}  // namespace

TEST_F(Install, PutsProgramsAndPagesInTheUsualPlaces) {
    for (const char* program : {"demosaic", "mosaic"}) {
        EXPECT_TRUE(is_executable(prefix_ + "/bin/" + program)) << program;
    }
    // The installed program is the real one: it starts and answers like the built one.
    const auto r = run({prefix_ + "/bin/demosaic"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "DEBUG LEVEL : 2\r\nintput argc is error\n");
    EXPECT_NE(r.err.find("usage: demosaic INPUT KEY"), std::string::npos);

    // "man demosaic" finds the page through the prefix's manual folder.
    if (can_run("man")) {
        const auto page = run({"sh", "-c", "MANWIDTH=100 man -M '" + prefix_ + "/share/man' -P cat demosaic"});
        EXPECT_EQ(page.exit_code, 0) << page.err;
        EXPECT_NE(page.out.find("demosaic - restore the unmasked pictures"), std::string::npos) << page.out;
    }
}

TEST_F(Install, DemosaicPageRendersCleanlyAndListsEveryResultCode) {
    std::string warnings;
    const std::string text = squeeze(render(prefix_ + "/share/man/man1/demosaic.1", &warnings));
    EXPECT_TRUE(warnings.empty()) << warnings;
    for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "ARGUMENTS", "OUTPUT", "EXIT STATUS", "FILES",
                                "EXAMPLES", "SEE ALSO"}) {
        EXPECT_NE(text.find(section), std::string::npos) << section;
    }
    // Every code with its exact message, as the program stores them.
    for (int code = RESULT_OK; code <= RESULT_INTERRUPTED; ++code) {
        const std::string entry = std::to_string(code) + " " + result_message(code);
        EXPECT_NE(text.find(entry), std::string::npos) << entry;
    }
    for (const char* fact : {"mosaic_ResultCode=N;mosaic_errStr=TEXT;", "intput argc is error", "_decmosic_",
                             "DEBUG LEVEL : 2", "restored 120/250 pictures 31.5 fps elapsed 0:03 left 0:04"}) {
        EXPECT_NE(text.find(fact), std::string::npos) << fact;
    }
}

TEST_F(Install, MosaicPageRendersCleanlyAndDescribesEveryOptionOfHelp) {
    std::string warnings;
    const std::string text = squeeze(render(prefix_ + "/share/man/man1/mosaic.1", &warnings));
    EXPECT_TRUE(warnings.empty()) << warnings;
    // Each option that --help names (a line starting with "  -") appears on the page.
    const auto help = run({prefix_ + "/bin/mosaic", "--help"});
    ASSERT_EQ(help.exit_code, 0);
    std::istringstream lines(help.out);
    std::string line;
    int options = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("  -", 0) != 0) continue;
        std::istringstream words(line);
        std::string option;
        words >> option;
        ++options;
        EXPECT_NE(text.find(option), std::string::npos) << option << " is missing from mosaic(1)";
    }
    EXPECT_GE(options, 12);
    // Exit statuses as main returns them, and the key from standard input.
    for (const char* fact : {"EXIT STATUS 0 ", " 1 The job failed", " 2 A bad command line", "KEY of exactly -"}) {
        EXPECT_NE(text.find(fact), std::string::npos) << fact;
    }
}
