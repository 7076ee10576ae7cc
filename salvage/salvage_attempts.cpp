#include "salvage/salvage_attempts.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "analysis/final_chunks.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "basics/report_texts.h"
#include "salvage/cut_headers.h"
#include "salvage/cut_movie.h"
#include "salvage/header_pairs.h"
#include "salvage/plan_with_movie.h"
#include "salvage/plan_without_movie.h"
#include "salvage/salvage_writer.h"
#include "salvage/contested.h"
#include "salvage/layout_join.h"
#include "salvage/free_runs.h"
#include "salvage/sound_gaps.h"
#include "salvage/written_short.h"
#include "validator/loader.h"

namespace salvage {

namespace {

// A sample the decode check refuses is left out of the next plan, with the rest of its chunk; a
// recording refused more often than this is given up.
constexpr size_t refused_sample_limit = 8;
// Passes that place the recordings' pieces, each knowing where the last one put the others'.
constexpr int claim_passes = 16;

// One recording salvage tries: a clip whose movie box is on the card, or one planned from the
// card alone (its first plan made already).
struct Recording {
    uint32_t clip_number;
    const analysis::RecoveryClip* clip;
    const SalvageAttempt* first;  // its first plan, made already (null: made when written)
    const ClaimList* claims;  // where the others' pieces lie, for a recording without its movie box
};

int plan(const SalvageRequest* r, const Recording* rec, const RefusedSamples* refused, SalvageAttempt* out)
{
    if (rec->clip)
        return plan_with_movie(&r->card, rec->clip, refused, out);
    SalvageCard card = r->card;
    card.claims = rec->claims;
    if (!replan_without_movie(&card, rec->clip_number, refused, out))
        return give_up(out, "the recording is no longer on the card");
    return out->planned;
}

// A part of a recording: the samples from `from` (0: from the start) on, in decode order.
struct Part {
    uint32_t number;  // 0 for the recording's first file, then 2, 3, ...
    uint64_t from;
};

// Plans and writes one part of the recording, each refused sample left out of the next plan.
// A refusal that names no sample (frames decoded with errors, as when the decoder cannot join a
// span to the one before it, an open group's I picture after a hole) is laid on the last span's
// first sample: that span and all behind it become the next part, a file of its own, in `*next`;
// so does a span the writer finds no decoder can take on from the one before it.
int salvage_part(const SalvageRequest* r, const Recording* rec, Part part, size_t file_index, size_t file_count,
                 Part* next)
{
    uint64_t offsets[refused_sample_limit];
    RefusedSamples refused = {offsets, 0, part.from, 0};
    SalvageAttempt attempt = {};
    const SalvageAttempt* current = part.number == 0 ? rec->first : nullptr;
    if (!current) {
        plan(r, rec, &refused, &attempt);
        current = &attempt;
    }
    int written = 0, tries = 0;
    const char* failure = current->reason;
    SalvageResult result;
    result.final_path[0] = 0;
    while (current->planned) {
        if (current == &attempt)
            attempt.plan.part = part.number;
        written = write_salvaged(r->card.image, r->card.image_size, &current->plan, r->destination, r->validate,
                                 file_index, file_count, &result);
        failure = result.failure ? result.failure : "no file written";
        uint64_t at = 0;
        int named = result.failing_sample != validator::no_failing_sample &&
                    kept_sample_offset(&current->plan, result.failing_sample, &at);
        if (written || refused.count == refused_sample_limit || !result.decode_refused ||
            ++tries > int(2 * refused_sample_limit))
            break;
        if (result.unjoined_span)
            refused.until = next->from = result.unjoined_span;
        else if (named)
            offsets[refused.count++] = at;
        else if (last_span_start(&current->plan, &at))
            refused.until = next->from = at;
        else
            break;
        free_salvage_plan(&attempt.plan);
        plan(r, rec, &refused, &attempt);
        current = &attempt;
        failure = attempt.reason;
    }
    if (r->note) {
        SalvageNote note = {rec->clip_number, part.number, written, rec->clip != nullptr, rec->clip,
                            written ? result.final_path : "", written ? "" : failure,
                            current->planned ? &current->plan : nullptr};
        r->note(r->note_context, &note);
    }
    free_salvage_plan(&attempt.plan);
    // the block names every recording it tried, so the outcome goes with it to standard output
    if (!written && part.number == 0)
        basics::out_printf("clip %d: salvage failed: %s\n", int(rec->clip_number), failure);
    else if (!written)
        basics::out_printf("clip %d: salvage of part %u failed: %s\n", int(rec->clip_number), part.number, failure);
    return written;
}

// Plans and writes the recording, in as many parts as the decoder needs; 1 when any part is
// written.
int salvage_one(const SalvageRequest* r, const Recording* rec, size_t file_index, size_t file_count)
{
    constexpr uint32_t part_limit = 16;
    Part part = {0, 0}, next = {0, 0};
    int written = salvage_part(r, rec, part, file_index, file_count, &next);
    while (next.from && part.number < part_limit) {
        part = {part.number ? part.number + 1 : 2, next.from};
        next = {0, 0};
        written |= salvage_part(r, rec, part, file_index, file_count, &next);
    }
    return written;
}

int taken_whole(const SalvageRequest* r, uint32_t clip_number)
{
    return r->header_taken && clip_number >= 1 && clip_number <= r->header_count && r->header_taken[clip_number - 1];
}

int clip_wanted(const SalvageRequest* r, size_t i)
{
    return !r->clip_written[i] && analysis::clip_is_chosen(r->only_clip, r->clips->items[i].clip_number) &&
           !taken_whole(r, r->clips->items[i].clip_number);
}

// A clip the documented rules wrote with sound they found nowhere left silent: tried again from its
// movie box, which may place that sound among the others' pieces.
int sound_wanted(const SalvageRequest* r, size_t i)
{
    uint32_t n = r->clips->items[i].clip_number;
    return n >= 1 && n <= r->sound_silent_count && r->sound_silent[n - 1] && r->clip_written[i] &&
           r->clips->items[i].movie && analysis::clip_is_chosen(r->only_clip, n) && !taken_whole(r, n);
}

// Such a clip gets a salvaged file beside the documented one only when that file keeps every
// sample of the recording and all of its sound: anything less adds nothing to what is written. The
// plan that shows it is kept in `out` for the writer.
int whole_with_sound(const SalvageRequest* r, size_t i, SalvageAttempt* out)
{
    uint64_t none[1];
    RefusedSamples refused = {none, 0, 0, 0};
    *out = SalvageAttempt{};
    int whole = 0;
    if (plan_with_movie(&r->card, &r->clips->items[i], &refused, out)) {
        const SalvageTrack* v = &out->plan.tracks[salvage_video];
        const SalvageTrack* a = &out->plan.tracks[salvage_sound];
        whole = v->kept_samples == v->recording_samples && out->plan.video_gaps == 0 && a->present &&
                a->kept_samples == a->recording_samples;
    }
    if (!whole)
        free_salvage_plan(&out->plan);
    return whole;
}

int attempt_wanted(const SalvageRequest* r, const SalvageAttempt* a)
{
    return analysis::clip_is_chosen(r->only_clip, a->clip_number) && !taken_whole(r, a->clip_number);
}

// The pieces of a clip the documented rules wrote, where they found them (`written_at`, null: its
// final chunks only): its header, its movie box, its video chunks and the sound behind each, as far
// as where that lies does not hang on a boundary the card's pieces leave open.
void claim_written_clip(const SalvageCard* card, const analysis::RecoveryClip* clip, const uint64_t* written_at,
                        ClaimList* out)
{
    const mp4::MovieInfo* m = clip->movie;
    const mp4::TrackTables* v = &m->video;
    uint32_t tag = clip->run ? clip->run->tag : 0, n = clip->clip_number;
    basics::list_append(&out->spans, ClaimedSpan{clip->header->header_offset, clip->header->mdat_offset, n, tag});
    claim_movie_box(m, ClaimedSpan{0, 0, n, tag}, out);
    basics::Growable<ClaimedSpan, 16> sound;
    uint64_t count = clip->chunk_count < v->chunk_count ? clip->chunk_count : v->chunk_count;
    // where the documented writer found each chunk: nothing is read again
    auto* found = static_cast<uint64_t*>(basics::xcalloc(count + 1, sizeof(uint64_t)));
    for (uint64_t k = 0; k < count; k++)
        found[k] = written_at ? written_at[k] : clip->chunks[k].resolved ? clip->chunks[k].data_offset : UINT64_MAX;
    found[count] = UINT64_MAX;
    for (uint64_t k = 0; k < count; k++) {
        if (found[k] == UINT64_MAX)
            continue;
        uint64_t at = found[k], f = v->chunk_offsets[k], end = f + v->chunk_sizes[k];
        basics::list_append(&out->spans, ClaimedSpan{at, at + v->chunk_sizes[k], n, tag, 0, f});
        // the sound behind the chunk, as far as its place does not hang on where a boundary lies
        const mp4::TrackTables* a = &m->audio;
        // behind the last chunk, the movie box is the next piece of the file
        const analysis::ClipHeader* h = clip->header;
        JoinAnchor hi = k + 1 < count ? JoinAnchor{v->chunk_offsets[k + 1], found[k + 1]}
                                      : JoinAnchor{h->mdat_end - h->header_offset, m->moov_offset};
        if (k >= a->chunk_count || a->chunk_offsets[k] < end || hi.image == UINT64_MAX || hi.file < end ||
            h->mdat_end < h->header_offset)
            continue;
        JoinAnchor lo{end, at + v->chunk_sizes[k]};
        uint64_t q = a->chunk_offsets[k], size = a->chunk_sizes[k];
        ChunkPlace place;
        if (join_by_claims(card->geometry, card->image_size, lo, hi, q, size, card->claims, n, tag, &place)) {
            // one edge left for the boundary: the sound lies in the two runs
            ClaimedSpan s{place.at, place.at + (place.cut ? place.cut : size), n, tag};
            s.by_room = 1;
            s.sound_of = q;
            basics::list_append(&sound, s);
            if (place.cut) {
                s.begin = place.tail, s.end = place.tail + (size - place.cut);
                basics::list_append(&sound, s);
            }
            continue;
        }
        claim_sure_between(card->geometry, card->image_size, lo, hi, q, size, card->claims, n, tag, &sound);
    }
    for (uint64_t i = 0; i < sound.count; i++)
        basics::list_append(&out->spans, sound.items[i]);
    basics::list_free(&sound);
    std::free(found);
}

// Every kkad box.
void claim_markers(const analysis::MarkerList* markers, ClaimList* out)
{
    for (size_t i = 0; markers && i < markers->count; i++)
        if (markers->items[i].valid && markers->items[i].marker_offset >= 4) {
            uint64_t type = markers->items[i].marker_offset;  // the box's size field stands before its type
            basics::list_append(&out->spans, ClaimedSpan{type - 4, type + 4, 0, markers->items[i].tag});
        }
}

// The bytes contested before (`before`, null: none), less those the pass's pieces in `claims` settle,
// and those where they lie over each other, kept in `claims`; how many were added or dropped.
uint64_t keep_contested(ClaimList* claims, const ClaimList* before)
{
    for (uint64_t i = 0; before && i < before->contested.count; i++)
        basics::list_append(&claims->contested, before->contested.items[i]);
    uint64_t lifted = lift_contested(claims, &claims->contested);
    return note_contested(claims, &claims->contested) + lifted;
}

// The recordings without their movie box planned again, each knowing where the others' pieces
// lie (`out`): the video chunks their planners locate, the clips' with a movie box (`known`,
// null: none) and every kkad box. A plan made again replaces the first when it keeps at least as many samples
// (or the first gave up).
void plan_knowing_others(const SalvageRequest* r, const ClaimList* known, SalvageAttemptList* list, ClaimList* out)
{
    // again and again with the pieces known, so that sound the others' pieces place is known too
    *out = ClaimList{};
    for (int pass = 0; pass < claim_passes; pass++) {
        ClaimList more;
        if (known)
            for (uint64_t i = 0; i < known->spans.count; i++)
                basics::list_append(&more.spans, known->spans.items[i]);
        else
            claim_markers(r->card.markers, &more);
        SalvageCard card = r->card;
        card.claims = pass ? out : known;
        claim_located_without_movie(&card, &more);
        sort_claims(&more);
        // the sound the pieces leave open, weighed for all recordings together
        settle_sound_gaps(r->card.geometry, &more);
        settle_free_runs(r->card.geometry, &more);
        uint64_t contested = keep_contested(&more, pass ? out : known);
        uint64_t before = out->spans.count, settled = out->settled.count, threaded = out->threaded.count;
        free_claims(out);
        *out = more;
        if (pass && !contested && out->spans.count == before && out->settled.count == settled &&
            out->threaded.count == threaded)
            break;
    }
    SalvageCard card = r->card;
    card.claims = out;
    const RefusedSamples none = {nullptr, 0, 0, 0};
    for (size_t a = 0; a < list->count; a++) {
        SalvageAttempt* first = &list->items[a];
        SalvageAttempt again = {};
        // a recording cut at every chunk may be placed only now that the others' pieces are known
        if (replan_without_movie(&card, first->clip_number, &none, &again) && again.planned &&
            (!first->planned ||
             again.plan.tracks[salvage_video].kept_samples >= first->plan.tracks[salvage_video].kept_samples)) {
            free_salvage_plan(&first->plan);
            *first = again;
        } else {
            free_salvage_plan(&again.plan);
        }
    }
}

// Such a clip (only without the decode check, which gives it up) is tried again from its movie box
// as well where others' pieces lie among its own, which may find those chunks among them.
int pictures_wanted(const SalvageRequest* r, size_t i)
{
    uint32_t n = r->clips->items[i].clip_number;
    return r->clip_written[i] && r->clips->items[i].movie && written_short(r, i) &&
           analysis::clip_is_chosen(r->only_clip, n) && !taken_whole(r, n) && others_between(r, i);
}

// The pieces every recording's planner locates (with the pieces `card` claims already), those of
// the clips the documented rules wrote where they found them, and every kkad box, so that a
// recording's planner knows where the others lie.
void claim_pieces(const SalvageRequest* r, const SalvageCard* card, ClaimList* out)
{
    const analysis::ClipList* clips = r->clips;
    for (size_t i = 0; i < clips->count; i++) {
        if (!clips->items[i].movie)
            continue;
        // one written short and tried again: the pieces its planner locates, not where the
        // documented rules put the chunks a cut moved
        int pictures = pictures_wanted(r, i);
        if (clip_wanted(r, i) || pictures)
            claim_located_pieces(card, &clips->items[i], out);
        else if (r->clip_written[i])
            claim_written_clip(card, &clips->items[i], r->written_at ? r->written_at[i] : nullptr, out);
        // one written with its sound left silent: its planner places that sound among the others'
        // open sound too, and where it places it the others' sound does not lie; one written
        // short: the pieces its planner locates are its own too, and the others' sound finds its
        // room beside them
        if (!pictures && (sound_wanted(r, i) || (r->clip_written[i] && written_short(r, i))))
            claim_located_pieces(card, &clips->items[i], out);
    }
    // and those of the recordings planned from the card alone, written at once with these
    claim_located_without_movie(card, out);
    claim_markers(card->markers, out);
    sort_claims(out);
}

// Where every recording's located pieces lie, again and again with the pieces known, so that
// sound the others' pieces place is known too, until no more is.
void gather_claims(const SalvageRequest* req, ClaimList* claims)
{
    SalvageCard card = req->card;
    claim_pieces(req, &card, claims);
    // the sound the pieces leave open, weighed for all recordings together
    settle_sound_gaps(card.geometry, claims);
    settle_free_runs(card.geometry, claims);
    keep_contested(claims, nullptr);
    for (int pass = 1; pass < claim_passes; pass++) {
        ClaimList more;
        card.claims = claims;
        claim_pieces(req, &card, &more);
        settle_sound_gaps(card.geometry, &more);
        settle_free_runs(card.geometry, &more);
        uint64_t contested = keep_contested(&more, claims);
        uint64_t before = claims->spans.count, settled = claims->settled.count, threaded = claims->threaded.count;
        free_claims(claims);
        *claims = more;
        if (!contested && claims->spans.count == before && claims->settled.count == settled &&
            claims->threaded.count == threaded)
            break;
    }
}

// The request with the clips of cut headers whose movie box is on the card after the listed
// ones (their numbers follow), and their pairs beside the card's; `clips`, `written`, `at` and
// `pairs` hold the lists it points to.
struct WithCutHeaders {
    CutHeaderClips cut;
    analysis::ClipList clips;
    basics::Growable<uint8_t, 256> written;
    basics::Growable<uint64_t*, 256> at;
    analysis::PairList pairs;
};

void add_cut_header_clips(SalvageRequest* r, WithCutHeaders* w)
{
    find_cut_header_clips(&r->card, &w->cut);
    if (w->cut.clips.count == 0)
        return;
    const analysis::ClipList* listed = r->clips;
    for (size_t i = 0; i < listed->count + w->cut.clips.count; i++) {
        int cut = i >= listed->count;
        basics::list_append(&w->clips, cut ? w->cut.clips.items[i - listed->count] : listed->items[i]);
        basics::list_append(&w->written, uint8_t(cut ? 0 : r->clip_written[i]));
        basics::list_append(&w->at, cut || !r->written_at ? nullptr : r->written_at[i]);
    }
    for (size_t i = 0; i < r->card.pairs->count; i++)
        basics::list_append(&w->pairs, r->card.pairs->items[i]);
    for (size_t i = 0; i < w->cut.pairs.count; i++)
        basics::list_append(&w->pairs, w->cut.pairs.items[i]);
    r->clips = &w->clips;
    r->clip_written = w->written.items;
    r->written_at = w->at.items;
    r->card.pairs = &w->pairs;
}

void free_cut_header_lists(WithCutHeaders* w)
{
    free_cut_header_clips(&w->cut);  // the clips' chunk lists, shared with `clips`
    basics::list_free(&w->clips);
    basics::list_free(&w->written);
    basics::list_free(&w->at);
    basics::list_free(&w->pairs);
}

// The request with the clips of movie boxes a run boundary cut, put back together, among the
// listed ones in clip-number order, and the card's movie list holding the joined boxes.
struct WithCutMovies {
    CutMovieClips cut;
    analysis::ClipList clips;
    basics::Growable<uint8_t, 256> written;
    basics::Growable<uint64_t*, 256> at;
};

void add_cut_movie_clips(SalvageRequest* r, WithCutMovies* w)
{
    find_cut_movie_clips(&r->card, r->clips, &w->cut);
    const analysis::MovieList* movies = r->card.movies;
    size_t joined = w->cut.clips.count;
    for (size_t m = 0; m < movies->count && m < w->cut.own.count; m++)
        joined += w->cut.own.items[m];
    if (joined == 0)
        return;
    const analysis::ClipList* listed = r->clips;
    for (size_t i = 0, j = 0; i < listed->count || j < w->cut.clips.count;) {
        int cut = i == listed->count ||
                  (j < w->cut.clips.count && w->cut.clips.items[j].clip_number < listed->items[i].clip_number);
        analysis::RecoveryClip clip = cut ? w->cut.clips.items[j] : listed->items[i];
        // a listed clip whose box was put back together takes the joined box
        for (size_t m = 0; !cut && m < movies->count && m < w->cut.own.count; m++)
            if (clip.movie == &movies->items[m] && w->cut.own.items[m])
                clip.movie = &w->cut.movies.items[m];
        basics::list_append(&w->clips, clip);
        basics::list_append(&w->written, uint8_t(cut ? 0 : r->clip_written[i]));
        basics::list_append(&w->at, cut || !r->written_at ? nullptr : r->written_at[i]);
        cut ? j++ : i++;
    }
    r->clips = &w->clips;
    r->clip_written = w->written.items;
    r->written_at = w->at.items;
    r->card.movies = &w->cut.movies;
    r->card.pairs = &w->cut.pairs;
}

void free_cut_movie_lists(WithCutMovies* w)
{
    free_cut_movie_clips(&w->cut);  // the clips' chunk lists, shared with `clips`
    basics::list_free(&w->clips);
    basics::list_free(&w->written);
    basics::list_free(&w->at);
}

// What the documented rules did with the recordings salvage writes: gave them up, or wrote them
// with sound left silent or video chunks missing.
std::string what_they_did(size_t gave_up, size_t silent, size_t missing)
{
    std::string said;
    for (auto [count, words] : {std::pair<size_t, const char*>{gave_up, "gave up on"},
                                {silent, "wrote with sound left silent"},
                                {missing, "wrote with video chunks missing"}})
        if (count)
            said += (said.empty() ? "" : " or ") + std::string(words);
    return said;
}

}  // namespace

size_t salvage_recordings(const SalvageRequest* req)
{
    SalvageRequest with_cut = *req;
    // the headers of recordings begun at once given back to their clips first
    RepairedClips repaired;
    repair_header_pairs(&req->card, req->clips, req->clip_written, req->written_at, &repaired);
    if (repaired.changed) {
        with_cut.clips = &repaired.clips;
        with_cut.clip_written = repaired.written.items;
        with_cut.written_at = repaired.at.items;
        with_cut.card.pairs = &repaired.pairs;
    }
    WithCutHeaders cut_lists = {};
    add_cut_header_clips(&with_cut, &cut_lists);
    WithCutMovies movie_lists = {};
    add_cut_movie_clips(&with_cut, &movie_lists);
    req = &with_cut;
    SalvageRequest with_claims = *req;
    const SalvageRequest* r = &with_claims;
    SalvageAttemptList without_movie;
    build_plans_without_movie(&r->card, &without_movie);
    // the planners of clips with their movie box see where every recording's located pieces lie
    // (those of the clips the documented rules wrote too)
    ClaimList claims, others;
    int with_movie = 0, movies = 0;
    for (size_t i = 0; i < r->clips->count; i++) {
        with_movie |= (clip_wanted(r, i) && r->clips->items[i].movie) || sound_wanted(r, i) || pictures_wanted(r, i);
        movies |= r->clips->items[i].movie != nullptr;
    }
    int others_planned = without_movie.count && without_movie.count + r->clips->count >= 2;
    if (with_movie || (movies && others_planned)) {
        gather_claims(req, &claims);
        with_claims.card.claims = &claims;
    }
    // and so do those of recordings without it, when the card holds another recording
    if (others_planned)
        plan_knowing_others(req, movies ? &claims : nullptr, &without_movie, &others);
    const analysis::ClipList* clips = r->clips;
    size_t candidates = 0, resounded = 0, repictured = 0;
    auto* again = static_cast<uint8_t*>(basics::xcalloc(clips->count + 1, 1));
    auto* whole = static_cast<SalvageAttempt*>(basics::xcalloc(clips->count + 1, sizeof(SalvageAttempt)));
    for (size_t i = 0; i < clips->count; i++) {
        int pictures = pictures_wanted(r, i);
        again[i] = uint8_t((pictures || sound_wanted(r, i)) && whole_with_sound(r, i, &whole[i]));
        candidates += clip_wanted(r, i);
        repictured += again[i] && pictures;
        resounded += again[i] && !pictures;
    }
    for (size_t i = 0; i < without_movie.count; i++)
        candidates += attempt_wanted(r, &without_movie.items[i]);
    size_t salvaged = 0;
    if (candidates + resounded + repictured > 0) {
        size_t all = candidates + resounded + repictured;
        basics::out_printf("%s%zu recording%s the documented rules %s\n", basics::salvage_heading, all,
                           all == 1 ? "" : "s", what_they_did(candidates, resounded, repictured).c_str());
        candidates = all;
        // the files go on from the documented queue's numbers, so the window never sees a file
        // number beyond its total; both lists are in clip-number order, and so is the block
        size_t total = r->files_before + candidates, handed = r->files_before;
        size_t i = 0, a = 0;
        while (i < clips->count || a < without_movie.count) {
            Recording rec = {};
            if (a == without_movie.count ||
                (i < clips->count && clips->items[i].clip_number < without_movie.items[a].clip_number)) {
                if (clip_wanted(r, i) || again[i])
                    rec = {clips->items[i].clip_number, &clips->items[i], again[i] ? &whole[i] : nullptr, nullptr};
                i++;
            } else {
                if (attempt_wanted(r, &without_movie.items[a]))
                    rec = {without_movie.items[a].clip_number, nullptr, &without_movie.items[a],
                           others.spans.count ? &others : nullptr};
                a++;
            }
            if (rec.clip || rec.first)
                salvaged += salvage_one(r, &rec, ++handed, total);
        }
    }
    for (size_t i = 0; i < clips->count; i++)
        free_salvage_plan(&whole[i].plan);
    std::free(whole);
    std::free(again);
    free_salvage_attempts(&without_movie);
    free_claims(&claims);
    free_claims(&others);
    free_cut_movie_lists(&movie_lists);
    free_cut_header_lists(&cut_lists);
    free_repaired_clips(&repaired);
    return salvaged;
}

}  // namespace salvage

