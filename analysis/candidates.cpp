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

// The marker fields, counted from the "kkad" type characters: sixteen ASCII digits, the two
// bytes F0 03 that every camera marker carries, the chunk's sequence number in its recording and
// the recording's tag (both little-endian), then the recording date: the year big-endian, then
// one byte each for month, day, hour, minute and second.
constexpr size_t digits_at = 16;
constexpr size_t digits_length = 16;
constexpr size_t signature_at = 32;
constexpr uint8_t signature[2] = {0xF0, 0x03};
constexpr size_t sequence_at = 34;
constexpr size_t tag_at = 40;
constexpr size_t year_at = 64;
constexpr size_t month_at = 66;

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
    uint8_t b[marker_read_bytes];
    if (!image::read_at(image, hit, b, marker_read_bytes) || !mp4::type_is(reinterpret_cast<const char*>(b), mp4::box_kkad))
        return 0;
    for (size_t i = digits_at; i < digits_at + digits_length; i++)
        if (b[i] < '0' || b[i] > '9')
            return 0;
    if (std::memcmp(b + signature_at, signature, sizeof signature) != 0)
        return 0;
    KkadMarker m;
    std::memset(&m, 0, sizeof m);
    m.marker_offset = hit;
    m.sequence = basics::load_le16(b + sequence_at);
    m.tag = basics::load_le32(b + tag_at);
    m.valid = 1;
    uint32_t year = basics::load_be16(b + year_at);
    const uint8_t* date = b + month_at;  // month, day, hour, minute, second
    if (date_is_valid(year, date[0], date[1], date[2], date[3], date[4])) {
        m.has_time = 1;
        m.year = year;
        m.month = date[0];
        m.day = date[1];
        m.hour = date[2];
        m.minute = date[3];
        m.second = date[4];
        int64_t days = days_from_civil(year, m.month, m.day);
        m.time_unix = uint64_t(days * 86400 + m.hour * 3600 + m.minute * 60 + m.second);
    }
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
