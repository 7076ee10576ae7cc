// A piece of a card (recordings with and without their movie box, damaged or cut) analysed as the
// engine does and planned by both salvage planners, once as found and once without the first
// kept sample, as after a refusal: every piece a plan keeps lies inside the image and holds
// exactly the samples the plan's tables give it, whatever the bytes.
#include <cstdlib>

#include "analysis/candidates.h"
#include "analysis/chunk_locate.h"
#include "analysis/final_chunks.h"
#include "analysis/fingerprint_map.h"
#include "analysis/recording_runs.h"
#include "fuzz/fuzz_support.h"
#include "image/raw_scan.h"
#include "salvage/plan_with_movie.h"
#include "salvage/plan_without_movie.h"

namespace {

void check_plan(const salvage::SalvagePlan* plan, uint64_t size)
{
    uint64_t next[salvage::salvage_track_kinds] = {0, 0};
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        const salvage::SalvagePiece* p = &plan->pieces[i];
        if (p->track >= salvage::salvage_track_kinds)
            fuzz::broken("a kept piece is of no track");
        for (uint64_t j = 0, from, length, at; j < salvage::piece_run_count(p); j++)
            if (!salvage::piece_run(plan, p, j, &from, &length, &at) || at > size || size - at < length)
                fuzz::broken("a kept piece lies outside the image");
        const salvage::SalvageTrack* t = &plan->tracks[p->track];
        if (p->first_sample != next[p->track] || p->first_sample + p->sample_count > t->kept_samples)
            fuzz::broken("a piece holds samples its track does not keep");
        uint64_t bytes = 0;
        for (uint64_t s = p->first_sample; s < p->first_sample + p->sample_count; s++)
            bytes += t->sample_sizes ? t->sample_sizes[s] : t->fixed_sample_size;
        if (bytes != p->length)
            fuzz::broken("a piece's length is not its samples' sizes");
        next[p->track] += p->sample_count;
    }
}

// The plan as found, then again without its first kept video sample, and as the parts before
// and from its last span.
template <typename Plan>
void plan_twice(const salvage::SalvageCard* card, Plan plan)
{
    salvage::SalvageAttempt first = {};
    const salvage::RefusedSamples none = {nullptr, 0, 0, 0};
    if (!plan(&none, &first))
        return;
    check_plan(&first.plan, card->image_size);
    uint64_t at = 0;
    if (salvage::kept_sample_offset(&first.plan, 0, &at)) {
        salvage::SalvageAttempt again = {};
        const salvage::RefusedSamples refused = {&at, 1, 0, 0};
        if (plan(&refused, &again))
            check_plan(&again.plan, card->image_size);
        salvage::free_salvage_plan(&again.plan);
    }
    if (salvage::last_span_start(&first.plan, &at)) {
        for (int from = 0; from < 2; from++) {
            salvage::SalvageAttempt part = {};
            const salvage::RefusedSamples bounds = {nullptr, 0, from ? at : 0, from ? 0 : at};
            if (plan(&bounds, &part))
                check_plan(&part.plan, card->image_size);
            salvage::free_salvage_plan(&part.plan);
        }
    }
    salvage::free_salvage_plan(&first.plan);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::FILE* image = fuzz::open_image(data, size);
    if (!image)
        return 0;
    image::ScanIndex scan = {};
    image::raw_scan(image, size, 1 << 20, 0, &scan);
    analysis::ClipHeaderList headers = {};
    analysis::MarkerList markers = {};
    analysis::MovieList movies = {};
    analysis::RunList runs = {};
    analysis::PairList pairs = {};
    analysis::ClipList clips = {};
    analysis::validate_candidates(image, size, &scan, &headers, &markers, &movies);
    analysis::build_recordings(&headers, &markers, &movies, &runs, &pairs, &clips);
    analysis::map_fingerprints(image, size, &markers, &clips);
    analysis::resolve_final_chunks(image, size, &clips);
    const salvage::SalvageCard card = {image, size, nullptr, &scan, &headers, &markers, &movies, &runs, &pairs, 0};
    for (size_t i = 0; i < clips.count; i++)
        plan_twice(&card, [&](const salvage::RefusedSamples* refused, salvage::SalvageAttempt* out) {
            return salvage::plan_with_movie(&card, &clips.items[i], refused, out);
        });
    salvage::SalvageAttemptList attempts = {};
    salvage::build_plans_without_movie(&card, &attempts);
    for (size_t i = 0; i < attempts.count; i++) {
        if (attempts.items[i].planned)
            check_plan(&attempts.items[i].plan, size);
        uint32_t number = attempts.items[i].clip_number;
        plan_twice(&card, [&](const salvage::RefusedSamples* refused, salvage::SalvageAttempt* out) {
            return salvage::replan_without_movie(&card, number, refused, out) && out->planned;
        });
    }
    salvage::free_salvage_attempts(&attempts);
    image::free_scan_index(&scan);
    basics::list_free(&headers);
    basics::list_free(&markers);
    for (size_t i = 0; i < movies.count; i++)
        mp4::free_movie_info(&movies.items[i]);
    basics::list_free(&movies);
    basics::list_free(&runs);
    basics::list_free(&pairs);
    analysis::free_clips(&clips);
    analysis::release_read_buffers();
    std::fclose(image);
    return 0;
}
