#include "mp4/movie_box.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/read_at.h"

namespace mp4 {

namespace {

void read_creation_time(const uint8_t* buf, uint64_t len, const BoxHeader* moov, MovieInfo* out)
{
    BoxHeader mvhd;
    if (!find_child_box(buf, len, moov->header_size, moov->size, box_mvhd, &mvhd))
        return;
    if (mvhd.offset > len || mvhd.size > len - mvhd.offset)
        return;
    uint64_t payload = mvhd.size - mvhd.header_size;
    const uint8_t* p = buf + mvhd.offset + mvhd.header_size;
    if (payload < 4)
        return;
    uint64_t created;
    if (p[0] == 1) {
        if (payload < 12)
            return;
        created = basics::load_be64(p + 4);
    } else {
        if (payload < 8)
            return;
        created = basics::load_be32(p + 4);
    }
    if (created == 0)
        return;
    out->has_creation_time = 1;
    out->creation_time = created;
    out->creation_unix = created - mp4_epoch_to_unix;
}

// The first video and sound tracks take their slots; any other parsed track takes the one
// remaining slot while it is free.
void place_track(MovieInfo* out, TrackTables* track)
{
    if (type_is(track->handler, "vide") && !out->has_video) {
        out->video = *track;
        out->has_video = 1;
    } else if (type_is(track->handler, "soun") && !out->has_audio) {
        out->audio = *track;
        out->has_audio = 1;
    } else if (!out->has_other) {
        out->other = *track;
        out->has_other = 1;
    } else {
        free_track_tables(track);
    }
}

}  // namespace

int movie_head_creation_time(const uint8_t* head, uint64_t len, MovieInfo* out)
{
    // the box runs on past the head: its header is read without its size bound
    if (len < 16 || std::memcmp(head + 4, box_moov, 4) != 0)
        return 0;
    BoxHeader moov = {};
    moov.size = basics::load_be32(head);
    moov.header_size = 8;
    if (moov.size == 1)
        moov.size = basics::load_be64(head + 8), moov.header_size = 16;
    if (moov.size < moov.header_size)
        return 0;
    out->has_creation_time = 0;
    read_creation_time(head, len, &moov, out);
    return out->has_creation_time;
}

int parse_movie(std::FILE* image, uint64_t image_size, uint64_t moov_hit, MovieInfo* out)
{
    if (moov_hit < 4)
        return 0;
    BoxHeader header;
    if (!read_box_header_file(image, moov_hit - 4, image_size, &header) || !type_is(header.type, box_moov))
        return 0;
    if (header.size < 8 || header.size > max_movie_box_bytes)
        return 0;
    uint8_t* copy = static_cast<uint8_t*>(basics::xmalloc(header.size));
    if (!image::read_at(image, header.offset, copy, header.size)) {
        std::free(copy);
        return 0;
    }
    return parse_movie_copy(copy, header.size, header.offset, out);
}

int parse_movie_copy(uint8_t* copy, uint64_t size, uint64_t moov_offset, MovieInfo* out)
{
    MovieInfo movie;
    std::memset(&movie, 0, sizeof movie);
    BoxHeader moov;
    if (!read_box_header_mem(copy, size, 0, &moov) || !type_is(moov.type, box_moov) || moov.size > size) {
        std::free(copy);
        return 0;
    }
    movie.moov_offset = moov_offset;
    movie.moov_size = size;
    movie.moov_bytes = copy;
    read_creation_time(copy, size, &moov, &movie);

    uint64_t end = moov.size;
    for (uint64_t pos = moov.header_size; pos <= end && end - pos >= 8;) {
        BoxHeader child;
        if (!read_box_header_mem(copy, end, pos, &child))
            break;
        TrackTables track;
        if (type_is(child.type, box_trak) && parse_track(copy, end, &child, &track))
            place_track(&movie, &track);
        pos += child.size;
    }
    if (!movie.has_video) {
        free_movie_info(&movie);
        return 0;
    }
    *out = movie;
    return 1;
}

void free_movie_info(MovieInfo* m)
{
    std::free(m->moov_bytes);
    free_track_tables(&m->video);
    free_track_tables(&m->audio);
    free_track_tables(&m->other);
    std::memset(m, 0, sizeof *m);
}

}  // namespace mp4
