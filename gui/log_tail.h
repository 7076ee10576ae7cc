#pragma once
// The text side of following the engine's log: how much of its end is read, how it is made fit
// for the Activity pane (one line per rewrite, newest first, a bounded length), and how the pane
// keeps the lines a user scrolled to.
#include <cstddef>
#include <cstdint>

namespace gui {

constexpr uint64_t log_tail_limit = 2097152;
constexpr size_t activity_limit = 32768;

// 1 and the part to read when the log has something in it: its last log_tail_limit bytes at most.
int log_tail_window(int64_t size, uint64_t* start, size_t* length);

// Line breaks of any kind become CR LF; tabs and bytes from 32 up are kept; other control bytes
// go. `out` holds 2 * n + 2 bytes; the result is terminated and its length returned.
size_t normalise_log(const char* bytes, size_t n, char* out);

// The pane's text from the normalised log: at most its last activity_limit characters, starting
// after a line feed, with the lines in reverse order and empty lines dropped. `out` holds
// activity_text_capacity(len) bytes; the result is terminated and its length returned.
size_t activity_text_capacity(size_t len);
size_t activity_text(const char* normalised, size_t len, char* out);

// How far to scroll the pane after its text was replaced. A pane at its first or second line
// goes back to the top with the caret at the start; one scrolled further keeps the same lines in
// view while new ones arrive above them.
struct ActivityScroll {
    int32_t caret_to_start;
    int32_t lines;  // lines to scroll by; negative scrolls up
};
ActivityScroll activity_scroll(int32_t first_before, int32_t count_before, int32_t count_after, int32_t first_now);

}  // namespace gui
