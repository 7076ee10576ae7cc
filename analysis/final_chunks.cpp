#include "analysis/final_chunks.h"

#include "analysis/chunk_locate.h"
#include "basics/output.h"

namespace analysis {

namespace {

constexpr uint64_t final_search_distance = 0x1000000;  // 16 MiB either side

int is_open(const ChunkPlacement* place) { return !place->mapped && !place->resolved; }

// The camera writes audio chunk j - 1 and metadata chunk j between video chunks j - 1 and j,
// so the final video chunk follows the previous one by those three sizes.
int resolve_final_chunk(std::FILE* image, uint64_t image_size, RecoveryClip* clip)
{
    uint64_t n = clip->chunk_count;
    uint64_t open = 0, last_open = 0;
    for (uint64_t i = 0; i < n; i++)
        if (is_open(&clip->chunks[i])) {
            open++;
            last_open = i;
        }
    if (open != 1 || last_open != n - 1 || last_open < 1)
        return 0;
    uint64_t j = last_open;
    const mp4::MovieInfo* movie = clip->movie;
    const mp4::TrackTables* video = &movie->video;
    uint64_t previous;
    if (!locate_chunk(image, image_size, movie, clip->chunks, j - 1, &previous))
        return 0;
    uint64_t steps[3] = {video->chunk_sizes[j - 1], 0, 0};
    if (movie->has_audio && movie->audio.chunk_count > j - 1)
        steps[1] = movie->audio.chunk_sizes[j - 1];
    if (movie->has_other && movie->other.chunk_count > j)
        steps[2] = movie->other.chunk_sizes[j];
    uint64_t expected = previous;
    for (uint64_t step : steps) {
        if (step > UINT64_MAX - expected)
            return 0;
        expected += step;
    }
    mp4::SampleSizes sizes;
    if (!chunk_samples(video, j, &sizes))
        return 0;
    uint64_t found = expected;
    if (!verify_chunk_at(image, image_size, expected, &sizes, video->format) &&
        !find_chunk_in_window(image, image_size, expected, final_search_distance, final_search_distance, &sizes,
                              video->format, &found))
        return 0;
    clip->chunks[j].resolved = 1;
    clip->chunks[j].data_offset = found;
    clip->resolved_count++;
    return 1;
}

}  // namespace

int clip_is_recoverable(const RecoveryClip* clip)
{
    for (uint64_t i = 0; i < clip->chunk_count; i++)
        if (is_open(&clip->chunks[i]))
            return 0;
    return 1;
}

size_t resolve_final_chunks(std::FILE* image, uint64_t image_size, ClipList* clips)
{
    basics::out_printf("\n[5/6] Resolving final video chunks...\n");
    size_t found = 0, recoverable = 0;
    for (size_t i = 0; i < clips->count; i++) {
        RecoveryClip* clip = &clips->items[i];
        if (clip->chunk_count != 0 && resolve_final_chunk(image, image_size, clip))
            found++;
    }
    for (size_t i = 0; i < clips->count; i++)
        recoverable += clip_is_recoverable(&clips->items[i]);
    basics::out_printf("  tail final chunks found=%zu\n", found);
    basics::out_printf("  recoverable clips=%zu/%zu\n", recoverable, clips->count);
    return recoverable;
}

int clip_is_chosen(int32_t only_clip, uint32_t clip_number)
{
    return only_clip == 0 || static_cast<int32_t>(clip_number) == only_clip;
}

}  // namespace analysis
