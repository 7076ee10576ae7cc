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
    // not usable, but no picture after it refers to it (a leading picture of the key frame that
    // starts a stream, its references gone): what follows it still plays
    uint8_t passed;
};

// Sets keep[i] for each sample. Nothing plays before a key frame, and after a missing sample
// nothing plays until the next one. A key frame that starts a span leaves out the pictures behind
// it in decode order that it presents before itself: they refer to pictures before it. 1 when
// any is kept.
int choose_presented(const OrderedSample* samples, uint64_t count, int64_t frame_ticks, uint8_t* keep);

// The kept samples are decoded one frame after another, the gaps closed. A span's last pictures
// may be shown later than the next span's first would then be (a P picture whose B pictures were
// lost), so every span is shown later by whole frames, as little as keeps each picture after all
// those before it in the camera's order; shift[i] is the kept sample's delay in ticks.
void presentation_shifts(const OrderedSample* samples, const uint8_t* keep, uint64_t count, int64_t frame_ticks,
                         int64_t* shift);

}  // namespace salvage
