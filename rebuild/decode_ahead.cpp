#include "rebuild/decode_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "analysis/chunk_locate.h"
#include "basics/output.h"
#include "codec/parameter_sets.h"
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
    int finished;          // no worker reads its spool file any more (under the lock)
    int done;              // the check ran to its end: `outcome` holds
    DecodedAhead outcome;
};

// The checks run on a worker per core, each on a decoder of its own. Frame threads cost a decoder
// a fifth more work than one thread does (each waits on the others' reference pictures), so while
// several recordings wait, each decoder takes its share of the cores; a recording decoded alone
// takes them all. The decoders share one room, beside the scan while it reads and alone after it.
struct Ahead {
    std::mutex lock;
    // a check handed over or finished, room given back, the scan over, the checks stopped
    std::condition_variable changed;
    std::deque<Check> jobs;  // in the order handed over; they stay until the checks stop
    size_t next = 0;         // the first job no worker has taken
    size_t running = 0;      // workers in a check
    uint64_t in_use = 0;     // room the open decoders hold
    uint64_t wanted = 0;     // room the decoders waiting for it need on one thread each
    uint64_t room_beside_scan = decoder_room_beside_scan;
    int scanning = 1;
    int stopping = 0;
    std::atomic<int> cancel{0};
    std::vector<std::thread> workers;
};

Ahead* ahead = nullptr;
// more workers than this would only share the room among more decoders
constexpr uint32_t max_workers = 4;
// after the scan: two decoders of 1920x1080 pictures on one frame thread each
constexpr uint64_t room_after_scan = 72ull << 20;

// A decoder's room and frame threads, held until it closes.
struct Room {
    uint64_t bytes = 0;
    uint32_t threads = 0;
};

// Reads chunk k of the spooled file into `chunk`; 0 when it does not lie in the file.
int read_chunk(std::FILE* file, const mp4::TrackTables* v, uint64_t k, uint64_t file_size, std::vector<uint8_t>* chunk)
{
    uint64_t at = v->chunk_offsets[k], size = v->chunk_sizes[k];
    if (at > file_size || size > file_size - at || size > SIZE_MAX)
        return 0;
    chunk->resize(static_cast<size_t>(size));
    size_t got = 0;
    unsigned long code = 0;
    return size == 0 || (platform::read_positioned(file, at, chunk->data(), static_cast<size_t>(size), &got, &code) &&
                         got == size);
}

uint32_t cores()
{
    uint32_t n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// The frame threads a decoder opened now takes, with the lock held: one more than the cores when it
// is the only check to run, else its share of them, or the cores when it is the last to open.
uint32_t share_of_cores()
{
    size_t waiting = ahead->jobs.size() - ahead->next;
    size_t checks = ahead->running + waiting;
    if (checks > ahead->workers.size())
        checks = ahead->workers.size();
    if (checks <= 1)
        return cores() + 1;
    // the last check, once the scan is over: the others are further on, and their cores are its once
    // they end
    if (!ahead->scanning && waiting == 0)
        return cores();
    uint32_t share = cores() / static_cast<uint32_t>(checks);
    return share > 0 ? share : 1;
}

uint64_t room_total() { return ahead->scanning ? ahead->room_beside_scan : room_after_scan; }

// While the scan reads, the next recording it hands over is on its way. A decoder that cannot start
// again on fewer threads (its stream never starts a sequence afresh) takes no more of the room than
// leaves a second one room on one thread beside it, where the room holds two: two recordings
// decode side by side, each on a thread of its own.
uint64_t room_kept_free(uint64_t cost, uint64_t free)
{
    uint64_t next = decoder_room_for(cost, 1);
    if (!ahead->scanning || ahead->workers.size() < 2 || free / 2 < next)
        return free;
    return free - next;
}

// Waits for the room a decoder of pictures of `cost` bytes opens in, and takes it: beside the scan
// while it reads, where it must fit on one thread or wait until the scan is over; after it, beside
// the other decoders, or alone when it does not fit beside them. 0 when cancelled.
int take_room(uint64_t cost, int keep_free, Room* room)
{
    std::unique_lock<std::mutex> held(ahead->lock);
    auto opens = [cost] {
        if (ahead->cancel.load())
            return true;
        uint64_t total = room_total(), free = total > ahead->in_use ? total - ahead->in_use : 0;
        if (ahead->in_use == 0)
            return !ahead->scanning || cost == 0 || decoder_fits(cost, total);
        return cost > 0 && decoder_fits(cost, free);
    };
    if (!opens()) {
        // the decoders open now see that this one waits, and make room for it where they can
        uint64_t need = decoder_room_for(cost, 1);
        ahead->wanted += need;
        ahead->changed.wait(held, opens);
        ahead->wanted -= need;
    }
    if (ahead->cancel.load())
        return 0;
    uint64_t total = room_total(), free = total > ahead->in_use ? total - ahead->in_use : 0;
    uint32_t wanted = keep_free ? share_of_cores() : std::min(share_of_cores(), cores());
    if (keep_free)
        free = room_kept_free(cost, free);
    room->bytes = cost == 0 ? free : std::min(free, decoder_room_for(cost, wanted));
    uint32_t fit = frame_threads_within(cost, room->bytes);
    room->threads = cost == 0 ? 0 : std::min(fit, wanted);
    ahead->in_use += room->bytes;
    return 1;
}

void give_back(Room* room)
{
    std::lock_guard<std::mutex> held(ahead->lock);
    ahead->in_use -= room->bytes;
    room->bytes = 0;
    ahead->changed.notify_all();
}

// A decoder opened on fewer frame threads than it would take now starts again, once the scan is
// over and no other check runs or waits, when less than a third of the samples went through it: on
// more threads the whole is done sooner than the rest on the few.
int worth_starting_again(uint64_t cost, const Room* room, uint64_t chunk, uint64_t chunks)
{
    if (chunk == 0 || chunk >= chunks / 3 || cost == 0)
        return 0;
    std::lock_guard<std::mutex> held(ahead->lock);
    if (ahead->scanning || ahead->running > 1 || ahead->next < ahead->jobs.size())
        return 0;
    uint64_t free = room_after_scan - (ahead->in_use - room->bytes);
    return std::min(frame_threads_within(cost, free), cores() + 1) > room->threads;
}

// The frame threads the decoder holding `room` would open on now, with the lock held: its share of
// the cores in the room the other decoders leave it, less what those waiting for room need; 0 when
// that holds no decoder.
uint32_t threads_now(uint64_t cost, const Room* room)
{
    uint64_t total = room_total(), others = ahead->in_use - room->bytes;
    uint64_t free = total > others ? total - others : 0;
    if (free >= ahead->wanted + decoder_room_for(cost, 1))
        free -= ahead->wanted;
    if (!decoder_fits(cost, free))
        return 0;
    return std::min({frame_threads_within(cost, free), share_of_cores(), cores()});
}

// 1 when the decoder would open on other frame threads now.
int other_threads_wanted(uint64_t cost, const Room* room)
{
    std::lock_guard<std::mutex> held(ahead->lock);
    uint32_t threads = threads_now(cost, room);
    return threads > 0 && threads != room->threads;
}

// The decoder holding `room` has closed: it takes the room it opens in now. Never waits, for the
// room it held is its own until then.
void take_room_again(uint64_t cost, Room* room)
{
    std::lock_guard<std::mutex> held(ahead->lock);
    uint32_t threads = threads_now(cost, room);
    if (threads > 0) {
        ahead->in_use -= room->bytes;
        room->bytes = decoder_room_for(cost, threads);
        room->threads = threads;
        ahead->in_use += room->bytes;
    }
    ahead->changed.notify_all();
}

int open_in(ValidationPass* pass, const mp4::MovieInfo* movie, uint64_t cost, Room* room, int keep_free = 1)
{
    if (!take_room(cost, keep_free, room))
        return 0;
    if (validation_open_threads(pass, movie, room->threads))
        return 1;
    give_back(room);
    return 0;
}

void close_in(ValidationPass* pass, Room* room)
{
    validation_close(pass);
    give_back(room);
}

// Where a chunk's first sample starts a coded video sequence, a decoder remembers nothing of the
// samples before it: one opened afresh there on other frame threads decodes the rest as the first
// would have, and the samples before were judged whole when that one was drained. So a decoder
// gives up frame threads there when another recording waits for room, and takes more when cores
// and room are free. What a drain found wrong is judged by one decoder over the whole track, as the
// writer judges it.
int chunk_starts_sequence(const mp4::TrackTables* v, const std::vector<uint8_t>& chunk, const mp4::SampleSizes& sizes)
{
    uint64_t first = sizes.count > 0 ? mp4::sample_size_at(&sizes, 0) : 0;
    return first > 0 && first <= chunk.size() &&
           codec::sample_starts_sequence(chunk.data(), first, mp4::format_is_hevc(v->format));
}

// 1 when one of the first chunks after the first starts a sequence: the stream has places to
// start a decoder again.
int has_sequence_starts(const mp4::TrackTables* v, std::FILE* file, uint64_t file_size, std::vector<uint8_t>* chunk)
{
    constexpr uint64_t looked_at = 8;
    for (uint64_t k = 1; k < v->chunk_count && k <= looked_at; k++) {
        mp4::SampleSizes sizes;
        if (read_chunk(file, v, k, file_size, chunk) && analysis::chunk_samples(v, k, &sizes) &&
            chunk_starts_sequence(v, *chunk, sizes))
            return 1;
    }
    return 0;
}

enum class Ran { to_its_end, dropped, again_whole };

void add_counts(validator::ValidatorResult* r, const validator::ValidatorResult& before)
{
    r->samples_received += before.samples_received;
    r->frames_decoded += before.frames_decoded;
}

// Pushes every chunk in the writer's order: the same samples, the same outcome. With `restarts`,
// the decoder may start again on other frame threads where a chunk starts a sequence.
Ran decode_track(Check* c, std::FILE* file, uint64_t file_size, std::vector<uint8_t>* chunk, int restarts)
{
    const mp4::TrackTables* v = &c->movie.video;
    ValidationPass pass = {};
    uint64_t cost = decoded_picture_bytes(&c->movie);
    restarts = restarts && cost > 0;
    Room room;
    if (!open_in(&pass, &c->movie, cost, &room, !restarts))
        return Ran::dropped;
    validator::ValidatorResult before = {};  // the decoders drained on the way, all clean
    int started_again = 0;
    c->outcome.refused_chunk = UINT64_MAX;
    for (uint64_t k = 0; k < v->chunk_count; k++) {
        mp4::SampleSizes sizes;
        if (!restarts && worth_starting_again(cost, &room, k, v->chunk_count)) {
            close_in(&pass, &room);
            if (!open_in(&pass, &c->movie, cost, &room))
                return Ran::dropped;
            k = 0;
        }
        if (ahead->cancel.load() || !read_chunk(file, v, k, file_size, chunk)) {
            close_in(&pass, &room);
            return Ran::dropped;
        }
        if (!analysis::chunk_samples(v, k, &sizes))
            continue;
        if (restarts && k > 0 && other_threads_wanted(cost, &room) && chunk_starts_sequence(v, *chunk, sizes)) {
            int rc = validator::validator_api.finish(pass.handle, &pass.result);
            validation_close(&pass);
            if (rc != 0 || pass.result.corrupt_frames != 0) {
                give_back(&room);
                return Ran::again_whole;
            }
            add_counts(&before, pass.result);
            started_again = 1;
            take_room_again(cost, &room);
            if (!validation_open_threads(&pass, &c->movie, room.threads)) {
                give_back(&room);
                return Ran::again_whole;
            }
        }
        int complete = 0;
        VideoVerdict verdict = push_chunk(&pass, v, k, chunk->data(), &complete);
        if (verdict != video_decoded) {
            give_back(&room);
            if (started_again)
                return Ran::again_whole;
            c->outcome.refused_chunk = k;
            c->outcome.refusal = verdict;
            c->outcome.result = pass.result;
            c->done = 1;
            return Ran::to_its_end;
        }
    }
    int rc = validator::validator_api.finish(pass.handle, &pass.result);
    close_in(&pass, &room);
    if (started_again && (rc != 0 || pass.result.corrupt_frames != 0))
        return Ran::again_whole;
    add_counts(&pass.result, before);
    c->outcome.finish_rc = rc;
    c->outcome.result = pass.result;
    c->done = 1;
    return Ran::to_its_end;
}

void decode(Check* c, std::FILE* file, uint64_t file_size, std::vector<uint8_t>* chunk)
{
    int restarts = has_sequence_starts(&c->movie.video, file, file_size, chunk);
    if (decode_track(c, file, file_size, chunk, restarts) == Ran::again_whole)
        decode_track(c, file, file_size, chunk, 0);
}

int run_check(Check* c, std::vector<uint8_t>* chunk)
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
        decode(c, file, static_cast<uint64_t>(size), chunk);
    std::fclose(file);
    std::vector<uint8_t>().swap(*chunk);
    return 1;
}

// A worker takes the checks in the order handed over; once the checks stop, those not taken stay
// where they are.
void work()
{
    std::vector<uint8_t> chunk;  // this worker's read buffer
    std::unique_lock<std::mutex> held(ahead->lock);
    for (;;) {
        ahead->changed.wait(held, [] { return ahead->stopping || ahead->next < ahead->jobs.size(); });
        if (ahead->stopping)
            return;
        Check* c = &ahead->jobs[ahead->next++];
        ahead->running++;
        held.unlock();
        run_check(c, &chunk);
        held.lock();
        ahead->running--;
        c->finished = 1;
        ahead->changed.notify_all();
    }
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

void start_workers(uint64_t room_beside_scan)
{
    ahead = new Ahead;
    ahead->room_beside_scan = room_beside_scan;
    uint32_t n = std::min<uint32_t>(cores(), max_workers);
    std::lock_guard<std::mutex> held(ahead->lock);  // the workers count themselves under it
    for (uint32_t i = 0; i < n; i++) {
        try {
            ahead->workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
}

}  // namespace

void decode_ahead_begin(uint64_t room_beside_scan)
{
    decode_ahead_stop();
    start_workers(room_beside_scan);
    // without a thread of its own the check would hold up the scan: the writer decodes instead
    if (ahead->workers.empty())
        decode_ahead_stop();
}

void decode_ahead_scan_over()
{
    if (!ahead)
        return;
    std::lock_guard<std::mutex> held(ahead->lock);
    ahead->scanning = 0;
    ahead->changed.notify_all();
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
    std::lock_guard<std::mutex> held(ahead->lock);
    ahead->jobs.push_back(c);
    ahead->changed.notify_all();
}

int decode_ahead_take(uint64_t header, const mp4::MovieInfo* movie, DecodedAhead* out)
{
    if (!ahead)
        return 0;
    std::unique_lock<std::mutex> held(ahead->lock);
    const Check* c = nullptr;
    for (const Check& job : ahead->jobs)
        if (job.header == header)
            c = &job;
    if (!c)
        return 0;
    ahead->changed.wait(held, [c] { return c->finished != 0; });
    if (!c->done || !movie || !same_video(&c->movie, movie))
        return 0;
    *out = c->outcome;
    return 1;
}

void decode_ahead_stop()
{
    if (!ahead)
        return;
    // the process ends from a check's own thread (out of memory while it read the movie box): it
    // cannot wait for itself, and nothing is left to wait for
    for (const std::thread& t : ahead->workers)
        if (t.get_id() == std::this_thread::get_id())
            return;
    {
        std::lock_guard<std::mutex> held(ahead->lock);
        ahead->cancel.store(1);
        ahead->stopping = 1;
        ahead->changed.notify_all();
    }
    for (std::thread& t : ahead->workers)
        t.join();
    for (Check& c : ahead->jobs) {
        std::free(c.moov);
        mp4::free_movie_info(&c.movie);
    }
    delete ahead;
    ahead = nullptr;
}

}  // namespace rebuild
