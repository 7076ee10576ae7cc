#pragma once
// The facts of the run gathered for the report as the stages hand them on, and the two report
// files written at the end: beside the recovered files, or into the working folder after an
// analysis. --no-salvage keeps to the documented outputs and writes neither.
#include "camera/camera_files.h"
#include "engine/driver.h"
#include "rebuild/clip_writer.h"
#include "salvage/salvage_attempts.h"

namespace engine {

int report_applies(const EngineOptions* options);

// The time since the last mark goes to stage `index` (0 for stage 1, ...).
void report_stage_done(RunState* state, int index);
// After stage 5: one record per clip header, with what the analysis knows of it.
void collect_analysis_facts(RunState* state);
// What the documented writer did with a clip.
void note_written_clip(RunState* state, const analysis::RecoveryClip* clip, const rebuild::ClipOutcome* outcome);
// The file-system pass's note on a recording (context: the RunState).
void note_camera_file(void* context, const camera::CameraNote* note);
// Salvage's note on a recording (context: the RunState).
void note_salvaged(void* context, const salvage::SalvageNote* note);
// The fates still open, hashes and first pictures of the written files, and both files.
void finish_report(RunState* state);

}  // namespace engine
