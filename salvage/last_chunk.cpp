#include "salvage/last_chunk.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "basics/byte_order.h"
#include "codec/nal_units.h"
#include "image/card_reader.h"
#include "image/read_at.h"
#include "salvage/layout_join.h"
#include "salvage/lost_count.h"
#include "salvage/sample_walk.h"
#include "salvage/sound_continuity.h"

namespace salvage {

using analysis::camera_chunk_samples;

namespace {

// The chunk's samples as its bytes are placed so far: where each starts, and where the walk
// failed when they do not all walk.
struct Walk {
    uint32_t samples;
    uint64_t starts[camera_chunk_samples + 1];
    uint64_t fail;
    int whole;  // every sample intact, the last one ending exactly at the chunk's end
};

// The end of the sample at `pos` as its units walk: at the next delimiter or the chunk's end; 0
// when a unit does not fit, with `*stop` where it stands.
uint64_t walk_units(const uint8_t* b, uint64_t size, uint64_t pos, codec::Syntax syntax, int hevc, uint64_t* stop)
{
    uint64_t header = hevc ? 6 : 5;
    *stop = pos;
    for (uint32_t units = 0; units <= codec::max_units; units++) {
        *stop = pos;
        if (size - pos < header)
            return 0;
        uint64_t length = basics::load_be32(b + pos);
        if (length > size - pos - 4 || !codec::unit_header_ok(b + pos + 4, length, syntax))
            return 0;
        pos += 4 + length;
        if (pos == size || (size - pos >= 5 && codec::starts_with_delimiter(b + pos, hevc)))
            return pos;
    }
    return 0;
}

Walk walk_placed(const uint8_t* b, uint64_t size, codec::Syntax syntax)
{
    int hevc = syntax == codec::Syntax::hevc;
    Walk w = {};
    uint64_t pos = 0;
    while (w.samples < camera_chunk_samples && pos < size) {
        uint64_t stop = pos;
        uint64_t end = size - pos >= 5 && codec::starts_with_delimiter(b + pos, hevc)
                           ? walk_units(b, size, pos, syntax, hevc, &stop)
                           : 0;
        if (end == 0 || !codec::sample_structure_ok(b + pos, end - pos, syntax) ||
            !codec::units_escaped(b + pos, end - pos)) {
            w.fail = end ? end : stop;
            return w;
        }
        w.starts[w.samples++] = pos;
        w.starts[w.samples] = pos = end;
    }
    w.whole = w.samples == camera_chunk_samples && pos == size;
    w.fail = pos;
    return w;
}

struct LastSearch {
    std::FILE* image;
    uint64_t image_size;
    uint64_t heap;
    uint64_t cs;
    uint64_t file;
    uint64_t size;
    codec::Syntax syntax;
    const JoinWindow* window;
    const SoundInFront* front;
    std::vector<uint8_t> bytes;
    ChunkPlace place;
    ChunkPlace found;
    Walk found_walk;
    int proven;
    int ambiguous;
    uint64_t reads;
};

// Bytes [from, size) of the chunk from image offset `at`; what the card does not give reads as
// zeros, which no sample walks through.
int read_run(LastSearch* s, uint64_t from, uint64_t at)
{
    if (++s->reads > join_reads_max) {
        s->ambiguous = 1;
        return 0;
    }
    uint64_t want = s->size - from, have = at < s->image_size ? s->image_size - at : 0;
    have = have < want ? have : want;
    have = have ? image::card_known_until(s->image, at, at + have) - at : 0;
    // nor does a cluster another recording's piece holds: the run ends in front of it
    uint64_t foreign;
    if (have && s->window->claims &&
        first_foreign(s->window->claims, at, at + have, s->window->clip, s->window->tag, &foreign))
        foreign -= (foreign - s->heap) % s->cs, have = foreign > at ? std::min(have, foreign - at) : 0;
    std::memset(s->bytes.data() + from + have, 0, want - have);
    return have == 0 || image::read_at(s->image, at, s->bytes.data() + from, have);
}

// 1 when a sample walked lies whole in [from, to).
int holds_sample(const Walk* w, uint64_t from, uint64_t to)
{
    for (uint32_t k = 0; k < w->samples; k++)
        if (w->starts[k] >= from && w->starts[k + 1] <= to)
            return 1;
    return 0;
}

// How the sound behind the chunk's end, where its last run (from `at`) puts it, runs on from the
// sound in front of the chunk: read up to the edge of the cluster it begins in.
Joint sound_goes_on(const LastSearch* s, uint64_t from, uint64_t at)
{
    if (!s->front)
        return Joint::unknown;
    const PcmFormat pcm = s->front->pcm;
    uint64_t fb = pcm_frame_bytes(pcm), window = pcm_window(pcm), end = at + (s->size - from);
    uint64_t in = (s->file + s->size) % s->cs, after = std::min(window, s->cs - in);
    after -= after % (fb ? fb : 1);
    uint8_t buf[2 * pcm_window_max];
    if (fb == 0 || in == 0 || s->front->end < window || end > s->image_size || s->image_size - end < after ||
        !image::read_at(s->image, s->front->end - window, buf, window) ||
        !image::read_at(s->image, end, buf + window, after) || silent(buf, window, pcm))
        return Joint::unknown;
    return judge_joint(buf, window + after, window, pcm);
}

// The chunk's bytes from `from` on lie at `at` up to the next cut: the samples are walked, and
// where they fail, each cluster edge in the failing sample or the last one before it is tried as
// the cut, the rest in each run behind it that no other recording's piece holds.
void search(LastSearch* s, uint32_t depth, uint64_t from, uint64_t at)
{
    if (s->ambiguous || !read_run(s, from, at))
        return;
    Walk w = walk_placed(s->bytes.data(), s->size, s->syntax);
    // a run found by looking holds a whole sample of the chunk, or, the last, the chunk's tail
    // with the sound that goes on from the recording's; where the run goes on over a cluster edge
    // inside the last sample, the cluster behind it is the chunk's unless that sound steps there
    uint64_t edge = (s->file + s->size - 1) / s->cs * s->cs - s->file;
    if (w.whole && depth > 0 && !holds_sample(&w, from, s->size)) {
        if (!s->front)
            return;
        Joint j = sound_goes_on(s, from, at);
        s->ambiguous |= j == Joint::unknown;
        if (j != Joint::smooth)
            return;
    } else if (w.whole && edge > from && edge > w.starts[camera_chunk_samples - 1] &&
               sound_goes_on(s, from, at) == Joint::step) {
        w.whole = 0, w.fail = edge;
    }
    if (w.whole) {
        if (s->proven && !same_place(&s->found, &s->place))
            s->ambiguous = 1;  // two ways fit: the structure does not tell which is the camera's
        s->found = s->place, s->found_walk = w, s->proven = 1;
        return;
    }
    if (depth + 1 >= place_cuts_max || w.fail < from)
        return;
    uint64_t lo = w.samples ? w.starts[w.samples - 1] : 0, hi = w.fail + 6;
    lo = lo > from ? lo : from;
    for (uint64_t x = ((s->file + lo) / s->cs + 1) * s->cs - s->file; x <= hi && x < s->size; x += s->cs) {
        if (depth > 0 && !holds_sample(&w, from, x))
            continue;
        uint64_t head_end = at + (x - from);
        // the window counts the clusters no other recording's piece holds: a run of the other
        // file written at once may lie between the cut and the run behind it
        for (uint64_t j = 1, open = 0; j <= join_reach_max && open < join_window_clusters && !s->ambiguous; j++) {
            uint64_t c = head_end + j * s->cs;
            uint64_t found_at;
            if (c >= s->image_size || first_foreign(s->window->claims, c, c + s->cs, s->window->clip, s->window->tag,
                                                    &found_at))
                continue;
            open++;
            if (place_overlaps(&s->place, depth, c, s->cs))
                continue;
            if (depth == 0) {
                s->place.cut = x, s->place.tail = c, s->place.later = 0;
            } else {
                s->place.later_cut[depth - 1] = x, s->place.later_at[depth - 1] = c;
                s->place.later = depth;
            }
            search(s, depth + 1, x, c);
            // the bytes of this run again, for the next candidate
            if (!s->ambiguous && !read_run(s, from, at))
                return;
        }
    }
}

}  // namespace

int join_last_chunk(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry, uint64_t file,
                    uint64_t head, uint64_t size, int hevc, const JoinWindow* window, uint32_t* sizes, ChunkPlace* out,
                    const SoundInFront* front)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || !window || size == 0 || size > analysis::whole_read_limit || head < geometry->heap_offset ||
        (head - geometry->heap_offset) % cs != file % cs || head >= image_size)
        return 0;
    LastSearch s{image, image_size, geometry->heap_offset, cs, file, size, hevc ? codec::Syntax::hevc : codec::Syntax::avc, window,
                 front, std::vector<uint8_t>(size), ChunkPlace{}, ChunkPlace{}, Walk{}, 0, 0, 0};
    s.place.at = head;
    search(&s, 0, 0, head);
    if (!s.proven || s.ambiguous)
        return 0;
    *out = s.found;
    out->at = head;
    for (uint32_t k = 0; k < camera_chunk_samples; k++)
        sizes[k] = uint32_t(s.found_walk.starts[k + 1] - s.found_walk.starts[k]);
    return 1;
}

namespace {

// Where the sound of the chunk in front of `c` ends, `lead` bytes in front of it in the file, in
// the run of the chunk's head: in the head's cluster, or where the chunk in front's last run lies
// as far in front of the head in the image as in the file (the file takes its clusters in the
// heap's order, so every cluster between is its own). 0 when neither shows it.
uint64_t sound_in_front_end(const RecordingScope* r, const SalvageChunkList* chunks, const SalvageChunk* c,
                            uint64_t lead)
{
    uint64_t cs = r->geometry ? r->geometry->cluster_bytes : 0, window = pcm_window(r->pcm);
    if (cs == 0 || window == 0 || !c->file_known || c->file_offset < lead + window ||
        c->image_offset < lead + window)
        return 0;
    uint64_t from = c->file_offset - lead - window, end = c->image_offset - lead;
    if (from >= c->file_offset / cs * cs)
        return end;
    for (size_t i = 0; i < chunks->count; i++) {
        const SalvageChunk* p = &chunks->items[i];
        if (p == c || !p->file_known || p->file_offset >= c->file_offset)
            continue;
        uint64_t x, at;
        ChunkPlace place = salvage_chunk_place(p);
        place_last_run(&place, &x, &at);
        if (p->file_offset + x <= from && at <= c->image_offset &&
            c->image_offset - at == c->file_offset - (p->file_offset + x))
            return end;
    }
    return 0;
}

// The last chunk `c` placed by the count of the clusters from the recording's pieces in front of it
// on to the other recording's behind: a key frame longer than the runs is cut more than once, and a
// run of nothing but its payload shows nothing of its own. Of the chunk's lengths `lengths`, the one
// whose samples walk whole to exactly its end where the count places it; 0 when none or more than one.
uint64_t count_last_chunk(const RecordingScope* r, const SalvageChunkList* chunks, const SalvageChunk* c,
                          const uint64_t* lengths, uint64_t n, const OthersPieces* others, uint32_t* sizes,
                          ChunkPlace* out)
{
    LostPieces own{r->image, r->image_size, r->geometry, others->claims, others->clip, others->tag, {}, {}};
    add_placed_chunks(&own, r->header, chunks);
    add_lost_piece(&own, c->file_offset, c->image_offset, 1);
    codec::Syntax syntax = r->hevc ? codec::Syntax::hevc : codec::Syntax::avc;
    uint64_t found = 0;
    for (uint64_t i = 0; i < n; i++) {
        ChunkPlace place;
        std::vector<uint8_t> bytes(lengths[i]);
        if (lengths[i] > analysis::whole_read_limit || !lost_place_last(&own, c->file_offset, lengths[i], &place) ||
            place.at != c->image_offset || !read_placed(r->image, &place, 0, bytes.data(), lengths[i]))
            continue;
        Walk w = walk_placed(bytes.data(), lengths[i], syntax);
        if (!w.whole)
            continue;
        if (found) {
            found = 0;  // two lengths walk whole: the structure does not tell which is the camera's
            break;
        }
        found = lengths[i], *out = place;
        for (uint32_t k = 0; k < camera_chunk_samples; k++)
            sizes[k] = uint32_t(w.starts[k + 1] - w.starts[k]);
    }
    free_lost_pieces(&own);
    return found;
}

}  // namespace

void join_cut_last_chunk(const RecordingScope* r, const SalvageChunkList* chunks, SalvageChunk* c, uint64_t sound,
                         uint64_t lead, const OthersPieces* others, uint64_t front_end)
{
    uint64_t longest = 0;
    for (size_t i = 0; i < chunks->count; i++)
        longest = std::max(longest, chunks->items[i].full_bytes);
    if (!c->file_known || c->full_bytes || !others || !others->claims || r->hevc < 0)
        return;
    uint64_t walked = 0;
    for (uint32_t i = 0; i < c->samples; i++)
        walked += c->sizes[i];
    JoinWindow window{others->claims, others->clip, others->tag};
    SoundInFront front{sound_in_front_end(r, chunks, c, lead), r->pcm};
    if (!front.end)
        front.end = front_end;
    uint32_t sizes[camera_chunk_samples], tried[camera_chunk_samples];
    ChunkPlace place{0, 0, 0}, way{0, 0, 0};
    uint64_t size = 0, lengths[3] = {}, n = 0;
    // at a 1001 rate the last chunk's sound may be a sound frame longer or shorter than the usual:
    // each length gives the chunk another end, and the chunk is joined only when one of them alone
    // has its last sample end exactly there
    const uint64_t frame = pcm_frame_bytes(r->pcm);
    for (uint64_t s : {sound, sound + frame, sound - frame}) {
        if ((s != sound && (frame == 0 || s > sound + frame)) || r->file_end < c->file_offset + s)
            continue;
        uint64_t bytes = r->file_end - s - c->file_offset;
        if (bytes > walked && bytes <= 2 * longest)
            lengths[n++] = bytes;
    }
    for (uint64_t i = 0; i < n; i++) {
        if (!join_last_chunk(r->image, r->image_size, r->geometry, c->file_offset, c->image_offset, lengths[i],
                             r->hevc, &window, tried, &way, front.end ? &front : nullptr))
            continue;
        if (size)
            return;
        size = lengths[i], place = way;
        std::memcpy(sizes, tried, sizeof sizes);
    }
    if (size == 0)
        size = count_last_chunk(r, chunks, c, lengths, n, others, sizes, &place);
    if (size == 0)
        return;
    std::memcpy(c->sizes, sizes, sizeof sizes);
    c->samples = camera_chunk_samples;
    c->full_bytes = size;
    c->end_confirmed = 1;
    c->open_end = 0;
    c->cut = place.cut, c->tail = place.tail, c->later = place.later;
    for (uint32_t i = 0; i < place.later && i < place_cuts_max - 1; i++)
        c->later_cut[i] = place.later_cut[i], c->later_at[i] = place.later_at[i];
}

void close_last_twelfth(const RecordingScope* r, SalvageChunk* c, uint64_t sound, uint64_t to_marker,
                        const analysis::KkadMarker* markers, uint64_t count)
{
    if (c->samples != analysis::camera_chunk_samples - 1 || c->full_bytes || sound == 0)
        return;
    uint64_t start = salvage_chunk_offset(c, salvage_chunk_walked(c));
    // at a 1001 rate the last chunk's sound may be a frame longer or shorter than the usual; the
    // sample must walk exactly to its end, so only the true one can close it
    const uint64_t frame = pcm_frame_bytes(r->pcm);
    for (uint64_t s : {sound, sound + frame, sound - frame}) {
        uint64_t ends[3] = {};
        if (s == 0 || s > sound + frame)
            continue;
        if (r->header->mdat_end > start + s)
            ends[0] = r->header->mdat_end - s;
        if (c->file_known && r->file_end > c->file_offset + (start - c->image_offset) + s)
            ends[1] = c->image_offset + (r->file_end - s - c->file_offset);
        const analysis::KkadMarker* m = std::upper_bound(markers, markers + count, start + to_marker,
                                               [](uint64_t o, const analysis::KkadMarker& k) { return o < k.marker_offset; });
        if (s == sound && to_marker > sound && m != markers + count)
            ends[2] = m->marker_offset - to_marker;
        for (uint64_t end : ends) {
            uint32_t size;
            SampleWalk walk;
            if (end > start && walk_samples(r->image, r->image_size, start, end, video_format(r->hevc), 1, &size, &walk) &&
                walk.stop == walk_at_limit && walk.end == end) {
                c->sizes[c->samples++] = size;
                c->full_bytes = salvage_chunk_walked(c);
                c->end_confirmed = 1;
                return;
            }
        }
        if (frame == 0)
            return;
    }
}

}  // namespace salvage
