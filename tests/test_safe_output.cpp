// Real clips in, safe files out, end to end with the real programs: clips with audio that MP4
// or AVI cannot hold are masked by mosaic and restored by demosaic with that audio present
// and starting with the video; AVI pictures sit at their own index; a restore never touches
// an existing file (two runs at once get two files), keeps the input's permissions, tags and
// rotation; and an MP4 whose pictures have no duration still restores. Media is made by
// ffmpeg at test time; only outcomes are checked, never which codecs a given FFmpeg refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <map>
#include <thread>

#include "common/ffHolders.h"
#include "common/streamMetadata.h"
#include "tests/support/media.h"
#include "tests/support/process.h"
#include "tests/support/remux.h"

using testsupport::run;

namespace {

struct stream_view {
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    double first = 1e9;                 // earliest packet time, seconds
    std::vector<int64_t> dts;           // in the stream's time base
    std::map<std::string, std::string> tags;
    std::vector<int32_t> matrix;        // display matrix, empty when none
};

// The streams of a file with their first packet time, dts list, tags and rotation; "" holds
// the container's tags.
std::vector<stream_view> look_inside(const std::string& path, std::map<std::string, std::string>* container) {
    std::vector<stream_view> streams;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return streams;
    ff::input_context_ptr input(raw);
    avformat_find_stream_info(raw, nullptr);
    const auto tags_of = [](const AVDictionary* d, std::map<std::string, std::string>* out) {
        for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(d, "", e, AV_DICT_IGNORE_SUFFIX));) (*out)[e->key] = e->value;
    };
    if (container != nullptr) tags_of(raw->metadata, container);
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
        streams.emplace_back();
        streams.back().type = raw->streams[i]->codecpar->codec_type;
        tags_of(raw->streams[i]->metadata, &streams.back().tags);
        if (const int32_t* m = ff::display_matrix_of(raw->streams[i])) streams.back().matrix.assign(m, m + 9);
    }
    ff::packet_ptr p = ff::make_packet();
    for (; av_read_frame(raw, p.get()) >= 0; av_packet_unref(p.get())) {
        stream_view& s = streams[p->stream_index];
        const int64_t t = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        if (t != AV_NOPTS_VALUE) s.first = std::min(s.first, t * av_q2d(raw->streams[p->stream_index]->time_base));
        s.dts.push_back(p->dts);
    }
    return streams;
}

const stream_view* first_of(const std::vector<stream_view>& streams, AVMediaType type) {
    for (const stream_view& s : streams)
        if (s.type == type) return &s;
    return nullptr;
}

// The one restored file demosaic wrote beside input (names ending in the extension).
std::vector<std::string> restored_beside(const std::string& dir, const std::string& stem) {
    std::vector<std::string> found;
    for (const std::string& name : testsupport::list_dir(dir))
        if (name.rfind(stem + "_decmosic_", 0) == 0) found.push_back(dir + "/" + name);
    return found;
}

std::string dated_name(const std::string& dir, const std::string& stem, time_t when, const char* ext) {
    char stamp[32] = {0};
    struct tm local {};
    localtime_r(&when, &local);
    strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &local);
    return dir + "/" + stem + "_decmosic_" + stamp + ext;
}

// One second of 64x48 video at 12 fps with a tone, audio and extra ffmpeg options as given.
bool make_clip(const std::string& path, const std::string& audio, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> a = {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=64x48:rate=12:duration=1",
                                  "-f", "lavfi", "-i", "sine=sample_rate=48000:duration=1", "-c:v", "libx264", "-c:a", audio};
    a.insert(a.end(), extra.begin(), extra.end());
    a.push_back(path);
    return run(a).exit_code == 0;
}

class SafeOutput : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        dir = testsupport::scratch_dir(std::string("safe_") + testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    std::string dir;
};

}  // namespace

TEST_F(SafeOutput, AudioOfEveryKindSurvivesMaskAndRestoreInSyncAndAviPicturesKeepTheirIndex) {
    const double frame = 1.0 / 12;
    struct clip { std::string audio, source; std::vector<std::string> extra; };
    // The last row starts its video a frame late (B-frames, no edit list), which once left an
    // empty AVI slot after mosaic's first picture.
    const clip clips[] = {{"flac", "mkv", {}}, {"pcm_s16le", "mkv", {}}, {"pcm_alaw", "mkv", {}}, {"libopus", "mkv", {}},
                          {"aac", "mp4", {"-bf", "2", "-use_editlist", "0"}}};
    for (const clip& c : clips) {
        const std::string source = dir + "/" + c.audio + "." + c.source;
        ASSERT_TRUE(make_clip(source, c.audio, c.extra)) << c.audio;
        for (const std::string ext : {".mp4", ".avi"}) {
            SCOPED_TRACE(c.audio + ext);
            const std::string stem = c.audio + "_" + ext.substr(1), masked = dir + "/" + stem + ext;
            const auto m = run({MOSAIC_BIN, source, "k", "--preset", "ultrafast", "-o", masked});
            ASSERT_EQ(m.exit_code, 0) << m.err;
            const auto d = run({DEMOSAIC_BIN, masked, "k"});
            ASSERT_EQ(d.exit_code, 0) << d.out;
            const auto restored = restored_beside(dir, stem);
            ASSERT_EQ(restored.size(), 1u);
            std::vector<testsupport::luma_frame> pictures;
            EXPECT_TRUE(testsupport::decode_video(restored[0], &pictures));
            EXPECT_EQ(pictures.size(), 11u);  // every picture but the first, which stays masked

            const auto in = look_inside(masked, nullptr), out = look_inside(restored[0], nullptr);
            const stream_view *video = first_of(out, AVMEDIA_TYPE_VIDEO), *audio = first_of(out, AVMEDIA_TYPE_AUDIO);
            ASSERT_TRUE(video && audio && first_of(in, AVMEDIA_TYPE_AUDIO));
            EXPECT_GT(audio->dts.size(), 10u);
            // The restored video starts with the masked clip's second picture, one frame later
            // against the audio than the masked video (AAC priming may move audio by 21 ms).
            const double lead = first_of(in, AVMEDIA_TYPE_VIDEO)->first - first_of(in, AVMEDIA_TYPE_AUDIO)->first;
            EXPECT_NEAR(video->first - audio->first - lead, frame, 0.03);
            if (ext == std::string(".avi")) {
                // In AVI a picture's time is its chunk index: mosaic's run 0..11 without a gap,
                // the restored ones sit where they were, the first one included.
                const auto& masked_dts = first_of(in, AVMEDIA_TYPE_VIDEO)->dts;
                std::vector<int64_t> expected(12);
                for (int i = 0; i < 12; ++i) expected[i] = i;
                EXPECT_EQ(masked_dts, expected);
                expected.erase(expected.begin());
                EXPECT_EQ(video->dts, expected);
            }
        }
    }
}

TEST_F(SafeOutput, RestoresNeverTouchExistingFilesAndKeepPermissionsTagsAndRotation) {
    const std::string source = dir + "/src.mp4", tagged = dir + "/tagged.mp4", masked = dir + "/street.mp4";
    ASSERT_TRUE(make_clip(source, "aac"));
    // Rotation: newer ffmpeg takes -display_rotation, older ones the "rotate" tag.
    const std::vector<std::string> tags = {"-metadata", "title=Street", "-metadata", "creation_time=2024-05-01T10:00:00Z",
                                           "-metadata", "location=+48.8577+002.2950/", "-metadata:s:a", "language=fra"};
    std::vector<std::string> remux = {"ffmpeg", "-v", "error", "-y", "-display_rotation:v:0", "90", "-i", source, "-c", "copy"};
    remux.insert(remux.end(), tags.begin(), tags.end());
    if (run(remux).exit_code != 0 || !testsupport::file_exists(tagged)) {
        remux = {"ffmpeg", "-v", "error", "-y", "-i", source, "-c", "copy", "-metadata:s:v:0", "rotate=90"};
        remux.insert(remux.end(), tags.begin(), tags.end());
    }
    remux.push_back(tagged);
    ASSERT_EQ(run(remux).exit_code, 0);
    ASSERT_EQ(run({MOSAIC_BIN, tagged, "k", "--preset", "ultrafast", "-o", masked}).exit_code, 0);
    ASSERT_EQ(chmod(masked.c_str(), 0600), 0);
    std::map<std::string, std::string> expected_tags;
    const auto in = look_inside(masked, &expected_tags);
    ASSERT_FALSE(first_of(in, AVMEDIA_TYPE_VIDEO)->matrix.empty());

    // The names of this second and the next are taken by files that must survive.
    const time_t now = time(nullptr);
    const std::vector<std::string> taken = {dated_name(dir, "street", now, ".mp4"), dated_name(dir, "street", now + 1, ".mp4")};
    for (const std::string& name : taken) std::ofstream(name) << "keep me";
    testsupport::run_result results[2];
    std::thread other([&] { results[1] = run({DEMOSAIC_BIN, masked, "k"}); });
    results[0] = run({DEMOSAIC_BIN, masked, "k"});
    other.join();
    for (const auto& r : results) EXPECT_EQ(r.exit_code, 0) << r.out;
    for (const std::string& name : taken) EXPECT_EQ(testsupport::read_bytes(name).size(), 7u) << name;

    const auto restored = restored_beside(dir, "street");
    ASSERT_EQ(restored.size(), 4u);  // two kept, two new
    for (const std::string& path : restored) {
        if (path == taken[0] || path == taken[1]) continue;
        SCOPED_TRACE(path);
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        std::map<std::string, std::string> container;
        const auto out = look_inside(path, &container);
        EXPECT_EQ(container["major_brand"], "isom");
        for (const char* key : {"creation_time", "title", "location"}) EXPECT_EQ(container[key], expected_tags[key]) << key;
        EXPECT_EQ(first_of(out, AVMEDIA_TYPE_AUDIO)->tags.at("language"), "fra");
        EXPECT_EQ(first_of(out, AVMEDIA_TYPE_VIDEO)->matrix, first_of(in, AVMEDIA_TYPE_VIDEO)->matrix);
        std::vector<testsupport::luma_frame> pictures;
        EXPECT_TRUE(testsupport::decode_video(path, &pictures));
        EXPECT_EQ(pictures.size(), 11u);
    }
}

TEST_F(SafeOutput, AnMp4WhosePicturesHaveNoDurationRestoresWithIncreasingTimes) {
    const std::string source = dir + "/src.mkv", masked = dir + "/flat.mp4", flat = dir + "/zero.mp4";
    ASSERT_TRUE(make_clip(source, "flac", {"-an"}));
    ASSERT_EQ(run({MOSAIC_BIN, source, "k", "--preset", "ultrafast", "-o", masked}).exit_code, 0);
    // Every sample delta of the video track's time-to-sample table (the only track) set to 0.
    std::vector<uint8_t> bytes = testsupport::read_bytes(masked);
    const std::string box = "stts";
    const auto at = std::search(bytes.begin(), bytes.end(), box.begin(), box.end()) - bytes.begin();
    ASSERT_LT(static_cast<size_t>(at), bytes.size());
    const uint32_t entries = bytes[at + 8] << 24 | bytes[at + 9] << 16 | bytes[at + 10] << 8 | bytes[at + 11];
    for (uint32_t e = 0; e < entries; ++e) std::fill_n(bytes.begin() + at + 12 + 8 * e + 4, 4, 0);
    ASSERT_TRUE(testsupport::write_bytes(flat, bytes));

    const auto d = run({DEMOSAIC_BIN, flat, "k"});
    ASSERT_EQ(d.exit_code, 0) << d.out;
    const auto restored = restored_beside(dir, "zero");
    ASSERT_EQ(restored.size(), 1u);
    const auto& dts = first_of(look_inside(restored[0], nullptr), AVMEDIA_TYPE_VIDEO)->dts;
    ASSERT_EQ(dts.size(), 11u);
    for (size_t i = 1; i < dts.size(); ++i) EXPECT_GT(dts[i], dts[i - 1]) << i;
}
