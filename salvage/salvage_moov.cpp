// The movie box of a salvaged file. Every track keeps a constant sample duration, so one stts
// entry re-times the kept samples straight through the gaps; every piece of the plan is one
// chunk, and the chunk table is 32-bit unless an offset needs more.
#include "salvage/salvage_moov.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/growable.h"
#include "mp4/box.h"
#include "mp4/box_writer.h"
#include "mp4/track_boxes.h"
#include "rebuild/output_moov.h"

namespace salvage {


namespace {

using namespace mp4;
using Bytes = BoxBytes;

constexpr uint32_t track_kinds = salvage_track_kinds;

// The time fields of mvhd, tkhd and mdhd: 32-bit in version 0, 64-bit in version 1.
uint8_t time_version(uint64_t creation, uint64_t duration)
{
    return creation > UINT32_MAX || duration > UINT32_MAX ? 1 : 0;
}

void put_times(Bytes* b, uint8_t version, uint64_t creation)
{
    if (version) {
        put_be64(b, creation);
        put_be64(b, creation);
    } else {
        put_be32(b, uint32_t(creation));
        put_be32(b, uint32_t(creation));
    }
}

void put_duration(Bytes* b, uint8_t version, uint64_t duration)
{
    if (version)
        put_be64(b, duration);
    else
        put_be32(b, uint32_t(duration));
}

void put_matrix(Bytes* b)
{
    const uint32_t unity[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (uint32_t v : unity)
        put_be32(b, v);
}

// value * to / from without overflowing on the way for the time scales a track can have.
uint64_t rescale(uint64_t value, uint32_t from, uint32_t to)
{
    if (from == 0)
        return 0;
    return value / from * to + value % from * to / from;
}

void put_mvhd(Bytes* b, uint64_t creation, uint32_t timescale, uint64_t duration, uint32_t next_track)
{
    uint8_t v = time_version(creation, duration);
    size_t at = open_full_box(b, "mvhd", v, 0);
    put_times(b, v, creation);
    put_be32(b, timescale);
    put_duration(b, v, duration);
    put_be32(b, 0x00010000);  // rate 1.0
    put_be16(b, 0x0100);      // volume 1.0
    put_zeros(b, 10);
    put_matrix(b);
    put_zeros(b, 24);
    put_be32(b, next_track);
    close_box(b, at);
}

void put_tkhd(Bytes* b, uint64_t creation, uint32_t track_id, uint64_t duration, int sound, uint32_t width,
              uint32_t height)
{
    uint8_t v = time_version(creation, duration);
    size_t at = open_full_box(b, "tkhd", v, 7);  // enabled, in movie, in preview
    put_times(b, v, creation);
    put_be32(b, track_id);
    put_be32(b, 0);
    put_duration(b, v, duration);
    put_zeros(b, 8);
    put_be16(b, 0);  // layer
    put_be16(b, 0);  // alternate group
    put_be16(b, sound ? 0x0100 : 0);
    put_be16(b, 0);
    put_matrix(b);
    put_be32(b, width << 16);
    put_be32(b, height << 16);
    close_box(b, at);
}

void put_mdhd(Bytes* b, uint64_t creation, uint32_t timescale, uint64_t duration)
{
    uint8_t v = time_version(creation, duration);
    size_t at = open_full_box(b, "mdhd", v, 0);
    put_times(b, v, creation);
    put_be32(b, timescale);
    put_duration(b, v, duration);
    put_be16(b, 0x55C4);  // language undetermined
    put_be16(b, 0);
    close_box(b, at);
}

void put_hdlr(Bytes* b, int sound)
{
    size_t at = open_full_box(b, "hdlr", 0, 0);
    put_be32(b, 0);
    put_raw(b, sound ? "soun" : "vide", 4);
    put_zeros(b, 12);
    const char* name = sound ? "Sound Media Handler" : "Video Media Handler";
    put_raw(b, name, std::strlen(name) + 1);
    close_box(b, at);
}

void put_media_information_header(Bytes* b, int sound)
{
    size_t at = sound ? open_full_box(b, "smhd", 0, 0) : open_full_box(b, "vmhd", 0, 1);
    put_zeros(b, sound ? 4 : 8);
    close_box(b, at);
    size_t dinf = open_box(b, "dinf");
    size_t dref = open_full_box(b, "dref", 0, 0);
    put_be32(b, 1);
    close_box(b, open_full_box(b, "url ", 0, 1));  // the media data is in this file
    close_box(b, dref);
    close_box(b, dinf);
}

void put_sync_samples(Bytes* b, const SalvageTrack* t)
{
    uint64_t keys = 0;
    for (uint64_t i = 0; i < t->kept_samples; i++)
        keys += t->key_frames[i] != 0;
    if (keys == t->kept_samples)
        return;  // without stss every sample is a sync sample
    size_t at = open_full_box(b, "stss", 0, 0);
    put_be32(b, uint32_t(keys));
    for (uint64_t i = 0; i < t->kept_samples; i++)
        if (t->key_frames[i])
            put_be32(b, uint32_t(i + 1));
    close_box(b, at);
}

// Composition offsets as their runs: consecutive samples of one offset share an entry. Version 1
// stores them signed, for offsets below zero.
void put_composition_offsets(Bytes* b, const SalvageTrack* t)
{
    int negative = 0;
    for (uint64_t i = 0; i < t->kept_samples; i++)
        negative |= t->composition_offsets[i] < 0;
    size_t at = open_full_box(b, box_ctts, negative ? 1 : 0, 0);
    size_t count_at = b->count;
    put_be32(b, 0);
    uint32_t entries = 0;
    for (uint64_t i = 0; i < t->kept_samples;) {
        uint64_t run = 1;
        while (i + run < t->kept_samples && t->composition_offsets[i + run] == t->composition_offsets[i])
            run++;
        put_be32(b, uint32_t(run));
        put_be32(b, uint32_t(t->composition_offsets[i]));
        entries++;
        i += run;
    }
    basics::store_be32(b->items + count_at, entries);
    close_box(b, at);
}

// The camera's edit list for a track: the whole track presented from the media time where the
// camera's presentation began.
void put_edit_list(Bytes* b, uint64_t duration, int64_t media_time)
{
    int wide = duration > UINT32_MAX || media_time > INT32_MAX || media_time < INT32_MIN;
    size_t edts = open_box(b, box_edts);
    size_t at = open_full_box(b, box_elst, wide ? 1 : 0, 0);
    put_be32(b, 1);
    if (wide) {
        put_be64(b, duration);
        put_be64(b, uint64_t(media_time));
    } else {
        put_be32(b, uint32_t(duration));
        put_be32(b, uint32_t(media_time));
    }
    put_be32(b, 0x00010000);  // rate 1.0
    close_box(b, at);
    close_box(b, edts);
}

// Sample-to-chunk as its runs: consecutive chunks of the same sample count share one entry.
void put_sample_to_chunk(Bytes* b, const SalvagePlan* plan, uint32_t track)
{
    size_t at = open_full_box(b, "stsc", 0, 0);
    size_t count_at = b->count;
    put_be32(b, 0);
    uint32_t entries = 0, chunk = 0;
    uint64_t last = UINT64_MAX;
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        const SalvagePiece* p = &plan->pieces[i];
        if (p->track != track)
            continue;
        chunk++;
        if (p->sample_count == last)
            continue;
        last = p->sample_count;
        put_be32(b, chunk);
        put_be32(b, uint32_t(p->sample_count));
        put_be32(b, 1);
        entries++;
    }
    basics::store_be32(b->items + count_at, entries);
    close_box(b, at);
}

void put_sample_sizes(Bytes* b, const SalvageTrack* t)
{
    size_t at = open_full_box(b, "stsz", 0, 0);
    put_be32(b, t->fixed_sample_size);
    put_be32(b, uint32_t(t->kept_samples));
    if (t->fixed_sample_size == 0)
        for (uint64_t i = 0; i < t->kept_samples; i++)
            put_be32(b, t->sample_sizes[i]);
    close_box(b, at);
}

void put_chunk_offsets(Bytes* b, const SalvagePlan* plan, uint32_t track, const uint64_t* offsets)
{
    uint32_t chunks = 0;
    int wide = 0;
    for (uint64_t i = 0; i < plan->piece_count; i++)
        if (plan->pieces[i].track == track) {
            chunks++;
            wide |= offsets[i] > UINT32_MAX;
        }
    size_t at = open_full_box(b, wide ? box_co64 : box_stco, 0, 0);
    put_be32(b, chunks);
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        if (plan->pieces[i].track != track)
            continue;
        if (wide)
            put_be64(b, offsets[i]);
        else
            put_be32(b, uint32_t(offsets[i]));
    }
    close_box(b, at);
}

void put_sample_table(Bytes* b, const SalvagePlan* plan, uint32_t track, const uint64_t* offsets)
{
    const SalvageTrack* t = &plan->tracks[track];
    size_t stbl = open_box(b, "stbl");
    size_t at = open_full_box(b, box_stsd, 0, 0);
    put_be32(b, 1);
    put_raw(b, t->sample_entry, t->sample_entry_size);
    close_box(b, at);
    at = open_full_box(b, box_stts, 0, 0);
    put_be32(b, 1);
    put_be32(b, uint32_t(t->kept_samples));
    put_be32(b, t->sample_delta);
    close_box(b, at);
    if (t->composition_offsets)
        put_composition_offsets(b, t);
    if (t->key_frames)
        put_sync_samples(b, t);
    put_sample_to_chunk(b, plan, track);
    put_sample_sizes(b, t);
    put_chunk_offsets(b, plan, track, offsets);
    close_box(b, stbl);
}

void put_trak(Bytes* b, const SalvagePlan* plan, uint32_t track, uint32_t movie_timescale, const uint64_t* offsets)
{
    const SalvageTrack* t = &plan->tracks[track];
    int sound = track == salvage_sound;
    uint64_t duration = salvage_track_duration(t);
    uint32_t width = 0, height = 0;
    if (!sound) {
        width = basics::load_be16(t->sample_entry + visual_entry_width_at);
        height = basics::load_be16(t->sample_entry + visual_entry_height_at);
    }
    size_t trak = open_box(b, "trak");
    put_tkhd(b, plan->creation_time, track + 1, rescale(duration, t->timescale, movie_timescale), sound, width,
             height);
    if (t->has_edit)
        put_edit_list(b, rescale(duration, t->timescale, movie_timescale), t->edit_media_time);
    size_t mdia = open_box(b, "mdia");
    put_mdhd(b, plan->creation_time, t->timescale, duration);
    put_hdlr(b, sound);
    size_t minf = open_box(b, "minf");
    put_media_information_header(b, sound);
    put_sample_table(b, plan, track, offsets);
    close_box(b, minf);
    close_box(b, mdia);
    close_box(b, trak);
}

// What a track's boxes are made from: samples, a time scale and a sample entry that is a box of
// its own size; video also needs the picture size the entry carries and its key-frame flags.
// Whether a player can read the boxes made of them is judged on the box itself.
int track_usable(const SalvageTrack* t, int video)
{
    if (!t->present || t->kept_samples == 0 || t->kept_samples > UINT32_MAX || t->timescale == 0 ||
        t->sample_delta == 0 || !t->sample_entry || t->sample_entry_size < 8 ||
        basics::load_be32(t->sample_entry) != t->sample_entry_size)
        return 0;
    if (t->fixed_sample_size == 0 && !t->sample_sizes)
        return 0;
    return !video || (t->sample_entry_size >= visual_entry_height_at + 2 && t->key_frames);
}

}  // namespace

int salvage_track_written(const SalvagePlan* plan, uint32_t track)
{
    if (track >= track_kinds || !track_usable(&plan->tracks[salvage_video], 1))
        return 0;
    return track == salvage_video || track_usable(&plan->tracks[track], 0);
}

uint64_t salvage_track_duration(const SalvageTrack* track)
{
    return track->kept_samples * track->sample_delta;
}

int build_salvage_moov(const SalvagePlan* plan, const uint64_t* piece_offsets, SalvageMoov* out)
{
    const SalvageTrack* video = &plan->tracks[salvage_video];
    if (!salvage_track_written(plan, salvage_video))
        return 0;
    int with_sound = salvage_track_written(plan, salvage_sound);
    uint32_t movie_timescale = video->timescale;
    uint64_t duration = salvage_track_duration(video);
    if (with_sound) {
        const SalvageTrack* sound = &plan->tracks[salvage_sound];
        uint64_t sound_duration = rescale(salvage_track_duration(sound), sound->timescale, movie_timescale);
        duration = sound_duration > duration ? sound_duration : duration;
    }
    Bytes b;
    size_t moov = open_box(&b, box_moov);
    put_mvhd(&b, plan->creation_time, movie_timescale, duration, with_sound ? 3 : 2);
    for (uint32_t track = 0; track < track_kinds; track++)
        if (track == salvage_video || with_sound)
            put_trak(&b, plan, track, movie_timescale, piece_offsets);
    close_box(&b, moov);
    if (!rebuild::movie_tracks_complete(b.items, b.count)) {
        basics::list_free(&b);
        return 0;
    }
    out->bytes = b.items;
    out->length = b.count;
    return 1;
}

void free_salvage_moov(SalvageMoov* moov)
{
    std::free(moov->bytes);
    moov->bytes = nullptr;
    moov->length = 0;
}

}  // namespace salvage
