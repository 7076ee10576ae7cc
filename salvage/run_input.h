#pragma once
// What the plan of a recording without its movie box starts from: its clip header, its run of
// kkad boxes and what the card's movie boxes prove of the camera (its clock, its sound format).
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "salvage/chunk_sound.h"
#include "salvage/pcm_format.h"
#include "salvage/salvage_chunks.h"
#include "salvage/salvage_plan.h"

namespace salvage {

struct RunInput {
    std::FILE* image;
    uint64_t image_size;
    const image::ImageGeometry* geometry;
    analysis::ClipHeader header;  // a copy: a cut recording's header is in no list
    const analysis::RecordingRun* run;
    int decode_check;
    const analysis::KkadMarker* markers;
    uint64_t marker_count;
    const analysis::MovieList* movies;
    uint64_t between_hint;
    SoundClock clock;  // video_timescale 0: none proven
    PcmFormat pcm;
    uint64_t creation_time;
    RefusedSamples refused;
    OthersPieces others;
};

// The run's input when it is a recording with a clip header and no movie box; its markers are
// gathered into `own`; 0 for a run that has a movie box paired with it, no clip header or no kkad
// box of its own.
int run_input(const SalvageCard* card, int shift, size_t r, analysis::MarkerList* own, RunInput* in,
              uint32_t* clip_number);

}  // namespace salvage
