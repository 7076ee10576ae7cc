#include "salvage/contested.h"

#include <algorithm>

namespace salvage {

namespace {

// A piece a recording's planner took as its own: kkad boxes (no clip), the pieces that only end
// runs or copy another's bytes, and sound told the others where one boundary would put it take
// nothing.
int takes_bytes(const ClaimedSpan& c)
{
    return c.clip != 0 && c.tentative == 0 && !c.inferred && c.end > c.begin;
}

int same_recording(const ClaimedSpan& a, const ClaimedSpan& b)
{
    return a.clip == b.clip || (a.tag != 0 && a.tag == b.tag);
}

int covered(const basics::Growable<ClaimedSpan, 16>* contested, const ClaimedSpan& by, uint64_t begin, uint64_t end)
{
    for (uint64_t i = 0; i < contested->count; i++) {
        const ClaimedSpan& c = contested->items[i];
        if (c.begin <= begin && end <= c.end && c.clip == by.clip && c.sound_of == by.sound_of)
            return 1;
    }
    return 0;
}

// The bytes [begin, end) contested by the recording of `by`, for the sound chunk it placed there.
uint64_t add_party(basics::Growable<ClaimedSpan, 16>* contested, const ClaimedSpan& by, uint64_t begin, uint64_t end)
{
    if (covered(contested, by, begin, end))
        return 0;
    ClaimedSpan c{begin, end, by.clip, by.tag};
    c.sound_of = by.sound_of;
    basics::list_append(contested, c);
    return 1;
}

// 1 when a span of `claims` places the sound chunk `party` contested by its own pieces.
int placed_otherwise(const ClaimList* claims, const ClaimedSpan& party)
{
    if (party.sound_of == UINT64_MAX)
        return 0;
    for (uint64_t i = 0; i < claims->spans.count; i++) {
        const ClaimedSpan& c = claims->spans.items[i];
        if (c.clip == party.clip && c.sound_of == party.sound_of && !c.by_room && !c.tentative && !c.inferred &&
            c.end > c.begin)
            return 1;
    }
    return 0;
}

}  // namespace

uint64_t note_contested(const ClaimList* claims, basics::Growable<ClaimedSpan, 16>* contested)
{
    uint64_t added = 0;
    const ClaimedSpan* spans = claims->spans.items;
    uint64_t n = claims->spans.count;
    for (uint64_t i = 0; i < n; i++) {
        if (!takes_bytes(spans[i]))
            continue;
        // the spans are in image order: those that begin inside this one follow it
        for (uint64_t j = i + 1; j < n && spans[j].begin < spans[i].end; j++) {
            // a piece its own content or two of its own place wins over sound placed by room,
            // and the planners of the next pass see it do so
            if (!takes_bytes(spans[j]) || same_recording(spans[i], spans[j]) || !spans[i].by_room ||
                !spans[j].by_room)
                continue;
            uint64_t begin = spans[j].begin, end = std::min(spans[i].end, spans[j].end);
            added += add_party(contested, spans[i], begin, end);
            added += add_party(contested, spans[j], begin, end);
        }
    }
    return added;
}

uint64_t lift_contested(const ClaimList* claims, basics::Growable<ClaimedSpan, 16>* contested)
{
    // the two parties of a contest share its bytes: both go when either is settled
    basics::Growable<ClaimedSpan, 16> settled;
    for (uint64_t i = 0; i < contested->count; i++)
        if (placed_otherwise(claims, contested->items[i]))
            basics::list_append(&settled, contested->items[i]);
    uint64_t kept = 0;
    for (uint64_t i = 0; i < contested->count; i++) {
        const ClaimedSpan& c = contested->items[i];
        int gone = 0;
        for (uint64_t j = 0; j < settled.count && !gone; j++)
            gone = settled.items[j].begin == c.begin && settled.items[j].end == c.end;
        if (!gone)
            contested->items[kept++] = c;
    }
    uint64_t dropped = contested->count - kept;
    contested->count = kept;
    basics::list_free(&settled);
    return dropped;
}

uint64_t first_contested(const ClaimList* claims, uint64_t begin, uint64_t end)
{
    uint64_t x = end;
    for (uint64_t i = 0; claims && i < claims->contested.count; i++) {
        const ClaimedSpan& c = claims->contested.items[i];
        if (c.begin < x && begin < c.end)
            x = std::max(c.begin, begin);
    }
    return x;
}

int place_contested(const ClaimList* claims, const ChunkPlace* at, uint64_t size)
{
    for (uint64_t from = 0, end; from < size; from = end) {
        end = place_run_end(at, from, size);
        uint64_t image = place_offset(at, from);
        if (first_contested(claims, image, image + (end - from)) < image + (end - from))
            return 1;
    }
    return 0;
}

}  // namespace salvage
