#pragma once
// The pipeline driver: the six stages in their fixed order, the recovery queue and the summary.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "analysis/analysis_types.h"
#include "basics/growable.h"
#include "camera/camera_files.h"
#include "engine/options.h"
#include "image/exfat_detect.h"
#include "image/scan_index.h"
#include "report/file_hasher.h"
#include "report/report_facts.h"
#include "salvage/salvage_attempts.h"

namespace engine {

// One place a file the documented rules wrote took sound from: the report weighs those places
// against a salvaged file of the same recording.
struct WrittenSound {
    uint32_t clip_number;
    uint64_t chunk;  // 0 the first
    uint64_t image_offset;
    uint64_t length;
};
using WrittenSoundList = basics::Growable<WrittenSound, 16>;

struct RunState {
    EngineOptions options;
    std::FILE* image;
    uint64_t image_size;
    // the image's fingerprint, which names its scan cache, once taken
    uint64_t fingerprint;
    int fingerprint_taken;
    image::ImageGeometry geometry;
    image::ScanIndex scan;
    analysis::ClipHeaderList headers;
    analysis::MarkerList markers;
    analysis::MovieList movies;
    analysis::RunList runs;
    analysis::PairList pairs;
    analysis::ClipList clips;
    size_t recoverable_clips;
    char destination[1200];
    size_t videos_written;
    size_t joined_cuts;  // pieces of the salvaged files joined across a fragment boundary
    // what the documented queue leaves for salvage: which clips it wrote and how many files it
    // handed out, so that salvaged files are numbered after them
    salvage::SalvageRequest salvage;
    uint8_t* sound_silent;  // per clip number: written whole but with sound chunks left silent (`salvage` reads it)
    WrittenSoundList written_sound;
    // what the report shows, gathered as the stages run
    int argc;
    char** argv;
    double stage_mark;
    report::ReportFacts report;
    report::FileHasher* hasher;  // started with the first written file, when there is a report
    uint32_t scan_cache_hit;
    // the file-system pass: which recordings went back as the camera's files
    camera::CameraPass camera;
};

// Hands one queued clip to the writer; the result is 1 when the clip was written.
using ClipWriterFn = int (*)(RunState* state, const analysis::RecoveryClip* clip, size_t file_index,
                             size_t file_count);

// Number of clips the queue will hold ("Recovery queue: %zu file%s").
size_t recovery_queue_total(const EngineOptions* options, const analysis::ClipList* clips);
// Walks the clips in list order and hands the queued ones to `writer`; returns videos written.
size_t run_recovery_queue(RunState* state, size_t queue_total, ClipWriterFn writer);

// Runs stage 1 to the summary; the image stream is closed and everything released at the end.
void run_pipeline(RunState* state);
void free_run_state(RunState* state);

}  // namespace engine
