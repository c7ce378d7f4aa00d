// End to end: clips masked by mosaic are restored by the real demosaic binary, and what it
// writes is decoded and compared with the pictures mosaic hid. Refused inputs end with their
// result code and leave nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cctype>
#include <regex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

#include "tests/support/media.h"
#include "tests/support/process.h"

using testsupport::list_dir;
using testsupport::luma_frame;
using testsupport::region;
using testsupport::run;
using testsupport::video_packet;

namespace {

constexpr const char* k_key = "end to end key";
constexpr const char* k_success_line =
    "mosaic_ResultCode=0;mosaic_errStr=Demosaic successfully, please get the new video without mosaic in the "
    "video file path;";

constexpr int k_width = 160;
constexpr int k_height = 120;
constexpr int k_frames = 30;
constexpr int k_gop = 10;
const region k_masked{40, 30, 80, 60};

struct restore_case {
    const char* name;
    const char* codec;   // mosaic --codec
    std::string file;    // the masked clip's name
    bool audio;
    std::vector<std::string> options;  // more mosaic options
};

void PrintTo(const restore_case& c, std::ostream* out) { *out << c.name; }

std::string last_line(const std::string& text) {
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
    const size_t newline = trimmed.rfind('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

// Makes the source clip (testsrc2, optionally with a sine tone) and masks it with mosaic.
// The unmasked chain's stream goes to *unmasked.
void make_masked(const std::string& dir, const restore_case& c, std::string* masked, std::string* unmasked) {
    const std::string source = dir + "/source.mkv";
    std::vector<std::string> make = {"ffmpeg", "-hide_banner", "-v", "error", "-y", "-f", "lavfi", "-i",
                                     "testsrc2=size=" + std::to_string(k_width) + "x" + std::to_string(k_height) +
                                         ":rate=25"};
    if (c.audio) make.insert(make.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-shortest"});
    make.insert(make.end(), {"-frames:v", std::to_string(k_frames), "-c:v", "libx264", "-qp", "0"});
    if (c.audio) make.insert(make.end(), {"-c:a", "aac"});
    make.push_back(source);
    ASSERT_EQ(run(make).exit_code, 0);

    *masked = dir + "/" + c.file;
    *unmasked = dir + (std::string(c.codec) == "hevc" ? "/unmasked.hevc" : "/unmasked.h264");
    std::vector<std::string> argv = {MOSAIC_BIN, source, k_key, "-o", *masked, "--codec", c.codec,
                                     "--gop", std::to_string(k_gop), "--preset", "ultrafast",
                                     "--region", "40,30,80,60", "--dump-unmasked", *unmasked};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const auto made = run(argv);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    std::remove(source.c_str());
}

// The file demosaic wrote beside the input: "<stem>_decmosic_<14 digits>.<extension>".
std::string restored_name(const std::string& dir, const std::string& input_name) {
    const size_t dot = input_name.rfind('.');
    const std::string stem = input_name.substr(0, dot);
    const std::string extension = input_name.substr(dot);
    std::string found;
    for (const auto& name : list_dir(dir)) {
        if (name.size() != stem.size() + 10 + 14 + extension.size()) continue;
        if (name.compare(0, stem.size() + 10, stem + "_decmosic_") != 0) continue;
        if (name.compare(name.size() - extension.size(), extension.size(), extension) != 0) continue;
        const std::string digits = name.substr(stem.size() + 10, 14);
        if (!std::all_of(digits.begin(), digits.end(), [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); }))
            continue;
        EXPECT_TRUE(found.empty()) << "two restored files: " << found << " and " << name;
        found = name;
    }
    return found;
}

// The positions of the texts in the log, in order of appearance; npos for a missing one.
void expect_in_order(const std::string& log, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const auto& text : texts) {
        const size_t at = log.find(text, from);
        ASSERT_NE(at, std::string::npos) << "\"" << text << "\" missing or out of order in:\n" << log;
        from = at + text.size();
    }
}

class Restore : public ::testing::TestWithParam<restore_case> {};

}  // namespace

TEST_P(Restore, BringsBackEveryHiddenPicture) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const restore_case& c = GetParam();
    const std::string dir = testsupport::scratch_dir(std::string("restore_") + c.name);
    std::string masked, unmasked;
    ASSERT_NO_FATAL_FAILURE(make_masked(dir, c, &masked, &unmasked));
    const auto before = list_dir(dir);

    const auto restored_run = run({DEMOSAIC_BIN, masked, k_key});
    ASSERT_EQ(restored_run.exit_code, 0) << restored_run.out;
    EXPECT_EQ(last_line(restored_run.out), k_success_line);
    EXPECT_EQ(testsupport::lines_starting_with(restored_run.out, "mosaic_ResultCode=").size(), 1u);
    expect_in_order(restored_run.out,
                    {"DEBUG LEVEL : 2", "Resolution: 160 x 120", "Frame Rate: 25/1", "Software encoder init succeed",
                     "videoDecode loop task end", "videoDecode destruction succeed", "videoEncode loop task end",
                     "videoEncode destruction succeed", "mediaMuxer loop task end", "mediaMuxer destruction succeed",
                     "mediaDemuxer loop task end", "mosaic process end", "mediaDemuxer destruction succeed",
                     k_success_line});

    // One new file, named by the rule, beside the input; the input is untouched.
    const std::string name = restored_name(dir, c.file);
    ASSERT_FALSE(name.empty()) << "no restored file among the files in " << dir;
    auto after = list_dir(dir);
    after.erase(std::find(after.begin(), after.end(), name));
    EXPECT_EQ(after, before);
    const std::string restored = dir + "/" + name;

    // Same codec as the input, the audio kept.
    const bool hevc = std::string(c.codec) == "hevc";
    const auto streams = testsupport::probe_streams(restored);
    ASSERT_FALSE(streams.empty());
    EXPECT_EQ(streams[0].type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(streams[0].codec_id, hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    EXPECT_EQ(testsupport::count_streams(restored, AVMEDIA_TYPE_AUDIO), c.audio ? 1 : 0);

    // Every picture that is not an IDR picture comes back, at its own time.
    std::vector<video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(masked, &packets));
    ASSERT_EQ(packets.size(), static_cast<size_t>(k_frames));
    std::vector<double> hidden_times;
    std::vector<int> hidden_indices;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].key) continue;
        hidden_times.push_back(packets[i].seconds());
        hidden_indices.push_back(static_cast<int>(i));
    }
    ASSERT_EQ(hidden_times.size(), static_cast<size_t>(k_frames - k_frames / k_gop));
    std::vector<luma_frame> frames;
    ASSERT_TRUE(testsupport::decode_video(restored, &frames));
    ASSERT_EQ(frames.size(), hidden_times.size());
    // AVI stores a picture's time as its position: the first restored picture, which follows
    // a withheld IDR picture, is read back at 0 whatever gap lies before it.
    const bool avi = c.file.size() > 4 && (c.file.substr(c.file.size() - 4) == ".avi" ||
                                           c.file.substr(c.file.size() - 4) == ".AVI");
    for (size_t i = avi ? 1 : 0; i < frames.size(); ++i) {
        EXPECT_NEAR(frames[i].seconds, hidden_times[i], 1e-3) << "picture " << i;
    }
    EXPECT_LE(frames[0].seconds, hidden_times[0] + 1e-3);

    // The masked region shows the unmasked picture again, close to what mosaic hid.
    std::vector<luma_frame> reference;
    ASSERT_TRUE(testsupport::decode_video(unmasked, &reference));
    ASSERT_EQ(reference.size(), static_cast<size_t>(k_frames));
    double worst = 99;
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].width, k_width);
        ASSERT_EQ(frames[i].height, k_height);
        worst = std::min(worst, testsupport::luma_psnr(frames[i], reference[hidden_indices[i]], k_masked));
    }
    EXPECT_GE(worst, 35.0) << "worst masked-region luma PSNR against the hidden picture";
    std::printf("%s: worst masked-region luma PSNR %.2f dB over %zu pictures\n", c.name, worst, frames.size());
}

INSTANTIATE_TEST_SUITE_P(
    MaskedClips, Restore,
    ::testing::Values(
        restore_case{"h264_mp4_audio", "h264", "Street Cam 1.mp4", true, {}},
        restore_case{"hevc_mp4_silent", "hevc", "\xC3\x9C" "berwachung Stra\xC3\x9F" "e.MP4", false, {}},
        restore_case{"h264_avi_unversioned_partial", "h264", "CAPS clip.avi", true,
                     {"--unversioned", "--encrypt-bytes", "64"}},
        restore_case{"hevc_avi_partial", "hevc", "Kamera \xE6\x91\x84\xE5\x83\x8F.AVI", true,
                     {"--encrypt-bytes", "100"}},
        restore_case{"h264_mp4_unversioned", "h264", "plain.mp4", false, {"--unversioned"}}),
    [](const ::testing::TestParamInfo<restore_case>& info) { return std::string(info.param.name); });

namespace {

struct refused_case {
    std::string what;
    std::string input;
    std::string key;
    int code;
    std::string message;
};

}  // namespace

// Inputs demosaic must refuse: the code and message of the result line, the exit status,
// and no file written anywhere in the folder.
TEST(RestoreRefuses, WrongKeyMissingFileOtherContainerPlainAndOldVideo) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("restore_refused");
    const restore_case masked_case{"refused", "h264", "masked.mp4", true, {}};
    std::string masked, unmasked;
    ASSERT_NO_FATAL_FAILURE(make_masked(dir, masked_case, &masked, &unmasked));
    ASSERT_TRUE(testsupport::make_clip(dir + "/plain.mp4", "libx264", 64, 48, 10, 25, "aac"));
    ASSERT_TRUE(testsupport::make_clip(dir + "/old.avi", "mpeg4", 64, 48, 10, 25));
    ASSERT_TRUE(testsupport::make_clip(dir + "/other.mkv", "libx264", 64, 48, 10, 25));

    const std::vector<refused_case> cases = {
        {"wrong key", masked, "not the key", 2, "The privacy key is incorrect"},
        {"missing input", dir + "/absent.mp4", k_key, 3, "Open input file Error"},
        {"not mp4 or avi", dir + "/other.mkv", k_key, 4, "Open output file Error"},
        {"no privacy data", dir + "/plain.mp4", k_key, 5, "video stream format Error"},
        {"MPEG-4 Part 2 video", dir + "/old.avi", k_key, 5, "video stream format Error"},
    };
    const auto before = list_dir(dir);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = run({DEMOSAIC_BIN, c.input, c.key});
        EXPECT_EQ(result.exit_code, c.code);
        EXPECT_EQ(last_line(result.out),
                  "mosaic_ResultCode=" + std::to_string(c.code) + ";mosaic_errStr=" + c.message + ";");
        EXPECT_NE(result.out.find("mosaic process end"), std::string::npos);
        EXPECT_EQ(list_dir(dir), before);
    }
}
