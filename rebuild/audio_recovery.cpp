// Audio chunks: nothing on the card names where the camera put them, so each one is inferred,
// in order of trust: from the cluster layout of the clip, from the camera's cadence of audio
// right behind a video chunk, from the spot right behind the last video chunk; else it stays
// zero ("silent").
#include "rebuild/audio_recovery.h"

#include <algorithm>
#include <cstdlib>

#include "basics/checked_alloc.h"
#include "basics/growable.h"
#include "rebuild/image_copy.h"

namespace rebuild {

namespace {

// The camera writes the next kkad box this far behind the end of the audio chunk that follows a
// video chunk.
constexpr uint64_t cadence_min_gap = 16384;
constexpr uint64_t cadence_max_gap = 16384 + 4096;

// A place bytes of audio chunk `number` were copied from, kept when the report asks.
void note_span(ClipWriteState* state, uint64_t number, uint64_t image_offset, uint64_t length)
{
    if (state->sound_at)
        basics::list_append(&state->sound_spans, SoundSpan{number - 1, image_offset, length});
}

// Copies output-file bytes [file_offset, file_offset + length) of audio chunk `number` cluster
// piece by cluster piece from where the map puts them.
int copy_by_cluster_map(ClipWriteState* state, uint64_t number, uint64_t file_offset, uint64_t length)
{
    const ClusterMap* map = &state->map;
    uint64_t cluster = map->cluster_bytes;
    if (cluster == 0 || length - 1 > UINT64_MAX - file_offset)
        return 0;
    uint64_t first = file_offset / cluster;
    uint64_t last = (file_offset + length - 1) / cluster;
    if (last >= map->count)
        return 0;
    for (uint64_t u = first; u <= last; u++) {
        if (map->entries[u] < 0)
            return 0;
    }
    size_t cap = static_cast<size_t>(std::min(length, copy_piece_limit));
    auto* buf = static_cast<uint8_t*>(basics::xmalloc(cap));
    uint64_t at = file_offset;
    uint64_t end = file_offset + length;
    size_t spans_before = state->sound_spans.count;
    int ok = 1;
    while (at < end) {
        uint64_t within = at % cluster;
        uint64_t u = at / cluster;
        int64_t base = map->entries[u];
        // Clusters that follow each other in the image as in the file go in one piece; one that
        // runs past the image end stays a piece of its own, the only one that fails.
        uint64_t piece = cluster - within;
        while (piece < end - at && piece < cap) {
            uint64_t next = static_cast<uint64_t>(map->entries[u + 1]);
            if (next != static_cast<uint64_t>(map->entries[u]) + cluster || next > state->image_size ||
                cluster > state->image_size - next)
                break;
            piece += cluster;
            u++;
        }
        piece = std::min({piece, end - at, static_cast<uint64_t>(cap)});
        if (base < 0 || !copy_piece(state->image, static_cast<uint64_t>(base) + within, state->output, at, buf,
                                    static_cast<size_t>(piece), &state->silenced_bytes)) {
            ok = 0;
            break;
        }
        note_span(state, number, static_cast<uint64_t>(base) + within, piece);
        at += piece;
    }
    std::free(buf);
    if (!ok)
        state->sound_spans.count = spans_before;
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

void note_sound(ClipWriteState* state, uint64_t number, uint64_t image_offset)
{
    if (state->sound_at)
        state->sound_at[number - 1] = image_offset;
}

}  // namespace

void recover_audio_chunk(ClipWriteState* state, uint64_t number)
{
    const mp4::MovieInfo* movie = state->clip->movie;
    const mp4::TrackTables* audio = &movie->audio;
    const mp4::TrackTables* video = &movie->video;
    if (number == 0 || number > audio->chunk_count)
        return;
    uint64_t length = audio->chunk_sizes[number - 1];
    uint64_t file_offset = audio->chunk_offsets[number - 1];
    if (length == 0) {
        state->audio_written++;
        return;
    }
    if (copy_by_cluster_map(state, number, file_offset, length)) {
        state->audio_written++;
        note_sound(state, number, uint64_t(state->map.entries[file_offset / state->map.cluster_bytes]) +
                                      file_offset % state->map.cluster_bytes);
        return;
    }
    // The video chunk the camera wrote right before this audio chunk.
    uint64_t k = number - 1;
    if (k < video->chunk_count && state->located[k]) {
        uint64_t video_size = video->chunk_sizes[k];
        uint64_t behind_video = state->located_at[k];
        if (video_size <= UINT64_MAX - behind_video && length <= UINT64_MAX - (behind_video + video_size)) {
            behind_video += video_size;
            uint64_t expected_end = behind_video + length;
            if (k < state->clip->chunk_count && cadence_matches(&state->clip->chunks[k], expected_end) &&
                copy_image_range(state->image, behind_video, state->output, file_offset, length, &state->silenced_bytes) == length) {
                state->audio_written++;
                state->cadence++;
                note_sound(state, number, behind_video);
                note_span(state, number, behind_video, length);
                return;
            }
            // In the camera's file the last audio chunk directly followed that video chunk.
            uint64_t video_end = video->chunk_offsets[k] + video_size;
            if (number == audio->chunk_count && video_end >= video_size && file_offset == video_end &&
                expected_end <= state->image_size &&
                copy_image_range(state->image, behind_video, state->output, file_offset, length, &state->silenced_bytes) == length) {
                state->audio_written++;
                state->final_adjacent++;
                note_sound(state, number, behind_video);
                note_span(state, number, behind_video, length);
                return;
            }
        }
    }
    state->silent++;
}

}  // namespace rebuild
