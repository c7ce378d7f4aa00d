// End to end on inputs whose pictures change or come out of order: masked clips of two
// picture sizes joined into one stream, clips coded with B-frames (MP4 and AVI), and a
// full-range source. The real demosaic restores them; the output is decoded and every
// picture must be present, in its own place, and match its source (a picture drawn from
// memory outside the frame, or one placed a picture early or late, matches nothing).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/media.h"
#include "tests/support/process.h"

using testsupport::luma_frame;
using testsupport::run;

namespace {

constexpr const char* k_key = "stream changes key";

// A lossless testsrc2 clip of w x h at 25 fps (full range with "yuvj420p"), masked by mosaic
// with groups of 4 pictures. *source gets the clip's path.
std::string masked_clip(const std::string& dir, const std::string& name, const std::string& codec, int w, int h,
                        int frames, const std::vector<std::string>& mosaic_options, std::string* source,
                        const std::string& pix_fmt = "yuv420p") {
    *source = dir + "/" + name + ".src.mkv";
    const std::string path = dir + "/" + name;
    EXPECT_EQ(run({"ffmpeg", "-hide_banner", "-v", "error", "-y", "-f", "lavfi", "-i",
                   "testsrc2=rate=25:size=" + std::to_string(w) + "x" + std::to_string(h), "-frames:v",
                   std::to_string(frames), "-c:v", "libx264", "-qp", "0", "-pix_fmt", pix_fmt, *source})
                  .exit_code, 0);
    std::vector<std::string> argv = {MOSAIC_BIN, *source, k_key, "-o", path, "--codec", codec, "--gop", "4",
                                     "--qp", "8", "--preset", "ultrafast"};
    argv.insert(argv.end(), mosaic_options.begin(), mosaic_options.end());
    const auto made = run(argv);
    EXPECT_EQ(made.exit_code, 0) << made.err;
    return path;
}

// Runs demosaic on path; returns the restored file's path ("" when the run failed).
std::string restore(const std::string& path) {
    const auto r = run({DEMOSAIC_BIN, path, k_key});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    const std::string dir = path.substr(0, path.rfind('/')), stem = path.substr(dir.size() + 1, path.rfind('.') - dir.size() - 1);
    for (const std::string& name : testsupport::list_dir(dir))
        if (name.rfind(stem + "_decmosic_", 0) == 0) return r.exit_code == 0 ? dir + "/" + name : "";
    return "";
}

// The pictures mosaic hid (all but the first of each group of 4) of a decoded source.
std::vector<luma_frame> hidden_pictures(const std::string& source) {
    std::vector<luma_frame> all, hidden;
    EXPECT_TRUE(testsupport::decode_video(source, &all));
    for (size_t i = 0; i < all.size(); ++i)
        if (i % 4 != 0) hidden.push_back(all[i]);
    return hidden;
}

// Every restored picture is close to the expected picture of the same index, and no other
// expected picture is closer.
void expect_each_in_place(const std::vector<luma_frame>& restored, const std::vector<luma_frame>& expected) {
    ASSERT_EQ(restored.size(), expected.size());
    for (size_t i = 0; i < restored.size(); ++i) {
        const testsupport::region whole{0, 0, restored[i].width, restored[i].height};
        const double own = testsupport::luma_psnr(restored[i], expected[i], whole);
        EXPECT_GT(own, 30) << "picture " << i;
        for (size_t j = 0; j < expected.size(); ++j) {
            if (j == i) continue;
            EXPECT_LE(testsupport::luma_psnr(restored[i], expected[j], whole), own) << i << " vs " << j;
        }
    }
}

}  // namespace

TEST(StreamChanges, PictureSizeChangeInsideTheInputIsScaledToTheFirstSize) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    // In the HEVC MP4 join the container's one hvcC holds the first part's parameter sets, which
    // the Annex B filter puts before every key picture of the second part too.
    const struct { const char* codec; const char* ext; int w1, h1, w2, h2; } cases[] = {
        {"h264", ".mp4", 160, 120, 96, 64}, {"hevc", ".avi", 160, 120, 96, 64},
        {"h264", ".mp4", 64, 64, 32, 32}, {"hevc", ".mp4", 64, 64, 32, 32}};
    for (const auto& c : cases) {
        const std::string what = std::string(c.codec) + "_" + std::to_string(c.w1) + "_" + std::to_string(c.w2);
        SCOPED_TRACE(what);
        const std::string dir = testsupport::scratch_dir("stream_changes_size_" + what);
        std::string first_source, second_source;
        const std::string first = masked_clip(dir, std::string("a") + c.ext, c.codec, c.w1, c.h1, 8, {}, &first_source);
        const std::string second = masked_clip(dir, std::string("b") + c.ext, c.codec, c.w2, c.h2, 8, {}, &second_source);
        // One stream: the second clip's packets, with their own parameter sets, after the first's.
        std::ofstream(dir + "/list.txt") << "file '" << first << "'\nfile '" << second << "'\n";
        const std::string joined = dir + "/joined" + c.ext;
        ASSERT_EQ(run({"ffmpeg", "-hide_banner", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i",
                       dir + "/list.txt", "-c", "copy", joined}).exit_code, 0);
        const std::string scaled = dir + "/b.scaled.mkv";  // the second part as the restorer must scale it
        ASSERT_EQ(run({"ffmpeg", "-hide_banner", "-v", "error", "-y", "-i", second_source, "-vf",
                       "scale=" + std::to_string(c.w1) + ":" + std::to_string(c.h1) + ":flags=bilinear", "-c:v",
                       "libx264", "-qp", "0", scaled}).exit_code, 0);
        std::vector<luma_frame> expected = hidden_pictures(first_source), restored;
        for (const luma_frame& f : hidden_pictures(scaled)) expected.push_back(f);

        const std::string out = restore(joined);
        ASSERT_FALSE(out.empty());
        ASSERT_TRUE(testsupport::decode_video(out, &restored));
        for (const luma_frame& f : restored) ASSERT_EQ(f.width * 1000 + f.height, c.w1 * 1000 + c.h1);
        expect_each_in_place(restored, expected);
        for (size_t i = 1; i < restored.size(); ++i) EXPECT_LT(restored[i - 1].seconds, restored[i].seconds);
    }
}

TEST(StreamChanges, BFramesKeepEveryPictureAtItsOwnTime) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    for (const char* codec : {"h264", "hevc"}) {
        for (const char* file : {"b.mp4", "b.avi"}) {
            const std::string what = std::string(codec) + "_" + file;
            SCOPED_TRACE(what);
            const std::string dir = testsupport::scratch_dir("stream_changes_bframes_" + what);
            std::string source;
            const std::string masked = masked_clip(dir, file, codec, 96, 64, 18, {"--bframes", "2"}, &source);
            const std::vector<luma_frame> expected = hidden_pictures(source);
            std::vector<luma_frame> restored;
            const std::string out = restore(masked);
            ASSERT_FALSE(out.empty());
            ASSERT_TRUE(testsupport::decode_video(out, &restored));
            // AVI keeps no presentation times: there the place is the index alone.
            expect_each_in_place(restored, expected);
            for (size_t i = 0; std::string(file) == "b.mp4" && i < restored.size() && i < expected.size(); ++i)
                EXPECT_NEAR(restored[i].seconds, expected[i].seconds, 1e-6) << "picture " << i;
        }
    }
}

TEST(StreamChanges, FullRangeSourceStaysFullRange) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("stream_changes_full_range");
    std::string source;
    const std::string masked = masked_clip(dir, "j.mp4", "h264", 64, 48, 8, {}, &source, "yuvj420p");
    const std::string out = restore(masked);
    ASSERT_FALSE(out.empty());
    const auto probe = run({"ffprobe", "-v", "error", "-select_streams", "v", "-show_entries",
                            "stream=color_range:frame=color_range", "-of", "csv=p=0", out});
    EXPECT_EQ(probe.out.find("tv"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("pc"), std::string::npos) << probe.out;
    // The samples are full range too: the decoded pictures match the full-range source.
    std::vector<luma_frame> restored;
    ASSERT_TRUE(testsupport::decode_video(out, &restored));
    expect_each_in_place(restored, hidden_pictures(source));
}
