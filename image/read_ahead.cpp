#include "image/read_ahead.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace image {

struct ReadAhead {
    platform::FileReader* reader;
    int direct;
    uint64_t image_size;
    ScanRing* ring;
    std::mutex lock;
    std::condition_variable changed;
    uint64_t filled;  // image bytes [0, filled) have been read into the ring
    uint64_t limit;   // the thread may read up to here
    int failed;
    int stopping;
    std::thread thread;
};

namespace {

// The reads land at their offset in the ring; the ring's slots are a multiple of a read, so a
// read never runs past its end, and the last one is rounded up to the alignment of a direct read.
void read_in_order(ReadAhead* r)
{
    const uint64_t align = platform::direct_read_alignment;
    std::unique_lock<std::mutex> held(r->lock);
    while (!r->stopping && r->filled < r->image_size) {
        uint64_t at = r->filled;
        uint64_t n = r->image_size - at < read_ahead_read_bytes ? r->image_size - at : read_ahead_read_bytes;
        if (at + read_ahead_read_bytes > r->limit) {
            r->changed.wait(held);
            continue;
        }
        held.unlock();
        uint64_t ask = (n + align - 1) / align * align;
        int64_t got = platform::read_from(r->reader, at, r->ring->data + at % r->ring->slots, static_cast<size_t>(ask));
        held.lock();
        if (got < static_cast<int64_t>(n)) {
            r->failed = 1;
            break;
        }
        r->filled = at + n;
        r->changed.notify_all();
    }
    r->changed.notify_all();
}

}  // namespace

ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size, ScanRing* ring, ReadAround around)
{
    if (ring->end != 0 || ring->slots < ring->capacity + read_ahead_room || ring->slots % read_ahead_read_bytes != 0)
        return nullptr;
    int want_direct = around == ReadAround::always ||
                      (around == ReadAround::when_not_cached && !platform::mostly_cached(image, image_size));
    int direct = 0;
    platform::FileReader* reader = platform::open_reader(image, want_direct, &direct);
    if (!reader)
        return nullptr;
    auto* r = new (std::nothrow) ReadAhead;
    if (!r) {
        platform::close_reader(reader);
        return nullptr;
    }
    r->reader = reader;
    r->direct = direct;
    r->image_size = image_size;
    r->ring = ring;
    r->filled = 0;
    r->limit = ring->slots - ring->capacity;
    r->failed = 0;
    r->stopping = 0;
    try {
        r->thread = std::thread(read_in_order, r);
    } catch (const std::system_error&) {
        platform::close_reader(reader);
        delete r;
        return nullptr;
    }
    return r;
}

int read_ahead_direct(const ReadAhead* r) { return r->direct; }

size_t read_ahead_wait(ReadAhead* r, size_t most)
{
    std::unique_lock<std::mutex> held(r->lock);
    uint64_t end = r->ring->end;
    r->changed.wait(held, [&] { return r->filled > end || r->failed || r->filled >= r->image_size; });
    uint64_t ready = r->filled > end ? r->filled - end : 0;
    uint64_t piece = r->ring->slots - end % r->ring->slots;
    if (ready > piece)
        ready = piece;
    return ready < most ? static_cast<size_t>(ready) : most;
}

void read_ahead_release(ReadAhead* r)
{
    std::lock_guard<std::mutex> held(r->lock);
    r->limit = r->ring->end + (r->ring->slots - r->ring->capacity);
    r->changed.notify_all();
}

void read_ahead_stop(ReadAhead* r)
{
    if (!r)
        return;
    {
        std::lock_guard<std::mutex> held(r->lock);
        r->stopping = 1;
        r->changed.notify_all();
    }
    r->thread.join();
    platform::close_reader(r->reader);
    delete r;
}

}  // namespace image
