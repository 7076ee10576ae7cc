#include "analysis/recording_runs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"
#include "basics/output.h"

namespace analysis {

int header_reaches(uint64_t header_offset, uint64_t run_start)
{
    constexpr uint64_t max_header_distance = 2097152;
    return header_offset <= run_start && run_start - header_offset <= max_header_distance;
}

namespace {

constexpr int min_shift_hours = -14;
constexpr int max_shift_hours = 14;

// 1-based index of the last clip header at or before `offset` within 2 MiB, or 0.
uint32_t header_before(const ClipHeaderList* headers, uint64_t offset)
{
    size_t lo = 0, hi = headers->count;  // count of headers with header_offset <= offset
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (headers->items[mid].header_offset <= offset)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0 || !header_reaches(headers->items[lo - 1].header_offset, offset))
        return 0;
    return static_cast<uint32_t>(lo);
}

uint64_t shifted(uint64_t time_unix, int shift) { return time_unix + uint64_t(int64_t(shift) * 3600); }

}  // namespace

void build_runs(const ClipHeaderList* headers, const MarkerList* markers, RunList* runs)
{
    size_t i = 0;
    while (i < markers->count) {
        if (markers->items[i].sequence != 0) {
            i++;
            continue;
        }
        size_t j = i + 1;
        while (j < markers->count && markers->items[j].sequence != 0)
            j++;
        const KkadMarker* first = &markers->items[i];
        RecordingRun run;
        std::memset(&run, 0, sizeof run);
        run.start_offset = first->marker_offset;
        run.has_time = first->has_time;
        run.year = first->year;
        run.month = first->month;
        run.day = first->day;
        run.hour = first->hour;
        run.minute = first->minute;
        run.second = first->second;
        run.time_unix = first->time_unix;
        run.tag = first->tag;
        run.marker_count = j - i;
        run.header_index = header_before(headers, run.start_offset);
        basics::list_append(runs, run);
        i = j;
    }
}

int choose_time_shift(const RunList* runs, const MovieList* movies)
{
    // sorted creation times make each lookup a bisection
    uint64_t* times = static_cast<uint64_t*>(basics::xmalloc(movies->count * sizeof(uint64_t)));
    size_t n = 0;
    for (size_t m = 0; m < movies->count; m++)
        if (movies->items[m].has_creation_time)
            times[n++] = movies->items[m].creation_unix;
    std::sort(times, times + n);
    int best_shift = min_shift_hours;
    long long best_count = -1;
    for (int s = min_shift_hours; s <= max_shift_hours; s++) {
        long long count = 0;
        for (size_t r = 0; r < runs->count; r++)
            if (runs->items[r].has_time && std::binary_search(times, times + n, shifted(runs->items[r].time_unix, s)))
                count++;
        if (count > best_count) {
            best_count = count;
            best_shift = s;
        }
    }
    std::free(times);
    return best_shift;
}

void pair_runs(const RunList* runs, const MovieList* movies, int shift, PairList* pairs)
{
    if (movies->count == 0)
        return;
    uint8_t* used = static_cast<uint8_t*>(basics::xcalloc(movies->count, 1));
    for (size_t r = 0; r < runs->count; r++) {
        const RecordingRun* run = &runs->items[r];
        if (!run->has_time)
            continue;
        uint64_t want = camera_chunk_samples * run->marker_count;
        size_t winner = movies->count;
        uint64_t best = 0;
        for (size_t m = 0; m < movies->count; m++) {
            const mp4::MovieInfo* movie = &movies->items[m];
            if (used[m] || !movie_made_at_run(movie, run, shift))
                continue;
            uint64_t count = movie->video.sample_count;
            uint64_t distance = want > count ? want - count : count - want;
            if (winner == movies->count || distance < best) {
                winner = m;
                best = distance;
            }
        }
        if (winner == movies->count)
            continue;
        used[winner] = 1;
        if (run->header_index != 0)
            basics::list_append(pairs, MoviePair{r, winner, run->header_index});
    }
    std::free(used);
}

int movie_made_at_run(const mp4::MovieInfo* movie, const RecordingRun* run, int shift)
{
    return run->has_time && movie->has_creation_time && movie->has_video &&
           movie->creation_unix == shifted(run->time_unix, shift);
}

int movie_makes_clip(const mp4::MovieInfo* movie)
{
    const mp4::TrackTables* video = &movie->video;
    if (!movie->has_video || video->chunk_count == 0 || video->sample_count == 0)
        return 0;
    for (uint64_t c = 0; c < video->chunk_count; c++)
        if (video->chunk_sample_counts[c] != camera_chunk_samples)
            return 0;
    return 1;
}

void select_clips(const PairList* pairs, const RunList* runs, const MovieList* movies,
                  const ClipHeaderList* headers, ClipList* clips)
{
    for (size_t i = 0; i < pairs->count; i++) {
        const MoviePair* pair = &pairs->items[i];
        const mp4::MovieInfo* movie = &movies->items[pair->movie];
        if (pair->header_index < 1 || pair->header_index > headers->count || !movie_makes_clip(movie))
            continue;
        RecoveryClip clip;
        std::memset(&clip, 0, sizeof clip);
        clip.clip_number = pair->header_index;
        clip.header = &headers->items[pair->header_index - 1];
        clip.run = &runs->items[pair->run];
        clip.movie = movie;
        clip.chunks = static_cast<ChunkPlacement*>(basics::xcalloc(movie->video.chunk_count, sizeof(ChunkPlacement)));
        clip.chunk_count = movie->video.chunk_count;
        basics::list_append(clips, clip);
    }
    std::sort(clips->items, clips->items + clips->count, [](const RecoveryClip& a, const RecoveryClip& b) {
        return int32_t(a.clip_number) < int32_t(b.clip_number);
    });
}

void build_recordings(const ClipHeaderList* headers, const MarkerList* markers, const MovieList* movies,
                      RunList* runs, PairList* pairs, ClipList* clips)
{
    basics::out_printf("\n[3/6] Building Sony recording runs and pairing moov...\n");
    build_runs(headers, markers, runs);
    int shift = choose_time_shift(runs, movies);
    pair_runs(runs, movies, shift, pairs);
    select_clips(pairs, runs, movies, headers, clips);
    basics::out_printf("  sequence-zero runs=%zu\n", runs->count);
    basics::out_printf("  timestamp shift=%+d h\n", shift);
    basics::out_printf("  XAVC+moov pairs=%zu\n", pairs->count);
    basics::out_printf("  R8-compatible 12-sample XAVC recordings=%zu\n", clips->count);
}

void free_clips(ClipList* clips)
{
    for (size_t i = 0; i < clips->count; i++)
        std::free(clips->items[i].chunks);
    basics::list_free(clips);
}

RecordingTime recording_time_of(const RecordingRun* run)
{
    if (!run)
        return RecordingTime{};
    return RecordingTime{run->has_time, run->year, run->month, run->day, run->hour, run->minute, run->second};
}

}  // namespace analysis
