// What became of the hidden pictures of one job (job_context::pictures). The stages that handle
// them count here (the privacy step on the demux thread, the decoder or the copy stage on
// theirs), and at the end of the job one line reports the counts and one rule judges them: an
// output in which fewer than half of the hidden pictures found came back intact does not hold
// the hidden pictures, and the job fails with code 5 instead of answering 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct picture_counts {
    // Access units with a picture that are shown, and the key pictures among them (the
    // evidence record and --info give them; the counts line does not).
    std::atomic<int64_t> pictures{0};
    std::atomic<int64_t> key_pictures{0};
    // Privacy messages found in pictures that are shown (not in pictures an edit list leaves out).
    std::atomic<int64_t> found{0};
    // Hidden pictures handed to the output.
    std::atomic<int64_t> restored{0};
    // Of those, pictures the decoder flagged (concealed errors), or decoded from such a picture
    // before the next key picture.
    std::atomic<int64_t> damaged{0};
    // Messages that could not be read or did not decrypt although others did (damaged data).
    std::atomic<int64_t> broken_messages{0};
    // Pictures that are not key pictures and carry no privacy message (a lost SEI, or a plain
    // video).
    std::atomic<int64_t> without_message{0};
    // Hidden pictures left out because a picture they may be predicted from is missing: they
    // come before the first key picture, or behind a picture whose hidden picture was lost.
    std::atomic<int64_t> unreferenced{0};

    void reset();
    // Hidden pictures found but not restored.
    int64_t dropped() const;
    // "hidden pictures: 96 found, 96 restored, 0 dropped, 0 damaged", and behind it, when
    // there is any, what was lost and why.
    std::string line() const;
    // The output holds the hidden pictures: nothing was found (other rules apply then), nothing
    // restored (likewise), or at least half of those found came back intact.
    bool mostly_intact() const;
};
