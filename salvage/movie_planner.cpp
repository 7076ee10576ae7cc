#include "salvage/movie_planner.h"

#include "analysis/chunk_locate.h"
#include "codec/nal_units.h"
#include "image/read_at.h"
#include "salvage/damaged_chunk.h"
#include "salvage/last_sound.h"

namespace salvage {

ChunkPlace video_place(const MoviePlanner* p, uint64_t k)
{
    ChunkPlace place = p->cut[k];
    place.at = p->found_at[k];
    return place;
}

int neighbour(const MoviePlanner* p, uint64_t k, int step, uint64_t* j)
{
    for (uint64_t i = k; step < 0 ? i-- > 0 : ++i < p->chunks;)
        if (p->found[i]) {
            *j = i;
            return 1;
        }
    return 0;
}

uint64_t leading_bytes(const mp4::TrackTables* t, uint64_t k, uint64_t n)
{
    if (t->fixed_sample_size)
        return n * t->fixed_sample_size;
    uint64_t sum = 0;
    for (uint64_t i = 0; i < n; i++)
        sum += t->sample_sizes[t->chunk_first_sample[k] + i];
    return sum;
}

int movie_anchor(const MoviePlanner* p, JoinAnchor* out)
{
    if (p->media_end == UINT64_MAX)
        return 0;
    *out = JoinAnchor{p->media_end, p->movie->moov_offset};
    return 1;
}

namespace {

// The recording's first located piece at or behind file offset `file`, chunk k's end: a kkad
// box, a video chunk found, or the movie box.
int next_piece(const MoviePlanner* p, uint64_t k, uint64_t file, JoinAnchor* out)
{
    int has = 0;
    if (const JoinAnchor* a = anchor_from(&p->kkad, file))
        *out = *a, has = 1;
    uint64_t j = 0;
    if (neighbour(p, k, 1, &j) && p->video->chunk_offsets[j] >= file && (!has || p->video->chunk_offsets[j] < out->file))
        *out = JoinAnchor{p->video->chunk_offsets[j], p->found_at[j]}, has = 1;
    JoinAnchor movie;
    if (movie_anchor(p, &movie) && movie.file >= file && (!has || movie.file < out->file))
        *out = movie, has = 1;
    return has;
}

}  // namespace

int tail_edge(const MoviePlanner* p, uint64_t k, uint64_t* x, JoinAnchor* next, int* intact, uint64_t* checked)
{
    if (!p->found[k] || p->cut[k].cut)
        return 0;
    ChunkPlace place{p->found_at[k], 0, 0};
    return placed_tail_edge(p, k, &place, x, next, intact, checked);
}

int placed_tail_edge(const MoviePlanner* p, uint64_t k, const ChunkPlace* place, uint64_t* x, JoinAnchor* next,
                     int* intact, uint64_t* checked)
{
    const image::ImageGeometry* g = p->geometry;
    uint64_t cs = g ? g->cluster_bytes : 0, from = 0, at = 0;
    mp4::SampleSizes sizes;
    if (cs == 0 || !analysis::chunk_samples(p->video, k, &sizes) || sizes.count == 0)
        return 0;
    place_last_run(place, &from, &at);
    uint64_t size = p->video->chunk_sizes[k], last = mp4::sample_size_at(&sizes, sizes.count - 1);
    if (last > size || last > analysis::max_sample_bytes || at < g->heap_offset || at > UINT64_MAX - size)
        return 0;
    analysis::grow_read_buffer(&analysis::direct_read_buffer, last);
    const uint8_t* sample = analysis::direct_read_buffer.data;
    if (!read_placed(p->image, place, size - last, analysis::direct_read_buffer.data, last))
        return 0;
    // the walk reads the last unit's length field and nothing of its payload; an edge in that
    // payload matters only in the last run: a cut in front of it was joined by what follows
    uint64_t shown = size - last + codec::last_unit_at(sample, last) + 4;
    if (shown < from)
        return 0;
    *checked = at + (shown - from);
    uint64_t edge = g->heap_offset + ((*checked - g->heap_offset) / cs + 1) * cs;
    uint64_t f = p->video->chunk_offsets[k];
    JoinAnchor start{f + from, at};
    // the next piece where the last run puts it: one run holds the chunk and all up to it
    if (edge >= at + (size - from) || !next_piece(p, k, f + size, next) || same_run(&start, next))
        return 0;
    *x = from + (edge - at);
    *intact = sample_intact(sample, last, codec::syntax_of(p->video->format));
    return 1;
}

int tail_cut(const MoviePlanner* p, uint64_t k, uint64_t* x)
{
    JoinAnchor next{0, 0};
    uint64_t checked = 0;
    int intact = 0;
    if (!tail_edge(p, k, x, &next, &intact, &checked))
        return 0;
    if (!intact)
        return 1;
    // else the boundary lies on an edge between the checked bytes and the next piece where
    // neither run would hold another recording's piece
    uint64_t f = p->video->chunk_offsets[k], at = p->found_at[k];
    JoinAnchor lo{f + (checked - at), checked};
    uint64_t left[2];
    uint32_t tag = p->clip->run ? p->clip->run->tag : 0;
    return edges_kept(p->geometry, p->image_size, lo, next, lo.file, 0, p->claims, p->clip->clip_number, tag, left,
                      2) == 1 &&
           left[0] < f + p->video->chunk_sizes[k];
}

// Of the first `samples` samples of chunk k, how many lie whole in front of its byte `x`.
static uint64_t samples_before(const mp4::TrackTables* v, uint64_t k, uint64_t samples, uint64_t x)
{
    uint64_t n = 0;
    while (n < samples && leading_bytes(v, k, n + 1) <= x)
        n++;
    return n;
}

int rejoin_in_cluster(const MoviePlanner* p, uint64_t k, uint64_t samples, uint64_t x, uint64_t at, ChunkPlace* place)
{
    const image::ImageGeometry* g = p->geometry;
    const mp4::TrackTables* v = p->video;
    uint64_t cs = g ? g->cluster_bytes : 0, n = samples_before(v, k, samples, x), fv = v->chunk_offsets[k];
    uint64_t s0 = leading_bytes(v, k, n), from = 0, run_at = 0;
    ChunkPlace joined = *place;
    place_last_run(&joined, &from, &run_at);
    uint64_t start = place_offset(&joined, s0), end = leading_bytes(v, k, samples);
    if (!cs || n >= samples || s0 < from || x - s0 >= cs || (fv + s0) / cs != (fv + x - 1) / cs ||
        start < g->heap_offset || (start - g->heap_offset) % cs != (fv + s0) % cs || !add_run(&joined, x, at) ||
        end - s0 > analysis::max_sample_bytes)
        return 0;
    analysis::grow_read_buffer(&analysis::direct_read_buffer, end - s0);
    const uint8_t* bytes = analysis::direct_read_buffer.data;
    if (!read_placed(p->image, &joined, s0, analysis::direct_read_buffer.data, end - s0))
        return 0;
    for (uint64_t i = n, b = 0; i < samples; i++) {
        uint64_t size = leading_bytes(v, k, i + 1) - leading_bytes(v, k, i);
        if (!sample_intact(bytes + b, size, codec::syntax_of(v->format)))
            return 0;
        b += size;
    }
    *place = joined;
    return 1;
}

// The byte `x` of chunk k from which the cluster that holds the recording's piece `next` holds the
// chunk's last bytes, and where that cluster begins (`c`).
static int anchor_cluster(const MoviePlanner* p, uint64_t k, const JoinAnchor& next, uint64_t* x, uint64_t* c)
{
    const image::ImageGeometry* g = p->geometry;
    uint64_t cs = g ? g->cluster_bytes : 0, fv = p->video->chunk_offsets[k], size = p->video->chunk_sizes[k];
    if (!cs || next.image < g->heap_offset)
        return 0;
    uint64_t into = (next.image - g->heap_offset) % cs;
    // the cluster holds the chunk's bytes from x to its end only when the piece lies behind them
    if (next.file < fv + size || next.file < into || next.file - into <= fv || next.file - into >= fv + size)
        return 0;
    *x = next.file - into - fv, *c = next.image - into;
    return 1;
}

int rejoin_at_anchor(const MoviePlanner* p, uint64_t k, const JoinAnchor& next, ChunkPlace* place)
{
    uint64_t x, c;
    return anchor_cluster(p, k, next, &x, &c) && place_offset(place, x) != c &&
           rejoin_in_cluster(p, k, p->video->chunk_sample_counts[k], x, c, place);
}

int tail_held_at_anchor(const MoviePlanner* p, uint64_t k, const JoinAnchor& next, const ChunkPlace* place)
{
    uint64_t x, c;
    ChunkPlace same = *place;
    return anchor_cluster(p, k, next, &x, &c) && place_offset(place, x) == c &&
           rejoin_in_cluster(p, k, p->video->chunk_sample_counts[k], x, c, &same);
}

int sound_head_anchor(const MoviePlanner* p, uint64_t k, const JoinAnchor* next, uint64_t count, JoinAnchor* out)
{
    const mp4::TrackTables* a = &p->movie->audio;
    const mp4::TrackTables* v = p->video;
    PcmFormat pcm;
    if (!p->claims || !p->movie->has_audio || k >= a->chunk_count || k >= v->chunk_count ||
        !pcm_format_of(&a->sound, &pcm))
        return 0;
    uint64_t q = a->chunk_offsets[k], size = a->chunk_sizes[k];
    if (q < v->chunk_offsets[k] + v->chunk_sizes[k])
        return 0;  // the sound follows its chunk
    const JoinAnchor* hi = nullptr;
    for (uint64_t j = 0; j < count; j++)
        if (next[j].file >= q + size && (!hi || next[j].file < hi->file))
            hi = &next[j];
    uint32_t tag = p->clip->run ? p->clip->run->tag : 0;
    return hi && sound_head_by_waveform(p->image, p->image_size, p->geometry, p->claims, p->clip->clip_number, tag,
                                        *hi, q, size, pcm, out);
}

// A cluster is never split between two runs: the cluster that holds a video chunk found by its
// samples holds, in front of that chunk, the file's bytes from the cluster's first byte on, and so
// the tail of the chunk before it and the sound between the two. A tail its samples' length
// fields lay elsewhere crosses a boundary they do not show (one unit's payload spans it): its
// samples from that cluster on are not the camera's for certain. Sound laid elsewhere that the
// cluster holds whole is taken from there.
void settle_by_next_chunk(MoviePlanner* p, int with_sound)
{
    const image::ImageGeometry* g = p->geometry;
    const mp4::TrackTables* v = p->video;
    const mp4::TrackTables* a = &p->movie->audio;
    uint64_t cs = g ? g->cluster_bytes : 0;
    for (uint64_t k = 0; cs && k + 1 < p->chunks; k++) {
        uint64_t next = v->chunk_offsets[k + 1], at = p->found_at[k + 1], fv = v->chunk_offsets[k];
        if (!p->found[k + 1] || at < g->heap_offset || fv >= next)
            continue;
        uint64_t into = (at - g->heap_offset) % cs;
        if (next < into)
            continue;
        uint64_t fc = next - into, c = at - into;  // the cluster's first byte in the file and in the image
        // the chunk's kept samples whose bytes the cluster holds
        if (p->on_card[k] && fv + leading_bytes(v, k, p->on_card[k]) > fc) {
            uint64_t x = fc > fv ? fc - fv : 0;
            ChunkPlace place = video_place(p, k);
            uint64_t want = c + (fv + x - fc);
            if (place_offset(&place, x) != want && rejoin_in_cluster(p, k, p->on_card[k], x, want, &place)) {
                p->cut[k] = place;
                p->joins++;
            } else if (place_offset(&place, x) != want) {
                p->on_card[k] = samples_before(v, k, p->on_card[k], x);
                p->end_seen[k] = 0;
            }
        }
        uint64_t fa = k < a->chunk_count ? a->chunk_offsets[k] : 0, size = k < a->chunk_count ? a->chunk_sizes[k] : 0;
        if (!with_sound || !size || fa < fc || fa + size > next)
            continue;
        uint64_t want = c + (fa - fc);
        if (p->sound_placed[k] && p->sound_at[k].at == want && p->sound_at[k].cut == 0)
            continue;
        p->sound_at[k] = ChunkPlace{};
        p->sound_at[k].at = want;
        p->sound_placed[k] = 1;
        p->sound_bytes[k] = size;
    }
}

}  // namespace salvage
