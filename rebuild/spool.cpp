#include "rebuild/spool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/scan_time_search.h"
#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/growable.h"
#include "basics/output.h"
#include "image/path_join.h"
#include "image/raw_scan.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"
#include "rebuild/decode_ahead.h"
#include "rebuild/output_file.h"
#include "rebuild/progress_line.h"
#include "rebuild/spool_hash.h"
#include "rebuild/spool_worker.h"

namespace rebuild {

namespace {

// The camera puts at most a few boxes, within a few MiB, between the ftyp box and the mdat box.
constexpr uint64_t max_header_boxes = 12;
constexpr uint64_t max_mdat_distance = 4194304;
// A recording spooled this far past the last box that described a chunk lying whole behind its
// header does not lie whole from there on: what is spooled up to that box stays, for the chunks
// before it.
constexpr uint64_t whole_evidence_distance = 0x2000000;
constexpr size_t max_open_spools = 16;

enum SpoolState { spooling, closed, gone };
// A whole spool whose movie box the scan has not passed yet, and one that was handed on.
enum MovieWait { no_movie, movie_wanted, movie_handed };

struct Spool {
    uint64_t header;   // image offset of the clip header: file offset 0
    uint64_t end;      // image offset where its media data ends
    uint64_t written;  // file bytes [0, written) hold the image bytes from `header` on
    std::FILE* file;
    SpoolState state;
    SpoolHash* hash;  // of the file as the writer will leave it, owned
    MovieWait movie;
    char path[temp_path_size];
};

using Range = FileRange;

struct Spools {
    std::FILE* image;
    uint64_t image_size;
    const image::ScanRing* ring;
    char folder[1200];
    size_t next_header;  // clip header hits taken so far
    basics::Growable<uint64_t, 64> pending;  // header hits whose boxes have not all passed yet
    basics::Growable<Spool, 64> spools;
    size_t open;
    int stopped;  // a write failed: nothing more is spooled
    int hash_files;
    SpoolWorker* worker;  // writes the spools' bytes while the scan reads on; null: the scan does
    std::vector<FileRange> over;
    // the adopted file
    std::FILE* out;
    uint64_t base, extent;
    basics::Growable<Range, 256> kept, dirty;
    SpoolHash* hash;
    int head_hashed;
};

Spools sp;

void free_hash(SpoolHash** h)
{
    if (*h)
        spool_hash_free(*h);
    delete *h;
    *h = nullptr;
}

void drop(Spool* s)
{
    spool_worker_drain(sp.worker);
    if (s->state == spooling) {
        std::fclose(s->file);
        sp.open--;
    }
    if (s->state != gone)
        platform::remove_file(s->path);
    free_hash(&s->hash);
    s->file = nullptr;
    s->state = gone;
}

// The end of the media data behind the clip header at `h`, read from the ring: 1 with *end, 0
// when it is not a clip header, 2 when its boxes have not all passed yet.
int media_end(uint64_t h, uint64_t* end)
{
    uint64_t pos = h;
    for (uint64_t n = 0; n < max_header_boxes && pos - h <= max_mdat_distance; n++) {
        uint8_t head[16];
        if (pos > sp.image_size || sp.image_size - pos < 16)
            return 0;
        if (!image::scan_ring_copy(sp.ring, pos, head, 16))
            return pos + 16 > sp.ring->end ? 2 : 0;
        uint64_t size = basics::load_be32(head);
        uint64_t header_size = 8;
        if (size == 1) {
            size = basics::load_be64(head + 8);
            header_size = 16;
        }
        if (n == 0 && (std::memcmp(head + 4, "ftypXAVC", 8) != 0 || size < 16))
            return 0;
        if (size < header_size || size > sp.image_size - pos)
            return 0;
        if (std::memcmp(head + 4, "mdat", 4) == 0) {
            *end = pos + size;
            return 1;
        }
        pos += size;
    }
    return 0;
}

void start_spool(uint64_t h, uint64_t end, const image::ScanIndex* index)
{
    if (sp.open == max_open_spools)
        return;
    Spool s{};
    s.header = h;
    s.end = end;
    char name[64];
    basics::bounded_format(name, sizeof name, "XAVC_spool_%016llx.partial", static_cast<unsigned long long>(h));
    image::path_join(s.path, sizeof s.path, sp.folder, name);
    s.file = platform::create_write(s.path);
    if (!s.file)
        return;
    if (sp.hash_files) {
        s.hash = new SpoolHash;
        spool_hash_begin(s.hash, h, end - h, index);
    }
    s.state = spooling;
    sp.open++;
    basics::list_append(&sp.spools, s);
}

// Writes what the ring holds of the spool's bytes, up to `limit`; 0 when a write failed.
int feed(Spool* s, uint64_t limit, const image::ScanIndex* index)
{
    limit = std::min({limit, s->end, sp.ring->end});
    while (s->header + s->written < limit) {
        const uint8_t* at = nullptr;
        uint64_t n = image::scan_ring_span(sp.ring, s->header + s->written, limit - s->header - s->written, &at);
        if (n == 0)
            return 0;
        if (s->hash)
            spool_hash_take(s->hash, n, index, sp.ring, &sp.over);
        SpoolWrite piece = {s->file, s->hash, at, static_cast<size_t>(n), s->header + s->written, std::move(sp.over)};
        sp.over = std::vector<FileRange>();
        if (!spool_worker_submit(sp.worker, &piece))
            return 0;
        s->written += n;
    }
    return 1;
}

// A write failed, most likely for a full disk: what is not complete goes, so that the space is
// there for the files the writer makes, and nothing more is spooled.
void stop_spooling()
{
    sp.stopped = 1;
    for (size_t i = 0; i < sp.spools.count; i++)
        if (sp.spools.items[i].state == spooling)
            drop(&sp.spools.items[i]);
}

void close_spool(Spool* s)
{
    spool_worker_drain(sp.worker);
    int ok = !spool_worker_failed(sp.worker);
    ok = std::fclose(s->file) == 0 && ok;
    sp.open--;
    s->file = nullptr;
    s->state = closed;
    // the whole media data: its decode check can start once the movie box behind it is read
    if (ok && s->header + s->written == s->end)
        s->movie = movie_wanted;
    if (!ok) {
        platform::remove_file(s->path);
        s->state = gone;
        stop_spooling();
    }
}

int overlaps(const basics::Growable<Range, 256>* list, uint64_t from, uint64_t to)
{
    for (size_t i = 0; i < list->count; i++)
        if (list->items[i].from < to && from < list->items[i].to)
            return 1;
    return 0;
}

// The spool keeps its first `length` bytes only; 0 when the file could not be cut.
int cut_back(Spool* s, uint64_t length)
{
    spool_worker_drain(sp.worker);
    return platform::set_file_size(s->file, length);
}

// The movie box the camera wrote right behind a whole spool's media data, once the ring holds it,
// goes with the spool to the decode check ahead; one that is not there, or no longer in the ring,
// leaves the check to the writer.
void hand_on_movie(Spool* s)
{
    uint8_t head[8];
    if (!image::scan_ring_copy(sp.ring, s->end, head, 8)) {
        if (s->end < image::scan_ring_start(sp.ring) || sp.ring->end >= sp.image_size)
            s->movie = no_movie;
        return;
    }
    uint64_t size = basics::load_be32(head);
    if (std::memcmp(head + 4, "moov", 4) != 0 || size < 8 || size > mp4::max_movie_box_bytes ||
        size > sp.image_size - s->end) {
        s->movie = no_movie;
        return;
    }
    if (sp.ring->end < s->end + size && sp.ring->end < sp.image_size)
        return;
    s->movie = no_movie;
    auto* moov = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(size)));
    if (!moov || !image::scan_ring_copy(sp.ring, s->end, moov, size)) {
        std::free(moov);
        return;
    }
    s->movie = movie_handed;
    decode_ahead_submit(s->header, s->path, moov, size, s->end);
}

// A run that ends through fatal leaves no spool file behind.
void remove_at_exit() { spool_remove_all(); }

}  // namespace

void spool_begin(std::FILE* image, uint64_t image_size, const image::ScanRing* ring, const char* output_dir,
                 int hash)
{
    spool_remove_all();
    static int registered = 0;
    if (!registered)
        registered = std::atexit(remove_at_exit) == 0;
    sp.image = image;
    sp.image_size = image_size;
    sp.ring = ring;
    sp.stopped = 0;
    sp.hash_files = hash;
    sp.worker = spool_worker_start();
    basics::bounded_format(sp.folder, sizeof sp.folder, "%s", output_dir);
}

namespace {

void advance_spools(const image::ScanIndex* index)
{
    if (!sp.stopped && spool_worker_failed(sp.worker))
        stop_spooling();
    const image::OffsetList* headers = &index->xavc_hits;
    for (; sp.next_header < headers->count; sp.next_header++)
        if (headers->items[sp.next_header] >= 4)
            basics::list_append(&sp.pending, headers->items[sp.next_header] - 4);
    size_t keep = 0;
    for (size_t i = 0; i < sp.pending.count; i++) {
        uint64_t h = sp.pending.items[i], end = 0;
        int found = sp.stopped ? 0 : media_end(h, &end);
        if (found == 2 && sp.ring->end < sp.image_size)
            sp.pending.items[keep++] = h;
        else if (found == 1)
            start_spool(h, end, index);
    }
    sp.pending.count = keep;
    uint64_t reached = analysis::scan_search_reached();
    for (size_t i = 0; i < sp.spools.count; i++) {
        Spool* s = &sp.spools.items[i];
        if (s->state != spooling)
            continue;
        uint64_t evidence = std::max(s->header, analysis::scan_search_whole_until(s->header));
        // bytes go out only as far as the evidence reaches, and stop where it ends or where they
        // would have left the ring
        int behind = s->header + s->written < image::scan_ring_start(sp.ring);
        if (behind || (reached > evidence && reached - evidence > whole_evidence_distance)) {
            // the bytes past the last evidence are most likely another recording's
            if (evidence == s->header)
                drop(s);
            else if (evidence - s->header < s->written && !cut_back(s, evidence - s->header))
                stop_spooling();
            else {
                if (evidence - s->header < s->written && s->hash)
                    s->hash->usable = 0;
                s->written = std::min(s->written, evidence - s->header);
                close_spool(s);
            }
            continue;
        }
        if (!feed(s, evidence + whole_evidence_distance, index)) {
            stop_spooling();
            return;
        }
        if (s->header + s->written == s->end)
            close_spool(s);
    }
    for (size_t i = 0; i < sp.spools.count; i++)
        if (sp.spools.items[i].state == closed && sp.spools.items[i].movie == movie_wanted)
            hand_on_movie(&sp.spools.items[i]);
}

}  // namespace

void spool_advance(const image::ScanIndex* index)
{
    if (!sp.ring)
        return;
    advance_spools(index);
    // the scan's next read lands on the ring's oldest bytes: the writing thread must be done there
    uint64_t next_end = sp.ring->end + image::raw_scan_slice_bytes;
    if (next_end > sp.ring->capacity)
        spool_worker_wait_past(sp.worker, next_end - sp.ring->capacity);
}

void spool_end()
{
    for (size_t i = 0; i < sp.spools.count; i++)
        if (sp.spools.items[i].state == spooling)
            close_spool(&sp.spools.items[i]);
    spool_worker_stop(sp.worker);
    sp.worker = nullptr;
    basics::list_free(&sp.pending);
    sp.ring = nullptr;
    sp.next_header = 0;
}

void spool_remove_all()
{
    decode_ahead_stop();  // nothing reads a spool file any more
    for (size_t i = 0; i < sp.spools.count; i++)
        drop(&sp.spools.items[i]);
    sp.spools.count = 0;
}

std::FILE* spool_adopt(uint64_t header_offset, const char* temp_path, uint64_t size, int clip_number, int* failed)
{
    *failed = 0;
    DecodedAhead unused;
    decode_ahead_take(header_offset, nullptr, &unused);  // the file is moved: nothing may read it
    Spool* s = nullptr;
    for (size_t i = 0; i < sp.spools.count && !s; i++)
        if (sp.spools.items[i].state == closed && sp.spools.items[i].header == header_offset)
            s = &sp.spools.items[i];
    if (!s || s->written == 0)
        return nullptr;
    platform::remove_file(temp_path);
    if (!platform::rename_path(s->path, temp_path)) {
        drop(s);
        return nullptr;
    }
    s->state = gone;
    free_hash(&sp.hash);
    sp.hash = s->hash;  // the adopted file's now
    s->hash = nullptr;
    sp.head_hashed = 0;
    std::FILE* out = platform::open_stream(temp_path, "r+b");
    if (!out) {
        platform::remove_file(temp_path);
        return nullptr;
    }
    // the other spool files take space a file written from zero would have had
    int sized = platform::set_file_size(out, size);
    if (!sized) {
        spool_remove_all();
        sized = platform::set_file_size(out, size);
    }
    if (!sized) {
        clip_error(clip_number, "cannot resize output");
        std::fclose(out);
        platform::remove_file(temp_path);
        *failed = 1;
        return nullptr;
    }
    sp.out = out;
    sp.base = header_offset;
    sp.extent = std::min(s->written, size);
    sp.kept.count = sp.dirty.count = 0;
    return out;
}

int spool_in_place(std::FILE* dst, uint64_t src_offset, uint64_t dst_offset, uint64_t length)
{
    // the kkad boxes went into the file as zeros
    return sp.out && dst == sp.out && src_offset >= sp.base && src_offset - sp.base == dst_offset &&
           dst_offset <= sp.extent && length <= sp.extent - dst_offset &&
           !overlaps(&sp.dirty, dst_offset, dst_offset + length) &&
           !(sp.hash && spool_hash_box_within(sp.hash, dst_offset, dst_offset + length));
}

void spool_note(std::FILE* dst, uint64_t dst_offset, uint64_t length, int wrote, int ok)
{
    if (!sp.out || dst != sp.out || length == 0 || dst_offset >= sp.extent)
        return;
    uint64_t to = length > sp.extent - dst_offset ? sp.extent : dst_offset + length;
    if (wrote)
        basics::list_append(&sp.dirty, Range{dst_offset, to});
    if (ok)
        basics::list_append(&sp.kept, Range{dst_offset, to});
}

namespace {

uint8_t zeros[1 << 20];  // never written

int write_zeros(std::FILE* dst, uint64_t from, uint64_t to)
{
    int ok = 1;
    for (uint64_t at = from; at < to && ok;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(to - at, sizeof zeros));
        ok = platform::write_positioned(dst, at, zeros, n);
        at += n;
    }
    return ok;
}

// Zeroes the adopted file's unkept bytes [from, to), unless they were zero as spooled but for
// kkad boxes, which went into the file as zeros, and no copy wrote into them (what arrived there
// is not known).
int zero_gap(std::FILE* dst, uint64_t from, uint64_t to)
{
    if (sp.hash && !overlaps(&sp.dirty, from, to) && spool_hash_zero_but_boxes(sp.hash, from, to))
        return 1;
    return write_zeros(dst, from, to);
}

}  // namespace

int spool_zero_unwritten(std::FILE* dst)
{
    if (!sp.out || dst != sp.out)
        return 1;
    Range* r = sp.kept.items;
    std::sort(r, r + sp.kept.count, [](const Range& a, const Range& b) { return a.from < b.from; });
    // every copy found its bytes in place, so the file holds what was hashed where it keeps them
    sp.head_hashed = sp.hash && sp.dirty.count == 0 && sp.hash->hash.length == sp.extent &&
                     spool_hash_holds(sp.hash, r, sp.kept.count, dst);
    // one call a run, past the stream: a seek of a stream open for reading too reads a block
    int ok = std::fflush(dst) == 0;
    uint64_t at = 0;
    for (size_t i = 0; i <= sp.kept.count && ok; i++) {
        uint64_t gap_end = i < sp.kept.count ? r[i].from : sp.extent;
        if (at < gap_end)
            ok = zero_gap(dst, at, gap_end);
        if (i < sp.kept.count)
            at = std::max(at, r[i].to);
    }
    return ok && std::fflush(dst) == 0;
}

int spool_head_hash(basics::Sha256* out)
{
    if (!sp.head_hashed)
        return 0;
    *out = sp.hash->hash;
    return 1;
}

void spool_release()
{
    sp.out = nullptr;
    sp.head_hashed = 0;
    free_hash(&sp.hash);
    basics::list_free(&sp.kept);
    basics::list_free(&sp.dirty);
}

}  // namespace rebuild
