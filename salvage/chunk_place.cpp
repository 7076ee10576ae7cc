#include "salvage/chunk_place.h"

#include "image/read_at.h"

namespace salvage {

void place_run_of(const ChunkPlace* place, uint64_t x, uint64_t* from, uint64_t* at)
{
    *from = 0, *at = place->at;
    if (!place->cut || x < place->cut)
        return;
    *from = place->cut, *at = place->tail;
    for (uint32_t i = 0; i < place->later && i < place_cuts_max - 1 && place->later_cut[i] <= x; i++)
        *from = place->later_cut[i], *at = place->later_at[i];
}

int same_place(const ChunkPlace* a, const ChunkPlace* b)
{
    if (a->cut != b->cut || a->tail != b->tail || a->later != b->later)
        return 0;
    for (uint32_t i = 0; i < a->later; i++)
        if (a->later_cut[i] != b->later_cut[i] || a->later_at[i] != b->later_at[i])
            return 0;
    return 1;
}

int place_overlaps(const ChunkPlace* place, uint32_t depth, uint64_t c, uint64_t cs)
{
    for (uint32_t d = 0; d < depth; d++) {
        uint64_t from = d == 0 ? 0 : d == 1 ? place->cut : place->later_cut[d - 2];
        uint64_t at = d == 0 ? place->at : d == 1 ? place->tail : place->later_at[d - 2];
        uint64_t end = d == 0 ? place->cut : place->later_cut[d - 1];
        if (c + cs > at && c < at + (end - from))
            return 1;
    }
    return 0;
}

void place_last_run(const ChunkPlace* place, uint64_t* from, uint64_t* at)
{
    place_run_of(place, UINT64_MAX, from, at);
}

uint64_t place_run_end(const ChunkPlace* place, uint64_t x, uint64_t end)
{
    if (place->cut && x < place->cut)
        return place->cut < end ? place->cut : end;
    for (uint32_t i = 0; place->cut && i < place->later && i < place_cuts_max - 1; i++)
        if (x < place->later_cut[i])
            return place->later_cut[i] < end ? place->later_cut[i] : end;
    return end;
}

uint64_t place_offset(const ChunkPlace* place, uint64_t x)
{
    uint64_t from, at;
    place_run_of(place, x, &from, &at);
    return at + (x - from);
}

int read_placed(std::FILE* src, const ChunkPlace* place, uint64_t from, uint8_t* out, uint64_t n)
{
    while (n > 0) {
        uint64_t end = place_run_end(place, from, from + n), step = end - from;
        if (!image::read_at(src, place_offset(place, from), out, step))
            return 0;
        out += step, from += step, n -= step;
    }
    return 1;
}

int add_run(ChunkPlace* place, uint64_t x, uint64_t at)
{
    if (!place->cut) {
        place->cut = x, place->tail = at;
        return 1;
    }
    if (place->later >= place_cuts_max - 1)
        return 0;
    place->later_cut[place->later] = x, place->later_at[place->later] = at;
    place->later++;
    return 1;
}

int place_part(const ChunkPlace* place, uint64_t from, uint64_t n, ChunkPlace* out)
{
    ChunkPlace part{place_offset(place, from), 0, 0};
    for (uint64_t x = place_run_end(place, from, from + n); x < from + n; x = place_run_end(place, x, from + n))
        if (!add_run(&part, x - from, place_offset(place, x)))
            return 0;
    *out = part;
    return 1;
}

}  // namespace salvage
