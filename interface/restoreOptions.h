// How a job runs, beyond its input and key: the command line's options, reachable by their
// names without the dashes ("copy", "output", "info", "check", "from", "to", "report") so
// that a program that runs jobs sets them the way the command line does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct restore_options {
    // What the job does with its input.
    enum class job_mode {
        restore,  // restore the hidden pictures into a new file
        info,     // describe the input: its streams and what it hides (no key, nothing decoded or decrypted)
        check,    // decrypt the first privacy message only, to test the key; nothing is written
    };
    job_mode mode = job_mode::restore;

    // Lossless restore: the decrypted pictures are copied into the output as recorded,
    // beside the input's key pictures; nothing is decoded or encoded.
    bool copy = false;
    // Where the output goes: empty for the usual name beside the input; a directory for the
    // usual name in it; any other path is the output file itself.
    std::string output;

    // The time range to restore, in microseconds from the start of the input; k_no_time when
    // not given (from the start, to the end). The output holds the hidden pictures whose
    // presentation time lies in [from, to).
    static constexpr int64_t k_no_time = -1;
    int64_t from = k_no_time;
    int64_t to = k_no_time;
    bool has_range() const { return from != k_no_time || to != k_no_time; }

    // The evidence record to create (empty: none). It must not exist yet.
    std::string report;
    // The command that started the job, as the record shows it (the key already replaced by
    // "***"); empty when the job was not started from a command line.
    std::vector<std::string> command;

    // Sets the option called name (a command-line option without its dashes) from its text:
    // "copy", "info" and "check" take "1" or "0"; "from" and "to" a time (see parse_time);
    // "output" and "report" a path. False with *error saying why when the name is unknown or
    // the value is not one the option takes; the options are then unchanged.
    bool set(const std::string& name, const std::string& value, std::string* error);
    // Whether set knows an option called name.
    static bool known(const std::string& name);

    // Whether the options go together: a range ends after it starts; --info and --check do one
    // thing each and write nothing, so they take neither --copy, -o, --from nor --to.
    // False with *error saying why.
    bool validate(std::string* error) const;
};

// Reads a time: seconds with an optional fraction ("12", "12.5") or [HH:]MM:SS[.fff]
// ("1:02:03.5", "02:03"; minutes and seconds below 60). Into microseconds, digits past the
// sixth of the fraction dropped; false for anything else (signs, blanks, units, empty parts,
// more than 10^12 seconds).
bool parse_time(const std::string& text, int64_t* microseconds);

