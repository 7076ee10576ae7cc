#include "tools/mkcard_card.h"

#include <cstdio>
#include <cstring>
#include <set>

namespace mkcard {

namespace {

constexpr uint64_t mib = 1048576;

struct Volume {
    Bytes bytes;
    uint64_t heap = 0;           // byte offset of the cluster heap in the volume
    uint64_t cluster_bytes = 0;
    uint64_t cluster_count = 0;
    uint64_t first_free = 0;     // heap index of the first cluster the recordings may use
};

void format_volume(const std::string& path, uint32_t cluster_kib)
{
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd, "mkfs.exfat -c %uK '%s' >/dev/null 2>&1", cluster_kib, path.c_str());
    if (!run_command(cmd))
        die("mkfs.exfat failed on " + path);
}

Volume read_volume(const std::string& path)
{
    Volume v;
    if (!read_file(path, &v.bytes) || v.bytes.size() < 512 || std::memcmp(v.bytes.data() + 3, "EXFAT   ", 8) != 0)
        die("no exFAT boot sector in " + path);
    const uint8_t* boot = v.bytes.data();
    uint32_t heap_sectors = get_le32(boot + 88);
    v.cluster_count = get_le32(boot + 92);
    uint32_t root = get_le32(boot + 96);
    v.heap = uint64_t(heap_sectors) << boot[108];
    v.cluster_bytes = uint64_t(1) << (boot[108] + boot[109]);
    // the allocation bitmap, the up-case table and the root directory come first in the heap
    v.first_free = (root >= 2 ? root - 2 : 0) + 16;
    return v;
}

// File-cluster boundaries at which a recording is cut into extents: each inside a sound chunk,
// so no video chunk is ever split.
std::vector<uint64_t> extent_starts(const Recording& r, uint32_t extents, uint64_t cs, uint64_t clusters)
{
    std::vector<uint64_t> starts{0};
    uint64_t n = r.video.size();
    for (uint32_t k = 1; k < extents; k++) {
        uint64_t j = k * n / extents;
        if (j == 0 || j + 1 >= n)
            die("too few chunks for that many extents");
        const Chunk& a = r.audio[j];
        uint64_t c = (a.offset + a.size / 2 + cs - 1) / cs;
        if (c * cs >= r.video[j + 1].offset || c <= starts.back() || c >= clusters)
            die("clusters too large to cut this recording between its video chunks");
        starts.push_back(c);
    }
    starts.push_back(clusters);
    return starts;
}

void place(PlacedRecording& p, Volume& v, uint64_t base, std::vector<uint8_t>& used, uint64_t* next)
{
    uint64_t cs = v.cluster_bytes;
    uint64_t clusters = (p.rec.file.size() + cs - 1) / cs;
    std::vector<uint64_t> starts = extent_starts(p.rec, p.what.placement.extents, cs, clusters);
    uint64_t k_count = starts.size() - 1;
    p.cluster_image_offset.assign(clusters, 0);
    *next += p.what.placement.gap_clusters;
    // extent 0, which holds the clip header, goes last; the others keep their order with gaps
    for (uint64_t step = 0; step < k_count; step++) {
        uint64_t k = (step + 1) % k_count;
        if (step > 0)
            *next += step;
        for (uint64_t u = starts[k]; u < starts[k + 1]; u++) {
            uint64_t idx = (*next)++;
            if (idx >= v.cluster_count)
                die("the recordings do not fit on the card");
            used[idx] = 1;
            uint64_t at = v.heap + idx * cs;
            p.cluster_image_offset[u] = base + at;
            uint64_t from = u * cs;
            uint64_t len = std::min<uint64_t>(cs, p.rec.file.size() - from);
            std::memcpy(v.bytes.data() + at, p.rec.file.data() + from, len);
        }
    }
}

// Random bytes over file range [begin, end) of a placed recording, through its cluster map.
void spoil(PlacedRecording& p, Volume& v, uint64_t base, uint64_t begin, uint64_t end, Rng& rng)
{
    uint64_t cs = v.cluster_bytes;
    for (uint64_t x = begin; x < end;) {
        uint64_t u = x / cs, w = x % cs;
        uint64_t len = std::min(cs - w, end - x);
        uint8_t* at = v.bytes.data() + (p.cluster_image_offset[u] - base) + w;
        rng.fill(at, len);
        scrub_signatures(at, len);
        x += len;
    }
    p.damage_begin = begin;
    p.damage_end = end;
}

Bytes mbr_for(uint64_t volume_bytes)
{
    Bytes m(512, 0);
    uint8_t* e = m.data() + 446;
    e[1] = 0xFE, e[2] = 0xFF, e[3] = 0xFF;
    e[4] = 0x07;
    e[5] = 0xFE, e[6] = 0xFF, e[7] = 0xFF;
    set_le32(e + 8, 2048);
    set_le32(e + 12, static_cast<uint32_t>(volume_bytes / 512));
    m[510] = 0x55;
    m[511] = 0xAA;
    return m;
}

// The engine tells chunks apart by file offset and sample sizes; two equal ones on a card could
// never be placed, so such a card would be a broken test.
void check_chunks_distinct(const std::vector<PlacedRecording>& placed)
{
    std::set<std::vector<uint64_t>> seen;
    for (const PlacedRecording& p : placed)
        for (size_t j = 0; j < p.rec.video.size(); j++) {
            std::vector<uint64_t> key{p.rec.video[j].offset};
            for (size_t i = 0; i < 12; i++)
                key.push_back(p.rec.video_sizes[j * 12 + i]);
            if (!seen.insert(key).second)
                die("two video chunks on the card share offset and sample sizes; change a seed");
        }
}

constexpr uint64_t cluster_hole_clusters = 3;

// Where the camera stopped writing, and where a short dump of the card ends: inside the video
// chunk two thirds into the recording, at different points of it.
uint64_t power_cut(const Recording& r)
{
    const Chunk& c = r.video[r.video.size() * 2 / 3];
    return c.offset + c.size / 2;
}

uint64_t media_cut(const Recording& r)
{
    const Chunk& c = r.video[r.video.size() * 2 / 3];
    return c.offset + c.size / 3;
}

} // namespace

void make_card(const CardPlan& plan, const std::string& path, const std::string& scratch_dir, Card* card)
{
    uint64_t base = plan.partition ? mib : 0;
    if (uint64_t(plan.size_mib) * mib <= base + 4 * mib)
        die("card too small");
    std::string vol_path = scratch_dir + "/volume.tmp";
    Bytes zeros(uint64_t(plan.size_mib) * mib - base, 0);
    if (!write_file(vol_path, zeros))
        die("cannot write " + vol_path);
    zeros = Bytes();
    format_volume(vol_path, plan.cluster_kib);
    Volume v = read_volume(vol_path);
    card->cluster_bytes = v.cluster_bytes;

    std::vector<uint8_t> used(v.cluster_count, 0);
    uint64_t next = v.first_free;
    Rng rng{plan.seed};
    for (const CardRecording& cr : plan.recordings) {
        PlacedRecording p;
        p.what = cr;
        p.rec = make_recording(cr.plan);
        place(p, v, base, used, &next);
        card->placed.push_back(std::move(p));
    }
    check_chunks_distinct(card->placed);
    if (plan.random_free) {
        for (uint64_t idx = v.first_free; idx < v.cluster_count; idx++)
            if (!used[idx]) {
                uint8_t* at = v.bytes.data() + v.heap + idx * v.cluster_bytes;
                rng.fill(at, v.cluster_bytes);
                scrub_signatures(at, v.cluster_bytes);
            }
        for (PlacedRecording& p : card->placed) {
            uint64_t size = p.rec.file.size();
            uint64_t tail = size % v.cluster_bytes;
            if (tail) {
                uint8_t* at = v.bytes.data() + (p.cluster_image_offset.back() - base) + tail;
                rng.fill(at, v.cluster_bytes - tail);
                scrub_signatures(at, v.cluster_bytes - tail);
            }
        }
    }
    for (PlacedRecording& p : card->placed) {
        const Recording& r = p.rec;
        if (p.what.damage == Damage::hole) {
            const Chunk& c = r.video[r.video.size() / 2];
            spoil(p, v, base, c.offset, c.offset + c.size / 2, rng);
        } else if (p.what.damage == Damage::moov_lost) {
            spoil(p, v, base, r.mdat_end, r.file.size(), rng);
            p.lost = true;
        } else if (p.what.damage == Damage::power_loss) {
            if (r.plan.mdat64)
                die("a recording that loses power has a 32-bit media data box");
            spoil(p, v, base, power_cut(r), r.file.size(), rng);
            // the camera writes the box size when it closes the file; until then it reads 0
            set_be32(v.bytes.data() + (image_offset_of(*card, p, r.header_length - 8) - base), 0);
            p.lost = true;
        } else if (p.what.damage == Damage::cluster_hole) {
            const Chunk& c = r.video[r.video.size() / 2];
            uint64_t cs = v.cluster_bytes;
            uint64_t begin = (c.offset + c.size / 2 + cs - 1) / cs * cs;
            if (begin + cluster_hole_clusters * cs > r.video[r.video.size() - 2].offset)
                die("the recording is too short for a hole of whole clusters in its middle");
            spoil(p, v, base, begin, begin + cluster_hole_clusters * cs, rng);
        }
    }
    if (plan.reformat) {
        Bytes before = v.bytes;
        if (!write_file(vol_path, v.bytes))
            die("cannot write " + vol_path);
        format_volume(vol_path, plan.cluster_kib);
        v = read_volume(vol_path);
        for (uint64_t idx = 0; idx < used.size(); idx++) {
            uint64_t at = v.heap + idx * v.cluster_bytes;
            if (used[idx] && std::memcmp(before.data() + at, v.bytes.data() + at, v.cluster_bytes) != 0)
                die("formatting again touched a recording cluster");
        }
    }
    std::remove(vol_path.c_str());

    // a card of gigabytes is held once: the volume becomes the image unless a partition table
    // goes in front of it
    Bytes image;
    if (plan.partition) {
        image = mbr_for(v.bytes.size());
        image.resize(base, 0);
        put_bytes(image, v.bytes);
    } else {
        image.swap(v.bytes);
    }
    for (PlacedRecording& p : card->placed)
        if (p.what.damage == Damage::truncate || p.what.damage == Damage::cut_media) {
            const Recording& r = p.rec;
            uint64_t cut = p.what.damage == Damage::truncate ? r.mdat_end + r.moov_keep.size() / 2 : media_cut(r);
            image.resize(image_offset_of(*card, p, cut));
            p.damage_begin = cut;
            p.damage_end = r.file.size();
            p.lost = true;
        }
    card->image_size = image.size();
    if (!write_file(path, image))
        die("cannot write " + path);
}

uint64_t image_offset_of(const Card& card, const PlacedRecording& p, uint64_t file_offset)
{
    return p.cluster_image_offset[file_offset / card.cluster_bytes] + file_offset % card.cluster_bytes;
}

int contiguous_in_image(const Card& card, const PlacedRecording& p, uint64_t begin, uint64_t end)
{
    if (end <= begin)
        return 1;
    uint64_t cs = card.cluster_bytes;
    for (uint64_t u = begin / cs; u < (end - 1) / cs; u++)
        if (p.cluster_image_offset[u + 1] != p.cluster_image_offset[u] + cs)
            return 0;
    return 1;
}

} // namespace mkcard
