#include "salvage/presentation.h"

namespace salvage {

namespace {

// Most pictures a camera's encoder holds back for reordering: a span's tail is examined this far.
constexpr uint64_t reorder_window = 64;

// Once the kept samples are re-timed one frame after another, the span's last kept samples must
// present before the next span's first sample `next`.
void trim_before(const OrderedSample* s, uint64_t span_first, uint64_t* last, uint64_t next, int64_t frame_ticks,
                 uint8_t* keep)
{
    for (;;) {
        // ranks counted back from the span's last kept sample, which is one frame before `next`
        int64_t rank = -1, later = 0;
        uint64_t seen = 0;
        for (uint64_t i = *last + 1; i-- > span_first && seen < reorder_window;) {
            if (!keep[i])
                continue;
            seen++;
            later |= rank * frame_ticks + s[i].offset >= s[next].offset;
            rank--;
        }
        if (!later)
            return;
        keep[*last] = 0;
        while (*last > span_first && !keep[*last])
            --*last;
        if (!keep[*last])
            return;
    }
}

}  // namespace

int choose_presented(const OrderedSample* s, uint64_t count, int64_t frame_ticks, uint8_t* keep)
{
    int playing = 0, any = 0;
    uint64_t span_key = 0, span_first = 0, last = 0, spans = 0;
    for (uint64_t i = 0; i < count; i++) {
        keep[i] = 0;
        if (s[i].after_gap)
            playing = 0;
        if (!s[i].usable) {
            playing = 0;
            continue;
        }
        if (!playing && s[i].key) {
            playing = 1;
            if (spans++ && keep[last])
                trim_before(s, span_first, &last, i, frame_ticks, keep);
            span_key = span_first = i;
        }
        if (!playing)
            continue;
        keep[i] = 1;
        if (int64_t(i) * frame_ticks + s[i].offset < int64_t(span_key) * frame_ticks + s[span_key].offset)
            keep[i] = 0;  // a leading picture of the span's first key frame
        if (keep[i])
            last = i, any = 1;
    }
    return any;
}

}  // namespace salvage
