#include "salvage/open_tail.h"

#include "analysis/chunk_locate.h"
#include "codec/nal_units.h"
#include "image/read_at.h"
#include "salvage/contested.h"
#include "salvage/damaged_chunk.h"
#include "salvage/layout_join.h"
#include "salvage/sound_continuity.h"

namespace salvage {

namespace {

// The open tail of the chunk's last sample where the chunk was taken as lying in its runs whole:
// the payload behind the first cluster edge past that sample's last length field, which a walk
// reads none of. 0 when no edge falls inside that payload.
uint64_t unseen_tail(const RecordingScope* r, const SalvageChunk* c)
{
    uint64_t cs = r->geometry ? r->geometry->cluster_bytes : 0, size = c->full_bytes;
    uint64_t last = c->sizes[analysis::camera_chunk_samples - 1], b = size - last;
    if (cs == 0 || last < 5 || last > size || last > analysis::max_sample_bytes)
        return 0;
    analysis::grow_read_buffer(&analysis::direct_read_buffer, last);
    uint8_t* sample = analysis::direct_read_buffer.data;
    ChunkPlace place = salvage_chunk_place(c);
    if (!read_placed(r->image, &place, b, sample, last))
        return 0;
    // the chunk walked whole: its last sample's units fill it
    uint64_t unit = codec::last_unit_at(sample, last);
    uint64_t edge = ((c->file_offset + b + unit + 4) / cs + 1) * cs - c->file_offset;
    return edge < size ? edge : 0;
}

}  // namespace

int close_unseen_tail(const RecordingScope* r, SalvageChunk* c, const SalvageChunk* next, uint64_t sound,
                      uint64_t to_box, const OthersPieces* others)
{
    if (c->open_tail || !c->file_known || !c->full_bytes || !c->end_confirmed ||
        c->samples != analysis::camera_chunk_samples || salvage_chunk_walked(c) != c->full_bytes)
        return 0;
    SalvageChunk open = *c;
    open.open_tail = unseen_tail(r, c);
    open.samples = analysis::camera_chunk_samples - 1;
    int closed = open.open_tail ? close_open_tail(r, &open, next, sound, to_box, others) : 0;
    if (closed)
        *c = open;
    return closed;
}

int close_open_tail(const RecordingScope* r, SalvageChunk* c, const SalvageChunk* next, uint64_t sound,
                    uint64_t to_box, const OthersPieces* others)
{
    uint64_t open = c->open_tail, size = c->full_bytes, cs = r->geometry ? r->geometry->cluster_bytes : 0;
    if (!open || !c->file_known || open >= size || !sound || cs == 0 || !others || !others->claims ||
        c->samples + 1 != analysis::camera_chunk_samples)
        return 0;
    uint64_t end = c->file_offset + size, from = c->file_offset + open, bytes = end + sound - from;
    const JoinAnchor lo{from - 1, salvage_chunk_offset(c, open - 1)};
    // the nearest located piece behind the sound
    JoinAnchor hi{};
    if (next && next->file_known && next->file_offset >= end + sound)
        hi = JoinAnchor{next->file_offset, next->image_offset};
    if (c->box && to_box >= sound && (!hi.file || end + to_box < hi.file))
        hi = JoinAnchor{end + to_box, c->box};
    if (!hi.file || hi.image <= lo.image)
        return 0;
    // where the others' pieces leave the runs one edge, or the sound's samples prove one way
    ChunkPlace span;
    int by_room = join_by_claims(r->geometry, r->image_size, lo, hi, from, bytes, others->claims, others->clip,
                                 others->tag, &span);
    if (!by_room && !place_by_waveform(r->image, r->image_size, r->geometry, others->claims, others->clip,
                                       others->tag, lo, hi, from, bytes, end, sound, r->pcm, &span))
        return 0;
    ChunkPlace whole = salvage_chunk_place(c), heard;
    if (place_offset(&whole, open - 1) + 1 != place_offset(&span, 0) && !add_run(&whole, open, place_offset(&span, 0)))
        return 0;
    for (uint64_t x = 0; (x = place_run_end(&span, x, size - open)) < size - open;)
        if (!add_run(&whole, open + x, place_offset(&span, x)))
            return 0;
    // the last sample cut once at most walks intact across its runs
    uint64_t last = c->sizes[analysis::camera_chunk_samples - 1], start = size - last, cuts = 0;
    for (uint64_t x = start; (x = place_run_end(&whole, x, size)) < size;)
        cuts++;
    if (cuts > 1 || last > analysis::max_sample_bytes || !place_part(&span, end - from, sound, &heard))
        return 0;
    analysis::grow_read_buffer(&analysis::direct_read_buffer, last);
    if (!read_placed(r->image, &whole, start, analysis::direct_read_buffer.data, last) ||
        !sample_intact(analysis::direct_read_buffer.data, last, codec::syntax_of(video_format(r->hevc))))
        return 0;
    // a cluster of another's in the sound shows where the audio steps at its edge; sound another
    // recording's placed over in one pass may be either's
    if (smooth_bytes(r->image, r->image_size, cs, &heard, end, sound, r->pcm) < sound ||
        place_contested(others->claims, &heard, sound))
        return 0;
    c->samples = analysis::camera_chunk_samples;
    c->cut = whole.cut, c->tail = whole.tail, c->later = whole.later;
    for (uint32_t i = 0; i < whole.later && i < place_cuts_max - 1; i++)
        c->later_cut[i] = whole.later_cut[i], c->later_at[i] = whole.later_at[i];
    c->open_tail = 0;
    c->end_confirmed = 1;
    c->sound = heard;
    return by_room ? int(placed_by_room) : 1;
}

}  // namespace salvage
