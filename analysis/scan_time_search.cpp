#include "analysis/scan_time_search.h"

#include <algorithm>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "analysis/window_reuse.h"
#include "basics/byte_order.h"
#include "basics/growable.h"

namespace analysis {

namespace {

// Where a kkad box keeps a description: the chunk's offset in its file at box offset 4 + k
// (little-endian), its twelve sample sizes from box offset 81 + k, 21 bytes apart.
constexpr uint64_t smallest_box = 316;
constexpr uint64_t largest_box = 65536;
constexpr uint64_t sizes_at = 81;
constexpr uint64_t size_stride = 21;
constexpr uint32_t described_samples = 12;

struct KeptSearch {
    uint64_t centre, back, forward;
    codec::Syntax syntax;
    uint32_t sizes[described_samples];
    int found;
    uint64_t at;
};

struct Description {
    uint32_t sizes[described_samples];
    codec::Syntax syntax;
};

struct ScanSearch {
    std::FILE* image;
    uint64_t image_size;
    const image::ScanRing* ring;
    size_t next_kkad;    // kkad hits taken so far
    size_t next_header;  // clip header hits passed so far
    uint64_t header;     // start of the last clip header before the boxes taken; valid when has_header
    int has_header;
    basics::Growable<uint64_t, 64> waiting;  // boxes taken, not yet searched
    size_t first_waiting;
    basics::Growable<KeptSearch, 1024> kept;
};

ScanSearch search_state;

// The image offset by which a box's whole window and the chunks it names have passed.
uint64_t due_at(uint64_t centre)
{
    uint64_t ahead = 0x1000000 + scan_search_chunk_limit + 0x10000;
    return centre > search_state.image_size - std::min(search_state.image_size, ahead) ? search_state.image_size
                                                                                     : centre + ahead;
}

// A description whose chunk lies whole at `header` + its file offset, checked on the ring.
int description_at(const uint8_t* box, uint64_t k, uint64_t header, Description* out)
{
    uint64_t total = 0;
    mp4::SampleSizes sizes{out->sizes, 0, described_samples};
    for (uint32_t j = 0; j < described_samples; j++) {
        out->sizes[j] = basics::load_be32(box + sizes_at + k + size_stride * j);
        if (out->sizes[j] == 0)
            return 0;
        total += out->sizes[j];
    }
    uint64_t offset = basics::load_le64(box + 4 + k);
    if (total > scan_search_chunk_limit || offset > search_state.image_size - header)
        return 0;
    uint64_t at = header + offset;
    uint8_t first[5];
    if (!image::scan_ring_copy(search_state.ring, at, first, 5))
        return 0;
    if (codec::starts_with_delimiter(first, 0))
        out->syntax = codec::Syntax::avc;
    else if (codec::starts_with_delimiter(first, 1))
        out->syntax = codec::Syntax::hevc;
    else
        return 0;
    return verify_chunk_at(search_state.image, search_state.image_size, at, &sizes,
                           out->syntax == codec::Syntax::hevc ? "hvc1" : "avc1") &&
           !image::scan_ring_missed();
}

void keep(uint64_t centre, uint64_t back, uint64_t forward, const Description* d)
{
    mp4::SampleSizes sizes{d->sizes, 0, described_samples};
    uint64_t at = 0;
    int found = find_chunk_in_window(search_state.image, search_state.image_size, centre, back, forward, &sizes,
                                     d->syntax == codec::Syntax::hevc ? "hvc1" : "avc1", &at);
    if (image::scan_ring_missed())
        return;  // the ring no longer held what the search needed
    KeptSearch s;
    s.centre = centre;
    s.back = back;
    s.forward = forward;
    s.syntax = d->syntax;
    std::memcpy(s.sizes, d->sizes, sizeof s.sizes);
    s.found = found;
    s.at = found ? at : 0;
    basics::list_append(&search_state.kept, s);
}

// Every description of the box at `centre` that lies whole behind the clip header before it.
void search_box(uint64_t centre, uint64_t header)
{
    uint8_t head[8];
    if (!image::scan_ring_copy(search_state.ring, centre - 4, head, 8) || std::memcmp(head + 4, "kkad", 4) != 0)
        return;
    uint64_t size = basics::load_be32(head);
    if (size < smallest_box || size > largest_box || size > search_state.image_size - (centre - 4))
        return;
    static uint8_t box[largest_box];
    if (!image::scan_ring_copy(search_state.ring, centre - 4, box, size))
        return;
    Description found[4];
    size_t distinct = 0, hits = 0;
    for (uint64_t k = 0; k + smallest_box <= size; k++) {
        Description d;
        image::scan_ring_lend(search_state.ring, search_state.image);
        int ok = description_at(box, k, header, &d);
        image::scan_ring_unlend();
        if (!ok)
            continue;
        hits++;
        size_t i = 0;
        while (i < distinct && (found[i].syntax != d.syntax || std::memcmp(found[i].sizes, d.sizes, sizeof d.sizes)))
            i++;
        if (i == distinct) {
            if (distinct == 4)
                return;  // not the camera's layout: searched later as found
            found[distinct++] = d;
        }
    }
    uint64_t back = 0, forward = 0;
    search_window_for(hits > 1 ? 2 : 1, &back, &forward);
    for (size_t i = 0; i < distinct; i++) {
        image::scan_ring_lend(search_state.ring, search_state.image);
        keep(centre, back, forward, &found[i]);
        image::scan_ring_unlend();
    }
}

// Searches the waiting boxes whose bytes have all passed (all of them at the end of the scan).
void search_due(int all)
{
    while (search_state.first_waiting < search_state.waiting.count) {
        uint64_t centre = search_state.waiting.items[search_state.first_waiting];
        if (!all && search_state.ring->end < due_at(centre))
            break;
        uint64_t header = search_state.waiting.items[search_state.first_waiting + 1];
        search_state.first_waiting += 2;
        if (header != UINT64_MAX)
            search_box(centre, header);
    }
    if (search_state.first_waiting == search_state.waiting.count)
        search_state.first_waiting = search_state.waiting.count = 0;
}

}  // namespace

void scan_search_begin(std::FILE* image, uint64_t image_size, const image::ScanRing* ring)
{
    scan_search_release();
    search_state.image = image;
    search_state.image_size = image_size;
    search_state.ring = ring;
    begin_window_reuse(image);
}

void scan_search_advance(const image::ScanIndex* index)
{
    if (!search_state.ring)
        return;
    const image::OffsetList* kkad = &index->kkad_hits;
    const image::OffsetList* headers = &index->xavc_hits;
    for (; search_state.next_kkad < kkad->count; search_state.next_kkad++) {
        uint64_t centre = kkad->items[search_state.next_kkad];
        for (; search_state.next_header < headers->count && headers->items[search_state.next_header] < centre;
             search_state.next_header++) {
            uint64_t hit = headers->items[search_state.next_header];
            search_state.has_header = hit >= 4;
            search_state.header = hit - 4;
        }
        if (centre < 4)
            continue;
        // pairs: the box, then the header it is searched behind
        basics::list_append(&search_state.waiting, centre);
        basics::list_append(&search_state.waiting, search_state.has_header ? search_state.header : UINT64_MAX);
    }
    search_due(0);
}

void scan_search_end(const image::ScanIndex* index)
{
    if (!search_state.ring)
        return;
    scan_search_advance(index);
    search_due(1);
    basics::list_free(&search_state.waiting);
    search_state.first_waiting = 0;
    search_state.ring = nullptr;
    end_window_reuse();
}

int scan_search_result(uint64_t centre, uint64_t back, uint64_t forward, const mp4::SampleSizes* sizes,
                       codec::Syntax syntax, int* found, uint64_t* at)
{
    if (sizes->count != described_samples)
        return 0;
    const KeptSearch* first = search_state.kept.items;
    const KeptSearch* last = first + search_state.kept.count;
    const KeptSearch* s =
        std::lower_bound(first, last, centre, [](const KeptSearch& k, uint64_t c) { return k.centre < c; });
    for (; s < last && s->centre == centre; s++) {
        if (s->back != back || s->forward != forward || s->syntax != syntax)
            continue;
        uint32_t j = 0;
        while (j < described_samples && s->sizes[j] == mp4::sample_size_at(sizes, j))
            j++;
        if (j < described_samples)
            continue;
        *found = s->found;
        *at = s->at;
        return 1;
    }
    return 0;
}

void scan_search_release()
{
    basics::list_free(&search_state.waiting);
    basics::list_free(&search_state.kept);
    search_state = ScanSearch{};
}

}  // namespace analysis
