// Damaged and hostile inputs for the real program. Four small privacy-masked files made by
// mosaic (H.264 and HEVC, MP4 and AVI) are cut, bit-flipped and overwritten, and their
// privacy SEIs rewritten field by field (sizes, base64 lengths, version texts, tails,
// empty packets); odd files of every kind join them. Every input is derived with a fixed
// seed at test time. For each one demosaic must end by itself within the time limit with
// exactly one result line whose code equals its exit status and lies in 0..9, leave no output
// file unless the code is 0, and leave the input unchanged. A count per code is printed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <sstream>
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
    std::string name;  // e.g. "h264.mp4"
    std::string path;
    int codec_id = 0;
    std::vector<uint8_t> bytes;
};

// Byte ranges of a file: container structure and coded media.
struct file_regions {
    std::vector<std::pair<size_t, size_t>> container;  // [begin, end)
    std::vector<std::pair<size_t, size_t>> media;
};

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

size_t find_text(const std::vector<uint8_t>& b, const char* text, size_t from = 0) {
    const size_t n = std::strlen(text);
    for (size_t i = from; i + n <= b.size(); ++i) {
        if (std::memcmp(b.data() + i, text, n) == 0) return i;
    }
    return std::string::npos;
}

// MP4: top-level boxes; mdat's body is media, everything else container. AVI: the movi
// list's body is media, the headers before it and the index behind it container.
file_regions regions_of(const base_file& base) {
    file_regions r;
    const std::vector<uint8_t>& b = base.bytes;
    if (base.name.find(".mp4") != std::string::npos) {
        size_t pos = 0;
        while (pos + 8 <= b.size()) {
            uint64_t size = be32(b, pos);
            if (size < 8 || pos + size > b.size()) size = b.size() - pos;
            const bool mdat = std::memcmp(b.data() + pos + 4, "mdat", 4) == 0;
            if (mdat) {
                r.container.push_back({pos, pos + 8});
                r.media.push_back({pos + 8, pos + size});
            } else {
                r.container.push_back({pos, pos + size});
            }
            pos += size;
        }
    } else {
        const size_t movi = find_text(b, "movi");
        const size_t idx1 = find_text(b, "idx1", movi == std::string::npos ? 0 : movi);
        if (movi != std::string::npos && idx1 != std::string::npos) {
            r.container.push_back({0, movi + 4});
            r.media.push_back({movi + 4, idx1});
            r.container.push_back({idx1, b.size()});
        }
    }
    return r;
}

size_t pick_offset(std::mt19937& rng, const std::vector<std::pair<size_t, size_t>>& ranges) {
    size_t total = 0;
    for (const auto& range : ranges) total += range.second - range.first;
    size_t k = std::uniform_int_distribution<size_t>(0, total - 1)(rng);
    for (const auto& range : ranges) {
        if (k < range.second - range.first) return range.first + k;
        k -= range.second - range.first;
    }
    return ranges.back().second - 1;
}

// Where the fields of a privacy SEI NAL unit (bytes from its header on) lie.
struct sei_layout {
    size_t size_at = 0;   // first payload-size byte
    size_t payload = 0;   // P: first payload byte
    uint32_t size = 0;    // S
    bool versioned = false;
    size_t zero_at = 0;   // the version text's terminating zero (versioned form)
    size_t header = 0;    // H: the salt
    size_t length_at = 0; // L
    int32_t length = 0;
};

bool is_privacy_sei(const std::vector<uint8_t>& nal, int codec_id) {
    if (codec_id == AV_CODEC_ID_H264) return nal.size() >= 2 && nal[0] == 0x06 && nal[1] == 0x99;
    return nal.size() >= 3 && nal[0] == 0x50 && nal[1] == 0x01 && nal[2] == 0x99;
}

bool layout_of(const std::vector<uint8_t>& nal, int codec_id, sei_layout* s) {
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

void put_le32(std::vector<uint8_t>* nal, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*nal)[at + i] = uint8_t(v >> (8 * i));
}

// Rewrites the size bytes to express size (FF runs as needed).
void set_size(std::vector<uint8_t>* nal, const sei_layout& s, uint32_t size) {
    std::vector<uint8_t> bytes(size / 255, 0xFF);
    bytes.push_back(uint8_t(size % 255));
    nal->erase(nal->begin() + s.size_at, nal->begin() + s.payload);
    nal->insert(nal->begin() + s.size_at, bytes.begin(), bytes.end());
}

// One way of damaging the packets that carry privacy SEIs. The edit gets the packet's NAL
// units and the index of its privacy SEI; it returns false to make the packet empty.
struct sei_damage {
    std::string name;
    std::function<bool(std::vector<packet_nal>*, size_t sei, const sei_layout&, int codec_id)> edit;
};

std::vector<sei_damage> sei_damages() {
    using nals_t = std::vector<packet_nal>;
    std::vector<sei_damage> d;
    auto field = [&d](const std::string& name, std::function<void(std::vector<uint8_t>*, const sei_layout&)> f) {
        d.push_back({name, [f](nals_t* nals, size_t i, const sei_layout& s, int) {
                         f(&(*nals)[i].bytes, s);
                         return true;
                     }});
    };
    // Payload size bytes.
    field("size 0", [](std::vector<uint8_t>* n, const sei_layout& s) { set_size(n, s, 0); });
    field("size 1", [](std::vector<uint8_t>* n, const sei_layout& s) { set_size(n, s, 1); });
    field("size 47", [](std::vector<uint8_t>* n, const sei_layout& s) { set_size(n, s, 47); });
    field("size minus 1", [](std::vector<uint8_t>* n, const sei_layout& s) { set_size(n, s, s.size - 1); });
    field("size plus 1", [](std::vector<uint8_t>* n, const sei_layout& s) { set_size(n, s, s.size + 1); });
    field("size past the packet", [](std::vector<uint8_t>* n, const sei_layout& s) { set_size(n, s, s.size + 100000); });
    field("size 50 MB", [](std::vector<uint8_t>* n, const sei_layout& s) { set_size(n, s, 50u << 20); });
    field("size bytes FF to the end", [](std::vector<uint8_t>* n, const sei_layout& s) {
        std::fill(n->begin() + s.size_at, n->end(), 0xFF);
    });
    // Base64 length.
    field("length -1", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, 0xFFFFFFFFu); });
    field("length INT32_MIN", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, 0x80000000u); });
    field("length INT32_MAX", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, 0x7FFFFFFFu); });
    field("length 5 MiB", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, 5242880u); });
    field("length 0", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, 0); });
    field("length 1", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, 1); });
    field("length minus 1", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, s.length - 1); });
    field("length to the packet's end", [](std::vector<uint8_t>* n, const sei_layout& s) {
        put_le32(n, s.length_at, uint32_t(n->size() - (s.length_at + 4)));
    });
    field("length past the packet", [](std::vector<uint8_t>* n, const sei_layout& s) {
        put_le32(n, s.length_at, uint32_t(n->size() - (s.length_at + 4) + 7));
    });
    field("length past the payload", [](std::vector<uint8_t>* n, const sei_layout& s) { put_le32(n, s.length_at, s.size); });
    // Version text.
    field("version text without its zero byte", [](std::vector<uint8_t>* n, const sei_layout& s) {
        if (s.versioned && s.zero_at < n->size()) (*n)[s.zero_at] = 'x';
    });
    field("version text fills the payload", [](std::vector<uint8_t>* n, const sei_layout& s) {
        const char* ver = "ver-";
        for (size_t i = s.payload; i < n->size(); ++i) (*n)[i] = i < s.payload + 4 ? ver[i - s.payload] : 'A';
    });
    field("version text marker on an unversioned payload", [](std::vector<uint8_t>* n, const sei_layout& s) {
        std::memcpy(n->data() + s.payload, "ver-", 4);
    });
    // Cryptographic fields and text.
    field("salt flipped", [](std::vector<uint8_t>* n, const sei_layout& s) { (*n)[s.header + 3] ^= 0x10; });
    field("tag flipped", [](std::vector<uint8_t>* n, const sei_layout& s) { (*n)[s.header + 30] ^= 0x01; });
    field("base64 text with bad characters", [](std::vector<uint8_t>* n, const sei_layout& s) {
        for (size_t i = s.length_at + 4; i < s.length_at + 12 && i < n->size(); ++i) (*n)[i] = '!';
    });
    field("base64 padding early", [](std::vector<uint8_t>* n, const sei_layout& s) {
        for (size_t i = s.length_at + 6; i < s.length_at + 10 && i < n->size(); ++i) (*n)[i] = '=';
    });
    field("tail bytes flipped", [](std::vector<uint8_t>* n, const sei_layout&) {
        for (size_t i = n->size() > 24 ? n->size() - 24 : 0; i < n->size(); i += 3) (*n)[i] ^= 0x5A;
    });
    // Cut short.
    for (size_t keep : {size_t(2), size_t(3), size_t(4), size_t(20), size_t(60)}) {
        field("SEI cut to " + std::to_string(keep) + " bytes", [keep](std::vector<uint8_t>* n, const sei_layout&) {
            if (n->size() > keep) n->resize(keep);
        });
    }
    field("SEI cut inside the base64 text", [](std::vector<uint8_t>* n, const sei_layout& s) {
        n->resize(std::min(n->size(), s.length_at + 4 + 5));
    });
    // Packet level.
    d.push_back({"empty packet", [](nals_t*, size_t, const sei_layout&, int) { return false; }});
    d.push_back({"SEI alone in its packet", [](nals_t* nals, size_t i, const sei_layout&, int) {
                     packet_nal sei = (*nals)[i];
                     nals->assign(1, sei);
                     return true;
                 }});
    d.push_back({"SEI twice", [](nals_t* nals, size_t i, const sei_layout&, int) {
                     nals->insert(nals->begin() + i, (*nals)[i]);
                     return true;
                 }});
    d.push_back({"not a privacy SEI header", [](nals_t* nals, size_t i, const sei_layout&, int codec_id) {
                     (*nals)[i].bytes[0] = codec_id == AV_CODEC_ID_H264 ? 0x26 : 0x4E;
                     return true;
                 }});
    return d;
}

struct campaign_case {
    std::string category;
    std::string name;
};

class HostileCampaign : public ::testing::Test {
protected:
    // The four base files, made in this test's own folder (ctest runs the tests of this file
    // side by side, each in its own process).
    static void make_bases() {
        const std::string src = root_ + "/src";
        mkdir(src.c_str(), 0755);
        struct recipe {
            std::string name;
            int codec_id;
            int width, height;
            bool audio;
            std::vector<std::string> options;
        };
        const std::vector<recipe> recipes = {
            {"h264.mp4", AV_CODEC_ID_H264, 64, 64, true, {"--codec", "h264"}},
            {"hevc.mp4", AV_CODEC_ID_HEVC, 96, 64, false, {"--codec", "hevc", "--unversioned"}},
            {"h264.avi", AV_CODEC_ID_H264, 160, 120, true, {"--codec", "h264", "--unversioned", "--encrypt-bytes", "16"}},
            {"hevc.avi", AV_CODEC_ID_HEVC, 64, 64, false, {"--codec", "hevc", "--encrypt-bytes", "8"}},
        };
        for (const recipe& r : recipes) {
            const std::string clip = src + "/" + r.name + ".src.mp4";
            if (!testsupport::make_clip(clip, "libx264", r.width, r.height, 12, 25, r.audio ? "aac" : "")) return;
            base_file base;
            base.name = r.name;
            base.path = src + "/" + r.name;
            base.codec_id = r.codec_id;
            std::vector<std::string> args = {MOSAIC_BIN, clip, k_key, "-o", base.path, "--gop", "4", "--preset",
                                             "ultrafast", "--qp", "36"};
            args.insert(args.end(), r.options.begin(), r.options.end());
            const testsupport::run_result made = testsupport::run(args);
            if (made.exit_code != 0) {
                setup_error_ = "mosaic failed for " + r.name + ": " + made.err;
                return;
            }
            base.bytes = testsupport::read_bytes(base.path);
            bases_.push_back(base);
        }
    }

    void SetUp() override {
        if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
        root_ = testsupport::scratch_dir(std::string("hostile_campaign_") +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        setup_error_.clear();
        bases_.clear();
        counts_.clear();
        case_number_ = 0;
        slowest_ = 0;
        make_bases();
        ASSERT_TRUE(setup_error_.empty()) << setup_error_;
        ASSERT_EQ(bases_.size(), 4u);
    }

    // The figures: how many inputs, and how each ended. Returns the number of inputs.
    static int print_summary() {
        std::map<int, int> total;
        int inputs = 0;
        std::ostringstream table;
        for (const auto& category : counts_) {
            table << "  " << category.first << ":";
            for (const auto& code : category.second) {
                table << " code " << code.first << " x" << code.second;
                total[code.first] += code.second;
                inputs += code.second;
            }
            table << "\n";
        }
        table << "  " << inputs << " inputs:";
        for (const auto& code : total) table << " code " << code.first << " x" << code.second;
        table << "\n  slowest run " << slowest_ << " s\n";
        printf("campaign summary (code -1: a run that broke a rule)\n%s", table.str().c_str());
        if (FILE* file = fopen((root_ + "/summary.txt").c_str(), "w")) {
            fputs(table.str().c_str(), file);
            fclose(file);
        }
        EXPECT_EQ(total.count(-1), 0u);
        return inputs;
    }

    // A fresh folder holding the input under the given file name.
    static std::string case_dir() {
        const std::string dir = root_ + "/case-" + std::to_string(case_number_++);
        mkdir(dir.c_str(), 0755);
        return dir;
    }

    // Runs demosaic on path (alone in its folder) and checks what every run must satisfy.
    // Returns the code (or -1 when the run broke a rule).
    static int run_case(const campaign_case& c, const std::string& path) {
        const size_t slash = path.rfind('/');
        const std::string dir = path.substr(0, slash);
        const std::string input_name = path.substr(slash + 1);
        const uint64_t before = testsupport::file_checksum(path);
        const auto start = std::chrono::steady_clock::now();
        const testsupport::run_result r = testsupport::run({DEMOSAIC_BIN, path, k_key}, "", k_time_limit_seconds);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        slowest_ = std::max(slowest_, seconds);
        const std::string what = c.category + " / " + c.name;
        EXPECT_FALSE(r.timed_out) << what << ": no end within " << k_time_limit_seconds << " s";
        const auto lines = testsupport::lines_starting_with(r.out, "mosaic_ResultCode=");
        EXPECT_EQ(lines.size(), 1u) << what << ": result lines\n" << r.out.substr(r.out.size() > 3000 ? r.out.size() - 3000 : 0) << r.err;
        int code = -1;
        if (lines.size() == 1) {
            std::sscanf(lines[0].c_str(), "mosaic_ResultCode=%d;", &code);
            EXPECT_EQ(code, r.exit_code) << what << ": result line and exit status differ";
            EXPECT_GE(code, 0) << what;
            EXPECT_LE(code, 9) << what;
            EXPECT_NE(lines[0].find(";mosaic_errStr="), std::string::npos) << what;
        }
        const bool unchanged = testsupport::file_checksum(path) == before;
        EXPECT_TRUE(unchanged) << what << ": the input was changed";
        std::vector<std::string> left;
        for (const std::string& name : testsupport::list_dir(dir)) {
            if (name != input_name) left.push_back(name);
        }
        const bool files_ok = code == 0 ? left.size() == 1 : left.empty();
        if (code == 0) {
            EXPECT_EQ(left.size(), 1u) << what << ": a successful run writes exactly one file";
        } else {
            EXPECT_TRUE(left.empty()) << what << ": code " << code << " left " << (left.empty() ? "" : left[0]);
        }
        const bool clean = !r.timed_out && lines.size() == 1 && code == r.exit_code && code >= 0 && code <= 9 &&
                           unchanged && files_ok;
        counts_[c.category][clean ? code : -1] += 1;
        // Kept only when something went wrong, for a look afterwards.
        if (clean) {
            for (const std::string& name : testsupport::list_dir(dir)) unlink((dir + "/" + name).c_str());
            rmdir(dir.c_str());
        }
        return clean ? code : -1;
    }

    static std::string write_case(const std::string& file_name, const std::vector<uint8_t>& bytes) {
        const std::string path = case_dir() + "/" + file_name;
        testsupport::write_bytes(path, bytes);
        return path;
    }

    static std::string root_;
    static std::string setup_error_;
    static std::vector<base_file> bases_;
    static int case_number_;
    static double slowest_;
    // category -> code -> count (-1: the run broke a rule)
    static std::map<std::string, std::map<int, int>> counts_;
};

std::string HostileCampaign::root_;
std::string HostileCampaign::setup_error_;
std::vector<base_file> HostileCampaign::bases_;
int HostileCampaign::case_number_ = 0;
double HostileCampaign::slowest_ = 0;
std::map<std::string, std::map<int, int>> HostileCampaign::counts_;

}  // namespace

TEST_F(HostileCampaign, TruncatedFilesEndCleanly) {
    // The undamaged files restore: the campaign starts from working inputs.
    for (const base_file& base : bases_) {
        EXPECT_EQ(run_case({"undamaged", base.name}, write_case(base.name, base.bytes)), 0) << base.name;
    }
    for (const base_file& base : bases_) {
        const std::vector<uint8_t>& b = base.bytes;
        const size_t n = b.size();
        // Truncation at many points, from the first bytes to the last.
        std::vector<size_t> cuts = {1, 8, 12, 16, 32, 64, 200, n - 1, n - 16, n - 100};
        for (int tenth = 1; tenth <= 9; ++tenth) cuts.push_back(n * tenth / 10);
        for (size_t cut : cuts) {
            run_case({"truncated", base.name + " at " + std::to_string(cut)},
                     write_case(base.name, std::vector<uint8_t>(b.begin(), b.begin() + cut)));
        }
    }
    EXPECT_EQ(print_summary(), 4 + 4 * 19);
}

TEST_F(HostileCampaign, FlippedAndOverwrittenBytesEndCleanly) {
    std::mt19937 rng(20261206);
    for (const base_file& base : bases_) {
        const std::vector<uint8_t>& b = base.bytes;
        const size_t n = b.size();
        // Bit flips and byte runs, in the container structure and in the coded media.
        const file_regions regions = regions_of(base);
        ASSERT_FALSE(regions.container.empty()) << base.name;
        ASSERT_FALSE(regions.media.empty()) << base.name;
        for (int area = 0; area < 2; ++area) {
            const auto& ranges = area == 0 ? regions.container : regions.media;
            const std::string category = area == 0 ? "container bytes" : "media bytes";
            for (int i = 0; i < 14; ++i) {
                std::vector<uint8_t> damaged = b;
                std::string name;
                if (i < 6) {
                    const int flips = i < 3 ? 1 : 8;
                    for (int k = 0; k < flips; ++k) {
                        const size_t at = pick_offset(rng, ranges);
                        damaged[at] ^= uint8_t(1u << (rng() % 8));
                    }
                    name = std::to_string(flips) + " bit flips";
                } else {
                    const size_t at = pick_offset(rng, ranges);
                    const size_t length = std::min<size_t>(4 + rng() % 61, n - at);
                    const int fill = i % 4;  // zeros, ones, random, start codes
                    for (size_t k = 0; k < length; ++k) {
                        damaged[at + k] = fill == 0   ? 0x00
                                          : fill == 1 ? 0xFF
                                          : fill == 2 ? uint8_t(rng())
                                                      : uint8_t(k % 4 == 3 ? 1 : 0);
                    }
                    name = std::to_string(length) + "-byte run at " + std::to_string(at);
                }
                run_case({category, base.name + " " + name}, write_case(base.name, damaged));
            }
        }
    }

    EXPECT_EQ(print_summary(), 4 * 2 * 14);
}

TEST_F(HostileCampaign, RewrittenPrivacySeisEndCleanly) {
    // Privacy SEIs rewritten field by field, in the first packet that carries one (and, for
    // every third kind of damage, in all of them).
    const std::vector<sei_damage> damages = sei_damages();
    for (const base_file& base : bases_) {
        for (size_t k = 0; k < damages.size(); ++k) {
            const sei_damage& damage = damages[k];
            const bool everywhere = k % 3 == 0;
            int damaged_packets = 0;
            const std::string path = case_dir() + "/" + base.name;
            const bool written = testsupport::rewrite_video_packets(
                base.path, path, [&](int, std::vector<uint8_t>* data) {
                    if (damaged_packets > 0 && !everywhere) return true;
                    const bool annexb = base.name.find(".avi") != std::string::npos;
                    std::vector<packet_nal> nals;
                    if (!testsupport::split_packet(*data, annexb, &nals)) return true;
                    for (size_t i = 0; i < nals.size(); ++i) {
                        sei_layout layout;
                        if (!is_privacy_sei(nals[i].bytes, base.codec_id) ||
                            !layout_of(nals[i].bytes, base.codec_id, &layout)) {
                            continue;
                        }
                        ++damaged_packets;
                        if (!damage.edit(&nals, i, layout, base.codec_id)) {
                            data->clear();
                        } else {
                            *data = testsupport::join_packet(nals, annexb);
                        }
                        break;
                    }
                    return true;
                });
            ASSERT_TRUE(written) << base.name << " / " << damage.name;
            ASSERT_GT(damaged_packets, 0) << base.name << ": no privacy SEI found";
            run_case({"privacy SEI", base.name + " " + damage.name + (everywhere ? " (all)" : "")}, path);
        }
    }

    EXPECT_EQ(print_summary(), static_cast<int>(4 * damages.size()));
}

TEST_F(HostileCampaign, OddFilesEndCleanly) {
    std::mt19937 rng(20261207);
    // Files that are not what their names say, or nothing at all.
    std::vector<uint8_t> noise(4096);
    for (uint8_t& byte : noise) byte = uint8_t(rng());
    const std::string text = "This is not a video.\n";
    run_case({"odd files", "zero bytes .mp4"}, write_case("empty.mp4", {}));
    run_case({"odd files", "zero bytes .avi"}, write_case("empty.AVI", {}));
    run_case({"odd files", "random bytes .mp4"}, write_case("noise.mp4", noise));
    run_case({"odd files", "random bytes .avi"}, write_case("noise.avi", noise));
    run_case({"odd files", "text .mp4"}, write_case("text.mp4", std::vector<uint8_t>(text.begin(), text.end())));
    run_case({"odd files", "AVI named .mp4"}, write_case("swapped.mp4", bases_[2].bytes));
    run_case({"odd files", "MP4 named .avi"}, write_case("swapped.avi", bases_[0].bytes));
    run_case({"odd files", "MP4 header only"}, write_case("moov.mp4", [&] {
                 std::vector<uint8_t> bytes;
                 for (const auto& range : regions_of(bases_[0]).container)
                     bytes.insert(bytes.end(), bases_[0].bytes.begin() + range.first, bases_[0].bytes.begin() + range.second);
                 return bytes;
             }()));
    {
        // Real media the restorer cannot use: a picture, audio alone, another codec, and
        // an H.264 clip without privacy data.
        const std::string dir = case_dir();
        struct made {
            std::string name, args;
        };
        const std::vector<made> others = {
            {"image.mp4", "-f lavfi -i testsrc2=size=64x64 -frames:v 1 -c:v png -f image2"},
            {"audio.mp4", "-f lavfi -i sine=duration=0.5 -c:a aac"},
            {"audio.avi", "-f lavfi -i sine=duration=0.5 -c:a pcm_s16le"},
            {"mpeg4.mp4", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v mpeg4"},
            {"mjpeg.avi", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v mjpeg"},
            {"plain.mp4", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v libx264 -pix_fmt yuv420p"},
            {"plain.avi", "-f lavfi -i testsrc2=size=64x64:rate=25 -frames:v 10 -c:v libx265 -pix_fmt yuv420p"},
        };
        for (const made& m : others) {
            std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
            std::stringstream words(m.args);
            std::string word;
            while (words >> word) args.push_back(word);
            const std::string path = case_dir() + "/" + m.name;
            args.push_back(path);
            ASSERT_EQ(testsupport::run(args).exit_code, 0) << m.name;
            run_case({"odd files", m.name}, path);
        }
        rmdir(dir.c_str());
    }
    {
        const std::string dir = case_dir();
        mkdir((dir + "/folder.mp4").c_str(), 0755);
        run_case({"odd files", "a folder named .mp4"}, dir + "/folder.mp4");
        rmdir((dir + "/folder.mp4").c_str());
        rmdir(dir.c_str());
        run_case({"odd files", "missing file"}, case_dir() + "/missing.mp4");
        run_case({"odd files", "wrong extension"}, write_case("clip.mkv", bases_[0].bytes));
        run_case({"odd files", "no extension"}, write_case("clip", bases_[0].bytes));
    }

    EXPECT_EQ(print_summary(), 19);
}
