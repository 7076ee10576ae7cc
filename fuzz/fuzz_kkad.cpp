// An image of one movie box followed by kkad boxes: every "kkad" in it validated as a marker, then
// the stage-4 walk over the markers maps the movie's video chunks.
#include <cstdlib>
#include <cstring>

#include "analysis/candidates.h"
#include "analysis/fingerprint_map.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::FILE* image = fuzz::open_image(data, size);
    if (!image)
        return 0;
    analysis::MarkerList markers = {};
    for (uint64_t at = 4; at + 4 <= size; at++) {
        analysis::KkadMarker marker;
        if (std::memcmp(data + at, mp4::box_kkad, 4) == 0 && analysis::validate_marker(image, size, at, &marker))
            basics::list_append(&markers, marker);
    }
    mp4::MovieInfo movie;
    if (mp4::parse_movie(image, size, 4, &movie)) {
        analysis::RecoveryClip clip = {};
        clip.movie = &movie;
        clip.chunk_count = movie.video.chunk_count;
        clip.chunks = static_cast<analysis::ChunkPlacement*>(std::calloc(clip.chunk_count + 1, sizeof *clip.chunks));
        analysis::ClipList clips = {};
        basics::list_append(&clips, clip);
        analysis::map_fingerprints(image, size, &markers, &clips);
        for (uint64_t j = 0; j < clip.chunk_count; j++) {
            const analysis::ChunkPlacement* place = &clips.items[0].chunks[j];
            if (place->mapped && (place->kkad_offset < 4 || place->kkad_offset + 4 > size ||
                                  std::memcmp(data + place->kkad_offset, mp4::box_kkad, 4) != 0))
                fuzz::broken("a chunk is mapped to a kkad box of the image");
        }
        std::free(clip.chunks);
        basics::list_free(&clips);
        mp4::free_movie_info(&movie);
    }
    basics::list_free(&markers);
    std::fclose(image);
    return 0;
}
