/* libdemosaic: restores the unmasked pictures that a privacy-masked H.264/HEVC video carries,
 * from inside another program. One job restores one file, as the demosaic program does:
 *
 *     demosaic_job *job = demosaic_job_new("street.mp4", "my privacy key");
 *     demosaic_job_set(job, "copy", "1");                 (options by their command-line names)
 *     int code = demosaic_job_run(job);                   (blocks; 0 to 12, as the program's codes)
 *     printf("%d %s %s\n", code, demosaic_job_message(job), code == 0 ? demosaic_job_output(job) : "-");
 *     demosaic_job_free(job);
 *
 * Result codes and messages are those of the program's result line (man demosaic):
 *   0 Demosaic successfully, please get the new video without mosaic in the video file path
 *   1 Init decrypt Error              the cipher could not be set up
 *   2 The privacy key is incorrect    3 Open input file Error       4 Open output file Error
 *   5 video stream format Error       6 video muxer Error           7 Parama Error
 *   8 video decoder Error             9 video encoder Error         10 Interrupted by signal
 *  11 Out of memory                  12 Internal error
 * (10: the job was cancelled; 11: memory ran out; 12: an unexpected failure inside the library.) A run that does not end with 0 leaves no output file, and the
 * input is never changed.
 *
 * Threads. Jobs share nothing: several may run at once, each in a thread of the host's. One
 * job is used by one thread at a time, except demosaic_job_cancel, which any thread may call
 * while another runs the job. Callbacks are called from the job's own threads (see
 * demosaic_job_on_progress and demosaic_job_on_log), never after demosaic_job_run returns.
 *
 * Output. The library writes nothing to standard output or standard error and installs no
 * signal handler. It takes FFmpeg's process-wide log callback on its first run, so that
 * FFmpeg's messages reach the log of the job they belong to (messages from threads of no
 * job, such as the host's own use of FFmpeg, are dropped from then on).
 *
 * Link with `pkg-config --cflags --libs demosaic`. Callable from C and C++. */
#ifndef DEMOSAIC_H
#define DEMOSAIC_H

#include <stdint.h>

#if defined(DEMOSAIC_BUILDING_LIBRARY)
#define DEMOSAIC_API __attribute__((visibility("default")))
#else
#define DEMOSAIC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One restore job: input, key, options, callbacks, and the outcome of its last run. */
typedef struct demosaic_job demosaic_job;

/* Pictures written so far, and the input's picture count or an estimate from its length
 * (-1: unknown). */
typedef void (*demosaic_progress_fn)(void *opaque, int64_t done, int64_t total);

/* One log line as the program prints it: the whole line with its newline, level tag, time,
 * process id and colour codes; FFmpeg's messages in FFmpeg's own words. */
typedef void (*demosaic_log_fn)(void *opaque, int level, const char *line);

/* The levels of a log line. */
#define DEMOSAIC_LOG_PLAIN 0   /* a plain line: the payload version ("mosic version: ...") */
#define DEMOSAIC_LOG_ERROR 1   /* an ERR line: what ends the run (and FFmpeg's errors) */
#define DEMOSAIC_LOG_WARNING 2 /* a WRN line: progress of the run, trouble it survives */

/* What demosaic_job_set returns besides 0. */
#define DEMOSAIC_UNKNOWN_OPTION (-1)
#define DEMOSAIC_BAD_VALUE (-2)
#define DEMOSAIC_JOB_RUNNING (-3) /* options and callbacks cannot change during a run */

/* The library's version, "MAJOR.MINOR.PATCH" (a static string). */
DEMOSAIC_API const char *demosaic_version(void);

/* A job for the video at input (an .mp4 or .avi path, UTF-8) and the privacy key, with the
 * default options: output beside the input, decode and re-encode, no callbacks. Both strings
 * are copied; the job's copy of the key is wiped when the job is freed. NULL when input or key
 * is NULL, or when memory is short. */
DEMOSAIC_API demosaic_job *demosaic_job_new(const char *input, const char *key);

/* Sets an option by the name of the program's command-line option without its dashes:
 *   "copy"    "1": lossless restore, the hidden pictures copied as recorded (key pictures stay
 *             masked); "0": decode and re-encode (the default)
 *   "output"  a directory (the usual output name inside it) or the output file itself, whose
 *             extension must be the input's; "" (the default): beside the input
 *   "from", "to"  restore only the hidden pictures from this time on / before this time: seconds
 *             ("12.5") or [HH:]MM:SS[.fff] ("14:02"); the output's times start near zero
 *   "report"  create an evidence record (JSON) at this path, which must not exist yet
 *   "check"   "1": test the key on the first privacy message only and write nothing (0 with
 *             "The privacy key is correct", 2 for a wrong key)
 *   "info"    "1": describe the input (the key is not used) and write nothing; the JSON object
 *             of demosaic --info is then demosaic_job_description's
 * Options that do not go together (a range that ends before it starts; "check" or "info" with
 * "copy", "output", "from", "to" or each other) end the run with code 7.
 * Returns 0, DEMOSAIC_UNKNOWN_OPTION, DEMOSAIC_BAD_VALUE (NULL or a value the option does not
 * take; the option keeps its value) or DEMOSAIC_JOB_RUNNING. */
DEMOSAIC_API int demosaic_job_set(demosaic_job *job, const char *option, const char *value);

/* Calls fn(opaque, done, total) after each picture written, with done increasing by one; on a
 * run that ends with 0 the last call's done is the output's picture count. Called on the job's muxer thread, one call at a time.
 * NULL fn: no calls (the default). Set before the run. */
DEMOSAIC_API void demosaic_job_on_progress(demosaic_job *job, demosaic_progress_fn fn, void *opaque);

/* Calls fn(opaque, level, line) for each log line of the job (every level). Called on the
 * thread that runs the job and on the job's decoder, encoder and muxer threads, one call at a
 * time. NULL fn: no log at all (the default). Set before the run. */
DEMOSAIC_API void demosaic_job_on_log(demosaic_job *job, demosaic_log_fn fn, void *opaque);

/* Runs the job on the calling thread and returns its result code (0 to 12) when it is done.
 * Each run starts afresh: the status of an earlier run does not carry over, so a job may be
 * run again (a new output name each time). 7 for a NULL job, or when the job is already
 * running in another thread (that run goes on undisturbed). */
DEMOSAIC_API int demosaic_job_run(demosaic_job *job);

/* Ends the job's run with code 10 and no output file. Safe from any thread and from the job's
 * callbacks; returns at once, the run ends soon after. A cancel while no run is going on
 * applies to the next run, which then ends with 10 at once. A cancel that comes after the run
 * has finished its output file changes nothing. */
DEMOSAIC_API void demosaic_job_cancel(demosaic_job *job);

/* The result message of the last run ("" before the first run; NULL for a NULL job). Valid
 * until the next run or demosaic_job_free. */
DEMOSAIC_API const char *demosaic_job_message(const demosaic_job *job);

/* The path of the file the last run wrote when it ended with 0, else NULL. Valid until the
 * next run or demosaic_job_free. */
DEMOSAIC_API const char *demosaic_job_output(const demosaic_job *job);

/* The JSON object describing the input (as demosaic --info prints it) when the last run had
 * "info" set, else NULL. Valid until the next run or demosaic_job_free. */
DEMOSAIC_API const char *demosaic_job_description(const demosaic_job *job);

/* Frees the job and wipes its copy of the key. NULL: nothing. Not while the job runs. */
DEMOSAIC_API void demosaic_job_free(demosaic_job *job);

#ifdef __cplusplus
}
#endif

#endif /* DEMOSAIC_H */
