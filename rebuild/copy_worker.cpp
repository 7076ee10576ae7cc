#include "rebuild/copy_worker.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace rebuild {

struct CopyWorker {
    std::FILE* image;
    std::FILE* output;
    std::mutex lock;
    std::condition_variable changed;
    int pending = 0;  // a range handed over and not yet copied
    int stopping = 0;
    uint64_t from = 0, to = 0, length = 0, moved = 0;
    std::thread thread;
};

namespace {

void work(CopyWorker* w)
{
    std::unique_lock<std::mutex> held(w->lock);
    for (;;) {
        w->changed.wait(held, [w] { return w->pending || w->stopping; });
        if (!w->pending)
            return;
        uint64_t from = w->from, to = w->to, length = w->length;
        held.unlock();
        uint64_t moved = platform::copy_range_in_system(w->image, from, w->output, to, length);
        held.lock();
        w->moved = moved;
        w->pending = 0;
        w->changed.notify_all();
    }
}

}  // namespace

CopyWorker* copy_worker_start(std::FILE* image, std::FILE* output)
{
    auto* w = new (std::nothrow) CopyWorker;
    if (!w)
        return nullptr;
    w->image = image;
    w->output = output;
    try {
        w->thread = std::thread(work, w);
    } catch (const std::system_error&) {
        delete w;
        return nullptr;
    }
    return w;
}

void copy_worker_submit(CopyWorker* w, uint64_t from, uint64_t to, uint64_t length)
{
    std::lock_guard<std::mutex> held(w->lock);
    w->from = from;
    w->to = to;
    w->length = length;
    w->moved = 0;
    w->pending = 1;
    w->changed.notify_all();
}

uint64_t copy_worker_wait(CopyWorker* w)
{
    std::unique_lock<std::mutex> held(w->lock);
    w->changed.wait(held, [w] { return !w->pending; });
    return w->moved;
}

void copy_worker_stop(CopyWorker* w)
{
    if (!w)
        return;
    {
        std::lock_guard<std::mutex> held(w->lock);
        w->stopping = 1;
        w->changed.notify_all();
    }
    w->thread.join();
    delete w;
}

}  // namespace rebuild
