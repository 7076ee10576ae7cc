#include "engine/salvage_stage.h"

#include <cstdlib>

#include "analysis/movie_salvage.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "rebuild/salvage_writer.h"
#include "validator/loader.h"

namespace engine {

namespace {

// A sample the decode check refuses ends its chunk in the next attempt; a recording refused
// more often than this is given up.
constexpr int refused_sample_limit = 8;

int wanted(const RunState* s, size_t i)
{
    const EngineOptions* o = &s->options;
    return !s->clip_written[i] &&
           (o->clip_index == 0 || static_cast<int32_t>(s->clips.items[i].clip_number) == o->clip_index);
}

// One clip with its movie box: planned and written, and planned again with the chunk cut before
// a sample the decode check refused.
int salvage_movie_clip(RunState* s, const analysis::RecoveryClip* clip, size_t file_index, size_t file_count)
{
    uint64_t chunks = clip->movie ? clip->movie->video.chunk_count : 0;
    auto* limits = static_cast<uint64_t*>(basics::xmalloc((chunks ? chunks : 1) * sizeof(uint64_t)));
    for (uint64_t k = 0; k < chunks; k++)
        limits[k] = UINT64_MAX;
    int written = 0;
    const char* failure = "no video chunk found on the card";
    for (int attempt = 0; attempt <= refused_sample_limit; attempt++) {
        analysis::MovieSalvage salvage;
        if (!analysis::plan_movie_salvage(s->image, s->image_size, &s->geometry, clip, &s->markers, limits,
                                          &salvage)) {
            if (attempt)
                failure = "no video chunk left that decodes";
            break;
        }
        rebuild::SalvageResult result;
        written = rebuild::write_salvaged(s->image, s->image_size, &salvage.plan, s->destination,
                                          s->options.no_validator ? 0 : 1, file_index, file_count, &result);
        failure = result.failure;
        uint64_t chunk = 0, within = 0;
        int retry = !written && result.failing_sample != validator::no_failing_sample &&
                    analysis::chunk_of_kept_sample(&salvage, result.failing_sample, &chunk, &within);
        analysis::free_movie_salvage(&salvage);
        if (!retry)
            break;
        limits[chunk] = within;
    }
    // the block names every recording it tried, so the outcome goes with it to standard output
    if (!written)
        basics::out_printf("clip %d: salvage failed: %s\n", int(clip->clip_number),
                           failure ? failure : "no file written");
    std::free(limits);
    return written;
}

}  // namespace

int salvage_applies(const EngineOptions* o)
{
    return !o->no_salvage && !o->analysis_only && (o->recover_all || o->clip_index != 0);
}

size_t run_salvage(RunState* s)
{
    size_t candidates = 0;
    for (size_t i = 0; i < s->clips.count; i++)
        candidates += wanted(s, i);
    if (candidates == 0)
        return 0;
    basics::out_printf("\nSalvage: %zu recording%s the documented rules gave up on\n", candidates,
                       candidates == 1 ? "" : "s");
    // the files go on from the documented queue's numbers, so the window never sees a file
    // number beyond its total
    size_t total = s->files_handed + candidates, handed = s->files_handed, salvaged = 0;
    for (size_t i = 0; i < s->clips.count; i++)
        if (wanted(s, i))
            salvaged += salvage_movie_clip(s, &s->clips.items[i], ++handed, total);
    return salvaged;
}

}  // namespace engine
