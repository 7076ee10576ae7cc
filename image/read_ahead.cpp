#include "image/read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace image {

struct ReadAhead {
    std::FILE* image;
    uint64_t size;
    std::mutex lock;
    std::condition_variable moved;
    uint64_t scan_at = 0;  // where the scan stands
    uint64_t until = 0;    // where the reading ahead stops
    int stopping = 0;
    std::thread thread;
};

namespace {

// A stop waits at most for one piece.
constexpr uint64_t fetch_piece_bytes = 1 << 20;

// The bytes are fetched from here: the scan must not wait for the reader. Each piece goes only as
// the one before it read: a piece that fails stops the fetching for good, and the scan comes to
// it and takes it apart.
void read_on(ReadAhead* a)
{
    uint64_t fetched = 0;  // in the cache up to here
    int failed = 0;
    std::unique_lock<std::mutex> held(a->lock);
    for (;;) {
        if (a->stopping)
            return;
        uint64_t from = std::max(fetched, a->scan_at);
        uint64_t end = failed ? 0 : std::min({a->until, a->scan_at + read_ahead_bytes, from + fetch_piece_bytes});
        if (from >= end) {
            a->moved.wait(held);
            continue;
        }
        held.unlock();
        int read = platform::fetch_into_cache(a->image, from, end - from);
        held.lock();
        fetched = end;
        failed = !read;
    }
}

}  // namespace

ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size)
{
    if (!platform::fetches_into_cache)
        return nullptr;
    auto* a = new ReadAhead;
    a->image = image;
    a->size = image_size;
    try {
        a->thread = std::thread(read_on, a);
    } catch (const std::system_error&) {
        delete a;
        return nullptr;
    }
    return a;
}

void read_ahead_to(ReadAhead* a, uint64_t offset, uint64_t until)
{
    if (!a)
        return;
    std::lock_guard<std::mutex> held(a->lock);
    a->scan_at = offset;
    a->until = std::min(until, a->size);
    a->moved.notify_one();
}

void read_ahead_stop(ReadAhead* a)
{
    if (!a)
        return;
    {
        std::lock_guard<std::mutex> held(a->lock);
        a->stopping = 1;
        a->moved.notify_one();
    }
    a->thread.join();
    delete a;
}

}  // namespace image
