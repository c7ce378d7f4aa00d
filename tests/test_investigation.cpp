// The investigator's options, run as the real program on clips mosaic makes at test time (it
// says how many pictures it hid): --info's counts and fields, --check's three answers, the
// pictures --from/--to restore (which ones, at what time, with how much audio), and --report's
// record, whose hashes are checked against sha256sum and whose counts against the decoded
// output. JSON is read back with Python's json module, not with the code that writes it; the
// key fingerprint is checked against a vector from Python's hashlib. Below them, tables for
// the pieces with a contract of their own: times, JSON strings, the input hashed as it is read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "common/json.h"
#include "demux/hashedInput.h"
#include "demux/inputFile.h"
#include "interface/restoreOptions.h"
#include "tests/support/media.h"
#include "tests/support/process.h"

namespace {

using testsupport::run;
using fields = std::map<std::string, std::string>;

const char k_key[] = "inv3stigator key";
// hashlib.pbkdf2_hmac("sha256", b"inv3stigator key", b"demosaic key fingerprint v1", 200000)[:16].hex()
const char k_key_fingerprint[] = "\"f15f405dc32f8e90d1d8728faea108fc\"";

// The fields of a JSON text, flattened ("video.width" = "96", strings quoted as JSON); empty
// when the text is not exactly one JSON value.
fields json_fields(const std::string& text) {
    static const char flatten[] =
        "import json, sys\n"
        "def walk(path, value):\n"
        "    if isinstance(value, dict):\n"
        "        for k, v in value.items(): walk(path + [k], v)\n"
        "    else: print('.'.join(path) + '=' + json.dumps(value, ensure_ascii=False))\n"
        "walk([], json.loads(sys.stdin.buffer.read().decode('utf-8')))\n";
    const auto r = run({"python3", "-c", flatten}, text);
    fields out;
    if (r.exit_code != 0) return out;
    std::stringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t equals = line.find('=');
        out[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return out;
}

std::string file_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string sha256sum(const std::string& path) { return "\"" + run({"sha256sum", path}).out.substr(0, 64) + "\""; }

// Presentation times of a stream's packets ("v" or "a"), in order of presentation.
std::vector<double> packet_times(const std::string& path, const char* stream) {
    const auto r = run({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", "packet=pts_time,dts_time",
                        "-of", "csv=p=0", path});
    std::vector<double> times;
    std::stringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const std::string first = line.substr(0, line.find(','));
        times.push_back(std::atof(first == "N/A" ? line.substr(line.find(',') + 1).c_str() : first.c_str()));
    }
    std::sort(times.begin(), times.end());
    return times;
}

struct masked_clip {
    std::string path;
    int pictures = 0, hidden = 0;
};

// A 5 s, 25 fps clip with AAC audio, masked with groups of 20 pictures: key pictures at 0,
// 0.8, 1.6, ... 4.8 s, every other picture hidden.
masked_clip make_masked_clip(const std::string& dir, const std::string& name, std::vector<std::string> options = {}) {
    masked_clip clip;
    const std::string source = dir + "/source.mp4";
    if (!testsupport::file_exists(source) &&
        !testsupport::make_clip(source, "libx264", 96, 64, 125, 25, "aac", "-preset ultrafast")) {
        return clip;
    }
    std::vector<std::string> argv = {MOSAIC_BIN, source, k_key, "-o", dir + "/" + name, "--gop", "20", "--preset",
                                     "ultrafast"};
    argv.insert(argv.end(), options.begin(), options.end());
    const auto r = run(argv);
    if (r.exit_code == 0 && std::sscanf(r.out.c_str() + r.out.find(" ("), " (%d pictures, %d hidden)", &clip.pictures,
                                        &clip.hidden) == 2) {
        clip.path = dir + "/" + name;
    }
    return clip;
}

class Investigation : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg not installed";
        dir_ = testsupport::test_scratch_dir("investigation_");
        clip_ = make_masked_clip(dir_, "masked.mp4");
        ASSERT_FALSE(clip_.path.empty());
        ASSERT_EQ(clip_.pictures, 125);
    }
    std::string dir_;
    masked_clip clip_;
};

}  // namespace

// --info: exactly one JSON object on standard output (no start-up line), its counts those of
// mosaic, its strings intact whatever bytes they hold, and the exit status its result code.
TEST_F(Investigation, InfoDescribesTheInputWithoutAKey) {
    const masked_clip avi = make_masked_clip(dir_, "masked.avi", {"--codec", "hevc", "--version-text", "ver-\"q\"\t\x01\xc3\xa9"});
    ASSERT_FALSE(avi.path.empty());
    const std::string odd = dir_ + "/odd \"name\"\n\xff.mp4";
    ASSERT_EQ(link(clip_.path.c_str(), odd.c_str()), 0);
    struct info_case {
        std::string input;
        fields expected;
    };
    const std::string hidden = std::to_string(clip_.hidden), keys = std::to_string(clip_.pictures - clip_.hidden);
    const std::vector<info_case> cases = {
        {clip_.path,
         {{"container", "\"mp4\""}, {"video.codec", "\"h264\""}, {"video.width", "96"},
          {"video.height", "64"}, {"video.frame_rate", "25"}, {"audio", "\"aac\""}, {"pictures", "125"},
          {"key_pictures", keys}, {"hidden_pictures", hidden}, {"version", "\"ver-mosaic-0.1\""},
          {"first_hidden", "0.04"}, {"last_hidden", "4.96"}, {"result.code", "0"},
          {"result.message", "\"The input was read\""}}},
        {avi.path,
         {{"container", "\"avi\""}, {"video.codec", "\"hevc\""}, {"pictures", "125"}, {"hidden_pictures", hidden},
          {"version", "\"ver-\\\"q\\\"\\\\t\\\\x01é\""}, {"first_hidden", "0.04"}}},
        {dir_ + "/source.mp4",
         {{"pictures", "125"}, {"hidden_pictures", "0"}, {"version", "null"}, {"first_hidden", "null"},
          {"result.code", "0"}}},
        {odd, {{"input", "\"" + dir_ + "/odd \\\"name\\\"\\n\xEF\xBF\xBD.mp4\""}, {"hidden_pictures", hidden}}},
        {dir_ + "/absent.mp4",
         {{"container", "null"}, {"pictures", "null"}, {"result.code", "3"},
          {"result.message", "\"Open input file Error\""}}},
    };
    for (const info_case& c : cases) {
        SCOPED_TRACE(c.input);
        const auto before = testsupport::list_dir(dir_);
        const auto r = run({DEMOSAIC_BIN, "--info", c.input});
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        const fields got = json_fields(r.out);
        ASSERT_FALSE(got.empty()) << r.out;
        for (const auto& [name, value] : c.expected) EXPECT_EQ(got.at(name), value) << name;
        EXPECT_EQ(std::to_string(r.exit_code), got.at("result.code"));
        EXPECT_EQ(testsupport::list_dir(dir_), before);
    }
}

// --check: the key decrypts the first privacy message (0, with its own message), does not (2),
// or there is none (5). Nothing is written, and the reading stops at that first message: the
// record counts the two pictures read.
TEST_F(Investigation, CheckTestsTheKeyOnTheFirstPrivacyMessage) {
    struct check_case {
        std::string input, key, stdin_text;
        int code;
        const char* message;
    };
    const std::vector<check_case> cases = {
        {clip_.path, k_key, "", 0, "The privacy key is correct"},
        {clip_.path, "-", std::string(k_key) + "\n", 0, "The privacy key is correct"},
        {clip_.path, "not the key", "", 2, "The privacy key is incorrect"},
        {dir_ + "/source.mp4", k_key, "", 5, "video stream format Error"},
    };
    for (const check_case& c : cases) {
        SCOPED_TRACE(c.key + " " + c.input);
        const auto before = testsupport::list_dir(dir_);
        const auto r = run({DEMOSAIC_BIN, c.input, "--check", c.key}, c.stdin_text);
        EXPECT_EQ(r.exit_code, c.code);
        EXPECT_EQ(testsupport::lines_starting_with(r.out, "mosaic_ResultCode=").back(),
                  "mosaic_ResultCode=" + std::to_string(c.code) + ";mosaic_errStr=" + c.message + ";");
        EXPECT_EQ(testsupport::list_dir(dir_), before);
    }
    const std::string record = testsupport::scratch_dir("investigation_check_record") + "/record.json";
    ASSERT_EQ(run({DEMOSAIC_BIN, "--check", clip_.path, k_key, "--report", record}).exit_code, 0);
    const fields got = json_fields(file_text(record));
    EXPECT_EQ(got.at("pictures.input"), "2");
    EXPECT_EQ(got.at("pictures.hidden_found"), "1");
    EXPECT_EQ(got.at("mode"), "\"check\"");
    EXPECT_EQ(got.at("output"), "null");
}

// --from/--to on a clip with key pictures every 0.8 s: exactly the hidden pictures of the range,
// the first at the time it has less FROM (a copy begins with the key picture before FROM), the
// right pictures, audio cut to match, and the range's edges.
TEST_F(Investigation, RangeRestoresTheHiddenPicturesItHolds) {
    const masked_clip avi = make_masked_clip(dir_, "masked.avi", {"--codec", "hevc"});
    const masked_clip reordered = make_masked_clip(dir_, "bframes.mp4", {"--bframes", "2"});
    ASSERT_FALSE(avi.path.empty() || reordered.path.empty());
    std::vector<testsupport::luma_frame> source;
    ASSERT_TRUE(testsupport::decode_video(dir_ + "/source.mp4", &source));
    struct range_case {
        const char* name;
        std::string input;
        std::vector<std::string> options;
        int code;
        int first_source_picture = 0;  // the source pictures the output begins and ends with
        int last_source_picture = 0;
        double first_time = 0;         // the first one's time in the output
        int pictures = 0;              // in the output
        int restored = 0;              // hidden pictures in the range
    };
    const std::vector<range_case> cases = {
        {"from a key picture", clip_.path, {"--from", "1.6", "--to", "2.4"}, 0, 41, 59, 0.04, 19, 19},
        {"between key pictures", clip_.path, {"--from", "1", "--to", "1.4"}, 0, 25, 34, 0, 10, 10},
        {"as clock times", clip_.path, {"--from", "00:01", "--to", "0:01.4"}, 0, 25, 34, 0, 10, 10},
        {"AVI between key pictures", avi.path, {"--from", "1", "--to", "1.4"}, 0, 25, 34, 0, 10, 10},
        {"B-frames between key pictures", reordered.path, {"--from", "1", "--to", "1.4"}, 0, 25, 34, 0, 10, 10},
        {"to the end", clip_.path, {"--from", "4.5"}, 0, 113, 124, 0.02, 11, 11},
        {"copy begins at the key picture", clip_.path, {"--copy", "--from", "1", "--to", "1.4"}, 0, 20, 34, 0, 15, 10},
        {"only a key picture", clip_.path, {"--from", "1.6", "--to", "1.62"}, 5, 0, 0, 0, 0, 0},
        {"past the end", clip_.path, {"--from", "6"}, 7, 0, 0, 0, 0, 0},
        {"empty", clip_.path, {"--from", "2", "--to", "1"}, 7, 0, 0, 0, 0, 0},
    };
    for (const range_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = testsupport::scratch_dir("investigation_range_out");
        std::vector<std::string> argv = {DEMOSAIC_BIN, c.input, k_key, "-o", out};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const auto r = run(argv);
        ASSERT_EQ(r.exit_code, c.code) << r.out;
        const auto files = testsupport::restored_files(out);
        ASSERT_EQ(files.size(), c.code == 0 ? 1u : 0u);
        if (c.code != 0) continue;
        const std::string counts = "hidden pictures: " + std::to_string(c.restored) + " found, " +
                                   std::to_string(c.restored) + " restored, 0 dropped";
        EXPECT_NE(r.out.find(counts), std::string::npos) << r.out;
        std::vector<testsupport::luma_frame> frames;
        ASSERT_TRUE(testsupport::decode_video(files[0], &frames));
        ASSERT_EQ(frames.size(), static_cast<size_t>(c.pictures));
        EXPECT_NEAR(frames.front().seconds, c.first_time, 0.002);
        // The first and the last picture are the source's pictures of those times, not their neighbours.
        for (const auto& [k, expected] : {std::pair{size_t{0}, c.first_source_picture},
                                          std::pair{frames.size() - 1, c.last_source_picture}}) {
            const testsupport::region all{0, 0, 96, 64};
            const double match = testsupport::luma_psnr(frames[k], source[expected], all);
            EXPECT_GT(match, testsupport::luma_psnr(frames[k], source[expected - 1], all)) << "picture " << k;
            if (static_cast<size_t>(expected) + 1 < source.size()) {
                EXPECT_GT(match, testsupport::luma_psnr(frames[k], source[expected + 1], all)) << "picture " << k;
            }
        }
        // The audio starts with the video and ends with it, or with the range (AAC in AVI reads back
        // with times no reader agrees on).
        if (c.input == avi.path) continue;
        const auto audio = packet_times(files[0], "a");
        ASSERT_FALSE(audio.empty());
        EXPECT_GT(audio.front(), -0.001);
        EXPECT_LT(audio.front(), c.first_time + 0.03);
        EXPECT_LT(audio.back(), frames.back().seconds + 0.04);
        if (c.options.size() > 2) {
            EXPECT_GT(audio.back(), frames.back().seconds - 0.04);
        }
    }
}

TEST_F(Investigation, ReportRecordsTheRun) {
    const std::string existing = dir_ + "/existing.json";
    std::ofstream(existing) << "keep";
    struct report_case {
        const char* name;
        std::vector<std::string> options;
        std::string key;
        int code;
        fields expected;
    };
    const std::string found = std::to_string(clip_.hidden);
    const std::vector<report_case> cases = {
        {"reencode", {}, k_key, 0,
         {{"mode", "\"reencode\""}, {"range", "null"}, {"pictures.input", "125"},
          {"pictures.key", std::to_string(clip_.pictures - clip_.hidden)}, {"pictures.hidden_found", found},
          {"pictures.restored", found}, {"pictures.dropped", "0"}, {"pictures.damaged", "0"}}},
        {"copy of a range", {"--copy", "--from", "1", "--to", "1.4"}, k_key, 0,
         {{"mode", "\"copy\""}, {"range.from", "1"}, {"range.to", "1.4"}, {"range.offset", "0.8"},
          {"pictures.hidden_found", "10"}, {"pictures.restored", "10"}}},
        {"wrong key", {}, "wrong key", 2,
         {{"output", "null"}, {"result.message", "\"The privacy key is incorrect\""}}},
    };
    for (const report_case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = testsupport::scratch_dir("investigation_report_out"), record = out + "/record.json";
        std::vector<std::string> argv = {DEMOSAIC_BIN, clip_.path, c.key, "-o", out, "--report", record};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const auto r = run(argv);
        ASSERT_EQ(r.exit_code, c.code) << r.out;
        const std::string text = file_text(record);
        EXPECT_EQ(text.find(c.key), std::string::npos);
        fields got = json_fields(text);
        ASSERT_FALSE(got.empty()) << text;
        for (const auto& [name, value] : c.expected) EXPECT_EQ(got.at(name), value) << name;
        EXPECT_EQ(got.at("result.code"), std::to_string(c.code));
        EXPECT_EQ(got.at("input.sha256"), sha256sum(clip_.path));
        EXPECT_EQ(got.at("input.size"), std::to_string(file_text(clip_.path).size()));
        EXPECT_EQ(got.at("tool.name"), "\"demosaic\"");
        EXPECT_NE(got.at("command").find("\"" + clip_.path + "\", \"***\""), std::string::npos) << got.at("command");
        EXPECT_TRUE(std::regex_match(got.at("started"), std::regex("\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d\"")));
        if (c.code != 0) continue;
        EXPECT_EQ(got.at("key_fingerprint"), k_key_fingerprint);
        const auto files = testsupport::restored_files(out);
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(got.at("output.path"), "\"" + files[0] + "\"");
        EXPECT_EQ(got.at("output.sha256"), sha256sum(files[0]));
        EXPECT_EQ(got.at("output.size"), std::to_string(file_text(files[0]).size()));
        if (c.options.empty()) {
            std::vector<testsupport::luma_frame> frames;
            ASSERT_TRUE(testsupport::decode_video(files[0], &frames));
            EXPECT_EQ(got.at("pictures.restored"), std::to_string(frames.size()));
        }
    }
    const auto before = testsupport::list_dir(dir_);
    const auto r = run({DEMOSAIC_BIN, clip_.path, k_key, "--report", existing});
    EXPECT_EQ(r.exit_code, 4);
    EXPECT_EQ(file_text(existing), "keep");
    EXPECT_EQ(testsupport::list_dir(dir_), before);
}

TEST(TimeText, SecondsOrClockTimes) {
    const std::vector<std::pair<const char*, int64_t>> cases = {
        {"12", 12000000}, {"12.5", 12500000}, {"0.04", 40000}, {"1.1234567", 1123456},
        {"02:03", 123000000}, {"1:02:03.5", 3723500000}, {"100:00:00", 360000000000}, {"0:59.999", 59999000},
        {"", -1}, {"-1", -1}, {".5", -1}, {"12.", -1}, {"1:60", -1}, {"1:60:00", -1}, {"1:2:3:4", -1},
        {"12s", -1}, {" 12", -1}, {"1e3", -1}, {"99999999999999999999", -1}, {"1::2", -1},
    };
    for (const auto& [text, expected] : cases) {
        int64_t got = -1;
        const bool parsed = parse_time(text, &got);
        EXPECT_EQ(parsed, expected >= 0) << text;
        if (parsed) {
            EXPECT_EQ(got, expected) << text;
        }
    }
}

TEST(JobOptions, UnknownNamesAreRefusedAndChangeNothing) {
    restore_options options;
    for (const char* name : {"verbose", "Copy", "", "output "}) {
        std::string why;
        EXPECT_FALSE(restore_options::known(name)) << name;
        EXPECT_FALSE(options.set(name, "x", &why)) << name;
        EXPECT_EQ(why, std::string("no option \"") + name + "\"");
    }
    EXPECT_TRUE(options.output.empty());
    EXPECT_TRUE(options.report.empty());
}

TEST(JsonText, StringsAreValidWhateverTheBytes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {std::string("\n\r\t\x01\x1f\x7f", 6), "\"\\n\\r\\t\\u0001\\u001f\\u007f\""},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},  // é € 😀
        {"a\xff" "b", "\"a\xEF\xBF\xBD" "b\""},                                                  // stray byte
        {"\xc0\xaf", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                                            // overlong '/'
        {"\xed\xa0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},                            // surrogate
        {"\xf4\x90\x80\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},            // past U+10FFFF
        {"\xe2\x82", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},                                            // cut short
        {std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(json::string(text), expected) << expected;
    EXPECT_EQ(json::number(29.97002997), "29.97003");
    EXPECT_EQ(json::number(25.0), "25");
    EXPECT_EQ(json::number(NAN), "null");
}

// The input's digest equals sha256sum's whatever order the demuxer reads it in, and what is
// read in order (small skips included) is hashed on the way, not read again at the end.
TEST(HashedInput, DigestOfTheWholeFileFromReadsInAnyOrder) {
    const std::string path = testsupport::scratch_dir("hashed_input") + "/data.bin";
    std::vector<uint8_t> bytes(3 << 20);
    std::mt19937 random(7);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    const int64_t size = static_cast<int64_t>(bytes.size());
    struct read_case {
        const char* name;
        std::vector<std::pair<int64_t, int>> reads;  // (offset, bytes) in order
        int64_t hashed_at_least, hashed_below;       // before finish
    };
    const std::vector<read_case> cases = {
        {"straight through", {{0, 1 << 21}, {1 << 21, 1 << 20}}, size, size + 1},
        {"index at the end first", {{0, 100}, {size - 5000, 5000}, {100, size - 5100}}, size - 5000, size + 1},
        {"small skips", {{0, 1000}, {200000, 1000}, {900000, 1000}}, 901000, size},
        {"a seek far ahead", {{0, 4096}, {2 << 20, 4096}}, 4096, 1 << 20},
        {"nothing", {}, 0, 1},
    };
    for (const read_case& c : cases) {
        SCOPED_TRACE(c.name);
        inputFile file([] { return false; });
        ASSERT_EQ(file.open(path.c_str()), inputFile::open_status::ok);
        hashedInput input;
        ASSERT_TRUE(input.attach(file.descriptor()));
        file.on_read([&input](int64_t offset, const uint8_t* data, int64_t n) { input.note_read(offset, data, n); });
        AVIOContext* io = file.io();
        ASSERT_NE(io, nullptr);
        std::vector<unsigned char> buffer(size);
        for (const auto& [offset, count] : c.reads) {
            ASSERT_EQ(avio_seek(io, offset, SEEK_SET), offset);
            ASSERT_EQ(avio_read(io, buffer.data(), count), count);
            EXPECT_EQ(std::memcmp(buffer.data(), bytes.data() + offset, static_cast<size_t>(count)), 0);
        }
        std::string digest;
        int64_t length = 0;
        ASSERT_TRUE(input.finish(&digest, &length));
        EXPECT_EQ("\"" + digest + "\"", sha256sum(path));
        EXPECT_EQ(length, size);
        // (Reads come in whole buffers of the I/O context: at least what was asked is hashed.)
        EXPECT_GE(input.hashed_before_finish(), c.hashed_at_least);
        EXPECT_LT(input.hashed_before_finish(), c.hashed_below);
    }
}
