// Helpers for tests that run real programs (demosaic, mosaic, ffmpeg, ffprobe).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct run_result {
    int exit_code = -1;       // the program's exit status (0-255), or -1 when it did not exit normally
    int signal = 0;           // the signal that ended it, when one did
    bool timed_out = false;   // killed after the time limit
    std::string out;          // everything it wrote to stdout
    std::string err;          // everything it wrote to stderr
};

// Runs argv[0] (looked up in PATH when it has no '/') with the given arguments, the
// working directory cwd (empty: unchanged) and stdin_text as its standard input. Kills it
// after timeout_seconds.
run_result run(const std::vector<std::string>& argv, const std::string& stdin_text = std::string(),
               double timeout_seconds = 120, const std::string& cwd = std::string());

// What body writes to this process's standard output.
std::string capture_stdout(const std::function<void()>& body);

// A fresh, empty folder for one test under the build's scratch folder.
std::string scratch_dir(const std::string& name);
// The same, named prefix followed by the running test's name.
std::string test_scratch_dir(const std::string& prefix);

// The lines of text that begin with prefix.
std::vector<std::string> lines_starting_with(const std::string& text, const std::string& prefix);

// Files in dir (names only), sorted.
std::vector<std::string> list_dir(const std::string& dir);

bool file_exists(const std::string& path);

// The files demosaic wrote in dir (names holding "_decmosic_"), as full paths, sorted.
std::vector<std::string> restored_files(const std::string& dir);

// A demosaic run: its exit status, the code of its last result line (-1000 when it printed
// none), how many result lines it printed, and everything it wrote to stdout and stderr.
struct restore_result {
    int exit_code = -1, result_code = -1000, result_lines = 0;
    std::string out;
};
restore_result restore_run(const run_result& r);
restore_result run_demosaic(const std::string& input, const std::string& key, const std::string& stdin_text = "");

// Masks a testsrc2 clip (libx264, yuv420p, 25 fps; a sine tone in audio_codec unless empty)
// with mosaic at preset ultrafast; mosaic_options are added. True when mosaic succeeded.
bool make_masked(const std::string& path, const std::string& key, int width, int height, int frames,
                 const std::string& audio_codec, const std::vector<std::string>& mosaic_options);

// True when an ffmpeg and ffprobe can be run from PATH.
bool have_ffmpeg();

// Makes a small test clip with ffmpeg's lavfi sources. video_codec is an ffmpeg encoder
// name ("libx264", "libx265", "mpeg4"); audio_codec empty for none. Returns true on success.
bool make_clip(const std::string& path, const std::string& video_codec, int width, int height, int frames,
               int fps, const std::string& audio_codec = std::string(),
               const std::string& extra_video_args = std::string());

}  // namespace testsupport
