#include "rebuild/spool_worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "rebuild/worker_thread.h"

namespace rebuild {

namespace {

// A few MiB ahead at most: the ring holds 56.
constexpr size_t most_in_hand = 64;

int write_piece(const SpoolWrite& p)
{
    if (std::fwrite(p.bytes, 1, p.n, p.file) != p.n)
        return 0;
    if (p.hash)
        spool_hash_add(p.hash, p.bytes, p.n, p.over);
    return 1;
}

}  // namespace

struct SpoolWorker {
    std::mutex lock;
    std::condition_variable work_ready, work_done;
    std::deque<SpoolWrite> pieces;  // the front one is being written
    int failed = 0;
    int stopping = 0;
    std::thread thread;
};

namespace {

void work(SpoolWorker* w)
{
    std::unique_lock<std::mutex> held(w->lock);
    for (;;) {
        w->work_ready.wait(held, [w] { return !w->pieces.empty() || w->stopping; });
        if (w->pieces.empty())
            return;
        SpoolWrite& piece = w->pieces.front();
        int skip = w->failed;
        held.unlock();
        int ok = skip || write_piece(piece);
        held.lock();
        if (!ok)
            w->failed = 1;
        w->pieces.pop_front();
        w->work_done.notify_all();
    }
}

uint64_t lowest_in_hand(const SpoolWorker* w)
{
    uint64_t low = UINT64_MAX;
    for (const SpoolWrite& p : w->pieces)
        low = p.image_offset < low ? p.image_offset : low;
    return low;
}

}  // namespace

SpoolWorker* spool_worker_start() { return start_worker_thread(new (std::nothrow) SpoolWorker, work); }

int spool_worker_submit(SpoolWorker* w, SpoolWrite* piece)
{
    if (!w)
        return write_piece(*piece);
    std::unique_lock<std::mutex> held(w->lock);
    w->work_done.wait(held, [w] { return w->pieces.size() < most_in_hand; });
    w->pieces.push_back(std::move(*piece));
    w->work_ready.notify_one();
    return 1;
}

void spool_worker_wait_past(SpoolWorker* w, uint64_t image_offset)
{
    if (!w)
        return;
    std::unique_lock<std::mutex> held(w->lock);
    w->work_done.wait(held, [w, image_offset] { return lowest_in_hand(w) >= image_offset; });
}

void spool_worker_drain(SpoolWorker* w)
{
    if (!w)
        return;
    std::unique_lock<std::mutex> held(w->lock);
    w->work_done.wait(held, [w] { return w->pieces.empty(); });
}

int spool_worker_failed(SpoolWorker* w)
{
    if (!w)
        return 0;
    std::lock_guard<std::mutex> held(w->lock);
    return w->failed;
}

void spool_worker_stop(SpoolWorker* w) { stop_worker_thread(w); }

}  // namespace rebuild
