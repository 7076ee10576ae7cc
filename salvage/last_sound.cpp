#include "salvage/last_sound.h"

#include <algorithm>

#include "image/read_at.h"
#include "salvage/layout_join.h"

namespace salvage {

namespace {

// 1 when the cluster at `b` may be the file's cluster `want`: no other recording's located piece
// (nor a copy of one) holds it, and a located piece of its own there, its file offset known, is
// that cluster's.
int may_be(const ClaimList* claims, uint64_t b, uint64_t cs, uint32_t clip, uint32_t tag, uint64_t want)
{
    uint64_t at;
    if (first_foreign(claims, b, b + cs, clip, tag, &at, claim_copy))
        return 0;
    const ClaimedSpan* first = claims->spans.items;
    const ClaimedSpan* stop = first + claims->spans.count;
    uint64_t from = b > claims->longest ? b - claims->longest : 0;
    for (const ClaimedSpan* c =
             std::lower_bound(first, stop, from, [](const ClaimedSpan& x, uint64_t v) { return x.begin < v; });
         c != stop && c->begin < b + cs; c++)
        if (c->end > b && !c->tentative && !c->inferred && c->file != UINT64_MAX &&
            (c->file + (std::max(c->begin, b) - c->begin)) / cs != want)
            return 0;
    return 1;
}

// How `after` bytes at `right` run on from the `before` bytes at `left`. The sound in hand is on
// the left, or with `known_right` on the right: silence there runs on into any silence.
Joint joint_at(std::FILE* image, uint64_t image_size, uint64_t left, uint64_t before, uint64_t right,
               uint64_t after, PcmFormat pcm, int known_right = 0)
{
    uint8_t buf[2 * pcm_window_max];
    if (right > image_size || image_size - right < after || left > image_size || image_size - left < before ||
        !image::read_at(image, left, buf, before) || !image::read_at(image, right, buf + before, after))
        return Joint::unknown;
    if (known_right ? silent(buf + before, after, pcm) : silent(buf, before, pcm))
        return Joint::unknown;
    return judge_joint(buf, before + after, before, pcm);
}


// The sound [file, file + size) of a recording looked for backwards through the image; a file
// that goes on at the heap's start has its clusters in front of those at the heap's end.
struct SoundWalk {
    std::FILE* image;
    uint64_t image_size, heap, cs;
    const ClaimList* claims;
    uint32_t clip, tag;
    uint64_t file, size;
    PcmFormat pcm;
    uint64_t clusters;  // in the heap
};

// The heap's cluster `back` clusters in front of cluster `c`, round the heap's end.
uint64_t cluster_in_front(const SoundWalk* w, uint64_t c, uint64_t back)
{
    return (c + w->clusters - back % w->clusters) % w->clusters;
}

// From the sound's cluster edge `edge` back to its first byte, `cur` the image cluster behind the
// edge: at each edge the one cluster in front that may be the file's and whose samples run on
// smoothly into the cluster in hand, when every other such cluster makes a clear step there. 1 with
// `cur` the cluster of the sound's first byte; 0 when an edge has no such cluster, -1 when one is
// not shown not to be the one in front. `at` gets the cluster of each of the sound's clusters of
// the file in front of the edge (counted from its first).
int walk_back(const SoundWalk* w, uint64_t edge, uint64_t* cur, uint64_t* at)
{
    uint64_t cs = w->cs, heap = w->heap, fb = pcm_frame_bytes(w->pcm), edge_window = pcm_window(w->pcm);
    for (uint64_t e = edge; e > w->file; e -= cs) {
        // the sound's bytes in front of the edge from a frame's first byte on, and behind it
        uint64_t x = e - w->file, before = std::min(edge_window, x);
        before -= (before - x % fb) % fb;
        uint64_t after = std::min(edge_window, w->file + w->size - e), found = UINT64_MAX;
        for (uint64_t back = 1; back <= last_sound_reach && back < w->clusters; back++) {
            uint64_t c = cluster_in_front(w, *cur, back);
            if (!may_be(w->claims, heap + c * cs, cs, w->clip, w->tag, e / cs - 1))
                continue;
            Joint j = joint_at(w->image, w->image_size, heap + (c + 1) * cs - before, before, heap + *cur * cs, after,
                               w->pcm, 1);
            if (j == Joint::unknown || (j == Joint::smooth && found != UINT64_MAX))
                return -1;
            if (j == Joint::smooth)
                found = c;
        }
        if (found == UINT64_MAX)
            return 0;
        *cur = found;
        at[e / cs - 1 - w->file / cs] = found;
    }
    return 1;
}

// The cluster in front of `piece` (the cluster of the next located piece) that holds the sound's
// last bytes, where a cluster edge lies between the two: a cluster that may be the file's, whose
// samples stop at the sound's end (what follows it there makes a step), and from which the walk
// back proves every edge of the sound. 1 with `at` the cluster of each of the sound's clusters of
// the file (counted from its first), only when exactly one cluster within reach is such.
int end_cluster(const SoundWalk* w, uint64_t piece, uint64_t* at)
{
    uint64_t cs = w->cs, heap = w->heap, fb = pcm_frame_bytes(w->pcm), edge_window = pcm_window(w->pcm);
    uint64_t end = w->file + w->size, in = end % cs, last = (end - 1) / cs;
    uint64_t before = std::min(edge_window, in), after = std::min(edge_window, cs - in);
    before -= before % fb;
    if (in == 0 || before < fb || after < fb || last * cs <= w->file || (last * cs - w->file) / cs >= place_cuts_max)
        return 0;
    uint64_t ways = 0, first = w->file / cs, walked_at[place_cuts_max + 1];
    for (uint64_t back = 1; back <= last_sound_reach && back < w->clusters; back++) {
        uint64_t c = cluster_in_front(w, piece, back), end_at = heap + c * cs + in, cur = c;
        if (!may_be(w->claims, heap + c * cs, cs, w->clip, w->tag, last) ||
            joint_at(w->image, w->image_size, end_at - before, before, end_at, after, w->pcm) != Joint::step)
            continue;
        // a cluster whose own first bytes no cluster in front is shown to lead to holds no sound
        // of the file's there; an edge further back that is not shown leaves the sound open
        int walked = walk_back(w, last * cs, &cur, walked_at);
        if ((walked < 0 && cur != c) || (walked > 0 && ++ways > 1))
            return 0;
        if (walked > 0) {
            std::copy(walked_at, walked_at + (last - first), at);
            at[last - first] = c;
        }
    }
    return ways == 1;
}

}  // namespace

int last_sound_by_waveform(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                           const ClaimList* claims, uint32_t clip, uint32_t tag, JoinAnchor lo, uint64_t file,
                           uint64_t size, PcmFormat pcm, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = geometry ? geometry->heap_offset : 0;
    // bytes read on either side of a cluster edge
    uint64_t fb = pcm_frame_bytes(pcm), edge_window = pcm_window(pcm);
    if (!claims || cs == 0 || fb == 0 || size == 0 || file <= lo.file || file / cs != lo.file / cs ||
        lo.image < heap || (lo.image - heap) % cs != lo.file % cs || image_size <= heap)
        return 0;
    uint64_t first = file / cs, last = (file + size - 1) / cs, clusters = (image_size - heap) / cs;
    if (first == last || last - first >= place_cuts_max)
        return 0;
    uint64_t cur = (lo.image - heap) / cs;
    ChunkPlace p{lo.image + (file - lo.file), 0, 0};
    for (uint64_t k = first + 1; k <= last; k++) {
        // the sound's bytes in front of the edge from a frame's first byte on, and behind it
        uint64_t x = k * cs - file, before = std::min(edge_window, x);
        before -= (before - x % fb) % fb;
        uint64_t after = std::min(edge_window, file + size - k * cs), left = heap + (cur + 1) * cs - before;
        uint64_t found = UINT64_MAX;
        for (uint64_t c = cur + 1; c < clusters && c <= cur + last_sound_reach; c++) {
            if (!may_be(claims, heap + c * cs, cs, clip, tag, k))
                continue;
            Joint j = joint_at(image, image_size, left, before, heap + c * cs, after, pcm);
            if (j == Joint::unknown || (j == Joint::smooth && found != UINT64_MAX))
                return 0;  // a cluster that is not shown not to be the next one
            if (j == Joint::smooth)
                found = c;
        }
        if (found == UINT64_MAX || (found != cur + 1 && !add_run(&p, x, heap + found * cs)))
            return 0;
        cur = found;
    }
    // behind the sound's end lies no more of it: samples that run on there are another's
    uint64_t in = (file + size) % cs, before = std::min(edge_window, in), after = std::min(edge_window, cs - in);
    before -= before % fb;
    uint64_t end = place_offset(&p, size);
    if (before >= fb && after >= fb &&
        joint_at(image, image_size, end - before, before, end, after, pcm) == Joint::smooth)
        return 0;
    *out = p;
    return 1;
}

int sound_head_by_waveform(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                           const ClaimList* claims, uint32_t clip, uint32_t tag, JoinAnchor hi, uint64_t file,
                           uint64_t size, PcmFormat pcm, JoinAnchor* out, ChunkPlace* sound)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = geometry ? geometry->heap_offset : 0;
    if (!claims || cs == 0 || pcm_frame_bytes(pcm) == 0 || size == 0 || hi.file < file + size || hi.image < heap ||
        (hi.image - heap) % cs != hi.file % cs)
        return 0;
    if (image_size <= heap || (hi.image - heap) / cs >= (image_size - heap) / cs)
        return 0;
    SoundWalk w{image, image_size, heap, cs, claims, clip, tag, file, size, pcm, (image_size - heap) / cs};
    uint64_t edge = hi.file / cs * cs, cur = (hi.image - heap) / cs, first = file / cs, last = (file + size - 1) / cs;
    uint64_t at[place_cuts_max + 1];
    if (edge <= file || (edge - file) / cs >= place_cuts_max)
        return 0;
    if (edge >= file + size) {
        // what the file holds between the sound and the piece (the metadata in front of the next
        // kkad box) reaches over a cluster edge: the cluster of the sound's last bytes is looked for
        if (!end_cluster(&w, cur, at))
            return 0;
    } else {
        at[last - first] = cur;
        if (walk_back(&w, edge, &cur, at) != 1)
            return 0;
    }
    cur = at[0];
    // in front of the sound's first byte lies the video chunk's tail: samples that run on smoothly
    // into the sound there say the cluster holds sound from further back
    uint64_t fb = pcm_frame_bytes(pcm), edge_window = pcm_window(pcm);
    uint64_t start = heap + cur * cs + file % cs, in = file % cs, before = std::min(edge_window, in);
    before -= before % fb;
    if (before >= fb && joint_at(image, image_size, start - before, before, start, std::min(edge_window, size), pcm,
                                 1) == Joint::smooth)
        return 0;
    *out = JoinAnchor{file, start};
    if (sound) {
        ChunkPlace p{start, 0, 0};
        for (uint64_t i = 1; i <= last - first; i++)
            if (at[i] != at[i - 1] + 1 && !add_run(&p, (first + i) * cs - file, heap + at[i] * cs))
                return 0;
        *sound = p;
    }
    return 1;
}

}  // namespace salvage
