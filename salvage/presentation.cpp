#include "salvage/presentation.h"

#include <cstdint>

namespace salvage {

int choose_presented(const OrderedSample* s, uint64_t count, int64_t frame_ticks, uint8_t* keep)
{
    int playing = 0, any = 0;
    uint64_t span_key = 0;
    for (uint64_t i = 0; i < count; i++) {
        keep[i] = 0;
        if (s[i].after_gap)
            playing = 0;
        if (!s[i].usable) {
            playing = playing && s[i].passed;
            continue;
        }
        if (!playing && s[i].key) {
            playing = 1;
            span_key = i;
        }
        if (!playing)
            continue;
        keep[i] = 1;
        if (int64_t(i) * frame_ticks + s[i].offset < int64_t(span_key) * frame_ticks + s[span_key].offset)
            keep[i] = 0;  // a leading picture of the span's first key frame
        any |= keep[i];
    }
    return any;
}

void presentation_shifts(const OrderedSample* s, const uint8_t* keep, uint64_t count, int64_t frame_ticks,
                         int64_t* shift)
{
    // times on the decode clock of the kept samples, one frame after another
    int64_t rank = 0, latest = 0, delay = 0;
    int started = 0;
    for (uint64_t i = 0; i < count;) {
        if (!keep[i]) {
            i++;
            continue;
        }
        // a span of samples kept one after another keeps the camera's order within itself; chunks
        // the card lost between two kept ones end it too
        uint64_t end = i;
        int64_t first_shown = INT64_MAX, last_shown = INT64_MIN;
        for (int64_t r = rank; end < count && keep[end] && (end == i || !s[end].after_gap); end++, r++) {
            int64_t shown = r * frame_ticks + s[end].offset;
            first_shown = shown < first_shown ? shown : first_shown;
            last_shown = shown > last_shown ? shown : last_shown;
        }
        // and is shown after all before it: later by whole frames where it would not be
        if (started && first_shown + delay <= latest)
            delay += ((latest - first_shown - delay) / frame_ticks + 1) * frame_ticks;
        for (; i < end; i++, rank++)
            shift[i] = delay;
        latest = started && latest > last_shown + delay ? latest : last_shown + delay;
        started = 1;
    }
}

}  // namespace salvage
