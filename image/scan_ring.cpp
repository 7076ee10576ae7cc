#include "image/scan_ring.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "basics/checked_alloc.h"
#include "platform/platform.h"

namespace image {

namespace {

struct Lending {
    const ScanRing* ring;
    std::FILE* image;
    int missed;
};

Lending lending = {nullptr, nullptr, 0};

}  // namespace

void scan_ring_init(ScanRing* ring, uint64_t capacity)
{
    if (capacity == 0)
        capacity = 1;
    size_t granule = platform::ring_granule();
    if (capacity % granule == 0 && capacity <= SIZE_MAX / 4) {
        ring->data = platform::map_ring_twice(static_cast<size_t>(capacity), scan_ring_guard);
        if (ring->data) {
            ring->capacity = capacity;
            ring->end = 0;
            ring->mirrored = 1;
            return;
        }
    }
    auto* block = static_cast<uint8_t*>(basics::xmalloc(scan_ring_guard + static_cast<size_t>(capacity)));
    // filled once front to back and then over and over: large pages spare most of the faults of
    // its first pass
    platform::advise_large_buffer(block, scan_ring_guard + static_cast<size_t>(capacity));
    ring->data = block + scan_ring_guard;
    ring->capacity = capacity;
    ring->end = 0;
    ring->mirrored = 0;
}

namespace {

// Never destroyed: a run that ends through exit may leave it running.
std::thread* freeing = nullptr;

void give_back(ScanRing ring)
{
    if (ring.data && ring.mirrored)
        platform::unmap_ring_twice(ring.data, static_cast<size_t>(ring.capacity), scan_ring_guard);
    else if (ring.data)
        std::free(ring.data - scan_ring_guard);
}

}  // namespace

void scan_ring_free(ScanRing* ring)
{
    give_back(*ring);
    *ring = ScanRing{nullptr, 0, 0, 0};
}

void scan_ring_free_aside(ScanRing* ring)
{
    scan_ring_freed();
    ScanRing held = *ring;
    *ring = ScanRing{nullptr, 0, 0, 0};
    try {
        freeing = new std::thread(give_back, held);
    } catch (const std::exception&) {
        give_back(held);
    }
}

void scan_ring_freed()
{
    if (!freeing)
        return;
    freeing->join();
    delete freeing;
    freeing = nullptr;
}

uint8_t* scan_ring_tail(ScanRing* ring, size_t* room)
{
    size_t at = static_cast<size_t>(ring->end % ring->capacity);
    if (at == 0 && ring->end > 0 && ring->capacity >= scan_ring_guard && !ring->mirrored)
        std::memcpy(ring->data - scan_ring_guard, ring->data + ring->capacity - scan_ring_guard, scan_ring_guard);
    *room = static_cast<size_t>(ring->capacity) - at;
    return ring->data + at;
}

namespace {

// Windows across the wrap are looked at through the ring's second showing; its pages are let go
// every 16 MiB the scan reads, so that they do not count twice for long. Each letting go flushes
// the address caches of every core and the next windows fault the pages in again: every 4 MiB,
// that took a tenth of the run's CPU. On the first pass the ring's pages are got a step ahead of
// the reads that fill them.
constexpr uint64_t mirror_drop_step = 16ull << 20;

void advance(ScanRing* ring, uint64_t n)
{
    uint64_t before = ring->end;
    ring->end += n;
    if (!ring->mirrored || before / mirror_drop_step == ring->end / mirror_drop_step)
        return;
    platform::drop_ring_mirror_pages(ring->data + ring->capacity, static_cast<size_t>(ring->capacity));
    uint64_t step_at = ring->end / mirror_drop_step * mirror_drop_step;
    if (step_at < ring->capacity)
        platform::prepare_ring_pages(ring->data + step_at,
                                     static_cast<size_t>(std::min(mirror_drop_step, ring->capacity - step_at)));
}

}  // namespace

void scan_ring_commit(ScanRing* ring, size_t n) { advance(ring, n); }

void scan_ring_append(ScanRing* ring, const uint8_t* bytes, size_t n)
{
    if (n > ring->capacity) {  // only the last capacity bytes stay
        ring->end += n - ring->capacity;
        bytes += n - ring->capacity;
        n = static_cast<size_t>(ring->capacity);
    }
    size_t at = static_cast<size_t>(ring->end % ring->capacity);
    size_t first = n < ring->capacity - at ? n : static_cast<size_t>(ring->capacity - at);
    std::memcpy(ring->data + at, bytes, first);
    std::memcpy(ring->data, bytes + first, n - first);
    advance(ring, n);
}

uint64_t scan_ring_start(const ScanRing* ring) { return ring->end > ring->capacity ? ring->end - ring->capacity : 0; }

int scan_ring_copy(const ScanRing* ring, uint64_t offset, void* out, uint64_t n)
{
    if (offset < scan_ring_start(ring) || offset > ring->end || n > ring->end - offset)
        return 0;
    if (n == 0)
        return 1;
    size_t at = static_cast<size_t>(offset % ring->capacity);
    size_t first = n < ring->capacity - at ? static_cast<size_t>(n) : static_cast<size_t>(ring->capacity - at);
    std::memcpy(out, ring->data + at, first);
    std::memcpy(static_cast<uint8_t*>(out) + first, ring->data, static_cast<size_t>(n) - first);
    return 1;
}

uint64_t scan_ring_span(const ScanRing* ring, uint64_t offset, uint64_t n, const uint8_t** at)
{
    if (offset < scan_ring_start(ring) || offset >= ring->end)
        return 0;
    uint64_t within = offset % ring->capacity;
    uint64_t piece = ring->mirrored ? ring->end - offset : ring->capacity - within;
    if (piece > ring->end - offset)
        piece = ring->end - offset;
    *at = ring->data + within;
    return piece < n ? piece : n;
}

void scan_ring_lend(const ScanRing* ring, std::FILE* image) { lending = {ring, image, 0}; }

void scan_ring_unlend() { lending = {nullptr, nullptr, 0}; }

int scan_ring_missed() { return lending.missed; }

int scan_ring_lent_span(std::FILE* image, uint64_t offset, uint64_t n, const uint8_t** at)
{
    return lending.ring && image == lending.image && n > 0 && scan_ring_span(lending.ring, offset, n, at) == n;
}

int scan_ring_serve(std::FILE* image, uint64_t offset, void* buf, uint64_t n, int* ok)
{
    if (!lending.ring || image != lending.image)
        return 0;
    *ok = scan_ring_copy(lending.ring, offset, buf, n);
    if (!*ok)
        lending.missed = 1;
    return 1;
}

}  // namespace image
