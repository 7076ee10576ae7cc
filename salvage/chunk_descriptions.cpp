#include "salvage/chunk_descriptions.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/nal_units.h"
#include "analysis/chunk_locate.h"
#include "analysis/fingerprint_map.h"
#include "salvage/sample_walk.h"
#include "analysis/window_reuse.h"
#include "basics/checked_alloc.h"
#include "image/read_at.h"

namespace salvage {

using namespace analysis;

namespace {

constexpr uint64_t description_window = 0x1000000;  // 16 MiB either side of the kkad box
constexpr uint32_t min_sample_bytes = 8;              // a delimiter and the smallest slice
constexpr uint64_t scan_block = 1048576;

int plausible_description(const RecordingScope* r, uint64_t offset, const uint32_t* sizes)
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

mp4::SampleSizes twelve(const uint32_t* sizes) { return mp4::SampleSizes{sizes, 0, camera_chunk_samples}; }

// Before the format is known, the first delimiter of either kind behind the media data's start
// tells it.
void format_from_stream(RecordingScope* r)
{
    uint64_t avc_at = 0, hevc_at = 0;
    uint64_t to = r->payload + description_window;
    r->hevc = 0;
    int avc = find_delimiter(r, r->payload, to, &avc_at);
    r->hevc = 1;
    int hevc = find_delimiter(r, r->payload, to, &hevc_at);
    r->hevc = hevc && (!avc || hevc_at < avc_at) ? 1 : 0;
}

}  // namespace

const char* video_format(int hevc) { return hevc ? "hvc1" : "avc1"; }

void collect_descriptions(const RecordingScope* r, const KkadMarker* markers, uint64_t count, DescribedList* out)
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
            d.marker_offset = markers[m].marker_offset;
            d.sequence = markers[m].sequence;
            d.position = k;
            basics::list_append(out, d);
        }
    }
    std::free(box);
    // the camera describes a chunk more than once: the first box that does stands for all
    std::stable_sort(out->items, out->items + out->count, [](const Described& a, const Described& b) {
        return a.file_offset != b.file_offset ? a.file_offset < b.file_offset
                                              : std::memcmp(a.sizes, b.sizes, sizeof a.sizes) < 0;
    });
    Described* end = std::unique(out->items, out->items + out->count, [](const Described& a, const Described& b) {
        return same_description(&a, b.file_offset, b.sizes);
    });
    out->count = size_t(end - out->items);
}

namespace {

// A chunk whose units all verify may still hold a zeroed range inside a unit: located only when
// every sample is clean too.
int chunk_escaped(const RecordingScope* r, uint64_t at, const uint32_t* sizes)
{
    uint64_t total = 0;
    for (uint32_t i = 0; i < camera_chunk_samples; i++)
        total += sizes[i];
    grow_read_buffer(&direct_read_buffer, total);
    if (!image::read_at(r->image, at, direct_read_buffer.data, total))
        return 0;
    for (uint64_t i = 0, pos = 0; i < camera_chunk_samples; pos += sizes[i++])
        if (!codec::units_escaped(direct_read_buffer.data + pos, sizes[i]))
            return 0;
    return 1;
}

// The camera writes its descriptions at the same places in every box; once some are located,
// the other byte positions of a box (a description read a few bytes off) are not searched for.
struct KnownPositions {
    uint64_t at[16];
    uint32_t count;
};

int worth_searching(const KnownPositions* known, uint64_t position)
{
    for (uint32_t i = 0; i < known->count; i++)
        if (known->at[i] == position)
            return 1;
    return known->count == 0;
}

void learn_position(KnownPositions* known, uint64_t position)
{
    if (known->count < 16 && !(known->count && worth_searching(known, position)))
        known->at[known->count++] = position;
}

}  // namespace

// A recording written in one piece has each chunk at the clip header plus its file offset;
// otherwise the chunk is looked for around the box that describes it.
void locate_descriptions(RecordingScope* r, DescribedList* list)
{
    KnownPositions known = {{}, 0};
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1 && r->hevc < 0)
            format_from_stream(r);
        for (size_t i = 0; i < list->count; i++) {
            Described* d = &list->items[i];
            if (d->located)
                continue;
            mp4::SampleSizes sizes = twelve(d->sizes);
            uint64_t guess = r->header->header_offset + d->file_offset;
            if (pass == 0) {
                for (int hevc = 0; hevc < 2 && !d->located; hevc++) {
                    if ((r->hevc < 0 || r->hevc == hevc) &&
                        verify_chunk_at(r->image, r->image_size, guess, &sizes, video_format(hevc)) &&
                        chunk_escaped(r, guess, d->sizes)) {
                        r->hevc = hevc;
                        d->image_offset = guess;
                        d->located = 1;
                        learn_position(&known, d->position);
                    }
                }
                continue;
            }
            uint64_t found;
            if (worth_searching(&known, d->position) &&
                find_chunk_in_window(r->image, r->image_size, d->marker_offset, description_window, description_window,
                                     &sizes, video_format(r->hevc), &found) &&
                chunk_escaped(r, found, d->sizes)) {
                d->image_offset = found;
                d->located = 1;
                learn_position(&known, d->position);
            }
        }
    }
    // with none located (every chunk cut by a fragment boundary), the byte position most
    // descriptions share, when two or more do, is where the camera writes them
    if (known.count == 0) {
        std::vector<uint64_t> positions;
        for (size_t i = 0; i < list->count; i++)
            positions.push_back(list->items[i].position);
        std::sort(positions.begin(), positions.end());
        uint64_t most = 1;
        for (size_t i = 0, j = 0; i < positions.size(); i = j) {
            while (j < positions.size() && positions[j] == positions[i])
                j++;
            if (j - i > most)
                most = j - i, known.at[0] = positions[i], known.count = 1;
        }
    }
    for (size_t i = 0; i < list->count; i++)
        list->items[i].credible = list->items[i].located || (known.count && worth_searching(&known, list->items[i].position));
}

uint64_t box_to_chunk(const RecordingScope* r, const KkadMarker* markers, uint64_t count, uint64_t first_file)
{
    uint64_t start = r->header->header_offset, cs = r->geometry ? r->geometry->cluster_bytes : 0;
    if (cs == 0 || start < r->geometry->heap_offset || first_file < r->payload - start)
        return 0;
    uint64_t cluster_end = start + cs - (start - r->geometry->heap_offset) % cs;
    for (uint64_t m = 0; m < count; m++) {
        uint64_t at = markers[m].marker_offset;
        if (markers[m].valid && markers[m].sequence == 0 && at >= r->payload && at - start < first_file &&
            start + first_file <= cluster_end)
            return first_file - (at - start);
    }
    return 0;
}

void box_distances(const RecordingScope* r, const KkadMarker* markers, uint64_t count, const Described* const* located,
                   size_t n, const Described* first, uint64_t between, uint64_t* to_box, uint64_t* to_chunk)
{
    *to_box = box_distance(located, n, between);
    *to_chunk = 0;
    if (between == 0)
        return;
    if (*to_box == 0 && first)
        *to_chunk = box_to_chunk(r, markers, count, first->file_offset);
    if (*to_box)
        *to_chunk = between - *to_box;
    else if (*to_chunk && *to_chunk < between)
        *to_box = between - *to_chunk;
    else
        *to_chunk = 0;
}

// The first delimiter at or after `from` and before `to`; 1 with its position.
int find_delimiter(const RecordingScope* r, uint64_t from, uint64_t to, uint64_t* at)
{
    if (to > r->image_size)
        to = r->image_size;
    uint8_t* block = static_cast<uint8_t*>(basics::xmalloc(scan_block + 4));
    int found = 0;
    while (!found && from < to && to - from >= 5) {
        uint64_t n = to - from > scan_block + 4 ? scan_block + 4 : to - from;
        // zeros where the card did not read hold no delimiter
        if (!image::read_known(r->image, from, block, n))
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

uint64_t described_between(const Described* const* sorted, size_t n, size_t* seen)
{
    // the most frequent distance between one chunk's end and the next chunk: chunks with others
    // missing between them give larger ones
    uint64_t* gaps = static_cast<uint64_t*>(basics::xmalloc((n + 1) * sizeof(uint64_t)));
    size_t g = 0;
    for (size_t i = 0; i + 1 < n; i++) {
        uint64_t end = sorted[i]->file_offset;
        for (uint32_t s : sorted[i]->sizes)
            end += s;
        if (sorted[i + 1]->file_offset >= end)
            gaps[g++] = sorted[i + 1]->file_offset - end;
    }
    std::sort(gaps, gaps + g);
    uint64_t best = 0;
    size_t best_count = 0;
    for (size_t i = 0; i < g;) {
        size_t j = i;
        while (j < g && gaps[j] == gaps[i])
            j++;
        if (j - i > best_count)
            best = gaps[i], best_count = j - i;
        i = j;
    }
    std::free(gaps);
    *seen = best_count;
    return best;
}

int between_follows(const Described* const* sorted, size_t n, uint64_t between)
{
    for (size_t i = 0; i + 1 < n; i++) {
        uint64_t end = sorted[i]->file_offset;
        for (uint32_t s : sorted[i]->sizes)
            end += s;
        if (sorted[i + 1]->file_offset >= end && sorted[i + 1]->file_offset - end == between &&
            sorted[i + 1]->sequence == sorted[i]->sequence + 1)
            return 1;
    }
    return 0;
}

// The metadata in front of the first chunk, from the first chunk's description when its bytes
// are not on the card: a description counts when the chunk it places ends exactly the
// interleave's distance before a located chunk. 0 when none does.
uint64_t described_lead(const RecordingScope* r, const DescribedList* all, const Described* const* located, size_t n,
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


const Described** select_descriptions(const DescribedList* all, int located_only, int damaged_only)
{
    const Described** out = static_cast<const Described**>(basics::xmalloc((all->count + 1) * sizeof *out));
    size_t n = 0;
    for (size_t i = 0; i < all->count; i++) {
        const Described* d = &all->items[i];
        if (located_only ? d->located : d->credible && !(damaged_only && d->located))
            out[n++] = d;
    }
    out[n] = nullptr;
    return out;
}

size_t count_selected(const Described* const* selected)
{
    size_t n = 0;
    while (selected[n])
        n++;
    return n;
}

uint64_t box_distance(const Described* const* located, size_t n, uint64_t between)
{
    std::vector<uint64_t> seen;
    for (size_t i = 0; i < n; i++) {
        uint64_t end = located[i]->image_offset;
        for (uint32_t v : located[i]->sizes)
            end += v;
        if (located[i]->marker_offset > end && (between == 0 || located[i]->marker_offset - end < between))
            seen.push_back(located[i]->marker_offset - end);
        // the box and the chunk behind it in the camera's file in one run show the same distance
        // from the other side: a boundary between the chunk and its box hides it there
        if (between == 0 || i + 1 == n)
            continue;
        const Described* next = located[i + 1];
        uint64_t file_end = located[i]->file_offset + (end - located[i]->image_offset);
        if (next->file_offset == file_end + between && next->image_offset > located[i]->marker_offset &&
            next->image_offset - located[i]->marker_offset < between)
            seen.push_back(between - (next->image_offset - located[i]->marker_offset));
    }
    std::sort(seen.begin(), seen.end());
    uint64_t best = 0, most = 1;
    for (size_t i = 0, j = 0; i < seen.size(); i = j) {
        while (j < seen.size() && seen[j] == seen[i])
            j++;
        if (j - i > most)
            best = seen[i], most = j - i;
    }
    return best;
}

}  // namespace salvage
