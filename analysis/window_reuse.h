#pragma once
// While one image is being worked on, the window buffer keeps the image bytes it last held and
// the positions of every access-unit delimiter in them. Consecutive chunks of a recording are
// searched in wide windows that overlap almost entirely, so each search then reads only the
// bytes that are new and tests only the delimiter positions inside its window.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace analysis {

// From now until release_read_buffers, the image does not change under the window searches.
void begin_window_reuse(std::FILE* image);
int window_reuse_active(std::FILE* image);
void end_window_reuse();

// Makes the buffer hold image bytes [start, end) and the sorted delimiter positions p with
// start <= p and p + 5 <= end. 1 on success; 0 when the read fails (nothing is held then). While
// the scan's ring is lent for the image and holds them in one piece, they are held where they lie.
int window_hold(std::FILE* image, uint64_t start, uint64_t end, int hevc);
// The end of the held range; 0 when nothing is held.
uint64_t window_held_end();
// Forgets the held bytes: the window buffer is about to be filled with others.
void window_forget();
// The held bytes from image offset `offset` on (inside the held range).
const uint8_t* window_bytes_at(uint64_t offset);
// The held delimiter positions from the first one at or after `from`; *count of them follow.
const uint64_t* window_delimiters_from(uint64_t from, uint64_t* count);

// The index of the first delimiter that begins in buf[from, stop), or `stop` when there is none;
// the five bytes of every position in the range must be readable. It uses the widest vectors the
// processor has.
uint64_t next_delimiter(const uint8_t* buf, uint64_t from, uint64_t stop, int hevc);
// Every version this processor runs, first the plain byte-by-byte loop, which is the definition.
using DelimiterSearch = uint64_t (*)(const uint8_t*, uint64_t, uint64_t, int);
size_t delimiter_searches(DelimiterSearch* out, size_t cap);

}  // namespace analysis
