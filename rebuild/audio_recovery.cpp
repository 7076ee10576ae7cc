// Audio chunks: nothing on the card names where the camera put them, so each one is inferred,
// in order of trust: from the cluster layout of the clip, from the camera's cadence of audio
// right behind a video chunk, from the spot right behind the last video chunk; else it stays
// zero ("silent").
#include <algorithm>
#include <cstdlib>

#include "engine/report.h"
#include "platform/platform.h"
#include "rebuild/clip_writer.h"
#include "rebuild/cluster_map.h"

namespace rebuild {

namespace {

constexpr uint64_t max_copy_piece = 0x800000;
// The camera writes the next kkad box this far behind the end of the audio chunk that follows a
// video chunk.
constexpr uint64_t cadence_min_gap = 16384;
constexpr uint64_t cadence_max_gap = 16384 + 4096;

// Copies file bytes [q, q + a) cluster piece by cluster piece from where the map puts them.
int copy_by_cluster_map(ClipWriteState* state, uint64_t q, uint64_t a)
{
    const ClusterMap* map = &state->map;
    uint64_t cs = map->cluster_bytes;
    if (cs == 0 || a - 1 > UINT64_MAX - q)
        return 0;
    uint64_t first = q / cs;
    uint64_t last = (q + a - 1) / cs;
    if (last >= map->count)
        return 0;
    for (uint64_t u = first; u <= last; u++) {
        if (map->entries[u] < 0)
            return 0;
    }
    size_t cap = static_cast<size_t>(std::min(cs, max_copy_piece));
    auto* buf = static_cast<uint8_t*>(engine::xmalloc(cap));
    uint64_t x = q;
    uint64_t end = q + a;
    int ok = 1;
    while (x < end) {
        uint64_t u = x / cs;
        uint64_t w = x % cs;
        uint64_t piece = std::min({cs - w, end - x, static_cast<uint64_t>(cap)});
        int64_t base = map->entries[u];
        if (base < 0 || !platform::seek_abs(state->image, static_cast<uint64_t>(base) + w) ||
            !platform::read_exact(state->image, buf, static_cast<size_t>(piece)) ||
            !platform::seek_abs(state->output, x) ||
            std::fwrite(buf, 1, static_cast<size_t>(piece), state->output) != piece) {
            ok = 0;
            break;
        }
        x += piece;
    }
    std::free(buf);
    return ok;
}

// The kkad box that mapped video chunk j - 1 sits a fixed gap behind the audio chunk that the
// camera wrote right after that video chunk.
int cadence_matches(const analysis::ChunkPlacement* placement, uint64_t expected_end)
{
    if (!placement->mapped || placement->hit_count < 2 || placement->kkad_offset < expected_end)
        return 0;
    uint64_t gap = placement->kkad_offset - expected_end;
    return gap >= cadence_min_gap && gap <= cadence_max_gap;
}

}  // namespace

void recover_audio_chunk(ClipWriteState* state, uint64_t j)
{
    const mp4::MovieInfo* movie = state->clip->movie;
    const mp4::TrackTables* audio = &movie->audio;
    const mp4::TrackTables* video = &movie->video;
    if (j == 0 || j > audio->chunk_count)
        return;
    uint64_t a = audio->chunk_sizes[j - 1];
    uint64_t q = audio->chunk_offsets[j - 1];
    if (a == 0) {
        state->audio_written++;
        return;
    }
    if (copy_by_cluster_map(state, q, a)) {
        state->audio_written++;
        return;
    }
    uint64_t k = j - 1;
    if (k < video->chunk_count && state->located[k]) {
        uint64_t vsize = video->chunk_sizes[k];
        uint64_t v = state->located_at[k];
        if (vsize <= UINT64_MAX - v && a <= UINT64_MAX - (v + vsize)) {
            v += vsize;
            uint64_t expected_end = v + a;
            if (k < state->clip->chunk_count && cadence_matches(&state->clip->chunks[k], expected_end) &&
                copy_image_range(state->image, v, state->output, q, a) == a) {
                state->audio_written++;
                state->cadence++;
                return;
            }
            // In the camera's file the last audio chunk directly followed that video chunk.
            uint64_t video_end = video->chunk_offsets[k] + vsize;
            if (j == audio->chunk_count && video_end >= vsize && q == video_end &&
                expected_end <= state->image_size &&
                copy_image_range(state->image, v, state->output, q, a) == a) {
                state->audio_written++;
                state->final_adjacent++;
                return;
            }
        }
    }
    state->silent++;
}

}  // namespace rebuild
