#include "rebuild/copy_worker.h"

#include <new>

#include "basics/worker_loop.h"
#include "platform/platform.h"

namespace rebuild {

namespace {

// Ranges in hand at most. The caller and the worker wake each other only when half of them are
// copied or handed over, not for every range: in a busy machine a wake-up costs more than a
// small chunk's copy.
constexpr uint64_t depth = 16;

struct Range {
    std::FILE* image;
    std::FILE* output;
    uint64_t from, to, length, tag, moved;
};

int copy_range(Range* r)
{
    r->moved = platform::copy_range_in_system(r->image, r->from, r->output, r->to, r->length);
    return 1;
}

}  // namespace

// The ranges not yet given back run from `dropped` on.
struct CopyWorker {
    std::FILE* image;
    std::FILE* output;
    basics::WorkerLoop<Range> loop;
};

CopyWorker* copy_worker_start(std::FILE* image, std::FILE* output)
{
    auto* w = new (std::nothrow) CopyWorker;
    if (!w)
        return nullptr;
    w->image = image;
    w->output = output;
    w->loop.wake_worker_at = depth / 2;
    w->loop.wake_caller_left = depth / 2;
    basics::worker_loop_start(&w->loop, copy_range);
    if (!w->loop.threaded) {
        delete w;
        return nullptr;
    }
    return w;
}

int copy_worker_submit(CopyWorker* w, uint64_t from, uint64_t to, uint64_t length, uint64_t tag)
{
    // only this thread hands over and gives back
    if (w->loop.handed - w->loop.dropped == depth)
        return 0;
    return basics::worker_loop_hand_over(&w->loop, Range{w->image, w->output, from, to, length, tag, 0});
}

int copy_worker_collect(CopyWorker* w, int wait, uint64_t* tag, uint64_t* moved)
{
    basics::WorkerLoop<Range>* loop = &w->loop;
    if (loop->dropped == loop->handed)
        return 0;
    if (!wait) {
        std::lock_guard<std::mutex> held(loop->lock);
        if (loop->dropped == loop->finished)
            return 0;
    }
    basics::worker_loop_wait(loop, [](basics::WorkerLoop<Range>* l) { return l->dropped < l->finished; });
    std::lock_guard<std::mutex> held(loop->lock);
    *tag = loop->jobs.front().tag;
    *moved = loop->jobs.front().moved;
    basics::worker_loop_drop_finished(loop, 1);
    return 1;
}

void copy_worker_stop(CopyWorker* w)
{
    if (!w)
        return;
    basics::worker_loop_stop(&w->loop);
    delete w;
}

}  // namespace rebuild
