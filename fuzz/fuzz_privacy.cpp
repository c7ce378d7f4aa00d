// libFuzzer target for the privacy step: arbitrary packets go through naming, leading-SEI
// stripping, the access-unit scan (every range it reports must lie inside the packet),
// demuxer_mosic_process and the privacy SEI reader (with an output buffer of exactly the size
// it is told, so any write past it is caught); and arbitrary pictures go through the writer
// and back through the scan and the reader, which must return them unchanged.
//
// Input: byte 0 chooses what is done, the rest is the packet (or picture).
//   bit 0: HEVC instead of H.264
//   bit 1: also write the rest as a picture and read it back
//   bit 2: versioned form for that picture
//   bits 3-7: how much of the reader's output buffer exists (0: all of it)
//
// With FUZZ_PRIVACY_WRITE_SEEDS=FOLDER in the environment the program only writes seed inputs
// (valid privacy SEIs of every form, in real packets) into FOLDER and exits.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "demux/mediaDemuxer.h"
#include "privacy/accessUnit.h"
#include "privacy/decryptMosic.h"
#include "privacy/privacyPacket.h"
#include "privacy/privacySeiWriter.h"

namespace {

const std::string k_key = "fuzz key";

struct fuzz_state {
    fuzz_state() : demuxer(job, nullptr, mediaDemuxer::k_type_privacy, k_key), reader(job, k_key) {
        // Log lines and the version line are formatted and go nowhere.
        job.log.level = STD_DEBUG_LEVEL_WRN;
        job.log.write = [](int, const char*) {};
        // The decoder's push_data takes a reference; do the same.
        demuxer.set_callback(0, [this](void* item) {
            avPacketDev copy(static_cast<const AVPacket*>(item));
            forwarded += copy.pkt ? 1 : 0;
        });
    }
    job_context job;
    mediaDemuxer demuxer;
    decryptMosic reader;
    std::vector<uint8_t> picture_out = std::vector<uint8_t>(decryptMosic::k_output_size);
    size_t forwarded = 0;
};

fuzz_state* state = nullptr;

bool has_start_code_emulation(const std::vector<uint8_t>& nal) {
    return privacy::find_zero_run(nal.data() + 4, nal.size() - 4, 2) != nal.size() - 4;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& input) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = fwrite(input.data(), 1, input.size(), file) == input.size();
    return fclose(file) == 0 && ok;
}

int write_seeds(const std::string& folder) {
    const std::vector<uint8_t> picture = {0, 0, 0, 1, 0x41, 0x9A, 0x00, 0x00, 0x03, 0x01, 0x22,
                                          0x00, 0x00, 0x00, 0x01, 0x41, 0x9B, 0x27, 0x80};
    std::vector<std::vector<uint8_t>> inputs;
    for (int codec : {AV_CODEC_ID_H264, AV_CODEC_ID_HEVC}) {
        for (int versioned = 0; versioned < 2; ++versioned) {
            for (size_t encrypt : {size_t(4), size_t(SIZE_MAX)}) {
                privacy_sei_options options;
                if (versioned) options.version_text = "ver-seed";
                options.encrypt_bytes = versioned ? encrypt : SIZE_MAX;
                std::vector<uint8_t> input = {
                    static_cast<uint8_t>((codec == AV_CODEC_ID_HEVC ? 1 : 0) | (versioned ? 4 : 0))};
                std::string error;
                if (!build_privacy_sei(codec, picture.data(), picture.size(), k_key, options, &input, &error)) {
                    fprintf(stderr, "%s\n", error.c_str());
                    return 1;
                }
                // The masked picture's slice behind the SEI, as in a real packet.
                input.insert(input.end(), {0, 0, 0, 1, 0x41, 0x9A, 0x55});
                inputs.push_back(input);
            }
        }
    }
    // A user-data SEI in front of a privacy SEI, and a parameter-set packet.
    std::vector<uint8_t> user_data = {0x02, 0, 0, 0, 1, 0x06, 0x05, 0x04, 0xAA, 0xBB, 0xCC, 0xDD, 0x80};
    std::string error;
    build_privacy_sei(AV_CODEC_ID_H264, picture.data(), picture.size(), k_key, {}, &user_data, &error);
    inputs.push_back(user_data);
    inputs.push_back({0x00, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68});
    // HEVC: delimiter, then a prefix SEI whose second message is the privacy message.
    std::vector<uint8_t> shared;
    build_privacy_sei(AV_CODEC_ID_HEVC, picture.data(), picture.size(), k_key, {}, &shared, &error);
    shared[4] = 0x4E;
    shared.insert(shared.begin() + 6, {0x05, 0x02, 0xAA, 0xBB});
    shared.insert(shared.begin(), {0x01, 0, 0, 0, 1, 0x46, 0x01, 0x50});
    inputs.push_back(shared);
    for (size_t i = 0; i < inputs.size(); ++i) {
        if (!write_file(folder + "/seed-" + std::to_string(i), inputs[i])) {
            fprintf(stderr, "cannot write seeds into %s\n", folder.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* folder = getenv("FUZZ_PRIVACY_WRITE_SEEDS")) exit(write_seeds(folder));
    state = new fuzz_state();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const int codec = mode & 1 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    // An exact-size copy, so that a read past the packet is an overrun.
    const size_t n = size - 1;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[n ? n : 1]);
    if (n) std::memcpy(bytes.get(), data + 1, n);
    state->job.set_result_status(RESULT_OK);

    nal_type_name(bytes.get(), static_cast<int>(n), codec);

    AVPacket* packet = av_packet_alloc();
    packet->data = bytes.get();
    packet->size = static_cast<int>(n);
    packet->pts = 90;
    packet->dts = 80;
    std::shared_ptr<avPacketDev> stripped;
    const bool cut = strip_leading_sei(packet, stripped);
    if (cut && (stripped->pkt->pts != 90 || stripped->pkt->size >= packet->size)) abort();
    privacy::access_unit unit;
    privacy::scan_access_unit(bytes.get(), n, codec, &unit);
    for (size_t i = 0; i < unit.unit_count; ++i) {
        const privacy::nal_unit_range& r = unit.units[i];
        if (r.start_code > r.begin || r.begin > r.end || r.end > n) abort();
    }
    const privacy::privacy_message_at& message = unit.message;
    if (message.found && (message.payload_at + message.extent > n || message.payload_at <= message.nal_begin)) abort();
    state->demuxer.video_codec_id = codec;
    state->demuxer.demuxer_mosic_process(packet);

    // The reader on its own, with a short output buffer.
    const size_t out_size = (mode >> 3) == 0 ? decryptMosic::k_output_size : static_cast<size_t>(mode >> 3) * 37;
    std::unique_ptr<uint8_t[]> short_out((mode >> 3) == 0 ? nullptr : new uint8_t[out_size]);
    uint8_t* out = short_out ? short_out.get() : state->picture_out.data();
    const int got = state->reader.decrypt_mosic_process(bytes.get(), static_cast<int>(n), out, out_size);
    if (got > static_cast<int>(out_size)) abort();

    // Writer and reader: the picture must come back unchanged, and the NAL unit written must
    // hold no start-code emulation.
    if ((mode & 2) && n > 0) {
        privacy_sei_options options;
        if (mode & 4) options.version_text = "ver-fuzz";
        options.encrypt_bytes = 1 + (mode >> 3) * 13;
        std::vector<uint8_t> nal;
        std::string error;
        if (build_privacy_sei(codec, bytes.get(), n, k_key, options, &nal, &error)) {
            if (has_start_code_emulation(nal)) abort();
            const int back = state->reader.decrypt_mosic_process(nal.data(), static_cast<int>(nal.size()),
                                                                 state->picture_out.data());
            if (back != static_cast<int>(n) || std::memcmp(state->picture_out.data(), bytes.get(), n) != 0) abort();
            // The scan finds the same message, and reading it from there gives the same picture.
            privacy::access_unit written;
            privacy::scan_access_unit(nal.data(), nal.size(), codec, &written);
            if (!written.message.found) abort();
            const int again = state->reader.decrypt_message(nal.data() + written.message.payload_at,
                                                            written.message.payload_size, written.message.extent,
                                                            state->picture_out.data());
            if (again != back || std::memcmp(state->picture_out.data(), bytes.get(), n) != 0) abort();
        } else if ((mode & 4) || error.find("unversioned") == std::string::npos) {
            // Only an unversioned tail with a zero run may be refused.
            abort();
        }
    }
    av_packet_free(&packet);
    return 0;
}
