#include "engine/salvage_stage.h"

#include <cstdlib>

#include "analysis/movie_salvage.h"
#include "analysis/salvage_tables.h"
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

// A recording with no movie box on the card, planned from the card itself, and planned again
// without a sample the decode check refused.
int salvage_planned(RunState* s, const analysis::SalvageCard* card, analysis::SalvageAttempt* first,
                    size_t file_index, size_t file_count)
{
    uint64_t refused[refused_sample_limit];
    size_t refused_count = 0;
    analysis::SalvageAttempt again{};
    analysis::SalvageAttempt* attempt = first;
    int written = 0;
    const char* failure = attempt->reason;
    while (attempt->planned) {
        rebuild::SalvageResult result;
        written = rebuild::write_salvaged(s->image, s->image_size, &attempt->plan, s->destination,
                                          s->options.no_validator ? 0 : 1, file_index, file_count, &result);
        failure = result.failure ? result.failure : "no file written";
        uint64_t at = 0;
        if (written || refused_count == refused_sample_limit || result.failing_sample == validator::no_failing_sample ||
            !analysis::kept_sample_offset(&attempt->plan, result.failing_sample, &at))
            break;
        refused[refused_count++] = at;
        analysis::free_salvage_plan(&again.plan);
        if (!analysis::replan_without_movie(card, attempt->clip_number, refused, refused_count, &again))
            break;
        attempt = &again;
        failure = again.reason;
    }
    analysis::free_salvage_plan(&again.plan);
    if (!written)
        basics::out_printf("clip %d: salvage failed: %s\n", int(first->clip_number), failure);
    return written;
}

size_t run_salvage(RunState* s)
{
    analysis::SalvageAttemptList attempts;
    const analysis::SalvageCard card = {s->image,   s->image_size, &s->scan, &s->headers,
                                        &s->markers, &s->movies,    &s->runs, &s->pairs};
    analysis::build_plans_without_movie(&card, &attempts);
    int32_t only = s->options.clip_index;
    size_t candidates = 0;
    for (size_t i = 0; i < s->clips.count; i++)
        candidates += wanted(s, i);
    for (size_t i = 0; i < attempts.count; i++)
        candidates += only == 0 || int32_t(attempts.items[i].clip_number) == only;
    size_t salvaged = 0;
    if (candidates > 0) {
        basics::out_printf("\nSalvage: %zu recording%s the documented rules gave up on\n", candidates,
                           candidates == 1 ? "" : "s");
        // the files go on from the documented queue's numbers, so the window never sees a file
        // number beyond its total; both lists are in clip-number order, and so is the block
        size_t total = s->files_handed + candidates, handed = s->files_handed;
        size_t i = 0, a = 0;
        while (i < s->clips.count || a < attempts.count) {
            if (a == attempts.count ||
                (i < s->clips.count && s->clips.items[i].clip_number < attempts.items[a].clip_number)) {
                if (wanted(s, i))
                    salvaged += salvage_movie_clip(s, &s->clips.items[i], ++handed, total);
                i++;
            } else {
                if (only == 0 || int32_t(attempts.items[a].clip_number) == only)
                    salvaged += salvage_planned(s, &card, &attempts.items[a], ++handed, total);
                a++;
            }
        }
    }
    analysis::free_salvage_attempts(&attempts);
    return salvaged;
}

}  // namespace engine
