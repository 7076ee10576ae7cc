#pragma once
// The movie box of a salvaged file: new sample tables for the samples the plan keeps, every piece
// one chunk at the file offset the writer gave it, the gaps closed so the clip plays straight on.
#include <cstdint>

#include "salvage/salvage_plan.h"

namespace salvage {

struct SalvageMoov {
    uint8_t* bytes;
    uint64_t length;
};

// Builds the movie box for `plan` with piece i at file offset piece_offsets[i]; 0 when the plan
// does not make a playable movie (no video kept, a sample entry too short to read).
int build_salvage_moov(const SalvagePlan* plan, const uint64_t* piece_offsets, SalvageMoov* out);
void free_salvage_moov(SalvageMoov* moov);

// 1 when the track goes into the salvaged file: video whenever the movie can be made, sound
// when it has kept samples and a sample entry to describe them.
int salvage_track_written(const SalvagePlan* plan, uint32_t track);
// Duration of a track's kept samples in its own time scale.
uint64_t salvage_track_duration(const SalvageTrack* track);

}  // namespace salvage
