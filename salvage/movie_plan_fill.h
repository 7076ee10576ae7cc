#pragma once
// The salvage plan of a clip with its movie box, from the samples its planner keeps: the tracks'
// stream settings and sample tables, and the pieces in the order the writer lays them out.
#include "mp4/movie_box.h"
#include "salvage/movie_planner.h"
#include "salvage/salvage_plan.h"

namespace salvage {

// Stream settings of a track from the movie box; 0 when they do not read.
int describe_track(const mp4::MovieInfo* m, const mp4::TrackTables* t, const char* handler, SalvageTrack* out);

// The plan's sample tables and pieces from the kept samples.
void fill_plan(const MoviePlanner* p, int with_sound, SalvagePlan* plan);

}  // namespace salvage
