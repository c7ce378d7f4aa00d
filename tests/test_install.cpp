// cmake --install puts both programs and their manual pages under the prefix, the pages
// render without warnings, and they agree with the programs they describe; the library comes
// with its header, pkg-config file and Python package, from which a C program and a Python
// script restore, and the install manifest lists every file (uninstall: remove what it lists).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>
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
        const auto r = run({"cmake", "--install", DEMOSAIC_BUILD_DIR, "--prefix", prefix_});
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
    for (int code = RESULT_OK; code <= RESULT_LAST; ++code)
        expect_all(demosaic, {std::to_string(code) + " " + result_message(code)});
    expect_all(demosaic, {k_key_correct_message, k_input_read_message});
    // mosaic's exit statuses, the key from standard input, and for both programs each option --help names.
    expect_all(mosaic, {"EXIT STATUS 0 ", " 1 The job failed", " 2 A bad command line", "KEY of exactly -"});
    for (const auto& [program, page, least] : {std::tuple{"mosaic", mosaic, 12}, std::tuple{"demosaic", demosaic, 10}}) {
        const auto help = run({prefix_ + "/bin/" + program, "--help"});
        ASSERT_EQ(help.exit_code, 0);
        std::istringstream lines(help.out);
        int options = 0;
        for (std::string line, option; std::getline(lines, line);) {
            if (line.rfind("  -", 0) != 0) continue;
            std::istringstream(line) >> option;
            if (option.back() == ',') option.pop_back();  // "-o, --output PATH"
            ++options;
            EXPECT_NE(page.find(option), std::string::npos) << option << " is missing from " << program << "(1)";
        }
        EXPECT_GE(options, least) << program;
    }
}

TEST_F(Install, PutsTheLibraryInPlaceForCAndPythonExportingItsInterfaceAlone) {
    const std::string python_dir = prefix_ + "/lib/python" DEMOSAIC_PYTHON_VERSION "/site-packages";
    for (const std::string file : {"/include/demosaic.h", "/lib/libdemosaic.so", "/lib/pkgconfig/demosaic.pc"})
        EXPECT_TRUE(testsupport::file_exists(prefix_ + file)) << file;
    EXPECT_TRUE(testsupport::file_exists(python_dir + "/demosaic/__init__.py"));
    const std::string library = prefix_ + "/lib/libdemosaic.so.0";
    EXPECT_NE(run({"objdump", "-p", library}).out.find("SONAME               libdemosaic.so.0\n"), std::string::npos);
    std::istringstream symbols(run({"nm", "-D", "--defined-only", library}).out);
    int exported = 0;
    for (std::string address, type, name; symbols >> address >> type >> name; ++exported)
        EXPECT_EQ(name.rfind("demosaic_", 0), 0u) << name << " is exported";
    EXPECT_EQ(exported, 12);  // the eleven functions of include/demosaic.h and the program's entry

    // Uninstalling is removing what the manifest lists: it lists every file under the prefix.
    std::set<std::string> listed, found;
    std::ifstream manifest(DEMOSAIC_BUILD_DIR "/install_manifest.txt");
    for (std::string line; std::getline(manifest, line);) listed.insert(line);
    std::istringstream files(run({"find", prefix_, "-type", "f", "-o", "-type", "l"}).out);
    for (std::string line; std::getline(files, line);) found.insert(line);
    EXPECT_EQ(listed, found);

    // The C example, built with pkg-config (a blank in the prefix comes escaped, for eval), and
    // the Python example with PYTHONPATH at the installed package: right key 0 and a file, wrong key 2.
    if (!testsupport::have_ffmpeg() || !can_run("cc")) GTEST_SKIP() << "ffmpeg or cc is not installed";
    const std::string dir = testsupport::scratch_dir("install_use"), input = dir + "/in.mp4", key = "install key";
    ASSERT_TRUE(testsupport::make_masked(input, key, 64, 48, 12, "", {}));
    std::vector<std::string> build = {"env", "PKG_CONFIG_PATH=" + prefix_ + "/lib/pkgconfig", "sh", "-c",
                                      R"(flags=$(pkg-config --cflags --libs demosaic) && eval "set -- \"\$@\" $flags" && cc "$@")",
                                      "sh", DEMOSAIC_SOURCE_DIR "/docs/examples/restore.c", "-o", dir + "/restore",
                                      "-Wall", "-Wextra", "-Werror"};
    if (std::string(DEMOSAIC_SANITIZE_FLAGS) != "") build.push_back(DEMOSAIC_SANITIZE_FLAGS);
    const auto built = run(build);
    ASSERT_EQ(built.exit_code, 0) << built.out << built.err;
    struct use {
        std::vector<std::string> command;
        bool python;
    } uses[] = {{{"env", "LD_LIBRARY_PATH=" + prefix_ + "/lib", dir + "/restore"}, false},
                {{"env", "PYTHONPATH=" + python_dir, "python3", DEMOSAIC_SOURCE_DIR "/docs/examples/restore.py"}, true}};
    for (const use& u : uses) {
        if (u.python && std::string(DEMOSAIC_SANITIZE_FLAGS) != "") continue;  // python3 cannot load a sanitised library
        for (const std::string& attempt_key : {key, std::string("a wrong key")}) {
            std::vector<std::string> command = u.command;
            command.insert(command.end(), {input, attempt_key});
            const auto r = run(command);
            const std::vector<std::string> restored = testsupport::restored_files(dir);
            if (attempt_key == key) {
                EXPECT_EQ(r.exit_code, RESULT_OK) << r.out << r.err;
                ASSERT_EQ(restored.size(), 1u);
                EXPECT_NE(r.out.find("restored: " + restored[0] + "\n"), std::string::npos) << r.out;
                std::remove(restored[0].c_str());
            } else {
                EXPECT_EQ(r.exit_code, RESULT_KEY_INCORRECT) << r.out << r.err;
                EXPECT_EQ(r.out, "code 2: The privacy key is incorrect\n");
                EXPECT_TRUE(restored.empty());
            }
        }
    }
    if (std::string(DEMOSAIC_SANITIZE_FLAGS) == "") {  // the package loads the library installed beside it
        const auto loaded = run({"env", "PYTHONPATH=" + python_dir, "python3", "-c", "import demosaic; print(demosaic._lib._name)"});
        EXPECT_EQ(loaded.out, library + "\n") << loaded.err;
    }
}

TEST(InstallLayout, TheDebianPrefixesGetThePythonPackageWhereTheirPythonLooks) {
    if (!can_run("cmake")) GTEST_SKIP() << "cmake is not installed";
    const struct {
        const char* prefix;
        const char* python_dir;
    } prefixes[] = {{"/usr", "/usr/lib/python3/dist-packages"},
                    {"/usr/local", "/usr/local/lib/python" DEMOSAIC_PYTHON_VERSION "/dist-packages"}};
    for (const auto& p : prefixes) {
        SCOPED_TRACE(p.prefix);
        const std::string destdir = testsupport::scratch_dir("install_destdir");
        const auto r = run({"env", "DESTDIR=" + destdir, "cmake", "--install", DEMOSAIC_BUILD_DIR, "--prefix", p.prefix});
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_TRUE(testsupport::file_exists(destdir + p.python_dir + "/demosaic/__init__.py"));
        std::ifstream pc(destdir + p.prefix + "/lib/pkgconfig/demosaic.pc");
        std::string first_line;
        std::getline(pc, first_line);
        EXPECT_EQ(first_line, std::string("prefix=") + p.prefix);
    }
}
