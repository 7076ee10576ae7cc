#pragma once
// The stretches of a card that did not read, sector by sector as far as they were tried. Their
// bytes are unknown: nothing may take them for the card's, zeros included. Each piece keeps the
// status GNU ddrescue gives such a stretch in its mapfile, so the same list can be written as one.
#include <cstddef>
#include <cstdint>

#include "basics/growable.h"

namespace image {

// The logical sector of a card: the least a read can fail by.
constexpr uint64_t card_sector_bytes = 512;

// ddrescue's status characters for what is not rescued.
constexpr char status_non_tried = '?';
constexpr char status_non_trimmed = '*';
constexpr char status_non_scraped = '/';  // both edges tried and bad, the middle not tried
constexpr char status_bad_sector = '-';   // tried on its own and failed
constexpr char status_rescued = '+';

// Why the bytes are unknown.
enum UnreadableCause : uint8_t { cause_read_error = 0, cause_mapfile = 1 };

struct UnreadablePiece {
    uint64_t offset;
    uint64_t length;
    char status;
    uint8_t cause;
};

// Sorted, without overlaps; neighbours of the same status and cause are one piece.
struct UnreadableMap {
    basics::Growable<UnreadablePiece, 64> pieces;
};

// Marks [offset, offset + length) unknown with `status`; where it overlaps pieces already there,
// the new mark wins.
void map_mark(UnreadableMap* map, uint64_t offset, uint64_t length, char status, uint8_t cause);
// 1 when any byte of [offset, offset + n) is unknown.
int map_touches(const UnreadableMap* map, uint64_t offset, uint64_t n);
// The first unknown byte in [offset, limit), or `limit`.
uint64_t map_known_until(const UnreadableMap* map, uint64_t offset, uint64_t limit);
// The unknown stretch that holds byte `offset`, or the first one after it: 1 with its extent
// (neighbouring pieces of any status taken together), 0 when there is none.
int map_span_from(const UnreadableMap* map, uint64_t offset, uint64_t* start, uint64_t* end);
// The unknown bytes inside [offset, offset + n).
uint64_t map_unknown_bytes(const UnreadableMap* map, uint64_t offset, uint64_t n);

// What a user is told: the pieces that touch each other taken together as one span.
struct UnreadableSpan {
    uint64_t offset;
    uint64_t length;
    uint8_t cause;  // of its first piece
};
using SpanList = basics::Growable<UnreadableSpan, 16>;
void map_spans(const UnreadableMap* map, SpanList* out);
// The spans that touch [offset, offset + n), appended to `out`.
void map_spans_touching(const UnreadableMap* map, uint64_t offset, uint64_t n, SpanList* out);

void map_free(UnreadableMap* map);

}  // namespace image
