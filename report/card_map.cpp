#include "report/card_map.h"

#include <cstdio>
#include <cstdlib>

#include "basics/checked_alloc.h"

namespace report {

namespace {

constexpr double cell_px = 2.5;  // 400 x 100 cells in a 1000 x 250 picture
constexpr uint64_t cell_tenths = 25;

// n cells in picture units with one decimal, as "%.1f" prints n * cell_px, without the
// floating-point formatting that made most of the report's work
void put_cells(Text* t, uint64_t n)
{
    char digits[24];
    size_t at = sizeof digits;
    uint64_t tenths = n * cell_tenths;
    digits[--at] = char('0' + tenths % 10);
    digits[--at] = '.';
    uint64_t whole = tenths / 10;
    do {
        digits[--at] = char('0' + whole % 10);
        whole /= 10;
    } while (whole);
    text_add(t, digits + at, sizeof digits - at);
}

void mark(CardMap* map, uint8_t kind, uint32_t recording, uint64_t offset, uint64_t length)
{
    if (length == 0 || map->cells == 0 || offset >= map->end || offset + (length - 1) < map->begin)
        return;
    // a piece that starts before a close-up is drawn from its first cell
    if (offset < map->begin) {
        length -= map->begin - offset;
        offset = map->begin;
    }
    offset -= map->begin;
    uint64_t first = offset / map->bucket_bytes;
    uint64_t last = (offset + (length - 1)) / map->bucket_bytes;
    if (offset + (length - 1) < offset)  // a piece that runs past the end of all numbers
        last = map->cells - 1;
    if (first >= map->cells)
        return;
    if (last >= map->cells)
        last = map->cells - 1;
    for (uint64_t c = first; c <= last; c++) {
        if (kind >= map->kind[c]) {
            map->kind[c] = kind;
            map->recording[c] = recording;
        }
    }
}

// One rectangle of cells [from, to) of one row, all of the same kind and recording.
void write_run(Text* t, const ReportFacts* facts, const CardMap* map, uint32_t from, uint32_t to)
{
    uint8_t kind = map->kind[from];
    uint32_t rec = map->recording[from];
    int hue = kind == piece_system || kind == piece_unused || kind == piece_unreadable ? 0 : recording_hue(rec);
    char fill[48];
    kind_colour(kind, hue, fill, sizeof fill);
    uint32_t row = from / map_columns, col = from % map_columns;
    text_put(t, "<rect x=\"");
    put_cells(t, col);
    text_put(t, "\" y=\"");
    put_cells(t, row);
    text_put(t, "\" width=\"");
    put_cells(t, to - from);
    text_put(t, "\" height=\"");
    put_cells(t, 1);
    text_printf(t, "\" fill=\"%s\"%s>", fill, kind == piece_salvaged ? " stroke=\"#222\" stroke-width=\"0.4\"" : "");
    uint64_t begin = map->begin + uint64_t(from) * map->bucket_bytes, end = map->begin + uint64_t(to) * map->bucket_bytes;
    if (end > map->end)
        end = map->end;
    char size[32];
    size_text(end - begin, size, sizeof size);
    text_put(t, "<title>");
    if (kind != piece_system && kind != piece_unused && kind != piece_unreadable && rec < facts->recordings.count)
        text_printf(t, "clip %u: ", facts->recordings.items[rec].clip_number);
    text_printf(t, "%s, bytes 0x%llx to 0x%llx (%s)</title></rect>", kind_label(kind), (unsigned long long)begin,
                (unsigned long long)end, size);
}

void write_legend(Text* t, const ReportFacts* facts)
{
    static const uint8_t shown[] = {piece_system, piece_header,   piece_video,  piece_missing, piece_sound,
                                    piece_movie,  piece_salvaged, piece_extent, piece_unused, piece_unreadable};
    text_put(t, "<div class=\"legend\">");
    for (uint8_t kind : shown) {
        if (kind == piece_unreadable && facts->run.unreadable.count == 0)
            continue;  // a card that read everywhere
        char fill[48];
        kind_colour(kind, kind == piece_system || kind == piece_unused ? 0 : 210, fill, sizeof fill);
        text_printf(t, "<span><i style=\"background:%s%s\"></i>%s</span>", fill,
                    kind == piece_salvaged ? ";outline:1px solid #222" : "", kind_label(kind));
    }
    text_put(t, "<span><i style=\"background:#eceff1;outline:1px solid #cfd8dc\"></i>free or unknown</span>"
                "<span class=\"note\">each recording has a colour of its own (its row below shows it); "
                "the shades show its parts</span></div>\n");
}

}  // namespace

int recording_hue(uint32_t index)
{
    // the golden angle keeps any two recordings near each other in the list far apart in hue
    return int((uint64_t(index) * 137508 / 1000 + 200) % 360);
}

void kind_colour(uint8_t kind, int hue, char* out, size_t cap)
{
    switch (kind) {
    case piece_system: std::snprintf(out, cap, "#455a64"); break;
    case piece_unused: std::snprintf(out, cap, "#b0b0b0"); break;
    case piece_missing: std::snprintf(out, cap, "#e53935"); break;
    case piece_header: std::snprintf(out, cap, "hsl(%d,70%%,28%%)", hue); break;
    case piece_movie: std::snprintf(out, cap, "hsl(%d,85%%,18%%)", hue); break;
    case piece_sound: std::snprintf(out, cap, "hsl(%d,60%%,78%%)", hue); break;
    case piece_salvaged: std::snprintf(out, cap, "hsl(%d,45%%,60%%)", hue); break;
    case piece_extent: std::snprintf(out, cap, "hsl(%d,30%%,88%%)", hue); break;
    case piece_unreadable: std::snprintf(out, cap, "#d500f9"); break;
    default: std::snprintf(out, cap, "hsl(%d,65%%,50%%)", hue); break;
    }
}

const char* kind_label(uint8_t kind)
{
    switch (kind) {
    case piece_system: return "file system area";
    case piece_unused: return "seen by the scan, not used";
    case piece_sound: return "sound";
    case piece_video: return "video chunks found";
    case piece_salvaged: return "salvaged span";
    case piece_missing: return "video chunk missing (where an unfragmented file has it)";
    case piece_header: return "clip header";
    case piece_movie: return "movie box";
    case piece_extent: return "file-system extent";
    case piece_unreadable: return "unreadable: the card did not give these bytes";
    default: return "free or unknown";
    }
}

int recordings_span(const ReportFacts* facts, uint64_t* begin, uint64_t* end)
{
    int found = 0;
    for (size_t i = 0; i < facts->pieces.count; i++) {
        const Piece* p = &facts->pieces.items[i];
        if (p->recording == no_recording || p->length == 0)
            continue;
        uint64_t last = p->offset + p->length < p->offset ? UINT64_MAX : p->offset + p->length;
        if (!found || p->offset < *begin)
            *begin = p->offset;
        if (!found || last > *end)
            *end = last;
        found = 1;
    }
    return found;
}

void build_card_map(const ReportFacts* facts, uint64_t begin, uint64_t end, CardMap* map)
{
    if (end > facts->run.image_size)
        end = facts->run.image_size;
    if (begin > end)
        begin = end;
    map->begin = begin;
    map->end = end;
    uint64_t size = end - begin;
    uint64_t cells = uint64_t(map_columns) * map_rows;
    map->bucket_bytes = size / cells + (size % cells ? 1 : 0);
    if (map->bucket_bytes == 0)
        map->bucket_bytes = 1;
    map->cells = uint32_t(size ? (size - 1) / map->bucket_bytes + 1 : 0);
    size_t n = map->cells ? map->cells : 1;
    map->recording = static_cast<uint32_t*>(basics::xcalloc(n, sizeof(uint32_t)));
    map->kind = static_cast<uint8_t*>(basics::xcalloc(n, 1));
    if (facts->run.heap_offset > 0)
        mark(map, piece_system, 0, 0, facts->run.heap_offset);
    for (size_t i = 0; i < facts->pieces.count; i++) {
        const Piece* p = &facts->pieces.items[i];
        mark(map, p->kind, p->recording, p->offset, p->length);
    }
}

void free_card_map(CardMap* map)
{
    std::free(map->recording);
    std::free(map->kind);
    *map = CardMap{};
}

void write_card_svg(Text* t, const ReportFacts* facts, const CardMap* map)
{
    uint32_t rows = (map->cells + map_columns - 1) / map_columns;
    char size[32];
    size_text(map->bucket_bytes, size, sizeof size);
    text_printf(t, "<svg class=\"map\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %.1f %.1f\" "
                   "role=\"img\" aria-label=\"card map\">\n<rect width=\"100%%\" height=\"100%%\" fill=\"#eceff1\"><title>free or unknown: "
                   "nothing the scan recognised</title></rect>\n",
                map_columns * cell_px, (rows ? rows : 1) * cell_px);
    for (uint32_t row = 0; row < rows; row++) {
        uint32_t begin = row * map_columns, end = begin + map_columns;
        if (end > map->cells)
            end = map->cells;
        for (uint32_t c = begin; c < end;) {
            uint32_t d = c + 1;
            while (d < end && map->kind[d] == map->kind[c] &&
                   (map->kind[c] == piece_system || map->kind[c] == piece_unused || map->recording[d] == map->recording[c]))
                d++;
            if (map->kind[c] != piece_none)
                write_run(t, facts, map, c, d);
            c = d;
        }
    }
    text_put(t, "</svg>\n");
    char from[32], to[32];
    size_text(map->begin, from, sizeof from);
    size_text(map->end, to, sizeof to);
    text_put(t, "<p class=\"scale\">");
    if (map->begin > 0 || map->end < facts->run.image_size)
        text_printf(t, "close-up of the image from %s to %s; ", from, to);
    text_printf(t, "one cell: %s; %u rows of %u cells, left to right, top to bottom</p>\n", size, rows, map_columns);
}

void write_map_legend(Text* t, const ReportFacts* facts)
{
    write_legend(t, facts);
}

}  // namespace report
