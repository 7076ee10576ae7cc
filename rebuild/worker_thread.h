#pragma once
// Starting and ending the second thread of a worker record that has `lock`, `work_ready`,
// `stopping` and `thread`: both workers of the rebuild end the same way, after what is in hand.
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace rebuild {

// `w` (made with new) with its thread running work(w); null, and `w` deleted, when no thread
// can be started.
template <typename Worker>
Worker* start_worker_thread(Worker* w, void (*work)(Worker*))
{
    if (!w)
        return nullptr;
    try {
        w->thread = std::thread(work, w);
    } catch (const std::system_error&) {
        delete w;
        return nullptr;
    }
    return w;
}

template <typename Worker>
void stop_worker_thread(Worker* w)
{
    if (!w)
        return;
    {
        std::lock_guard<std::mutex> held(w->lock);
        w->stopping = 1;
        w->work_ready.notify_one();
    }
    w->thread.join();
    delete w;
}

}  // namespace rebuild
