// The card image: a real exFAT volume with the recordings written straight into heap clusters
// (no directory entries), optionally inside an MBR partition, then damaged as asked.
#pragma once
#include "tools/mkcard_fs.h"
#include "tools/mkcard_recording.h"

#include <string>

namespace mkcard {

struct Placement {
    uint32_t gap_clusters = 0;   // free clusters left before the recording
    uint32_t extents = 1;        // >1: cut at cluster boundaries inside sound chunks, written out of order
    bool cut_video = false;      // cut inside video chunks instead
    // >0: written at once with the next recording, their clusters alternating in runs of this many
    uint32_t alternate_runs = 0;
    uint32_t second_runs = 0;  // >0: the next recording's runs are this many clusters instead
    uint32_t at_once = 2;      // with alternate_runs: this many recordings, from this one on, take runs in turn
    // >0: every run's length is drawn from 1 to twice its given length less one, from this seed,
    // as two files that write at their own pace get clusters
    uint64_t jitter_seed = 0;
    // >0 with alternate_runs: the two begin this many clusters before the heap's end and go on at
    // the first free cluster, so that a run boundary falls at the card's last cluster
    uint32_t wrap_clusters = 0;
};

// The camera's file tree on a card and what became of it. none: no directory entries at all;
// live: as the camera left it; deleted: the clip files deleted as Linux deletes (every entry's
// InUse bit and the bitmap cleared, the FAT left); deleted_fat_zeroed: their FAT chains zeroed
// too; deleted_tree: the whole PRIVATE folder deleted as Linux deletes it, files first; formatted: formatted again over the live tree (mkfs.exfat rewrites the FAT, the bitmap and
// the first root cluster, the clip folder's clusters survive).
enum class FsState { none, live, deleted, deleted_fat_zeroed, deleted_tree, formatted };

// What became of a deleted fragmented file's FAT chain: it loops back to the file's start, or it
// runs into another recording's clusters.
enum class ChainFault { none, loop, into_other };

struct FsPlan {
    FsState state = FsState::none;
    int stale_first_cluster = -1;  // a recording whose first cluster an older deleted clip named too
    int slot_reuse = -1;           // a recording whose set lies over an older deleted set's first slots
    int torn_set = -1;             // a recording whose set was cut short after its file entry
    int counter_reset = -1;        // the camera's file number was reset before this recording
    bool twin_sets = false;        // every clip has a deleted twin: another name, the same clusters and
                                   // size, modified earlier or later, before or after it in the folder
};

// hole: the first half of the middle video chunk overwritten; moov_lost: the movie box
// overwritten; truncate: the image ends inside the movie box; power_loss: the camera stopped
// inside a video chunk two thirds in (no movie box, the media data box never closed, the rest of
// the file's clusters hold old bytes); cut_media: the image ends inside that chunk;
// cluster_hole: a few whole clusters from the middle of the middle video chunk on overwritten.
enum class Damage { none, hole, moov_lost, truncate, power_loss, cut_media, cluster_hole };

struct CardRecording {
    std::string name;
    RecordingPlan plan;
    Placement placement;
    Damage damage = Damage::none;
    std::string file_name;       // the clip's name on a card with a file tree; empty: the camera's
    ChainFault chain_fault = ChainFault::none;
    bool file_deleted = false;   // its files deleted (as Linux deletes) from a live tree
};

struct CardPlan {
    uint32_t size_mib = 32;
    uint32_t cluster_kib = 32;
    bool partition = false;
    bool random_free = false;
    bool reformat = false;
    uint64_t seed = 1;
    // every recording's bytes kept in PlacedRecording::rec.file for a test to compare with; the
    // generator itself holds none and writes a card of any size through one small buffer
    bool hold_recordings = true;
    // hostile: behind the head of every video chunk of the first recording that a run boundary
    // cuts, the cluster there begins with the chunk's own rest up to its next NAL length field, so
    // the chunk read on in one piece fits that length and nothing after it
    bool look_alike = false;
    std::vector<CardRecording> recordings;
    FsPlan fs;
};

// A recording as it lies on the card.
struct PlacedRecording {
    CardRecording what;
    Recording rec;
    std::vector<uint64_t> cluster_image_offset;  // image offset of every cluster of the file
    uint64_t damage_begin = 0, damage_end = 0;    // file range made unknown by damage
    bool lost = false;                            // its movie box is gone
};

struct Card {
    uint64_t cluster_bytes = 0;
    uint64_t image_size = 0;
    std::vector<PlacedRecording> placed;          // in the order given
    uint64_t volume_offset = 0;                   // where the volume starts in the image
    FsState fs_state = FsState::none;
    FsTree fs;                                    // the file tree as written, for the truth
};

// Writes `path` and fills `card`; dies on any tool failure.
void make_card(const CardPlan& plan, const std::string& path, const std::string& scratch_dir, Card* card);

// Image offset of byte `file_offset` of a placed recording.
uint64_t image_offset_of(const Card& card, const PlacedRecording& p, uint64_t file_offset);

// 1 when file bytes [begin, end) of a placed recording lie in one piece in the image.
int contiguous_in_image(const Card& card, const PlacedRecording& p, uint64_t begin, uint64_t end);

} // namespace mkcard
