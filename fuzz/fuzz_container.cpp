// libFuzzer target for whole files: the input bytes are written to a temporary file and a
// complete restore job of its own runs over it, exactly as the program runs it (demuxer,
// privacy step, decoder, encoder and muxer on their threads).
//
// Input: byte 0 chooses the file name's extension (bit 0: ".avi" instead of ".mp4"), which
// also chooses the output container, and the restore (bit 1: the lossless stream copy of
// --copy instead of decode and encode); the rest is the file. Seeds are small mosaic files with
// that byte in front (fuzz/make_container_seeds.sh).
//
// After every job the harness checks what a caller relies on: the code is 0 to 9 with its
// message, the file it was given is unchanged, and an output file exists only when the code
// is 0, as the job's output_path. The output is then removed.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "interface/pqMosaicInterface.h"

namespace {

const char* const k_key = "fuzz key";

std::string work_dir;

bool write_file(const std::string& path, const uint8_t* data, size_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && ok;
}

bool read_file(const std::string& path, std::vector<uint8_t>* bytes) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    bytes->clear();
    uint8_t buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) bytes->insert(bytes->end(), buffer, buffer + got);
    fclose(file);
    return true;
}

// Every name in the work folder but the input's.
std::vector<std::string> other_files(const std::string& input_name) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(work_dir.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != ".." && name != input_name) names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

void remove_work_dir() {
    for (const std::string& name : other_files(std::string())) unlink((work_dir + "/" + name).c_str());
    rmdir(work_dir.c_str());
}

}  // namespace

// libx265 keeps a few small blocks of every encoder it opens past x265_encoder_close, and
// libx264 loses the list of strings it copied (about 150 bytes) when it refuses its parameters,
// as it does for a level a damaged stream implies. Both are the libraries' own, once per
// encoder opened, and would otherwise end the run as a leak.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\nleak:libx264.so\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/fuzz_container.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        exit(1);
    }
    work_dir = pattern;
    atexit(remove_work_dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string input_name = (data[0] & 1) ? "input.avi" : "input.mp4";
    const std::string input_path = work_dir + "/" + input_name;
    if (!write_file(input_path, data + 1, size - 1)) abort();

    // Log lines (and FFmpeg's messages) are formatted and go nowhere.
    job_context job;
    job.log.level = STD_DEBUG_LEVEL_WRN;
    job.log.write = [](int, const char*) {};
    restore_options options;
    options.copy = (data[0] & 2) != 0;
    const int code = pq_mosaic_interface_input(job, input_path.c_str(), k_key, options);
    if (code < 0 || code > 9) abort();
    std::string message;
    if (job.get_result_status(&message) != code || message != result_message(code)) abort();

    // The input is never written to.
    std::vector<uint8_t> after;
    if (!read_file(input_path, &after) || after.size() != size - 1 ||
        (size > 1 && std::memcmp(after.data(), data + 1, size - 1) != 0)) {
        abort();
    }
    const std::vector<std::string> left = other_files(input_name);
    // A failed job leaves nothing; a successful one leaves exactly its output.
    if (code != 0 && !left.empty()) abort();
    if (code == 0 && (left.size() != 1 || job.output_path != work_dir + "/" + left[0])) abort();
    for (const std::string& name : left) unlink((work_dir + "/" + name).c_str());
    unlink(input_path.c_str());
    return 0;
}
