#pragma once
// Which of a recording's samples on the card a salvaged file keeps, in decode order: what the
// decoder can decode without the samples that are missing, presented in an order that stays
// the camera's once the gaps are closed.
#include <cstdint>

namespace salvage {

// One video sample of a recording, in decode order.
struct OrderedSample {
    uint8_t usable;     // on the card and wanted
    uint8_t key;        // a key frame: decoding can start here
    uint8_t after_gap;  // samples of the recording are missing right before it
    int64_t offset;  // presentation less decode time, in frame durations' ticks; 0 without reordering
};

// Sets keep[i] for each sample. Nothing plays before a key frame, and after a missing sample
// nothing plays until the next one. A key frame that starts a span leaves out the pictures behind
// it in decode order that it presents before itself: they refer to pictures before it. The
// samples of every span are then re-timed one frame after another, so at the end of a span that
// another follows, the pictures that would present after the next span's first are left out
// (the last in decode order first, which no kept picture refers to). 1 when any is kept.
int choose_presented(const OrderedSample* samples, uint64_t count, int64_t frame_ticks, uint8_t* keep);

}  // namespace salvage
