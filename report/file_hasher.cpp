#include "report/file_hasher.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

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

// A file of which only a few bytes follow its head (a spooled recording: its movie box) is hashed
// where it is handed over: waking the thread for it would cost more, and the run's last file would
// keep the report waiting for that wake-up.
constexpr uint64_t hashed_at_once = 64 << 10;

struct Answer {
    uint64_t job;  // the thread's job; UINT64_MAX: answered at once
    int ok;
    char hex[basics::sha256_hex_size];
    uint64_t size;
};

// Ticket t is answer t - 1; the thread starts with the first file it is given.
struct FileHasher {
    std::vector<Answer> answers;
    int started = 0;
    basics::WorkerLoop<Job> loop;
};

FileHasher* file_hasher_start() { return new (std::nothrow) FileHasher; }

uint32_t file_hasher_add(FileHasher* h, const char* path, const basics::Sha256* head)
{
    Answer a{};
    a.job = UINT64_MAX;
    a.ok = head ? hash_file_within(path, a.hex, &a.size, head, hashed_at_once) : -1;
    if (a.ok < 0) {
        Job j{};
        j.path = path;
        j.has_head = head != nullptr;
        if (head)
            j.head = *head;
        if (!h->started)
            basics::worker_loop_start(&h->loop, hash_job);
        h->started = 1;
        a.job = h->loop.handed;
        basics::worker_loop_hand_over(&h->loop, std::move(j));
    }
    h->answers.push_back(a);
    return uint32_t(h->answers.size());  // only this thread hands over
}

int file_hasher_result(FileHasher* h, uint32_t ticket, char hex[basics::sha256_hex_size], uint64_t* size)
{
    if (!h || ticket == 0 || ticket > h->answers.size())
        return 0;
    const Answer& a = h->answers[ticket - 1];
    if (a.job == UINT64_MAX) {
        std::memcpy(hex, a.hex, basics::sha256_hex_size);
        *size = a.size;
        return a.ok;
    }
    uint64_t number = a.job;
    basics::worker_loop_wait(&h->loop, [number](basics::WorkerLoop<Job>* l) { return l->finished > number; });
    // a finished job is no longer touched by the worker
    const Job& j = h->loop.jobs[number];
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
