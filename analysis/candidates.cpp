#include "analysis/candidates.h"

#include <cstring>

#include "basics/byte_order.h"
#include "basics/output.h"
#include "image/read_at.h"
#include "mp4/box.h"

namespace analysis {

namespace {

constexpr uint64_t max_header_walk = 12;
constexpr uint64_t max_mdat_distance = 4194304;
constexpr uint64_t marker_read_bytes = 128;

int date_is_valid(uint32_t year, uint32_t month, uint32_t day, uint32_t hour, uint32_t minute, uint32_t second)
{
    return year >= 1900 && year <= 2200 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 &&
           minute <= 59 && second <= 60;
}

}  // namespace

int64_t days_from_civil(int64_t year, uint32_t month, uint32_t day)
{
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t mp = month <= 2 ? int64_t(month) + 9 : int64_t(month) - 3;
    int64_t doy = (153 * mp + 2) / 5 + int64_t(day) - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int validate_clip_header(std::FILE* image, uint64_t image_size, uint64_t hit, ClipHeader* out)
{
    if (hit < 4)
        return 0;
    uint64_t start = hit - 4;
    mp4::BoxHeader ftyp;
    if (!mp4::read_box_header_file(image, start, image_size, &ftyp) || !mp4::type_is(ftyp.type, mp4::box_ftyp) ||
        ftyp.size < 16)
        return 0;
    uint8_t head[24];
    if (!image::read_at(image, start, head, ftyp.size < 24 ? ftyp.size : 24) || std::memcmp(head + 8, "XAVC", 4) != 0)
        return 0;
    // the camera may put uuid boxes between the ftyp and the media data
    uint64_t pos = start;
    for (uint64_t reads = 0;; reads++) {
        if (pos > image_size || image_size - pos < 8 || reads == max_header_walk)
            return 0;
        mp4::BoxHeader box;
        if (!mp4::read_box_header_file(image, pos, image_size, &box))
            return 0;
        if (mp4::type_is(box.type, mp4::box_mdat)) {
            out->header_offset = start;
            out->ftyp_size = ftyp.size;
            out->mdat_offset = box.offset;
            out->mdat_size = box.size;
            out->mdat_end = box.offset + box.size;
            out->valid = 1;
            return 1;
        }
        pos += box.size;
        if (pos - start > max_mdat_distance)
            return 0;
    }
}

int validate_marker(std::FILE* image, uint64_t image_size, uint64_t hit, KkadMarker* out)
{
    if (hit < 4 || hit > image_size || image_size - hit < marker_read_bytes)
        return 0;
    uint8_t b[marker_read_bytes];  // box offsets 4 to 131
    if (!image::read_at(image, hit, b, marker_read_bytes) || std::memcmp(b, "kkad", 4) != 0)
        return 0;
    for (int i = 16; i < 32; i++)
        if (b[i] < '0' || b[i] > '9')
            return 0;
    if (b[32] != 0xF0 || b[33] != 0x03)
        return 0;
    KkadMarker m;
    std::memset(&m, 0, sizeof m);
    m.marker_offset = hit;
    m.sequence = basics::load_le16(b + 34);
    m.tag = basics::load_le32(b + 40);
    m.valid = 1;
    uint32_t year = basics::load_be16(b + 64);
    if (date_is_valid(year, b[66], b[67], b[68], b[69], b[70])) {
        m.has_time = 1;
        m.year = year;
        m.month = b[66];
        m.day = b[67];
        m.hour = b[68];
        m.minute = b[69];
        m.second = b[70];
        int64_t days = days_from_civil(year, m.month, m.day);
        m.time_unix = uint64_t(days * 86400 + m.hour * 3600 + m.minute * 60 + m.second);
    }
    uint8_t size_field[8];
    if (image::read_at(image, hit - 4, size_field, 8) && std::memcmp(size_field + 4, "kkad", 4) == 0)
        m.box_size = basics::load_be32(size_field);
    *out = m;
    return 1;
}

void validate_candidates(std::FILE* image, uint64_t image_size, const image::ScanIndex* index,
                         ClipHeaderList* headers, MarkerList* markers, MovieList* movies)
{
    for (size_t i = 0; i < index->xavc_hits.count; i++) {
        ClipHeader header;
        if (validate_clip_header(image, image_size, index->xavc_hits.items[i], &header))
            basics::list_append(headers, header);
    }
    for (size_t i = 0; i < index->kkad_hits.count; i++) {
        KkadMarker marker;
        if (validate_marker(image, image_size, index->kkad_hits.items[i], &marker))
            basics::list_append(markers, marker);
    }
    for (size_t i = 0; i < index->moov_hits.count; i++) {
        mp4::MovieInfo movie;
        if (mp4::parse_movie(image, image_size, index->moov_hits.items[i], &movie))
            basics::list_append(movies, movie);
    }
    basics::out_printf("  valid XAVC=%zu kkad=%zu moov=%zu\n", headers->count, markers->count, movies->count);
}

}  // namespace analysis
