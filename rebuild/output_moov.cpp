// The movie box written behind the media data: the camera's own box, without its timed-metadata
// track unless the user keeps it. Nothing inside a retained box is rewritten, because every chunk
// goes back to the file offset its stco/co64 table already names.
#include "rebuild/output_moov.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "mp4/box_writer.h"
#include "mp4/sample_tables.h"

namespace rebuild {

namespace {

// Whether a child box of the movie box goes into the output: every box but the tracks that are
// neither video nor sound (unless kept), and a sound track whose sample entry is no sound the
// camera writes (a player would stop at it; without its entry the track is incomplete instead).
int child_is_retained(const uint8_t* bytes, uint64_t len, const mp4::BoxHeader* child, int keep_metadata_track)
{
    if (!mp4::type_is(child->type, mp4::box_trak))
        return 1;
    char handler[5] = {0}, format[5] = {0};
    int named = mp4::read_track_handler(bytes, len, child, handler);
    if (named && mp4::type_is(handler, "soun"))
        return !mp4::read_track_format(bytes, len, child, format) || mp4::format_is_camera_sound(format);
    return keep_metadata_track || (named && mp4::type_is(handler, "vide"));
}

// Walks the children of the movie box [h, end); with `dst` null it only sums the retained bytes
// and counts the dropped tracks, otherwise it copies every retained child to `dst`.
uint64_t walk_children(const uint8_t* bytes, uint64_t len, uint64_t h, uint64_t end, int keep_metadata_track,
                       uint8_t* dst, int* removed)
{
    uint64_t offset = h;
    uint64_t retained = 0;
    while (offset < end && end - offset >= 8) {
        mp4::BoxHeader child;
        if (!mp4::read_box_header_mem(bytes, end, offset, &child))
            break;
        if (child_is_retained(bytes, len, &child, keep_metadata_track)) {
            if (dst)
                std::memcpy(dst + retained, bytes + offset, child.size);
            retained += child.size;
        } else {
            ++*removed;
        }
        offset += child.size;
    }
    return retained;
}

// The sample tables whose entry count follows their version and flags, with the bytes of one entry.
struct TableShape {
    const char* type;
    uint64_t entry_bytes;
};
constexpr TableShape table_shapes[] = {{"stts", 8}, {"ctts", 8}, {"stss", 4}, {"stps", 4},
                                       {"stsc", 12}, {"stco", 4}, {"co64", 8}};

// 1 when the table's entries, or the boxes an stsd or dref counts, fit in the box: a player
// allocates by the count before it reads.
int table_fits(const uint8_t* bytes, const mp4::BoxHeader* table)
{
    uint64_t payload = table->size - table->header_size;
    uint64_t count = payload >= 8 ? basics::load_be32(bytes + table->offset + table->header_size + 4) : 0;
    int references = mp4::type_is(table->type, "dref");
    if (mp4::type_is(table->type, mp4::box_stsd) || references) {
        mp4::BoxHeader entry;
        uint64_t at = table->offset + table->header_size + 8, end = table->offset + table->size;
        for (uint64_t i = 0; i < count; i++, at += entry.size) {
            // a data reference is a full box: its flags follow the header
            if (!mp4::read_box_header_mem(bytes, end, at, &entry) || (references && entry.size < 12))
                return 0;
        }
        return count > 0;
    }
    for (const TableShape& t : table_shapes) {
        if (mp4::type_is(table->type, t.type))
            return payload >= 8 && count <= (payload - 8) / t.entry_bytes;
    }
    return 1;
}

// 1 when every stsc entry names one of the stsd's sample entries (both tables known to fit).
int descriptions_named(const uint8_t* bytes, const mp4::BoxHeader* stsd, const mp4::BoxHeader* stsc)
{
    uint64_t described = basics::load_be32(bytes + stsd->offset + stsd->header_size + 4);
    const uint8_t* entries = bytes + stsc->offset + stsc->header_size;
    uint64_t count = basics::load_be32(entries + 4);
    for (uint64_t i = 0; i < count; i++) {
        uint32_t index = basics::load_be32(entries + 8 + 12 * i + 8);
        if (index == 0 || index > described)
            return 0;
    }
    return 1;
}

int track_complete(const uint8_t* bytes, uint64_t len, const mp4::BoxHeader* trak)
{
    static const char* const path[] = {mp4::box_mdia, mp4::box_minf, mp4::box_stbl};
    static const char* const tables[] = {mp4::box_stsd, mp4::box_stts, mp4::box_stsc, mp4::box_stsz};
    mp4::BoxHeader box = *trak, found, minf{}, dinf;
    for (const char* type : path) {
        if (!mp4::find_child_box(bytes, len, box.offset + box.header_size, box.offset + box.size, type, &found))
            return 0;
        box = found;
        if (mp4::type_is(type, mp4::box_minf))
            minf = found;
    }
    if (mp4::find_child_box(bytes, len, minf.offset + minf.header_size, minf.offset + minf.size, "dinf", &dinf) &&
        mp4::find_child_box(bytes, len, dinf.offset + dinf.header_size, dinf.offset + dinf.size, "dref", &found) &&
        !table_fits(bytes, &found))
        return 0;
    uint64_t begin = box.offset + box.header_size, end = box.offset + box.size;
    for (const char* type : tables) {
        if (!mp4::find_child_box(bytes, len, begin, end, type, &found))
            return 0;
    }
    mp4::BoxHeader table, stsd, stsc;
    for (uint64_t at = begin; end - at >= 8 && mp4::read_box_header_mem(bytes, end, at, &table); at += table.size) {
        if (!table_fits(bytes, &table))
            return 0;
    }
    mp4::find_child_box(bytes, len, begin, end, mp4::box_stsd, &stsd);
    mp4::find_child_box(bytes, len, begin, end, mp4::box_stsc, &stsc);
    if (!descriptions_named(bytes, &stsd, &stsc))
        return 0;
    // and the tables must hold within their limits, as the analysis read them
    mp4::TrackTables read;
    int ok = mp4::parse_track(bytes, len, trak, &read) && read.chunk_count > 0;
    mp4::free_track_tables(&read);
    return ok;
}

// The boxes that hold only boxes: each one's children must fill it exactly.
int container(const char* type)
{
    static const char* const types[] = {"moov", "trak", "mdia", "minf", "stbl", "edts", "dinf"};
    for (const char* t : types)
        if (std::memcmp(type, t, 4) == 0)
            return 1;
    return 0;
}

int children_fill(const uint8_t* buf, uint64_t len, const mp4::BoxHeader* box, int depth, uint64_t* traks,
                  uint64_t* last_header)
{
    uint64_t pos = box->offset + box->header_size, end = box->offset + box->size;
    while (pos < end) {
        mp4::BoxHeader child;
        if (!mp4::read_box_header_mem(buf, end, pos, &child) || child.size > end - pos)
            return 0;
        *last_header = pos > *last_header ? pos : *last_header;
        if (depth == 0 && mp4::type_is(child.type, "trak"))
            ++*traks;
        if (container(child.type) && (depth > 8 || !children_fill(buf, len, &child, depth + 1, traks, last_header)))
            return 0;
        pos += child.size;
    }
    return pos == end;
}

}  // namespace

int movie_tracks_complete(const uint8_t* moov, uint64_t length)
{
    mp4::BoxHeader box, child;
    if (!mp4::read_box_header_mem(moov, length, 0, &box))
        return 0;
    for (uint64_t at = box.header_size; box.size - at >= 8; at += child.size) {
        if (!mp4::read_box_header_mem(moov, box.size, at, &child))
            break;
        if (mp4::type_is(child.type, mp4::box_trak) && !track_complete(moov, box.size, &child))
            return 0;
    }
    return 1;
}

int sound_track_written(const mp4::MovieInfo* movie)
{
    return movie->has_audio && mp4::format_is_camera_sound(movie->audio.format);
}

int build_output_moov(const mp4::MovieInfo* movie, int keep_metadata_track, OutputMoov* out)
{
    const uint8_t* bytes = movie->moov_bytes;
    uint64_t len = movie->moov_size;
    mp4::BoxHeader moov;
    int whole = bytes && mp4::read_box_header_mem(bytes, len, 0, &moov) && mp4::type_is(moov.type, mp4::box_moov);
    int removed = 0;
    uint64_t retained = whole ? walk_children(bytes, len, moov.header_size, moov.size, keep_metadata_track, nullptr,
                                              &removed) : 0;
    // Kept tracks and nothing to leave out: the camera's box byte for byte, whatever it holds.
    if (keep_metadata_track && removed == 0) {
        auto* copy = static_cast<uint8_t*>(basics::xmalloc(static_cast<size_t>(len)));
        if (len)
            std::memcpy(copy, bytes, static_cast<size_t>(len));
        out->bytes = copy;
        out->length = len;
        out->removed_tracks = 0;
        return 1;
    }
    if (!whole)
        return 0;

    // A 64-bit source header stays 64-bit; otherwise only a size beyond 32 bits needs one.
    uint64_t header = (moov.header_size == 16 || retained + 8 > UINT32_MAX) ? 16 : 8;
    uint64_t total = header + retained;
    auto* dst = static_cast<uint8_t*>(basics::xmalloc(static_cast<size_t>(total)));
    mp4::write_box_header(dst, total, mp4::box_moov, header == 16);
    int removed_again = 0;
    walk_children(bytes, len, moov.header_size, moov.size, keep_metadata_track, dst + header, &removed_again);

    out->bytes = dst;
    out->length = total;
    out->removed_tracks = removed;
    return 1;
}

void free_output_moov(OutputMoov* out)
{
    std::free(out->bytes);
    out->bytes = nullptr;
    out->length = 0;
    out->removed_tracks = 0;
}

int movie_box_whole(const mp4::MovieInfo* movie, uint64_t mdat_begin, uint64_t mdat_end, uint64_t* last_header)
{
    mp4::BoxHeader moov;
    uint64_t traks = 0, last = 0;
    if (!mp4::read_box_header_mem(movie->moov_bytes, movie->moov_size, 0, &moov) ||
        !children_fill(movie->moov_bytes, movie->moov_size, &moov, 0, &traks, &last))
        return 0;
    if (last_header)
        *last_header = last;
    if (traks != uint64_t(movie->has_video) + movie->has_audio + movie->has_other)
        return 0;
    // the tables a player needs in every track, a picture format the decoder reads and a sound the
    // camera writes: what the rebuild asks of every movie box it writes
    if (!movie_tracks_complete(movie->moov_bytes, movie->moov_size) ||
        !(mp4::format_is_avc(movie->video.format) || mp4::format_is_hevc(movie->video.format)) ||
        (movie->has_audio && !mp4::format_is_camera_sound(movie->audio.format)))
        return 0;
    const mp4::TrackTables* tracks[] = {&movie->video, &movie->audio, &movie->other};
    const uint32_t present[] = {movie->has_video, movie->has_audio, movie->has_other};
    for (int t = 0; t < 3; t++) {
        for (uint64_t k = 0; present[t] && k < tracks[t]->chunk_count; k++) {
            uint64_t at = tracks[t]->chunk_offsets[k], size = tracks[t]->chunk_sizes[k];
            if (at < mdat_begin || at > mdat_end || size > mdat_end - at)
                return 0;
        }
    }
    return 1;
}


}  // namespace rebuild
