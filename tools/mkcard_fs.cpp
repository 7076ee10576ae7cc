#include "tools/mkcard_fs.h"

#include <algorithm>
#include <map>

namespace mkcard {

namespace {

// The FAT and bitmap pages the tree touches, read once and written back once: a card of any size
// costs only the pages its files' chains and clusters fall in.
struct PagePatch {
    static constexpr uint64_t page_bytes = 4096;
    int fd = -1;
    std::map<uint64_t, Bytes> pages;
    uint8_t* at(uint64_t offset)
    {
        uint64_t page = offset / page_bytes;
        auto it = pages.find(page);
        if (it == pages.end()) {
            it = pages.emplace(page, Bytes(page_bytes)).first;
            read_at(fd, page * page_bytes, it->second.data(), page_bytes);
        }
        return it->second.data() + offset % page_bytes;
    }
    void flush()
    {
        for (auto& [page, bytes] : pages)
            write_at(fd, page * page_bytes, bytes.data(), page_bytes);
    }
};

void set_fat(const ExfatVolume& v, PagePatch& patch, uint32_t cluster, uint32_t next)
{
    if (cluster < 2 || cluster - 2 >= v.cluster_count)
        die("a FAT entry outside the volume");
    for (uint32_t f = 0; f < v.fats; f++)
        set_le32(patch.at(v.fat_offset + f * v.fat_bytes + uint64_t(cluster) * 4), next);
}

void write_chain(const ExfatVolume& v, PagePatch& patch, const std::vector<ClusterRun>& runs)
{
    uint32_t last = 0;
    for (const ClusterRun& r : runs)
        for (uint32_t c = r.first; c < r.first + r.count; c++) {
            if (last)
                set_fat(v, patch, last, c);
            last = c;
        }
    if (last)
        set_fat(v, patch, last, fat_end_of_chain);
}

void mark_allocated(const ExfatVolume& v, PagePatch& patch, const std::vector<ClusterRun>& runs)
{
    for (const ClusterRun& r : runs)
        for (uint32_t c = r.first; c < r.first + r.count; c++) {
            uint64_t bit = c - 2;
            *patch.at(v.cluster_offset(v.bitmap_cluster) + bit / 8) |= static_cast<uint8_t>(1u << (bit % 8));
        }
}

// The directory's clusters as its sets made them, oldest first.
Bytes directory_bytes(const FsTree& t, size_t d)
{
    const FsDirectory& dir = t.dirs[d];
    Bytes b = d == 0 ? t.root_slots : Bytes(dir.clusters.size() * t.volume.cluster_bytes, 0);
    for (const FsEntry& e : t.entries) {
        if (e.dir != d)
            continue;
        Bytes set = make_entry_set(e.fields, t.volume.upcase);
        size_t n = e.entries_written ? e.entries_written : set.size() / entry_bytes;
        for (size_t k = 0; k < n; k++) {
            uint8_t* slot = set.data() + k * entry_bytes;
            if (!e.in_use)
                slot[0] &= static_cast<uint8_t>(~entry_in_use);
            std::copy(slot, slot + entry_bytes, b.begin() + (e.slot + k) * entry_bytes);
        }
    }
    return b;
}

} // namespace

std::vector<ClusterRun> runs_of(const std::vector<uint32_t>& clusters)
{
    std::vector<ClusterRun> runs;
    for (uint32_t c : clusters)
        if (!runs.empty() && runs.back().first + runs.back().count == c)
            runs.back().count++;
        else
            runs.push_back(ClusterRun{c, 1});
    return runs;
}

FsTree open_tree(int fd)
{
    FsTree t;
    t.volume = read_exfat_volume(fd);
    t.root_slots.resize(t.volume.cluster_bytes);
    read_at(fd, t.volume.cluster_offset(t.volume.root_cluster), t.root_slots.data(), t.root_slots.size());
    FsDirectory root;
    root.clusters.push_back(t.volume.root_cluster);
    while (root.end_slot * entry_bytes < t.root_slots.size() && t.root_slots[root.end_slot * entry_bytes])
        root.end_slot++;
    t.dirs.push_back(root);
    return t;
}

size_t set_slots(size_t units) { return 2 + (units + name_units_per_entry - 1) / name_units_per_entry; }

size_t add_entry(FsTree& t, size_t d, FsEntry e, size_t slot)
{
    FsDirectory& dir = t.dirs[d];
    if (slot == SIZE_MAX)
        slot = dir.end_slot;
    size_t end = slot + set_slots(e.fields.name.size());
    while (end * entry_bytes > dir.clusters.size() * t.volume.cluster_bytes) {
        if (d == 0 || !t.allocate)
            die("the root directory is full");
        dir.clusters.push_back(t.allocate());
    }
    dir.end_slot = std::max(dir.end_slot, end);
    e.dir = d;
    e.slot = slot;
    t.entries.push_back(std::move(e));
    return t.entries.size() - 1;
}

size_t add_directory(FsTree& t, size_t d, const std::string& name, const EntryTime& when, uint32_t cluster)
{
    FsEntry e;
    e.path = (d == 0 ? "" : t.entries[t.dirs[d].entry].path + "/") + name;
    e.kind = "directory";
    e.fields.name = utf16_of(name);
    e.fields.attributes = attribute_directory;
    e.fields.created = e.fields.modified = when;
    e.fat = "chain";
    FsDirectory dir;
    dir.entry = add_entry(t, d, e);
    dir.clusters.push_back(cluster);
    t.dirs.push_back(dir);
    return t.dirs.size() - 1;
}

void write_tree(FsTree& t, int fd)
{
    const ExfatVolume& v = t.volume;
    // a directory's set names its clusters, known only now that every set is in
    for (size_t d = 1; d < t.dirs.size(); d++) {
        FsEntry& e = t.entries[t.dirs[d].entry];
        e.runs = runs_of(t.dirs[d].clusters);
        e.fields.first_cluster = t.dirs[d].clusters[0];
        e.fields.data_length = e.fields.valid_data_length = t.dirs[d].clusters.size() * v.cluster_bytes;
    }
    for (size_t d = 0; d < t.dirs.size(); d++) {
        Bytes b = directory_bytes(t, d);
        for (size_t k = 0; k < t.dirs[d].clusters.size(); k++)
            write_at(fd, v.cluster_offset(t.dirs[d].clusters[k]), b.data() + k * v.cluster_bytes, v.cluster_bytes);
    }
    PagePatch patch{fd, {}};
    for (const FsEntry& e : t.entries) {
        uint64_t at = 0;
        for (const ClusterRun& r : e.runs) {
            uint64_t n = std::min<uint64_t>(e.content.size() - at, uint64_t(r.count) * v.cluster_bytes);
            if (n)
                write_at(fd, v.cluster_offset(r.first), e.content.data() + at, n);
            at += n;
        }
        if (!e.fields.no_fat_chain && e.fat_chain_written)
            write_chain(v, patch, e.runs);
        if (e.in_use && e.set_intact)
            mark_allocated(v, patch, e.runs);
    }
    for (const auto& [cluster, next] : t.fat_overrides)
        set_fat(v, patch, cluster, next);
    patch.flush();
}

} // namespace mkcard
