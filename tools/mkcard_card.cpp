#include "tools/mkcard_card.h"

#include "tools/mkcard_camera_tree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <unistd.h>

namespace mkcard {

namespace {

constexpr uint64_t mib = 1048576;
// the card is written through a buffer of this size, in image order
constexpr uint64_t block_bytes = 8 * mib;

struct Volume {
    uint64_t size = 0;
    uint64_t heap = 0;           // byte offset of the cluster heap in the volume
    uint64_t cluster_bytes = 0;
    uint64_t cluster_count = 0;
    uint64_t first_free = 0;     // heap index of the first cluster the recordings may use
};

// Which recording cluster, if any, a heap cluster holds.
struct ClusterOwner {
    uint32_t placed = 0;         // index in Card::placed plus 1; 0 for a free cluster
    uint32_t file_cluster = 0;
    bool kept = false;           // a cluster of the file tree: the volume's own bytes stay
};

// File range [begin, end) of a recording overwritten with random bytes, from draw `first_draw`
// of the card's generator on, one piece per cluster.
struct Spoil {
    uint64_t begin = 0, end = 0, first_draw = 0;
};

// Everything that makes the card's bytes besides the formatted volume, in a form that gives any
// cluster without the others.
struct Layout {
    Volume v;
    uint64_t base = 0;                     // where the volume starts in the image
    std::vector<ClusterOwner> owner;       // per heap cluster
    std::vector<uint64_t> tail_draw;       // per recording: first draw of its last cluster's tail
    std::vector<Spoil> spoil;              // per recording
    std::vector<uint64_t> size_cleared;    // per recording: image offset of a zeroed mdat size, or 0
};

void format_volume(const std::string& path, uint32_t cluster_kib)
{
    char cmd[1024];
    std::snprintf(cmd, sizeof cmd, "mkfs.exfat -c %uK '%s' >/dev/null 2>&1", cluster_kib, path.c_str());
    if (!run_command(cmd))
        die("mkfs.exfat failed on " + path);
}

Volume read_volume(int fd, uint64_t size)
{
    Volume v;
    v.size = size;
    uint8_t boot[512];
    if (pread(fd, boot, sizeof boot, 0) != ssize_t(sizeof boot) || std::memcmp(boot + 3, "EXFAT   ", 8) != 0)
        die("no exFAT boot sector in the formatted volume");
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
std::vector<uint64_t> extent_starts(const Recording& r, const Placement& pl, uint64_t cs, uint64_t clusters)
{
    std::vector<uint64_t> starts{0};
    uint64_t n = r.video.size();
    uint32_t extents = pl.extents;
    for (uint32_t k = 1; k < extents; k++) {
        uint64_t j = k * n / extents;
        if (j == 0 || j + 1 >= n)
            die("too few chunks for that many extents");
        if (pl.cut_video) {
            // the first cluster boundary inside the video chunk
            const Chunk& v = r.video[j];
            uint64_t c = v.offset / cs + 1;
            if (c * cs >= v.offset + v.size || c <= starts.back())
                die("clusters too large to cut a video chunk of this recording");
            starts.push_back(c);
            continue;
        }
        const Chunk& a = r.audio[j];
        uint64_t c = (a.offset + a.size / 2 + cs - 1) / cs;
        if (c * cs >= r.video[j + 1].offset || c <= starts.back() || c >= clusters)
            die("clusters too large to cut this recording between its video chunks");
        starts.push_back(c);
    }
    starts.push_back(clusters);
    return starts;
}

// The next free heap cluster becomes file cluster `u` of placed recording `index`.
void take_cluster(PlacedRecording& p, uint32_t index, uint64_t u, Layout& l, uint64_t* next)
{
    uint64_t idx = (*next)++;
    if (idx >= l.v.cluster_count || l.owner[idx].placed)
        die("the recordings do not fit on the card");
    l.owner[idx] = ClusterOwner{index + 1, static_cast<uint32_t>(u)};
    p.cluster_image_offset[u] = l.base + l.v.heap + idx * l.v.cluster_bytes;
}

void place(PlacedRecording& p, uint32_t index, Layout& l, uint64_t* next)
{
    uint64_t cs = l.v.cluster_bytes;
    uint64_t clusters = (p.rec.file_size + cs - 1) / cs;
    std::vector<uint64_t> starts = extent_starts(p.rec, p.what.placement, cs, clusters);
    uint64_t k_count = starts.size() - 1;
    p.cluster_image_offset.assign(clusters, 0);
    *next += p.what.placement.gap_clusters;
    // extent 0, which holds the clip header, goes last; the others keep their order with gaps
    for (uint64_t step = 0; step < k_count; step++) {
        uint64_t k = (step + 1) % k_count;
        if (step > 0)
            *next += step;
        for (uint64_t u = starts[k]; u < starts[k + 1]; u++)
            take_cluster(p, index, u, l, next);
    }
}

// Recordings written at once, as a file system gives clusters to growing files: runs of `run`
// clusters in turn (the second's runs of their own length where one is given, every run's length
// drawn around its own with a jitter seed), the first recording's first, until one ends; the
// others' rest follows in turn.
// With wrap_clusters they begin that far before the heap's end; the clusters they still need go
// on where `next` stood, and so does what follows them.
void place_together(std::vector<PlacedRecording*> all, uint32_t index, Layout& l, uint64_t* next)
{
    PlacedRecording& a = *all[0];
    uint64_t cs = l.v.cluster_bytes, run = a.what.placement.alternate_runs, wrap = a.what.placement.wrap_clusters;
    size_t n = all.size();
    std::vector<uint64_t> clusters(n), done(n, 0);
    for (size_t i = 0; i < n; i++) {
        clusters[i] = (all[i]->rec.file_size + cs - 1) / cs;
        all[i]->cluster_image_offset.assign(clusters[i], 0);
    }
    *next += a.what.placement.gap_clusters;
    uint64_t resume = *next;
    if (wrap) {
        if (wrap >= l.v.cluster_count - resume)
            die("--wrap is larger than the free heap");
        *next = l.v.cluster_count - wrap;
    }
    bool wrapped = !wrap;
    auto unfinished = [&]() {
        for (size_t i = 0; i < n; i++)
            if (done[i] < clusters[i])
                return true;
        return false;
    };
    Rng jitter{a.what.placement.jitter_seed};
    for (size_t i = 0; unfinished(); i = (i + 1) % n) {
        uint64_t runs = i == 1 && a.what.placement.second_runs ? a.what.placement.second_runs : run;
        uint64_t length = a.what.placement.jitter_seed ? 1 + jitter.next() % (2 * runs - 1) : runs;
        for (uint64_t k = 0; k < length && done[i] < clusters[i]; k++) {
            if (!wrapped && *next == l.v.cluster_count)
                *next = resume, wrapped = true;
            take_cluster(*all[i], index + static_cast<uint32_t>(i), done[i]++, l, next);
        }
    }
    if (!wrapped)
        *next = resume;
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

// The generator's draws are spent in this order: every free cluster in heap order, the tail of
// every recording's last cluster, then the damage of every recording in card order.
void plan_draws(const CardPlan& plan, Card* card, Layout& l)
{
    uint64_t cs = l.v.cluster_bytes;
    uint64_t draws = 0;
    if (plan.random_free) {
        for (uint64_t idx = l.v.first_free; idx < l.v.cluster_count; idx++)
            draws += l.owner[idx].placed || l.owner[idx].kept ? 0 : Rng::fill_calls(cs);
        for (size_t k = 0; k < card->placed.size(); k++) {
            uint64_t tail = card->placed[k].rec.file_size % cs;
            l.tail_draw[k] = draws;
            draws += tail ? Rng::fill_calls(cs - tail) : 0;
        }
    }
    for (size_t k = 0; k < card->placed.size(); k++) {
        PlacedRecording& p = card->placed[k];
        const Recording& r = p.rec;
        Spoil s;
        if (p.what.damage == Damage::hole) {
            const Chunk& c = r.video[r.video.size() / 2];
            s = Spoil{c.offset, c.offset + c.size / 2, draws};
        } else if (p.what.damage == Damage::moov_lost) {
            s = Spoil{r.mdat_end, r.file_size, draws};
            p.lost = true;
        } else if (p.what.damage == Damage::power_loss) {
            if (r.plan.mdat64)
                die("a recording that loses power has a 32-bit media data box");
            s = Spoil{power_cut(r), r.file_size, draws};
            // the camera writes the box size when it closes the file; until then it reads 0
            l.size_cleared[k] = image_offset_of(*card, p, r.header_length - 8);
            p.lost = true;
        } else if (p.what.damage == Damage::cluster_hole) {
            const Chunk& c = r.video[r.video.size() / 2];
            uint64_t begin = (c.offset + c.size / 2 + cs - 1) / cs * cs;
            if (begin + cluster_hole_clusters * cs > r.video[r.video.size() - 2].offset)
                die("the recording is too short for a hole of whole clusters in its middle");
            s = Spoil{begin, begin + cluster_hole_clusters * cs, draws};
        } else {
            continue;
        }
        l.spoil[k] = s;
        p.damage_begin = s.begin;
        p.damage_end = s.end;
        for (uint64_t x = s.begin; x < s.end; x = (x / cs + 1) * cs)
            draws += Rng::fill_calls(std::min((x / cs + 1) * cs, s.end) - x);
    }
}

void random_bytes(uint64_t seed, uint64_t first_draw, uint8_t* at, uint64_t n)
{
    Rng rng = Rng::after(seed, first_draw);
    rng.fill(at, n);
    scrub_signatures(at, n);
}

// The encoded video of the recording last asked for; a card's recordings lie one after another,
// so one is enough.
struct VideoCache {
    int64_t index = -1;
    VideoStream vs;
    const VideoStream& of(const Card& card, size_t k)
    {
        if (index != int64_t(k)) {
            vs = recording_video(card.placed[k].rec.plan);
            index = int64_t(k);
        }
        return vs;
    }
};

// Heap cluster `idx` of the card, over the volume's own bytes at `c`; `free_rank` counts the free
// clusters before it.
void compose_cluster(const CardPlan& plan, const Card& card, const Layout& l, VideoCache& videos, uint64_t idx,
                     uint64_t* free_rank, uint8_t* c)
{
    uint64_t cs = l.v.cluster_bytes;
    ClusterOwner o = l.owner[idx];
    if (!o.placed) {
        if (plan.random_free && idx >= l.v.first_free && !o.kept)
            random_bytes(plan.seed, (*free_rank)++ * Rng::fill_calls(cs), c, cs);
        return;
    }
    size_t k = o.placed - 1;
    const PlacedRecording& p = card.placed[k];
    uint64_t from = uint64_t(o.file_cluster) * cs;
    uint64_t len = std::min<uint64_t>(cs, p.rec.file_size - from);
    recording_bytes(p.rec, videos.of(card, k), from, c, len);
    if (plan.random_free && len < cs)
        random_bytes(plan.seed, l.tail_draw[k], c + len, cs - len);
    const Spoil& s = l.spoil[k];
    uint64_t b = std::max(s.begin, from), e = std::min(s.end, from + cs);
    if (b < e) {
        // the draws of the pieces in the clusters before this one
        uint64_t first_cluster = s.begin / cs, draws = s.first_draw;
        if (o.file_cluster > first_cluster)
            draws += Rng::fill_calls((first_cluster + 1) * cs - s.begin) +
                     (o.file_cluster - first_cluster - 1) * Rng::fill_calls(cs);
        random_bytes(plan.seed, draws, c + (b - from), e - b);
    }
    if (uint64_t at = l.size_cleared[k]) {
        uint64_t cluster_at = p.cluster_image_offset[o.file_cluster];
        for (uint64_t x = at; x < at + 4; x++)
            if (x >= cluster_at && x < cluster_at + cs)
                c[x - cluster_at] = 0;
    }
}

// Writes the image in order: a partition table in front of the volume when asked, nothing past
// `size`, zeros from `zero_from` on (where a shorter cut once ended it).
struct ImageSink {
    int fd = -1;
    uint64_t base = 0, size = 0, zero_from = 0;
    void write(uint64_t volume_offset, uint8_t* p, uint64_t n)
    {
        uint64_t at = base + volume_offset;
        if (at >= size)
            return;
        n = std::min(n, size - at);
        if (at + n > zero_from)
            std::memset(p + (std::max(at, zero_from) - at), 0, at + n - std::max(at, zero_from));
        for (uint64_t done = 0; done < n;) {
            ssize_t put = pwrite(fd, p + done, n - done, off_t(at + done));
            if (put <= 0)
                die("cannot write the card image");
            done += uint64_t(put);
        }
    }
};

// One pass over the volume at `fd` in order: its own bytes, with every heap cluster made as the
// card has it when `compose`, to `sink`.
void write_pass(const CardPlan& plan, const Card& card, const Layout& l, int fd, bool compose, ImageSink& sink)
{
    const Volume& v = l.v;
    uint64_t cs = v.cluster_bytes;
    uint64_t per_block = std::max<uint64_t>(1, block_bytes / cs);
    std::vector<uint8_t> buf(per_block * cs);
    VideoCache videos;
    uint64_t free_rank = 0;
    uint64_t heap_end = v.heap + v.cluster_count * cs;
    for (uint64_t at = 0; at < v.size;) {
        // the region before the heap and after it in plain blocks, the heap in whole clusters
        uint64_t n = at < v.heap ? std::min(v.heap - at, uint64_t(buf.size()))
                     : at < heap_end ? std::min(heap_end - at, uint64_t(buf.size()))
                                     : std::min(v.size - at, uint64_t(buf.size()));
        read_at(fd, at, buf.data(), n);
        if (compose && at >= v.heap && at < heap_end)
            for (uint64_t x = 0; x < n; x += cs)
                compose_cluster(plan, card, l, videos, (at + x - v.heap) / cs, &free_rank, buf.data() + x);
        sink.write(at, buf.data(), n);
        at += n;
    }
}

uint64_t cluster_hash(const uint8_t* p, uint64_t n)
{
    uint64_t h = 14695981039346656037ull;
    for (uint64_t i = 0; i < n; i++)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

// Hashes of every recording and file tree cluster as the volume at `fd` holds them, in heap order.
std::vector<uint64_t> recording_cluster_hashes(const Layout& l, int fd)
{
    std::vector<uint64_t> hashes;
    std::vector<uint8_t> c(l.v.cluster_bytes);
    for (uint64_t idx = 0; idx < l.v.cluster_count; idx++)
        if (l.owner[idx].placed || l.owner[idx].kept) {
            read_at(fd, l.v.heap + idx * c.size(), c.data(), c.size());
            hashes.push_back(cluster_hash(c.data(), c.size()));
        }
    return hashes;
}

int create_sized(const std::string& path, uint64_t size)
{
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, off_t(size)) != 0)
        die("cannot write " + path);
    return fd;
}

} // namespace

// The first NAL length field of chunk j at or after file offset `from`: its file offset, or 0.
uint64_t next_length_field(const Recording& r, const VideoStream& vs, uint32_t j, uint64_t from)
{
    const Chunk& c = r.video[j];
    Bytes bytes(c.size);
    recording_bytes(r, vs, c.offset, bytes.data(), c.size);
    uint64_t pos = 0, per = r.video_sizes.size() / r.video.size();
    for (uint64_t i = 0; i < per && pos < c.size; i++) {
        uint64_t end = pos + r.video_sizes[j * per + i];
        for (uint64_t u = pos; u + 4 <= end && u + 4 <= c.size;
             u += 4 + (uint64_t(bytes[u]) << 24 | uint64_t(bytes[u + 1]) << 16 | uint64_t(bytes[u + 2]) << 8 | bytes[u + 3]))
            if (c.offset + u >= from)
                return c.offset + u;
        pos = end;
    }
    return 0;
}

// The look-alikes of CardPlan::look_alike, laid over the other recording's first cluster behind
// each head (not over a clip header).
void plant_look_alikes(const Card& card, const std::string& path)
{
    const PlacedRecording& p = card.placed[0];
    const Recording& r = p.rec;
    VideoStream vs = recording_video(r.plan);
    uint64_t cs = card.cluster_bytes;
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0)
        die("cannot write " + path);
    for (uint32_t j = 0; j < r.video.size(); j++) {
        const Chunk& c = r.video[j];
        for (uint64_t u = c.offset / cs + 1; u * cs < c.offset + c.size; u++) {
            if (p.cluster_image_offset[u] == p.cluster_image_offset[u - 1] + cs)
                continue;
            uint64_t field = next_length_field(r, vs, j, u * cs);
            if (field == 0 || field + 4 - u * cs > cs)
                break;
            off_t at = off_t(p.cluster_image_offset[u - 1] + cs);
            bool header = false;  // a clip header there would take the other recording with it
            for (const PlacedRecording& o : card.placed)
                header = header || (!o.cluster_image_offset.empty() && o.cluster_image_offset[0] == uint64_t(at));
            if (header)
                break;
            Bytes rest(field + 4 - u * cs);
            recording_bytes(r, vs, u * cs, rest.data(), rest.size());
            if (pwrite(fd, rest.data(), rest.size(), at) != ssize_t(rest.size()))
                die("cannot write " + path);
            break;
        }
    }
    if (close(fd) != 0)
        die("cannot write " + path);
}

void make_card(const CardPlan& plan, const std::string& path, const std::string& scratch_dir, Card* card)
{
    Layout l;
    l.base = plan.partition ? mib : 0;
    if (uint64_t(plan.size_mib) * mib <= l.base + 4 * mib)
        die("card too small");
    uint64_t volume_size = uint64_t(plan.size_mib) * mib - l.base;
    // the formatted volume stays sparse: the card is made from it in one pass in image order
    std::string vol_path = scratch_dir + "/volume.tmp";
    close(create_sized(vol_path, volume_size));
    format_volume(vol_path, plan.cluster_kib);
    int vol = open(vol_path.c_str(), O_RDWR);
    if (vol < 0)
        die("cannot read " + vol_path);
    l.v = read_volume(vol, volume_size);
    card->cluster_bytes = l.v.cluster_bytes;
    card->volume_offset = l.base;

    l.owner.assign(l.v.cluster_count, ClusterOwner{});
    uint64_t next = l.v.first_free;
    bool tree = plan.fs.state != FsState::none;
    CameraTree camera;
    if (tree)
        camera = begin_camera_tree(vol, plan, [&l, &next]() {
            if (next >= l.v.cluster_count)
                die("the recordings do not fit on the card");
            return static_cast<uint32_t>(next++ + 2);
        });
    for (size_t k = 0; k < plan.recordings.size(); k++) {
        size_t together = plan.recordings[k].placement.alternate_runs
                              ? std::min<size_t>(plan.recordings[k].placement.at_once, plan.recordings.size() - k)
                              : 1;
        bool pair = together > 1;
        size_t first = card->placed.size();
        for (size_t j = k; j < k + together; j++) {
            PlacedRecording p;
            p.what = plan.recordings[j];
            p.rec = make_recording(p.what.plan);
            card->placed.push_back(std::move(p));
        }
        auto index = static_cast<uint32_t>(first);
        std::vector<PlacedRecording*> all;
        for (size_t j = first; j < card->placed.size(); j++)
            all.push_back(&card->placed[j]);
        if (pair)
            place_together(all, index, l, &next);
        else
            place(card->placed[first], index, l, &next);
        for (size_t j = first; tree && j < card->placed.size(); j++)
            add_clip_files(camera, plan, *card, j);
        k += together - 1;
    }
    if (tree) {
        finish_camera_tree(camera, plan, card, vol);
        for (uint32_t c : camera.kept)
            l.owner[c - 2].kept = true;
    }
    check_chunks_distinct(card->placed);
    l.tail_draw.assign(card->placed.size(), 0);
    l.spoil.assign(card->placed.size(), Spoil{});
    l.size_cleared.assign(card->placed.size(), 0);
    plan_draws(plan, card, l);

    // a short dump of the card ends inside a recording; the image is cut there
    ImageSink sink;
    sink.base = l.base;
    sink.size = sink.zero_from = l.base + volume_size;
    bool cut = false;
    for (PlacedRecording& p : card->placed)
        if (p.what.damage == Damage::truncate || p.what.damage == Damage::cut_media) {
            const Recording& r = p.rec;
            uint64_t at = p.what.damage == Damage::truncate ? r.mdat_end + r.moov_keep.size() / 2 : media_cut(r);
            sink.size = image_offset_of(*card, p, at);
            sink.zero_from = cut ? std::min(sink.zero_from, sink.size) : sink.size;
            cut = true;
            p.damage_begin = at;
            p.damage_end = r.file_size;
            p.lost = true;
        }
    card->image_size = sink.size;

    bool composed = false;
    if (plan.reformat) {
        // made in the volume file itself, formatted again, and no recording cluster may change
        ImageSink in_place{vol, 0, volume_size, volume_size};
        write_pass(plan, *card, l, vol, true, in_place);
        std::vector<uint64_t> before = recording_cluster_hashes(l, vol);
        close(vol);
        format_volume(vol_path, plan.cluster_kib);
        vol = open(vol_path.c_str(), O_RDONLY);
        if (vol < 0 || recording_cluster_hashes(l, vol) != before)
            die("formatting again touched a recording cluster");
        composed = true;
    }
    sink.fd = create_sized(path, 0);
    if (plan.partition) {
        Bytes head = mbr_for(volume_size);
        head.resize(l.base, 0);
        if (pwrite(sink.fd, head.data(), head.size(), 0) != ssize_t(head.size()))
            die("cannot write " + path);
    }
    write_pass(plan, *card, l, vol, !composed, sink);
    if (ftruncate(sink.fd, off_t(sink.size)) != 0 || close(sink.fd) != 0)
        die("cannot write " + path);
    close(vol);
    std::remove(vol_path.c_str());
    if (plan.look_alike && !card->placed.empty())
        plant_look_alikes(*card, path);

    if (plan.hold_recordings)
        for (PlacedRecording& p : card->placed) {
            p.rec.file.resize(p.rec.file_size);
            recording_bytes(p.rec, recording_video(p.rec.plan), 0, p.rec.file.data(), p.rec.file_size);
        }
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
