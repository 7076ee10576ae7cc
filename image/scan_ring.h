#pragma once
// The last stretch of image bytes the raw scan has read, kept in a ring so that work which needs
// the bytes around a hit can be done while they pass, instead of reading them again later. While
// a ring is lent to read_at for an image, reads of that image are served from the ring alone.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace image {

struct ScanRing {
    uint8_t* data;
    uint64_t capacity;
    uint64_t end;  // image offset just past the last byte appended
    // 1 when the ring's memory shows twice back to back (and its last bytes once more in front):
    // held bytes across the wrap then lie in one piece, and nothing is copied at the wrap
    int mirrored;
};

// The bytes before `data` that repeat the ring's last ones once it has wrapped, so that the
// bytes just before any place in the ring lie in one piece in front of it.
constexpr size_t scan_ring_guard = 512;

// A ring of `capacity` bytes (at least 1) holding nothing yet; mirrored where the system maps it so
// and the capacity is a whole number of its granules.
void scan_ring_init(ScanRing* ring, uint64_t capacity);
void scan_ring_free(ScanRing* ring);
// As scan_ring_free, the memory given back on a thread of its own where one starts: giving back
// tens of MiB of pages takes a while, and the run goes on meanwhile. scan_ring_freed waits for it.
void scan_ring_free_aside(ScanRing* ring);
void scan_ring_freed();
// Appends the image bytes that follow the ones appended so far.
void scan_ring_append(ScanRing* ring, const uint8_t* bytes, size_t n);
// Where the next image bytes go when they are read straight into the ring, and *room, how many
// fit there in one piece; in a ring of at least scan_ring_guard bytes, the min(end,
// scan_ring_guard) bytes before that place are the image bytes just before. scan_ring_commit then
// takes the n bytes put there.
uint8_t* scan_ring_tail(ScanRing* ring, size_t* room);
void scan_ring_commit(ScanRing* ring, size_t n);
// The first image offset still held.
uint64_t scan_ring_start(const ScanRing* ring);
// Exactly n bytes at `offset` when all of them are still held: 1, else 0 and nothing copied.
int scan_ring_copy(const ScanRing* ring, uint64_t offset, void* out, uint64_t n);

// The held bytes from `offset` on, as far as they lie in one piece of the ring (at most n; in a
// mirrored ring every held byte from there on): their count, with *at pointing to them; 0 when
// `offset` is not held.
uint64_t scan_ring_span(const ScanRing* ring, uint64_t offset, uint64_t n, const uint8_t** at);

// Until scan_ring_unlend, read_at of `image` copies from the ring. A read of bytes the ring does
// not hold fails and is remembered: scan_ring_missed tells whether one did since the lending.
void scan_ring_lend(const ScanRing* ring, std::FILE* image);
void scan_ring_unlend();
int scan_ring_missed();
// 1 with *at pointing to image bytes [offset, offset + n) when a ring lent for `image` holds them
// in one piece: they can be looked at where they are, until the ring takes more bytes.
int scan_ring_lent_span(std::FILE* image, uint64_t offset, uint64_t n, const uint8_t** at);
// The read_at hook: 1 when the ring is lent for `image` (*ok then tells whether the read was
// served), 0 when the read goes to the file.
int scan_ring_serve(std::FILE* image, uint64_t offset, void* buf, uint64_t n, int* ok);

}  // namespace image
