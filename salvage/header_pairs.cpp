#include "salvage/header_pairs.h"

#include <algorithm>
#include <vector>

#include "analysis/recording_runs.h"
#include "salvage/salvage_plan.h"

namespace salvage {

namespace {

// The end of the track's last chunk, in file offsets; 1 when every chunk lies in [begin, end).
int chunks_within(const mp4::TrackTables* t, uint64_t begin, uint64_t end, uint64_t* last)
{
    for (uint64_t k = 0; k < t->chunk_count; k++) {
        uint64_t o = t->chunk_offsets[k], n = t->chunk_sizes[k];
        if (o < begin || o > end || n > end - o)
            return 0;
        *last = std::max(*last, o + n);
    }
    return 1;
}

// 1 when the movie box fits the header's media data closely: every chunk inside it, and less than
// the distance between two of its video chunks left behind the last.
int fits_closely(const mp4::MovieInfo* m, const analysis::ClipHeader* h)
{
    if (h->mdat_offset < h->header_offset || m->video.chunk_count < 2)
        return 0;
    uint64_t begin = h->mdat_offset - h->header_offset + 8, end = begin - 8 + h->mdat_size, last = 0;
    if (end < begin || !chunks_within(&m->video, begin, end, &last) ||
        (m->has_audio && !chunks_within(&m->audio, begin, end, &last)))
        return 0;
    uint64_t stride = m->video.chunk_offsets[1] - m->video.chunk_offsets[0];
    return m->video.chunk_offsets[1] > m->video.chunk_offsets[0] && end - last < stride;
}

// The 1-based number of header `h` in the card's list; 0 when it is not one of them.
uint32_t header_number(const analysis::ClipHeaderList* headers, const analysis::ClipHeader* h)
{
    for (size_t k = 0; k < headers->count; k++)
        if (&headers->items[k] == h)
            return uint32_t(k + 1);
    return 0;
}

// 1 when clips `a` and `b` hold each other's movie box: a main clip and its proxy begin in the
// same second, so the scan may give each one's run the other's box. Each box then fits the other
// clip's header closely and not its own.
int hold_each_others_movie(const analysis::RecoveryClip& a, const analysis::RecoveryClip& b)
{
    return a.movie && b.movie && a.header && b.header && a.run && b.run && a.run->has_time && b.run->has_time &&
           a.run->time_unix == b.run->time_unix && !fits_closely(a.movie, a.header) &&
           !fits_closely(b.movie, b.header) && fits_closely(a.movie, b.header) && fits_closely(b.movie, a.header);
}

}  // namespace

void repair_header_pairs(const SalvageCard* card, const analysis::ClipList* clips, const uint8_t* written,
                         uint64_t* const* at, RepairedClips* out)
{
    *out = {};
    const analysis::ClipHeaderList* headers = card->headers;
    std::vector<analysis::RecoveryClip> list(clips->items, clips->items + clips->count);
    std::vector<uint32_t> moved(list.size(), 0);  // the header a clip takes instead, 1-based
    std::vector<const analysis::RecordingRun*> run_before(list.size());
    for (size_t i = 0; i < list.size(); i++)
        run_before[i] = list[i].run;
    std::vector<uint8_t> fitted(headers->count, 0);
    // two clips that hold each other's movie box trade their headers and runs
    for (size_t i = 0; i < list.size(); i++)
        for (size_t j = i + 1; j < list.size() && !moved[i]; j++)
            if (!moved[j] && !(written && (written[i] || written[j])) && header_number(headers, list[i].header) &&
                header_number(headers, list[j].header) && hold_each_others_movie(list[i], list[j])) {
                moved[i] = header_number(headers, list[j].header);
                moved[j] = header_number(headers, list[i].header);
                fitted[moved[i] - 1] = fitted[moved[j] - 1] = 1;
                std::swap(list[i].run, list[j].run);
            }
    for (const analysis::RecoveryClip& c : list)
        if (c.movie && c.header && c.clip_number >= 1 && c.clip_number <= headers->count &&
            fits_closely(c.movie, c.header))
            fitted[c.clip_number - 1] = 1;
    for (size_t i = 0; i < list.size(); i++) {
        const analysis::RecoveryClip& c = list[i];
        if (moved[i] || !c.movie || !c.header || !c.run || fits_closely(c.movie, c.header) || (written && written[i]))
            continue;
        uint32_t found = 0, fits = 0;
        for (size_t h = 0; h < headers->count && fits < 2; h++)
            if (!fitted[h] && analysis::header_reaches(headers->items[h].header_offset, c.run->start_offset) &&
                fits_closely(c.movie, &headers->items[h]))
                found = uint32_t(h + 1), fits++;
        if (fits == 1) {
            moved[i] = found;
            fitted[found - 1] = 1;
        }
    }
    std::vector<size_t> order(list.size());
    for (size_t i = 0; i < order.size(); i++) {
        order[i] = i;
        if (moved[i]) {
            out->changed = 1;
            list[i].clip_number = moved[i];
            list[i].header = &headers->items[moved[i] - 1];
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&list](size_t a, size_t b) { return list[a].clip_number < list[b].clip_number; });
    for (size_t i : order) {
        basics::list_append(&out->clips, list[i]);
        basics::list_append(&out->written, uint8_t(written ? written[i] : 0));
        basics::list_append(&out->at, at ? at[i] : nullptr);
    }
    // each pair takes the header its clip took
    for (size_t p = 0; p < card->pairs->count; p++) {
        analysis::MoviePair pair = card->pairs->items[p];
        for (size_t i = 0; i < list.size(); i++)
            if (moved[i] && run_before[i] == &card->runs->items[pair.run] &&
                list[i].movie == &card->movies->items[pair.movie]) {
                pair.header_index = moved[i];
                pair.run = uint64_t(list[i].run - card->runs->items);
            }
        basics::list_append(&out->pairs, pair);
    }
}

void free_repaired_clips(RepairedClips* r)
{
    basics::list_free(&r->clips);
    basics::list_free(&r->written);
    basics::list_free(&r->at);
    basics::list_free(&r->pairs);
}

}  // namespace salvage
