// Reads the first syntax elements of a NAL unit's payload: bits and unsigned Exp-Golomb
// values (ue(v)), with emulation prevention bytes (a 03 after two zero bytes) skipped on the
// way. Enough for the front of a slice header or a sequence parameter set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace privacy {

class bit_reader {
public:
    // [data, data + size): the bytes behind the NAL header.
    bit_reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    // Skips whole bytes (only at the start, before any bit is read).
    void skip_bytes(size_t count) {
        for (uint8_t ignored = 0; count > 0 && next_byte(&ignored); --count) {
        }
    }

    bool read_bit(uint32_t* bit) {
        if (left_ == 0) {
            if (!next_byte(&byte_)) return false;
            left_ = 8;
        }
        --left_;
        *bit = (byte_ >> left_) & 1;
        return true;
    }

    bool read_ue(uint32_t* value) {
        int zeros = 0;
        for (uint32_t bit = 0;;) {
            if (!read_bit(&bit)) return false;
            if (bit) break;
            if (++zeros > 31) return false;
        }
        uint32_t suffix = 0;
        for (int i = 0; i < zeros; ++i) {
            uint32_t bit = 0;
            if (!read_bit(&bit)) return false;
            suffix = suffix << 1 | bit;
        }
        *value = (uint32_t{1} << zeros) - 1 + suffix;
        return true;
    }

private:
    bool next_byte(uint8_t* byte) {
        if (zeros_ >= 2 && pos_ < size_ && data_[pos_] == 0x03) {
            ++pos_;
            zeros_ = 0;
        }
        if (pos_ >= size_) return false;
        *byte = data_[pos_++];
        zeros_ = *byte == 0 ? zeros_ + 1 : 0;
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
    int zeros_ = 0;
    uint8_t byte_ = 0;
    int left_ = 0;
};

}  // namespace privacy
