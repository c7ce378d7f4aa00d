// The program's edges towards the outside world: interrupts, the key on standard input,
// outputs that cannot be written, and inputs that are unusual but valid (no usable frame
// rate, odd picture sizes, streams in another order). Media is made at test time with
// ffmpeg and mosaic; every output is decoded.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/media.h"
#include "tests/support/process.h"
#include "tests/support/remux.h"

namespace {

const char* const k_key = "io key";
// masked() makes 12 pictures in groups of 4: 9 hidden ones, all of which are restored.
const size_t k_restored = 9;

struct outcome {
    int exit_code = -1;
    int result_code = -1000;
    int result_lines = 0;
    std::string out;
};

outcome parse(const testsupport::run_result& r) {
    outcome o;
    o.exit_code = r.exit_code;
    o.out = r.out + r.err;
    const auto lines = testsupport::lines_starting_with(r.out, "mosaic_ResultCode=");
    o.result_lines = static_cast<int>(lines.size());
    if (!lines.empty()) std::sscanf(lines.back().c_str(), "mosaic_ResultCode=%d;", &o.result_code);
    return o;
}

outcome restore(const std::string& input, const std::string& key = k_key, const std::string& stdin_text = "") {
    return parse(testsupport::run({DEMOSAIC_BIN, input, key}, stdin_text, 120));
}

// Files the run wrote beside its input (the restored output), by name.
std::vector<std::string> outputs_in(const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& name : testsupport::list_dir(dir)) {
        if (name.find("_decmosic_") != std::string::npos) found.push_back(name);
    }
    return found;
}

bool mosaic(const std::string& clip, const std::string& out, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {MOSAIC_BIN, clip, k_key, "-o", out, "--preset", "ultrafast"};
    args.insert(args.end(), options.begin(), options.end());
    return testsupport::run(args).exit_code == 0;
}

bool ffmpeg(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    return testsupport::run(args).exit_code == 0;
}

class HostileIo : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::scratch_dir(std::string("hostile_io_") +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }

    // A privacy-masked file of the given picture size; 12 pictures, groups of 4, so 9 hidden.
    std::string masked(const std::string& name, int width, int height, const std::string& audio = "aac",
                       const std::vector<std::string>& options = {"--gop", "4"}, int frames = 12) {
        const std::string clip = dir + "/" + name + ".src.mp4";
        const std::string out = dir + "/" + name;
        EXPECT_TRUE(testsupport::make_clip(clip, "libx264", width, height, frames, 25, audio, "-preset ultrafast"));
        EXPECT_TRUE(mosaic(clip, out, options));
        unlink(clip.c_str());
        return out;
    }

    std::string dir;
};

// Starts demosaic with stdout into a file, waits until it has created its output (so the
// pipeline is running), sends sig and collects the outcome.
struct interrupted_run {
    outcome result;
    bool output_seen = false;
};

interrupted_run interrupt_run(const std::string& input, const std::string& dir, int sig) {
    interrupted_run ir;
    const std::string log = dir + "/run.log";
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execl(DEMOSAIC_BIN, DEMOSAIC_BIN, input.c_str(), k_key, static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline && !ir.output_seen) {
        ir.output_seen = !outputs_in(dir).empty();
        if (waitpid(pid, nullptr, WNOHANG) == pid) return ir;  // ended before it could be interrupted
        if (!ir.output_seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, sig);
    int status = 0;
    // The stop must come quickly; a stuck run is killed after the limit and fails below.
    for (int i = 0; i < 3000 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    testsupport::run_result r;
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    FILE* file = fopen(log.c_str(), "r");
    if (file != nullptr) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) r.out.append(buffer, got);
        fclose(file);
    }
    unlink(log.c_str());
    ir.result = parse(r);
    return ir;
}

}  // namespace

TEST_F(HostileIo, InterruptStopsTheRunWithCode10AndRemovesTheOutput) {
    // Long enough that the signal arrives while pictures are still being restored.
    const std::string input = masked("long.mp4", 160, 120, "aac", {"--gop", "50"}, 600);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        const interrupted_run ir = interrupt_run(input, dir, sig);
        ASSERT_TRUE(ir.output_seen) << "the run ended before the signal could be sent";
        EXPECT_EQ(ir.result.exit_code, 10);
        EXPECT_EQ(ir.result.result_lines, 1) << ir.result.out;
        EXPECT_EQ(ir.result.result_code, 10);
        EXPECT_NE(ir.result.out.find("mosaic_ResultCode=10;mosaic_errStr=Interrupted by signal;"), std::string::npos);
        EXPECT_TRUE(outputs_in(dir).empty()) << "the unfinished output is removed";
    }
}

TEST_F(HostileIo, KeyDashIsReadFromTheFirstLineOfStandardInput) {
    const std::string input = masked("clip.mp4", 64, 64);
    // Right key on stdin, with a line end and a second line that is not part of it.
    outcome o = restore(input, "-", std::string(k_key) + "\nsecond line\n");
    EXPECT_EQ(o.result_code, 0) << o.out;
    EXPECT_EQ(o.exit_code, 0);
    const auto written = outputs_in(dir);
    ASSERT_EQ(written.size(), 1u);
    std::vector<testsupport::luma_frame> frames;
    ASSERT_TRUE(testsupport::decode_video(dir + "/" + written[0], &frames));
    EXPECT_EQ(frames.size(), k_restored);
    unlink((dir + "/" + written[0]).c_str());

    // A Windows line end is not part of the key either; no line end at all is fine.
    o = restore(input, "-", std::string(k_key) + "\r\n");
    EXPECT_EQ(o.result_code, 0) << o.out;
    for (const std::string& name : outputs_in(dir)) unlink((dir + "/" + name).c_str());
    o = restore(input, "-", k_key);
    EXPECT_EQ(o.result_code, 0) << o.out;
    for (const std::string& name : outputs_in(dir)) unlink((dir + "/" + name).c_str());

    // Wrong key on stdin: 2. Nothing on stdin: 7, Parama Error.
    o = restore(input, "-", "not the key\n");
    EXPECT_EQ(o.result_code, 2);
    o = restore(input, "-", "");
    EXPECT_EQ(o.result_code, 7) << o.out;
    EXPECT_EQ(o.exit_code, 7);
    EXPECT_NE(o.out.find("mosaic_ResultCode=7;mosaic_errStr=Parama Error;"), std::string::npos);
    EXPECT_TRUE(outputs_in(dir).empty());
}

TEST_F(HostileIo, OutputNameTakenByAFolderEndsWithCode4AndNoFile) {
    const std::string input = masked("clip.mp4", 64, 64);
    // Folders stand under every name the run can pick in the next seconds.
    const std::string stem = dir + "/clip_decmosic_";
    std::vector<std::string> folders;
    for (time_t t = time(nullptr), end = t + 20; t <= end; ++t) {
        struct tm local {};
        localtime_r(&t, &local);
        char text[32] = {0};
        strftime(text, sizeof(text), "%Y%m%d%H%M%S", &local);
        folders.push_back(stem + text + ".mp4");
        ASSERT_EQ(mkdir(folders.back().c_str(), 0755), 0);
    }
    const outcome o = restore(input);
    EXPECT_TRUE(o.result_code == 4 || o.result_code == 6) << o.out;
    EXPECT_EQ(o.exit_code, o.result_code);
    EXPECT_EQ(o.result_lines, 1);
    for (const std::string& folder : folders) {
        struct stat st {};
        EXPECT_TRUE(stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) << "the folder is left alone";
        EXPECT_TRUE(testsupport::list_dir(folder).empty());
        rmdir(folder.c_str());
    }
    EXPECT_TRUE(outputs_in(dir).empty());
}

TEST_F(HostileIo, ReadOnlyFolderEndsWithCode4AndNoFile) {
    if (geteuid() == 0) GTEST_SKIP() << "running as root: a read-only folder does not stop root from writing";
    const std::string input = masked("clip.mp4", 64, 64);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    const outcome o = restore(input);
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(o.result_code, 4) << o.out;
    EXPECT_EQ(o.exit_code, 4);
    EXPECT_TRUE(outputs_in(dir).empty());
}

TEST_F(HostileIo, FullDiskEndsWithCode6AndNoPartialFile) {
    // A tmpfs in a private mount namespace holds the input with 32 KiB to spare: no room for
    // the restored pictures (written at 8 Mbit/s at least, about 1 MB here).
    const std::string input = masked("clip.mp4", 160, 120, "aac", {"--gop", "4"}, 24);
    const size_t room = (testsupport::read_bytes(input).size() / 4096 + 1) * 4096 + 32768;
    const std::string script =
        "set -e; mnt='" + dir + "/small'; mkdir -p \"$mnt\"; mount -t tmpfs -o size=" + std::to_string(room) +
        " tmpfs \"$mnt\"; "
        "cp '" + input + "' \"$mnt/clip.mp4\"; "
        "set +e; '" DEMOSAIC_BIN "' \"$mnt/clip.mp4\" '" + k_key + "'; echo \"exit=$?\"; "
        "echo listing:; ls \"$mnt\"; umount \"$mnt\"";
    testsupport::run_result r = testsupport::run({"unshare", "-m", "sh", "-c", script}, "", 120);
    if (r.exit_code != 0 || r.out.find("listing:") == std::string::npos) {
        r = testsupport::run({"unshare", "-rm", "sh", "-c", script}, "", 120);
    }
    if (r.exit_code != 0 || r.out.find("listing:") == std::string::npos) {
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs mount namespaces): " << r.err;
    }
    const outcome o = parse(r);
    EXPECT_EQ(o.result_code, 6) << r.out;
    EXPECT_NE(r.out.find("exit=6"), std::string::npos);
    EXPECT_EQ(o.result_lines, 1);
    const std::string listing = r.out.substr(r.out.find("listing:"));
    EXPECT_EQ(listing.find("_decmosic_"), std::string::npos) << "partial file left: " << listing;
    EXPECT_NE(listing.find("clip.mp4"), std::string::npos);
}

TEST_F(HostileIo, AviWithoutAnyFrameRateRestoresAt25) {
    const std::string input = masked("clip.avi", 64, 64, "");
    // Zero the frame period of the main header and the rate and scale of the video stream
    // header, as broken writers leave them.
    std::vector<uint8_t> bytes = testsupport::read_bytes(input);
    const std::string text(bytes.begin(), bytes.end());
    const size_t avih = text.find("avih");
    const size_t strh = text.find("strh");
    ASSERT_NE(avih, std::string::npos);
    ASSERT_NE(strh, std::string::npos);
    ASSERT_EQ(text.compare(strh + 8, 4, "vids"), 0);
    std::fill(bytes.begin() + avih + 8, bytes.begin() + avih + 12, 0);
    std::fill(bytes.begin() + strh + 28, bytes.begin() + strh + 36, 0);
    const std::string broken = dir + "/norate.avi";
    ASSERT_TRUE(testsupport::write_bytes(broken, bytes));

    // The undamaged file for comparison: the same pictures must come out.
    outcome o = restore(input);
    ASSERT_EQ(o.result_code, 0) << o.out;
    auto written = outputs_in(dir);
    ASSERT_EQ(written.size(), 1u);
    std::vector<testsupport::luma_frame> reference;
    ASSERT_TRUE(testsupport::decode_video(dir + "/" + written[0], &reference));
    ASSERT_GE(reference.size(), k_restored);
    unlink((dir + "/" + written[0]).c_str());

    o = restore(broken);
    EXPECT_EQ(o.result_code, 0) << o.out;
    EXPECT_NE(o.out.find("(25.00 fps)"), std::string::npos);
    written = outputs_in(dir);
    ASSERT_EQ(written.size(), 1u);
    std::vector<testsupport::luma_frame> frames;
    ASSERT_TRUE(testsupport::decode_video(dir + "/" + written[0], &frames));
    ASSERT_EQ(frames.size(), reference.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].luma, reference[i].luma) << "picture " << i;
    }
}

TEST_F(HostileIo, Mp4WithoutPictureDurationsEndsCleanly) {
    // Every picture lasts 0 ticks: no average rate can be worked out from the durations.
    const std::string input = masked("clip.mp4", 64, 64, "");
    std::vector<uint8_t> bytes = testsupport::read_bytes(input);
    const std::string text(bytes.begin(), bytes.end());
    const size_t stts = text.find("stts");
    ASSERT_NE(stts, std::string::npos);
    ASSERT_EQ(bytes[stts + 11], 1) << "one duration entry expected";
    std::fill(bytes.begin() + stts + 16, bytes.begin() + stts + 20, 0);
    const std::string broken = dir + "/nodur.mp4";
    ASSERT_TRUE(testsupport::write_bytes(broken, bytes));

    const outcome o = restore(broken);
    EXPECT_EQ(o.result_lines, 1);
    EXPECT_EQ(o.exit_code, o.result_code);
    const auto written = outputs_in(dir);
    if (o.result_code == 0) {
        ASSERT_EQ(written.size(), 1u);
        std::vector<testsupport::luma_frame> frames;
        EXPECT_TRUE(testsupport::decode_video(dir + "/" + written[0], &frames));
    } else {
        EXPECT_GE(o.result_code, 1);
        EXPECT_LE(o.result_code, 9);
        EXPECT_TRUE(written.empty());
    }
}

TEST_F(HostileIo, OddPictureSizesRestore) {
    for (const auto& size : std::vector<std::pair<int, int>>{{66, 50}, {65, 49}, {98, 34}}) {
        SCOPED_TRACE(std::to_string(size.first) + "x" + std::to_string(size.second));
        const std::string name = "odd" + std::to_string(size.first) + ".mp4";
        const std::string input = masked(name, size.first, size.second, "");
        const auto streams = testsupport::probe_streams(input);
        ASSERT_FALSE(streams.empty());
        const outcome o = restore(input);
        EXPECT_EQ(o.result_code, 0) << o.out;
        const auto written = outputs_in(dir);
        ASSERT_EQ(written.size(), 1u);
        std::vector<testsupport::luma_frame> frames;
        ASSERT_TRUE(testsupport::decode_video(dir + "/" + written[0], &frames));
        ASSERT_EQ(frames.size(), k_restored);
        EXPECT_EQ(frames[0].width, streams[0].width);
        EXPECT_EQ(frames[0].height, streams[0].height);
        for (const std::string& file : testsupport::list_dir(dir)) unlink((dir + "/" + file).c_str());
    }
}

TEST_F(HostileIo, VideoAndAudioInAnyStreamOrderRestore) {
    const std::string mp4 = masked("clip.mp4", 64, 64, "aac");
    const std::string avi = masked("clip.avi", 64, 64, "aac");
    // Each file as mosaic wrote it (video first) gives the pictures to expect.
    std::map<std::string, std::vector<testsupport::luma_frame>> reference;
    for (const std::string& source : {mp4, avi}) {
        const outcome o = restore(source);
        ASSERT_EQ(o.result_code, 0) << o.out;
        const auto written = outputs_in(dir);
        ASSERT_EQ(written.size(), 1u);
        ASSERT_TRUE(testsupport::decode_video(dir + "/" + written[0], &reference[source]));
        ASSERT_GE(reference[source].size(), k_restored);
        unlink((dir + "/" + written[0]).c_str());
    }

    struct layout {
        std::string name;
        std::string source;
        std::vector<std::string> maps;
    };
    const std::vector<layout> layouts = {
        {"audio-first.mp4", mp4, {"-map", "0:a", "-map", "0:v"}},
        {"two-audio-first.mp4", mp4, {"-map", "0:a", "-map", "0:a", "-map", "0:v"}},
        {"audio-first.avi", avi, {"-map", "0:a", "-map", "0:v"}},
        {"video-between.mp4", mp4, {"-map", "0:a", "-map", "0:v", "-map", "0:a"}},
    };
    for (const layout& l : layouts) {
        SCOPED_TRACE(l.name);
        const std::string sub = dir + "/" + l.name + ".d";
        mkdir(sub.c_str(), 0755);
        const std::string input = sub + "/" + l.name;
        std::vector<std::string> args = {"-i", l.source};
        args.insert(args.end(), l.maps.begin(), l.maps.end());
        args.insert(args.end(), {"-c", "copy", input});
        ASSERT_TRUE(ffmpeg(args));
        const auto in_streams = testsupport::probe_streams(input);
        ASSERT_GE(in_streams.size(), 2u);
        ASSERT_NE(in_streams[0].type, AVMEDIA_TYPE_VIDEO);

        const outcome o = restore(input);
        EXPECT_EQ(o.result_code, 0) << o.out;
        const auto written = outputs_in(sub);
        ASSERT_EQ(written.size(), 1u);
        const std::string out = sub + "/" + written[0];
        EXPECT_EQ(testsupport::count_streams(out, AVMEDIA_TYPE_VIDEO), 1);
        EXPECT_EQ(testsupport::count_streams(out, AVMEDIA_TYPE_AUDIO), 1);
        std::vector<testsupport::luma_frame> frames;
        ASSERT_TRUE(testsupport::decode_video(out, &frames));
        const auto& expected = reference[l.source];
        ASSERT_EQ(frames.size(), expected.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].luma, expected[i].luma) << "picture " << i;
        }
        // The audio is all there: as many packets as in the input's first audio stream.
        const testsupport::run_result count_in = testsupport::run(
            {"ffprobe", "-v", "error", "-select_streams", "a:0", "-count_packets", "-show_entries",
             "stream=nb_read_packets", "-of", "csv=p=0", input});
        const testsupport::run_result count_out = testsupport::run(
            {"ffprobe", "-v", "error", "-select_streams", "a:0", "-count_packets", "-show_entries",
             "stream=nb_read_packets", "-of", "csv=p=0", out});
        EXPECT_EQ(count_in.out, count_out.out);
    }
}
