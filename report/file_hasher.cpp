#include "report/file_hasher.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "rebuild/worker_thread.h"
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
    int done;
};

void hash_job(Job* j)
{
    j->ok = hash_file(j->path.c_str(), j->hex, &j->size, j->has_head ? &j->head : nullptr);
}

}  // namespace

struct FileHasher {
    std::mutex lock;
    std::condition_variable work_ready, work_done;
    std::deque<Job> jobs;  // ticket t is jobs[t - 1]; a deque keeps them in place as it grows
    size_t next = 0;       // the first job not yet taken
    int stopping = 0;
    int threaded = 0;
    std::thread thread;
};

namespace {

void work(FileHasher* h)
{
    std::unique_lock<std::mutex> held(h->lock);
    for (;;) {
        h->work_ready.wait(held, [h] { return h->next < h->jobs.size() || h->stopping; });
        if (h->next == h->jobs.size())
            return;
        Job* j = &h->jobs[h->next++];
        held.unlock();
        hash_job(j);
        held.lock();
        j->done = 1;
        h->work_done.notify_all();
    }
}

}  // namespace

FileHasher* file_hasher_start()
{
    FileHasher* h = rebuild::start_worker_thread(new (std::nothrow) FileHasher, work);
    if (h) {
        std::lock_guard<std::mutex> held(h->lock);
        h->threaded = 1;
        return h;
    }
    return new (std::nothrow) FileHasher;
}

uint32_t file_hasher_add(FileHasher* h, const char* path, const basics::Sha256* head)
{
    Job j{};
    j.path = path;
    j.has_head = head != nullptr;
    if (head)
        j.head = *head;
    std::lock_guard<std::mutex> held(h->lock);
    h->jobs.push_back(std::move(j));
    if (h->threaded) {
        h->work_ready.notify_one();
    } else {
        hash_job(&h->jobs.back());
        h->jobs.back().done = 1;
        h->next = h->jobs.size();
    }
    return uint32_t(h->jobs.size());
}

int file_hasher_result(FileHasher* h, uint32_t ticket, char hex[basics::sha256_hex_size], uint64_t* size)
{
    if (!h || ticket == 0)
        return 0;
    std::unique_lock<std::mutex> held(h->lock);
    if (ticket > h->jobs.size())
        return 0;
    Job* j = &h->jobs[ticket - 1];
    h->work_done.wait(held, [j] { return j->done != 0; });
    if (!j->ok)
        return 0;
    std::memcpy(hex, j->hex, basics::sha256_hex_size);
    *size = j->size;
    return 1;
}

void file_hasher_stop(FileHasher* h)
{
    if (!h)
        return;
    if (h->threaded)
        rebuild::stop_worker_thread(h);
    else
        delete h;
}

}  // namespace report
