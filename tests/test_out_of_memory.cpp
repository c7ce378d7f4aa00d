// Memory that runs out is a result like any other: the job ends with code 11 and its unfinished
// output is removed, wherever the allocation fails: on the caller's thread while the stages are
// built (the output file exists, no muxer has it yet) or once the muxer writes (the decryptor's
// buffers, made at the first hidden picture), or on a stage's worker thread.
// This program replaces the global operator new so that one chosen allocation fails.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <thread>

#include "encode/videoEncode.h"
#include "interface/pqMosaicInterface.h"
#include "privacy/decryptMosic.h"
#include "tests/support/process.h"

namespace {

std::atomic<size_t> g_fail_size{0};          // the next allocation of this size fails
std::atomic<bool> g_fail_on_worker{false};  // the next allocation off the test's thread fails
std::thread::id g_test_thread;

bool fails(size_t size) {
    size_t armed = size;
    if (size != 0 && g_fail_size.compare_exchange_strong(armed, 0)) return true;
    return g_fail_on_worker && std::this_thread::get_id() != g_test_thread && g_fail_on_worker.exchange(false);
}

}  // namespace

void* operator new(size_t size) {
    if (fails(size)) throw std::bad_alloc();
    if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
    throw std::bad_alloc();
}
// (A sanitiser's runtime has the other forms of its own, which would not come here.)
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
// (Out of line: inlined, GCC would take free() after operator new for a mismatch.)
__attribute__((noinline)) void operator delete(void* memory) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete(void* memory, size_t) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete[](void* memory) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
__attribute__((noinline)) void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

TEST(OutOfMemory, EndsTheJobWithCode11AndNoOutputWhereverItRunsOut) {
    if (!testsupport::have_ffmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string dir = testsupport::scratch_dir("out_of_memory"), input = dir + "/clip.mp4";
    ASSERT_TRUE(testsupport::make_masked(input, "k", 64, 48, 12, "aac", {}));
    g_test_thread = std::this_thread::get_id();
    const std::pair<const char*, std::function<void()>> failures[] = {
        {"the encoder stage, made after the output file", [] { g_fail_size = sizeof(videoEncode); }},
        {"the decryptor's buffer, made once the muxer writes", [] { g_fail_size = decryptMosic::k_cipher_buf_size; }},
        {"a stage's worker thread", [] { g_fail_on_worker = true; }},
    };
    for (const auto& [where, arm] : failures) {
        SCOPED_TRACE(where);
        job_context job;
        arm();
        EXPECT_EQ(pq_mosaic_interface_input(job, input.c_str(), "k", restore_options()), RESULT_OUT_OF_MEMORY);
        EXPECT_TRUE(g_fail_size == 0 && !g_fail_on_worker) << "the allocation was not made";
        g_fail_size = 0;
        g_fail_on_worker = false;
        std::string message;
        job.get_result_status(&message);
        EXPECT_EQ(message, "Out of memory");
        EXPECT_TRUE(testsupport::restored_files(dir).empty());
    }
    // Disarmed, the same job succeeds.
    job_context job;
    EXPECT_EQ(pq_mosaic_interface_input(job, input.c_str(), "k", restore_options()), RESULT_OK);
}
