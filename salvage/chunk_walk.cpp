#include "salvage/chunk_walk.h"

#include "salvage/chunk_sound.h"
#include "salvage/sample_walk.h"

namespace salvage {

using namespace analysis;

namespace {

uint64_t chunk_end(const SalvageChunk* c) { return salvage_chunk_offset(c, salvage_chunk_walked(c)); }

struct Walked {
    SalvageChunk chunk;
    uint32_t stop;
    int ok;
};

// The chunk that starts at `at`, its units followed no further than `limit`.
Walked walk_chunk(const RecordingScope* r, uint64_t at, uint64_t limit)
{
    Walked w = {};
    SampleWalk walk;
    if (!walk_samples(r->image, r->image_size, at, limit, video_format(r->hevc), camera_chunk_samples, w.chunk.sizes,
                      &walk))
        return w;
    w.chunk.image_offset = at;
    w.chunk.samples = uint32_t(walk.samples);
    w.stop = walk.stop;
    w.ok = 1;
    return w;
}

// Searching back from a known chunk: the chunk that ends exactly `between` bytes before it,
// starting at or after `from`. A walk that stops short of the end skips the delimiters it passed.
int chunk_ending_at(const RecordingScope* r, uint64_t from, uint64_t end, SalvageChunk* out)
{
    uint64_t at;
    while (from < end && find_delimiter(r, from, end, &at)) {
        Walked w = walk_chunk(r, at, end);
        if (w.ok && w.chunk.samples == camera_chunk_samples && w.stop == walk_at_limit) {
            *out = w.chunk;
            out->end_confirmed = 1;
            return 1;
        }
        from = w.ok && w.stop != walk_at_limit ? chunk_end(&w.chunk) + 1 : at + 1;
        if (w.ok && w.stop == walk_at_limit)
            return 0;  // the chunk's first samples are not there
    }
    return 0;
}

}  // namespace

SalvageChunk* last_chunk(Chain* c) { return c->chunks->count ? &c->chunks->items[c->chunks->count - 1] : nullptr; }

uint64_t behind_box(const Chain* c, uint64_t box, int* sure)
{
    const image::ImageGeometry* g = c->r->geometry;
    uint64_t at = box + c->box_to_chunk;
    *sure = box && g && g->cluster_bytes && box >= g->heap_offset &&
            (box - g->heap_offset) / g->cluster_bytes == (at - g->heap_offset) / g->cluster_bytes;
    return box && c->box_to_chunk ? at : 0;
}

uint64_t next_start(const Chain* c, const SalvageChunk* prev)
{
    int sure;
    uint64_t at = behind_box(c, prev->box, &sure);
    return at && sure ? at : salvage_chunk_end(prev) + c->between;
}

void settle_open_end(Chain* c, int confirmed)
{
    SalvageChunk* last = last_chunk(c);
    if (!last || !last->open_end)
        return;
    last->open_end = 0;
    if (confirmed) {
        last->end_confirmed = 1;
    } else {
        last->samples--;
        last->full_bytes = 0;
    }
}

namespace {

// The file offset of the chunk that starts at image offset `at`, the interleave's `between` behind
// `from` in the camera's file. At a 1001 rate the sound in between is a sound frame longer or
// shorter than the usual: of the three distances, the one that puts the chunk where `at` lies in
// its cluster (a frame is far less than a cluster, so at most one does). 0 when none does.
uint64_t file_behind(const RecordingScope* r, uint64_t from, uint64_t between, uint64_t at)
{
    const image::ImageGeometry* g = r->geometry;
    uint64_t frame = pcm_frame_bytes(r->pcm);
    if (!g || g->cluster_bytes == 0 || at < g->heap_offset)
        return from + between;
    for (uint64_t d : {between, between + frame, between - frame})
        if (d <= between + frame && (from + d) % g->cluster_bytes == (at - g->heap_offset) % g->cluster_bytes)
            return from + d;
    return 0;
}

}  // namespace

uint64_t walk_forward(Chain* c, uint64_t at, uint64_t limit, int keep_partial, int* reached)
{
    *reached = 0;
    while (at < limit) {
        Walked w = walk_chunk(c->r, at, limit);
        if (!w.ok)
            break;  // whether the last chunk's open end holds is for the caller to settle
        settle_open_end(c, 1);
        int whole = w.chunk.samples == camera_chunk_samples;
        // a limit that is the next known chunk's start confirms the end; the image end does not
        int at_known_limit = w.stop == walk_at_limit && limit < c->r->image_size;
        if (!whole && (w.stop == walk_at_no_unit || (w.stop == walk_at_limit && !at_known_limit)))
            w.chunk.samples--;  // its end is a guess
        if (!whole && !keep_partial)
            break;
        w.chunk.end_confirmed = whole && (w.stop == walk_at_delimiter || at_known_limit);
        w.chunk.open_end = whole && !w.chunk.end_confirmed;
        const SalvageChunk* prev = last_chunk(c);
        if (prev && prev->file_known && prev->full_bytes) {
            // where the sound behind the chunk before varies from the usual by a few samples,
            // the walk began where that chunk's own sound ends; across a fragment boundary, the
            // chunk's place in its cluster tells that sound's length
            uint64_t distance = next_chunk_distance(salvage_chunk_end(prev), at, c->between);
            uint64_t from = prev->file_offset + prev->full_bytes, behind = file_behind(c->r, from, c->between, at);
            w.chunk.file_offset = distance ? from + distance : behind ? behind : from + c->between;
            w.chunk.file_known = 1;
        }
        if (whole)
            w.chunk.full_bytes = salvage_chunk_walked(&w.chunk);
        if (w.chunk.samples > 0)
            basics::list_append(c->chunks, w.chunk);
        if (!whole)
            break;
        at = chunk_end(&w.chunk) + c->between;
        if (at_known_limit) {
            *reached = 1;
            break;
        }
    }
    return at;
}

void fill_gap(Chain* c, uint64_t next, uint64_t next_file, int* gap)
{
    const RecordingScope* r = c->r;
    SalvageChunk* prev = last_chunk(c);
    *gap = 0;
    if (c->between == 0 || next < r->payload + c->between) {
        *gap = prev && salvage_chunk_end(prev) != next;
        return;
    }
    uint64_t end = next - c->between;
    uint64_t from = r->payload;
    if (prev) {
        int reached;
        from = walk_forward(c, salvage_chunk_end(prev) + c->between, end, 0, &reached);
        if (reached)
            return;
        prev = last_chunk(c);
    }
    uint64_t prev_end = prev ? salvage_chunk_end(prev) : 0;
    // back from the located chunk
    SalvageChunk back[64];
    uint32_t found = 0;
    SalvageChunk one;
    uint64_t lower = prev ? salvage_chunk_end(prev) : r->payload;
    while (found < 64 && end > lower && chunk_ending_at(r, lower, end, &one)) {
        one.full_bytes = salvage_chunk_walked(&one);
        next_file -= c->between + one.full_bytes;
        one.file_offset = next_file;
        one.file_known = 1;
        back[found++] = one;
        if (one.image_offset < lower + c->between)
            break;
        end = one.image_offset - c->between;
    }
    uint64_t meets = found ? back[found - 1].image_offset : next;
    settle_open_end(c, prev && prev_end + c->between == meets);
    prev = last_chunk(c);
    // with no chunk before, the first one found is the recording's first unless a whole chunk
    // and its interleave would fit in front of it
    *gap = prev ? from != meets : meets - r->payload >= c->between;
    for (uint32_t i = found; i > 0; i--) {
        back[i - 1].gap_before = i == found && *gap;
        basics::list_append(c->chunks, back[i - 1]);
    }
    if (found)
        *gap = 0;
}

void walk_from_box(Chain* c, uint64_t sound, uint64_t to_marker)
{
    SalvageChunk* last = last_chunk(c);
    uint64_t to_chunk = c->box_to_chunk                           ? c->box_to_chunk
                        : to_marker && to_marker < c->between ? c->between - to_marker
                                                                  : 0;
    if (!last || !last->box || !to_chunk || !last->file_known || !last->full_bytes || !last->end_confirmed ||
        last->file_offset + last->full_bytes + c->between >= c->r->file_end ||
        last->box + to_chunk == salvage_chunk_end(last) + c->between)
        return;
    size_t before = c->chunks->count;
    int reached;
    walk_forward(c, last->box + to_chunk, c->r->image_size, 1, &reached);
    SalvageChunk* end = last_chunk(c);
    int whole = c->chunks->count > before;
    for (size_t i = before; i < c->chunks->count && whole; i++)
        whole = c->chunks->items[i].samples == camera_chunk_samples && c->chunks->items[i].full_bytes;
    if (!whole || !end->file_known ||
        !next_chunk_distance(end->file_offset + end->full_bytes, c->r->file_end, sound)) {
        c->chunks->count = before;
        return;
    }
    end->open_end = 0;
    end->end_confirmed = 1;
}

int list_unwalked_last(Chain* c, uint64_t sound)
{
    const SalvageChunk* prev = last_chunk(c);
    int sure = 0;
    uint64_t at = prev ? behind_box(c, prev->box, &sure) : 0;
    if (!at || !sure || !prev->file_known || !prev->full_bytes || !prev->end_confirmed)
        return 0;
    uint64_t file = file_behind(c->r, prev->file_offset + prev->full_bytes, c->between, at);
    if (file == 0 || file >= c->r->file_end || c->r->file_end - file <= sound)
        return 0;
    SalvageChunk chunk{};
    chunk.image_offset = at;
    chunk.file_offset = file;
    chunk.file_known = 1;
    basics::list_append(c->chunks, chunk);
    return 1;
}

}  // namespace salvage
