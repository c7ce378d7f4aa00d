#include "common/pictureCounts.h"

#include <cstdio>

void picture_counts::reset() {
    pictures = 0;
    key_pictures = 0;
    found = 0;
    restored = 0;
    damaged = 0;
    broken_messages = 0;
    without_message = 0;
    unreferenced = 0;
}

int64_t picture_counts::dropped() const {
    const int64_t missing = found.load() - restored.load();
    return missing > 0 ? missing : 0;
}

std::string picture_counts::line() const {
    char text[384];
    int at = snprintf(text, sizeof(text), "hidden pictures: %lld found, %lld restored, %lld dropped, %lld damaged",
                      static_cast<long long>(found.load()), static_cast<long long>(restored.load()),
                      static_cast<long long>(dropped()), static_cast<long long>(damaged.load()));
    const struct {
        int64_t count;
        const char* one;
        const char* many;
    } notes[] = {
        {broken_messages.load(), "privacy message damaged", "privacy messages damaged"},
        {without_message.load(), "picture without a privacy message", "pictures without a privacy message"},
        {unreferenced.load(), "hidden picture left out without its reference",
         "hidden pictures left out without their reference"},
        {damaged.load(), "damaged picture in the output", "damaged pictures in the output"},
    };
    const char* separator = " (";
    for (const auto& note : notes) {
        if (note.count == 0 || at < 0 || static_cast<size_t>(at) >= sizeof(text)) continue;
        at += snprintf(text + at, sizeof(text) - static_cast<size_t>(at), "%s%lld %s", separator,
                       static_cast<long long>(note.count), note.count == 1 ? note.one : note.many);
        separator = ", ";
    }
    std::string result(text);
    if (*separator == ',') result += ")";
    return result;
}

bool picture_counts::mostly_intact() const {
    const int64_t out = restored.load();
    return found.load() == 0 || out == 0 || 2 * (out - damaged.load()) >= found.load();
}
