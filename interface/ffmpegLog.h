// What becomes of FFmpeg's own messages. FFmpeg has one log callback per process, so the
// program (the command line) and the jobs of a library host choose here:
// - install: the command line's filter on standard error. By default warnings and errors only,
//   without the failures of hardware probes that are expected to fail and without the
//   warning our own frames cause in libx264. Verbose: everything, as FFmpeg prints it.
// - route_to_jobs: for jobs that must print nothing. Each message the same filter lets
//   through goes to the log sink of the job the calling thread works for, as a line of level
//   ERR (FFmpeg's errors) or WRN (its warnings) in FFmpeg's own words; a message from a thread
//   of no job (the threads FFmpeg starts inside a codec, or the host's own use of FFmpeg)
//   cannot be told apart and is dropped. A thread of a console job is filtered onto standard
//   error as with install.
#pragma once

namespace ffmpeg_log {

// Installs the filter (verbose false) or leaves FFmpeg's own logging as it is (true).
void install(bool verbose);

// Installs the routing to jobs; once per process, whatever the number of calls.
void route_to_jobs();

// The filter's verdict for one message (true: shown). class_name and item_name are the
// AVClass's names of the message's context (null when it has none). While a job probes
// hardware encoders (job_context::set_probing), the messages of hardware device contexts and
// hardware encoders on its threads are dropped, since every kind but one is expected to fail.
bool shown(int level, const char* class_name, const char* item_name, const char* format);

}  // namespace ffmpeg_log
