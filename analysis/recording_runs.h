#pragma once
// Stage [3/6]: sequence-zero runs, the whole-hour shift, pairing with movie boxes, and the
// 12-sample clips to rebuild.
#include "analysis/analysis_types.h"

namespace analysis {

// Prints the stage heading and its four lines; fills runs, pairs and the sorted clip list.
void build_recordings(const ClipHeaderList* headers, const MarkerList* markers, const MovieList* movies,
                      RunList* runs, PairList* pairs, ClipList* clips);

// 1 when a clip header at `header_offset` can be the one of a run whose first kkad box is at
// `run_start`: the camera writes the first marker within 2 MiB behind the header.
int header_reaches(uint64_t header_offset, uint64_t run_start);
void build_runs(const ClipHeaderList* headers, const MarkerList* markers, RunList* runs);
int choose_time_shift(const RunList* runs, const MovieList* movies);
void pair_runs(const RunList* runs, const MovieList* movies, int shift, PairList* pairs);
// 1 when the movie box can be the run's: it holds video made at the run's time, shifted by the
// card's whole hours.
int movie_made_at_run(const mp4::MovieInfo* movie, const RecordingRun* run, int shift);
// 1 when the movie box holds video in the camera's chunks of 12 samples, the clips rebuilt from
// their movie box; a paired box that does not (a fragment boundary cut it and the bytes behind the
// cut are another file's) leaves its recording to be found by content.
int movie_makes_clip(const mp4::MovieInfo* movie);
void select_clips(const PairList* pairs, const RunList* runs, const MovieList* movies,
                  const ClipHeaderList* headers, ClipList* clips);

void free_clips(ClipList* clips);

// The run's recording time; none for a clip without a run.
RecordingTime recording_time_of(const RecordingRun* run);

}  // namespace analysis
