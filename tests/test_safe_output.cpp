// Real clips in, safe files out, end to end with the real programs: clips with audio that MP4
// or AVI cannot hold are masked by mosaic and restored by demosaic with that audio present
// and starting with the video; AVI pictures sit at their own index; a restore never touches
// an existing file (two runs at once get two files), keeps the input's permissions, tags and
// rotation, and is never readable by a group the input was not; and an MP4 whose pictures have
// no duration still restores. Media is made by
// ffmpeg at test time; only outcomes are checked, never which codecs a given FFmpeg refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <thread>

#include "common/ffHolders.h"
#include "common/streamMetadata.h"
#include "demux/mediaDemuxer.h"
#include "tests/support/media.h"
#include "tests/support/process.h"
#include "tests/support/remux.h"

using testsupport::run;

namespace {

struct stream_view {
    double first = 1e9;        // earliest packet time, seconds
    std::vector<int64_t> dts;  // in the stream's time base
    std::map<std::string, std::string> tags;
    std::vector<int32_t> matrix;  // display matrix, empty when none
};

// The streams of a file (video 0 and audio 1 in everything both tools write), then one more
// entry holding the container's tags.
std::vector<stream_view> look_inside(const std::string& path) {
    std::vector<stream_view> streams;
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return streams;
    ff::input_context_ptr input(raw);
    streams.resize(raw->nb_streams + 1);
    for (unsigned i = 0; i <= raw->nb_streams; ++i) {
        const AVDictionary* tags = i < raw->nb_streams ? raw->streams[i]->metadata : raw->metadata;
        for (const AVDictionaryEntry* e = nullptr; (e = av_dict_get(tags, "", e, AV_DICT_IGNORE_SUFFIX));) streams[i].tags[e->key] = e->value;
        if (const int32_t* m = i < raw->nb_streams ? ff::display_matrix_of(raw->streams[i]) : nullptr) streams[i].matrix.assign(m, m + 9);
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

// The files named like restored outputs of stem in dir.
std::vector<std::string> restored_beside(const std::string& dir, const std::string& stem) {
    std::vector<std::string> found;
    for (const std::string& name : testsupport::list_dir(dir))
        if (name.rfind(stem + "_decmosic_", 0) == 0) found.push_back(dir + "/" + name);
    return found;
}

// One second of 64x48 video at 12 fps with a tone in the given audio codec.
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
        dir = testsupport::test_scratch_dir("safe_");
    }
    std::string dir;
};

}  // namespace

TEST_F(SafeOutput, AudioOfEveryKindSurvivesMaskAndRestoreInSyncAndAviPicturesKeepTheirIndex) {
    struct clip { std::string audio, source; std::vector<std::string> extra; };
    // The last row starts its video two frames late (B-frames, no edit list), which once left
    // empty AVI slots after mosaic's first picture.
    const clip clips[] = {{"flac", "mkv", {}}, {"pcm_s16le", "mkv", {}}, {"pcm_alaw", "mkv", {}}, {"libopus", "mkv", {}},
                          {"aac", "mp4", {"-bf", "2", "-use_editlist", "0"}}};
    for (const clip& c : clips) {
        const std::string source = dir + "/" + c.audio + "." + c.source;
        ASSERT_TRUE(make_clip(source, c.audio, c.extra)) << c.audio;
        for (const std::string ext : {".mp4", ".avi"}) {
            SCOPED_TRACE(c.audio + ext);
            const std::string stem = c.audio + "_" + ext.substr(1), masked = dir + "/" + stem + ext;
            ASSERT_EQ(run({MOSAIC_BIN, source, "k", "--preset", "ultrafast", "-o", masked}).exit_code, 0);
            ASSERT_EQ(run({DEMOSAIC_BIN, masked, "k"}).exit_code, 0);
            const auto restored = restored_beside(dir, stem);
            ASSERT_EQ(restored.size(), 1u);
            std::vector<testsupport::luma_frame> pictures;
            EXPECT_TRUE(testsupport::decode_video(restored[0], &pictures));
            EXPECT_EQ(pictures.size(), 11u);  // every picture but the first, which stays masked
            const auto in = look_inside(masked), out = look_inside(restored[0]);
            ASSERT_TRUE(in.size() == 3 && out.size() == 3);
            EXPECT_GT(out[1].dts.size(), 10u);
            // The restored video starts with the masked clip's second picture, one frame later
            // against the audio than the masked video (AAC priming may move audio by 21 ms).
            EXPECT_NEAR((out[0].first - out[1].first) - (in[0].first - in[1].first), 1.0 / 12, 0.03);
            if (ext == std::string(".avi")) {
                // In AVI a picture's time is its chunk index: mosaic's run 0..11 without a gap,
                // the restored ones sit where they were, the first one included.
                std::vector<int64_t> expected(12);
                for (int i = 0; i < 12; ++i) expected[i] = i;
                EXPECT_EQ(in[0].dts, expected);
                EXPECT_EQ(out[0].dts, std::vector<int64_t>(expected.begin() + 1, expected.end()));
            }
        }
    }
}

TEST_F(SafeOutput, RestoresNeverTouchExistingFilesAndKeepPermissionsTagsAndRotation) {
    const std::string source = dir + "/src.mp4", tagged = dir + "/tagged.mp4", masked = dir + "/street.mp4";
    ASSERT_TRUE(make_clip(source, "aac"));
    // Rotation: newer ffmpeg takes -display_rotation, older ones the "rotate" tag.
    const std::vector<std::string> tags = {"-metadata", "title=Street", "-metadata", "creation_time=2024-05-01T10:00:00Z",
                                           "-metadata", "location=+48.8577+002.2950/", "-metadata:s:a", "language=fra", tagged};
    std::vector<std::string> remux = {"ffmpeg", "-v", "error", "-y", "-display_rotation:v:0", "90", "-i", source, "-c", "copy"};
    remux.insert(remux.end(), tags.begin(), tags.end());
    if (run(remux).exit_code != 0) {
        remux = {"ffmpeg", "-v", "error", "-y", "-i", source, "-c", "copy", "-metadata:s:v:0", "rotate=90"};
        remux.insert(remux.end(), tags.begin(), tags.end());
        ASSERT_EQ(run(remux).exit_code, 0);
    }
    ASSERT_EQ(run({MOSAIC_BIN, tagged, "k", "--preset", "ultrafast", "-o", masked}).exit_code, 0);
    ASSERT_EQ(chmod(masked.c_str(), 0600), 0);
    const auto in = look_inside(masked);
    ASSERT_FALSE(in.at(0).matrix.empty());

    // This second's name is taken by a file that must survive; two runs started together
    // then both wait for later names, and get different ones.
    const std::string taken = mediaDemuxer::build_output_path(masked.c_str());
    ASSERT_TRUE(testsupport::write_bytes(taken, {'k', 'e', 'e', 'p'}));
    int codes[2] = {-1, -1};
    std::thread other([&] { codes[1] = run({DEMOSAIC_BIN, masked, "k"}).exit_code; });
    codes[0] = run({DEMOSAIC_BIN, masked, "k"}).exit_code;
    other.join();
    EXPECT_TRUE(codes[0] == 0 && codes[1] == 0);
    EXPECT_EQ(testsupport::read_bytes(taken).size(), 4u);
    const auto restored = restored_beside(dir, "street");
    ASSERT_EQ(restored.size(), 3u);  // one kept, two new
    for (const std::string& path : restored) {
        if (path == taken) continue;
        SCOPED_TRACE(path);
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        auto out = look_inside(path);
        EXPECT_EQ(out.at(2).tags["major_brand"], "isom");
        for (const char* key : {"creation_time", "title", "location"}) EXPECT_EQ(out[2].tags[key], in.at(2).tags.at(key)) << key;
        EXPECT_EQ(out[1].tags["language"], "fra");
        EXPECT_EQ(out[0].matrix, in[0].matrix);
    }

    // An MP4 whose pictures have no duration (every delta of the video's time-to-sample
    // table, the first in the file, set to 0) restores with strictly increasing times.
    std::vector<uint8_t> bytes = testsupport::read_bytes(masked);
    const size_t at = std::string(bytes.begin(), bytes.end()).find("stts");
    for (uint32_t e = 0, n = bytes.at(at + 11); e < n; ++e) std::fill_n(bytes.begin() + at + 16 + 8 * e, 4, 0);
    ASSERT_TRUE(testsupport::write_bytes(dir + "/flat.mp4", bytes));
    EXPECT_EQ(run({DEMOSAIC_BIN, dir + "/flat.mp4", "k"}).exit_code, 0);
    const auto flat = restored_beside(dir, "flat");
    const auto dts = flat.size() == 1 ? look_inside(flat[0]).at(0).dts : std::vector<int64_t>();
    ASSERT_EQ(dts.size(), 11u);
    for (size_t i = 1; i < dts.size(); ++i) EXPECT_GT(dts[i], dts[i - 1]) << i;
}

// Who may read the restored file, and mosaic's unmasked stream: never a group that could not
// read the input, whatever the folder's setgid bit or the umask, and only the user when the
// input is someone else's. The runs are made as other users (setpriv, numeric ids that need no
// account) by root, who can also give files any owner and group.
TEST_F(SafeOutput, RestoredFilesAreNeverReadableByAGroupTheInputWasNot) {
    if (geteuid() != 0 || run({"sh", "-c", "command -v setpriv"}).exit_code != 0) GTEST_SKIP() << "needs root and setpriv";
    // (A build inside a folder only root may enter, such as /root, is out of other users' reach.)
    if (run({"setpriv", "--reuid=4000", "--regid=4000", "--clear-groups", "--", "sh", "-c",
             "test -x '" DEMOSAIC_BIN "' && cd '" + dir + "'"}).exit_code != 0)
        GTEST_SKIP() << "other users cannot reach the build folder";
    const std::string source = dir + "/src.mp4", masked = dir + "/masked.mp4";
    ASSERT_TRUE(make_clip(source, "aac"));
    ASSERT_EQ(run({MOSAIC_BIN, source, "k", "--preset", "ultrafast", "-o", masked}).exit_code, 0);
    const uid_t user = 4000, other = 4001;
    const gid_t group = 4242, folder_group = 5555, any = static_cast<gid_t>(-1);
    struct row {
        const char* name;
        uid_t runner;
        const char* groups;  // the runner's supplementary groups
        mode_t folder_mode;
        uid_t folder_owner;
        gid_t folder_gid;
        uid_t input_owner;
        gid_t input_gid;
        mode_t input_mode;
        const char* umask;
        gid_t group;  // the output's (any: not the input's, so no group bits)
        mode_t mode;
    };
    const row rows[] = {
        {"root", 0, "", 0755, 0, 0, 0, group, 0640, "022", group, 0640},
        {"member", user, "4242", 0755, user, user, user, group, 0640, "022", group, 0640},
        {"outsider", user, "", 0755, user, user, user, group, 0640, "022", any, 0600},
        {"setgid-member", user, "4242", 02775, user, folder_group, user, group, 0640, "022", group, 0640},
        {"setgid-outsider", user, "", 02775, user, folder_group, user, group, 0640, "022", any, 0600},
        // Someone else's world-writable file in a shared sticky folder, under umask 002.
        {"sticky", user, "", 01777, 0, 0, other, other, 0666, "002", any, 0600},
        // mosaic --dump-unmasked, from a source in the input's group.
        {"dump", 0, "", 0755, 0, 0, 0, group, 0640, "022", group, 0640},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const bool dump_row = std::string(r.name) == "dump";
        const std::string folder = dir + "/" + r.name, input = folder + "/in.mp4", dump = folder + "/unmasked.264";
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        ASSERT_TRUE(chown(folder.c_str(), r.folder_owner, r.folder_gid) == 0 && chmod(folder.c_str(), r.folder_mode) == 0);
        ASSERT_TRUE(testsupport::write_bytes(input, testsupport::read_bytes(dump_row ? source : masked)));
        ASSERT_TRUE(chown(input.c_str(), r.input_owner, r.input_gid) == 0 && chmod(input.c_str(), r.input_mode) == 0);
        const std::string program = dump_row
            ? "'" MOSAIC_BIN "' '" + input + "' k --preset ultrafast -o '" + folder + "/out.mp4' --dump-unmasked '" + dump + "'"
            : "'" DEMOSAIC_BIN "' '" + input + "' k";
        const std::string ids = std::to_string(r.runner), groups = *r.groups ? std::string("--groups=") + r.groups : "--clear-groups";
        ASSERT_EQ(run({"setpriv", "--reuid=" + ids, "--regid=" + ids, groups, "--", "sh", "-c",
                       std::string("umask ") + r.umask + "; exec " + program}).exit_code, 0);
        const auto made = dump_row ? std::vector<std::string>{dump} : restored_beside(folder, "in");
        ASSERT_EQ(made.size(), 1u);
        struct stat info {};
        ASSERT_EQ(stat(made[0].c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, r.mode);
        EXPECT_TRUE(r.group == any || info.st_gid == r.group) << info.st_gid;
        EXPECT_TRUE(info.st_gid == r.input_gid || (info.st_mode & 070) == 0) << "readable by a group the input was not in";
    }
}
