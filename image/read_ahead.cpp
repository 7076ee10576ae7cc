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

// The advice is given from here: the system may hold up the one who gives it while its queue to
// the reader is full, and the scan must not wait for that.
void read_on(ReadAhead* a)
{
    uint64_t done = 0;
    std::unique_lock<std::mutex> held(a->lock);
    for (;;) {
        a->moved.wait(held, [a, done] { return a->stopping || std::max(a->scan_at, done) < a->until; });
        if (a->stopping)
            return;
        if (done < a->scan_at)
            done = a->scan_at;
        uint64_t want = a->until - done;
        held.unlock();
        platform::advise_will_need(a->image, done, want);
        held.lock();
        done += want;
    }
}

}  // namespace

ReadAhead* read_ahead_start(std::FILE* image, uint64_t image_size)
{
    if (!platform::reads_ahead_on_advice)
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
