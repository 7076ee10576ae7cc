#include "rebuild/spool_worker.h"

#include <mutex>
#include <new>

#include "basics/worker_loop.h"

namespace rebuild {

namespace {

// A few MiB ahead at most: the ring holds 56.
constexpr size_t most_in_hand = 64;

int write_piece(const SpoolWrite& p)
{
    if (p.hash)
        return spool_hash_write(p.hash, p.file, p.bytes, p.n, p.over);
    return std::fwrite(p.bytes, 1, p.n, p.file) == p.n;
}

}  // namespace

struct SpoolWorker {
    basics::WorkerLoop<SpoolWrite> loop;  // the pieces not yet written, from `finished` on
};

namespace {

int write_job(SpoolWrite* piece) { return write_piece(*piece); }

uint64_t lowest_in_hand(const basics::WorkerLoop<SpoolWrite>* l)
{
    uint64_t low = UINT64_MAX;
    for (uint64_t k = l->finished; k < l->handed; k++) {
        const SpoolWrite& p = l->jobs[k - l->dropped];
        low = p.image_offset < low ? p.image_offset : low;
    }
    return low;
}

}  // namespace

SpoolWorker* spool_worker_start()
{
    auto* w = new (std::nothrow) SpoolWorker;
    if (!w)
        return nullptr;
    w->loop.skip_after_failure = 1;
    basics::worker_loop_start(&w->loop, write_job);
    if (!w->loop.threaded) {
        delete w;
        return nullptr;
    }
    return w;
}

int spool_worker_submit(SpoolWorker* w, SpoolWrite* piece)
{
    if (!w)
        return write_piece(*piece);
    basics::worker_loop_wait(&w->loop, [](basics::WorkerLoop<SpoolWrite>* l) {
        worker_loop_drop_finished(l);
        return l->handed - l->finished < most_in_hand;
    });
    return basics::worker_loop_hand_over(&w->loop, std::move(*piece));
}

void spool_worker_wait_past(SpoolWorker* w, uint64_t image_offset)
{
    if (w)
        basics::worker_loop_wait(&w->loop, [image_offset](basics::WorkerLoop<SpoolWrite>* l) {
            return lowest_in_hand(l) >= image_offset;
        });
}

void spool_worker_drain(SpoolWorker* w)
{
    if (w)
        basics::worker_loop_wait(&w->loop, [](basics::WorkerLoop<SpoolWrite>* l) { return l->finished == l->handed; });
}

int spool_worker_failed(SpoolWorker* w)
{
    if (!w)
        return 0;
    std::lock_guard<std::mutex> held(w->loop.lock);
    return w->loop.failed;
}

void spool_worker_stop(SpoolWorker* w)
{
    if (!w)
        return;
    basics::worker_loop_stop(&w->loop);
    delete w;
}

}  // namespace rebuild
