// File extents. A NoFatChain file is one run whose FAT entries mean nothing; any other file
// follows the FAT for exactly as many clusters as its length needs and must end there. Every
// cluster is checked against the bitmap, and the runs against each other, so a loop or a chain
// that wanders into a newer file's clusters is refused rather than copied.
#include "filesystem/extent.h"

#include <algorithm>
#include <vector>

#include "image/read_at.h"

namespace filesystem {

const char* extent_verdict_text(uint32_t verdict)
{
    switch (verdict) {
    case extent_ok:
        return "sound";
    case extent_out_of_range:
        return "a cluster outside the card";
    case extent_chain_broken:
        return "its cluster chain is broken";
    case extent_loop:
        return "its cluster chain loops";
    default:
        return "its clusters are held by another file";
    }
}

namespace {

void add_cluster(Extent* e, uint32_t c)
{
    if (e->runs.count > 0) {
        ClusterRun* last = &e->runs.items[e->runs.count - 1];
        if (uint64_t(last->first) + last->count == c) {
            last->count++;
            return;
        }
    }
    basics::list_append(&e->runs, ClusterRun{c, 1});
}

int runs_overlap(const Extent* e)
{
    std::vector<ClusterRun> sorted(e->runs.items, e->runs.items + e->runs.count);
    std::sort(sorted.begin(), sorted.end(), [](const ClusterRun& a, const ClusterRun& b) { return a.first < b.first; });
    for (size_t i = 1; i < sorted.size(); i++)
        if (uint64_t(sorted[i - 1].first) + sorted[i - 1].count > sorted[i].first)
            return 1;
    return 0;
}

uint32_t refuse(Extent* e, uint32_t verdict)
{
    // a chain that broke after coming back on itself is reported as the loop it is
    if (verdict == extent_chain_broken && runs_overlap(e))
        verdict = extent_loop;
    free_extent(e);
    return verdict;
}

}  // namespace

uint32_t file_extent(const FsVolume* v, uint32_t first, uint64_t length, int no_fat_chain, int live, Extent* out)
{
    *out = Extent{};
    out->length = length;
    if (length == 0)
        return extent_ok;
    uint64_t clusters = (length - 1) / v->cluster_bytes + 1;
    if (!cluster_in_range(v, first) || clusters > v->cluster_count)
        return extent_out_of_range;
    if (no_fat_chain) {
        if (!cluster_in_range(v, uint64_t(first) + clusters - 1))
            return extent_out_of_range;
        basics::list_append(&out->runs, ClusterRun{first, static_cast<uint32_t>(clusters)});
    } else {
        uint32_t c = first;
        for (uint64_t i = 0;; i++) {
            add_cluster(out, c);
            uint32_t next = 0;
            if (!fat_entry(v, c, &next))
                return refuse(out, extent_chain_broken);
            if (i + 1 == clusters) {
                if (next != fat_end)
                    return refuse(out, extent_chain_broken);
                break;
            }
            if (next == first || next == c)
                return refuse(out, extent_loop);
            if (next == fat_end || next == fat_bad || next < first_cluster_number)
                return refuse(out, extent_chain_broken);
            if (!cluster_in_range(v, next))
                return refuse(out, extent_out_of_range);
            c = next;
        }
        if (runs_overlap(out))
            return refuse(out, extent_loop);
    }
    for (size_t r = 0; v->bitmap && r < out->runs.count; r++) {
        const ClusterRun* run = &out->runs.items[r];
        for (uint32_t k = 0; k < run->count; k++) {
            int allocated = cluster_allocated(v, run->first + k);
            if (allocated >= 0 && allocated != (live ? 1 : 0))
                return refuse(out, extent_bitmap_conflict);
        }
    }
    return extent_ok;
}

int extent_image_offset(const FsVolume* v, const Extent* e, uint64_t at, uint64_t* image_offset, uint64_t* span)
{
    if (at >= e->length)
        return 0;
    uint64_t file_pos = 0;
    for (size_t r = 0; r < e->runs.count; r++) {
        uint64_t bytes = uint64_t(e->runs.items[r].count) * v->cluster_bytes;
        if (at < file_pos + bytes) {
            *image_offset = cluster_offset(v, e->runs.items[r].first) + (at - file_pos);
            uint64_t run_left = file_pos + bytes - at, file_left = e->length - at;
            *span = run_left < file_left ? run_left : file_left;
            return 1;
        }
        file_pos += bytes;
    }
    return 0;
}

int extent_file_offset(const FsVolume* v, const Extent* e, uint64_t image_offset, uint64_t* file_offset)
{
    uint64_t file_pos = 0;
    for (size_t r = 0; r < e->runs.count; r++) {
        uint64_t start = cluster_offset(v, e->runs.items[r].first);
        uint64_t bytes = uint64_t(e->runs.items[r].count) * v->cluster_bytes;
        if (image_offset >= start && image_offset < start + bytes) {
            uint64_t at = file_pos + (image_offset - start);
            if (at >= e->length)
                return 0;
            *file_offset = at;
            return 1;
        }
        file_pos += bytes;
    }
    return 0;
}

int extent_read(const FsVolume* v, const Extent* e, uint64_t at, uint8_t* buf, uint64_t n)
{
    while (n > 0) {
        uint64_t where = 0, span = 0;
        if (!extent_image_offset(v, e, at, &where, &span))
            return 0;
        uint64_t piece = n < span ? n : span;
        if (where + piece > v->image_size || !image::read_at(v->image, where, buf, piece))
            return 0;
        buf += piece;
        at += piece;
        n -= piece;
    }
    return 1;
}

void free_extent(Extent* e)
{
    basics::list_free(&e->runs);
}

}  // namespace filesystem
