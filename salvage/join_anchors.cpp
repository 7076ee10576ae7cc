#include "salvage/join_anchors.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

#include "basics/checked_alloc.h"

namespace salvage {

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

namespace {

// Anchors for the boxes of the sequence numbers only one box of the recording carries, at
// `box_file` (0: not placed) in the camera's file.
void append_unique_boxes(const analysis::MarkerList* markers, uint32_t tag, uint64_t chunks, const uint64_t* box_file,
                         AnchorList* out)
{
    const analysis::KkadMarker* first = markers->items;
    const analysis::KkadMarker* end = first + markers->count;
    auto* seen = static_cast<uint8_t*>(basics::xcalloc(chunks ? chunks : 1, 1));
    for (const analysis::KkadMarker* m = first; m != end; m++)
        if (m->tag == tag && m->valid && m->sequence < chunks)
            seen[m->sequence] += seen[m->sequence] < 2;
    for (const analysis::KkadMarker* m = first; m != end; m++)
        if (m->tag == tag && m->valid && m->sequence < chunks && seen[m->sequence] == 1 && box_file[m->sequence])
            basics::list_append(out, JoinAnchor{box_file[m->sequence], m->marker_offset});
    std::free(seen);
    sort_anchors(out);
}

// A movie box without the metadata track: the box of sequence number k lies in the metadata in
// front of video chunk k, at one distance from that chunk in every one, which located chunks
// show where a box and its chunk lie in one run. At least two must agree: a fragment boundary
// between a box and its chunk shows another distance.
void place_boxes_by_chunks(const mp4::TrackTables* video, const analysis::MarkerList* markers, uint32_t tag,
                           const uint8_t* found, const uint64_t* found_at, AnchorList* out)
{
    uint64_t chunks = video->chunk_count;
    const uint64_t* f = video->chunk_offsets;
    std::map<uint64_t, uint32_t> seen;  // distance: how many chunks show it
    for (const analysis::KkadMarker* m = markers->items; m != markers->items + markers->count; m++) {
        uint64_t k = m->sequence;
        if (m->tag != tag || !m->valid || k >= chunks || !found[k] || m->marker_offset >= found_at[k])
            continue;
        // the metadata lies between the chunk before and this one in the camera's file
        uint64_t room = k ? f[k] - std::min(f[k], f[k - 1] + video->chunk_sizes[k - 1]) : f[0];
        if (found_at[k] - m->marker_offset < room)
            seen[found_at[k] - m->marker_offset]++;
    }
    // the distance most chunks show, at least two and more than any other does
    uint64_t best = 0;
    uint32_t most = 1, tie = 0;
    for (const auto& [distance, chunks_seen] : seen) {
        if (chunks_seen > most)
            best = distance, most = chunks_seen, tie = 0;
        else if (chunks_seen == most)
            tie = 1;
    }
    if (tie)
        best = 0;
    if (best == 0)
        return;
    std::vector<uint64_t> box_file(chunks, 0);
    for (uint64_t k = 0; k < chunks; k++)
        if (f[k] >= best && (k == 0 || f[k] - best >= f[k - 1] + video->chunk_sizes[k - 1]))
            box_file[k] = f[k] - best;
    append_unique_boxes(markers, tag, chunks, box_file.data(), out);
}

}  // namespace

// The recording's kkad boxes with their offsets in the camera's file. A box's sequence number is
// its metadata chunk's index, and every metadata chunk holds its box at the same place, which the
// first box lying where a located video chunk puts its metadata chunk tells. A sequence number two
// boxes of the recording share places neither. Without the metadata track, the located video
// chunks place them.
void place_kkad_boxes(const mp4::MovieInfo* movie, const analysis::MarkerList* markers, uint32_t tag,
                      const uint8_t* found, const uint64_t* found_at, uint64_t start, AnchorList* out)
{
    uint64_t chunks = movie->video.chunk_count;
    const mp4::TrackTables* meta = &movie->other;
    const uint64_t* f = movie->video.chunk_offsets;
    if (!movie->has_other && markers && chunks <= 0x10000)
        place_boxes_by_chunks(&movie->video, markers, tag, found, found_at, out);
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
    // with no chunk located whole, the first box of the file's first run, read from its start
    for (const analysis::KkadMarker* m = first; m != end && inside == UINT64_MAX && start != UINT64_MAX; m++) {
        if (m->tag != tag || !m->valid || m->sequence >= chunks || m->marker_offset < start)
            continue;
        uint64_t o = meta->chunk_offsets[m->sequence], d = m->marker_offset - start;
        if (d >= o && d - o < meta->chunk_sizes[m->sequence])
            inside = d - o;
        break;
    }
    if (inside == UINT64_MAX)
        return;
    std::vector<uint64_t> box_file(chunks, 0);
    for (uint64_t k = 0; k < chunks; k++)
        box_file[k] = meta->chunk_offsets[k] + inside;
    append_unique_boxes(markers, tag, chunks, box_file.data(), out);
}

}  // namespace salvage
