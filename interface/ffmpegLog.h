// What FFmpeg's own messages show on standard error. By default: warnings and errors only,
// without the failures of hardware probes that are expected to fail and without the
// warning our own frames cause in libx264. Verbose: everything, as FFmpeg prints it.
#pragma once

namespace ffmpeg_log {

// Installs the filter (verbose false) or leaves FFmpeg's own logging as it is (true).
void install(bool verbose);

// Brackets the encoder's probing of hardware encoders: while it lasts, messages of hardware
// device contexts and hardware encoders are dropped (unless verbose), since every kind but
// one is expected to fail on a given machine.
void set_probing(bool probing);

// The filter's verdict for one message (true: shown). class_name and item_name are the
// AVClass's names of the message's context (null when it has none).
bool shown(int level, const char* class_name, const char* item_name, const char* format);

}  // namespace ffmpeg_log
