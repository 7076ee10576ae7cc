// The catalog of entry sets. Folders are read through their extents (the root through its FAT
// chain, whose end is the folder's end), each folder once; the walk goes into deleted folders too,
// whose clusters must then be free. Folder names become the path shown for each file.
#include "filesystem/catalog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "filesystem/extent.h"
#include "image/read_at.h"

namespace filesystem {

namespace {

// The largest folder exFAT allows, and how deep the walk goes.
constexpr uint64_t max_folder_bytes = 256ull * 1024 * 1024;
constexpr size_t max_depth = 16;
constexpr size_t max_folders = 4096;
constexpr uint8_t bitmap_type = 0x81, upcase_type = 0x82;

struct Folder {
    uint32_t first_cluster;
    uint64_t length;  // 0: follow the FAT chain to its end (the root)
    uint32_t no_fat_chain;
    uint32_t live;
    size_t depth;
    std::vector<char> path;
};

// The root's chain: FAT entries to the end mark, refused on a loop or a broken link.
int root_extent(const FsVolume* v, Extent* out)
{
    *out = Extent{};
    uint32_t c = v->root_cluster;
    uint64_t limit = max_folder_bytes / v->cluster_bytes + 1;
    std::unordered_set<uint32_t> held;
    for (uint64_t i = 0; i < limit && out->length < v->image_size; i++) {
        if (!cluster_in_range(v, c))
            break;
        basics::list_append(&out->runs, ClusterRun{c, 1});
        held.insert(c);
        out->length += v->cluster_bytes;
        uint32_t next = 0;
        if (!fat_entry(v, c, &next) || next == fat_end || held.count(next))
            break;  // the end, or a loop: the folder ends where it would repeat
        c = next;
    }
    return out->runs.count > 0;
}

// The folder's bytes and the image offset of each slot; 0 when nothing could be read.
int read_folder(const FsVolume* v, const Extent* e, std::vector<uint8_t>* bytes, std::vector<uint64_t>* slots)
{
    uint64_t n = e->length < max_folder_bytes ? e->length : max_folder_bytes;
    if (n > v->image_size)
        return 0;
    n -= n % entry_bytes;
    if (n == 0)
        return 0;
    bytes->assign(static_cast<size_t>(n), 0);
    if (!extent_read(v, e, 0, bytes->data(), n))
        return 0;
    slots->resize(static_cast<size_t>(n / entry_bytes));
    for (size_t i = 0; i < slots->size(); i++) {
        uint64_t at = 0, span = 0;
        extent_image_offset(v, e, uint64_t(i) * entry_bytes, &at, &span);
        (*slots)[i] = at;
    }
    return 1;
}

// Reads a table the root names (bitmap or up-case) through its FAT chain or its one run.
uint8_t* read_table(const FsVolume* v, const uint8_t* entry, uint64_t* length)
{
    uint32_t first = basics::load_le32(entry + 20);
    uint64_t len = basics::load_le64(entry + 24);
    if (len == 0 || len > max_folder_bytes)
        return nullptr;
    Extent e;
    if (file_extent(v, first, len, 0, 1, &e) != extent_ok &&
        file_extent(v, first, len, 1, 1, &e) != extent_ok)
        return nullptr;
    auto* buf = static_cast<uint8_t*>(basics::xmalloc(static_cast<size_t>(len)));
    int ok = extent_read(v, &e, 0, buf, len);
    free_extent(&e);
    if (!ok) {
        std::free(buf);
        return nullptr;
    }
    *length = len;
    return buf;
}

uint32_t table_checksum(const uint8_t* p, uint64_t n)
{
    uint32_t sum = 0;
    for (uint64_t i = 0; i < n; i++)
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + p[i];
    return sum;
}

// The compressed up-case table: 0xFFFF and a count stand for that many units mapped to themselves.
uint16_t* expand_upcase(const uint8_t* p, uint64_t n)
{
    auto* table = static_cast<uint16_t*>(basics::xmalloc(65536 * sizeof(uint16_t)));
    uint32_t unit = 0;
    for (uint64_t i = 0; i + 1 < n && unit < 65536; i += 2) {
        uint16_t value = basics::load_le16(p + i);
        if (value == 0xFFFF && i + 3 < n) {
            uint32_t skip = basics::load_le16(p + i + 2);
            for (uint32_t k = 0; k < skip && unit < 65536; k++, unit++)
                table[unit] = static_cast<uint16_t>(unit);
            i += 2;
        } else {
            table[unit++] = value;
        }
    }
    for (; unit < 65536; unit++)
        table[unit] = static_cast<uint16_t>(unit);
    return table;
}

void append_name(std::vector<char>* path, const FileEntry* f)
{
    char name[4 * max_name_units + 1];
    name_utf8(f->name, f->name_units, name, sizeof name);
    if (!path->empty())
        path->push_back('/');
    path->insert(path->end(), name, name + std::strlen(name));
}

// The folder of a carved set: the folder set (carved or from the tree) whose clusters hold it, its own
// folder before its name; empty when no set names the cluster.
void carved_folder(const FsVolume* v, FsCatalog* c, size_t i, size_t depth)
{
    FsFile* f = &c->files.items[i];
    uint32_t cluster = cluster_at(v, f->set_offset);
    for (size_t d = 0; d < c->files.count && depth < max_depth; d++) {
        FsFile* dir = &c->files.items[d];
        uint64_t clusters = dir->entry.data_length / v->cluster_bytes + 1;
        if (d == i || !dir->entry.directory || cluster < dir->entry.first_cluster ||
            cluster - dir->entry.first_cluster >= (dir->entry.no_fat_chain ? clusters : 1))
            continue;
        if (dir->origin == origin_carved && dir->folder_cluster == 0)
            carved_folder(v, c, d, depth + 1);
        char name[4 * max_name_units + 1];
        name_utf8(dir->entry.name, dir->entry.name_units, name, sizeof name);
        std::snprintf(f->folder, sizeof f->folder, "%s%s%s", dir->folder, dir->folder[0] ? "/" : "", name);
        f->folder_cluster = cluster;
        return;
    }
}

}  // namespace

uint16_t volume_upcase(const void* volume, uint16_t unit)
{
    return upcase_unit(static_cast<const FsVolume*>(volume), unit);
}

void load_root_tables(FsVolume* v)
{
    Extent root;
    if (!root_extent(v, &root))
        return;
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> slots;
    if (read_folder(v, &root, &bytes, &slots)) {
        for (size_t at = 0; at + entry_bytes <= bytes.size() && bytes[at] != 0; at += entry_bytes) {
            const uint8_t* e = bytes.data() + at;
            uint64_t len = 0;
            if (e[0] == bitmap_type && !v->bitmap && (e[1] & 1) == v->active_fat) {
                uint8_t* bitmap = read_table(v, e, &len);
                if (bitmap && len * 8 >= v->cluster_count) {
                    v->bitmap = bitmap;
                    v->bitmap_bytes = len;
                } else {
                    std::free(bitmap);
                }
            } else if (e[0] == upcase_type && !v->upcase) {
                uint8_t* table = read_table(v, e, &len);
                if (table && table_checksum(table, len) == basics::load_le32(e + 4))
                    v->upcase = expand_upcase(table, len);
                std::free(table);
            }
        }
    }
    free_extent(&root);
}

size_t read_folder_sets(const FsVolume* v, const uint8_t* bytes, size_t n, const uint64_t* slot_offsets,
                        uint32_t folder_cluster, const char* folder, FsCatalog* out)
{
    size_t found = 0;
    for (size_t at = 0; at + entry_bytes <= n && bytes[at] != 0;) {
        FsFile file = {};
        if (parse_entry_set(bytes + at, n - at, volume_upcase, v, v->cluster_count, &file.entry)) {
            file.set_offset = slot_offsets[at / entry_bytes];
            file.origin = origin_tree;
            file.folder_cluster = folder_cluster;
            std::snprintf(file.folder, sizeof file.folder, "%s", folder);
            basics::list_append(&out->files, file);
            found++;
            at += file.entry.entries * entry_bytes;
        } else {
            at += entry_bytes;
        }
    }
    return found;
}

void build_catalog(const FsVolume* v, const image::OffsetList* set_hits, FsCatalog* out)
{
    std::vector<Folder> queue;
    queue.push_back(Folder{v->root_cluster, 0, 0, 1, 0, {}});
    std::unordered_set<uint32_t> seen;
    for (size_t q = 0; q < queue.size() && q < max_folders; q++) {
        Folder folder = queue[q];
        if (!seen.insert(folder.first_cluster).second)
            continue;
        Extent e;
        if (folder.length == 0 ? !root_extent(v, &e)
                               : file_extent(v, folder.first_cluster, folder.length, folder.no_fat_chain,
                                             folder.live, &e) != extent_ok)
            continue;
        std::vector<uint8_t> bytes;
        std::vector<uint64_t> slots;
        if (read_folder(v, &e, &bytes, &slots)) {
            out->folders_read++;
            folder.path.push_back(0);
            size_t before = out->files.count;
            read_folder_sets(v, bytes.data(), bytes.size(), slots.data(), folder.first_cluster, folder.path.data(),
                             out);
            folder.path.pop_back();
            for (size_t i = before; i < out->files.count && folder.depth + 1 < max_depth; i++) {
                const FileEntry* f = &out->files.items[i].entry;
                if (!f->directory || f->data_length == 0)
                    continue;
                Folder sub{f->first_cluster, f->data_length, f->no_fat_chain, f->live, folder.depth + 1, folder.path};
                append_name(&sub.path, f);
                queue.push_back(sub);
            }
        }
        free_extent(&e);
    }
    if (!set_hits)
        return;
    size_t tree_files = out->files.count;
    std::vector<uint64_t> known(tree_files);
    for (size_t i = 0; i < tree_files; i++)
        known[i] = out->files.items[i].set_offset;
    std::sort(known.begin(), known.end());
    uint8_t set[max_set_entries * entry_bytes];
    for (size_t h = 0; h < set_hits->count; h++) {
        uint64_t at = set_hits->items[h];
        if (at < v->heap_offset || std::binary_search(known.begin(), known.end(), at))
            continue;
        uint64_t n = v->image_size - at < sizeof set ? v->image_size - at : sizeof set;
        FsFile file = {};
        if (n < 3 * entry_bytes || !image::read_at(v->image, at, set, n) ||
            !parse_entry_set(set, static_cast<size_t>(n), volume_upcase, v, v->cluster_count, &file.entry))
            continue;
        file.set_offset = at;
        file.origin = origin_carved;
        basics::list_append(&out->files, file);
    }
    for (size_t i = tree_files; i < out->files.count; i++)
        if (out->files.items[i].folder_cluster == 0)
            carved_folder(v, out, i, 0);
}

void free_catalog(FsCatalog* c)
{
    basics::list_free(&c->files);
    c->folders_read = 0;
}

}  // namespace filesystem
