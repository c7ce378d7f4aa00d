#include "interface/restoreOptions.h"

#include <algorithm>
#include <iterator>

#include "common/json.h"

namespace {

constexpr int64_t k_max_seconds = 1000000000000LL;  // 10^12 s: far inside int64 microseconds

// One run of digits at text[*at], as a number no larger than k_max_seconds; false when there
// is no digit or the number is larger.
bool read_number(const std::string& text, size_t* at, int64_t* value, size_t* digits) {
    *value = 0;
    *digits = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') {
        *value = *value * 10 + (text[*at] - '0');
        if (*value > k_max_seconds) return false;
        ++*at;
        ++*digits;
    }
    return *digits > 0;
}

bool read_flag(const std::string& value, bool* flag, std::string* error, const std::string& name) {
    if (value != "0" && value != "1") {
        *error = name + " takes 1 or 0, not \"" + value + "\"";
        return false;
    }
    *flag = value == "1";
    return true;
}

// A time for messages, in seconds ("12.5").
std::string seconds_text(int64_t microseconds) { return json::number(static_cast<double>(microseconds) / 1e6); }

}  // namespace

bool parse_time(const std::string& text, int64_t* microseconds) {
    // Up to three colon-separated parts; only the last may have a fraction.
    int64_t parts[3] = {0, 0, 0};
    size_t count = 0, at = 0, digits = 0;
    for (;;) {
        if (count == 3 || !read_number(text, &at, &parts[count], &digits)) return false;
        ++count;
        if (at == text.size() || text[at] != ':') break;
        ++at;
    }
    int64_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        int64_t scale = 100000;
        size_t fraction_digits = 0;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++fraction_digits) {
            fraction += (text[at] - '0') * scale;
            scale /= 10;
        }
        if (fraction_digits == 0) return false;
    }
    if (at != text.size()) return false;
    int64_t seconds = parts[count - 1];
    if (count > 1) {
        // The colon form: seconds and minutes below 60.
        if (parts[count - 1] >= 60 || (count == 3 && parts[1] >= 60)) return false;
        seconds = count == 2 ? parts[0] * 60 + parts[1] : (parts[0] * 60 + parts[1]) * 60 + parts[2];
        if (seconds > k_max_seconds) return false;
    }
    *microseconds = seconds * 1000000 + fraction;
    return true;
}

bool restore_options::known(const std::string& name) {
    static const char* const names[] = {"copy", "output", "from", "to", "report", "check", "info"};
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

bool restore_options::set(const std::string& name, const std::string& value, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (!known(name)) {
        *error = "no option \"" + name + "\"";
        return false;
    }
    if (name == "copy") return read_flag(value, &copy, error, "--copy");
    if (name == "info" || name == "check") {
        bool on = false;
        if (!read_flag(value, &on, error, "--" + name)) return false;
        const job_mode wanted = name == "info" ? job_mode::info : job_mode::check;
        if (on) {
            mode = wanted;
        } else if (mode == wanted) {
            mode = job_mode::restore;
        }
        return true;
    }
    if (name == "from" || name == "to") {
        int64_t time = 0;
        if (!parse_time(value, &time)) {
            *error = "--" + name + " takes a time in seconds (12.5) or [HH:]MM:SS[.fff] (1:02:03.5), not \"" +
                     value + "\"";
            return false;
        }
        (name == "from" ? from : to) = time;
        return true;
    }
    // "output" or "report": a path.
    if (value.empty()) {
        *error = (name == "output" ? "-o" : "--report") + std::string(" takes a path, not an empty text");
        return false;
    }
    (name == "output" ? output : report) = value;
    return true;
}

bool restore_options::validate(std::string* error) const {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    if (mode != job_mode::restore && (copy || !output.empty() || has_range())) {
        *error = std::string(mode == job_mode::info ? "--info" : "--check") +
                 " writes no video: it takes neither --copy, -o, --from nor --to";
        return false;
    }
    if (from != k_no_time && to != k_no_time && from >= to) {
        *error = "the range --from " + seconds_text(from) + " --to " + seconds_text(to) +
                 " is empty: --to must come after --from";
        return false;
    }
    return true;
}
