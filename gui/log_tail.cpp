#include "gui/log_tail.h"

namespace gui {

int log_tail_window(int64_t size, uint64_t* start, size_t* length)
{
    if (size <= 0)
        return 0;
    uint64_t whole = static_cast<uint64_t>(size);
    *start = whole > log_tail_limit ? whole - log_tail_limit : 0;
    *length = static_cast<size_t>(whole > log_tail_limit ? log_tail_limit : whole);
    return 1;
}

size_t normalise_log(const char* bytes, size_t n, char* out)
{
    size_t w = 0;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\r' || c == '\n') {
            // the engine rewrites a progress line after a lone CR: each rewrite becomes a line
            if (c == '\r' && i + 1 < n && bytes[i + 1] == '\n')
                i++;
            out[w++] = '\r';
            out[w++] = '\n';
        } else if (c == '\t' || c >= 32) {
            out[w++] = static_cast<char>(c);
        }
    }
    out[w] = 0;
    return w;
}

size_t activity_text_capacity(size_t len) { return (len > activity_limit ? activity_limit : len) + 3; }

// The cut falls inside a line; the kept text starts at the next whole one.
static size_t kept_start(const char* text, size_t len)
{
    if (len <= activity_limit)
        return 0;
    for (size_t i = len - activity_limit; i < len; i++)
        if (text[i] == '\n')
            return i + 1;
    return len;
}

size_t activity_text(const char* normalised, size_t len, char* out)
{
    size_t begin = kept_start(normalised, len);
    size_t w = 0;
    size_t end = len;
    while (end > begin) {
        while (end > begin && (normalised[end - 1] == '\r' || normalised[end - 1] == '\n'))
            end--;
        size_t start = end;
        while (start > begin && normalised[start - 1] != '\r' && normalised[start - 1] != '\n')
            start--;
        if (start == end)
            break;
        for (size_t i = start; i < end; i++)
            out[w++] = normalised[i];
        out[w++] = '\r';
        out[w++] = '\n';
        end = start;
    }
    out[w] = 0;
    return w;
}

ActivityScroll activity_scroll(int32_t first_before, int32_t count_before, int32_t count_after, int32_t first_now)
{
    ActivityScroll scroll{};
    if (first_before <= 1) {
        scroll.caret_to_start = 1;
        scroll.lines = -first_now;
        return scroll;
    }
    int32_t grown = count_after - count_before;
    int32_t target = first_before + (grown > 0 ? grown : 0);
    scroll.lines = target - first_now;
    return scroll;
}

}  // namespace gui
