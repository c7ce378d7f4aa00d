#include "common/sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <openssl/evp.h>

sha256::sha256() : context_(EVP_MD_CTX_new()) {
    failed_ = context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1;
}

sha256::~sha256() { EVP_MD_CTX_free(context_); }

void sha256::update(const void* data, size_t size) {
    if (size == 0 || failed_) return;
    failed_ = EVP_DigestUpdate(context_, data, size) != 1;
    size_ += static_cast<int64_t>(size);
}

std::string sha256::hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (failed_ || EVP_DigestFinal_ex(context_, digest, &length) != 1) {
        failed_ = true;
        return std::string();
    }
    failed_ = true;  // finished: nothing more can be fed
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[digest[i] >> 4];
        text += digits[digest[i] & 15];
    }
    return text;
}

bool sha256::update_from_file(int fd, int64_t offset) {
    std::vector<unsigned char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = pread(fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        update(buffer.data(), static_cast<size_t>(n));
        offset += n;
    }
}

std::string sha256_file(const std::string& path, int64_t* size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    sha256 digest;
    const bool read = digest.update_from_file(fd, 0);
    close(fd);
    if (size != nullptr) *size = digest.size();
    return read ? digest.hex() : std::string();
}
