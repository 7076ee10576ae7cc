#include "analysis/chunk_locate.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/card_reader.h"
#include "image/read_at.h"
#include "image/scan_ring.h"
#include "analysis/scan_time_search.h"
#include "analysis/window_reuse.h"
#include "codec/nal_units.h"
#include "platform/platform.h"

namespace analysis {

using codec::Syntax;

ReadBuffer direct_read_buffer = {nullptr, 0};
ReadBuffer window_read_buffer = {nullptr, 0};

namespace {

constexpr uint64_t first_buffer_bytes = 1048576;
constexpr uint64_t window_segment_bytes = 2097152;

// Total and largest sample of a chunk; 0 when the total overflows.
int measure_chunk(const mp4::SampleSizes* sizes, uint64_t* total, uint64_t* largest)
{
    if (!sizes->stored) {
        uint64_t fixed = sizes->fixed;
        if (fixed && sizes->count > UINT64_MAX / fixed)
            return 0;
        *total = fixed * sizes->count;
        *largest = sizes->count ? fixed : 0;
        return 1;
    }
    uint64_t sum = 0, big = 0;
    for (uint64_t i = 0; i < sizes->count; i++) {
        uint64_t size = sizes->stored[i];
        if (sum > UINT64_MAX - size)
            return 0;
        sum += size;
        if (size > big)
            big = size;
    }
    *total = sum;
    *largest = big;
    return 1;
}

int check_samples_in(const uint8_t* bytes, uint64_t have, const mp4::SampleSizes* sizes, Syntax syntax)
{
    uint64_t pos = 0;
    for (uint64_t i = 0; i < sizes->count; i++) {
        uint64_t size = mp4::sample_size_at(sizes, i);
        if (size > have - pos)
            return 0;
        if (!codec::first_unit_ok(bytes + pos, size, syntax))
            return 0;
        pos += size;
    }
    pos = 0;
    for (uint64_t i = 0; i < sizes->count; i++) {
        uint64_t size = mp4::sample_size_at(sizes, i);
        if (size > have - pos)
            return 0;
        if (!codec::sample_structure_ok(bytes + pos, size, syntax))
            return 0;
        pos += size;
    }
    return 1;
}

}  // namespace

void grow_read_buffer(ReadBuffer* buffer, uint64_t need)
{
    if (need == 0)
        need = 1;
    if (buffer->capacity >= need)
        return;
    uint64_t capacity = buffer->capacity ? buffer->capacity : first_buffer_bytes;
    while (capacity < need) {
        if (capacity > uint64_t(INT64_MAX) / 2) {
            capacity = need;
            break;
        }
        capacity *= 2;
    }
    buffer->data = static_cast<uint8_t*>(basics::xrealloc(buffer->data, capacity));
    buffer->capacity = capacity;
    // these buffers reach tens of MiB; large pages spare most of the faults of first use
    platform::advise_large_buffer(buffer->data, static_cast<size_t>(capacity));
}

void release_read_buffers()
{
    end_window_reuse();
    scan_search_release();
    std::free(direct_read_buffer.data);
    std::free(window_read_buffer.data);
    direct_read_buffer = {nullptr, 0};
    window_read_buffer = {nullptr, 0};
}

int verify_chunk_at(std::FILE* image, uint64_t image_size, uint64_t offset, const mp4::SampleSizes* sizes,
                    const char* format)
{
    if (sizes->count == 0)
        return offset <= image_size && image::read_at(image, offset, nullptr, 0);
    uint64_t total, largest;
    if (!measure_chunk(sizes, &total, &largest))
        return 0;
    if (offset > image_size || image_size - offset < total || largest > max_sample_bytes)
        return 0;
    int passed = 0;
    if (scan_verify_result(offset, sizes, codec::syntax_of(format), &passed))
        return passed;
    // a chunk the scan's ring holds in one piece is looked at where it lies, as its windows are
    const uint8_t* held = nullptr;
    if (offset <= uint64_t(INT64_MAX) && !image::card_touches_unreadable(image, offset, total) &&
        image::scan_ring_lent_span(image, offset, total, &held))
        return check_samples_in(held, total, sizes, codec::syntax_of(format));
    if (total <= whole_read_limit) {
        grow_read_buffer(&direct_read_buffer, total);
        if (!image::read_at(image, offset, direct_read_buffer.data, total))
            return 0;
        return check_samples_in(direct_read_buffer.data, total, sizes, codec::syntax_of(format));
    }
    grow_read_buffer(&direct_read_buffer, largest);
    uint64_t pos = offset;
    for (uint64_t i = 0; i < sizes->count; i++) {
        uint64_t size = mp4::sample_size_at(sizes, i);
        if (pos > uint64_t(INT64_MAX) || !image::read_at(image, pos, direct_read_buffer.data, size) ||
            !codec::sample_structure_ok(direct_read_buffer.data, size, codec::syntax_of(format)))
            return 0;
        pos += size;
    }
    return 1;
}

namespace {

// Candidates in [from, to) of the image, in ascending order, from a buffer holding the image
// bytes [from, buf_end); `read_end` is where the whole window read would have stopped.
int scan_segment(std::FILE* image, uint64_t image_size, const uint8_t* buf, uint64_t from, uint64_t to,
                 uint64_t buf_end, uint64_t read_end, const mp4::SampleSizes* sizes, uint64_t total, const char* format,
                 uint64_t* out)
{
    Syntax syntax = codec::syntax_of(format);
    int hevc = syntax == Syntax::hevc;
    uint64_t stop = to - from;
    for (uint64_t i = next_delimiter(buf, 0, stop, hevc); i < stop; i = next_delimiter(buf, i + 1, stop, hevc)) {
        uint64_t pos = from + i;
        if (image::card_touches_unreadable(image, pos, total))
            continue;  // samples the card does not give whole are no chunk of the camera's
        int ok = read_end - pos < total ? verify_chunk_at(image, image_size, pos, sizes, format)
                                        : check_samples_in(buf + i, buf_end - pos, sizes, syntax);
        if (ok) {
            *out = pos;
            return 1;
        }
    }
    return 0;
}

// Most candidates are the starts of other samples of the same recording, and their test ends
// at the first unit behind where the chunk's first sample would end. Those bytes lie far apart
// in the window: asked for ahead of the test, they arrive while earlier candidates are tested.
constexpr uint64_t prefetch_distance = 8;

void prefetch_candidate(const uint64_t* delimiters, uint64_t n, uint64_t k, uint64_t held, uint64_t first)
{
    if (k >= n)
        return;
    uint64_t pos = delimiters[k];
    if (pos + 5 <= held)
        __builtin_prefetch(window_bytes_at(pos));
    if (first + 5 < held && pos < held - first - 5)
        __builtin_prefetch(window_bytes_at(pos + first));
}

// The same candidates in the same order as one read of the whole window, from the bytes and
// delimiters already held. The window is read only as far as the candidates tested so far need:
// a chunk is mostly found near the box that describes it, and bytes read far beyond it would
// only be moved along with the window until the searches have passed them.
int search_held_window(std::FILE* image, uint64_t start, uint64_t end, uint64_t read_end,
                       const mp4::SampleSizes* sizes, uint64_t total, const char* format, uint64_t* out)
{
    Syntax syntax = codec::syntax_of(format);
    int hevc = syntax == Syntax::hevc;
    // the capacity a whole read would need: with it, the held bytes move rarely. A window the
    // scan's ring holds in one piece is looked at there: a buffer grown for it would only be
    // copied over, untouched, at each growth.
    const uint8_t* in_ring = nullptr;
    if (!image::scan_ring_lent_span(image, start, read_end - start, &in_ring))
        grow_read_buffer(&window_read_buffer, read_end - start);
    // held on in eighths of the window, or a whole chunk at a time when that is more
    uint64_t step = std::max({total, (read_end - start) / 8, uint64_t(64)});
    uint64_t want = std::min(read_end, start + step);
    uint64_t next = start;  // every candidate below it is tested
    uint64_t first = sizes->count ? mp4::sample_size_at(sizes, 0) : 0;
    for (;;) {
        if (!window_hold(image, start, want, hevc))
            return 0;
        uint64_t held = std::min(read_end, window_held_end());
        uint64_t n = 0;
        const uint64_t* delimiters = window_delimiters_from(next, &n);
        for (uint64_t k = 0; k < prefetch_distance; k++)
            prefetch_candidate(delimiters, n, k, held, first);
        uint64_t k = 0;
        for (; k < n; k++) {
            uint64_t pos = delimiters[k];
            if (pos >= end - 4)
                return 0;
            prefetch_candidate(delimiters, n, k + prefetch_distance, held, first);
            if (pos + 5 > held || (held < read_end && held - pos < total))
                break;  // the candidate needs bytes not held yet
            if (!image::card_touches_unreadable(image, pos, total) &&
                check_samples_in(window_bytes_at(pos), held - pos, sizes, syntax)) {
                *out = pos;
                return 1;
            }
        }
        if (k < n) {
            next = delimiters[k];
        } else {
            if (held >= end)
                return 0;
            next = held - 4;  // a delimiter cut by the held end is found with the next bytes
        }
        want = std::max(std::min(read_end, held + step), std::min(read_end, next + total + 4));
    }
}

}  // namespace

int find_chunk_in_window(std::FILE* image, uint64_t image_size, uint64_t centre, uint64_t back,
                         uint64_t forward, const mp4::SampleSizes* sizes, const char* format, uint64_t* out)
{
    uint64_t start = back >= centre ? 0 : centre - back;
    uint64_t end = (forward > UINT64_MAX - centre || centre + forward > image_size) ? image_size : centre + forward;
    if (start >= end)
        return 0;
    uint64_t total, largest;
    if (!measure_chunk(sizes, &total, &largest) || largest > max_sample_bytes)
        return 0;
    uint64_t read_end = end;
    if (total <= whole_read_limit)
        read_end = (total > image_size - end) ? image_size : end + total;  // a chunk near the end still fits
    if (end - start <= 4)
        return 0;
    if (window_reuse_active(image) && total <= whole_read_limit)
        return search_held_window(image, start, end, read_end, sizes, total, format, out);
    // The window is read in segments from its start, each with the bytes a chunk starting in it
    // needs, so a chunk near the start of a wide window costs one segment, not the whole window.
    // The result is the same as scanning one read of the whole window: the lowest position.
    // The segments overwrite the window buffer, so whatever it held is no longer there.
    window_forget();
    uint64_t segment = total > window_segment_bytes / 2 ? 2 * total : window_segment_bytes;
    uint64_t last = end - 4;  // candidates lie in [start, last)
    for (uint64_t from = start; from < last;) {
        uint64_t to = last - from > segment ? from + segment : last;
        uint64_t need = 4 + total;
        uint64_t seg_end = read_end - to < need ? read_end : to + need;
        grow_read_buffer(&window_read_buffer, seg_end - from);
        if (!image::read_known(image, from, window_read_buffer.data, seg_end - from))
            return 0;
        if (scan_segment(image, image_size, window_read_buffer.data, from, to, seg_end, read_end, sizes, total, format,
                         out))
            return 1;
        from = to;
    }
    return 0;
}

int chunk_samples(const mp4::TrackTables* video, uint64_t j, mp4::SampleSizes* sizes)
{
    if (j >= video->chunk_count)
        return 0;
    uint64_t first = video->chunk_first_sample[j];
    uint64_t n = video->chunk_sample_counts[j];
    if (first > video->sample_count || video->sample_count - first < n)
        return 0;
    sizes->stored = video->sample_sizes ? video->sample_sizes + first : nullptr;
    sizes->fixed = video->fixed_sample_size;
    sizes->count = n;
    return 1;
}

void search_window_for(int32_t hit_count, uint64_t* back, uint64_t* forward)
{
    *back = hit_count <= 1 ? 0x10000 : 0x1000000;
    *forward = hit_count <= 1 ? 0x100000 : 0x1000000;
}

int locate_chunk(std::FILE* image, uint64_t image_size, const mp4::MovieInfo* movie,
                 const ChunkPlacement* chunks, uint64_t chunk_index, uint64_t* out)
{
    const mp4::TrackTables* video = &movie->video;
    mp4::SampleSizes sizes;
    if (!chunk_samples(video, chunk_index, &sizes))
        return 0;
    const ChunkPlacement* place = &chunks[chunk_index];
    if (place->resolved) {
        if (!verify_chunk_at(image, image_size, place->data_offset, &sizes, video->format))
            return 0;
        *out = place->data_offset;
        return 1;
    }
    if (!place->mapped)
        return 0;
    uint64_t back = 0, forward = 0;
    search_window_for(place->hit_count, &back, &forward);
    int found = 0;
    uint64_t at = 0;
    if (scan_search_result(place->kkad_offset, back, forward, &sizes, codec::syntax_of(video->format), &found, &at)) {
        if (found)
            *out = at;
        return found;
    }
    return find_chunk_in_window(image, image_size, place->kkad_offset, back, forward, &sizes, video->format, out);
}

}  // namespace analysis
