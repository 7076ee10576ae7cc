// The file-system reader on hostile bytes: the input read as one folder, and as a whole card
// whose boot sector, FAT, bitmap and folders may hold anything (loops, huge counts, bad
// checksums). Every accepted set checks out against its own bytes, and every extent the reader
// trusts lies in the heap, holds the file's length and no cluster twice.
#include <algorithm>
#include <vector>

#include "filesystem/catalog.h"
#include "filesystem/extent.h"
#include "fuzz/fuzz_support.h"
#include "image/signature_search.h"

using namespace filesystem;

namespace {

void check_sets(const uint8_t* data, size_t size)
{
    FsVolume plain = {};
    plain.cluster_count = 1u << 20, plain.cluster_bytes = 4096;
    size_t n = size - size % entry_bytes;
    std::vector<uint64_t> slots(n / entry_bytes + 1);
    for (size_t i = 0; i < slots.size(); i++)
        slots[i] = i * entry_bytes;
    FsCatalog c = {};
    read_folder_sets(&plain, data, n, slots.data(), 0, "", &c);
    for (size_t i = 0; i < c.files.count; i++) {
        const FsFile* f = &c.files.items[i];
        const uint8_t* set = data + f->set_offset;
        if (f->set_offset + f->entry.entries * entry_bytes > n)
            fuzz::broken("an accepted set lies inside the folder");
        if (set_checksum(set, f->entry.entries) != uint16_t(set[2] | set[3] << 8))
            fuzz::broken("an accepted set has its checksum");
        if (f->entry.name_units == 0 || f->entry.name_units > max_name_units)
            fuzz::broken("an accepted name has 1 to 255 units");
    }
    free_catalog(&c);
}

void check_card(const uint8_t* data, size_t size)
{
    std::FILE* image = fuzz::open_image(data, size);
    FsVolume v;
    if (!image || !open_volume(image, size, 0, &v)) {
        if (image)
            std::fclose(image);
        return;
    }
    load_root_tables(&v);
    image::ScanIndex hits = {};
    image::scan_entry_sets(data, size, 0, &hits);
    FsCatalog c = {};
    build_catalog(&v, &hits.set_hits, &c);
    for (size_t i = 0; i < c.files.count; i++) {
        const FileEntry* f = &c.files.items[i].entry;
        Extent e;
        if (file_extent(&v, f->first_cluster, f->data_length, f->no_fat_chain, f->live, &e) != extent_ok)
            continue;
        uint64_t clusters = 0;
        std::vector<ClusterRun> runs(e.runs.items, e.runs.items + e.runs.count);
        for (const ClusterRun& r : runs) {
            if (!cluster_in_range(&v, r.first) || !cluster_in_range(&v, uint64_t(r.first) + r.count - 1))
                fuzz::broken("a trusted extent lies in the heap");
            clusters += r.count;
        }
        if (f->data_length > 0 && clusters != (f->data_length - 1) / v.cluster_bytes + 1)
            fuzz::broken("a trusted extent holds exactly the file's clusters");
        std::sort(runs.begin(), runs.end(), [](const ClusterRun& a, const ClusterRun& b) { return a.first < b.first; });
        for (size_t r = 1; r < runs.size(); r++)
            if (uint64_t(runs[r - 1].first) + runs[r - 1].count > runs[r].first)
                fuzz::broken("a trusted extent holds no cluster twice");
        uint8_t head[64];
        extent_read(&v, &e, 0, head, f->data_length < sizeof head ? f->data_length : sizeof head);
        free_extent(&e);
    }
    free_catalog(&c);
    image::free_scan_index(&hits);
    close_volume(&v);
    std::fclose(image);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    check_sets(data, size);
    check_card(data, size);
    return 0;
}
