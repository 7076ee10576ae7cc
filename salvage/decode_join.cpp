#include "salvage/decode_join.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "analysis/analysis_types.h"
#include "basics/checked_alloc.h"
#include "codec/nal_units.h"
#include "mp4/track_boxes.h"
#include "rebuild/validation_pass.h"
#include "salvage/cut_join.h"
#include "salvage/layout_join.h"

namespace salvage {

namespace {

// Bytes [file, file + size) of the camera's file lying from image offset `at`.
struct Run {
    uint64_t file, at, size;
};
using Way = std::vector<Run>;

struct Judge {
    const MoviePlanner* p;
    const CountedStretch* stretch;
    const mp4::SampleSizes* sizes;
    uint64_t f, size, cs;
    uint32_t clip, tag;
    const uint8_t* entry;
    uint32_t entry_size;
    uint64_t trials;
    Way taken;  // the runs taken so far, in file order
};

// The runs of `way` inside the chunk, with offsets in the chunk: what a decode of it reads.
Way in_chunk(const Judge* j, const Way& way)
{
    Way out;
    for (const Run& r : way) {
        uint64_t b = std::max(r.file, j->f), e = std::min(r.file + r.size, j->f + j->size);
        if (b < e)
            out.push_back(Run{b - j->f, r.at + (b - r.file), e - b});
    }
    return out;
}

int same_runs(const Way& a, const Way& b)
{
    if (a.size() != b.size())
        return 0;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].file != b[i].file || a[i].at != b[i].at || a[i].size != b[i].size)
            return 0;
    return 1;
}

// The place of the chunk's first `bytes` bytes from runs in the chunk; 0 when they leave a hole.
int place_of(const Way& runs, uint64_t bytes, ChunkPlace* out)
{
    ChunkPlace place{};
    uint64_t next = 0;
    for (const Run& r : runs) {
        if (next >= bytes)
            break;
        if (r.file != next)
            return 0;
        if (next == 0)
            place.at = r.at;
        else if (r.at != place_offset(&place, next - 1) + 1 && !add_run(&place, next, r.at))
            return 0;
        next += r.size;
    }
    *out = place;
    return next >= bytes;
}

// The way's runs are no other recording's and the count of the clusters around allows them with
// the runs taken before.
int allowed(const Judge* j, const Way& way)
{
    std::vector<ClaimedSpan> spans;
    for (const Run& r : j->taken)
        spans.push_back(ClaimedSpan{r.at, r.at + r.size, j->clip, j->tag, 0, r.file});
    for (const Run& r : way) {
        uint64_t other = 0;
        if (r.at + r.size > j->p->image_size || first_foreign(j->p->claims, r.at, r.at + r.size, j->clip, j->tag, &other))
            return 0;
        spans.push_back(ClaimedSpan{r.at, r.at + r.size, j->clip, j->tag, 0, r.file});
    }
    return count_fits_with(j->stretch, spans.data(), spans.size()) == 1;
}

// The first `n` samples of the chunk, its runs taken and `way`'s, decode cleanly.
int decodes(Judge* j, const Way& way, uint64_t n)
{
    Way runs = in_chunk(j, j->taken), more = in_chunk(j, way);
    runs.insert(runs.end(), more.begin(), more.end());
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < n; i++)
        bytes += mp4::sample_size_at(j->sizes, i);
    ChunkPlace place;
    if (bytes == 0 || !place_of(runs, bytes, &place))
        return 0;
    auto* buf = static_cast<uint8_t*>(basics::xmalloc(bytes));
    mp4::SampleSizes prefix = *j->sizes;
    prefix.count = n;
    j->trials++;
    int clean = read_placed(j->p->image, &place, 0, buf, bytes) &&
                rebuild::samples_decode_cleanly(j->entry, j->entry_size, buf, &prefix, 1);
    std::free(buf);
    return clean;
}

// The ways of placing bytes [from, to) of the camera's file between image offsets `at` (of `from`)
// and `end` (of `to`) in at most three runs, the clusters between them another file's.
void ways_between(const Judge* j, uint64_t from, uint64_t to, uint64_t at, uint64_t end, std::vector<Way>* out)
{
    uint64_t len = to - from, dist = end - at, cs = j->cs;
    if (dist == len) {
        out->push_back(Way{Run{from, at, len}});
        return;
    }
    if (dist < len || (dist - len) % cs || (at - j->p->geometry->heap_offset) % cs != from % cs)
        return;
    uint64_t gap = (dist - len) / cs;
    std::vector<uint64_t> edges;
    for (uint64_t c = (from + cs - 1) / cs * cs; c <= to; c += cs)
        edges.push_back(c);
    if (edges.size() * edges.size() / 2 * gap > decode_ways_max)
        return;
    for (size_t a = 0; a < edges.size(); a++) {
        uint64_t c1 = edges[a], tail = end - (to - c1);
        Way one;
        if (c1 > from)
            one.push_back(Run{from, at, c1 - from});
        if (to > c1)
            one.push_back(Run{c1, tail, to - c1});
        out->push_back(one);
        for (size_t b = a + 1; decode_cuts_max > 1 && b < edges.size(); b++)
            for (uint64_t g = 1, c2 = edges[b]; g < gap; g++) {
                Way two;
                if (c1 > from)
                    two.push_back(Run{from, at, c1 - from});
                two.push_back(Run{c1, at + (c1 - from) + g * cs, c2 - c1});
                if (to > c2)
                    two.push_back(Run{c2, end - (to - c2), to - c2});
                out->push_back(two);
            }
    }
}

// Settles bytes [from, to) of the key frame between their located neighbours; 0 when no way, or
// more than one, is left.
int settle(Judge* j, uint64_t from, uint64_t to, uint64_t at, uint64_t end)
{
    std::vector<Way> ways, kept;
    ways_between(j, from, to, at, end, &ways);
    // ways that place the chunk's bytes alike are one
    for (const Way& w : ways) {
        int seen = 0;
        for (const Way& k : kept)
            seen = seen || same_runs(in_chunk(j, k), in_chunk(j, w));
        if (!seen && allowed(j, w))
            kept.push_back(w);
    }
    if (j->trials + kept.size() > decode_trials_max + 1)
        return 0;
    const Way* clean = kept.size() == 1 ? &kept[0] : nullptr;
    for (size_t i = 0; kept.size() > 1 && i < kept.size(); i++) {
        if (decodes(j, kept[i], 1)) {
            if (clean)
                return 0;  // two ways decode: the decoder does not tell which is the camera's
            clean = &kept[i];
        }
    }
    if (!clean)
        return 0;
    j->taken.insert(j->taken.end(), clean->begin(), clean->end());
    return 1;
}

// The chunk's first sample, a key frame the decoder takes alone, settled between the located
// pieces in `points`; 1 with its runs in j->taken and the image offset of the second sample's head
// in `next_head`.
int settle_key_frame(Judge* j, const AnchorList* points, uint64_t* next_head)
{
    uint64_t first = mp4::sample_size_at(j->sizes, 0);
    const JoinAnchor* lo = anchor_upto(points, j->f);
    const JoinAnchor* hi = anchor_from(points, j->f + first);
    if (!lo || !hi || hi->file != j->f + first)
        return 0;
    for (const JoinAnchor* a = lo; a < hi; a++) {
        const JoinAnchor* b = a + 1;
        if (b->file == a->file) {
            if (b->image != a->image)
                return 0;
            continue;
        }
        j->taken.push_back(Run{a->file, a->image, 1});
        if (a->image >= b->image || !settle(j, a->file + 1, b->file, a->image + 1, b->image))
            return 0;
    }
    *next_head = hi->image;
    return 1;
}

}  // namespace

int video_by_decoding(const MoviePlanner* p, uint64_t k, const mp4::SampleSizes* sizes, const OwnPieces* own,
                      const JoinWindow* window, const JoinAnchor* next, uint64_t next_count, ChunkPlace* out)
{
    uint64_t f = p->video->chunk_offsets[k], size = p->video->chunk_sizes[k];
    uint64_t cs = p->geometry ? p->geometry->cluster_bytes : 0;
    mp4::BoxHeader entry;
    if (!p->decode_check || !window->count || !p->claims || cs == 0 || sizes->count < 2 ||
        size > analysis::max_sample_bytes ||
        !mp4::find_sample_entry(p->movie->moov_bytes, p->movie->moov_size, "vide", &entry))
        return 0;
    // the located pieces' first and last bytes, the heads of samples among them
    AnchorList points{};
    for (uint64_t i = 0; i < own->points.count; i++)
        basics::list_append(&points, own->points.items[i]);
    for (uint64_t i = 0; i < own->spans.count; i++) {
        const ClaimedSpan* c = &own->spans.items[i];
        if (c->file != UINT64_MAX && c->end > c->begin) {
            basics::list_append(&points, JoinAnchor{c->file, c->begin});
            basics::list_append(&points, JoinAnchor{c->file + (c->end - c->begin) - 1, c->end - 1});
        }
    }
    sort_anchors(&points);
    Judge j{p, window->count, sizes, f, size, cs, p->clip->clip_number, p->clip->run ? p->clip->run->tag : 0,
            p->movie->moov_bytes + entry.offset, uint32_t(entry.size), 0, {}};
    uint64_t head = 0, first = mp4::sample_size_at(sizes, 0);
    int settled = settle_key_frame(&j, &points, &head);
    basics::list_free(&points);
    // the samples behind it joined as the structure proves
    mp4::SampleSizes rest{sizes->stored ? sizes->stored + 1 : nullptr, sizes->fixed, sizes->count - 1};
    ChunkPlace behind, place;
    if (!settled || !join_video_chunk(p->image, p->image_size, p->geometry, f + first, head, &rest,
                                      codec::syntax_of(p->video->format), next, next_count, 0, window, &behind))
        return 0;
    Way runs = in_chunk(&j, j.taken);
    runs.push_back(Run{first, behind.at, size - first});
    for (uint32_t c = 0; c <= behind.later && behind.cut; c++) {
        uint64_t x = c ? behind.later_cut[c - 1] : behind.cut;
        runs.back().size = first + x - runs.back().file;
        runs.push_back(Run{first + x, c ? behind.later_at[c - 1] : behind.tail, size - first - x});
    }
    // adjacent runs of the key frame merged
    Way merged;
    for (const Run& r : runs) {
        if (!merged.empty() && merged.back().file + merged.back().size == r.file &&
            merged.back().at + merged.back().size == r.at)
            merged.back().size += r.size;
        else if (merged.empty() || merged.back().file + merged.back().size == r.file)
            merged.push_back(r);
        else if (r.file + r.size > merged.back().file + merged.back().size)
            return 0;
    }
    if (!place_of(merged, size, &place))
        return 0;
    // the whole chunk walks intact and decodes where the ways taken put it
    if (!chunk_walks_at(p, k, sizes, &place, j.entry, j.entry_size))
        return 0;
    *out = place;
    return 1;
}

}  // namespace salvage
