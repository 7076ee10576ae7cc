#pragma once
// Reading ahead of the raw scan on a thread of its own. The scan reads a slice, then scans,
// hashes and spools it; a card reader would stand still meanwhile, the system reading only a
// little ahead of a file on its own. This thread keeps asking the system to read the image a few
// MiB ahead of the scan into its cache, so the reader works all the time and the scan's own reads
// find the bytes there. Nothing is read twice: the scan's reads are the only ones.
#include <cstdint>
#include <cstdio>

namespace image {

struct ReadAhead;

// Starts reading ahead of offset 0 of the image; null where the system takes no such advice or
// no thread can be started (the scan then reads as before).
ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size);
// The scan has reached `offset`: the thread reads on up to a fixed distance past it, but not at
// or past `until` (a failing card's stretches that did not read, or that a mapfile names, are not
// to be tried again in the background: each failed read can take seconds).
void read_ahead_to(ReadAhead* ahead, uint64_t offset, uint64_t until);
// How far the scan at `offset` would have the thread read.
constexpr uint64_t read_ahead_bytes = 4 << 20;
// Stops the thread and frees it (null: nothing).
void read_ahead_stop(ReadAhead* ahead);

}  // namespace image
