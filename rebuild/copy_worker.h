#pragma once
// A second thread that copies one image range at a time into the output file inside the system,
// so that the clip writer can look for the next chunk while the last one is being copied.
#include <cstdint>
#include <cstdio>

namespace rebuild {

struct CopyWorker;

// Starts the thread for copies from `image` into `output`. Null when no thread can be started;
// the caller then copies on its own.
CopyWorker* copy_worker_start(std::FILE* image, std::FILE* output);
// Hands over one range; the caller waits for the one before first. While a copy runs, the caller
// may read the image through its stream (the copy uses neither stream's position) but must not
// touch the output stream.
void copy_worker_submit(CopyWorker* worker, uint64_t from, uint64_t to, uint64_t length);
// Waits for the range handed over last; gives how many of its bytes arrived (all, or fewer down
// to 0 where the system refused: the caller moves the rest its own way).
uint64_t copy_worker_wait(CopyWorker* worker);
// Ends the thread after the range in hand, if any.
void copy_worker_stop(CopyWorker* worker);

}  // namespace rebuild
