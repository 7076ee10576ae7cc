#include "rebuild/copy_worker.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/platform.h"
#include "rebuild/worker_thread.h"

namespace rebuild {

namespace {

// Ranges in hand at most. The caller and the worker wake each other only when half of them are
// copied or handed over, not for every range: in a busy machine a wake-up costs more than a
// small chunk's copy.
constexpr uint64_t depth = 16;

struct Range {
    uint64_t from, to, length, tag, moved;
};

}  // namespace

struct CopyWorker {
    std::FILE* image;
    std::FILE* output;
    std::mutex lock;
    std::condition_variable work_ready, work_done;
    Range ranges[depth];
    uint64_t handed = 0;     // ranges handed over so far
    uint64_t copied = 0;     // of them copied
    uint64_t collected = 0;  // of them given back
    int worker_idle = 0;
    int caller_waiting = 0;
    int stopping = 0;
    std::thread thread;
};

namespace {

void work(CopyWorker* w)
{
    std::unique_lock<std::mutex> held(w->lock);
    for (;;) {
        while (w->copied == w->handed && !w->stopping) {
            w->worker_idle = 1;
            w->work_ready.wait(held);
        }
        w->worker_idle = 0;
        if (w->copied == w->handed)
            return;
        Range r = w->ranges[w->copied % depth];
        held.unlock();
        uint64_t moved = platform::copy_range_in_system(w->image, r.from, w->output, r.to, r.length);
        held.lock();
        w->ranges[w->copied % depth].moved = moved;
        w->copied++;
        if (w->caller_waiting && (w->copied == w->handed || w->handed - w->copied <= depth / 2))
            w->work_done.notify_one();
    }
}

}  // namespace

CopyWorker* copy_worker_start(std::FILE* image, std::FILE* output)
{
    auto* w = new (std::nothrow) CopyWorker;
    if (w) {
        w->image = image;
        w->output = output;
    }
    return start_worker_thread(w, work);
}

int copy_worker_submit(CopyWorker* w, uint64_t from, uint64_t to, uint64_t length, uint64_t tag)
{
    std::lock_guard<std::mutex> held(w->lock);
    if (w->handed - w->collected == depth)
        return 0;
    w->ranges[w->handed % depth] = Range{from, to, length, tag, 0};
    w->handed++;
    if (w->worker_idle && (w->handed - w->copied >= depth / 2 || w->handed - w->collected == depth))
        w->work_ready.notify_one();
    return 1;
}

int copy_worker_collect(CopyWorker* w, int wait, uint64_t* tag, uint64_t* moved)
{
    std::unique_lock<std::mutex> held(w->lock);
    if (w->collected == w->handed)
        return 0;
    if (w->collected == w->copied) {
        if (!wait)
            return 0;
        // the worker may be resting until more is handed over: it has all there will be for now
        if (w->worker_idle)
            w->work_ready.notify_one();
        w->caller_waiting = 1;
        w->work_done.wait(held, [w] { return w->collected < w->copied; });
        w->caller_waiting = 0;
    }
    const Range& r = w->ranges[w->collected % depth];
    *tag = r.tag;
    *moved = r.moved;
    w->collected++;
    return 1;
}

void copy_worker_stop(CopyWorker* w) { stop_worker_thread(w); }

}  // namespace rebuild
