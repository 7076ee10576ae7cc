// The scan cache file: a 48-byte header (magic, image size, fingerprint, three counts) and the
// three hit lists as little-endian 64-bit offsets. Every problem with it is silent: the caller
// scans again.
#include "image/scan_cache.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/path_join.h"
#include "image/card_reader.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"

namespace image {

namespace {

constexpr size_t header_bytes = 48;
const uint8_t cache_magic[8] = {'V', 'L', 'X', 'S', 'C', '3', '4', 0};
// Behind the three lists, which readers of the three alone pass over: the entry-set hits, after
// this tag and their count.
const uint8_t sets_tag[8] = {'F', 'S', 'S', 'E', 'T', 'S', '1', 0};
// Then, on a card that did not read everywhere, the stretches it did not give: offset, length,
// ddrescue status and cause, 24 bytes each. A healthy card's cache has no such block.
const uint8_t unread_tag[8] = {'U', 'N', 'R', 'E', 'A', 'D', '1', 0};
constexpr size_t unread_entry_bytes = 24;
constexpr uint64_t max_cached_hits = 10000000;
constexpr size_t sample_bytes = 65536;
constexpr uint64_t fnv_basis = 0x14650FB0739D0383ull;
constexpr uint64_t fnv_prime = 0x100000001B3ull;
const char* const cache_name_start = "velto_xavc_scan_";
const char* const cache_name_end = ".bin";

void feed(uint64_t* h, const uint8_t* p, size_t n)
{
    uint64_t v = *h;
    for (size_t i = 0; i < n; i++)
        v = (v ^ p[i]) * fnv_prime;
    *h = v;
}

void feed_u64(uint64_t* h, uint64_t value)
{
    uint8_t le[8];
    basics::store_le64(le, value);
    feed(h, le, 8);
}

void tmp_path_of(const char* path, char* out)
{
    basics::bounded_format(out, cache_tmp_path_capacity, "%s.tmp", path);
}

// Writes `list` as little-endian offsets through a small staging block; 1 when all arrived.
int write_offsets(std::FILE* f, const OffsetList* list)
{
    uint8_t block[8 * 4096];
    size_t done = 0;
    while (done < list->count) {
        size_t n = list->count - done;
        if (n > 4096)
            n = 4096;
        for (size_t i = 0; i < n; i++)
            basics::store_le64(block + 8 * i, list->items[done + i]);
        if (std::fwrite(block, 8, n, f) != n)
            return 0;
        done += n;
    }
    return 1;
}

int write_unread(std::FILE* f, const UnreadableMap* unread)
{
    uint8_t head[16];
    std::memcpy(head, unread_tag, 8);
    basics::store_le64(head + 8, unread->pieces.count);
    if (std::fwrite(head, 1, sizeof head, f) != sizeof head)
        return 0;
    for (size_t i = 0; i < unread->pieces.count; i++) {
        const UnreadablePiece& p = unread->pieces.items[i];
        uint8_t e[unread_entry_bytes] = {};
        basics::store_le64(e, p.offset);
        basics::store_le64(e + 8, p.length);
        e[16] = uint8_t(p.status);
        e[17] = p.cause;
        if (std::fwrite(e, 1, sizeof e, f) != sizeof e)
            return 0;
    }
    return 1;
}

int read_unread(std::FILE* f, uint64_t n, uint64_t image_size, UnreadableMap* unread)
{
    if (n > max_cached_hits)
        return 0;
    for (uint64_t i = 0; i < n; i++) {
        uint8_t e[unread_entry_bytes];
        if (std::fread(e, 1, sizeof e, f) != sizeof e)
            return 0;
        uint64_t offset = basics::load_le64(e), length = basics::load_le64(e + 8);
        if (offset >= image_size || length > image_size - offset)
            return 0;
        map_mark(unread, offset, length, char(e[16]), e[17]);
    }
    return 1;
}

}  // namespace

namespace {

// Where the three samples lie; n[i] bytes from at[i] (image_size - at[i] when shorter).
void sample_places(uint64_t image_size, uint64_t at[3], size_t n[3])
{
    at[0] = 0;
    at[1] = image_size > 65537 ? image_size / 2 - 32768 : 0;
    at[2] = image_size >= sample_bytes ? image_size - sample_bytes : 0;
    for (int i = 0; i < 3; i++) {
        uint64_t left = image_size - at[i];
        n[i] = left < sample_bytes ? static_cast<size_t>(left) : sample_bytes;
    }
}

}  // namespace

uint64_t image_fingerprint(std::FILE* image, uint64_t image_size)
{
    uint8_t* buf = static_cast<uint8_t*>(basics::xmalloc(sample_bytes));
    uint64_t h = fnv_basis;
    feed_u64(&h, image_size);
    uint64_t samples[3];
    size_t lengths[3];
    sample_places(image_size, samples, lengths);
    for (int i = 0; i < 3; i++) {
        uint64_t offset = samples[i];
        feed_u64(&h, offset);
        if (offset == image_size || offset > static_cast<uint64_t>(INT64_MAX))
            continue;
        size_t n = lengths[i];
        // a sample the card does not give whole adds nothing, as a short read; the scan names what
        // did not read, from its start
        if (card_glance(image, offset, buf, n))
            feed(&h, buf, n);
    }
    std::free(buf);
    return h;
}

void fingerprint_stream_begin(FingerprintStream* f, std::FILE* image, uint64_t image_size)
{
    *f = FingerprintStream{};
    f->image = image;
    sample_places(image_size, f->at, f->length);
    // the samples must come one after another, each whole, as the scan passes them
    f->usable = image_size >= 3 * sample_bytes && f->at[0] + f->length[0] <= f->at[1] &&
                f->at[1] + f->length[1] <= f->at[2] && f->at[2] <= static_cast<uint64_t>(INT64_MAX);
    f->hash = fnv_basis;
    feed_u64(&f->hash, image_size);
    feed_u64(&f->hash, f->at[0]);
    f->before = f->hash;
}

void fingerprint_stream_take(FingerprintStream* f, uint64_t offset, const uint8_t* p, size_t n)
{
    while (f->usable && f->sample < 3 && n > 0) {
        uint64_t want = f->at[f->sample] + f->fed;
        if (offset + n <= want)
            return;
        if (offset > want) {  // bytes missed: the fingerprint is taken the usual way
            f->usable = 0;
            return;
        }
        size_t skip = static_cast<size_t>(want - offset);
        size_t take = std::min(n - skip, f->length[f->sample] - f->fed);
        feed(&f->hash, p + skip, take);
        f->fed += take;
        offset += skip + take;
        p += skip + take;
        n -= skip + take;
        if (f->fed < f->length[f->sample])
            continue;
        // as image_fingerprint, a sample the card did not give whole adds nothing
        if (card_touches_unreadable(f->image, f->at[f->sample], f->length[f->sample]))
            f->hash = f->before;
        f->fed = 0;
        if (++f->sample < 3) {
            feed_u64(&f->hash, f->at[f->sample]);
            f->before = f->hash;
        }
    }
}

int fingerprint_stream_end(const FingerprintStream* f, uint64_t* fingerprint)
{
    if (!f->usable || f->sample < 3)
        return 0;
    *fingerprint = f->hash;
    return 1;
}

void scan_cache_path(const char* work_dir, uint64_t fingerprint, char* out)
{
    char name[96];
    basics::bounded_format(name, sizeof name, "%s%016llx%s", cache_name_start,
                           static_cast<unsigned long long>(fingerprint), cache_name_end);
    path_join(out, cache_path_capacity, work_dir, name);
}

int scan_cache_may_exist(const char* work_dir)
{
    return platform::folder_may_hold(work_dir, cache_name_start, cache_name_end);
}

int read_offset_array(std::FILE* cache, OffsetList* list, uint64_t n, uint64_t image_size)
{
    basics::list_free(list);
    if (n == 0)
        return 1;
    if (n > max_cached_hits)
        return 0;
    size_t count = static_cast<size_t>(n);
    list->items = static_cast<uint64_t*>(basics::xmalloc(count * 8));
    list->capacity = count;
    uint8_t block[8 * 4096];
    size_t done = 0;
    while (done < count) {
        size_t step = count - done < 4096 ? count - done : 4096;
        if (std::fread(block, 8, step, cache) != step)
            break;
        size_t i = 0;
        for (; i < step; i++) {
            uint64_t offset = basics::load_le64(block + 8 * i);
            if (offset >= image_size)
                break;
            list->items[done + i] = offset;
        }
        if (i < step)
            break;
        done += step;
    }
    if (done < count) {
        basics::list_free(list);
        return 0;
    }
    list->count = count;
    return 1;
}

int scan_cache_lookup(const char* work_dir, uint64_t fingerprint, uint64_t image_size, ScanIndex* index,
                      UnreadableMap* unread)
{
    char path[cache_path_capacity];
    scan_cache_path(work_dir, fingerprint, path);
    // Only a plain file can be a cache; a folder or a pipe under its name is someone else's.
    if (!platform::regular_file(path))
        return 0;
    std::FILE* f = platform::open_read_only(path);
    if (!f)
        return 0;
    uint8_t header[header_bytes];
    int ok = std::fread(header, 1, header_bytes, f) == header_bytes &&
             std::memcmp(header, cache_magic, 8) == 0 &&
             basics::load_le64(header + 8) == image_size &&
             basics::load_le64(header + 16) == fingerprint;
    ok = ok && read_offset_array(f, &index->xavc_hits, basics::load_le64(header + 24), image_size);
    ok = ok && read_offset_array(f, &index->kkad_hits, basics::load_le64(header + 32), image_size);
    ok = ok && read_offset_array(f, &index->moov_hits, basics::load_le64(header + 40), image_size);
    // a cache written without the entry-set block still serves the three lists
    uint8_t block[16];
    int more = ok && std::fread(block, 1, sizeof block, f) == sizeof block;
    if (more && std::memcmp(block, sets_tag, 8) == 0) {
        ok = read_offset_array(f, &index->set_hits, basics::load_le64(block + 8), image_size);
        more = ok && std::fread(block, 1, sizeof block, f) == sizeof block;
    }
    UnreadableMap read_back;
    if (more && std::memcmp(block, unread_tag, 8) == 0)
        ok = read_unread(f, basics::load_le64(block + 8), image_size, &read_back);
    std::fclose(f);
    if (ok && unread)
        *unread = read_back;
    else
        map_free(&read_back);
    if (!ok) {
        free_scan_index(index);
        platform::remove_file(path);
        return 0;
    }
    basics::out_printf("  scan cache hit - full image scan reused\n");
    return 1;
}

void scan_cache_write(const char* work_dir, uint64_t fingerprint, uint64_t image_size, const ScanIndex* index,
                      const UnreadableMap* unread)
{
    char path[cache_path_capacity];
    char tmp[cache_tmp_path_capacity];
    scan_cache_path(work_dir, fingerprint, path);
    tmp_path_of(path, tmp);
    if (platform::path_exists(path) && !platform::regular_file(path))
        return;

    uint8_t header[header_bytes];
    std::memcpy(header, cache_magic, 8);
    basics::store_le64(header + 8, image_size);
    basics::store_le64(header + 16, fingerprint);
    basics::store_le64(header + 24, index->xavc_hits.count);
    basics::store_le64(header + 32, index->kkad_hits.count);
    basics::store_le64(header + 40, index->moov_hits.count);

    std::FILE* f = platform::create_write(tmp);
    if (!f)
        return;
    int ok = std::fwrite(header, 1, header_bytes, f) == header_bytes &&
             write_offsets(f, &index->xavc_hits) && write_offsets(f, &index->kkad_hits) &&
             write_offsets(f, &index->moov_hits);
    // a card without entry sets keeps the file exactly as readers of the three lists know it
    if (index->set_hits.count > 0) {
        uint8_t sets[16];
        std::memcpy(sets, sets_tag, 8);
        basics::store_le64(sets + 8, index->set_hits.count);
        ok = ok && std::fwrite(sets, 1, sizeof sets, f) == sizeof sets && write_offsets(f, &index->set_hits);
    }
    if (unread && unread->pieces.count > 0)
        ok = ok && write_unread(f, unread);
    if (!ok) {
        std::fclose(f);
        platform::remove_file(tmp);
        return;
    }
    int flushed = std::fflush(f) == 0;
    if (std::fclose(f) != 0 || !flushed) {
        platform::remove_file(tmp);
        return;
    }
    platform::remove_file(path);
    platform::rename_file(tmp, path);
}

}  // namespace image
