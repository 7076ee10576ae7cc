#include "report/thumbnail.h"

#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"
#include "mp4/box.h"
#include "mp4/movie_box.h"
#include "platform/platform.h"
#include "rebuild/validation_pass.h"
#include "report/png_image.h"
#include "validator/loader.h"

namespace report {

namespace {

// The file's movie box among its top-level boxes; 1 and its offset.
int find_movie_box(std::FILE* f, uint64_t size, uint64_t* at)
{
    for (uint64_t offset = 0; offset < size;) {
        mp4::BoxHeader box;
        if (!mp4::read_box_header_file(f, offset, size, &box) || box.size == 0)
            return 0;
        if (mp4::type_is(box.type, mp4::box_moov)) {
            *at = offset;
            return 1;
        }
        offset += box.size;
    }
    return 0;
}

// The first samples of the first video chunk, one after another in `*bytes`, their sizes in `sizes`.
uint64_t read_first_samples(std::FILE* f, uint64_t size, const mp4::TrackTables* v, uint8_t** bytes, uint64_t* sizes)
{
    if (v->chunk_count == 0 || v->sample_count == 0)
        return 0;
    uint64_t n = v->chunk_sample_counts[0] < thumbnail_samples ? v->chunk_sample_counts[0] : thumbnail_samples;
    if (n > v->sample_count)
        n = v->sample_count;
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; i++) {
        sizes[i] = v->sample_sizes ? v->sample_sizes[i] : v->fixed_sample_size;
        total += sizes[i];
    }
    uint64_t at = v->chunk_offsets[0];
    if (total == 0 || total > 64ull * 1048576 || at > size || total > size - at)
        return 0;
    *bytes = static_cast<uint8_t*>(basics::xmalloc(size_t(total)));
    if (!platform::seek_abs(f, at) || std::fread(*bytes, 1, size_t(total), f) != total) {
        std::free(*bytes);
        *bytes = nullptr;
        return 0;
    }
    return n;
}

int decode_thumbnail(validator::ThumbnailFn export_fn, const mp4::MovieInfo* movie, const uint8_t* samples,
                     const uint64_t* sizes, uint64_t count, Thumbnail* out)
{
    const char* format = movie->video.format;
    const uint8_t* body = nullptr;
    uint32_t body_len = 0;
    if (!rebuild::find_config_record(movie->moov_bytes, movie->moov_size,
                                     mp4::format_is_hevc(format) ? mp4::box_hvcc : mp4::box_avcc, &body, &body_len))
        return 0;
    validator::ValidatorOpenParams params{};
    params.version = validator::validator_abi;
    std::memcpy(params.format, format, 4);
    params.one = 1;
    params.config_address = reinterpret_cast<uint64_t>(body);
    params.config_length = body_len;
    uint8_t rgb[thumbnail_max_width * thumbnail_max_height * 3];
    validator::ValidatorThumbnail picture{};
    picture.version = validator::validator_abi;
    picture.max_width = thumbnail_max_width;
    picture.max_height = thumbnail_max_height;
    picture.rgb = rgb;
    picture.rgb_capacity = sizeof rgb;
    if (export_fn(&params, samples, sizes, count, &picture) != 0 || picture.width > thumbnail_max_width ||
        picture.height > thumbnail_max_height)
        return 0;
    out->png = encode_png(rgb, picture.width, picture.height, &out->png_size);
    out->picture_width = picture.picture_width;
    out->picture_height = picture.picture_height;
    return out->png != nullptr;
}

}  // namespace

int thumbnail_of_file(const char* mp4_path, Thumbnail* out)
{
    *out = Thumbnail{};
    validator::ThumbnailFn export_fn = validator::thumbnail_export();
    if (!export_fn)
        return 0;
    std::FILE* f = platform::open_read_only(mp4_path);
    if (!f)
        return 0;
    int64_t end = 0;
    uint64_t size = platform::seek_end(f, &end) && end > 0 ? uint64_t(end) : 0;
    uint64_t moov = 0;
    mp4::MovieInfo movie{};
    int ok = 0;
    if (find_movie_box(f, size, &moov) && mp4::parse_movie(f, size, moov + 4, &movie)) {
        uint64_t sizes[thumbnail_samples];
        uint8_t* samples = nullptr;
        uint64_t n = read_first_samples(f, size, &movie.video, &samples, sizes);
        ok = n > 0 && decode_thumbnail(export_fn, &movie, samples, sizes, n, out);
        std::free(samples);
        mp4::free_movie_info(&movie);
    }
    std::fclose(f);
    return ok;
}

}  // namespace report
