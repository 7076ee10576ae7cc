// A failed read is taken apart the way careful imaging tools do it, so that the count of failed
// reads, which sets how long a bad card takes, stays small:
// - forwards from where it failed, in pieces that grow while they read and go sector by sector
//   through a piece that failed, up to the first bad sector;
// - from that sector on, single sectors at steps that double while they fail, so a dead zone
//   of 256 MiB costs some twenty failed reads, not half a million;
// - the far edge between the last failed probe and the first one that read, halved until it
//   lies between two sectors;
// - the sectors between the failed probes read one by one when they are few; otherwise they
//   stay untried and unknown.
#include "image/card_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "platform/platform.h"

namespace image {

namespace {

// Pieces grow up to this while they read.
constexpr uint64_t largest_piece = 65536;
// Untried sectors inside a bad stretch are read one by one when there are no more than these.
constexpr uint64_t scrape_limit = 16;

struct Card {
    std::FILE* image;
    uint64_t size;
    UnreadableMap map;
    uint64_t failed_reads;
    UnreadableListener listener;
    void* context;
    ReadSink sink;
    void* sink_context;
};

Card card = {};
DeviceRead device = platform::read_positioned;

// One card_read: the stretches it finds go into `map`, and probes stay before `end`.
struct Reading {
    std::FILE* image;
    uint64_t end;
    UnreadableMap* map;
    int attached;
};

enum Attempt { attempt_read, attempt_failed, attempt_short };

uint64_t sector_of(uint64_t at) { return at - at % card_sector_bytes; }

Attempt attempt(Reading* r, uint64_t offset, uint8_t* buf, uint64_t n, size_t* got)
{
    unsigned long error = 0;
    *got = 0;
    int ok = device(r->image, offset, buf, static_cast<size_t>(n), got, &error);
    if (r->attached && card.sink && *got > 0)
        card.sink(card.sink_context, offset, buf, *got);
    if (!ok) {
        if (r->attached)
            card.failed_reads++;
        return attempt_failed;
    }
    return *got == n ? attempt_read : attempt_short;
}

// 1 when the sector at `at` reads.
int sector_reads(Reading* r, uint64_t at)
{
    uint8_t sector[card_sector_bytes];
    size_t got = 0;
    uint64_t n = std::min(card_sector_bytes, r->end - at);
    return attempt(r, at, sector, n, &got) == attempt_read;
}

// Reads [pos, stop) into buf (which holds the image from `buf_at`) in pieces that grow while
// they read; through a piece that failed, one sector at a time. Returns where reading stopped:
// `stop`, or inside the first sector that failed; *ended when the file ended there instead.
uint64_t read_forward(Reading* r, uint8_t* buf, uint64_t buf_at, uint64_t pos, uint64_t stop, int* ended)
{
    uint64_t piece = card_sector_bytes, careful_until = pos;
    *ended = 0;
    while (pos < stop) {
        uint64_t want = pos < careful_until ? card_sector_bytes : piece;
        uint64_t end = std::min(stop, sector_of(pos) + want);
        size_t got = 0;
        Attempt a = attempt(r, pos, buf + (pos - buf_at), end - pos, &got);
        if (a == attempt_short) {
            *ended = 1;
            return pos + got;
        }
        if (a == attempt_read) {
            pos = end;
            if (pos >= careful_until)
                piece = std::min(piece * 2, largest_piece);
            continue;
        }
        pos += got;
        if (end - sector_of(pos) <= card_sector_bytes)
            return pos;  // the sector that holds pos failed on its own
        careful_until = end;
    }
    return stop;
}

struct Tried {
    uint64_t sector;
    int bad;
};
using TriedList = basics::Growable<Tried, 32>;

// Marks [from, to) of the map: the tried bad sectors as bad, the untried ones between them as
// not scraped, the sectors that read as nothing.
void mark_stretch(Reading* r, TriedList* tried, uint64_t from, uint64_t to)
{
    std::sort(tried->items, tried->items + tried->count, [](const Tried& a, const Tried& b) { return a.sector < b.sector; });
    uint64_t at = from;
    for (size_t i = 0; i < tried->count; i++) {
        const Tried& t = tried->items[i];
        if (t.sector < at || t.sector >= to)
            continue;
        map_mark(r->map, at, t.sector - at, status_non_scraped, cause_read_error);
        uint64_t next = std::min(to, t.sector + card_sector_bytes);
        if (t.bad)
            map_mark(r->map, t.sector, next - t.sector, status_bad_sector, cause_read_error);
        at = next;
    }
    map_mark(r->map, at, to - at, status_non_scraped, cause_read_error);
}

// The sector at `bad` failed: how far the bad stretch from it reaches. Marks the stretch in the
// map and returns its end: the first sector that reads behind it, the start of a stretch known
// already, or the end of the card.
uint64_t find_bad_end(Reading* r, uint64_t bad)
{
    TriedList tried;
    basics::list_append(&tried, Tried{bad, 1});
    uint64_t after = std::min(r->end, bad + card_sector_bytes);
    uint64_t known = map_known_until(r->map, after, r->end);
    uint64_t last_bad = bad, step = card_sector_bytes, good = 0;
    int found_good = 0;
    while (!found_good) {
        uint64_t probe = step <= known - last_bad ? last_bad + step : known;
        if (probe >= known) {
            // probing reached a stretch known already, or the end of the card: the card's last
            // sector tells whether the bad stretch runs to its end
            uint64_t last = sector_of(r->end - 1);
            if (known < r->end || last <= last_bad)
                break;
            if (!(found_good = sector_reads(r, last)))
                basics::list_append(&tried, Tried{last, 1});
            probe = last;
            if (!found_good)
                break;
        } else if (!(found_good = sector_reads(r, probe))) {
            basics::list_append(&tried, Tried{probe, 1});
            last_bad = probe;
            step *= 2;
            continue;
        }
        good = probe;
    }
    uint64_t end = known;
    if (found_good) {
        uint64_t lo = last_bad, hi = good;
        while (hi - lo > card_sector_bytes) {
            uint64_t mid = lo + sector_of((hi - lo) / 2);
            if (sector_reads(r, mid)) {
                hi = mid;
            } else {
                basics::list_append(&tried, Tried{mid, 1});
                lo = mid;
            }
        }
        end = hi;
    }
    uint64_t sectors = (end - bad + card_sector_bytes - 1) / card_sector_bytes;
    if (sectors - tried.count <= scrape_limit) {
        // few untried sectors between the failed ones: each is read on its own
        size_t known_count = tried.count;
        for (uint64_t at = bad; at < end; at += card_sector_bytes) {
            int was_tried = 0;
            for (size_t i = 0; i < known_count && !was_tried; i++)
                was_tried = tried.items[i].sector == at;
            if (!was_tried)
                basics::list_append(&tried, Tried{at, !sector_reads(r, at)});
        }
    }
    mark_stretch(r, &tried, bad, end);
    basics::list_free(&tried);
    if (r->attached && card.listener)
        card.listener(card.context, bad, end - bad);
    return end;
}

Reading reading_of(std::FILE* image, uint64_t end, UnreadableMap* local)
{
    if (card.image && image == card.image)
        return Reading{image, card.size, &card.map, 1};
    return Reading{image, end, local, 0};
}

}  // namespace

void card_attach(std::FILE* image, uint64_t image_size)
{
    card_detach();
    card.image = image;
    card.size = image_size;
}

void card_detach()
{
    map_free(&card.map);
    card = Card{};
}

const UnreadableMap* card_map() { return &card.map; }

void card_mark_unknown(uint64_t offset, uint64_t length, char status, uint8_t cause)
{
    map_mark(&card.map, offset, length, status, cause);
}

uint64_t card_failed_reads() { return card.failed_reads; }

void card_listen(UnreadableListener listener, void* context)
{
    card.listener = listener;
    card.context = context;
}

uint64_t card_read(std::FILE* image, uint64_t offset, void* buf, uint64_t n, uint64_t* unknown)
{
    if (unknown)
        *unknown = 0;
    if (n > UINT64_MAX - offset)
        return 0;
    uint64_t end = offset + n;
    UnreadableMap local;
    Reading r = reading_of(image, end, &local);
    auto* out = static_cast<uint8_t*>(buf);
    uint64_t inside = n;
    uint64_t pos = offset;
    while (pos < end) {
        uint64_t stop = map_known_until(r.map, pos, end);
        if (stop == pos) {
            // inside a stretch known to be unknown: nothing is read there
            uint64_t from = 0, to = 0;
            map_span_from(r.map, pos, &from, &to);
            to = std::min(to, end);
            std::memset(out + (pos - offset), 0, to - pos);
            if (unknown)
                *unknown += to - pos;
            pos = to;
            continue;
        }
        size_t got = 0;
        Attempt a = attempt(&r, pos, out + (pos - offset), stop - pos, &got);
        int ended = a == attempt_short;
        if (a == attempt_read) {
            pos = stop;
            continue;
        }
        pos += got;
        if (a == attempt_failed) {
            pos = read_forward(&r, out, offset, pos, stop, &ended);
            if (!ended && pos < stop)
                find_bad_end(&r, sector_of(pos));
        }
        if (ended) {
            std::memset(out + (pos - offset), 0, end - pos);
            inside = pos - offset;
            break;
        }
    }
    map_free(&local);
    return inside;
}

int card_glance(std::FILE* image, uint64_t offset, void* buf, uint64_t n)
{
    if (n > UINT64_MAX - offset || card_touches_unreadable(image, offset, n))
        return 0;
    UnreadableMap local;
    Reading r = reading_of(image, offset + n, &local);
    size_t got = 0;
    return attempt(&r, offset, static_cast<uint8_t*>(buf), n, &got) == attempt_read;
}

int card_touches_unreadable(std::FILE* image, uint64_t offset, uint64_t n)
{
    return card.image && image == card.image && map_touches(&card.map, offset, n);
}

uint64_t card_known_until(std::FILE* image, uint64_t offset, uint64_t limit)
{
    if (!card.image || image != card.image)
        return limit;
    return map_known_until(&card.map, offset, limit);
}

void card_keep_reads(ReadSink sink, void* context)
{
    card.sink = sink;
    card.sink_context = context;
}

int describe_unreadable(uint64_t offset, uint64_t n, char* out, size_t cap)
{
    SpanList spans;
    map_spans_touching(&card.map, offset, n, &spans);
    if (cap)
        out[0] = 0;
    if (spans.count > 0) {
        char more[48] = "";
        if (spans.count > 1)
            basics::bounded_format(more, sizeof more, " and %zu more", spans.count - 1);
        basics::bounded_format(out, cap, "unreadable %llu bytes at 0x%llX%s",
                               static_cast<unsigned long long>(spans.items[0].length),
                               static_cast<unsigned long long>(spans.items[0].offset), more);
    }
    size_t count = spans.count;
    basics::list_free(&spans);
    return count > 0;
}

void card_use_device(DeviceRead read) { device = read ? read : platform::read_positioned; }

}  // namespace image
