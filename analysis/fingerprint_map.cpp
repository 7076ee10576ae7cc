#include "analysis/fingerprint_map.h"

#include <cstdlib>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/read_at.h"
#include "mp4/box.h"

namespace analysis {

namespace {

constexpr uint32_t max_marker_hits = 256;
constexpr uint64_t kkad_first_read = 1024;
// Box offsets of a chunk description: the first sample size, the stride between sizes, and
// the little-endian chunk offset 77 bytes before the first size.
constexpr uint64_t first_size_at = 81;
constexpr uint64_t size_stride = 21;
constexpr uint64_t chunk_offset_at = 4;

// An expected chunk: its offset in the camera's file and its twelve sample sizes, and where the
// clip list has it. The table holds one per distinct description, in the order they were added.
struct ExpectedChunk {
    uint64_t chunk_offset;
    uint32_t sizes[camera_chunk_samples];
    uint32_t duplicate;
    uint64_t clip_list_index;
    uint64_t chunk_index;
};

// The first sample sizes of the expected chunks. Most byte positions of a box hold no such size,
// so a bit per 16-bit hash of a size turns them away before the set is probed.
constexpr uint32_t first_size_filter_bits = 1u << 16;

struct FirstSizeSet {
    uint32_t* values;
    uint8_t* used;
    uint64_t filter[first_size_filter_bits / 64];
};

uint32_t filter_bit(uint32_t size) { return (size * 0x9E3779B1u) >> 16; }

struct MarkerHit {
    uint64_t clip_list_index;
    uint64_t chunk_index;
    uint64_t position;
};

// A slot holds a fingerprint (0 for a free slot: a fingerprint is never 0) and the index of its
// chunk, so the probes walk 16-byte slots and the chunks take no more room than there are.
struct Slot {
    uint64_t fingerprint;
    uint64_t chunk;
};

struct ExpectedTable {
    Slot* slots;
    ExpectedChunk* chunks;
    FirstSizeSet first_sizes;
    uint64_t mask;
    size_t expected, unique, duplicates;
};

int chunk_matches(const ExpectedChunk* c, uint64_t offset, const uint32_t* sizes)
{
    return c->chunk_offset == offset && std::memcmp(c->sizes, sizes, camera_chunk_samples * sizeof(uint32_t)) == 0;
}

void add_first_size(ExpectedTable* t, uint32_t size)
{
    uint32_t bit = filter_bit(size);
    t->first_sizes.filter[bit / 64] |= uint64_t(1) << (bit % 64);
    for (uint64_t i = mix64(size) & t->mask;; i = (i + 1) & t->mask) {
        if (!t->first_sizes.used[i]) {
            t->first_sizes.used[i] = 1;
            t->first_sizes.values[i] = size;
            return;
        }
        if (t->first_sizes.values[i] == size)
            return;
    }
}

int has_first_size(const ExpectedTable* t, uint32_t size)
{
    uint32_t bit = filter_bit(size);
    if (!(t->first_sizes.filter[bit / 64] >> (bit % 64) & 1))
        return 0;
    for (uint64_t i = mix64(size) & t->mask;; i = (i + 1) & t->mask) {
        if (!t->first_sizes.used[i])
            return 0;
        if (t->first_sizes.values[i] == size)
            return 1;
    }
}

void add_expected(ExpectedTable* t, uint64_t clip, uint64_t chunk, uint64_t offset, const uint32_t* sizes)
{
    uint64_t fingerprint = chunk_fingerprint(offset, sizes);
    for (uint64_t i = fingerprint & t->mask;; i = (i + 1) & t->mask) {
        Slot* slot = &t->slots[i];
        if (slot->fingerprint == 0) {
            ExpectedChunk* c = &t->chunks[t->unique];
            c->chunk_offset = offset;
            std::memcpy(c->sizes, sizes, camera_chunk_samples * sizeof(uint32_t));
            c->duplicate = 0;
            c->clip_list_index = clip;
            c->chunk_index = chunk;
            slot->fingerprint = fingerprint;
            slot->chunk = t->unique++;
            break;
        }
        ExpectedChunk* c = &t->chunks[slot->chunk];
        if (slot->fingerprint == fingerprint && chunk_matches(c, offset, sizes)) {
            if (!c->duplicate) {
                c->duplicate = 1;
                t->duplicates++;
            }
            break;
        }
    }
    add_first_size(t, sizes[0]);
}

void build_table(const ClipList* clips, ExpectedTable* t)
{
    uint64_t expected = 0;
    for (size_t r = 0; r < clips->count; r++)
        expected += clips->items[r].chunk_count;
    uint64_t capacity = 16;
    while (capacity < 3 * expected + 16)
        capacity *= 2;
    t->slots = static_cast<Slot*>(basics::xcalloc(capacity, sizeof(Slot)));
    t->chunks = static_cast<ExpectedChunk*>(basics::xmalloc((expected ? expected : 1) * sizeof(ExpectedChunk)));
    t->first_sizes.values = static_cast<uint32_t*>(basics::xcalloc(capacity, sizeof(uint32_t)));
    t->first_sizes.used = static_cast<uint8_t*>(basics::xcalloc(capacity, 1));
    std::memset(t->first_sizes.filter, 0, sizeof t->first_sizes.filter);
    t->mask = capacity - 1;
    t->expected = t->unique = t->duplicates = 0;
    t->expected = expected;
    for (size_t r = 0; r < clips->count; r++) {
        const mp4::TrackTables* video = &clips->items[r].movie->video;
        for (uint64_t c = 0; c < clips->items[r].chunk_count && c < video->chunk_count; c++) {
            mp4::SampleSizes sizes;
            if (!chunk_samples(video, c, &sizes) || sizes.count != camera_chunk_samples)
                continue;
            uint32_t twelve[camera_chunk_samples];
            for (uint32_t i = 0; i < camera_chunk_samples; i++)
                twelve[i] = mp4::sample_size_at(&sizes, i);
            add_expected(t, r, c, video->chunk_offsets[c], twelve);
        }
    }
}

// Every byte position of the box is tried as the start of a chunk description.
uint32_t collect_hits(const ExpectedTable* t, const uint8_t* box, uint64_t box_size, MarkerHit* hits)
{
    uint32_t count = 0;
    uint32_t sizes[camera_chunk_samples];
    for (uint64_t k = 0; k + min_kkad_box <= box_size; k++) {
        if (!has_first_size(t, basics::load_be32(box + first_size_at + k)))
            continue;
        uint64_t offset;
        read_chunk_description(box, k, &offset, sizes);
        uint64_t fingerprint = chunk_fingerprint(offset, sizes);
        for (uint64_t i = fingerprint & t->mask; t->slots[i].fingerprint != 0; i = (i + 1) & t->mask) {
            if (t->slots[i].fingerprint != fingerprint)
                continue;
            const ExpectedChunk* c = &t->chunks[t->slots[i].chunk];
            if (!chunk_matches(c, offset, sizes))
                continue;
            if (c->duplicate || count >= max_marker_hits)
                break;
            int seen = 0;
            for (uint32_t h = 0; h < count && !seen; h++)
                seen = hits[h].clip_list_index == c->clip_list_index && hits[h].chunk_index == c->chunk_index &&
                       hits[h].position == k;
            if (!seen)
                hits[count++] = MarkerHit{c->clip_list_index, c->chunk_index, k};
            break;
        }
    }
    return count;
}

}  // namespace

void read_chunk_description(const uint8_t* box, uint64_t k, uint64_t* chunk_offset,
                            uint32_t sizes[camera_chunk_samples])
{
    for (uint32_t j = 0; j < camera_chunk_samples; j++)
        sizes[j] = basics::load_be32(box + first_size_at + k + size_stride * j);
    *chunk_offset = basics::load_le64(box + chunk_offset_at + k);
}

int read_kkad_box(std::FILE* image, uint64_t image_size, uint64_t marker_offset, uint8_t* box, uint64_t* size)
{
    uint64_t p = marker_offset;
    if (p <= 3 || p > image_size || image_size - p < 4)
        return 0;
    // one read takes the header and, for boxes of the camera's size, the whole box
    uint64_t start = p - 4;
    uint64_t first = image_size - start < kkad_first_read ? image_size - start : kkad_first_read;
    if (!image::read_at(image, start, box, first) || !mp4::type_is(reinterpret_cast<const char*>(box + 4), mp4::box_kkad))
        return 0;
    uint64_t n = basics::load_be32(box);
    if (n < 8 || n > max_kkad_box || n > image_size - start || n < min_kkad_box)
        return 0;
    if (n > first && !image::read_at(image, start + first, box + first, n - first))
        return 0;
    *size = n;
    return 1;
}

uint64_t mix64(uint64_t x)
{
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 31;
    return x;
}

uint64_t chunk_fingerprint(uint64_t chunk_offset, const uint32_t sizes[camera_chunk_samples])
{
    uint64_t h = mix64(0x534F4E5958415643ull ^ chunk_offset);  // "SONYXAVC"
    h = mix64(h ^ camera_chunk_samples);
    for (uint64_t j = 0; j < camera_chunk_samples; j++)
        h = mix64(h ^ (uint64_t(sizes[j]) + (j + 1) * 0x9E3779B97F4A7C15ull));
    return h ? h : 1;
}

void map_fingerprints(std::FILE* image, uint64_t image_size, const MarkerList* markers, ClipList* clips)
{
    basics::out_printf("\n[4/6] Global kkad fingerprint mapping...\n");
    ExpectedTable table;
    build_table(clips, &table);
    basics::out_printf("Global fingerprints: expected=%zu unique=%zu duplicates=%zu profile=12 samples/chunk\n",
                       table.expected, table.unique, table.duplicates);

    size_t mapped = 0, ambiguous = 0;
    size_t total = markers->count;
    uint8_t* box = static_cast<uint8_t*>(basics::xmalloc(max_kkad_box));
    MarkerHit hits[max_marker_hits];
    for (size_t q = 1; q <= total; q++) {
        uint64_t p = markers->items[q - 1].marker_offset;
        uint64_t size;
        if (!read_kkad_box(image, image_size, p, box, &size))
            continue;
        uint32_t count = collect_hits(&table, box, size, hits);
        for (uint32_t t = 0; t < count; t++) {
            RecoveryClip* clip = &clips->items[hits[t].clip_list_index];
            ChunkPlacement* place = &clip->chunks[hits[t].chunk_index];
            if (!place->mapped) {
                place->mapped = 1;
                place->kkad_offset = p;
                place->kkad_size = uint32_t(size);
                place->hit_count = int32_t(count);
                clip->mapped_count++;
                mapped++;
            } else if (place->kkad_offset != p) {
                place->ambiguous = 1;
                ambiguous++;
            }
        }
        if ((q - 1) % 1000 == 0 || q == total)
            basics::out_flush_printf("\rGlobal kkad scan %zu/%zu mapped=%zu ambiguous=%zu", q, total, mapped, ambiguous);
    }
    std::free(box);
    basics::out_printf("\n");
    std::free(table.slots);
    std::free(table.chunks);
    std::free(table.first_sizes.values);
    std::free(table.first_sizes.used);
    basics::out_printf("  expected=%zu mapped=%zu ambiguous=%zu\n", table.expected, mapped, ambiguous);
}

}  // namespace analysis
