#pragma once
// A second thread that writes the spooled bytes out of the scan's ring and hashes them, so that
// the scan reads on while they go to the disk. The ring's bytes stay where they are until the
// thread is done with them: the scan asks before it reads over them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "rebuild/spool_hash.h"

namespace rebuild {

// One piece of a spool: `n` bytes of the ring at `bytes` (image offset `image_offset`) appended
// to `file` and fed to `hash` with the boxes over them.
struct SpoolWrite {
    std::FILE* file;
    SpoolHash* hash;  // null: the bytes are not hashed
    const uint8_t* bytes;
    size_t n;
    uint64_t image_offset;
    std::vector<FileRange> over;
};

struct SpoolWorker;

// Null when no thread can be started: then every piece is written when it is handed over.
SpoolWorker* spool_worker_start();
// 0 when the piece, written at once for want of a thread, failed.
int spool_worker_submit(SpoolWorker* worker, SpoolWrite* piece);
// Returns once no piece in hand holds image bytes before `image_offset`.
void spool_worker_wait_past(SpoolWorker* worker, uint64_t image_offset);
// Returns once every piece handed over is written.
void spool_worker_drain(SpoolWorker* worker);
// 1 when a write failed since the start; the pieces after it are not written.
int spool_worker_failed(SpoolWorker* worker);
void spool_worker_stop(SpoolWorker* worker);

}  // namespace rebuild
