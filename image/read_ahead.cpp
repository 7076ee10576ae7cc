#include "image/read_ahead.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "image/unreadable_map.h"
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

// 1 when the last sector before `end` reads: the bytes asked for before it have come by then, or
// are on their way. Where they failed, the sector most likely fails too.
int card_reads_before(std::FILE* image, uint64_t end)
{
    uint64_t at = (end - 1) - (end - 1) % card_sector_bytes;
    uint8_t sector[card_sector_bytes];
    size_t got = 0;
    unsigned long error = 0;
    return platform::read_positioned(image, at, sector, static_cast<size_t>(end - at), &got, &error);
}

// The advice is given from here: the system may hold up the one who gives it while its queue to
// the reader is full, and the scan must not wait for that; nor for the thread's looks.
void read_on(ReadAhead* a)
{
    uint64_t asked = 0;  // advice given up to here
    uint64_t shown = 0;  // the card was seen to read up to here
    int failed = 0;
    std::unique_lock<std::mutex> held(a->lock);
    for (;;) {
        if (a->stopping)
            return;
        uint64_t from = std::max(asked, a->scan_at);
        uint64_t end = failed ? 0 : std::min(a->until, a->scan_at + read_ahead_bytes);
        if (from >= end) {
            a->moved.wait(held);
            continue;
        }
        uint64_t seen = std::max(shown, a->scan_at);
        if (from < seen + read_ahead_unshown_bytes) {
            uint64_t want = std::min(end, seen + read_ahead_unshown_bytes) - from;
            held.unlock();
            platform::advise_will_need(a->image, from, want);
            held.lock();
            asked = from + want;
            continue;
        }
        // the advice stands as far past the last place seen to read as it may go: a look further on
        uint64_t look = std::min(seen + read_ahead_look_every, a->size);
        held.unlock();
        int reads = card_reads_before(a->image, look);
        held.lock();
        if (reads)
            shown = std::max(shown, look);
        else
            failed = 1;  // the scan comes to it and takes it apart; nothing more is asked of the card
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
