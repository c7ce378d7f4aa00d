// Rewrites a media file packet by packet with libavformat (stream copy, same container), so
// that tests can damage the coded video in ways a byte editor cannot: change one NAL unit
// and keep every length field of the container consistent.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Called for each packet of the main video stream with its number among those packets, in
// file order, and its bytes as stored in the container. Return false to leave the packet out.
using packet_editor = std::function<bool(int video_packet_number, std::vector<uint8_t>* data)>;

// Copies every stream of in_path into out_path (container chosen by out_path's name),
// passing video packets through edit. False when either file cannot be handled.
bool rewrite_video_packets(const std::string& in_path, const std::string& out_path, const packet_editor& edit);

// One NAL unit of a packet: its bytes from the NAL header on.
struct packet_nal {
    std::vector<uint8_t> bytes;
};

// Splits a packet into NAL units: Annex B (start codes, as AVI stores them) or 4-byte big
// endian lengths (as MP4 stores them; a length can look like a start code, so the caller
// says which). False when the packet does not fit the form.
bool split_packet(const std::vector<uint8_t>& data, bool annexb, std::vector<packet_nal>* nals);

// The inverse: 4-byte start codes or 4-byte lengths.
std::vector<uint8_t> join_packet(const std::vector<packet_nal>& nals, bool annexb);

// Non-cryptographic checksum of a whole file (FNV-1a 64); a missing file counts as empty.
uint64_t file_checksum(const std::string& path);

std::vector<uint8_t> read_bytes(const std::string& path);
bool write_bytes(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace testsupport
