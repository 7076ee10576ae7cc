// A small exFAT writer: directories and the entry sets in them, kept as slots until `write_tree`
// puts the directory clusters, the FAT chains and the allocation bitmap into the volume. Sets are
// written in the order they were made, so a newer set laid over the slots of an older one leaves
// what a reused directory slot leaves on a card.
#pragma once
#include "tools/mkcard_exfat.h"

#include <functional>
#include <string>
#include <utility>

namespace mkcard {

struct ClusterRun {
    uint32_t first = 0;   // cluster number, from 2
    uint32_t count = 0;
};

struct FsEntry {
    std::string path;             // from the root, UTF-8: "PRIVATE/M4ROOT/CLIP/C0001.MP4"
    std::string kind;             // clip, sidecar, thumbnail, index, directory, stale, twin
    int recording = -1;           // the placed recording whose bytes the file holds
    EntrySetFields fields;
    std::vector<ClusterRun> runs; // where the file's bytes lie, in file order
    Bytes content;                // the bytes of a small file, written into its runs
    size_t dir = 0;               // index in FsTree::dirs of the directory holding the set
    size_t slot = 0;              // its first slot there
    uint32_t entries_written = 0; // 0: the whole set; fewer when a write was cut short
    bool in_use = true;
    bool fat_chain_written = true;
    bool set_intact = true;       // checksum, name hash and secondary count hold on the card
    bool trusted = true;          // the set's extent gives the file's own bytes
    std::string fat = "none";     // what the FAT says of it: none (NoFatChain), chain, zeroed, ...
};

struct FsDirectory {
    size_t entry = 0;             // its own entry in FsTree::entries (the root has none)
    std::vector<uint32_t> clusters;
    size_t end_slot = 0;          // the first slot no set has used
};

struct FsTree {
    ExfatVolume volume;
    Bytes root_slots;                    // the root directory as mkfs.exfat left it
    std::vector<FsDirectory> dirs;       // [0] is the root
    std::vector<FsEntry> entries;
    std::vector<std::pair<uint32_t, uint32_t>> fat_overrides;  // FAT entries set last
    std::function<uint32_t()> allocate;  // the next free cluster for a growing directory
};

// The tree of the volume at `fd` as formatted: the root directory alone.
FsTree open_tree(int fd);

// Slots a set of a name of `units` UTF-16 units takes.
size_t set_slots(size_t units);

// Adds the set of `e` to directory `dir` at its end, or from `slot` on when given (over older
// sets); returns the entry's index. A directory grows by a cluster when the set does not fit.
size_t add_entry(FsTree& t, size_t dir, FsEntry e, size_t slot = SIZE_MAX);

// Makes directory `name` in `dir` in cluster `cluster`; returns its index in FsTree::dirs.
size_t add_directory(FsTree& t, size_t dir, const std::string& name, const EntryTime& when, uint32_t cluster);

// Writes every directory cluster, small file, FAT chain and bitmap bit of the tree into the volume.
void write_tree(FsTree& t, int fd);

// Runs of the cluster numbers `clusters`, in their order.
std::vector<ClusterRun> runs_of(const std::vector<uint32_t>& clusters);

} // namespace mkcard
