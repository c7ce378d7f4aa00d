// End to end: clips that mosaic masks in the access-unit layouts other encoders and cameras
// write (delimiters, an SEI NAL unit before the privacy SEI, the privacy message behind another
// message of its SEI NAL unit, HEVC prefix SEI and CRA key pictures, several slices per
// picture, start codes left unescaped in the privacy message, H.264 groups opened by an I
// picture, B-frames), and masked files the ffmpeg tool has taken through MPEG-TS, cut or put
// behind another video track, are restored by the real demosaic binary. The default restore
// brings every hidden picture back at its own time, its masked region matching the picture
// mosaic hid; the lossless restore (--copy) decodes to the unmasked chain's very pictures, as
// many as the input shows, over the duration the ffmpeg tool's stream copy has.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <string>
#include <vector>

#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

using testsupport::run;

// What the ffmpeg tool does to the masked clip before it is restored.
enum class route {
    direct,
    via_ts,        // to MPEG-TS and back to MP4 (the TS muxer adds a delimiter to every access unit)
    ts_content,    // to MPEG-TS, kept under an .mp4 name
    edit_list,     // cut behind its first picture: an edit list leaves the lead-in out
    cut_mid_group, // an AVI cut before a key picture, the pictures before it kept
    second_track,  // behind a plain video track in one MP4
};

struct layout_case {
    const char* name;
    const char* codec;  // mosaic --codec
    const char* file;   // the masked clip's name
    std::vector<std::string> options;
    route how = route::direct;
};

void PrintTo(const layout_case& c, std::ostream* out) { *out << c.name; }

class Layouts : public testing::TestWithParam<layout_case> {};

// The duration ffprobe gives a file.
double format_duration(const std::string& path) {
    return std::atof(run({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path}).out.c_str());
}

TEST_P(Layouts, RestoreEveryHiddenPictureAtItsOwnTime) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const layout_case& c = GetParam();
    const std::string dir = testsupport::scratch_dir(std::string("layout_") + c.name);
    const std::string source = dir + "/source.mkv", masked = dir + "/" + c.file;
    const std::string unmasked = dir + "/unmasked." + c.codec, key = "layout key";
    ASSERT_EQ(run({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v",
                   "10", "-c:v", "libx264", "-qp", "0", source}).exit_code, 0);
    std::vector<std::string> argv = {MOSAIC_BIN, source, key, "-o", masked, "--codec", c.codec, "--gop", "5",
                                     "--preset", "ultrafast", "--region", "16,16,32,16", "--dump-unmasked", unmasked};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const auto made = run(argv);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    std::string input = masked;
    const std::string ext = std::string(c.file).substr(std::string(c.file).rfind('.'));
    const auto ffmpeg = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"ffmpeg", "-v", "error"});
        return run(args).exit_code == 0;
    };
    switch (c.how) {
        case route::direct: break;
        case route::via_ts:
            input = dir + "/export.mp4";
            ASSERT_TRUE(ffmpeg({"-i", masked, "-c", "copy", "-f", "mpegts", dir + "/rec.ts"}));
            ASSERT_TRUE(ffmpeg({"-i", dir + "/rec.ts", "-c", "copy", input}));
            break;
        case route::ts_content:
            input = dir + "/recording.mp4";
            ASSERT_TRUE(ffmpeg({"-i", masked, "-c", "copy", "-f", "mpegts", input}));
            break;
        case route::edit_list:
            input = dir + "/cut.mp4";
            ASSERT_TRUE(ffmpeg({"-ss", "0.1", "-i", masked, "-c", "copy", input}));
            break;
        case route::cut_mid_group:
            input = dir + "/cut" + ext;
            ASSERT_TRUE(ffmpeg({"-i", masked, "-ss", "0.1", "-c", "copy", "-copyinkf", input}));
            break;
        case route::second_track:
            input = dir + "/two tracks.mp4";
            ASSERT_TRUE(ffmpeg({"-i", source, "-i", masked, "-map", "0:v", "-map", "1:v", "-c", "copy", input}));
            break;
    }
    const auto restored_run = run({DEMOSAIC_BIN, input, key});
    ASSERT_EQ(restored_run.exit_code, 0) << restored_run.out;
    if (c.how == route::second_track) {
        EXPECT_NE(restored_run.out.find("stream 0 (video, h264) is left out"), std::string::npos) << restored_run.out;
    }
    const auto restored = testsupport::restored_files(dir);
    ASSERT_EQ(restored.size(), 1u);

    // Every fifth picture of the chain starts a group; the others hide a picture each, but for
    // those before the first key picture (in decoding order), which have nothing to be
    // predicted from, and those an edit list leaves out. Packets come in decoding order, the
    // pictures of chain and output in presentation order.
    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(c.how == route::second_track ? masked : input, &packets));
    std::vector<testsupport::luma_frame> frames, reference;
    ASSERT_TRUE(testsupport::decode_video(restored[0], &frames) && testsupport::decode_video(unmasked, &reference));
    const size_t cut = reference.size() - packets.size();  // pictures cut from the front of the input
    std::vector<std::pair<double, size_t>> order;            // (time, packet) in presentation order
    for (size_t i = 0; i < packets.size(); ++i) order.emplace_back(packets[i].seconds(), i);
    std::sort(order.begin(), order.end());
    std::vector<size_t> rank(packets.size());
    for (size_t r = 0; r < order.size(); ++r) rank[order[r].second] = r;
    size_t first_key = packets.size(), shown = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        if ((cut + rank[i]) % 5 == 0 && first_key == packets.size()) first_key = i;
        shown += !packets[i].discard && i >= first_key;
    }
    const double start = c.how == route::ts_content ? order[0].first : 0;  // a running clock starts at zero
    std::vector<std::pair<double, size_t>> hidden;  // time on the restored timeline, chain picture
    for (const auto& [seconds, i] : order) {
        if ((cut + rank[i]) % 5 != 0 && !packets[i].discard && i > first_key) hidden.emplace_back(seconds - start, cut + rank[i]);
    }
    ASSERT_EQ(frames.size(), hidden.size());
    // The counts line says as much: none damaged, and as many dropped as lie before the key picture.
    long long found = -1, restored_count = -1, dropped = -1, damaged = -1;
    const size_t counts_at = restored_run.out.find("hidden pictures: ");
    EXPECT_NE(counts_at, std::string::npos);
    if (counts_at != std::string::npos) std::sscanf(restored_run.out.c_str() + counts_at, "hidden pictures: %lld found, %lld restored, %lld dropped, %lld damaged",
                &found, &restored_count, &dropped, &damaged);
    EXPECT_EQ(std::make_tuple(restored_count, damaged), std::make_tuple(static_cast<long long>(hidden.size()), 0LL));
    EXPECT_EQ(dropped, c.how == route::cut_mid_group ? static_cast<long long>(first_key) : 0);
    double worst = 99;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_NEAR(frames[i].seconds, hidden[i].first, 1e-3) << "picture " << i;
        worst = std::min(worst, testsupport::luma_psnr(frames[i], reference[hidden[i].second], {16, 16, 32, 16}));
    }
    EXPECT_GE(worst, 35.0) << "worst masked-region luma PSNR against the hidden picture";

    // The lossless restore: the unmasked chain's pictures from the first key picture on.
    const std::string copied = dir + "/copied" + ext;
    const auto copy_run = run({DEMOSAIC_BIN, "--copy", input, key, "-o", copied});
    ASSERT_EQ(copy_run.exit_code, 0) << copy_run.out;
    const auto chain = testsupport::frame_md5s(c.codec, unmasked), got = testsupport::frame_md5s(ext.substr(1), copied);
    ASSERT_EQ(got.size(), shown);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), chain.end() - static_cast<long>(got.size())));
    // As long as the ffmpeg tool's stream copy of the input (which keeps the pictures before a
    // key picture, and shows whole pictures of an edit list that starts inside one).
    const std::string reference_copy = dir + "/ffmpeg copy" + ext;
    ASSERT_TRUE(ffmpeg({"-i", input, "-map", "0:v:" + std::string(c.how == route::second_track ? "1" : "0"), "-c",
                        "copy", reference_copy}));
    if (c.how != route::cut_mid_group) {
        EXPECT_NEAR(format_duration(copied), format_duration(reference_copy), 0.005);
    }
}

INSTANTIATE_TEST_SUITE_P(
    MaskedClips, Layouts,
    testing::Values(layout_case{"h264_mp4_aud_sei_before_shared", "h264", "a.mp4", {"--aud", "--sei-before", "--shared-sei"}},
                    layout_case{"h264_avi_aud_slices_unversioned", "h264", "b.avi", {"--aud", "--slices", "3", "--unversioned"}},
                    layout_case{"hevc_mp4_aud_prefix_cra", "hevc", "c.mp4", {"--aud", "--prefix-sei", "--cra"}},
                    layout_case{"hevc_avi_sei_before_shared_slices", "hevc", "d.avi", {"--sei-before", "--shared-sei", "--slices", "2"}},
                    layout_case{"h264_through_mpegts", "h264", "e.mp4", {}, route::via_ts},
                    layout_case{"hevc_through_mpegts", "hevc", "f.mp4", {"--cra"}, route::via_ts},
                    layout_case{"h264_mp4_raw_start_codes", "h264", "g.mp4", {"--raw-start-codes"}},
                    layout_case{"hevc_avi_raw_start_codes_unversioned_tail", "hevc", "h.avi",
                                {"--raw-start-codes", "--unversioned", "--encrypt-bytes", "6", "--slices", "2"}},
                    layout_case{"h264_mp4_open_gop", "h264", "i.mp4", {"--open-gop", "--bframes", "2"}},
                    layout_case{"h264_mp4_bframes", "h264", "j.mp4", {"--bframes", "2"}},
                    layout_case{"h264_ts_content_named_mp4", "h264", "k.mp4", {"--bframes", "2"}, route::ts_content},
                    layout_case{"h264_mp4_edit_list", "h264", "l.mp4", {"--bframes", "2"}, route::edit_list},
                    layout_case{"h264_avi_cut_mid_group", "h264", "m.avi", {}, route::cut_mid_group},
                    layout_case{"h264_mp4_behind_a_plain_track", "h264", "n.mp4", {}, route::second_track}),
    [](const testing::TestParamInfo<layout_case>& info) { return std::string(info.param.name); });

}  // namespace
