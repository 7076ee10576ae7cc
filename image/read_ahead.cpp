#include "image/read_ahead.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace image {

namespace {

// How far ahead of the scan the thread reads, and in what pieces: a few hundredths of a second
// of a fast reader, small beside the system's cache.
constexpr uint64_t ahead_bytes = 16 << 20;
constexpr size_t piece_bytes = 1 << 20;

}  // namespace

struct ReadAhead {
    std::FILE* image;
    uint64_t size;
    std::mutex lock;
    std::condition_variable moved;
    uint64_t scan_at = 0;  // where the scan stands
    int stopping = 0;
    std::thread thread;
};

namespace {

void read_on(ReadAhead* a)
{
    std::vector<uint8_t> scratch(piece_bytes);
    uint64_t done = 0;
    std::unique_lock<std::mutex> held(a->lock);
    for (;;) {
        a->moved.wait(held, [a, done] { return a->stopping || a->scan_at + ahead_bytes > done; });
        if (a->stopping)
            return;
        if (done < a->scan_at)
            done = a->scan_at;
        if (done >= a->size)
            return;
        held.unlock();
        size_t want = a->size - done < piece_bytes ? static_cast<size_t>(a->size - done) : piece_bytes;
        size_t got = 0;
        unsigned long code = 0;
        // a piece that does not read whole ends the reading ahead: the scan's own reads of a
        // failing card go their careful way, and nothing here retries what failed
        int ok = platform::read_positioned(a->image, done, scratch.data(), want, &got, &code) && got == want;
        held.lock();
        if (!ok)
            return;
        done += got;
    }
}

}  // namespace

ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size)
{
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

void read_ahead_to(ReadAhead* a, uint64_t offset)
{
    if (!a)
        return;
    std::lock_guard<std::mutex> held(a->lock);
    a->scan_at = offset;
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
