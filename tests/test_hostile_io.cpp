// The program's edges towards the outside world: signals (code 10, never a core file), the key
// (standard input, a key file, a terminal; never in the process list), outputs that cannot be
// written (a read-only folder, a full disk, a file size limit), memory limits, inputs that
// could block (FIFOs, devices, files under a lease), text in the input that could forge a line,
// and inputs that are unusual but valid (no usable frame rate, streams in another order).
// Every output is decoded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <tuple>

#include "tests/support/media.h"
#include "tests/support/process.h"
#include "tests/support/remux.h"

namespace {

using frames_t = std::vector<testsupport::luma_frame>;
using testsupport::restored_files;
const char* const k_key = "io key";
const size_t k_restored = 9;  // masked() makes 12 pictures in groups of 4: 9 hidden ones

testsupport::restore_result restore(const std::string& input, const std::string& key = k_key,
                                    const std::string& stdin_text = "") {
    return testsupport::run_demosaic(input, key, stdin_text);
}

// The pictures of the one restored file in dir; the file is removed unless keep.
frames_t take_output(const std::string& dir, bool keep = false) {
    frames_t frames;
    const auto written = restored_files(dir);
    EXPECT_EQ(written.size(), 1u);
    if (written.size() != 1) return frames;
    EXPECT_TRUE(testsupport::decode_video(written[0], &frames));
    if (!keep) unlink(written[0].c_str());
    return frames;
}

// The packets of file's first audio stream (0: none, or no audio stream), as ffprobe counts them.
int audio_packets(const std::string& file) {
    return std::atoi(testsupport::run({"ffprobe", "-v", "error", "-select_streams", "a:0", "-count_packets",
                                       "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", file})
                         .out.c_str());
}

void expect_same_pictures(const frames_t& got, const frames_t& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].luma, expected[i].luma) << "picture " << i;
}

class HostileIo : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::test_scratch_dir("hostile_io_");
    }
    std::string masked(const std::string& name, int width, int height, const std::string& audio = "aac",
                       const std::string& gop = "4", int frames = 12) {
        const std::string out = dir + "/" + name;
        EXPECT_TRUE(testsupport::make_masked(out, k_key, width, height, frames, audio, {"--gop", gop}));
        return out;
    }
    // A copy of input with the AVI main header's frame period zeroed and the video stream
    // header's scale and rate (8 bytes, little endian) set to scale_rate.
    std::string avi_rate(const std::string& input, const std::string& name, const std::vector<uint8_t>& scale_rate) {
        std::vector<uint8_t> bytes = testsupport::read_bytes(input);
        const std::string text(bytes.begin(), bytes.end());
        const size_t avih = text.find("avih"), strh = text.find("strh");
        EXPECT_TRUE(avih != std::string::npos && strh != std::string::npos);
        std::fill_n(bytes.begin() + avih + 8, 4, 0);
        std::copy(scale_rate.begin(), scale_rate.end(), bytes.begin() + strh + 28);
        EXPECT_TRUE(testsupport::write_bytes(dir + "/" + name, bytes));
        return dir + "/" + name;
    }
    std::string dir;
};

}  // namespace

TEST_F(HostileIo, SignalsStopTheRunWithCode10AndNoOutputNeverACoreFileNorTheKeyInTheProcessList) {
    // Long enough that the signal arrives while pictures are still being restored.
    const std::string input = masked("long.mp4", 160, 120, "aac", "50", 600);
    // SIGSEGV stands for a crash: it ends the process, but with core files allowed (and the
    // kernel writing them as "core" into the working folder) none may appear.
    for (const auto& [sig, status] : std::vector<std::pair<std::string, int>>{
             {"INT", 10}, {"TERM", 10}, {"HUP", 10}, {"QUIT", 10}, {"SEGV", 128 + 11}}) {
        SCOPED_TRACE(sig);
        // Starts demosaic, waits until its output exists (the pipeline runs), shows its
        // arguments as other users see them, then signals it.
        // (A sanitised build's own SIGSEGV handler would turn the crash into a report: left off.)
        const std::string script = "ulimit -c unlimited; ASAN_OPTIONS=\"$ASAN_OPTIONS:handle_segv=0\" "
            "TSAN_OPTIONS=\"$TSAN_OPTIONS handle_segv=0\" '" DEMOSAIC_BIN "' '" + input + "' '" + k_key + "' 2>&1 & p=$!; "
            "until ls '" + dir + "' | grep -q _decmosic_; do kill -0 $p 2>/dev/null || { echo ENDED; exit 1; }; "
            "sleep 0.005; done; echo \"args=$(tr '\\0' ' ' < /proc/$p/cmdline)\"; kill -" + sig + " $p; wait $p; "
            "echo \"exit=$?\"";
        const auto r = testsupport::run({"sh", "-c", script}, "", 60, dir);
        ASSERT_EQ(r.out.find("ENDED"), std::string::npos) << "the run ended before the signal could be sent";
        EXPECT_NE(r.out.find("args="), std::string::npos);
        EXPECT_EQ(r.out.find(k_key), std::string::npos) << "the key shows in the process list";
        EXPECT_NE(r.out.find("exit=" + std::to_string(status)), std::string::npos) << r.out;
        if (status != 10) {
            for (const std::string& file : restored_files(dir)) unlink(file.c_str());  // a crash cannot clean up
        }
        EXPECT_EQ(testsupport::list_dir(dir), std::vector<std::string>{"long.mp4"}) << "a core file or the output is left";
        if (status != 10) continue;
        const auto o = testsupport::restore_run(r);
        EXPECT_EQ(o.result_lines, 1) << o.out;
        EXPECT_NE(o.out.find("mosaic_ResultCode=10;mosaic_errStr=Interrupted by signal;"), std::string::npos);
    }
}

TEST_F(HostileIo, KeyFromStandardInputOrAKeyFileIsItsFirstLine) {
    const std::string input = masked("clip.mp4", 64, 64), missing = dir + "/no such key";
    const auto key_file = [&](const std::string& name, const std::string& text) {
        EXPECT_TRUE(testsupport::write_bytes(dir + "/" + name, std::vector<uint8_t>(text.begin(), text.end())));
        return dir + "/" + name;
    };
    struct key_case {
        std::vector<std::string> args;
        std::string stdin_text;
        int code;
    };
    // A Windows line end is not part of the key; no line end is fine; a wrong key 2; nothing
    // to read (an empty input, a missing file, a folder) 7, as a null key.
    const key_case cases[] = {
        {{input, "-"}, std::string(k_key) + "\nsecond line\n", 0},
        {{input, "-"}, std::string(k_key) + "\r\n", 0},
        {{input, "-"}, k_key, 0},
        {{input, "-"}, "not the key\n", 2},
        {{input, "-"}, "", 7},
        {{"--key-file", key_file("key.txt", std::string(k_key) + "\r\nsecond line\n"), input}, "", 0},
        {{input, "--key-file", key_file("wrong.txt", "not the key")}, "", 2},
        {{"--key-file", key_file("empty.txt", ""), input}, k_key, 7},
        {{"--key-file", missing, input}, "", 7},
        {{"--key-file", dir, input}, "", 7},
    };
    for (const key_case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::vector<std::string> argv = {DEMOSAIC_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto o = testsupport::restore_run(testsupport::run(argv, c.stdin_text));
        EXPECT_EQ(o.result_code, c.code) << o.out;
        EXPECT_EQ(o.exit_code, c.code);
        if (c.code == 0) {
            EXPECT_EQ(take_output(dir).size(), k_restored);
        }
        if (c.code == 7) {
            EXPECT_NE(o.out.find("mosaic_ResultCode=7;mosaic_errStr=Parama Error;"), std::string::npos);
            EXPECT_NE(o.out.find("could not read the privacy key from"), std::string::npos);
        }
        EXPECT_TRUE(restored_files(dir).empty());
    }
    EXPECT_NE(testsupport::run({DEMOSAIC_BIN, "--key-file", missing, input}).out.find(
                  "could not read the privacy key from " + missing + ": No such file or directory"),
              std::string::npos);
}

// At a terminal, KEY "-" asks for the key on standard error and reads it without echo; the
// terminal's settings come back whether the key is typed or the run is interrupted at the
// prompt (code 10).
TEST_F(HostileIo, KeyTypedAtATerminalIsAskedForAndNeverShown) {
    const std::string input = masked("clip.mp4", 64, 64);
    for (const bool interrupted : {false, true}) {
        SCOPED_TRACE(interrupted ? "interrupted at the prompt" : "typed");
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
        int out[2];
        ASSERT_TRUE(terminal >= 0 && pipe(out) == 0);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(terminal, 0), dup2(out[1], 1), dup2(terminal, 2);
            for (int fd : {master, terminal, out[0], out[1]}) close(fd);
            execl(DEMOSAIC_BIN, DEMOSAIC_BIN, input.c_str(), "-", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // What the terminal shows, until it shows text or nothing more comes for a while.
        std::string screen;
        const auto read_screen_until = [&](const std::string& text, int quiet_ms) {
            char buffer[4096];
            pollfd ready{master, POLLIN, 0};
            while (screen.find(text) == std::string::npos && poll(&ready, 1, quiet_ms) > 0) {
                const ssize_t n = read(master, buffer, sizeof(buffer));
                if (n <= 0) break;
                screen.append(buffer, static_cast<size_t>(n));
            }
        };
        read_screen_until("Privacy key: ", 10000);
        EXPECT_NE(screen.find("Privacy key: "), std::string::npos);
        if (interrupted) {
            kill(pid, SIGINT);
        } else {
            const std::string typed = std::string(k_key) + "\n";
            ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        }
        std::string stdout_text;
        char buffer[4096];
        for (ssize_t n; (n = read(out[0], buffer, sizeof(buffer))) > 0;) stdout_text.append(buffer, static_cast<size_t>(n));
        int status = 0;
        waitpid(pid, &status, 0);
        read_screen_until("\x01", 200);  // whatever is left
        EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, interrupted ? 10 : 0) << stdout_text << screen;
        EXPECT_EQ(screen.find(k_key), std::string::npos) << "the key was echoed: " << screen;
        struct termios after {};
        ASSERT_EQ(tcgetattr(terminal, &after), 0);
        EXPECT_TRUE(after.c_lflag & ECHO) << "echo was not turned back on";
        for (int fd : {master, terminal, out[0]}) close(fd);
        for (const std::string& file : restored_files(dir)) unlink(file.c_str());
    }
}

TEST_F(HostileIo, ReadOnlyFolderEndsWithCode4AndNoFile) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    const std::string input = masked("clip.mp4", 64, 64);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const auto o = restore(input);
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(o.result_code, 4) << o.out;
    EXPECT_EQ(o.exit_code, 4);
    EXPECT_TRUE(restored_files(dir).empty());
}

TEST_F(HostileIo, NoRoomForTheOutputEndsWithCode6AndNoPartialFile) {
    const std::string input = masked("clip.mp4", 160, 120, "aac", "4", 24);
    // A file size limit (ulimit -f) of 32 KiB: the write fails like on a full disk, rather
    // than SIGXFSZ ending the process.
    const auto limited = testsupport::restore_run(testsupport::run({"prlimit", "--fsize=32768", DEMOSAIC_BIN, input, k_key}));
    EXPECT_EQ(std::make_pair(limited.exit_code, limited.result_code), std::make_pair(6, 6)) << limited.out;
    EXPECT_EQ(limited.result_lines, 1);
    EXPECT_TRUE(restored_files(dir).empty());
    // A private tmpfs holds the input with 32 KiB to spare: no room for the restored pictures.
    const size_t room = (testsupport::read_bytes(input).size() / 4096 + 1) * 4096 + 32768;
    const std::string script = "set -e; mnt='" + dir + "/small'; mkdir -p \"$mnt\"; mount -t tmpfs -o size=" +
        std::to_string(room) + " tmpfs \"$mnt\"; cp '" + input + "' \"$mnt/clip.mp4\"; set +e; '" DEMOSAIC_BIN
        "' \"$mnt/clip.mp4\" '" + k_key + "'; echo \"exit=$?\"; echo listing:; ls \"$mnt\"; umount \"$mnt\"";
    testsupport::run_result r;
    for (const char* flags : {"-m", "-rm"}) {
        r = testsupport::run({"unshare", flags, "sh", "-c", script}, "", 120);
        if (r.exit_code == 0 && r.out.find("listing:") != std::string::npos) break;
    }
    if (r.out.find("listing:") == std::string::npos) GTEST_SKIP() << "cannot mount a small tmpfs here: " << r.err;
    const auto o = testsupport::restore_run(r);
    EXPECT_EQ(o.result_code, 6) << r.out;
    EXPECT_NE(r.out.find("exit=6"), std::string::npos);
    EXPECT_EQ(o.result_lines, 1);
    const std::string listing = r.out.substr(r.out.find("listing:"));
    EXPECT_EQ(listing.find("_decmosic_"), std::string::npos) << "partial file left: " << listing;
    EXPECT_NE(listing.find("clip.mp4"), std::string::npos);
}

TEST_F(HostileIo, AviWithoutAUsableFrameRateRestoresAt25) {
    const std::string input = masked("clip.avi", 64, 64, "");
    ASSERT_EQ(restore(input).result_code, 0);
    const frames_t reference = take_output(dir);
    ASSERT_GE(reference.size(), k_restored);
    // No rate anywhere (scale and rate 0), and a rate of 100000 pictures a second (scale 1).
    for (const auto& [name, scale_rate] : {std::pair{"norate.avi", std::vector<uint8_t>(8, 0)},
                                           std::pair{"fast.avi", std::vector<uint8_t>{1, 0, 0, 0, 0xA0, 0x86, 0x01, 0}}}) {
        const auto o = restore(avi_rate(input, name, scale_rate));
        EXPECT_EQ(o.result_code, 0) << o.out;
        EXPECT_NE(o.out.find("(25.00 fps)"), std::string::npos) << name;
        expect_same_pictures(take_output(dir), reference);
    }
}

TEST_F(HostileIo, VideoAndAudioInAnyStreamOrderRestore) {
    const std::string mp4 = masked("clip.mp4", 64, 64, "aac"), avi = masked("clip.avi", 64, 64, "aac");
    // Each file as mosaic wrote it (video first) gives the pictures to expect.
    std::map<std::string, frames_t> reference;
    for (const std::string& source : {mp4, avi}) {
        ASSERT_EQ(restore(source).result_code, 0);
        reference[source] = take_output(dir);
        ASSERT_GE(reference[source].size(), k_restored);
    }
    // The last field: the WRN line that names the stream left out, if any.
    const std::vector<std::tuple<std::string, std::string, std::vector<std::string>, std::string>> layouts = {
        {"audio-first.mp4", mp4, {"-map", "0:a", "-map", "0:v"}, ""},
        {"two-audio-first.mp4", mp4, {"-map", "0:a", "-map", "0:a", "-map", "0:v"}, "stream 1 (audio, aac) is left out"},
        {"audio-first.avi", avi, {"-map", "0:a", "-map", "0:v"}, ""},
        {"video-between.mp4", mp4, {"-map", "0:a", "-map", "0:v", "-map", "0:a"}, "stream 2 (audio, aac) is left out"},
    };
    for (const auto& [name, source, maps, left_out] : layouts) {
        SCOPED_TRACE(name);
        const std::string sub = dir + "/" + name + ".d", input = sub + "/" + name;
        mkdir(sub.c_str(), 0755);
        std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-i", source};
        args.insert(args.end(), maps.begin(), maps.end());
        args.insert(args.end(), {"-c", "copy", input});
        ASSERT_EQ(testsupport::run(args).exit_code, 0);
        const auto in_streams = testsupport::probe_streams(input);
        ASSERT_GE(in_streams.size(), 2u);
        ASSERT_NE(in_streams[0].type, AVMEDIA_TYPE_VIDEO);
        const auto restored = restore(input);
        EXPECT_EQ(restored.result_code, 0);
        EXPECT_EQ(restored.out.find(" is left out") != std::string::npos, !left_out.empty()) << restored.out;
        EXPECT_TRUE(restored.out.find(left_out) != std::string::npos) << restored.out;
        expect_same_pictures(take_output(sub, true), reference[source]);
        const std::string out = restored_files(sub).at(0);
        EXPECT_EQ(testsupport::count_streams(out, AVMEDIA_TYPE_VIDEO), 1);
        EXPECT_EQ(testsupport::count_streams(out, AVMEDIA_TYPE_AUDIO), 1);
        EXPECT_EQ(audio_packets(input), audio_packets(out));  // all the audio is there
    }
}

TEST_F(HostileIo, InputsThatAreNotRegularFilesAreRefusedAndNoOpenOutlastsASignal) {
    // (A socket's path must be short.)
    char socket_dir[] = "/tmp/demosaic-XXXXXX";
    ASSERT_NE(mkdtemp(socket_dir), nullptr);
    const std::string fifo = dir + "/fifo.mp4", folder = dir + "/folder.mp4", zero = dir + "/zero.mp4",
                      socket_path = std::string(socket_dir) + "/socket.mp4";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof(address.sun_path));
    std::copy(socket_path.begin(), socket_path.end(), address.sun_path);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    close(listener);
    // A regular file that names the FIFO (a list of files FFmpeg would open one by one).
    const std::string list = dir + "/list.mp4", text = "ffconcat version 1.0\nfile 'fifo.mp4'\n";
    ASSERT_TRUE(testsupport::write_bytes(list, std::vector<uint8_t>(text.begin(), text.end())));
    for (const std::string& input : {fifo, folder, zero, socket_path, list}) {
        SCOPED_TRACE(input);
        // A writer trickles into the FIFO, as a slow producer would.
        const std::string script = "(while printf x; do sleep 0.2; done > '" + fifo + "') 2>/dev/null & w=$!; "
            "timeout -k 1 5 '" DEMOSAIC_BIN "' '" + input + "' '" + k_key + "'; echo \"exit=$?\"; kill $w";
        const auto o = testsupport::restore_run(testsupport::run({"sh", "-c", script}, "", 30));
        EXPECT_NE(o.out.find("exit=3"), std::string::npos) << o.out;
        EXPECT_EQ(o.result_lines, 1);
        EXPECT_EQ(o.out.find("is not a regular file") != std::string::npos, input != list);
    }
    EXPECT_TRUE(restored_files(dir).empty() && restored_files(socket_dir).empty());
    unlink(socket_path.c_str());
    rmdir(socket_dir);

    // A file held by another process's lease (a file server's) blocks open() until the holder
    // lets go, 45 s by default; a SIGTERM ends the wait at once.
    const std::string input = masked("clip.mp4", 64, 64);
    const auto previous = signal(SIGIO, SIG_IGN);  // how the kernel asks the holder to let go
    const int held = open(input.c_str(), O_RDONLY);
    if (fcntl(held, F_SETLEASE, F_WRLCK) != 0) GTEST_SKIP() << "no lease: " << std::strerror(errno);
    const auto started = std::chrono::steady_clock::now();
    const auto r = testsupport::run({"sh", "-c", "'" DEMOSAIC_BIN "' '" + input + "' '" + k_key +
                                                     "' & p=$!; sleep 0.5; kill -TERM $p; wait $p; echo \"exit=$?\""},
                                    "", 30);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    fcntl(held, F_SETLEASE, F_UNLCK);
    close(held);
    signal(SIGIO, previous);
    EXPECT_NE(r.out.find("exit=10"), std::string::npos) << r.out;
    EXPECT_EQ(testsupport::restore_run(r).result_lines, 1);
    EXPECT_LT(seconds, 5.0);
}

// Text from the file (its payload version text, its name) is shown escaped: it can neither
// begin a line of its own, pose as the result line, nor reach the terminal as an escape.
TEST_F(HostileIo, TextFromTheInputCannotForgeALine) {
    const std::string forged = "\n\x1b[2Jmosaic_ResultCode=0;mosaic_errStr=forged;", shown =
        "\\n\\x1b[2Jmosaic_ResultCode=0;mosaic_errStr=forged;";
    const std::string input = dir + "/clip.mp4";
    ASSERT_TRUE(testsupport::make_masked(input, k_key, 64, 64, 12, "", {"--version-text", "ver-1" + forged}));
    for (const auto& [name, expected] : {std::pair{input, "mosic version: ver-1" + shown + "\n"},
                                         std::pair{dir + "/x" + forged + ".mp4", "/x" + shown + ".mp4"}}) {
        const auto o = testsupport::run_demosaic(name, "not the key");
        EXPECT_EQ(o.result_lines, 1) << o.out;
        EXPECT_EQ(o.exit_code, name == input ? 2 : 3);
        EXPECT_NE(o.out.find(expected), std::string::npos) << o.out;
        EXPECT_EQ(o.out.find("\x1b[2J"), std::string::npos);
    }
}

// Whatever runs out under a limit on the address space (ulimit -v), a run that starts ends
// with one result line whose code is its exit status, and leaves no output and no core file.
TEST_F(HostileIo, MemoryLimitsEndEveryRunWithAResultAndNoFile) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers need the whole address space";
#endif
    const std::string input = masked("clip.mp4", 160, 120, "aac", "4", 24);
    const auto limited = [&](long mib, const std::vector<std::string>& args) {
        std::string command = "ulimit -c unlimited; exec prlimit --as=" + std::to_string(mib << 20) + " '" DEMOSAIC_BIN "'";
        for (const std::string& arg : args) command += " '" + arg + "'";
        return testsupport::run({"sh", "-c", command}, "", 60, dir);
    };
    // The least address space the program starts in (its libraries load), to within 4 MiB.
    long low = 0, high = 8192;
    while (high - low > 4) {
        const long mid = (low + high) / 2;
        (limited(mid, {"--version"}).exit_code == 0 ? high : low) = mid;
    }
    // From there up, until a run succeeds: each of these fails somewhere else.
    int runs = 0;
    for (long mib = high; mib < high + 512; mib += 8, ++runs) {
        SCOPED_TRACE(std::to_string(mib) + " MiB");
        const auto o = testsupport::restore_run(limited(mib, {input, k_key}));
        EXPECT_EQ(o.result_lines, 1) << o.out;
        EXPECT_EQ(o.exit_code, o.result_code);
        if (o.result_code == 0) break;
        EXPECT_TRUE(restored_files(dir).empty());
        EXPECT_EQ(testsupport::list_dir(dir), std::vector<std::string>{"clip.mp4"}) << "a core file is left";
    }
    EXPECT_GT(runs, 0);
    for (const std::string& file : restored_files(dir)) unlink(file.c_str());
}

// What a file can make the program hold or refuse is bounded, and each bound says so in a WRN
// (or ERR) line while the restore goes on: an access unit of thousands of NAL units (filler:
// trimmed; anything else: refused with its group), parameter sets piling up in --copy, a
// container bit rate or SPS level no encoder takes, audio the encoder gives nothing for, and a
// name too long for the output's file system.
TEST_F(HostileIo, HostileFilesAreBoundedAndSaySo) {
    const std::string input = masked("clip.mp4", 64, 64, "");
    using nals_t = std::vector<testsupport::packet_nal>;
    // A copy of input whose video packets edit() changes as NAL units (MP4 length form).
    const auto rewrite = [&](const std::string& name, const std::function<void(int, nals_t*)>& edit) {
        const std::string out = dir + "/" + name;
        EXPECT_TRUE(testsupport::rewrite_video_packets(input, out, [&](int number, std::vector<uint8_t>* data) {
            nals_t nals;
            if (!testsupport::split_packet(*data, false, &nals)) return true;
            edit(number, &nals);
            *data = testsupport::join_packet(nals, false);
            return true;
        }));
        return out;
    };
    // n NAL units of bytes in front of the slice of the key picture at packet key.
    const auto in_front = [](int key, int n, std::vector<uint8_t> bytes) {
        return [=](int number, nals_t* nals) {
            if (number == key) nals->insert(nals->end() - 1, static_cast<size_t>(n), testsupport::packet_nal{bytes});
        };
    };
    // The 2nd and 3rd pictures without their privacy message, each behind a 40 KiB SPS.
    const auto junk_sps = [](int number, nals_t* nals) {
        if (number != 1 && number != 2) return;
        nals->erase(std::remove_if(nals->begin(), nals->end(), [](const auto& n) { return n.bytes[0] == 6; }), nals->end());
        std::vector<uint8_t> sps = {0x67, 0x42, 0x00, 0x1e, 0x02};
        sps.resize(40 << 10, 0xaa);
        nals->insert(nals->begin(), testsupport::packet_nal{sps});
    };
    // Every SPS in the stream with another level_idc.
    const auto every_sps_level = [](uint8_t level) {
        return [=](int, nals_t* nals) {
            for (auto& nal : *nals) {
                if ((nal.bytes[0] & 0x1f) == 7 && nal.bytes.size() > 3) nal.bytes[3] = level;
            }
        };
    };
    // input with bytes put at offsets from the first occurrence of a box's name.
    using patch_t = std::tuple<std::string, int, std::vector<uint8_t>>;
    const auto patched = [&](const std::string& name, const std::vector<patch_t>& patches) {
        std::vector<uint8_t> bytes = testsupport::read_bytes(input);
        const std::string text(bytes.begin(), bytes.end());
        for (const auto& [box, offset, with] : patches) {
            EXPECT_NE(text.find(box), std::string::npos);
            std::copy(with.begin(), with.end(), bytes.begin() + static_cast<long>(text.find(box) + offset));
        }
        EXPECT_TRUE(testsupport::write_bytes(dir + "/" + name, bytes));
        return dir + "/" + name;
    };
    // 7 Hz PCM in one-sample packets: too little for the AAC encoder to give a packet; and
    // ordinary 48 kHz PCM, which it encodes.
    const std::string pcm = dir + "/pcm.mp4", pcm48 = dir + "/pcm48.mp4";
    const std::string long_name = dir + "/" + std::string(240, 'n') + ".mp4";
    for (const auto& [path, source] : {std::pair{pcm, "aevalsrc=0:s=7:n=1"}, std::pair{pcm48, "sine=sample_rate=48000"}}) {
        ASSERT_EQ(testsupport::run({"ffmpeg", "-loglevel", "error", "-y", "-i", input, "-f", "lavfi", "-i", source, "-t",
                                    "2", "-map", "0:v", "-map", "1:a", "-c:v", "copy", "-c:a", "pcm_s16le", "-f", "mov",
                                    path}).exit_code, 0);
    }
    ASSERT_EQ(testsupport::run({"cp", input, long_name}).exit_code, 0);
    const std::vector<uint8_t> filler = {0x0c, 0xff, 0xff, 0x80}, sei = {0x06, 0x05, 0x01, 0xaa, 0x80};
    const struct {
        std::string input;
        bool copy;
        int code;
        size_t restored;
        std::string says;
    } rows[] = {
        {rewrite("filler.mp4", in_front(0, 5000, filler)), false, 0, k_restored, "its filler and empty ones are left out"},
        {rewrite("filler-copy.mp4", in_front(0, 5000, filler)), true, 0, 12, "its filler and empty ones are left out"},
        {rewrite("sei.mp4", in_front(4, 5000, sei)), false, 0, 6, "has more than 4096 NAL units: refused"},
        {rewrite("sps.mp4", junk_sps), true, 0, 9, "bytes wait for a picture: the older ones are left out"},
        // (mdhd: timescale 0x7fffffff and duration 1.)
        {patched("rate.mp4", {{"mdhd", 16, {0x7f, 0xff, 0xff, 0xff, 0, 0, 0, 1}}}), false, 0, k_restored,
         "bit/s is more than h264 can hold"},
        {rewrite("level.mp4", every_sps_level(243)), false, 0, k_restored,
         "the input's level 243 is no h264 level: the encoder chooses one"},
        {pcm, false, 0, k_restored, ""},
        {pcm48, false, 0, k_restored, ""},
        {long_name, false, 4, 0, "the name is too long for its file system; give another with -o"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input.substr(dir.size()));
        std::vector<std::string> argv = {DEMOSAIC_BIN, row.input, k_key};
        if (row.copy) argv.push_back("--copy");
        const auto o = testsupport::restore_run(testsupport::run(argv));
        EXPECT_EQ(std::make_pair(o.exit_code, o.result_code), std::make_pair(row.code, row.code)) << o.out;
        EXPECT_NE(o.out.find(row.says), std::string::npos) << o.out;
        if (row.code != 0 || o.result_code != 0) continue;
        const std::string out = restored_files(dir).at(0);
        // Audio is said to be encoded only when the output has some, and missing only when it has
        // none. (FFmpeg 7 keeps an audio track that got no packet, and stores 48 kHz PCM in MP4 as
        // it is; 5.1 encodes that to AAC.)
        const bool has_audio = audio_packets(out) > 0;
        if (o.out.find("it is encoded to") != std::string::npos) {
            EXPECT_TRUE(has_audio);
        }
        if (o.out.find("the output has no audio") != std::string::npos) {
            EXPECT_FALSE(has_audio);
        }
        EXPECT_EQ(take_output(dir).size(), row.restored);
    }
}
