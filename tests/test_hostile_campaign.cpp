// Damaged and hostile inputs for the real program. Five small privacy-masked files made by
// mosaic (H.264 and HEVC, MP4 and AVI, and two masked clips of different picture sizes joined
// into one stream) are cut, bit-flipped and overwritten, and their
// privacy SEIs rewritten field by field (sizes, base64 lengths, version texts, tails,
// empty packets); odd files of every kind join them. Every input is derived with a fixed
// seed at test time. For each one demosaic must end by itself within the time limit with
// exactly one result line whose code equals its exit status and lies in 0..9, leave no output
// file unless the code is 0, and leave the input unchanged, both when it restores through
// the codecs and with --copy. A count per code is printed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <tuple>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tests/support/process.h"
#include "tests/support/remux.h"

using testsupport::packet_nal;

namespace {

const char* const k_key = "campaign key";
// A hang detector, not a speed target: sanitised builds are several times slower.
const double k_time_limit_seconds = 90;

struct base_file {
    std::string name, path;  // name e.g. "h264.mp4"
    int codec_id = 0;
    std::vector<uint8_t> bytes;
};

// Byte ranges of a file: container structure and coded media.
struct file_regions {
    std::vector<std::pair<size_t, size_t>> container, media;  // [begin, end)
};

// MP4: top-level boxes; mdat's body is media, everything else container. AVI: the movi
// list's body is media, the headers before it and the index behind it container.
file_regions regions_of(const base_file& base) {
    file_regions r;
    const std::vector<uint8_t>& b = base.bytes;
    if (base.name.find(".mp4") != std::string::npos) {
        for (size_t pos = 0, size = 0; pos + 8 <= b.size(); pos += size) {
            size = (size_t(b[pos]) << 24) | (size_t(b[pos + 1]) << 16) | (size_t(b[pos + 2]) << 8) | b[pos + 3];
            if (size < 8 || pos + size > b.size()) size = b.size() - pos;
            const bool mdat = std::memcmp(b.data() + pos + 4, "mdat", 4) == 0;
            r.container.push_back({pos, mdat ? pos + 8 : pos + size});
            if (mdat) r.media.push_back({pos + 8, pos + size});
        }
        return r;
    }
    const std::string text(b.begin(), b.end());
    const size_t movi = text.find("movi"), idx1 = text.find("idx1", movi == std::string::npos ? 0 : movi);
    if (movi != std::string::npos && idx1 != std::string::npos) {
        r.container = {{0, movi + 4}, {idx1, b.size()}};
        r.media.push_back({movi + 4, idx1});
    }
    return r;
}

size_t pick_offset(std::mt19937& rng, const std::vector<std::pair<size_t, size_t>>& ranges) {
    size_t total = 0;
    for (const auto& [begin, end] : ranges) total += end - begin;
    size_t k = std::uniform_int_distribution<size_t>(0, total - 1)(rng);
    for (const auto& [begin, end] : ranges) {
        if (k < end - begin) return begin + k;
        k -= end - begin;
    }
    return ranges.back().second - 1;
}

// Where the fields of a privacy SEI NAL unit (bytes from its header on) lie.
// size_at: first payload-size byte; payload: first payload byte; zero_at: the version text's
// terminating zero (versioned form); header: the salt; length_at: the base64 length.
struct sei_layout {
    size_t size_at = 0, payload = 0, zero_at = 0, header = 0, length_at = 0;
    uint32_t size = 0;
    int32_t length = 0;
    bool versioned = false;
};

// False when nal is not a privacy SEI or too short to hold its fields.
bool layout_of(const std::vector<uint8_t>& nal, int codec_id, sei_layout* s) {
    const bool h264 = codec_id == AV_CODEC_ID_H264;
    if (nal.size() < 3 || nal[0] != (h264 ? 0x06 : 0x50) || nal[1] != (h264 ? 0x99 : 0x01) || (!h264 && nal[2] != 0x99))
        return false;
    s->size_at = codec_id == AV_CODEC_ID_H264 ? 2 : 3;
    size_t at = s->size_at;
    s->size = 0;
    while (at < nal.size() && nal[at] == 0xFF) s->size += 255, ++at;
    if (at >= nal.size()) return false;
    s->size += nal[at++];
    s->payload = at;
    s->versioned = nal.size() >= at + 4 && std::memcmp(nal.data() + at, "ver-", 4) == 0;
    s->header = at;
    if (s->versioned) {
        size_t z = at;
        while (z < nal.size() && z < at + 64 && nal[z] != 0) ++z;
        s->zero_at = z;
        s->header = z + 1;
    }
    s->length_at = s->header + 44;
    if (s->length_at + 4 > nal.size()) return false;
    s->length = static_cast<int32_t>(uint32_t(nal[s->length_at]) | (uint32_t(nal[s->length_at + 1]) << 8) |
                                     (uint32_t(nal[s->length_at + 2]) << 16) | (uint32_t(nal[s->length_at + 3]) << 24));
    return true;
}

// One way of damaging the packets that carry privacy SEIs. The edit gets the packet's NAL
// units and the index of its privacy SEI; it returns false to make the packet empty.
struct sei_damage {
    std::string name;
    std::function<bool(std::vector<packet_nal>*, size_t sei, const sei_layout&, int codec_id)> edit;
};

std::vector<sei_damage> sei_damages() {
    using nals_t = std::vector<packet_nal>;
    using bytes_t = std::vector<uint8_t>;
    std::vector<sei_damage> d;
    auto field = [&d](const std::string& name, std::function<void(bytes_t*, const sei_layout&)> f) {
        d.push_back({name, [f](nals_t* nals, size_t i, const sei_layout& s, int) { return f(&(*nals)[i].bytes, s), true; }});
    };
    using value_fn = std::function<uint32_t(const bytes_t&, const sei_layout&)>;
    const auto at_end = [](const bytes_t& n, const sei_layout& s) { return uint32_t(n.size() - (s.length_at + 4)); };
    // Payload size bytes, then the base64 length, set to values that do not fit.
    const std::vector<std::pair<std::string, value_fn>> sizes = {
        {"0", [](auto&, auto&) { return 0u; }}, {"1", [](auto&, auto&) { return 1u; }},
        {"47", [](auto&, auto&) { return 47u; }}, {"minus 1", [](auto&, auto& s) { return s.size - 1; }},
        {"plus 1", [](auto&, auto& s) { return s.size + 1; }},
        {"past the packet", [](auto&, auto& s) { return s.size + 100000; }},
        {"50 MB", [](auto&, auto&) { return 50u << 20; }}};
    for (const auto& [name, value] : sizes)
        field("size " + name, [value = value](bytes_t* n, const sei_layout& s) {
            bytes_t bytes(value(*n, s) / 255, 0xFF);
            bytes.push_back(uint8_t(value(*n, s) % 255));
            n->erase(n->begin() + s.size_at, n->begin() + s.payload);
            n->insert(n->begin() + s.size_at, bytes.begin(), bytes.end());
        });
    const std::vector<std::pair<std::string, value_fn>> lengths = {
        {"-1", [](auto&, auto&) { return 0xFFFFFFFFu; }}, {"INT32_MIN", [](auto&, auto&) { return 0x80000000u; }},
        {"INT32_MAX", [](auto&, auto&) { return 0x7FFFFFFFu; }}, {"5 MiB", [](auto&, auto&) { return 5242880u; }},
        {"0", [](auto&, auto&) { return 0u; }}, {"1", [](auto&, auto&) { return 1u; }},
        {"minus 1", [](auto&, auto& s) { return uint32_t(s.length - 1); }}, {"to the packet's end", at_end},
        {"past the packet", [at_end](auto& n, auto& s) { return at_end(n, s) + 7; }},
        {"past the payload", [](auto&, auto& s) { return s.size; }}};
    for (const auto& [name, value] : lengths)
        field("length " + name, [value = value](bytes_t* n, const sei_layout& s) {
            const uint32_t v = value(*n, s);
            for (int i = 0; i < 4; ++i) (*n)[s.length_at + i] = uint8_t(v >> (8 * i));
        });
    field("size bytes FF to the end", [](bytes_t* n, const sei_layout& s) { std::fill(n->begin() + s.size_at, n->end(), 0xFF); });
    // Version text.
    field("version text without its zero byte", [](bytes_t* n, const sei_layout& s) {
        if (s.versioned && s.zero_at < n->size()) (*n)[s.zero_at] = 'x';
    });
    field("version text fills the payload", [](bytes_t* n, const sei_layout& s) {
        for (size_t i = s.payload; i < n->size(); ++i) (*n)[i] = i < s.payload + 4 ? "ver-"[i - s.payload] : 'A';
    });
    field("version text marker on an unversioned payload", [](bytes_t* n, const sei_layout& s) { std::memcpy(n->data() + s.payload, "ver-", 4); });
    // Cryptographic fields, base64 text, tail: bytes overwritten or flipped in [from, to).
    const std::vector<std::tuple<std::string, int, int, uint8_t, bool>> runs = {
        {"salt flipped", 3, 4, 0x10, true}, {"tag flipped", 30, 31, 0x01, true},
        {"base64 text with bad characters", 48, 56, '!', false}, {"base64 padding early", 50, 54, '=', false}};
    for (const auto& [name, from, to, value, flip] : runs)
        field(name, [from = from, to = to, value = value, flip = flip](bytes_t* n, const sei_layout& s) {
            for (size_t i = s.header + from; i < s.header + to && i < n->size(); ++i) (*n)[i] = flip ? (*n)[i] ^ value : value;
        });
    field("tail bytes flipped", [](bytes_t* n, const sei_layout&) {
        for (size_t i = n->size() > 24 ? n->size() - 24 : 0; i < n->size(); i += 3) (*n)[i] ^= 0x5A;
    });
    for (size_t keep : {2, 3, 4, 20, 60})
        field("SEI cut to " + std::to_string(keep) + " bytes", [keep](bytes_t* n, const sei_layout&) { n->resize(std::min(n->size(), keep)); });
    field("SEI cut inside the base64 text", [](bytes_t* n, const sei_layout& s) { n->resize(std::min(n->size(), s.length_at + 9)); });
    // Packet level.
    d.push_back({"empty packet", [](nals_t*, size_t, const sei_layout&, int) { return false; }});
    d.push_back({"SEI alone in its packet",
                 [](nals_t* nals, size_t i, const sei_layout&, int) { return nals->assign(1, packet_nal((*nals)[i])), true; }});
    d.push_back({"SEI twice", [](nals_t* nals, size_t i, const sei_layout&, int) { return nals->insert(nals->begin() + i, (*nals)[i]), true; }});
    d.push_back({"not a privacy SEI header", [](nals_t* nals, size_t i, const sei_layout&, int codec_id) {
                     return (*nals)[i].bytes[0] = codec_id == AV_CODEC_ID_H264 ? 0x26 : 0x4E, true;
                 }});
    return d;
}

class HostileCampaign : public ::testing::Test {
protected:
    // The base files, made in this test's own folder (ctest runs these tests side by side).
    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        root_ = testsupport::test_scratch_dir("hostile_campaign_");
        // The last field: the side of a square second clip joined behind the first (0: none).
        const std::vector<std::tuple<std::string, int, int, int, bool, std::vector<std::string>, int>> recipes = {
            {"h264.mp4", AV_CODEC_ID_H264, 64, 64, true, {"--codec", "h264"}, 0},
            {"hevc.mp4", AV_CODEC_ID_HEVC, 96, 64, false, {"--codec", "hevc", "--unversioned"}, 0},
            {"h264.avi", AV_CODEC_ID_H264, 160, 120, true, {"--codec", "h264", "--unversioned", "--encrypt-bytes", "16"}, 0},
            {"hevc.avi", AV_CODEC_ID_HEVC, 64, 64, false, {"--codec", "hevc", "--encrypt-bytes", "8"}, 0},
            {"joined.mp4", AV_CODEC_ID_H264, 64, 64, false, {"--codec", "h264", "--bframes", "2"}, 32},
        };
        const std::string src = root_ + "/src";
        mkdir(src.c_str(), 0755);
        for (const auto& [name, codec_id, width, height, audio, options, joined_side] : recipes) {
            const std::string clip = src + "/" + name + ".src.mp4", path = src + "/" + name;
            ASSERT_TRUE(testsupport::make_clip(clip, "libx264", width, height, 12, 25, audio ? "aac" : ""));
            std::vector<std::string> args = {MOSAIC_BIN, clip, k_key, "-o", joined_side ? path + ".1.mp4" : path,
                                             "--gop", "4", "--preset", "ultrafast", "--qp", "36"};
            args.insert(args.end(), options.begin(), options.end());
            const testsupport::run_result made = testsupport::run(args);
            ASSERT_EQ(made.exit_code, 0) << name << ": " << made.err;
            if (joined_side > 0) {
                // A second masked clip of another size, its packets behind the first's in one stream.
                ASSERT_TRUE(testsupport::make_clip(clip + ".2.mp4", "libx264", joined_side, joined_side, 12, 25));
                std::tie(args[1], args[4]) = std::make_tuple(clip + ".2.mp4", path + ".2.mp4");
                ASSERT_EQ(testsupport::run(args).exit_code, 0) << name;
                const std::string list = "file '" + path + ".1.mp4'\nfile '" + path + ".2.mp4'\n";
                testsupport::write_bytes(src + "/list.txt", std::vector<uint8_t>(list.begin(), list.end()));
                ASSERT_EQ(testsupport::run({"ffmpeg", "-v", "error", "-y", "-f", "concat", "-safe", "0", "-i",
                                            src + "/list.txt", "-c", "copy", path}).exit_code, 0);
            }
            bases_.push_back({name, path, codec_id, testsupport::read_bytes(path)});
        }
    }

    // Prints how the runs of each category ended (one run per mode); returns the number of inputs.
    int print_summary() {
        int inputs = 0;
        printf("campaign summary (code -1: a run that broke a rule), slowest run %g s\n", slowest_);
        for (const auto& [category, codes] : counts_) {
            printf("  %s:", category.c_str());
            for (const auto& [code, count] : codes) printf(" code %d x%d", code, count), inputs += count;
            printf("\n");
            EXPECT_EQ(codes.count(-1), 0u) << category;
        }
        return inputs / 2;
    }

    std::string case_dir() {
        const std::string dir = root_ + "/case-" + std::to_string(case_number_++);
        mkdir(dir.c_str(), 0755);
        return dir;
    }

    // Runs demosaic on path (alone in its folder), once restoring through the codecs and once
    // with --copy, and checks what every run must satisfy: it ends, prints one result line
    // whose code in 0..9 is its exit status, leaves the input unchanged and an output file only
    // on success. Returns the first run's code, or -1 when either run broke a rule.
    int run_case(const std::string& category, const std::string& name, const std::string& path) {
        const std::string dir = path.substr(0, path.rfind('/')), input = path.substr(dir.size() + 1);
        const uint64_t before = testsupport::file_checksum(path);
        int first = -1;
        for (const bool copy : {false, true}) {
            const auto start = std::chrono::steady_clock::now();
            std::vector<std::string> argv = {DEMOSAIC_BIN, path, k_key};
            if (copy) argv.push_back("--copy");
            const testsupport::run_result r = testsupport::run(argv, "", k_time_limit_seconds);
            slowest_ = std::max(slowest_, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            const auto lines = testsupport::lines_starting_with(r.out, "mosaic_ResultCode=");
            int code = -1;
            if (lines.size() == 1) std::sscanf(lines[0].c_str(), "mosaic_ResultCode=%d;", &code);
            size_t left = 0;
            for (const std::string& file : testsupport::list_dir(dir)) left += file != input;
            const bool clean = !r.timed_out && lines.size() == 1 && code == r.exit_code && code >= 0 && code <= 9 &&
                               lines[0].find(";mosaic_errStr=") != std::string::npos &&
                               testsupport::file_checksum(path) == before && left == (code == 0 ? 1u : 0u);
            // A run that did not exit by itself (a crash, an abort, the time limit) shows its
            // signal and the last of what it said on stderr.
            const std::string tail = r.err.size() > 2000 ? r.err.substr(r.err.size() - 2000) : r.err;
            EXPECT_TRUE(clean) << category << " / " << name << (copy ? " (--copy)" : "") << ": timed out " << r.timed_out
                               << ", exit " << r.exit_code << ", " << left << " files left, input changed "
                               << (testsupport::file_checksum(path) != before) << ", result lines:\n"
                               << testing::PrintToString(lines)
                               << (r.exit_code < 0 ? "\nsignal " + std::to_string(r.signal) + ", end of stderr:\n" + tail
                                                   : std::string());
            counts_[category + (copy ? " --copy" : "")][clean ? code : -1] += 1;
            if (!clean) return -1;  // the folder is kept for a look afterwards
            if (!copy) first = code;
            for (const std::string& file : testsupport::list_dir(dir)) if (file != input) unlink((dir + "/" + file).c_str());
        }
        unlink(path.c_str());
        rmdir(dir.c_str());
        return first;
    }

    std::string write_case(const std::string& file_name, const std::vector<uint8_t>& bytes) {
        const std::string path = case_dir() + "/" + file_name;
        testsupport::write_bytes(path, bytes);
        return path;
    }

    std::string root_;
    std::vector<base_file> bases_;
    int case_number_ = 0;
    double slowest_ = 0;
    std::map<std::string, std::map<int, int>> counts_;  // category -> code -> count
};

}  // namespace

TEST_F(HostileCampaign, TruncatedFilesEndCleanly) {
    for (const base_file& base : bases_) {
        // The undamaged files restore: the campaign starts from working inputs.
        EXPECT_EQ(run_case("undamaged", base.name, write_case(base.name, base.bytes)), 0) << base.name;
        const size_t n = base.bytes.size();
        std::vector<size_t> cuts = {1, 8, 12, 16, 32, 64, 200, n - 1, n - 16, n - 100};
        for (int tenth = 1; tenth <= 9; ++tenth) cuts.push_back(n * tenth / 10);
        for (size_t cut : cuts)
            run_case("truncated", base.name + " at " + std::to_string(cut),
                     write_case(base.name, std::vector<uint8_t>(base.bytes.begin(), base.bytes.begin() + cut)));
    }
    EXPECT_EQ(print_summary(), static_cast<int>(bases_.size()) * 20);
}

TEST_F(HostileCampaign, FlippedAndOverwrittenBytesEndCleanly) {
    std::mt19937 rng(20261206);
    for (const base_file& base : bases_) {
        // Bit flips and byte runs (zeros, ones, random, start codes), in container and media.
        const file_regions regions = regions_of(base);
        ASSERT_FALSE(regions.container.empty() || regions.media.empty()) << base.name;
        for (const auto* ranges : {&regions.container, &regions.media}) {
            for (int i = 0; i < 14; ++i) {
                std::vector<uint8_t> damaged = base.bytes;
                std::string name = std::to_string(i < 3 ? 1 : 8) + " bit flips";
                for (int k = 0; i < 6 && k < (i < 3 ? 1 : 8); ++k) damaged[pick_offset(rng, *ranges)] ^= uint8_t(1u << (rng() % 8));
                if (i >= 6) {
                    const size_t at = pick_offset(rng, *ranges), length = std::min<size_t>(4 + rng() % 61, damaged.size() - at);
                    for (size_t k = 0; k < length; ++k)
                        damaged[at + k] = i % 4 == 0 ? 0x00 : i % 4 == 1 ? 0xFF : i % 4 == 2 ? uint8_t(rng()) : uint8_t(k % 4 == 3);
                    name = std::to_string(length) + "-byte run at " + std::to_string(at);
                }
                run_case(ranges == &regions.media ? "media bytes" : "container bytes", base.name + " " + name,
                         write_case(base.name, damaged));
            }
        }
    }
    EXPECT_EQ(print_summary(), static_cast<int>(bases_.size()) * 2 * 14);
}

TEST_F(HostileCampaign, RewrittenPrivacySeisEndCleanly) {
    // Privacy SEIs rewritten field by field, in the first packet that carries one (and, for
    // every third kind of damage, in all of them).
    const std::vector<sei_damage> damages = sei_damages();
    for (const base_file& base : bases_) {
        const bool annexb = base.name.find(".avi") != std::string::npos;
        for (size_t k = 0; k < damages.size(); ++k) {
            int damaged_packets = 0;
            const std::string path = case_dir() + "/" + base.name;
            ASSERT_TRUE(testsupport::rewrite_video_packets(base.path, path, [&](int, std::vector<uint8_t>* data) {
                std::vector<packet_nal> nals;
                if ((damaged_packets > 0 && k % 3 != 0) || !testsupport::split_packet(*data, annexb, &nals)) return true;
                for (size_t i = 0; i < nals.size(); ++i) {
                    sei_layout layout;
                    if (!layout_of(nals[i].bytes, base.codec_id, &layout)) continue;
                    ++damaged_packets;
                    *data = damages[k].edit(&nals, i, layout, base.codec_id) ? testsupport::join_packet(nals, annexb)
                                                                             : std::vector<uint8_t>();
                    break;
                }
                return true;
            })) << base.name << " / " << damages[k].name;
            ASSERT_GT(damaged_packets, 0) << base.name << ": no privacy SEI found";
            run_case("privacy SEI", base.name + " " + damages[k].name + (k % 3 == 0 ? " (all)" : ""), path);
        }
    }
    EXPECT_EQ(print_summary(), static_cast<int>(bases_.size() * damages.size()));
}

TEST_F(HostileCampaign, OddFilesEndCleanly) {
    // Files that are not what their names say, or nothing at all.
    std::mt19937 rng(20261207);
    std::vector<uint8_t> noise(4096), header_only;
    for (uint8_t& byte : noise) byte = uint8_t(rng());
    const std::string text = "This is not a video.\n";
    std::vector<uint8_t> no_durations = bases_[1].bytes;  // every picture lasts 0 ticks: stts duration zeroed
    std::fill_n(no_durations.begin() + std::string(no_durations.begin(), no_durations.end()).find("stts") + 16, 4, 0);
    for (const auto& range : regions_of(bases_[0]).container)
        header_only.insert(header_only.end(), bases_[0].bytes.begin() + range.first, bases_[0].bytes.begin() + range.second);
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
        {"empty.mp4", {}}, {"empty.AVI", {}}, {"noise.mp4", noise}, {"noise.avi", noise},
        {"text.mp4", std::vector<uint8_t>(text.begin(), text.end())}, {"swapped.mp4", bases_[2].bytes},
        {"swapped.avi", bases_[0].bytes}, {"moov.mp4", header_only}, {"clip.mkv", bases_[0].bytes},
        {"clip", bases_[0].bytes}, {"no durations.mp4", no_durations}};
    for (const auto& [name, bytes] : files) run_case("odd files", name, write_case(name, bytes));
    // Real media the restorer cannot use: a picture, audio alone, other codecs, no privacy data.
    const std::vector<std::pair<std::string, std::string>> others = {
        {"image.mp4", "-f lavfi -i testsrc2=size=64x64 -frames:v 1 -c:v png -f image2"},
        {"audio.mp4", "-f lavfi -i sine=duration=0.5 -c:a aac"},
        {"audio.avi", "-f lavfi -i sine=duration=0.5 -c:a pcm_s16le"},
        {"mpeg4.mp4", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v mpeg4"},
        {"mjpeg.avi", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v mjpeg"},
        {"plain.mp4", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v libx264 -pix_fmt yuv420p"},
        {"plain.avi", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v libx265 -pix_fmt yuv420p"},
    };
    for (const auto& [name, command] : others) {
        const std::string path = case_dir() + "/" + name;
        ASSERT_EQ(testsupport::run({"sh", "-c", "ffmpeg -hide_banner -loglevel error -y " + command + " '" + path + "'"})
                      .exit_code, 0) << name;
        run_case("odd files", name, path);
    }
    const std::string dir = case_dir();
    mkdir((dir + "/folder.mp4").c_str(), 0755);
    run_case("odd files", "a folder named .mp4", dir + "/folder.mp4");
    rmdir((dir + "/folder.mp4").c_str());
    rmdir(dir.c_str());
    run_case("odd files", "missing file", case_dir() + "/missing.mp4");
    EXPECT_EQ(print_summary(), 20);
}
