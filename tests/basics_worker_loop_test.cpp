// The one worker loop of the hasher, the spool writer and the copy worker: every job handed over
// runs once, in order, whatever the caller waits for and however the loop ends.
#include <gtest/gtest.h>

#include <vector>

#include "basics/worker_loop.h"

namespace {

struct Job {
    int number;
    int fails;
    std::vector<int>* ran;  // touched by the worker only, read once it has ended
};

int run_job(Job* j)
{
    j->ran->push_back(j->number);
    return !j->fails;
}

enum Ending { wait_each, wait_all, stop_at_once };

struct Row {
    const char* name;
    int jobs;
    int failing;  // the job that returns 0, or -1
    int skip_after_failure;
    uint64_t wake_worker_at, wake_caller_left;
    int threaded;
    Ending ending;
    std::vector<int> ran;
    int failed;
};

TEST(WorkerLoop, EveryJobHandedOverRunsOnceInOrder)
{
    const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};
    const Row rows[] = {
        {"hand over and wait for each", 20, -1, 0, 1, UINT64_MAX, 1, wait_each, all, 0},
        {"hand over all, then wait for the last", 20, -1, 0, 1, UINT64_MAX, 1, wait_all, all, 0},
        {"stop at once runs what is in hand first", 20, -1, 0, 1, UINT64_MAX, 1, stop_at_once, all, 0},
        {"stop before anything is handed over", 0, -1, 0, 1, UINT64_MAX, 1, stop_at_once, {}, 0},
        {"a worker woken by the half waits for no more than three", 3, -1, 0, 8, 8, 1, wait_all, {0, 1, 2}, 0},
        {"a caller woken by the half still sees each job", 20, -1, 0, 8, 8, 1, wait_each, all, 0},
        {"a failure is noted and the rest still run", 6, 2, 0, 1, UINT64_MAX, 1, wait_all, {0, 1, 2, 3, 4, 5}, 1},
        {"a failure passes over the jobs after it", 6, 2, 1, 1, UINT64_MAX, 1, wait_all, {0, 1, 2}, 1},
        {"a failure before the stop passes over the rest", 6, 0, 1, 1, UINT64_MAX, 1, stop_at_once, {0}, 1},
        {"without a thread each job runs as it is handed over", 5, 3, 1, 1, UINT64_MAX, 0, wait_each, {0, 1, 2, 3}, 1},
    };
    for (const Row& row : rows) {
        std::vector<int> ran;
        basics::WorkerLoop<Job> loop;
        loop.skip_after_failure = row.skip_after_failure;
        loop.wake_worker_at = row.wake_worker_at;
        loop.wake_caller_left = row.wake_caller_left;
        if (row.threaded)
            basics::worker_loop_start(&loop, run_job);
        else
            loop.run = run_job;
        int refused = 0;
        for (int i = 0; i < row.jobs; i++) {
            refused += !basics::worker_loop_hand_over(&loop, Job{i, i == row.failing, &ran});
            if (row.ending == wait_each) {
                uint64_t n = uint64_t(i) + 1;
                basics::worker_loop_wait(&loop, [n](basics::WorkerLoop<Job>* l) { return l->finished >= n; });
                basics::worker_loop_drop_finished(&loop);
            }
        }
        if (row.ending == wait_all)
            basics::worker_loop_wait(&loop, [](basics::WorkerLoop<Job>* l) { return l->finished == l->handed; });
        basics::worker_loop_stop(&loop);
        EXPECT_EQ(ran, row.ran) << row.name;
        EXPECT_EQ(loop.finished, uint64_t(row.jobs)) << row.name;
        EXPECT_EQ(loop.failed, row.failed) << row.name;
        // a thread's failure is told by `failed`; only a job run at once says so as it is handed over
        EXPECT_EQ(refused, !row.threaded && row.failed) << row.name;
    }
}

}  // namespace
