#include "salvage/cut_join.h"

#include <algorithm>
#include <cstdlib>

#include "analysis/analysis_types.h"
#include "analysis/chunk_locate.h"
#include "basics/checked_alloc.h"
#include "image/card_reader.h"
#include "image/read_at.h"
#include "salvage/damaged_chunk.h"

namespace salvage {

namespace {

// 1 when `image_offset` and `file` lie at the same place in a cluster: the camera's file starts
// a cluster, so a byte of it keeps its offset inside the cluster wherever its run lies.
int on_same_edge(const image::ImageGeometry* g, uint64_t image_offset, uint64_t file)
{
    return image_offset >= g->heap_offset && (image_offset - g->heap_offset) % g->cluster_bytes == file % g->cluster_bytes;
}

// Bytes [first, end) of the chunk where the cut can lie: the head run read as if the chunk went
// on there, its samples walked until one fails; the cut lies inside that one, or inside the last
// unit of the one before it (whose length fields all stand before the cut). 0 when every sample
// stands whole in the head run (nothing to join) or the image does not give the head.
int cut_range(std::FILE* src, uint64_t image_size, uint64_t head, uint64_t size, const mp4::SampleSizes* sizes,
              codec::Syntax syntax, uint64_t before, uint64_t* first, uint64_t* end)
{
    uint64_t have = image_size - head < size ? image_size - head : size;
    have = image::card_known_until(src, head, head + have) - head;
    analysis::grow_read_buffer(&analysis::direct_read_buffer, have ? have : 1);
    const uint8_t* bytes = analysis::direct_read_buffer.data;
    if (have == 0 || !image::read_at(src, head, analysis::direct_read_buffer.data, have))
        return 0;
    uint64_t pos = 0, last = 0;
    for (uint64_t i = 0; i < sizes->count; i++) {
        uint64_t n = mp4::sample_size_at(sizes, i);
        if (n > have - pos || !sample_intact(bytes + pos, n, syntax)) {
            *first = last;
            *end = pos + n;
            return 1;
        }
        last = pos;
        pos += n;
    }
    if (before == 0 || before > size)
        return 0;
    // every sample walks whole in the head run, but the bytes from `before` on are another
    // recording's: the cut lies in front of them, in the sample that holds them or the last unit
    // of the one before it
    for (uint64_t i = 0, at = 0, prev = 0; i < sizes->count; i++) {
        uint64_t n = mp4::sample_size_at(sizes, i);
        if (before < at + n) {
            *first = prev;
            *end = before + 1;
            return 1;
        }
        prev = at;
        at += n;
    }
    return 0;
}

// The chunk at `place` read whole into the shared buffer, every sample intact.
int proves(std::FILE* src, const ChunkPlace* place, uint64_t size, const mp4::SampleSizes* sizes, codec::Syntax syntax)
{
    analysis::grow_read_buffer(&analysis::direct_read_buffer, size);
    uint8_t* bytes = analysis::direct_read_buffer.data;
    if (!read_placed(src, place, 0, bytes, size))
        return 0;
    for (uint64_t i = 0, pos = 0; i < sizes->count; i++) {
        uint64_t n = mp4::sample_size_at(sizes, i);
        if (!sample_intact(bytes + pos, n, syntax))
            return 0;
        pos += n;
    }
    return 1;
}

int foreign(const ClaimList* claims, uint64_t begin, uint64_t end, uint32_t clip, uint32_t tag)
{
    uint64_t at;
    return first_foreign(claims, begin, end, clip, tag, &at);
}

// Where bytes [file, file + size) lie when the runs of `lo` and `hi` meet at file offset `cut`.
ChunkPlace placed_at_cut(JoinAnchor lo, JoinAnchor hi, uint64_t cut, uint64_t file, uint64_t size)
{
    uint64_t tail = hi.image - (hi.file - cut);
    if (cut <= file)
        return ChunkPlace{tail + (file - cut), 0, 0};
    if (cut >= file + size)
        return ChunkPlace{lo.image + (file - lo.file), 0, 0};
    return ChunkPlace{lo.image + (file - lo.file), cut - file, tail};
}

}  // namespace

int first_foreign(const ClaimList* claims, uint64_t begin, uint64_t end, uint32_t clip, uint32_t tag, uint64_t* at)
{
    if (!claims)
        return 0;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    uint64_t from = begin > claims->longest ? begin - claims->longest : 0;
    const ClaimedSpan* c =
        std::lower_bound(first, stop, from, [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
    int found = 0;
    for (; c != stop && c->begin < end; c++)
        if (c->end > begin && c->clip != clip && (c->tag == 0 || c->tag != tag)) {
            uint64_t x = c->begin > begin ? c->begin : begin;
            if (!found || x < *at)
                *at = x;
            found = 1;
        }
    return found;
}

void sort_claims(ClaimList* claims)
{
    ClaimedSpan* first = claims->spans.items;
    std::sort(first, first + claims->spans.count,
              [](const ClaimedSpan& a, const ClaimedSpan& b) { return a.begin < b.begin; });
    claims->longest = 0;
    for (uint64_t i = 0; i < claims->spans.count; i++)
        claims->longest = std::max(claims->longest, first[i].end - first[i].begin);
}

int join_by_claims(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                   uint64_t file, uint64_t size, const ClaimList* claims, uint32_t clip, uint32_t tag,
                   ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (!claims || cs == 0 || lo.file > file || file > UINT64_MAX - size || hi.file < file + size ||
        !on_same_edge(geometry, lo.image, lo.file) || !on_same_edge(geometry, hi.image, hi.file) ||
        hi.file - lo.file > hi.image || lo.image > image_size || hi.image > image_size)
        return 0;
    uint64_t first = (lo.file / cs + 1) * cs, last = hi.file / cs * cs;
    if (first > last || (last - first) / cs >= claim_edges_tried)
        return 0;
    uint64_t cut = 0;
    for (uint64_t e = first; e <= last; e += cs) {
        uint64_t head_end = lo.image + (e - lo.file), tail = hi.image - (hi.file - e);
        if ((tail < head_end && lo.image < hi.image) || foreign(claims, lo.image, head_end, clip, tag) || foreign(claims, tail, hi.image, clip, tag))
            continue;  // a run would hold another recording's piece
        if (cut)
            return 0;  // two edges are left: either could be the boundary
        cut = e;
    }
    uint64_t head_end = cut ? lo.image + (cut - lo.file) : 0, tail = cut ? hi.image - (hi.file - cut) : 0;
    // another recording's pieces end lo's run right at the edge and begin right before hi's
    if (!cut || !foreign(claims, head_end, head_end + cs, clip, tag) || tail < cs ||
        !foreign(claims, tail - cs, tail, clip, tag))
        return 0;
    ChunkPlace at = placed_at_cut(lo, hi, cut, file, size);
    uint64_t held = at.cut ? at.cut : size;
    if (at.at > image_size || image_size - at.at < held || (at.cut && image_size - at.tail < size - at.cut))
        return 0;
    *out = at;
    return 1;
}

void sort_anchors(AnchorList* anchors)
{
    std::sort(anchors->items, anchors->items + anchors->count,
              [](const JoinAnchor& a, const JoinAnchor& b) { return a.file < b.file; });
}

const JoinAnchor* anchor_upto(const AnchorList* anchors, uint64_t file)
{
    const JoinAnchor* first = anchors->items;
    const JoinAnchor* upto = std::upper_bound(first, first + anchors->count, file,
                                              [](uint64_t f, const JoinAnchor& x) { return f < x.file; });
    return upto == first ? nullptr : upto - 1;
}

const JoinAnchor* anchor_from(const AnchorList* anchors, uint64_t file)
{
    const JoinAnchor* first = anchors->items;
    const JoinAnchor* end = first + anchors->count;
    const JoinAnchor* from =
        std::lower_bound(first, end, file, [](const JoinAnchor& x, uint64_t f) { return x.file < f; });
    return from == end ? nullptr : from;
}

int same_run(const JoinAnchor* lo, const JoinAnchor* hi)
{
    return lo->image <= UINT64_MAX - (hi->file - lo->file) && lo->image + (hi->file - lo->file) == hi->image;
}

// The recording's kkad boxes with their offsets in the camera's file. A box's sequence number is
// its metadata chunk's index, and every metadata chunk holds its box at the same place, which the
// first box lying where a located video chunk puts its metadata chunk tells. A sequence number two
// boxes of the recording share places neither.
void place_kkad_boxes(const mp4::MovieInfo* movie, const analysis::MarkerList* markers, uint32_t tag,
                      const uint8_t* found, const uint64_t* found_at, AnchorList* out)
{
    uint64_t chunks = movie->video.chunk_count;
    const mp4::TrackTables* meta = &movie->other;
    const uint64_t* f = movie->video.chunk_offsets;
    if (!movie->has_other || !markers || meta->chunk_count != chunks || chunks > 0x10000)
        return;
    const analysis::KkadMarker* first = markers->items;
    const analysis::KkadMarker* end = first + markers->count;
    uint64_t inside = UINT64_MAX;
    for (uint64_t k = 0; k < chunks && inside == UINT64_MAX; k++) {
        uint64_t o = meta->chunk_offsets[k];
        if (!found[k] || o > f[k] || f[k] - o > found_at[k])
            continue;
        uint64_t at = found_at[k] - (f[k] - o);
        const analysis::KkadMarker* m = std::lower_bound(first, end, at,
                                               [](const analysis::KkadMarker& x, uint64_t y) { return x.marker_offset < y; });
        for (; m != end && m->marker_offset < at + meta->chunk_sizes[k]; m++)
            if (m->tag == tag && m->valid && m->sequence == k) {
                inside = m->marker_offset - at;
                break;
            }
    }
    if (inside == UINT64_MAX)
        return;
    auto* seen = static_cast<uint8_t*>(basics::xcalloc(chunks, 1));
    for (const analysis::KkadMarker* m = first; m != end; m++)
        if (m->tag == tag && m->valid && m->sequence < chunks)
            seen[m->sequence] += seen[m->sequence] < 2;
    for (const analysis::KkadMarker* m = first; m != end; m++)
        if (m->tag == tag && m->valid && m->sequence < chunks && seen[m->sequence] == 1)
            basics::list_append(out, JoinAnchor{meta->chunk_offsets[m->sequence] + inside, m->marker_offset});
    std::free(seen);
    sort_anchors(out);
}

uint64_t place_offset(const ChunkPlace* place, uint64_t x)
{
    return place->cut && x >= place->cut ? place->tail + (x - place->cut) : place->at + x;
}

int read_placed(std::FILE* src, const ChunkPlace* place, uint64_t from, uint8_t* out, uint64_t n)
{
    uint64_t head = place->cut && from < place->cut ? place->cut - from : n;
    if (head > n)
        head = n;
    return image::read_at(src, place_offset(place, from), out, head) &&
           (head == n || image::read_at(src, place_offset(place, from + head), out + head, n - head));
}

int join_video_chunk(std::FILE* src, uint64_t image_size, const image::ImageGeometry* geometry, uint64_t file,
                     uint64_t head, const mp4::SampleSizes* sizes, codec::Syntax syntax, const JoinAnchor* anchors,
                     uint64_t anchor_count, uint64_t before, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, size = 0;
    for (uint64_t i = 0; i < sizes->count; i++)
        size += mp4::sample_size_at(sizes, i);
    if (cs == 0 || size == 0 || size > analysis::max_sample_bytes || !on_same_edge(geometry, head, file) ||
        head > image_size || file > UINT64_MAX - size)
        return 0;
    uint64_t first = 0, last = 0;
    if (!cut_range(src, image_size, head, size, sizes, syntax, before, &first, &last))
        return 0;
    int proven = 0;
    ChunkPlace found{};
    if (anchor_count > join_anchors_tried)
        anchor_count = join_anchors_tried;
    for (uint64_t cut = ((file + first) / cs + 1) * cs; cut < file + last && cut < file + size; cut += cs) {
        if (cut - file > image_size - head)
            break;
        for (uint64_t a = 0; a < anchor_count; a++) {
            const JoinAnchor& x = anchors[a];
            if (x.file < cut || x.file - cut > x.image)
                continue;
            uint64_t tail = x.image - (x.file - cut), rest = file + size - cut;
            if (tail == head + (cut - file) || tail > image_size || image_size - tail < rest)
                continue;
            ChunkPlace candidate{head, cut - file, tail};
            if (!proves(src, &candidate, size, sizes, syntax))
                continue;
            if (proven && (candidate.cut != found.cut || candidate.tail != found.tail))
                return 0;  // two joins fit: the structure does not tell which is the camera's
            proven = 1;
            found = candidate;
        }
    }
    if (proven)
        *out = found;
    return proven;
}

int join_between(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor lo, JoinAnchor hi,
                 uint64_t file, uint64_t size, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || lo.file > file || file > UINT64_MAX - size || hi.file < file + size ||
        !on_same_edge(geometry, lo.image, lo.file) || !on_same_edge(geometry, hi.image, hi.file))
        return 0;
    // a boundary falls on a cluster edge in (lo, hi]: with none before the bytes' end they all lie
    // in lo's run, with none after their start in hi's, however many boundaries there are
    uint64_t first = (lo.file / cs + 1) * cs, last = hi.file / cs * cs;
    if (first >= file + size || last <= file) {
        uint64_t at = first >= file + size ? lo.image + (file - lo.file) : hi.image - (hi.file - file);
        if (first >= file + size ? lo.image > UINT64_MAX - (file - lo.file) : hi.file - file > hi.image)
            return 0;
        if (at > image_size || image_size - at < size)
            return 0;
        *out = ChunkPlace{at, 0, 0};
        return 1;
    }
    // else the one cluster edge in (lo, hi] must be the boundary; with two edges there, either could be
    uint64_t cut = first;
    if (cut != last || cut - lo.file > UINT64_MAX - lo.image || hi.file - cut > hi.image)
        return 0;
    uint64_t head_at = lo.image + (cut - lo.file), tail = hi.image - (hi.file - cut);
    if (head_at == tail || head_at > image_size || tail > image_size || image_size - tail < file + size - cut)
        return 0;
    *out = ChunkPlace{lo.image + (file - lo.file), cut - file, tail};
    return 1;
}

int join_sound_behind(const image::ImageGeometry* geometry, uint64_t image_size, JoinAnchor last,
                      const JoinAnchor* next, uint64_t file, uint64_t size, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || !on_same_edge(geometry, last.image, last.file) || file <= last.file || file > UINT64_MAX - size ||
        last.image > UINT64_MAX - (file + size - last.file))
        return 0;
    uint64_t at = last.image + (file - last.file);
    if ((last.file / cs + 1) * cs >= file + size || (next && next->file >= file + size && same_run(&last, next))) {
        if (at > image_size || image_size - at < size)
            return 0;
        *out = ChunkPlace{at, 0, 0};
        return 1;
    }
    return next && join_between(geometry, image_size, last, *next, file, size, out);
}

}  // namespace salvage
