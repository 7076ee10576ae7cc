#pragma once
// The one loop of the engine's second threads (the report's file hasher, the scan's spool writer,
// the rebuild's copy worker): jobs handed over in order and run one after another on a thread of
// their own, outside the lock, while the caller goes on. The loop keeps the jobs (numbered from 0
// in the order handed over), the lock, the two wake-ups and the thread; its owner says how a job
// runs and waits for what it needs. When no thread can be started, every job runs as it is handed
// over, so nothing the caller waits for is left undone.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace basics {

template <typename Job>
struct WorkerLoop {
    std::mutex lock;
    std::condition_variable work_ready, work_done;
    std::deque<Job> jobs;   // job number dropped + i is jobs[i]; a deque keeps them in place as it grows
    uint64_t dropped = 0;   // finished jobs the owner has let go of
    uint64_t handed = 0;    // jobs handed over
    uint64_t finished = 0;  // of them run (or passed over after a failure)
    // A resting worker is woken once this many jobs wait, a waiting caller once no more than
    // `wake_caller_left` are left: in a busy machine a wake-up costs more than a small job. A caller
    // that waits always wakes a resting worker first.
    uint64_t wake_worker_at = 1;
    uint64_t wake_caller_left = UINT64_MAX;
    int skip_after_failure = 0;  // the jobs after a failed one are not run
    int failed = 0;              // some job returned 0
    int threaded = 0;
    int stopping = 0;
    int worker_resting = 0;
    int callers_waiting = 0;
    int (*run)(Job* job) = nullptr;  // 0 when the job failed
    std::thread thread;
};

namespace worker_loop_detail {

// Runs the job numbered `loop->finished` with the lock `held` taken, releasing it meanwhile.
template <typename Job>
int run_next(WorkerLoop<Job>* loop, std::unique_lock<std::mutex>& held)
{
    Job* job = &loop->jobs[loop->finished - loop->dropped];
    int skip = loop->skip_after_failure && loop->failed;
    held.unlock();
    int ok = skip || loop->run(job);
    held.lock();
    if (!ok)
        loop->failed = 1;
    loop->finished++;
    return ok;
}

template <typename Job>
void work(WorkerLoop<Job>* loop)
{
    std::unique_lock<std::mutex> held(loop->lock);
    for (;;) {
        while (loop->finished == loop->handed && !loop->stopping) {
            loop->worker_resting = 1;
            loop->work_ready.wait(held);
        }
        loop->worker_resting = 0;
        if (loop->finished == loop->handed)
            return;
        run_next(loop, held);
        if (loop->callers_waiting && loop->handed - loop->finished <= loop->wake_caller_left)
            loop->work_done.notify_all();
    }
}

}  // namespace worker_loop_detail

// Starts the thread that runs each job with `run`; without one (`threaded` stays 0) the jobs run
// as they are handed over.
template <typename Job>
void worker_loop_start(WorkerLoop<Job>* loop, int (*run)(Job*))
{
    loop->run = run;
    try {
        loop->thread = std::thread(worker_loop_detail::work<Job>, loop);
        loop->threaded = 1;
    } catch (const std::system_error&) {
        loop->threaded = 0;
    }
}

// Hands over `job` (its number is `handed` before the call); 0 only when, run at once for want of
// a thread, it failed.
template <typename Job>
int worker_loop_hand_over(WorkerLoop<Job>* loop, Job job)
{
    std::unique_lock<std::mutex> held(loop->lock);
    loop->jobs.push_back(std::move(job));
    loop->handed++;
    if (!loop->threaded)
        return worker_loop_detail::run_next(loop, held);
    if (loop->worker_resting && loop->handed - loop->finished >= loop->wake_worker_at)
        loop->work_ready.notify_one();
    return 1;
}

// Returns once `done(loop)` holds, tested under the lock; a job handed over is always run, so a
// wait for one ends.
template <typename Job, typename Until>
void worker_loop_wait(WorkerLoop<Job>* loop, Until done)
{
    std::unique_lock<std::mutex> held(loop->lock);
    if (done(loop))
        return;
    if (loop->worker_resting && loop->finished < loop->handed)
        loop->work_ready.notify_one();
    loop->callers_waiting++;
    loop->work_done.wait(held, [loop, &done] { return done(loop); });
    loop->callers_waiting--;
}

// Lets go of the finished jobs at the front, at most `most`; call with the lock taken.
template <typename Job>
void worker_loop_drop_finished(WorkerLoop<Job>* loop, uint64_t most = UINT64_MAX)
{
    while (loop->dropped < loop->finished && most-- > 0) {
        loop->jobs.pop_front();
        loop->dropped++;
    }
}

// Ends the thread after the jobs in hand.
template <typename Job>
void worker_loop_stop(WorkerLoop<Job>* loop)
{
    if (!loop->threaded)
        return;
    {
        std::lock_guard<std::mutex> held(loop->lock);
        loop->stopping = 1;
        loop->work_ready.notify_one();
    }
    loop->thread.join();
    loop->threaded = 0;
}

}  // namespace basics
