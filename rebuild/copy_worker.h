#pragma once
// A second thread that copies image ranges into the output file inside the system, in the order
// they were handed over, so that the clip writer can look for the next chunks while the last
// ones are being copied.
#include <cstdint>
#include <cstdio>

namespace rebuild {

struct CopyWorker;

// Starts the thread for copies from `image` into `output`. Null when no thread can be started;
// the caller then copies on its own.
CopyWorker* copy_worker_start(std::FILE* image, std::FILE* output);
// Hands over one range with the caller's `tag`; 0 when the worker holds as many ranges as it
// takes (collect some first). While ranges are in hand, the caller may read the image through
// its stream (the copies use neither stream's position) and write the output through its stream
// where no range in hand lands.
int copy_worker_submit(CopyWorker* worker, uint64_t from, uint64_t to, uint64_t length, uint64_t tag);
// The oldest range handed over: 1 with its tag and how many of its bytes arrived (all, or fewer
// down to 0 where the system refused: the caller moves the rest its own way). With `wait` 0 it
// gives only a range already copied, and 0 when there is none; with `wait` 1 it waits for one, and
// gives 0 only when none is in hand.
int copy_worker_collect(CopyWorker* worker, int wait, uint64_t* tag, uint64_t* moved);
// Ends the thread after the ranges in hand.
void copy_worker_stop(CopyWorker* worker);

}  // namespace rebuild
