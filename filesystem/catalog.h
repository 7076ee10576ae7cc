#pragma once
// Every file entry set the card still holds: the tree from the root directory, live and deleted
// sets in live and deleted folders, and the sets carved from the heap that no folder of the
// tree holds any longer (the old clip folder of a reformatted card).
#include <cstddef>
#include <cstdint>

#include "basics/growable.h"
#include "filesystem/entry_set.h"
#include "filesystem/fs_volume.h"
#include "image/scan_index.h"

namespace filesystem {

enum FileOrigin : uint32_t { origin_tree = 0, origin_carved = 1 };

constexpr size_t folder_path_capacity = 512;

struct FsFile {
    FileEntry entry;
    uint64_t set_offset;      // image offset of the file entry
    uint32_t origin;          // FileOrigin
    uint32_t folder_cluster;  // the cluster of the folder holding the set; 0 when no folder is known

    // "PRIVATE/M4ROOT/CLIP" (UTF-8, "/" between names): "" for the root; for a carved set the path
    // of the folder sets, carved too, that hold it, as far as they go back
    char folder[folder_path_capacity];
};

struct FsCatalog {
    basics::Growable<FsFile, 64> files;
    uint32_t folders_read;
};

// Reads the allocation bitmap and the up-case table named in the root directory into `v`.
void load_root_tables(FsVolume* v);
// Walks the tree from the root, then adds the sets at `set_hits` (file entries the raw scan
// found at 32-byte steps) that the walk did not meet.
void build_catalog(const FsVolume* v, const image::OffsetList* set_hits, FsCatalog* out);
void free_catalog(FsCatalog* c);

// The up-case function parse_entry_set takes, over a volume.
uint16_t volume_upcase(const void* volume, uint16_t unit);

// Walks the entries of one folder's bytes (as many as `bytes` holds) and appends every accepted
// set; slot_offsets holds the image offset of every 32-byte slot. Returns the sets found.
size_t read_folder_sets(const FsVolume* v, const uint8_t* bytes, size_t n, const uint64_t* slot_offsets,
                        uint32_t folder_cluster, const char* folder, FsCatalog* out);

}  // namespace filesystem
