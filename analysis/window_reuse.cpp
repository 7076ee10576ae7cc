#include "analysis/window_reuse.h"

#include <algorithm>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "basics/growable.h"
#include "image/read_at.h"

namespace analysis {

namespace {

struct WindowReuse {
    std::FILE* image;   // null when not active
    int held;           // 1 when [start, end) is in the window buffer
    int hevc;
    uint64_t start, end;
    basics::Growable<uint64_t, 4096> delimiters;
};

WindowReuse reuse;

void forget_held()
{
    reuse.held = 0;
    reuse.delimiters.count = 0;
}

// Records the delimiters that begin in [from, to) of the held bytes (all five bytes held).
void find_delimiters(uint64_t from, uint64_t to)
{
    const uint8_t* buf = window_read_buffer.data;
    uint64_t limit = reuse.end - reuse.start;  // bytes held
    uint64_t stop = to - reuse.start;
    if (stop + 5 > limit)
        stop = limit >= 5 ? limit - 4 : 0;
    for (uint64_t p = next_delimiter(buf, from - reuse.start, stop, reuse.hevc); p < stop;
         p = next_delimiter(buf, p + 1, stop, reuse.hevc))
        basics::list_append(&reuse.delimiters, reuse.start + p);
}

}  // namespace

uint64_t next_delimiter(const uint8_t* buf, uint64_t from, uint64_t stop, int hevc)
{
    // the fifth byte is the rarest; find it, then look back four bytes
    const uint8_t fifth = hevc ? 0x46 : 0x09;
    while (from < stop) {
        const void* hit = std::memchr(buf + from + 4, fifth, size_t(stop - from));
        if (!hit)
            return stop;
        uint64_t p = uint64_t(static_cast<const uint8_t*>(hit) - buf) - 4;
        if (starts_with_delimiter(buf + p, hevc))
            return p;
        from = p + 1;
    }
    return stop;
}

void begin_window_reuse(std::FILE* image)
{
    end_window_reuse();
    reuse.image = image;
}

int window_reuse_active(std::FILE* image) { return image && reuse.image == image; }

void end_window_reuse()
{
    basics::list_free(&reuse.delimiters);
    reuse = WindowReuse{};
}

int window_hold(std::FILE* image, uint64_t start, uint64_t end, int hevc)
{
    if (reuse.held && reuse.hevc == hevc && start >= reuse.start && start <= reuse.end && end >= reuse.start) {
        if (end <= reuse.end)
            return 1;
        // Bytes below the new start stay where they are until the buffer is full; then what
        // overlaps moves to the front. Moving on every search would copy the whole window each
        // time, and growing the buffer instead would copy it and touch fresh memory.
        if (end - reuse.start > window_read_buffer.capacity) {
            uint64_t keep = reuse.end - start;
            std::memmove(window_read_buffer.data, window_read_buffer.data + (start - reuse.start), keep);
            uint64_t* d = reuse.delimiters.items;
            size_t n = reuse.delimiters.count;
            size_t first = size_t(std::lower_bound(d, d + n, start) - d);
            if (first > 0) {
                std::memmove(d, d + first, (n - first) * sizeof *d);
                reuse.delimiters.count = n - first;
            }
            reuse.start = start;
        }
        grow_read_buffer(&window_read_buffer, end - reuse.start);
        uint64_t old_end = reuse.end;
        if (!image::read_at(image, old_end, window_read_buffer.data + (old_end - reuse.start), end - old_end)) {
            forget_held();
            return 0;
        }
        reuse.end = end;
        // delimiters whose five bytes were cut by the old end are found now
        find_delimiters(old_end >= reuse.start + 4 ? old_end - 4 : reuse.start, end);
        return 1;
    }
    forget_held();
    grow_read_buffer(&window_read_buffer, end - start);
    if (!image::read_at(image, start, window_read_buffer.data, end - start))
        return 0;
    reuse.held = 1;
    reuse.hevc = hevc;
    reuse.start = start;
    reuse.end = end;
    find_delimiters(start, end);
    return 1;
}

void window_forget() { forget_held(); }

const uint8_t* window_bytes_at(uint64_t offset) { return window_read_buffer.data + (offset - reuse.start); }

const uint64_t* window_delimiters_from(uint64_t from, uint64_t* count)
{
    uint64_t* d = reuse.delimiters.items;
    size_t n = reuse.delimiters.count;
    size_t i = size_t(std::lower_bound(d, d + n, from) - d);
    *count = n - i;
    return d + i;
}

}  // namespace analysis
