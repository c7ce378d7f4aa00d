// SHA-256 through OpenSSL's EVP interface: fed piece by piece while data is read or written,
// or over what is left of a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct evp_md_ctx_st;

class sha256 {
public:
    sha256();
    ~sha256();
    sha256(const sha256&) = delete;
    sha256& operator=(const sha256&) = delete;

    void update(const void* data, size_t size);
    // Bytes fed so far.
    int64_t size() const { return size_; }
    // Ends the hashing: the digest as 64 lowercase hex digits, or empty when OpenSSL failed.
    std::string hex();

    // Feeds the bytes of the open file fd from offset to its end (read with pread, the file
    // position is left alone). False on a read error.
    bool update_from_file(int fd, int64_t offset);

private:
    evp_md_ctx_st* context_;
    bool failed_ = false;
    int64_t size_ = 0;
};

// The digest of the file at path (empty when it cannot be read) and, in *size, its length.
std::string sha256_file(const std::string& path, int64_t* size);
