#include "salvage/last_sound.h"

#include <algorithm>

#include "image/read_at.h"
#include "salvage/cut_join.h"

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
                           uint64_t size, PcmFormat pcm, JoinAnchor* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0, heap = geometry ? geometry->heap_offset : 0;
    // bytes read on either side of a cluster edge
    uint64_t fb = pcm_frame_bytes(pcm), edge_window = pcm_window(pcm);
    if (!claims || cs == 0 || fb == 0 || size == 0 || hi.file < file + size || hi.image < heap ||
        (hi.image - heap) % cs != hi.file % cs)
        return 0;
    uint64_t edge = hi.file / cs * cs, cur = (hi.image - heap) / cs;
    if (edge <= file || edge >= file + size || (edge - file) / cs >= place_cuts_max)
        return 0;
    for (uint64_t e = edge; e > file; e -= cs) {
        // the sound's bytes in front of the edge from a frame's first byte on, and behind it
        uint64_t x = e - file, before = std::min(edge_window, x);
        before -= (before - x % fb) % fb;
        uint64_t after = std::min(edge_window, file + size - e), found = UINT64_MAX;
        for (uint64_t c = cur; c-- > 0 && c + last_sound_reach >= cur;) {
            if (!may_be(claims, heap + c * cs, cs, clip, tag, e / cs - 1))
                continue;
            Joint j = joint_at(image, image_size, heap + (c + 1) * cs - before, before, heap + cur * cs, after, pcm, 1);
            if (j == Joint::unknown || (j == Joint::smooth && found != UINT64_MAX))
                return 0;  // a cluster that is not shown not to be the one in front
            if (j == Joint::smooth)
                found = c;
        }
        if (found == UINT64_MAX)
            return 0;
        cur = found;
    }
    // in front of the sound's first byte lies the video chunk's tail: samples that run on smoothly
    // into the sound there say the cluster holds sound from further back
    uint64_t start = heap + cur * cs + file % cs, in = file % cs, before = std::min(edge_window, in);
    before -= before % fb;
    if (before >= fb && joint_at(image, image_size, start - before, before, start, std::min(edge_window, size), pcm,
                                 1) == Joint::smooth)
        return 0;
    *out = JoinAnchor{file, start};
    return 1;
}

}  // namespace salvage
