// The content checks that decide whether an extent from the file system is trusted for bytes.
// A deleted file's chain may run through clusters a newer file took, an old set may name a
// cluster another file reuses: such extents break one of these checks and are not used.
#include "camera/extent_check.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/chunk_locate.h"
#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "image/card_reader.h"
#include "mp4/box.h"
#include "mp4/movie_box.h"
#include "rebuild/output_moov.h"
#include "rebuild/validation_pass.h"

namespace camera {

namespace {

using filesystem::Extent;
using filesystem::FsVolume;

constexpr uint64_t max_top_boxes = 4096;
constexpr uint64_t max_sidecar_bytes = 64ull * 1024 * 1024;

// The top-level boxes from file offset 0 to the file's end; 1 with the movie box's place when
// they tile the file exactly and the movie box is the last of them.
int top_level_moov(const FsVolume* v, const Extent* e, uint64_t* moov_at, uint64_t* moov_size, uint64_t* mdat_begin,
                   uint64_t* mdat_end)
{
    uint64_t pos = 0, len = e->length;
    int found = 0;
    *mdat_begin = *mdat_end = 0;
    for (uint64_t n = 0; pos < len && n < max_top_boxes; n++) {
        uint8_t h[16];
        if (len - pos < 8 || !filesystem::extent_read(v, e, pos, h, len - pos < 16 ? len - pos : 16))
            return 0;
        uint64_t size = basics::load_be32(h);
        if (size == 1) {
            if (len - pos < 16)
                return 0;
            size = basics::load_be64(h + 8);
        } else if (size == 0) {
            size = len - pos;
        }
        if (size < 8 || size > len - pos)
            return 0;
        if (std::memcmp(h + 4, "mdat", 4) == 0 && *mdat_end == 0) {
            *mdat_begin = pos + (basics::load_be32(h) == 1 ? 16 : 8);
            *mdat_end = pos + size;
        }
        found = std::memcmp(h + 4, "moov", 4) == 0;
        if (found) {
            *moov_at = pos;
            *moov_size = size;
        }
        pos += size;
    }
    return found && pos == len && *mdat_end != 0;
}

// The movie box read through the extent.
int movie_of(const FsVolume* v, const Extent* e, uint64_t at, uint64_t size, mp4::MovieInfo* out)
{
    if (size > mp4::max_movie_box_bytes)
        return 0;
    auto* copy = static_cast<uint8_t*>(basics::xmalloc(size));
    if (!filesystem::extent_read(v, e, at, copy, size)) {
        std::free(copy);
        return 0;
    }
    return mp4::parse_movie_copy(copy, size, at, out);
}

// Every video chunk in the media data before the movie box, its samples where the extent puts
// them (chunks cut by a fragment boundary are checked for their place only).
int chunks_in_place(const FsVolume* v, const Extent* e, const mp4::TrackTables* video, uint64_t moov_at)
{
    for (uint64_t k = 0; k < video->chunk_count; k++) {
        uint64_t at = video->chunk_offsets[k], size = video->chunk_sizes[k];
        if (at > moov_at || size > moov_at - at)
            return 0;
        uint64_t image_at = 0, span = 0;
        if (!filesystem::extent_image_offset(v, e, at, &image_at, &span))
            return 0;
        mp4::SampleSizes sizes;
        if (span >= size && analysis::chunk_samples(video, k, &sizes) &&
            !analysis::verify_chunk_at(v->image, v->image_size, image_at, &sizes, video->format))
            return 0;
    }
    return 1;
}

// Every validated kkad box in the extent's clusters lies in the file, outside every video chunk.
int markers_between_chunks(const FsVolume* v, const Extent* e, const analysis::MarkerList* markers,
                           const mp4::TrackTables* video, uint64_t moov_at)
{
    std::vector<std::pair<uint64_t, uint64_t>> chunks;
    for (uint64_t k = 0; k < video->chunk_count; k++)
        chunks.push_back({video->chunk_offsets[k], video->chunk_offsets[k] + video->chunk_sizes[k]});
    std::sort(chunks.begin(), chunks.end());
    for (size_t r = 0; r < e->runs.count; r++) {
        uint64_t begin = filesystem::cluster_offset(v, e->runs.items[r].first);
        uint64_t end = begin + uint64_t(e->runs.items[r].count) * v->cluster_bytes;
        const analysis::KkadMarker* first = std::lower_bound(
            markers->items, markers->items + markers->count, begin,
            [](const analysis::KkadMarker& m, uint64_t at) { return m.marker_offset < at; });
        for (const analysis::KkadMarker* m = first; m < markers->items + markers->count && m->marker_offset < end; m++) {
            uint64_t at = 0;
            if (!filesystem::extent_file_offset(v, e, m->marker_offset, &at))
                continue;  // in the last cluster's slack, past the file's end
            if (at >= moov_at)
                return 0;
            auto next = std::upper_bound(chunks.begin(), chunks.end(), std::make_pair(at, UINT64_MAX));
            if (next != chunks.begin() && std::prev(next)->second > at)
                return 0;
        }
    }
    return 1;
}

// The chunks the documented analysis placed by their kkad boxes are where the extent puts them.
int placements_agree(const FsVolume* v, const Extent* e, const analysis::RecoveryClip* clip)
{
    const mp4::TrackTables* video = &clip->movie->video;
    for (uint64_t k = 0; k < clip->chunk_count && k < video->chunk_count; k++) {
        if (!clip->chunks[k].resolved)
            continue;
        uint64_t image_at = 0, span = 0;
        if (!filesystem::extent_image_offset(v, e, video->chunk_offsets[k], &image_at, &span) ||
            image_at != clip->chunks[k].data_offset)
            return 0;
    }
    return 1;
}

}  // namespace

int xml_well_formed(const uint8_t* p, size_t n)
{
    std::vector<std::string> open;
    int roots = 0;
    size_t i = 0;
    while (i < n) {
        if (p[i] != '<') {
            if (open.empty() && !std::strchr(" \t\r\n", p[i]))
                return 0;  // text outside the root element
            i++;
            continue;
        }
        const uint8_t* close = static_cast<const uint8_t*>(std::memchr(p + i, '>', n - i));
        if (!close)
            return 0;
        size_t end = static_cast<size_t>(close - p);
        if (p[i + 1] == '?' || p[i + 1] == '!') {
            if (n - i >= 4 && std::memcmp(p + i, "<!--", 4) == 0) {
                const uint8_t* stop = nullptr;
                for (size_t k = i + 4; k + 3 <= n && !stop; k++)
                    if (std::memcmp(p + k, "-->", 3) == 0)
                        stop = p + k + 2;
                if (!stop)
                    return 0;
                end = static_cast<size_t>(stop - p);
            }
            i = end + 1;
            continue;
        }
        size_t name_at = i + 1 + (p[i + 1] == '/');
        size_t name_end = name_at;
        while (name_end < end && !std::strchr(" \t\r\n/", p[name_end]))
            name_end++;
        std::string name(reinterpret_cast<const char*>(p + name_at), name_end - name_at);
        if (name.empty())
            return 0;
        if (p[i + 1] == '/') {
            if (open.empty() || open.back() != name)
                return 0;
            open.pop_back();
        } else if (p[end - 1] != '/') {
            if (open.empty())
                roots++;
            open.push_back(name);
        } else if (open.empty()) {
            roots++;
        }
        i = end + 1;
    }
    return open.empty() && roots == 1;
}

namespace {

// Every video chunk read through the extent and pushed to the decoder.
int decodes_cleanly(const FsVolume* v, const Extent* e, const mp4::MovieInfo* movie, int clip_number)
{
    rebuild::ValidationPass pass = {};
    if (!rebuild::validation_prepare(&pass, movie, clip_number))
        return 0;
    const mp4::TrackTables* video = &movie->video;
    for (uint64_t k = 0; k < video->chunk_count; k++) {
        uint64_t size = video->chunk_sizes[k];
        if (size > analysis::max_sample_bytes * analysis::camera_chunk_samples) {
            rebuild::validation_close(&pass);
            return 0;
        }
        analysis::grow_read_buffer(&analysis::direct_read_buffer, size ? size : 1);
        int complete = 0;
        if (!filesystem::extent_read(v, e, video->chunk_offsets[k], analysis::direct_read_buffer.data, size)) {
            rebuild::validation_close(&pass);
            return 0;
        }
        if (!rebuild::validation_push_chunk(&pass, video, k, analysis::direct_read_buffer.data, clip_number, &complete))
            return 0;
    }
    rebuild::ProgressLine line = {0, 0, clip_number};
    return rebuild::validation_finish(&pass, video->chunk_count, video->chunk_count, 0, line);
}

}  // namespace

namespace {

// The reason an extent that holds bytes the card did not give is refused, with the span it
// touches: such a file is not the camera's for certain.
const char* unreadable_in(const FsVolume* v, const Extent* e)
{
    static char reason[160];
    uint64_t left = e->length;
    for (size_t i = 0; i < e->runs.count && left > 0; i++) {
        uint64_t at = filesystem::cluster_offset(v, e->runs.items[i].first);
        uint64_t n = std::min(left, uint64_t(e->runs.items[i].count) * v->cluster_bytes);
        char spans[96];
        if (image::describe_unreadable(at, n, spans, sizeof spans)) {
            basics::bounded_format(reason, sizeof reason, "its extent holds bytes the card did not give (%s)", spans);
            return reason;
        }
        left -= n;
    }
    return nullptr;
}

}  // namespace

const char* check_recording_extent(const FsVolume* v, const Extent* e, const analysis::ClipHeader* header,
                                   const analysis::MarkerList* markers, const analysis::RecoveryClip* clip,
                                   int validate, int clip_number)
{
    if (const char* unreadable = unreadable_in(v, e))
        return unreadable;
    uint8_t head[12];
    if (e->runs.count == 0 || filesystem::cluster_offset(v, e->runs.items[0].first) != header->header_offset ||
        !filesystem::extent_read(v, e, 0, head, sizeof head) || std::memcmp(head + 4, "ftypXAVC", 8) != 0)
        return "the clip header is not at its start";
    uint64_t moov_at = 0, moov_size = 0, mdat_begin = 0, mdat_end = 0;
    if (!top_level_moov(v, e, &moov_at, &moov_size, &mdat_begin, &mdat_end))
        return "its movie box is not where its size puts it";
    mp4::MovieInfo movie;
    if (!movie_of(v, e, moov_at, moov_size, &movie))
        return "its movie box does not read back";
    const char* why = nullptr;
    if (!rebuild::movie_box_whole(&movie, mdat_begin, mdat_end))
        why = "its movie box is damaged";
    else if (!chunks_in_place(v, e, &movie.video, moov_at))
        why = "its video chunks are not where its movie box puts them";
    else if (!markers_between_chunks(v, e, markers, &movie.video, moov_at))
        why = "a kkad box lies where its movie box puts video";
    else if (clip && clip->movie && !placements_agree(v, e, clip))
        why = "its kkad boxes place chunks elsewhere";
    else if (validate && !decodes_cleanly(v, e, &movie, clip_number))
        why = "its video does not decode cleanly";
    mp4::free_movie_info(&movie);
    return why;
}

const char* check_sidecar_extent(const FsVolume* v, const Extent* e, int kind)
{
    if (e->length < 4 || e->length > max_sidecar_bytes)
        return "its size is not a sidecar's";
    if (const char* unreadable = unreadable_in(v, e))
        return unreadable;
    std::vector<uint8_t> bytes(static_cast<size_t>(e->length));
    if (!filesystem::extent_read(v, e, 0, bytes.data(), e->length))
        return "it cannot be read";
    if (kind == sidecar_jpeg) {
        size_t n = bytes.size();
        if (bytes[0] != 0xFF || bytes[1] != 0xD8 || bytes[2] != 0xFF || bytes[n - 2] != 0xFF || bytes[n - 1] != 0xD9)
            return "it is not a whole JPEG";
        return nullptr;
    }
    size_t first = 0, last = bytes.size();
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        first = 3;
    while (first < last && std::strchr(" \t\r\n", bytes[first]) && bytes[first])
        first++;
    while (last > first && std::strchr(" \t\r\n", bytes[last - 1]) && bytes[last - 1])
        last--;
    if (last - first < 2 || bytes[first] != '<' || bytes[last - 1] != '>' ||
        std::memchr(bytes.data(), 0, bytes.size()) != nullptr || !xml_well_formed(bytes.data() + first, last - first))
        return "it is not well-formed XML";
    return nullptr;
}

}  // namespace camera
