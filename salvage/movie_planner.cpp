#include "salvage/movie_planner.h"

namespace salvage {

ChunkPlace video_place(const MoviePlanner* p, uint64_t k)
{
    ChunkPlace place = p->cut[k];
    place.at = p->found_at[k];
    return place;
}

int neighbour(const MoviePlanner* p, uint64_t k, int step, uint64_t* j)
{
    for (uint64_t i = k; step < 0 ? i-- > 0 : ++i < p->chunks;)
        if (p->found[i]) {
            *j = i;
            return 1;
        }
    return 0;
}

uint64_t leading_bytes(const mp4::TrackTables* t, uint64_t k, uint64_t n)
{
    if (t->fixed_sample_size)
        return n * t->fixed_sample_size;
    uint64_t sum = 0;
    for (uint64_t i = 0; i < n; i++)
        sum += t->sample_sizes[t->chunk_first_sample[k] + i];
    return sum;
}

}  // namespace salvage
