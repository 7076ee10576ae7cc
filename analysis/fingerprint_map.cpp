#include "analysis/fingerprint_map.h"

#include <cstdlib>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/read_at.h"
#include "mp4/box.h"
#include "platform/platform.h"

namespace analysis {

namespace {

constexpr uint32_t max_marker_hits = 256;
constexpr uint64_t kkad_first_read = 1024;
// Box offsets of a chunk description: the first sample size, the stride between sizes, and
// the little-endian chunk offset 77 bytes before the first size.
constexpr uint64_t first_size_at = 81;
constexpr uint64_t size_stride = 21;
constexpr uint64_t chunk_offset_at = 4;

struct FingerprintSlot {
    uint64_t fingerprint;
    uint64_t chunk_offset;
    uint32_t sizes[256];
    uint16_t size_count;
    uint64_t clip_list_index;
    uint64_t chunk_index;
    uint32_t occupied;
    uint32_t duplicate;
};
static_assert(sizeof(FingerprintSlot) == 1072, "a slot reserves 256 sizes");

struct FirstSizeSet {
    uint32_t* values;
    uint8_t* used;
};

struct MarkerHit {
    uint64_t clip_list_index;
    uint64_t chunk_index;
    uint64_t position;
};

// The slots are large, so the probes walk a compact copy of their fingerprints (0 for a free
// slot: a fingerprint is never 0) and touch a slot only when its fingerprint matches.
struct ExpectedTable {
    FingerprintSlot* slots;
    uint64_t* keys;
    FirstSizeSet first_sizes;
    uint64_t mask;
    size_t expected, unique, duplicates;
};

int slot_matches(const FingerprintSlot* slot, uint64_t fingerprint, uint64_t offset, const uint32_t* sizes)
{
    return slot->fingerprint == fingerprint && slot->chunk_offset == offset && slot->size_count == camera_chunk_samples &&
           std::memcmp(slot->sizes, sizes, camera_chunk_samples * sizeof(uint32_t)) == 0;
}

void add_first_size(ExpectedTable* t, uint32_t size)
{
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
        FingerprintSlot* slot = &t->slots[i];
        if (t->keys[i] == 0) {
            t->keys[i] = fingerprint;
            slot->fingerprint = fingerprint;
            slot->chunk_offset = offset;
            std::memcpy(slot->sizes, sizes, camera_chunk_samples * sizeof(uint32_t));
            slot->size_count = camera_chunk_samples;
            slot->clip_list_index = clip;
            slot->chunk_index = chunk;
            slot->occupied = 1;
            t->unique++;
            break;
        }
        if (t->keys[i] == fingerprint && slot_matches(slot, fingerprint, offset, sizes)) {
            if (!slot->duplicate) {
                slot->duplicate = 1;
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
    t->slots = static_cast<FingerprintSlot*>(basics::xcalloc(capacity, sizeof(FingerprintSlot)));
    // the slots are touched at random, so a table of small pages costs one page fault per slot
    platform::advise_large_buffer(t->slots, capacity * sizeof(FingerprintSlot));
    t->keys = static_cast<uint64_t*>(basics::xcalloc(capacity, sizeof(uint64_t)));
    t->first_sizes.values = static_cast<uint32_t*>(basics::xcalloc(capacity, sizeof(uint32_t)));
    t->first_sizes.used = static_cast<uint8_t*>(basics::xcalloc(capacity, 1));
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
        for (uint64_t i = fingerprint & t->mask; t->keys[i] != 0; i = (i + 1) & t->mask) {
            if (t->keys[i] != fingerprint)
                continue;
            const FingerprintSlot* slot = &t->slots[i];
            if (!slot_matches(slot, fingerprint, offset, sizes))
                continue;
            if (slot->duplicate || count >= max_marker_hits)
                break;
            int seen = 0;
            for (uint32_t h = 0; h < count && !seen; h++)
                seen = hits[h].clip_list_index == slot->clip_list_index && hits[h].chunk_index == slot->chunk_index &&
                       hits[h].position == k;
            if (!seen)
                hits[count++] = MarkerHit{slot->clip_list_index, slot->chunk_index, k};
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
    std::free(table.keys);
    std::free(table.first_sizes.values);
    std::free(table.first_sizes.used);
    basics::out_printf("  expected=%zu mapped=%zu ambiguous=%zu\n", table.expected, mapped, ambiguous);
}

}  // namespace analysis
