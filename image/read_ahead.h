#pragma once
// Reading ahead of the raw scan on a thread of its own. The scan reads a slice, then scans,
// hashes and spools it; a card reader would stand still meanwhile, the system reading only a
// little ahead of a file on its own. This thread keeps reading the image ahead of the scan into
// the system's cache, so the reader works all the time and the scan's own reads find the bytes
// there. The thread's bytes are thrown away: what the scan makes of the card comes from its own
// reads.
//
// A failing card must not be read far ahead blindly: each failed read can take seconds. So the
// thread reads a piece at a time, each only when the one before it read, and stops for good at
// the first that fails. While the card reads, the thread goes on to `read_ahead_bytes` ahead of
// the scan, so the reader keeps working while the scan catches up.
#include <cstdint>
#include <cstdio>

namespace image {

struct ReadAhead;

// Starts reading ahead of offset 0 of the image; null where the system cannot fetch into its cache or
// no thread can be started (the scan then reads as before).
ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size);
// The scan has read everything before `offset` without a failed read: the thread reads on, but
// not at or past `until` (a failing card's stretches that did not read, or that a mapfile names,
// are not to be tried again in the background). `until` at `offset` stops the reading ahead.
void read_ahead_to(ReadAhead* ahead, uint64_t offset, uint64_t until);
// How far ahead of the scan the thread reads at most while the card reads.
constexpr uint64_t read_ahead_bytes = 16 << 20;
// Stops the thread and frees it (null: nothing).
void read_ahead_stop(ReadAhead* ahead);

}  // namespace image
