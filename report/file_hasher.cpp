#include "report/file_hasher.h"

#include <cstring>
#include <new>
#include <string>

#include "basics/worker_loop.h"
#include "report/report_files.h"

namespace report {

namespace {

struct Job {
    std::string path;
    basics::Sha256 head;
    int has_head;
    char hex[basics::sha256_hex_size];
    uint64_t size;
    int ok;
};

// A file that cannot be read is that file's answer, not a failure of the hasher.
int hash_job(Job* j)
{
    j->ok = hash_file(j->path.c_str(), j->hex, &j->size, j->has_head ? &j->head : nullptr);
    return 1;
}

}  // namespace

// Ticket t is job t - 1; every job is kept for its answer.
struct FileHasher {
    basics::WorkerLoop<Job> loop;
};

FileHasher* file_hasher_start()
{
    auto* h = new (std::nothrow) FileHasher;
    if (h)
        basics::worker_loop_start(&h->loop, hash_job);
    return h;
}

uint32_t file_hasher_add(FileHasher* h, const char* path, const basics::Sha256* head)
{
    Job j{};
    j.path = path;
    j.has_head = head != nullptr;
    if (head)
        j.head = *head;
    basics::worker_loop_hand_over(&h->loop, std::move(j));
    return uint32_t(h->loop.handed);  // only this thread hands over
}

int file_hasher_result(FileHasher* h, uint32_t ticket, char hex[basics::sha256_hex_size], uint64_t* size)
{
    if (!h || ticket == 0 || ticket > h->loop.handed)
        return 0;
    basics::worker_loop_wait(&h->loop, [ticket](basics::WorkerLoop<Job>* l) { return l->finished >= ticket; });
    // a finished job is no longer touched by the worker
    const Job& j = h->loop.jobs[ticket - 1];
    if (!j.ok)
        return 0;
    std::memcpy(hex, j.hex, basics::sha256_hex_size);
    *size = j.size;
    return 1;
}

void file_hasher_stop(FileHasher* h)
{
    if (!h)
        return;
    basics::worker_loop_stop(&h->loop);
    delete h;
}

}  // namespace report
