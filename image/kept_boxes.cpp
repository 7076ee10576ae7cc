#include "image/kept_boxes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"
#include "basics/growable.h"
#include "image/card_reader.h"

namespace image {

namespace {

// Boxes are kept in blocks of this size, each box in one block, so the memory grows in steps
// and never moves.
constexpr uint64_t block_bytes = 1ull << 20;

struct KeptBox {
    uint64_t offset;  // the box's first byte: its size field
    uint64_t length;
    const uint8_t* bytes;
};

struct Keeper {
    std::FILE* image;
    uint64_t image_size;
    const ScanRing* ring;
    size_t next_hit;
    basics::Growable<KeptBox, 256> boxes;
    basics::Growable<uint8_t*, 8> blocks;
    uint64_t block_used;
    uint64_t kept_bytes;
};

Keeper keeper = {};

uint8_t* room_for(uint64_t n)
{
    if (keeper.blocks.count == 0 || block_bytes - keeper.block_used < n) {
        basics::list_append(&keeper.blocks, static_cast<uint8_t*>(basics::xmalloc(block_bytes)));
        keeper.block_used = 0;
    }
    uint8_t* at = keeper.blocks.items[keeper.blocks.count - 1] + keeper.block_used;
    keeper.block_used += n;
    keeper.kept_bytes += n;
    return at;
}

// Keeps the boxes whose bytes the ring now holds; with `ended`, also those it never will.
void keep_due(const ScanIndex* index, int ended)
{
    const OffsetList* hits = &index->kkad_hits;
    for (; keeper.next_hit < hits->count; keeper.next_hit++) {
        uint64_t hit = hits->items[keeper.next_hit];
        if (hit < 4 || hit - 4 >= keeper.image_size)
            continue;
        uint64_t start = hit - 4;
        uint64_t n = std::min(kept_box_bytes, keeper.image_size - start);
        if (start + n > keeper.ring->end && !ended)
            return;
        if (keeper.kept_bytes + n > kept_boxes_budget)
            continue;
        uint8_t* at = room_for(n);
        if (scan_ring_copy(keeper.ring, start, at, n)) {
            basics::list_append(&keeper.boxes, KeptBox{start, n, at});
        } else {
            // bytes the ring does not hold (a scan cut short): the room is given back
            keeper.block_used -= n;
            keeper.kept_bytes -= n;
        }
    }
}

}  // namespace

void kept_boxes_begin(std::FILE* image, uint64_t image_size, const ScanRing* ring)
{
    kept_boxes_release();
    keeper.image = image;
    keeper.image_size = image_size;
    keeper.ring = ring;
}

void kept_boxes_advance(const ScanIndex* index)
{
    if (keeper.ring)
        keep_due(index, 0);
}

void kept_boxes_end(const ScanIndex* index)
{
    if (keeper.ring)
        keep_due(index, 1);
    keeper.ring = nullptr;
}

int kept_boxes_serve(std::FILE* image, uint64_t offset, void* buf, uint64_t n)
{
    // bytes the card did not give are zero in the ring, not the box's: those reads go to the card
    if (keeper.boxes.count == 0 || image != keeper.image || card_touches_unreadable(image, offset, n))
        return 0;
    const KeptBox* first = keeper.boxes.items;
    const KeptBox* last = first + keeper.boxes.count;
    // the last box that starts at or before the offset: a box in front of it ends no later, so
    // what this one does not hold none does
    const KeptBox* b = std::upper_bound(first, last, offset, [](uint64_t o, const KeptBox& k) { return o < k.offset; });
    if (b == first)
        return 0;
    b--;
    if (offset - b->offset > b->length || n > b->length - (offset - b->offset))
        return 0;
    std::memcpy(buf, b->bytes + (offset - b->offset), static_cast<size_t>(n));
    return 1;
}

void kept_boxes_release()
{
    for (size_t i = 0; i < keeper.blocks.count; i++)
        std::free(keeper.blocks.items[i]);
    basics::list_free(&keeper.blocks);
    basics::list_free(&keeper.boxes);
    keeper = Keeper{};
}

}  // namespace image
