#pragma once
// Reads the image in order into the scan's ring on a thread of its own, a few reads ahead of the
// scan, so the device is never idle while the scan looks at the bytes already read. A card that
// is not in the system's cache is read around it: the device puts the bytes straight into the
// ring, and the processor copies nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/scan_ring.h"

namespace image {

// The most one read of the thread asks for, and the room beyond its capacity a ring needs for
// the thread to stay that many reads ahead.
constexpr uint64_t read_ahead_read_bytes = 4 * 1024 * 1024;
constexpr uint64_t read_ahead_room = 4 * read_ahead_read_bytes;

enum class ReadAround { when_not_cached, never, always };

struct ReadAhead;

// The thread reading `image` into `ring` (empty, with read_ahead_room bytes ahead, its slots a
// multiple of read_ahead_read_bytes) from offset 0 on; null when that cannot be, and nothing read.
ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size, ScanRing* ring, ReadAround around);
// 1 when the thread reads around the system's cache.
int read_ahead_direct(const ReadAhead* r);
// Waits until image bytes from ring->end on lie in the ring: their count, at most `most`, in one
// piece of the ring; 0 at the image's end or after a failed read.
size_t read_ahead_wait(ReadAhead* r, size_t most);
// The caller is done with every byte before ring->end - ring->capacity: the thread may read over
// them.
void read_ahead_release(ReadAhead* r);
void read_ahead_stop(ReadAhead* r);

}  // namespace image
