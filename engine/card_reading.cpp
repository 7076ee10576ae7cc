#include "engine/card_reading.h"

#include <cerrno>
#include <cstdlib>

#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/card_reader.h"
#include "image/image_saver.h"
#include "image/mapfile.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"

namespace engine {

namespace {

void name_span(uint64_t offset, uint64_t length, const char* why)
{
    basics::out_line_printf("unreadable: %llu bytes at 0x%llX (%s)\n", static_cast<unsigned long long>(length),
                            static_cast<unsigned long long>(offset), why);
}

void found_unreadable(void*, uint64_t offset, uint64_t length) { name_span(offset, length, "read error"); }

// The whole mapfile in memory: it holds a line per stretch, a few kilobytes even for a bad card.
char* read_whole(const char* path, size_t* n)
{
    std::FILE* f = platform::open_read_only(path);
    if (!f)
        basics::fatal("cannot open mapfile %s: %s", path, platform::errno_text(errno));
    size_t cap = 65536, len = 0;
    auto* text = static_cast<char*>(basics::xmalloc(cap));
    for (;;) {
        if (len == cap) {
            cap *= 2;
            text = static_cast<char*>(basics::xrealloc(text, cap));
        }
        size_t got = std::fread(text + len, 1, cap - len, f);
        if (got == 0)
            break;
        len += got;
    }
    int failed = std::ferror(f);
    std::fclose(f);
    if (failed)
        basics::fatal("cannot read mapfile %s", path);
    *n = len;
    return text;
}

void load_mapfile(const char* path, uint64_t image_size)
{
    size_t n = 0;
    char* text = read_whole(path, &n);
    image::Mapfile map;
    uint32_t line = 0;
    char why[200];
    if (!image::parse_mapfile(text, n, &map, &line, why, sizeof why) ||
        !image::mapfile_fits(&map, image_size, &line, why, sizeof why))
        basics::fatal("mapfile %s line %u: %s", path, line, why);
    std::free(text);
    image::UnreadableMap unread;
    image::mapfile_unread(&map, image_size, &unread);
    image::free_mapfile(&map);
    for (size_t i = 0; i < unread.pieces.count; i++) {
        const image::UnreadablePiece& p = unread.pieces.items[i];
        image::card_mark_unknown(p.offset, p.length, p.status, p.cause);
    }
    image::map_free(&unread);
    image::SpanList spans;
    image::map_spans(image::card_map(), &spans);
    for (size_t i = 0; i < spans.count; i++)
        name_span(spans.items[i].offset, spans.items[i].length, "not rescued, mapfile");
    basics::list_free(&spans);
}

}  // namespace

void open_card_reading(RunState* s)
{
    image::card_attach(s->image, s->image_size);
    image::card_listen(found_unreadable, nullptr);
    if (s->options.mapfile)
        load_mapfile(s->options.mapfile, s->image_size);
    char why[2300];
    if (s->options.save_image && !image::image_saver_begin(s->options.save_image, s->image_size, why, sizeof why))
        basics::fatal("--save-image: %s", why);
}

void take_cached_unreadable(const image::UnreadableMap* cached)
{
    image::UnreadableMap fresh;
    for (size_t i = 0; i < cached->pieces.count; i++) {
        const image::UnreadablePiece& p = cached->pieces.items[i];
        // a mapfile of this run may have named it already
        if (image::map_unknown_bytes(image::card_map(), p.offset, p.length) == p.length)
            continue;
        image::card_mark_unknown(p.offset, p.length, p.status, p.cause);
        image::map_mark(&fresh, p.offset, p.length, p.status, p.cause);
    }
    image::SpanList spans;
    image::map_spans(&fresh, &spans);
    for (size_t i = 0; i < spans.count; i++)
        name_span(spans.items[i].offset, spans.items[i].length,
                  spans.items[i].cause == image::cause_mapfile ? "not rescued, mapfile" : "read error");
    basics::list_free(&spans);
    image::map_free(&fresh);
}

void print_unreadable_summary()
{
    image::SpanList spans;
    image::map_spans(image::card_map(), &spans);
    uint64_t bytes = 0;
    for (size_t i = 0; i < spans.count; i++)
        bytes += spans.items[i].length;
    if (spans.count > 0)
        basics::out_printf("  unreadable spans  : %zu (%llu bytes, %llu failed reads)\n", spans.count,
                           static_cast<unsigned long long>(bytes),
                           static_cast<unsigned long long>(image::card_failed_reads()));
    basics::list_free(&spans);
}

void close_card_reading() { image::card_detach(); }

}  // namespace engine
