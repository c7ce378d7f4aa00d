// End to end: small FFmpeg clips are masked by the real mosaic and restored by the real
// demosaic. What mosaic writes is checked first (the packet structure the restorer relies on,
// each hidden picture against the unmasked chain's own bytes, the mosaic itself); then what
// demosaic writes is decoded and compared with the pictures mosaic hid. Refused inputs end
// with their result code and leave nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/macros.h>
}

#include <sched.h>

#include "encode/encoderPool.h"
#include "privacy/decryptMosic.h"
#include "tests/support/media.h"
#include "tests/support/process.h"
#include "tests/support/remux.h"

using testsupport::list_dir;
using testsupport::luma_frame;
using testsupport::region;
using testsupport::run;

namespace {

using bytes = std::vector<uint8_t>;
constexpr const char* k_key = "end to end key";
const std::string k_success_line =
    "mosaic_ResultCode=0;mosaic_errStr=Demosaic successfully, please get the new video without mosaic in the "
    "video file path;";

struct restore_case {
    const char* name;
    const char* codec;  // mosaic --codec
    std::string file;   // the masked clip's name
    std::vector<std::string> options;  // more mosaic options
    int width, height, frames, gop;    // testsrc2 at 25 fps (a sine tone when audio), then source_args
    bool audio;
    std::vector<std::string> source_args;  // how the source is coded
    region masked, untouched;              // a region mosaic masks and one it leaves alone
    std::string note;                      // what mosaic must say on stderr (empty: nothing)
    bool one_core_too = false;             // restore it once more on one core
};

void PrintTo(const restore_case& c, std::ostream* out) { *out << c.name; }

std::string last_line(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
}

// Codes the source clip and masks it; the unmasked chain's stream goes to *unmasked and the
// source's pictures to *source_frames.
void make_masked(const std::string& dir, const restore_case& c, std::string* masked, std::string* unmasked,
                 std::vector<luma_frame>* source_frames) {
    const std::string source = dir + (c.audio ? "/source.mp4" : "/source.mkv");  // MP4: video from 0 despite AAC
    std::vector<std::string> make = {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                     "testsrc2=rate=25:size=" + std::to_string(c.width) + "x" + std::to_string(c.height)};
    if (c.audio) make.insert(make.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-shortest", "-c:a", "aac"});
    make.insert(make.end(), c.source_args.begin(), c.source_args.end());
    make.insert(make.end(), {"-frames:v", std::to_string(c.frames), source});
    ASSERT_EQ(run(make).exit_code, 0);
    ASSERT_TRUE(testsupport::decode_video(source, source_frames));
    ASSERT_EQ(static_cast<int>(source_frames->size()), c.frames);
    *masked = dir + "/" + c.file;
    *unmasked = dir + "/unmasked.bin";
    std::vector<std::string> argv = {MOSAIC_BIN, source, k_key, "-o", *masked, "--codec", c.codec, "--gop",
                                     std::to_string(c.gop), "--preset", "ultrafast", "--dump-unmasked", *unmasked};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    const auto made = run(argv);
    ASSERT_EQ(made.exit_code, 0) << made.err;
    EXPECT_TRUE(c.note.empty() ? made.err.empty() : made.err.find(c.note) != std::string::npos) << made.err;
    std::remove(source.c_str());
}

class Restore : public ::testing::TestWithParam<restore_case> {};

}  // namespace

TEST_P(Restore, MosaicHidesThePicturesAndDemosaicBringsThemBack) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const restore_case& c = GetParam();
    const std::string dir = testsupport::scratch_dir(std::string("restore_") + c.name);
    const bool hevc = std::string(c.codec) == "hevc";
    std::string masked, unmasked;
    std::vector<luma_frame> source_frames;
    ASSERT_NO_FATAL_FAILURE(make_masked(dir, c, &masked, &unmasked, &source_frames));
    const int width = (source_frames[0].width + 1) & ~1, height = (source_frames[0].height + 1) & ~1;  // padded to even

    // Mosaic's streams: the video first, "HEVC" in AVI, the audio copied.
    auto streams = testsupport::probe_streams(masked);
    ASSERT_GE(streams.size(), 1u);
    EXPECT_EQ(std::make_tuple(streams[0].type, streams[0].width, streams[0].height),
              std::make_tuple(AVMEDIA_TYPE_VIDEO, width, height));
    if (hevc && c.file.find(".avi") != std::string::npos) {
        EXPECT_EQ(streams[0].codec_tag, MKTAG('H', 'E', 'V', 'C'));
    }
    EXPECT_EQ(testsupport::count_streams(masked, AVMEDIA_TYPE_AUDIO), c.audio ? 1 : 0);

    // As the restorer sees it after the Annex B filter, each group begins with its parameter
    // sets and an IDR picture and carries no privacy SEI; every other packet begins with a
    // privacy SEI hiding exactly the unmasked chain's next picture. Every picture keeps its time.
    std::vector<testsupport::video_packet> packets;
    ASSERT_TRUE(testsupport::read_video_packets(masked, &packets));
    ASSERT_EQ(static_cast<int>(packets.size()), c.frames);
    const bytes sei_head = hevc ? bytes{0, 0, 0, 1, 0x50, 0x01, 0x99} : bytes{0, 0, 0, 1, 0x06, 0x99};
    const bytes chain = testsupport::read_bytes(unmasked);
    auto next = chain.begin();
    bytes picture(decryptMosic::k_output_size);
    job_context job;
    std::vector<double> hidden_times;
    std::vector<int> hidden;
    for (int i = 0; i < c.frames; ++i) {
        const auto& p = packets[i];
        const bool group_start = i % c.gop == 0;
        SCOPED_TRACE(i);
        EXPECT_EQ(p.first_nal, group_start ? (hevc ? "H265 VPS" : "H264 SPS") : (hevc ? "H265 SEI SUFFIX" : "H264 SEI"));
        EXPECT_EQ(p.key, group_start);
        EXPECT_NEAR(p.seconds(), source_frames[i].seconds, 1e-3);
        if (group_start) {
            EXPECT_EQ(std::search(p.data.begin() + 1, p.data.end(), sei_head.begin() + 1, sei_head.end()), p.data.end());
            continue;
        }
        hidden_times.push_back(p.seconds());
        hidden.push_back(i);
        ASSERT_TRUE(std::equal(sei_head.begin(), sei_head.end(), p.data.begin()));
        const int n = decryptMosic(job, k_key).decrypt_mosic_process(p.data.data(), static_cast<int>(p.data.size()),
                                                                     picture.data());
        ASSERT_GT(n, 0);
        next = std::search(next, chain.end(), picture.begin(), picture.begin() + n);
        ASSERT_NE(next, chain.end()) << "the hidden picture is not the unmasked chain's next one";
        next += n;
    }
    // The masked region is masked in what a player shows; the rest is kept but for coding loss.
    std::vector<luma_frame> shown;
    ASSERT_TRUE(testsupport::decode_video(masked, &shown));
    ASSERT_EQ(shown.size(), source_frames.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_LE(testsupport::luma_psnr(shown[i], source_frames[i], c.masked), 20.0) << "picture " << i;
        EXPECT_GE(testsupport::luma_psnr(shown[i], source_frames[i], c.untouched), 30.0) << "picture " << i;
    }

    // Demosaic: one result line, last; the stages end in pipeline order.
    const auto before = list_dir(dir);
    const auto restored_run = run({DEMOSAIC_BIN, masked, k_key});
    ASSERT_EQ(restored_run.exit_code, 0) << restored_run.out;
    EXPECT_EQ(last_line(restored_run.out), k_success_line);
    EXPECT_EQ(testsupport::lines_starting_with(restored_run.out, "mosaic_ResultCode=").size(), 1u);
    size_t from = 0;
    for (const std::string text : {"DEBUG LEVEL : 2", "Resolution: ", "Frame Rate: 25/1", "Software encoder init succeed",
                                    "videoDecode destruction succeed", "videoEncode destruction succeed",
                                    "mediaMuxer destruction succeed", "mosaic process end",
                                    "mediaDemuxer destruction succeed", k_success_line.c_str()}) {
        from = restored_run.out.find(text, from);
        ASSERT_NE(from, std::string::npos) << "\"" << text << "\" missing or out of order in:\n" << restored_run.out;
    }
    // Once per run, however many encoders the chunks take.
    EXPECT_EQ(restored_run.out.find("encoder init succeed"), restored_run.out.rfind("encoder init succeed"));

    // One new file beside the input, "<stem>_decmosic_<14 digits><extension>"; the input is untouched.
    const auto files = testsupport::restored_files(dir);
    ASSERT_EQ(files.size(), 1u);
    const std::string restored = files[0], stem = masked.substr(0, masked.rfind('.'));
    EXPECT_EQ(restored.size(), masked.size() + 24);
    EXPECT_EQ(restored.compare(0, stem.size() + 10, stem + "_decmosic_"), 0) << restored;
    EXPECT_EQ(restored.find_first_not_of("0123456789", stem.size() + 10), stem.size() + 24) << restored;
    EXPECT_EQ(restored.substr(stem.size() + 24), masked.substr(stem.size()));
    auto after = list_dir(dir);
    after.erase(std::find(after.begin(), after.end(), restored.substr(dir.size() + 1)));
    EXPECT_EQ(after, before);

    // Same codec as the input, the audio kept; every picture that is not an IDR picture comes
    // back at its own time. AVI stores a time as a position: the first restored picture, which
    // follows a withheld IDR picture, is read back at 0 whatever gap lies before it.
    streams = testsupport::probe_streams(restored);
    ASSERT_FALSE(streams.empty());
    EXPECT_EQ(std::make_pair(streams[0].type, streams[0].codec_id),
              std::make_pair(AVMEDIA_TYPE_VIDEO, static_cast<int>(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264)));
    EXPECT_EQ(testsupport::count_streams(restored, AVMEDIA_TYPE_AUDIO), c.audio ? 1 : 0);
    const bool avi = c.file.find(".avi") != std::string::npos || c.file.find(".AVI") != std::string::npos;
    // The masked region shows the unmasked picture again, close to what mosaic hid.
    std::vector<luma_frame> reference;
    ASSERT_TRUE(testsupport::decode_video(unmasked, &reference));
    ASSERT_EQ(reference.size(), static_cast<size_t>(c.frames));
    // Where the machine has the cores, each group was encoded by an encoder of its own (these
    // groups are far shorter than a chunk may be): every restored group opens with an IDR
    // picture. One encoder, as on one core, opens only the first. All chunks carry the same
    // parameter sets, byte for byte, so that they make one stream.
    const auto check = [&](const std::string& path, bool chunks) {
        std::vector<luma_frame> got;
        std::vector<testsupport::video_packet> coded;
        ASSERT_TRUE(testsupport::decode_video(path, &got) && testsupport::read_video_packets(path, &coded));
        ASSERT_EQ(got.size(), hidden_times.size());
        ASSERT_EQ(coded.size(), hidden.size());
        std::map<uint8_t, std::vector<uint8_t>> sets;
        for (size_t i = 0; i < coded.size(); ++i) {
            EXPECT_EQ(coded[i].key, i == 0 || (chunks && hidden[i] % c.gop == 1)) << path << " packet " << i;
            for (const auto& set : testsupport::parameter_sets(coded[i].data, hevc)) {
                const auto known = sets.emplace(set[0], set).first;
                EXPECT_EQ(known->second, set) << path << " packet " << i;
            }
        }
        EXPECT_EQ(sets.size(), hevc ? 3u : 2u);
        EXPECT_LE(got[0].seconds, hidden_times[0] + 1e-3);
        double worst = 99;
        for (size_t i = 0; i < got.size(); ++i) {
            if (i > 0 || !avi) {
                EXPECT_NEAR(got[i].seconds, hidden_times[i], 1e-3) << i;
            }
            ASSERT_EQ(std::make_pair(got[i].width, got[i].height), std::make_pair(width, height));
            worst = std::min(worst, testsupport::luma_psnr(got[i], reference[hidden[i]], c.masked));
        }
        EXPECT_GE(worst, 35.0) << "worst masked-region luma PSNR against the hidden picture";
        std::printf("%s: worst masked-region luma PSNR %.2f dB over %zu pictures\n", path.c_str(), worst, got.size());
    };
    const int64_t picture_bytes = int64_t{width} * height * 3 / 2;
    check(restored, plan_chunks(usable_cores(), hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264, picture_bytes).instances > 1);
    if (!c.one_core_too) return;
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof(allowed), &allowed), 0);
    int cpu = 0;
    while (!CPU_ISSET(cpu, &allowed)) ++cpu;
    const std::string alone = testsupport::scratch_dir(std::string("restore_one_core_") + c.name);
    ASSERT_EQ(run({"cp", masked, alone + "/in" + c.file.substr(c.file.rfind('.'))}).exit_code, 0);
    const auto one_core = run({"taskset", "-c", std::to_string(cpu), DEMOSAIC_BIN, alone + "/in" + c.file.substr(c.file.rfind('.')), k_key});
    ASSERT_EQ(one_core.exit_code, 0) << one_core.out;
    EXPECT_EQ(last_line(one_core.out), k_success_line);
    ASSERT_EQ(testsupport::restored_files(alone).size(), 1u);
    check(testsupport::restored_files(alone)[0], false);
}

const std::vector<std::string> k_x264 = {"-c:v", "libx264", "-qp", "0", "-pix_fmt", "yuv420p"};

INSTANTIATE_TEST_SUITE_P(
    MaskedClips, Restore,
    ::testing::Values(
        restore_case{"h264_mp4_audio", "h264", "Street Cam 1.mp4", {"--region", "40,30,80,60"},
                     160, 120, 20, 5, true, k_x264, {40, 30, 80, 60}, {0, 96, 160, 24}, "", true},
        restore_case{"hevc_mp4_silent", "hevc", "\xC3\x9C" "berwachung Stra\xC3\x9F" "e.MP4", {"--region", "40,30,80,60"},
                     160, 120, 15, 5, false, k_x264, {40, 30, 80, 60}, {0, 96, 160, 24}, ""},
        restore_case{"h264_avi_unversioned_partial", "h264", "CAPS clip.avi",
                     {"--unversioned", "--encrypt-bytes", "64", "--region", "40,30,80,60"},
                     160, 120, 15, 5, true, k_x264, {40, 30, 80, 60}, {0, 96, 160, 24}, ""},
        // HEVC in AVI, only the first 40 bytes encrypted, two regions.
        restore_case{"hevc_avi_partial_two_regions", "hevc", "Kamera \xE6\x91\x84\xE5\x83\x8F.AVI",
                     {"--encrypt-bytes", "40", "--region", "2,2,100,30", "--region", "112,56,24,24", "--block", "12"},
                     160, 96, 16, 8, true, k_x264, {2, 2, 100, 30}, {0, 82, 160, 14}, "", true},
        // From 10-bit 4:4:4 FFV1 at an odd size (padded to 100x62), the default centred region.
        restore_case{"hevc_mp4_odd_size_10bit", "hevc", "odd.mp4", {"--unversioned", "--block", "24"}, 100, 62, 12, 5,
                     false, {"-vf", "scale=99:61", "-c:v", "ffv1", "-pix_fmt", "yuv444p10le"}, {33, 20, 33, 20}, {0, 0, 99, 16}, ""},
        // Unversioned with one encrypted byte: the plain rest would begin inside a start code,
        // so mosaic encrypts up to the last 00 00 0x bytes of each picture and says so.
        restore_case{"h264_mp4_unversioned_one_byte", "h264", "plain.mp4",
                     {"--unversioned", "--encrypt-bytes", "1", "--region", "0,0,64,20"},
                     96, 64, 8, 4, false, k_x264, {0, 0, 64, 20}, {0, 32, 96, 32},
                     "6 of 6 hidden pictures had more than --encrypt-bytes encrypted"}),
    [](const ::testing::TestParamInfo<restore_case>& info) { return std::string(info.param.name); });

// Inputs demosaic must refuse: the code and message of the result line, the exit status,
// and no file written anywhere in the folder.
TEST(RestoreRefuses, WrongKeyMissingFileOtherContainerPlainAndOldVideo) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("restore_refused");
    std::string masked, unmasked;
    std::vector<luma_frame> source;
    ASSERT_NO_FATAL_FAILURE(make_masked(dir, {"refused", "h264", "masked.mp4", {}, 64, 48, 8, 4, true, k_x264, {}, {}, ""},
                                        &masked, &unmasked, &source));
    ASSERT_TRUE(testsupport::make_clip(dir + "/plain.mp4", "libx264", 64, 48, 10, 25, "aac"));
    ASSERT_TRUE(testsupport::make_clip(dir + "/old.avi", "mpeg4", 64, 48, 10, 25));
    ASSERT_TRUE(testsupport::make_clip(dir + "/other.mkv", "libx264", 64, 48, 10, 25));
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        {masked, "not the key", 2, "The privacy key is incorrect"},
        {dir + "/absent.mp4", k_key, 3, "Open input file Error"},
        {dir + "/other.mkv", k_key, 4, "Open output file Error"},
        {dir + "/plain.mp4", k_key, 5, "video stream format Error"},
        {dir + "/old.avi", k_key, 5, "video stream format Error"},
    };
    const auto before = list_dir(dir);
    for (const auto& [input, key, code, message] : cases) {
        SCOPED_TRACE(input);
        const auto result = run({DEMOSAIC_BIN, input, key});
        EXPECT_EQ(result.exit_code, code);
        EXPECT_EQ(last_line(result.out), "mosaic_ResultCode=" + std::to_string(code) + ";mosaic_errStr=" + message + ";");
        EXPECT_NE(result.out.find("mosaic process end"), std::string::npos);
        EXPECT_EQ(list_dir(dir), before);
    }
}

// What a run tells about damaged inputs, in both modes: the counts line (pictures found,
// restored, dropped, damaged, and why), code 0 while at least half of the hidden pictures come
// back intact and code 5 (no output) when fewer do, code 2 for a wrong key as ever, and where
// a cut input ends. The input: 20 pictures in groups of 5 (key pictures 0, 5, 10, 15), edited
// packet by packet: T flips a bit of the privacy message's tag, S takes the privacy SEI out.
TEST(RestoreReports, LossesAreCountedAndMostlyLostInputsFail) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
    const std::string dir = testsupport::scratch_dir("restore_reports"), masked = dir + "/masked.avi";
    ASSERT_TRUE(testsupport::make_masked(masked, k_key, 64, 48, 20, "", {"--gop", "5"}));
    const auto edited = [&](const std::string& name, const std::string& plan) {
        const std::string path = testsupport::scratch_dir("restore_reports_" + name) + "/in.avi";
        EXPECT_TRUE(testsupport::rewrite_video_packets(masked, path, [&](int n, bytes* data) {
            std::vector<testsupport::packet_nal> nals;
            if (n >= static_cast<int>(plan.size()) || plan[n] == '.' || !testsupport::split_packet(*data, true, &nals)) return true;
            for (size_t i = 0; i < nals.size(); ++i) {
                bytes& nal = nals[i].bytes;
                if (nal.size() < 80 || nal[0] != 0x06 || nal[1] != 0x99) continue;
                if (plan[n] == 'S') {
                    nals.erase(nals.begin() + static_cast<long>(i));
                    break;
                }
                // Payload behind one size byte or more, then "ver-...", its zero byte, salt, nonce: the tag.
                size_t at = 2;
                while (nal[at] == 0xFF) ++at;
                nal[std::find(nal.begin() + static_cast<long>(at), nal.end(), 0) - nal.begin() + 1 + 28] ^= 1;
                break;
            }
            *data = testsupport::join_packet(nals, true);
            return true;
        }));
        return path;
    };
    bytes cut = testsupport::read_bytes(masked);
    cut.resize(cut.size() * 6 / 10);
    const std::string truncated = testsupport::scratch_dir("restore_reports_cut") + "/in.avi";
    ASSERT_TRUE(testsupport::write_bytes(truncated, cut));
    const std::tuple<std::string, std::string, int, std::string, std::string> rows[] = {
        {edited("none", ""), k_key, 0, "16 found, 16 restored, 0 dropped, 0 damaged", ""},
        {edited("damaged", ".......T"), k_key, 0,
         "16 found, 13 restored, 3 dropped, 0 damaged (1 privacy message damaged, 2 hidden pictures left out without "
         "their reference)", "the hidden picture at 0.280 s is left out: its privacy message is damaged"},
        {edited("missing", ".......S"), k_key, 0,
         "15 found, 13 restored, 2 dropped, 0 damaged (1 picture without a privacy message, 2 hidden pictures left "
         "out without their reference)", "the picture at 0.280 s carries no privacy message"},
        {edited("mostly", "..TTT.TTTT.TTTT.TTTT"), k_key, 5,
         "16 found, 1 restored, 15 dropped, 0 damaged (4 privacy messages damaged, 11 hidden pictures left out "
         "without their reference)", "only 1 of the 16 hidden pictures found were restored intact"},
        {truncated, k_key, 0, "", "the input ends early: its video stops at "},
        {masked, "not the key", 2, "1 found, 0 restored, 1 dropped, 0 damaged", "decrypt_sei_frame failed"}};
    for (const auto& [input, key, code, counts, line] : rows) {
        for (const bool copy : {false, true}) {
            SCOPED_TRACE(input + (copy ? " --copy" : ""));
            const std::string output = input.substr(0, input.rfind('/')) + (copy ? "/copied.avi" : "/restored.avi");
            std::vector<std::string> argv = {DEMOSAIC_BIN, input, key, "-o", output};
            if (copy) argv.push_back("--copy");
            const auto r = run(argv);
            EXPECT_EQ(r.exit_code, code) << r.out;
            const size_t at = r.out.find("hidden pictures: ");
            ASSERT_NE(at, std::string::npos) << r.out;
            const std::string got = r.out.substr(at + 17, r.out.find("\033[0;39m", at) - at - 17);
            if (!counts.empty()) {
                EXPECT_EQ(got, counts);
            }
            EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
            EXPECT_EQ(testsupport::file_exists(output), code == 0);
        }
    }
}
