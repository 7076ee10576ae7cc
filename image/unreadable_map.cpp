#include "image/unreadable_map.h"

#include <algorithm>
#include <cstdlib>

namespace image {

namespace {

uint64_t end_of(const UnreadablePiece& p) { return p.offset + p.length; }

// The first piece that ends after `offset`.
size_t first_ending_after(const UnreadableMap* map, uint64_t offset)
{
    const UnreadablePiece* first = map->pieces.items;
    const UnreadablePiece* last = first + map->pieces.count;
    return size_t(std::upper_bound(first, last, offset,
                                   [](uint64_t at, const UnreadablePiece& p) { return at < end_of(p); }) -
                  first);
}

int same_kind(const UnreadablePiece& a, const UnreadablePiece& b) { return a.status == b.status && a.cause == b.cause; }

}  // namespace

void map_mark(UnreadableMap* map, uint64_t offset, uint64_t length, char status, uint8_t cause)
{
    if (length == 0)
        return;
    if (length > UINT64_MAX - offset)
        length = UINT64_MAX - offset;
    uint64_t end = offset + length;
    UnreadableMap out;
    const UnreadablePiece fresh = {offset, length, status, cause};
    int placed = 0;
    auto add = [&out](const UnreadablePiece& p) {
        UnreadablePiece* last = out.pieces.count ? &out.pieces.items[out.pieces.count - 1] : nullptr;
        if (last && end_of(*last) == p.offset && same_kind(*last, p))
            last->length += p.length;
        else
            basics::list_append(&out.pieces, p);
    };
    for (size_t i = 0; i < map->pieces.count; i++) {
        const UnreadablePiece p = map->pieces.items[i];
        if (end_of(p) <= offset) {
            add(p);
            continue;
        }
        if (p.offset < offset)  // the part before the new mark stays
            add(UnreadablePiece{p.offset, offset - p.offset, p.status, p.cause});
        if (!placed) {
            add(fresh);
            placed = 1;
        }
        if (p.offset >= end)
            add(p);
        else if (end_of(p) > end)  // the part behind it stays
            add(UnreadablePiece{end, end_of(p) - end, p.status, p.cause});
    }
    if (!placed)
        add(fresh);
    map_free(map);
    *map = out;
}

int map_touches(const UnreadableMap* map, uint64_t offset, uint64_t n)
{
    if (n == 0 || map->pieces.count == 0)
        return 0;
    size_t i = first_ending_after(map, offset);
    return i < map->pieces.count && map->pieces.items[i].offset < offset + std::min(n, UINT64_MAX - offset);
}

uint64_t map_known_until(const UnreadableMap* map, uint64_t offset, uint64_t limit)
{
    size_t i = first_ending_after(map, offset);
    if (i >= map->pieces.count)
        return limit;
    uint64_t from = std::max(map->pieces.items[i].offset, offset);
    return std::min(from, limit);
}

int map_span_from(const UnreadableMap* map, uint64_t offset, uint64_t* start, uint64_t* end)
{
    size_t i = first_ending_after(map, offset);
    if (i >= map->pieces.count)
        return 0;
    *start = map->pieces.items[i].offset;
    *end = end_of(map->pieces.items[i]);
    // the whole span: its pieces before and behind that touch it
    for (size_t j = i; j > 0 && end_of(map->pieces.items[j - 1]) == *start; j--)
        *start = map->pieces.items[j - 1].offset;
    for (size_t j = i + 1; j < map->pieces.count && map->pieces.items[j].offset == *end; j++)
        *end = end_of(map->pieces.items[j]);
    return 1;
}

uint64_t map_unknown_bytes(const UnreadableMap* map, uint64_t offset, uint64_t n)
{
    uint64_t end = offset + std::min(n, UINT64_MAX - offset), unknown = 0;
    for (size_t i = first_ending_after(map, offset); i < map->pieces.count; i++) {
        const UnreadablePiece& p = map->pieces.items[i];
        if (p.offset >= end)
            break;
        unknown += std::min(end, end_of(p)) - std::max(offset, p.offset);
    }
    return unknown;
}

void map_spans(const UnreadableMap* map, SpanList* out)
{
    map_spans_touching(map, 0, UINT64_MAX, out);
}

void map_spans_touching(const UnreadableMap* map, uint64_t offset, uint64_t n, SpanList* out)
{
    uint64_t end = offset + std::min(n, UINT64_MAX - offset);
    uint64_t at = offset, start = 0, stop = 0;
    while (at < end && map_span_from(map, at, &start, &stop) && start < end) {
        size_t i = first_ending_after(map, start);
        basics::list_append(out, UnreadableSpan{start, stop - start, map->pieces.items[i].cause});
        at = stop;
    }
}

void map_free(UnreadableMap* map) { basics::list_free(&map->pieces); }

}  // namespace image
