#include "analysis/salvage_chunks.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "analysis/fingerprint_map.h"
#include "analysis/sample_walk.h"
#include "analysis/window_reuse.h"
#include "basics/checked_alloc.h"
#include "image/read_at.h"

namespace analysis {

namespace {

constexpr uint64_t description_window = 0x1000000;  // 16 MiB either side of the kkad box
constexpr uint32_t min_sample_bytes = 8;              // a delimiter and the smallest slice
constexpr uint32_t max_sample_bytes = 0x10000000;
constexpr uint64_t scan_block = 1048576;

struct Recording {
    std::FILE* image;
    uint64_t image_size;
    const ClipHeader* header;
    uint64_t payload;   // image offset of the media data's first byte
    uint64_t file_end;  // the media data's end as an offset in the camera's file
    int hevc;           // -1 while unknown
};

const char* format_of(int hevc) { return hevc ? "hvc1" : "avc1"; }

uint64_t chunk_bytes(const SalvageChunk* c)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < c->samples; i++)
        total += c->sizes[i];
    return total;
}

uint64_t chunk_end(const SalvageChunk* c) { return c->image_offset + chunk_bytes(c); }

// A description found in a kkad box, with where the chunk lies once located.
struct Described {
    uint64_t file_offset;
    uint32_t sizes[camera_chunk_samples];
    uint64_t image_offset;
    uint64_t marker_offset;
    int located;
};
using DescribedList = basics::Growable<Described, 64>;

int plausible_description(const Recording* r, uint64_t offset, const uint32_t* sizes)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < camera_chunk_samples; i++) {
        if (sizes[i] < min_sample_bytes || sizes[i] > max_sample_bytes)
            return 0;
        total += sizes[i];
    }
    uint64_t header_length = r->payload - r->header->header_offset;
    return offset >= header_length && offset < r->file_end && total <= r->file_end - offset;
}

int same_description(const Described* d, uint64_t offset, const uint32_t* sizes)
{
    return d->file_offset == offset && std::memcmp(d->sizes, sizes, sizeof d->sizes) == 0;
}

void collect_descriptions(const Recording* r, const KkadMarker* markers, uint64_t count, DescribedList* out)
{
    uint8_t* box = static_cast<uint8_t*>(basics::xmalloc(max_kkad_box));
    for (uint64_t m = 0; m < count; m++) {
        uint64_t size;
        if (!read_kkad_box(r->image, r->image_size, markers[m].marker_offset, box, &size))
            continue;
        for (uint64_t k = 0; k + min_kkad_box <= size; k++) {
            Described d = {};
            read_chunk_description(box, k, &d.file_offset, d.sizes);
            if (!plausible_description(r, d.file_offset, d.sizes))
                continue;
            int seen = 0;
            for (size_t i = 0; i < out->count && !seen; i++)
                seen = same_description(&out->items[i], d.file_offset, d.sizes);
            if (seen)
                continue;
            d.marker_offset = markers[m].marker_offset;
            basics::list_append(out, d);
        }
    }
    std::free(box);
}

mp4::SampleSizes twelve(const uint32_t* sizes) { return mp4::SampleSizes{sizes, 0, camera_chunk_samples}; }

// A recording written in one piece has each chunk at the clip header plus its file offset;
// otherwise the chunk is looked for around the box that describes it.
void locate_described(Recording* r, DescribedList* list)
{
    for (int pass = 0; pass < 2; pass++) {
        for (size_t i = 0; i < list->count; i++) {
            Described* d = &list->items[i];
            if (d->located)
                continue;
            mp4::SampleSizes sizes = twelve(d->sizes);
            uint64_t guess = r->header->header_offset + d->file_offset;
            if (pass == 0) {
                for (int hevc = 0; hevc < 2 && !d->located; hevc++) {
                    if ((r->hevc < 0 || r->hevc == hevc) &&
                        verify_chunk_at(r->image, r->image_size, guess, &sizes, format_of(hevc))) {
                        r->hevc = hevc;
                        d->image_offset = guess;
                        d->located = 1;
                    }
                }
                continue;
            }
            if (r->hevc < 0)
                return;
            uint64_t found;
            if (find_chunk_in_window(r->image, r->image_size, d->marker_offset, description_window, description_window,
                                     &sizes, format_of(r->hevc), &found)) {
                d->image_offset = found;
                d->located = 1;
            }
        }
    }
}

// The first delimiter at or after `from` and before `to`; 1 with its position.
int find_delimiter(const Recording* r, uint64_t from, uint64_t to, uint64_t* at)
{
    if (to > r->image_size)
        to = r->image_size;
    uint8_t* block = static_cast<uint8_t*>(basics::xmalloc(scan_block + 4));
    int found = 0;
    while (!found && from < to && to - from >= 5) {
        uint64_t n = to - from > scan_block + 4 ? scan_block + 4 : to - from;
        if (!image::read_at(r->image, from, block, n))
            break;
        uint64_t stop = n - 4;
        uint64_t p = next_delimiter(block, 0, stop, r->hevc);
        if (p < stop) {
            *at = from + p;
            found = 1;
        }
        from += stop;
    }
    std::free(block);
    return found;
}

// Before the format is known, the first delimiter of either kind behind the media data's start
// tells it.
void format_from_stream(Recording* r)
{
    uint64_t avc_at = 0, hevc_at = 0;
    uint64_t to = r->payload + description_window;
    r->hevc = 0;
    int avc = find_delimiter(r, r->payload, to, &avc_at);
    r->hevc = 1;
    int hevc = find_delimiter(r, r->payload, to, &hevc_at);
    r->hevc = hevc && (!avc || hevc_at < avc_at) ? 1 : 0;
}

struct Walked {
    SalvageChunk chunk;
    uint32_t stop;
    int ok;
};

// The chunk that starts at `at`, its units followed no further than `limit`.
Walked walk_chunk(const Recording* r, uint64_t at, uint64_t limit)
{
    Walked w = {};
    SampleWalk walk;
    if (!walk_samples(r->image, r->image_size, at, limit, format_of(r->hevc), camera_chunk_samples, w.chunk.sizes,
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
int chunk_ending_at(const Recording* r, uint64_t from, uint64_t end, SalvageChunk* out)
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

// Bytes from the end of one located chunk to the start of the next, where the camera wrote them
// one after another: the most frequent such distance (chunks with others missing between them
// give larger ones).
uint64_t between_of(const Described* const* located, size_t n)
{
    uint64_t best = 0;
    size_t best_count = 0;
    for (size_t i = 0; i + 1 < n; i++) {
        uint64_t end = located[i]->file_offset;
        for (uint32_t s : located[i]->sizes)
            end += s;
        if (located[i + 1]->file_offset < end)
            continue;
        uint64_t gap = located[i + 1]->file_offset - end;
        size_t count = 0;
        for (size_t j = 0; j + 1 < n; j++) {
            uint64_t e = located[j]->file_offset;
            for (uint32_t s : located[j]->sizes)
                e += s;
            count += located[j + 1]->file_offset >= e && located[j + 1]->file_offset - e == gap;
        }
        if (count > best_count || (count == best_count && gap < best))
            best = gap, best_count = count;
    }
    return best;
}

// The metadata in front of the first chunk, from the first chunk's description when its bytes
// are not on the card: a description counts when the chunk it places ends exactly the
// interleave's distance before a located chunk. 0 when none does.
uint64_t first_chunk_lead(const Recording* r, const DescribedList* all, const Described* const* located, size_t n,
                          uint64_t between)
{
    uint64_t header_length = r->payload - r->header->header_offset;
    for (size_t i = 0; i < all->count && between; i++) {
        const Described* d = &all->items[i];
        if (d->file_offset - header_length >= between)
            continue;
        uint64_t end = d->file_offset;
        for (uint32_t s : d->sizes)
            end += s;
        for (size_t j = 0; j < n; j++)
            if (located[j]->file_offset == end + between)
                return d->file_offset - header_length;
    }
    return 0;
}

struct Chain {
    const Recording* r;
    uint64_t between;
    SalvageChunkList* chunks;
};

SalvageChunk* last_chunk(Chain* c) { return c->chunks->count ? &c->chunks->items[c->chunks->count - 1] : nullptr; }

// A chunk whose twelfth sample ended where the units stopped makes sense only when the camera's
// next chunk follows at the interleave's distance; without that the twelfth is left out.
void settle_open_end(Chain* c, int confirmed)
{
    SalvageChunk* last = last_chunk(c);
    if (!last || !last->open_end)
        return;
    last->open_end = 0;
    if (confirmed)
        last->end_confirmed = 1;
    else
        last->samples--;
}

// Walks chunk after chunk from `at` as long as whole chunks are there and end before `limit`;
// returns where the next one would start. A chunk cut short ends the walk (kept only when
// `keep_partial`: what stands before the end of the image).
uint64_t walk_forward(Chain* c, uint64_t at, uint64_t limit, int keep_partial, int* reached)
{
    *reached = 0;
    while (at < limit) {
        Walked w = walk_chunk(c->r, at, limit);
        if (!w.ok)
            break;  // whether the last chunk's open end holds is for the caller to settle
        settle_open_end(c, 1);
        int whole = w.chunk.samples == camera_chunk_samples;
        if (!whole && w.stop == walk_at_no_unit)
            w.chunk.samples--;  // its end is a guess
        if (!whole && !keep_partial)
            break;
        // a limit that is the next known chunk's start confirms the end; the image end does not
        int at_known_limit = w.stop == walk_at_limit && limit < c->r->image_size;
        w.chunk.end_confirmed = whole && (w.stop == walk_at_delimiter || at_known_limit);
        w.chunk.open_end = whole && !w.chunk.end_confirmed;
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

// The chunks between the end of the last chunk in the chain (or the media data's start) and a
// located chunk at `next`: forward from the one, back from the other.
void fill_gap(Chain* c, uint64_t next, int* gap)
{
    const Recording* r = c->r;
    SalvageChunk* prev = last_chunk(c);
    *gap = 0;
    if (c->between == 0 || next < r->payload + c->between) {
        *gap = prev && chunk_end(prev) != next;
        return;
    }
    uint64_t end = next - c->between;
    uint64_t from = r->payload;
    if (prev) {
        int reached;
        from = walk_forward(c, chunk_end(prev) + c->between, end, 0, &reached);
        if (reached)
            return;
        prev = last_chunk(c);
    }
    uint64_t prev_end = prev ? chunk_end(prev) : 0;
    // back from the located chunk
    SalvageChunk back[64];
    uint32_t found = 0;
    SalvageChunk one;
    uint64_t lower = prev ? chunk_end(prev) : r->payload;
    while (found < 64 && end > lower && chunk_ending_at(r, lower, end, &one)) {
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

}  // namespace

int find_recording_chunks(std::FILE* image, uint64_t image_size, const ClipHeader* header, const KkadMarker* markers,
                          uint64_t count, uint64_t between_hint, SalvageChunkList* out, RecordingLayout* layout)
{
    // only the header's length matters: the media data of a cut recording runs past the image end
    mp4::BoxHeader mdat;
    if (!mp4::read_box_header_file(image, header->mdat_offset, UINT64_MAX / 2, &mdat))
        return 0;
    Recording r = {image, image_size, header, header->mdat_offset + mdat.header_size,
                   header->mdat_end - header->header_offset, -1};
    DescribedList described = {};
    collect_descriptions(&r, markers, count, &described);
    locate_described(&r, &described);
    if (r.hevc < 0)
        format_from_stream(&r);

    const Described** located = static_cast<const Described**>(basics::xmalloc((described.count + 1) * sizeof *located));
    size_t n = 0;
    for (size_t i = 0; i < described.count; i++)
        if (described.items[i].located)
            located[n++] = &described.items[i];
    std::sort(located, located + n, [](const Described* a, const Described* b) { return a->file_offset < b->file_offset; });
    uint64_t between = between_of(located, n);
    if (between == 0)
        between = between_hint;

    Chain c = {&r, between, out};
    for (size_t i = 0; i < n; i++) {
        const SalvageChunk* prev = last_chunk(&c);
        if (located[i]->image_offset < (prev ? chunk_end(prev) : r.payload))
            continue;  // a chunk located twice
        int gap;
        fill_gap(&c, located[i]->image_offset, &gap);
        prev = last_chunk(&c);
        settle_open_end(&c, prev && chunk_end(prev) + between == located[i]->image_offset);
        SalvageChunk chunk = {};
        chunk.image_offset = located[i]->image_offset;
        std::memcpy(chunk.sizes, located[i]->sizes, sizeof chunk.sizes);
        chunk.samples = camera_chunk_samples;
        chunk.described = 1;
        chunk.end_confirmed = 1;
        chunk.gap_before = gap;
        basics::list_append(out, chunk);
    }
    uint64_t described_lead = first_chunk_lead(&r, &described, located, n, between);
    std::free(located);
    basics::list_free(&described);
    if (out->count == 0)
        return 0;
    int reached;
    if (between)
        walk_forward(&c, chunk_end(last_chunk(&c)) + between, image_size, 1, &reached);

    RecordingLayout l = {r.hevc, r.payload, between, 0, 0};
    if (between && out->items[0].image_offset - r.payload < between)
        l.lead = out->items[0].image_offset - r.payload;
    else
        l.lead = described_lead;
    // the last chunk's sound ends where the media data does
    SalvageChunk* last = last_chunk(&c);
    settle_open_end(&c, l.lead && chunk_end(last) + (between - l.lead) == header->mdat_end);
    if (last->samples == 0)
        out->count--;
    uint64_t bytes = 0;
    for (size_t i = 0; i < out->count; i++)
        bytes += chunk_bytes(&out->items[i]);
    uint64_t average = out->count ? bytes / out->count : 0;
    for (size_t i = 0; i < out->count; i++) {
        if (!out->items[i].gap_before || average + between == 0)
            continue;
        // before the first chunk found, the missing ones follow the first metadata
        uint64_t span = i ? out->items[i].image_offset - chunk_end(&out->items[i - 1])
                          : out->items[i].image_offset + between - (r.payload + l.lead);
        uint64_t missing = span > between ? (span - between + (average + between) / 2) / (average + between) : 0;
        l.missing_chunks += missing ? missing : 1;
    }
    *layout = l;
    return out->count > 0;
}

}  // namespace analysis
