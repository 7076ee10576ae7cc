#include "analysis/scan_time_search.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "analysis/window_reuse.h"
#include "basics/byte_order.h"
#include "basics/growable.h"
#include "mp4/movie_box.h"

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

struct KeptCheck {
    uint64_t offset;
    codec::Syntax syntax;
    uint32_t sizes[described_samples];
    int passed;
};

struct Description {
    uint32_t sizes[described_samples];
    codec::Syntax syntax;
    uint64_t at;  // where its chunk lies whole
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
    size_t next_moov;    // movie box hits taken so far
    basics::Growable<KeptCheck, 64> checks;  // sorted by offset
    uint64_t reached;        // centre of the last box searched
    uint64_t whole_header;   // the clip header of the last box with a description lying whole
    uint64_t whole_centre;   // and that box
};

ScanSearch search_state;

// The image offset by which a box's whole window and the chunks it names have passed.
uint64_t due_at(uint64_t centre)
{
    uint64_t ahead = 0x1000000 + scan_search_chunk_limit + 0x10000;
    return centre > search_state.image_size - std::min(search_state.image_size, ahead) ? search_state.image_size
                                                                                     : centre + ahead;
}

// The description at box position k, read as one whose chunk lies whole at `header` + its file
// offset: its sizes, that position and the syntax of the delimiter found there.
int description_at(const uint8_t* box, uint64_t k, uint64_t header, Description* out)
{
    uint64_t total = 0;
    for (uint32_t j = 0; j < described_samples; j++) {
        out->sizes[j] = basics::load_be32(box + sizes_at + k + size_stride * j);
        if (out->sizes[j] == 0)
            return 0;
        total += out->sizes[j];
    }
    uint64_t offset = basics::load_le64(box + 4 + k);
    if (total > scan_search_chunk_limit || offset > search_state.image_size - header)
        return 0;
    out->at = header + offset;
    uint8_t first[5];
    if (!image::scan_ring_copy(search_state.ring, out->at, first, 5))
        return 0;
    if (codec::starts_with_delimiter(first, 0))
        out->syntax = codec::Syntax::avc;
    else if (codec::starts_with_delimiter(first, 1))
        out->syntax = codec::Syntax::hevc;
    else
        return 0;
    return 1;
}

const char* format_of(codec::Syntax syntax) { return syntax == codec::Syntax::hevc ? "hvc1" : "avc1"; }

// The description's chunk verifies where it would lie whole, on the bytes of the ring.
int lies_whole(const Description* d)
{
    mp4::SampleSizes sizes{d->sizes, 0, described_samples};
    image::scan_ring_lend(search_state.ring, search_state.image);
    int ok = verify_chunk_at(search_state.image, search_state.image_size, d->at, &sizes, format_of(d->syntax)) &&
             !image::scan_ring_missed();
    image::scan_ring_unlend();
    return ok;
}

int same_search(const Description* a, const Description* b)
{
    return a->syntax == b->syntax && std::memcmp(a->sizes, b->sizes, sizeof a->sizes) == 0;
}

void keep(uint64_t centre, uint64_t back, uint64_t forward, const Description* d)
{
    mp4::SampleSizes sizes{d->sizes, 0, described_samples};
    uint64_t at = 0;
    int found = find_chunk_in_window(search_state.image, search_state.image_size, centre, back, forward, &sizes,
                                     format_of(d->syntax), &at);
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
    // a box repeats its descriptions: each is checked once
    Description found[4];
    size_t distinct = 0, hits = 0;
    for (uint64_t k = 0; k + smallest_box <= size; k++) {
        Description d;
        if (!description_at(box, k, header, &d))
            continue;
        size_t i = 0;
        while (i < distinct && !(found[i].at == d.at && same_search(&found[i], &d)))
            i++;
        if (i == distinct) {
            if (!lies_whole(&d))
                continue;
            if (distinct == 4)
                return;  // not the camera's layout: searched later as found
            found[distinct++] = d;
        }
        hits++;
    }
    if (hits > 0) {
        search_state.whole_header = header;
        search_state.whole_centre = centre;
    }
    uint64_t back = 0, forward = 0;
    search_window_for(hits > 1 ? 2 : 1, &back, &forward);
    for (size_t i = 0; i < distinct; i++) {
        size_t earlier = 0;
        while (earlier < i && !same_search(&found[earlier], &found[i]))
            earlier++;
        if (earlier < i)
            continue;
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
        search_state.reached = centre;
        if (header != UINT64_MAX)
            search_box(centre, header);
    }
    if (search_state.first_waiting == search_state.waiting.count)
        search_state.first_waiting = search_state.waiting.count = 0;
}

int same_sizes(const uint32_t* kept, const mp4::SampleSizes* sizes)
{
    uint32_t j = 0;
    while (j < described_samples && kept[j] == mp4::sample_size_at(sizes, j))
        j++;
    return j == described_samples;
}

// The clip header before image offset `at`, as the kkad boxes are searched behind it.
int header_before(const image::OffsetList* headers, uint64_t at, uint64_t* header)
{
    const uint64_t* begin = headers->items;
    const uint64_t* hit = std::lower_bound(begin, begin + headers->count, at);
    if (hit == begin || *(hit - 1) < 4)
        return 0;
    *header = *(hit - 1) - 4;
    return 1;
}

void keep_check(const mp4::TrackTables* video, uint64_t header)
{
    mp4::SampleSizes sizes;
    if (video->chunk_count == 0 || !chunk_samples(video, video->chunk_count - 1, &sizes) ||
        sizes.count != described_samples)
        return;
    uint64_t offset = video->chunk_offsets[video->chunk_count - 1];
    if (offset > search_state.image_size - header)
        return;
    KeptCheck c;
    c.offset = header + offset;
    c.syntax = codec::syntax_of(video->format);
    for (uint32_t j = 0; j < described_samples; j++)
        c.sizes[j] = mp4::sample_size_at(&sizes, j);
    image::scan_ring_lend(search_state.ring, search_state.image);
    c.passed = verify_chunk_at(search_state.image, search_state.image_size, c.offset, &sizes, video->format);
    int missed = image::scan_ring_missed();
    image::scan_ring_unlend();
    if (missed)
        return;
    basics::list_append(&search_state.checks, c);
    KeptCheck* first = search_state.checks.items;
    for (KeptCheck* k = first + search_state.checks.count - 1; k > first && (k - 1)->offset > k->offset; k--)
        std::swap(*k, *(k - 1));
}

// Movie boxes whose bytes have all passed: the last chunk of their recording is checked.
void check_movies(const image::ScanIndex* index, int all)
{
    const image::OffsetList* moov = &index->moov_hits;
    for (; search_state.next_moov < moov->count; search_state.next_moov++) {
        uint64_t hit = moov->items[search_state.next_moov];
        uint8_t head[16];
        if (hit < 4)
            continue;
        if (!image::scan_ring_copy(search_state.ring, hit - 4, head, 16)) {
            if (!all && hit + 12 > search_state.ring->end)
                return;  // its header has not passed yet
            continue;
        }
        uint64_t size = basics::load_be32(head);
        if (size == 1)
            size = basics::load_be64(head + 8);
        if (size < 8 || size > search_state.ring->capacity / 2)
            continue;
        if (!all && hit - 4 + size > search_state.ring->end && hit - 4 + size <= search_state.image_size)
            return;  // wait for the rest of it
        uint64_t header = 0;
        if (!header_before(&index->xavc_hits, hit, &header))
            continue;
        mp4::MovieInfo movie;
        std::memset(&movie, 0, sizeof movie);
        image::scan_ring_lend(search_state.ring, search_state.image);
        int parsed = mp4::parse_movie(search_state.image, search_state.image_size, hit, &movie);
        int missed = image::scan_ring_missed();
        image::scan_ring_unlend();
        if (parsed && !missed && movie.has_video)
            keep_check(&movie.video, header);
        if (parsed)
            mp4::free_movie_info(&movie);
    }
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
    check_movies(index, 0);
}

void scan_search_end(const image::ScanIndex* index)
{
    if (!search_state.ring)
        return;
    scan_search_advance(index);
    search_due(1);
    check_movies(index, 1);
    basics::list_free(&search_state.waiting);
    search_state.first_waiting = 0;
    search_state.ring = nullptr;
    end_window_reuse();
    // tens of MiB that held windows across the ring's wrap: given back while a decoder may be at
    // work beside the rest of the run; a later search takes a buffer again
    std::free(window_read_buffer.data);
    window_read_buffer = {nullptr, 0};
}

int scan_verify_result(uint64_t offset, const mp4::SampleSizes* sizes, codec::Syntax syntax, int* passed)
{
    if (sizes->count != described_samples)
        return 0;
    const KeptCheck* first = search_state.checks.items;
    const KeptCheck* last = first + search_state.checks.count;
    const KeptCheck* c =
        std::lower_bound(first, last, offset, [](const KeptCheck& k, uint64_t o) { return k.offset < o; });
    for (; c < last && c->offset == offset; c++) {
        if (c->syntax == syntax && same_sizes(c->sizes, sizes)) {
            *passed = c->passed;
            return 1;
        }
    }
    return 0;
}

uint64_t scan_search_reached() { return search_state.reached; }

uint64_t scan_search_whole_until(uint64_t header)
{
    return search_state.whole_centre && search_state.whole_header == header ? search_state.whole_centre : 0;
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
        if (!same_sizes(s->sizes, sizes))
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
    basics::list_free(&search_state.checks);
    search_state = ScanSearch{};
}

}  // namespace analysis
