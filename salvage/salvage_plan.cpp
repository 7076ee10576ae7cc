#include "salvage/salvage_plan.h"

#include <cstdlib>

#include "basics/output.h"

namespace salvage {

using namespace analysis;

void free_claims(ClaimList* claims)
{
    basics::list_free(&claims->spans);
    basics::list_free(&claims->gaps);
    basics::list_free(&claims->settled);
    basics::list_free(&claims->open);
    basics::list_free(&claims->threaded);
    basics::list_free(&claims->contested);
}

int is_refused(const RefusedSamples* refused, uint64_t image_offset)
{
    for (size_t i = 0; i < refused->count; i++)
        if (refused->offsets[i] == image_offset)
            return 1;
    return 0;
}

uint64_t piece_run_count(const SalvagePiece* piece)
{
    return piece->head_length ? 2 + uint64_t(piece->later_runs) : 1;
}

namespace {

// Where run j of a piece begins in it and lies; 0 when the plan's runs do not hold it.
int run_start(const SalvagePlan* plan, const SalvagePiece* piece, uint64_t j, uint64_t* from, uint64_t* at)
{
    if (j == 0) {
        *from = 0, *at = piece->image_offset;
        return 1;
    }
    if (j == 1) {
        *from = piece->head_length, *at = piece->tail_offset;
        return piece->head_length != 0;
    }
    uint64_t i = j - 2;
    if (i >= piece->later_runs || piece->later_first > plan->later_run_count ||
        plan->later_run_count - piece->later_first <= i)
        return 0;
    *from = plan->later_runs[piece->later_first + i].from, *at = plan->later_runs[piece->later_first + i].at;
    return 1;
}

}  // namespace

int piece_run(const SalvagePlan* plan, const SalvagePiece* piece, uint64_t j, uint64_t* from, uint64_t* length,
              uint64_t* at)
{
    uint64_t end = piece->length, unused;
    if (j >= piece_run_count(piece) || !run_start(plan, piece, j, from, at) ||
        (j + 1 < piece_run_count(piece) && !run_start(plan, piece, j + 1, &end, &unused)) || end <= *from ||
        end > piece->length)
        return 0;
    *length = end - *from;
    return 1;
}

uint64_t piece_byte_offset(const SalvagePlan* plan, const SalvagePiece* piece, uint64_t x)
{
    uint64_t from = 0, length = 0, at = piece->image_offset;
    for (uint64_t j = piece_run_count(piece); j-- > 0;)
        if (piece_run(plan, piece, j, &from, &length, &at) && x >= from)
            return at + (x - from);
    return piece->image_offset + x;
}

int kept_sample_offset(const SalvagePlan* plan, uint64_t sample, uint64_t* offset)
{
    const SalvageTrack* video = &plan->tracks[salvage_video];
    for (uint64_t p = 0; p < plan->piece_count; p++) {
        const SalvagePiece* piece = &plan->pieces[p];
        if (piece->track != salvage_video || sample < piece->first_sample ||
            sample - piece->first_sample >= piece->sample_count)
            continue;
        uint64_t at = 0;
        for (uint64_t i = piece->first_sample; i < sample; i++)
            at += video->sample_sizes ? video->sample_sizes[i] : video->fixed_sample_size;
        *offset = piece_byte_offset(plan, piece, at);
        return 1;
    }
    return 0;
}

void sound_share(uint64_t sound, uint64_t video, uint64_t first, uint64_t end, const ChunkTime* time, uint64_t* skip,
                 uint64_t* count)
{
    if (time && time->video_timescale && time->video_delta && time->sound_rate) {
        auto due = [time](uint64_t frames) { return frames * time->video_delta * time->sound_rate / time->video_timescale; };
        uint64_t f = time->first_frame, start = due(f);
        if (due(f + video) - start == sound) {
            *skip = due(f + first) - start;
            *count = due(f + end) - start - *skip;
            return;
        }
    }
    *skip = video ? sound * first / video : 0;
    *count = (video ? sound * end / video : 0) - *skip;
}

int last_span_start(const SalvagePlan* plan, uint64_t* offset)
{
    int seen = 0, found = 0;
    for (uint64_t p = 0; p < plan->piece_count; p++) {
        const SalvagePiece* piece = &plan->pieces[p];
        if (piece->track != salvage_video)
            continue;
        if (seen && piece->gap_before)
            *offset = piece->image_offset, found = 1;
        seen = 1;
    }
    return found;
}

int give_up(SalvageAttempt* attempt, const char* reason)
{
    attempt->planned = 0;
    basics::bounded_format(attempt->reason, sizeof attempt->reason, "%s", reason);
    return 0;
}

void free_salvage_track(SalvageTrack* track)
{
    std::free(track->sample_entry);
    std::free(track->sample_sizes);
    std::free(track->key_frames);
    std::free(track->composition_offsets);
    *track = SalvageTrack{};
}

void free_salvage_plan(SalvagePlan* plan)
{
    for (SalvageTrack& t : plan->tracks)
        free_salvage_track(&t);
    std::free(plan->pieces);
    std::free(plan->later_runs);
    *plan = SalvagePlan{};
}

}  // namespace salvage
