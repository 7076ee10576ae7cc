#pragma once
// Reading ahead of the raw scan on a thread of its own. The scan reads a slice, then scans,
// hashes and spools it; a card reader would stand still meanwhile, the system reading only a
// little ahead of a file on its own. This thread keeps asking the system to read the image ahead
// of the scan into its cache, so the reader works all the time and the scan's own reads find the
// bytes there. The scan's reads are the only ones that take bytes, but for one sector a MiB the
// thread reads itself to learn that the card still reads there.
//
// A failing card must not be read far ahead blindly: each failed read can take seconds, and the
// system's reads of a dead zone fail too. So the advice goes at most `read_ahead_unshown_bytes`
// past the last place the card was seen to read (by the scan or by the thread's own look), and
// stops for good at the first look that fails. While the card reads, the thread goes on to
// `read_ahead_bytes` ahead of the scan, so the reader keeps working while the scan catches up.
#include <cstdint>
#include <cstdio>

namespace image {

struct ReadAhead;

// Starts reading ahead of offset 0 of the image; null where the system takes no such advice or
// no thread can be started (the scan then reads as before).
ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size);
// The scan has read everything before `offset` without a failed read: the thread reads on, but
// not at or past `until` (a failing card's stretches that did not read, or that a mapfile names,
// are not to be tried again in the background). `until` at `offset` stops the reading ahead.
void read_ahead_to(ReadAhead* ahead, uint64_t offset, uint64_t until);
// How far ahead of the scan the thread reads at most while the card reads.
constexpr uint64_t read_ahead_bytes = 16 << 20;
// How far past the last place the card was seen to read the thread asks for bytes.
constexpr uint64_t read_ahead_unshown_bytes = 4 << 20;
// The thread looks at one sector every this many bytes to see the card read.
constexpr uint64_t read_ahead_look_every = 1 << 20;
// Stops the thread and frees it (null: nothing).
void read_ahead_stop(ReadAhead* ahead);

}  // namespace image
