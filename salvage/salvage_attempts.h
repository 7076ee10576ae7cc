#pragma once
// After the documented queue: the recordings it gave up on, salvaged where the card still holds
// their samples, in one block of lines before the summary. Each recording is planned, written
// and, when the decode check refuses a sample, planned again without it.
#include <cstddef>
#include <cstdint>

#include "salvage/salvage_plan.h"

namespace salvage {

// What became of one recording salvage tried, or of one of its later parts: its file, or why
// there is none, and the plan that was written or tried last (null when there was none), valid
// only during the call.
struct SalvageNote {
    uint32_t clip_number;
    uint32_t part;  // 0: the recording's first file; 2 and on: a later part
    int written;
    int has_movie;  // planned with its movie box
    const analysis::RecoveryClip* clip;  // the clip of that movie box; null: planned without one
    const char* final_path;
    const char* failure;
    const SalvagePlan* plan;
};
using SalvageNoteFn = void (*)(void* context, const SalvageNote* note);

struct SalvageRequest {
    SalvageCard card;
    const analysis::ClipList* clips;  // the documented queue's clips, with their movie boxes
    uint8_t* clip_written;            // one flag per clip: the documented writer wrote it (owned by the driver)
    // per clip the documented writer wrote, where it found each video chunk (UINT64_MAX: not
    // found), as many as the clip's movie box lists; null: not known (owned by the driver)
    uint64_t** written_at;
    // one flag per clip number (its header's index + 1): the documented writer wrote the clip with
    // every video chunk but with sound chunks it found nowhere left silent (owned by the driver)
    const uint8_t* sound_silent;
    size_t sound_silent_count;
    const char* destination;
    int validate;
    int32_t only_clip;    // 0: every recording the documented rules gave up on
    size_t files_before;  // files the documented queue handed out: salvaged files are numbered after them
    SalvageNoteFn note;   // told about every recording tried, when set
    void* note_context;
    // one flag per clip header (clip number - 1): the recording came back as the camera's own file
    const uint8_t* header_taken;
    size_t header_count;
};

// Salvages every recording of the request the documented writer did not write, and every one it
// wrote with sound left silent where the movie box places all of its sound; returns the files
// written. Prints nothing when there is no such recording.
size_t salvage_recordings(const SalvageRequest* request);

}  // namespace salvage
