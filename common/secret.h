// Memory that holds the privacy key or restored pictures is overwritten before it is given
// back, so that neither lingers in freed memory (where a later allocation, a core file or a
// swap page could show it).
#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// Overwrites all the storage a string holds (its whole capacity, the bytes beyond its size
// included: a shorter text may have followed a longer one) and leaves it empty.
inline void wipe_string(std::string& text) {
    text.assign(text.capacity(), '\0');  // within the capacity: no new storage
    OPENSSL_cleanse(&text[0], text.size());
    text.clear();
}

// An allocator whose storage is wiped when it is given back, so that a vector of restored
// bytes leaves nothing behind, not even in the storage it outgrew.
template <class T>
struct wiping_allocator {
    using value_type = T;
    wiping_allocator() = default;
    template <class U>
    wiping_allocator(const wiping_allocator<U>&) noexcept {}
    T* allocate(size_t count) { return std::allocator<T>().allocate(count); }
    void deallocate(T* data, size_t count) noexcept {
        OPENSSL_cleanse(data, count * sizeof(T));
        std::allocator<T>().deallocate(data, count);
    }
    template <class U>
    bool operator==(const wiping_allocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const wiping_allocator<U>&) const noexcept { return false; }
};

// The free function of an AVBufferRef made with av_buffer_create over av_malloc'd memory of
// the size passed as its opaque (wiping_buffer_opaque): wipes, then frees with av_free.
void av_buffer_wiping_free(void* opaque, uint8_t* data);
inline void* wiping_buffer_opaque(size_t size) { return reinterpret_cast<void*>(static_cast<uintptr_t>(size)); }
