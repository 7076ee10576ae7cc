#pragma once
// The movie box a recording's record shows: the one the analysis paired with
// its clip header, or the one salvage built its file from where that differs.
#include "engine/driver.h"
#include "report/report_facts.h"

namespace engine {

// The facts a clip's movie box gives its record.
void fill_movie_facts(report::RecordingFacts *r,
                      const analysis::RecoveryClip *clip);
// Why the analysis leaves a clip as it is: its missing chunks, or that nothing
// asked for it.
void analysis_verdict(RunState *s, report::RecordingFacts *r,
                      const analysis::RecoveryClip *clip);
// A file salvage built from a movie box the scan paired with another clip
// header: the record shows that box, and the other record no more.
void take_movie_of_file(RunState *s, report::RecordingFacts *r,
                        const analysis::RecoveryClip *clip);

// A movie box salvage put back together from two runs, which the analysis
// read whole from its first byte: the record draws it where its two pieces lie.
void draw_cut_movie(RunState *s, uint32_t index, const mp4::MovieInfo *m);

} // namespace engine
