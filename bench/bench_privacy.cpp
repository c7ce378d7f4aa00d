// The per-picture privacy step of the demux loop, and its parts, at the picture sizes of
// 720p and 1080p restores: read the access unit (delimiter, user-data SEI, privacy SEI, masked
// slice), parse the privacy SEI, derive the key (PBKDF2, 1000 iterations), base64-decode, decrypt
// (AES-256-GCM) and copy the picture into the packet handed to the decoder.
//
// Picture sizes: coded P pictures of the benchmark clips (testsrc2 with noise) average about
// 90 KB at 720p and 200 KB at 1080p; 1 MB stands for an intra picture at a high rate.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "demux/mediaDemuxer.h"
#include "privacy/accessUnit.h"
#include "privacy/decryptMosic.h"
#include "privacy/privacyPacket.h"
#include "privacy/privacySeiWriter.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

namespace {

const char* const k_key = "bench-privacy-key";

// A coded P slice's worth of random bytes behind a start code (no start-code emulation).
std::vector<uint8_t> make_picture(size_t size) {
    std::mt19937 rng(7);
    std::vector<uint8_t> picture(size);
    for (auto& b : picture) b = static_cast<uint8_t>(rng() % 255 + 1);
    const uint8_t header[] = {0, 0, 0, 1, 0x41};
    std::memcpy(picture.data(), header, sizeof(header));
    return picture;
}

// What the demuxer reads for one hidden picture: a delimiter, a user-data SEI, the privacy
// SEI, and the masked picture's slice.
std::vector<uint8_t> make_packet(size_t picture_size) {
    std::vector<uint8_t> packet = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x06, 0x05, 0x10};
    for (int i = 0; i < 16; ++i) packet.push_back(static_cast<uint8_t>(0x40 + i));
    packet.push_back(0x80);
    const std::vector<uint8_t> picture = make_picture(picture_size);
    privacy_sei_options options;
    options.version_text = "ver-bench";
    std::string error;
    if (!build_privacy_sei(AV_CODEC_ID_H264, picture.data(), picture.size(), k_key, options, &packet, &error)) {
        return {};
    }
    const std::vector<uint8_t> masked = make_picture(picture_size / 4);
    packet.insert(packet.end(), masked.begin(), masked.end());
    return packet;
}

void set_size_counters(benchmark::State& state, size_t size) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    state.counters["picture_KB"] = static_cast<double>(size) / 1000.0;
}

// The whole step as the demux loop runs it: demuxer_mosic_process (read the access unit,
// parse, PBKDF2, base64, decrypt, copy into a new packet), ending with the decoder's push
// taking its reference.
void BM_privacy_step(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> bytes = make_packet(size);
    if (bytes.empty()) {
        state.SkipWithError("could not build the privacy SEI");
        return;
    }
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, static_cast<int>(bytes.size()));
    std::memcpy(packet->data, bytes.data(), bytes.size());
    packet->pts = packet->dts = 512;

    job_context job;  // prints nothing
    mediaDemuxer demuxer(job, nullptr, mediaDemuxer::k_type_privacy, k_key);
    demuxer.video_codec_id = AV_CODEC_ID_H264;
    int64_t delivered = 0;
    demuxer.set_callback(0, [&delivered](void* item) {
        avPacketDev taken(static_cast<AVPacket*>(item));
        delivered += taken.pkt != nullptr ? taken.pkt->size : 0;
    });
    for (auto _ : state) {
        if (demuxer.demuxer_mosic_process(packet) != 0) {
            state.SkipWithError("privacy step failed");
            break;
        }
    }
    if (delivered / std::max<int64_t>(1, state.iterations()) != static_cast<int64_t>(size)) {
        state.SkipWithError("restored picture has the wrong size");
    }
    set_size_counters(state, size);
    av_packet_free(&packet);
}

// Reading the access unit alone: its NAL units up to the masked slice, and the SEI messages.
void BM_access_unit_scan(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const std::vector<uint8_t> bytes = make_packet(size);
    privacy::access_unit unit;
    for (auto _ : state) {
        privacy::scan_access_unit(bytes.data(), bytes.size(), AV_CODEC_ID_H264, &unit);
        benchmark::DoNotOptimize(unit.message.payload_at);
    }
    if (!unit.message.found) state.SkipWithError("no privacy message found");
    set_size_counters(state, size);
}

void BM_pbkdf2(benchmark::State& state) {
    uint8_t salt[privacy::k_salt_size] = {1, 2, 3};
    uint8_t key[privacy::k_key_size];
    const std::string password = k_key;
    for (auto _ : state) {
        privacy::derive_key(password, salt, sizeof(salt), privacy::k_kdf_iterations, key, sizeof(key));
        benchmark::DoNotOptimize(key);
    }
}

void BM_base64_decode(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> raw = make_picture(size);
    std::vector<uint8_t> text(privacy::base64_length(size) + 1);
    const int length = EVP_EncodeBlock(text.data(), raw.data(), static_cast<int>(size));
    std::vector<uint8_t> out(size + 16);
    for (auto _ : state) {
        benchmark::DoNotOptimize(privacy::base64_decode(text.data(), static_cast<size_t>(length), out.data(), out.size()));
    }
    set_size_counters(state, size);
}

void BM_gcm_decrypt(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> plain = make_picture(size);
    std::vector<uint8_t> cipher(size), out(size);
    uint8_t key[32] = {9}, iv[12] = {8}, tag[16];
    privacy::gcm_encrypt(key, iv, plain.data(), static_cast<int>(size), cipher.data(), tag);
    for (auto _ : state) {
        int n = 0;
        benchmark::DoNotOptimize(
            privacy::gcm_decrypt(key, iv, tag, cipher.data(), static_cast<int>(size), out.data(), &n));
    }
    set_size_counters(state, size);
}

}  // namespace

BENCHMARK(BM_privacy_step)->Arg(90'000)->Arg(200'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_access_unit_scan)->Arg(90'000)->Arg(200'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_pbkdf2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_base64_decode)->Arg(90'000)->Arg(200'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_gcm_decrypt)->Arg(90'000)->Arg(200'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
