// The camera's file tree on a card: PRIVATE/M4ROOT with CLIP (each recording as C0001.MP4 and its
// C0001M01.XML), THMBNL (C0001T01.JPG) and MEDIAPRO.XML, written over the placed recordings'
// own clusters, then left live, deleted or with the traces a card's history leaves.
#pragma once
#include "tools/mkcard_card.h"
#include "tools/mkcard_sidecar.h"

#include <functional>

namespace mkcard {

struct CameraTree {
    FsTree fs;
    size_t m4root = 0, clip_dir = 0, thumb_dir = 0;
    uint32_t reserved_next = 0;           // the folders' clusters, right behind the root directory
    uint32_t clip_counter = 0;
    EntryTime folder_time;
    std::vector<std::pair<std::string, size_t>> clips;  // clip name and placed recording
    std::vector<uint32_t> kept;           // every cluster the tree's files and folders hold
};

// The folders, in the clusters behind the root directory of the volume at `fd`; `allocate` gives
// the next free cluster in the order the camera writes.
CameraTree begin_camera_tree(int fd, const CardPlan& plan, std::function<uint32_t()> allocate);

// The entry sets of recording `k` of the card (already placed) and its sidecar files, in clusters
// from `allocate`.
void add_clip_files(CameraTree& t, const CardPlan& plan, const Card& card, size_t k);

// The clip index, the card's state and the faults of its plan; writes the tree into the volume
// at `fd` and keeps it in `card` for the truth.
void finish_camera_tree(CameraTree& t, const CardPlan& plan, Card* card, int fd);

} // namespace mkcard
