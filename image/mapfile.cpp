#include "image/mapfile.h"

#include <algorithm>
#include <cstring>

#include "basics/output.h"

namespace image {

namespace {

const char block_statuses[] = "?*/-+";
const char run_statuses[] = "?*/-FGR+";

// One line's words, at most four.
struct Words {
    const char* at[4];
    size_t len[4];
    int count;
};

Words split_words(const char* line, size_t n)
{
    Words w = {};
    size_t i = 0;
    while (i < n) {
        while (i < n && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        if (i >= n)
            break;
        size_t start = i;
        while (i < n && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            i++;
        if (w.count == 4) {
            w.count++;  // more words than a line may hold
            break;
        }
        w.at[w.count] = line + start;
        w.len[w.count++] = i - start;
    }
    return w;
}

// A number as ddrescue writes it: "0x" and hexadecimal digits, or decimal digits.
int parse_number(const char* s, size_t n, uint64_t* out)
{
    int base = 10;
    if (n > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s += 2;
        n -= 2;
    }
    if (n == 0)
        return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++) {
        int d = -1;
        char c = s[i];
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        if (d < 0 || d >= base || v > (UINT64_MAX - uint64_t(d)) / uint64_t(base))
            return 0;
        v = v * uint64_t(base) + uint64_t(d);
    }
    *out = v;
    return 1;
}

int status_of(const char* s, size_t n, const char* allowed, char* out)
{
    if (n != 1 || !std::strchr(allowed, s[0]) || s[0] == 0)
        return 0;
    *out = s[0];
    return 1;
}

int fail(uint32_t line, const char* reason, uint32_t* bad_line, char* why, size_t cap)
{
    *bad_line = line;
    basics::bounded_format(why, cap, "%s", reason);
    return 0;
}

// One block line after the status line.
int parse_block(const Words& w, uint32_t line, Mapfile* out, uint32_t* bad_line, char* why, size_t cap)
{
    MapfileBlock b = {0, 0, 0, line};
    if (w.count != 3 || !parse_number(w.at[0], w.len[0], &b.offset) || !parse_number(w.at[1], w.len[1], &b.length) ||
        !status_of(w.at[2], w.len[2], block_statuses, &b.status))
        return fail(line, "expected \"pos size status\" with a status of ?, *, /, - or +", bad_line, why, cap);
    if (b.length == 0)
        return fail(line, "a block of no bytes", bad_line, why, cap);
    if (b.offset != out->end)
        return fail(line, out->blocks.count ? "the block does not start where the one before it ends"
                                            : "the first block does not start at 0",
                    bad_line, why, cap);
    if (b.length > UINT64_MAX - b.offset)
        return fail(line, "the block runs past the largest offset", bad_line, why, cap);
    basics::list_append(&out->blocks, b);
    out->end = b.offset + b.length;
    return 1;
}

}  // namespace

int parse_mapfile(const char* text, size_t n, Mapfile* out, uint32_t* bad_line, char* why, size_t why_cap)
{
    *out = Mapfile{};
    uint32_t line = 0;
    int seen_status = 0;
    for (size_t i = 0; i < n;) {
        size_t end = i;
        while (end < n && text[end] != '\n')
            end++;
        line++;
        const char* at = text + i;
        size_t len = end - i;
        i = end + 1;
        if (std::memchr(at, 0, len)) {
            free_mapfile(out);
            return fail(line, "a zero byte: this is not a mapfile", bad_line, why, why_cap);
        }
        Words w = split_words(at, len);
        if (w.count == 0 || w.at[0][0] == '#')
            continue;
        if (!seen_status) {
            uint64_t pos;
            char status;
            if (w.count < 2 || w.count > 3 || !parse_number(w.at[0], w.len[0], &pos) ||
                !status_of(w.at[1], w.len[1], run_statuses, &status))
                return fail(line, "expected the status line \"current_pos current_status [current_pass]\"", bad_line,
                            why, why_cap);
            seen_status = 1;
            continue;
        }
        if (!parse_block(w, line, out, bad_line, why, why_cap)) {
            free_mapfile(out);
            return 0;
        }
    }
    if (!seen_status)
        return fail(line, "no status line: this is not a mapfile", bad_line, why, why_cap);
    return 1;
}

int mapfile_fits(const Mapfile* map, uint64_t image_size, uint32_t* bad_line, char* why, size_t why_cap)
{
    uint32_t last = map->blocks.count ? map->blocks.items[map->blocks.count - 1].line : 1;
    if (map->end < image_size) {
        char reason[160];
        basics::bounded_format(reason, sizeof reason, "the blocks end at %llu bytes, the image holds %llu",
                               static_cast<unsigned long long>(map->end), static_cast<unsigned long long>(image_size));
        return fail(last, reason, bad_line, why, why_cap);
    }
    for (size_t i = 0; i < map->blocks.count; i++) {
        const MapfileBlock& b = map->blocks.items[i];
        if (b.status == status_rescued && b.offset + b.length > image_size)
            return fail(b.line, "rescued bytes lie beyond the end of the image", bad_line, why, why_cap);
    }
    return 1;
}

void mapfile_unread(const Mapfile* map, uint64_t image_size, UnreadableMap* unread)
{
    for (size_t i = 0; i < map->blocks.count; i++) {
        const MapfileBlock& b = map->blocks.items[i];
        if (b.status == status_rescued || b.offset >= image_size)
            continue;
        map_mark(unread, b.offset, std::min(b.length, image_size - b.offset), b.status, cause_mapfile);
    }
}

void free_mapfile(Mapfile* map)
{
    basics::list_free(&map->blocks);
    map->end = 0;
}

namespace {

int write_block(std::FILE* f, uint64_t offset, uint64_t length, char status)
{
    return length == 0 || std::fprintf(f, "0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(offset),
                                       static_cast<unsigned long long>(length), status) > 0;
}

// The status of the byte at `at` and how far it holds, before `end`.
char status_at(const UnreadableMap* saved, const UnreadableMap* unread, uint64_t at, uint64_t end, uint64_t* until)
{
    uint64_t s_from = 0, s_to = 0, u_from = 0, u_to = 0;
    int s = map_span_from(saved, at, &s_from, &s_to), u = map_span_from(unread, at, &u_from, &u_to);
    if (s && s_from <= at) {  // what the image holds was read, whatever failed there later
        *until = std::min(s_to, end);
        return status_rescued;
    }
    uint64_t next_saved = s ? s_from : end;
    if (u && u_from <= at) {
        size_t i = 0;
        const UnreadablePiece* p = unread->pieces.items;
        while (i < unread->pieces.count && p[i].offset + p[i].length <= at)
            i++;
        *until = std::min({p[i].offset + p[i].length, next_saved, end});
        return p[i].status;
    }
    *until = std::min({next_saved, u ? u_from : end, end});
    return status_non_tried;
}

}  // namespace

int write_mapfile(std::FILE* f, uint64_t image_size, const UnreadableMap* saved, const UnreadableMap* unread,
                  int finished, const char* version)
{
    int ok = std::fprintf(f,
                          "# Mapfile. Created by Mendora Recovery %s\n"
                          "# current_pos  current_status  current_pass\n"
                          "0x%08llX     %c               1\n"
                          "#      pos        size  status\n",
                          version, static_cast<unsigned long long>(finished ? image_size : 0),
                          finished ? status_rescued : status_non_tried) > 0;
    uint64_t at = 0, block_from = 0;
    char block_status = 0;
    while (ok && at < image_size) {
        uint64_t until = image_size;
        char status = status_at(saved, unread, at, image_size, &until);
        if (status != block_status) {
            ok = block_status == 0 || write_block(f, block_from, at - block_from, block_status);
            block_from = at;
            block_status = status;
        }
        at = until;
    }
    return ok && (block_status == 0 || write_block(f, block_from, image_size - block_from, block_status));
}

}  // namespace image
