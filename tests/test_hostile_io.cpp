// The program's edges towards the outside world: interrupts, the key on standard input,
// outputs that cannot be written (a read-only folder, a full disk), and inputs that are
// unusual but valid (no usable frame rate, streams in another order).
// Every output is decoded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

void expect_same_pictures(const frames_t& got, const frames_t& expected) {
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].luma, expected[i].luma) << "picture " << i;
}

class HostileIo : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::scratch_dir(std::string("hostile_io_") +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
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

TEST_F(HostileIo, InterruptStopsTheRunWithCode10AndRemovesTheOutput) {
    // Long enough that the signal arrives while pictures are still being restored.
    const std::string input = masked("long.mp4", 160, 120, "aac", "50", 600);
    for (const char* sig : {"INT", "TERM", "HUP"}) {
        SCOPED_TRACE(sig);
        // Starts demosaic, waits until its output exists (the pipeline runs), then signals it.
        const std::string script = "'" DEMOSAIC_BIN "' '" + input + "' '" + k_key + "' 2>&1 & p=$!; "
            "until ls '" + dir + "' | grep -q _decmosic_; do kill -0 $p 2>/dev/null || { echo ENDED; exit 1; }; "
            "sleep 0.005; done; kill -" + sig + " $p; wait $p; echo \"exit=$?\"";
        const auto r = testsupport::run({"sh", "-c", script}, "", 60);
        ASSERT_EQ(r.out.find("ENDED"), std::string::npos) << "the run ended before the signal could be sent";
        const auto o = testsupport::restore_run(r);
        EXPECT_NE(r.out.find("exit=10"), std::string::npos) << r.out;
        EXPECT_EQ(o.result_lines, 1) << o.out;
        EXPECT_NE(o.out.find("mosaic_ResultCode=10;mosaic_errStr=Interrupted by signal;"), std::string::npos);
        EXPECT_TRUE(restored_files(dir).empty()) << "the unfinished output is removed";
    }
}

TEST_F(HostileIo, KeyDashIsReadFromTheFirstLineOfStandardInput) {
    const std::string input = masked("clip.mp4", 64, 64);
    EXPECT_EQ(restore(input, "-", std::string(k_key) + "\nsecond line\n").exit_code, 0);
    EXPECT_EQ(take_output(dir).size(), k_restored);
    // A Windows line end is not part of the key; no line end is fine; wrong key 2; nothing 7.
    for (const auto& [text, code] : std::vector<std::pair<std::string, int>>{
             {std::string(k_key) + "\r\n", 0}, {k_key, 0}, {"not the key\n", 2}, {"", 7}}) {
        const auto o = restore(input, "-", text);
        EXPECT_EQ(o.result_code, code) << o.out;
        EXPECT_EQ(o.exit_code, code);
        for (const std::string& file : restored_files(dir)) unlink(file.c_str());
        if (code == 7) {
            EXPECT_NE(o.out.find("mosaic_ResultCode=7;mosaic_errStr=Parama Error;"), std::string::npos);
        }
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

TEST_F(HostileIo, FullDiskEndsWithCode6AndNoPartialFile) {
    // A private tmpfs holds the input with 32 KiB to spare: no room for the restored pictures.
    const std::string input = masked("clip.mp4", 160, 120, "aac", "4", 24);
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
    const auto audio_packets = [](const std::string& file) {
        return testsupport::run({"ffprobe", "-v", "error", "-select_streams", "a:0", "-count_packets",
                                 "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", file}).out;
    };
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
