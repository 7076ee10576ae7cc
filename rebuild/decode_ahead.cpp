#include "rebuild/decode_ahead.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/chunk_locate.h"
#include "basics/output.h"
#include "basics/worker_loop.h"
#include "platform/platform.h"
#include "rebuild/output_file.h"

namespace rebuild {

namespace {

struct Check {
    uint64_t header;
    char path[temp_path_size];
    mp4::MovieInfo movie;  // parsed on the worker; owns the movie box's copy
    uint8_t* moov;         // until parsed
    uint64_t moov_size, moov_offset;
    int done;              // the check ran to its end: `outcome` holds
    DecodedAhead outcome;
};

struct Ahead {
    basics::WorkerLoop<Check> loop;
    std::atomic<int> cancel{0};
    std::vector<uint8_t> chunk;  // the worker's own read buffer
    // While the scan reads, a decoder takes only the room beside its ring and window buffer.
    uint64_t room_beside_scan = decoder_room_beside_scan;
    std::mutex scan_lock;
    std::condition_variable scan_over;
    int scanning = 1;
};

Ahead* ahead = nullptr;

// Reads chunk k of the spooled file into the worker's buffer; 0 when it does not lie in the file.
int read_chunk(std::FILE* file, const mp4::TrackTables* v, uint64_t k, uint64_t file_size)
{
    uint64_t at = v->chunk_offsets[k], size = v->chunk_sizes[k];
    if (at > file_size || size > file_size - at || size > SIZE_MAX)
        return 0;
    ahead->chunk.resize(static_cast<size_t>(size));
    size_t got = 0;
    unsigned long code = 0;
    return size == 0 || (platform::read_positioned(file, at, ahead->chunk.data(), static_cast<size_t>(size), &got,
                                                   &code) &&
                         got == size);
}

int scanning()
{
    std::lock_guard<std::mutex> held(ahead->scan_lock);
    return ahead->scanning;
}

// The room the decoder of a picture of `cost` bytes opens in: beside the scan while it reads; a
// decoder that does not fit there on one thread waits until the scan is over. 0 when cancelled.
uint64_t room_for(uint64_t cost)
{
    std::unique_lock<std::mutex> held(ahead->scan_lock);
    if (ahead->scanning && (cost == 0 || decoder_fits(cost, ahead->room_beside_scan)))
        return ahead->room_beside_scan;
    ahead->scan_over.wait(held, [] { return !ahead->scanning || ahead->cancel.load(); });
    return ahead->cancel.load() ? 0 : decoder_room_alone;
}

// The frame threads a decoder in `room` works on: what the room grants, and no more than the
// library takes by default, one more than the cores.
uint32_t threads_at_work(uint64_t cost, uint64_t room)
{
    uint32_t granted = frame_threads_within(cost, room);
    uint32_t cores = std::thread::hardware_concurrency();
    return cores > 0 && granted > cores + 1 ? cores + 1 : granted;
}

// A decoder opened beside the scan on fewer frame threads than it gets alone starts again alone
// once the scan is over, when less than a third of the samples went through it: on more threads
// the whole is done sooner than the rest on the few.
int worth_starting_again(uint64_t cost, uint64_t room, uint64_t chunk, uint64_t chunks)
{
    return room == ahead->room_beside_scan && chunk > 0 && chunk < chunks / 3 &&
           threads_at_work(cost, decoder_room_alone) > threads_at_work(cost, room) && !scanning();
}

// Pushes every chunk in the writer's order: the same samples, the same outcome.
void decode(Check* c, std::FILE* file, uint64_t file_size)
{
    const mp4::TrackTables* v = &c->movie.video;
    ValidationPass pass = {};
    uint64_t cost = decoded_picture_bytes(&c->movie);
    uint64_t room = room_for(cost);
    if (!room || !validation_open_quiet(&pass, &c->movie, room))
        return;
    c->outcome.refused_chunk = UINT64_MAX;
    for (uint64_t k = 0; k < v->chunk_count; k++) {
        mp4::SampleSizes sizes;
        if (worth_starting_again(cost, room, k, v->chunk_count)) {
            validation_close(&pass);
            room = decoder_room_alone;
            if (!validation_open_quiet(&pass, &c->movie, room))
                return;
            k = 0;
        }
        if (ahead->cancel.load() || !read_chunk(file, v, k, file_size)) {
            validation_close(&pass);
            return;
        }
        if (!analysis::chunk_samples(v, k, &sizes))
            continue;
        int complete = 0;
        VideoVerdict verdict = push_chunk(&pass, v, k, ahead->chunk.data(), &complete);
        if (verdict != video_decoded) {
            c->outcome.refused_chunk = k;
            c->outcome.refusal = verdict;
            c->outcome.result = pass.result;
            c->done = 1;
            return;
        }
    }
    c->outcome.finish_rc = validator::validator_api.finish(pass.handle, &pass.result);
    c->outcome.result = pass.result;
    validation_close(&pass);
    c->done = 1;
}

int run_check(Check* c)
{
    uint8_t* moov = c->moov;
    c->moov = nullptr;
    // the parse owns the copy from here on; a cancelled check never hands it over
    if (ahead->cancel.load()) {
        std::free(moov);
        return 1;
    }
    if (!mp4::parse_movie_copy(moov, c->moov_size, c->moov_offset, &c->movie))
        return 1;
    std::FILE* file = platform::open_stream(c->path, "rb");
    if (!file)
        return 1;
    int64_t size = 0;
    if (platform::seek_end(file, &size) && size > 0)
        decode(c, file, static_cast<uint64_t>(size));
    std::fclose(file);
    std::vector<uint8_t>().swap(ahead->chunk);
    return 1;
}

int same_array(const void* a, const void* b, uint64_t count, size_t size)
{
    if (!a || !b)
        return a == b;
    return std::memcmp(a, b, static_cast<size_t>(count) * size) == 0;
}

// 1 when the writer pushes the very samples the check pushed: the same movie box, the same tables.
int same_video(const mp4::MovieInfo* a, const mp4::MovieInfo* b)
{
    const mp4::TrackTables* x = &a->video;
    const mp4::TrackTables* y = &b->video;
    return a->moov_size == b->moov_size && same_array(a->moov_bytes, b->moov_bytes, a->moov_size, 1) &&
           std::memcmp(x->format, y->format, sizeof x->format) == 0 && x->fixed_sample_size == y->fixed_sample_size &&
           x->sample_count == y->sample_count && x->chunk_count == y->chunk_count &&
           same_array(x->sample_sizes, y->sample_sizes, x->sample_count, sizeof *x->sample_sizes) &&
           same_array(x->chunk_offsets, y->chunk_offsets, x->chunk_count, sizeof *x->chunk_offsets) &&
           same_array(x->chunk_sample_counts, y->chunk_sample_counts, x->chunk_count, sizeof *x->chunk_sample_counts) &&
           same_array(x->chunk_first_sample, y->chunk_first_sample, x->chunk_count, sizeof *x->chunk_first_sample) &&
           same_array(x->chunk_sizes, y->chunk_sizes, x->chunk_count, sizeof *x->chunk_sizes);
}

}  // namespace

void decode_ahead_begin(uint64_t room_beside_scan)
{
    decode_ahead_stop();
    ahead = new Ahead;
    ahead->room_beside_scan = room_beside_scan;
    basics::worker_loop_start(&ahead->loop, run_check);
    // without a thread of its own the check would hold up the scan: the writer decodes instead
    if (!ahead->loop.threaded)
        decode_ahead_stop();
}

void decode_ahead_scan_over()
{
    if (!ahead)
        return;
    std::lock_guard<std::mutex> held(ahead->scan_lock);
    ahead->scanning = 0;
    ahead->scan_over.notify_all();
}

void decode_ahead_submit(uint64_t header, const char* spool_path, uint8_t* moov, uint64_t moov_size,
                         uint64_t moov_offset)
{
    if (!ahead) {
        std::free(moov);
        return;
    }
    Check c{};
    c.header = header;
    basics::bounded_format(c.path, sizeof c.path, "%s", spool_path);
    c.moov = moov;
    c.moov_size = moov_size;
    c.moov_offset = moov_offset;
    basics::worker_loop_hand_over(&ahead->loop, c);
}

int decode_ahead_take(uint64_t header, const mp4::MovieInfo* movie, DecodedAhead* out)
{
    if (!ahead)
        return 0;
    uint64_t number = UINT64_MAX;
    {
        std::lock_guard<std::mutex> held(ahead->loop.lock);
        for (uint64_t i = 0; i < ahead->loop.jobs.size(); i++)
            if (ahead->loop.jobs[i].header == header)
                number = ahead->loop.dropped + i;
    }
    if (number == UINT64_MAX)
        return 0;
    basics::worker_loop_wait(&ahead->loop, [number](basics::WorkerLoop<Check>* l) { return l->finished > number; });
    // finished jobs stay where they are until the loop stops
    const Check* c = &ahead->loop.jobs[number - ahead->loop.dropped];
    if (!c->done || !movie || !same_video(&c->movie, movie))
        return 0;
    *out = c->outcome;
    return 1;
}

void decode_ahead_stop()
{
    if (!ahead)
        return;
    // the process ends from the check's own thread (out of memory while it read the movie box):
    // it cannot wait for itself, and nothing is left to wait for
    if (ahead->loop.threaded && ahead->loop.thread.get_id() == std::this_thread::get_id())
        return;
    {
        std::lock_guard<std::mutex> held(ahead->scan_lock);
        ahead->cancel.store(1);
        ahead->scan_over.notify_all();
    }
    basics::worker_loop_stop(&ahead->loop);
    for (Check& c : ahead->loop.jobs) {
        std::free(c.moov);
        mp4::free_movie_info(&c.movie);
    }
    delete ahead;
    ahead = nullptr;
}

}  // namespace rebuild
