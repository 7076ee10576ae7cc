// A movie box read from an image that holds nothing else: its tracks' tables, the sample sizes of
// every video chunk and the output movie box built from it; and its head read alone.
#include "analysis/chunk_locate.h"
#include "fuzz/fuzz_support.h"
#include "mp4/movie_box.h"
#include "rebuild/output_moov.h"

namespace {

void check_output_moov(const mp4::MovieInfo* movie, int keep)
{
    rebuild::OutputMoov out;
    if (!rebuild::build_output_moov(movie, keep, &out))
        return;
    mp4::BoxHeader moov;
    if (!mp4::read_box_header_mem(out.bytes, out.length, 0, &moov) || !mp4::type_is(moov.type, mp4::box_moov) ||
        moov.size != out.length || out.length > movie->moov_size)
        fuzz::broken("the output movie box is one whole moov box no larger than the camera's");
    rebuild::free_output_moov(&out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::FILE* image = fuzz::open_image(data, size);
    if (!image)
        return 0;
    // the head of a box cut anywhere: its movie header read from the bytes in front of the cut only
    mp4::MovieInfo head = {};
    if (mp4::movie_head_creation_time(data, size, &head) && !head.has_creation_time)
        fuzz::broken("a creation time read from the head is one the movie header holds");
    mp4::MovieInfo movie;
    if (mp4::parse_movie(image, size, 4, &movie)) {
        const mp4::TrackTables* video = &movie.video;
        for (uint64_t j = 0; j < video->chunk_count; j++) {
            // the sizes of a chunk are contiguous: its first and last must be inside the table
            mp4::SampleSizes sizes;
            if (analysis::chunk_samples(video, j, &sizes) && sizes.count > 0) {
                volatile uint32_t ends = mp4::sample_size_at(&sizes, 0) + mp4::sample_size_at(&sizes, sizes.count - 1);
                (void)ends;
            }
        }
        check_output_moov(&movie, 0);
        check_output_moov(&movie, 1);
        mp4::free_movie_info(&movie);
    }
    std::fclose(image);
    return 0;
}
