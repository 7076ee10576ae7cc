#include "salvage/sample_walk.h"

#include <cstdlib>
#include <cstring>

#include "analysis/analysis_types.h"
#include "codec/nal_units.h"
#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "image/card_reader.h"
#include "image/read_at.h"

namespace salvage {


namespace {

constexpr uint64_t read_ahead_bytes = 262144;

// The image bytes [start, end) of the walk, held from the start of the sample being walked.
struct Held {
    std::FILE* image;
    uint64_t limit;
    uint8_t* data;
    uint64_t capacity;
    uint64_t start, end;
};

const uint8_t* held_at(const Held* h, uint64_t pos) { return h->data + (pos - h->start); }

// Makes [pos, pos + n) held, dropping what lies before `keep` (keep <= pos) and reading ahead.
int hold(Held* h, uint64_t keep, uint64_t pos, uint64_t n)
{
    if (pos >= h->start && pos <= h->end && n <= h->end - pos)
        return 1;
    if (pos > h->limit || n > h->limit - pos)
        return 0;
    if (keep >= h->end) {
        h->start = h->end = keep;
    } else if (keep > h->start) {
        std::memmove(h->data, h->data + (keep - h->start), h->end - keep);
        h->start = keep;
    }
    uint64_t want = pos + n;
    want = h->limit - want > read_ahead_bytes ? want + read_ahead_bytes : h->limit;
    // the walk goes no further than the card gave: the read ahead stops where it did not read
    uint64_t known = image::card_known_until(h->image, h->end, want);
    if (known < pos + n)
        return 0;
    want = known;
    if (want - h->start > h->capacity) {
        uint64_t grown = h->capacity * 2 > want - h->start ? h->capacity * 2 : want - h->start;
        h->data = static_cast<uint8_t*>(basics::xrealloc(h->data, grown));
        h->capacity = grown;
    }
    if (!image::read_at(h->image, h->end, h->data + (h->end - h->start), want - h->end))
        return 0;
    h->end = want;
    return 1;
}

// The length of the unit at `pos` when it ends before the limit and its header could be the
// camera's; 0 otherwise.
uint64_t plausible_unit(Held* h, uint64_t keep, uint64_t pos, codec::Syntax syntax)
{
    uint64_t header = syntax == codec::Syntax::hevc ? 6 : 5;
    if (!hold(h, keep, pos, header))
        return 0;
    const uint8_t* b = held_at(h, pos);
    uint64_t length = basics::load_be32(b);
    if (length > h->limit - pos - 4 || !codec::unit_header_ok(b + 4, length, syntax))
        return 0;
    return length;
}

int delimiter_at(Held* h, uint64_t keep, uint64_t pos, int hevc)
{
    return pos <= h->limit && h->limit - pos >= 5 && hold(h, keep, pos, 5) &&
           codec::starts_with_delimiter(held_at(h, pos), hevc);
}

// Follows the units of the sample at `start` to where it ends; the end and the reason in *stop.
uint64_t sample_end(Held* h, uint64_t start, codec::Syntax syntax, uint32_t* stop)
{
    int hevc = syntax == codec::Syntax::hevc;
    uint64_t pos = start;
    for (uint32_t units = 0; units <= codec::max_units; units++) {
        uint64_t length = plausible_unit(h, start, pos, syntax);
        if (!length)
            break;
        pos += 4 + length;
        if (pos - start > analysis::max_sample_bytes)
            break;
        if (pos == h->limit) {
            *stop = walk_at_limit;
            return pos;
        }
        if (delimiter_at(h, start, pos, hevc)) {
            *stop = walk_at_delimiter;
            return pos;
        }
    }
    *stop = walk_at_no_unit;
    return pos;
}

}  // namespace

int walk_samples(std::FILE* image, uint64_t image_size, uint64_t offset, uint64_t limit, const char* format,
                 uint64_t max_samples, uint32_t* sizes, SampleWalk* out)
{
    codec::Syntax syntax = codec::syntax_of(format);
    int hevc = syntax == codec::Syntax::hevc;
    Held h = {image, limit < image_size ? limit : image_size, nullptr, 0, offset, offset};
    SampleWalk walk = {0, offset, walk_at_delimiter};
    if (delimiter_at(&h, offset, offset, hevc)) {
        while (walk.samples < max_samples && walk.stop == walk_at_delimiter) {
            uint32_t stop;
            uint64_t start = walk.end;
            uint64_t end = sample_end(&h, start, syntax, &stop);
            // a sample cut short by damage or by the end of what is there fails here
            if (end - start > analysis::max_sample_bytes || !hold(&h, start, start, end - start) ||
                !codec::sample_structure_ok(held_at(&h, start), end - start, syntax) ||
                !codec::units_escaped(held_at(&h, start), end - start))
                break;
            sizes[walk.samples++] = uint32_t(end - start);
            walk.end = end;
            walk.stop = stop;
        }
    }
    std::free(h.data);
    if (walk.samples == 0)
        return 0;
    *out = walk;
    return 1;
}

}  // namespace salvage
