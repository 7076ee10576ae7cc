// Stage [6/6]: one clip rebuilt as the camera wrote it. The header and every chunk go back to
// the file offset the movie box names for them, so the stco/co64 tables stay valid untouched,
// and the movie box goes right behind the media data, where the camera had put it.
#include "rebuild/clip_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "basics/byte_order.h"
#include "basics/output.h"
#include "mp4/box.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"
#include "basics/checked_alloc.h"
#include "image/card_reader.h"
#include "image/path_join.h"
#include "image/read_at.h"
#include "rebuild/audio_recovery.h"
#include "rebuild/clip_names.h"
#include "rebuild/copy_worker.h"
#include "rebuild/decode_ahead.h"
#include "rebuild/image_copy.h"
#include "rebuild/output_file.h"
#include "rebuild/output_moov.h"
#include "rebuild/progress_line.h"
#include "rebuild/spool.h"
#include "rebuild/validation_pass.h"

namespace rebuild {

namespace {

struct Writer {
    const analysis::RecoveryClip* clip;
    int clip_number;
    int validate;
    int decoded_ahead;  // the samples' decode check ran while the scan read on
    FileProgress progress;
    HeldChunks held;  // chunks the decode check took, shown once their results are in
    ClipWriteState state;
    OutputMoov moov;
    ValidationPass pass;
    uint8_t* located;
    uint64_t* located_at;
    uint64_t cluster_bytes;
    char final_path[1400];
    char temp_path[temp_path_size];
};

uint64_t gcd(uint64_t a, uint64_t b)
{
    while (b) {
        uint64_t t = a % b;
        a = b;
        b = t;
    }
    return a;
}

void print_timing_line(const analysis::RecoveryClip* clip)
{
    const mp4::MovieInfo* movie = clip->movie;
    const mp4::TrackTables* v = &movie->video;
    double video_seconds = v->timescale ? double(v->duration) / double(v->timescale) : 0.0;
    double fps = 0.0;
    uint64_t num = 0;
    uint64_t den = 0;
    if (v->timescale && v->duration) {
        uint64_t frames_scaled = v->sample_count * v->timescale;
        fps = double(frames_scaled) / double(v->duration);
        uint64_t g = gcd(frames_scaled, v->duration);
        num = frames_scaled / g;
        den = v->duration / g;
    }
    if (sound_track_written(movie)) {
        const mp4::TrackTables* a = &movie->audio;
        double audio_seconds = a->timescale ? double(a->duration) / double(a->timescale) : 0.0;
        basics::out_printf("clip %d: fps=%.9f (%llu/%llu), video=%.6fs, audio=%.6fs A-V=%+.9fs\n",
                           int(clip->clip_number), fps, (unsigned long long)num, (unsigned long long)den,
                           video_seconds, audio_seconds, audio_seconds - video_seconds);
    } else {
        basics::out_printf("clip %d: fps=%.9f (%llu/%llu), video=%.6fs\n", int(clip->clip_number), fps,
                           (unsigned long long)num, (unsigned long long)den, video_seconds);
    }
}

// Video chunk k found in the image: 1 and its place recorded.
int locate_video_chunk(Writer* w, uint64_t k)
{
    uint64_t at = 0;
    if (k >= w->clip->chunk_count ||
        !analysis::locate_chunk(w->state.image, w->state.image_size, w->clip->movie, w->clip->chunks, k, &at))
        return 0;
    w->located[k] = 1;
    w->located_at[k] = at;
    return 1;
}

// Hands what the writer knows over to the outcome before it is released.
void note_outcome(Writer* w, ClipOutcome* outcome, int written)
{
    if (!outcome)
        return;
    const mp4::MovieInfo* movie = w->clip->movie;
    outcome->video_chunks = movie->video.chunk_count;
    outcome->video_written = w->held.counted;
    outcome->audio_chunks = sound_track_written(movie) ? movie->audio.chunk_count : 0;
    outcome->audio_written = w->state.audio_written;
    basics::bounded_format(outcome->final_path, sizeof outcome->final_path, "%s", written ? w->final_path : "");
    basics::bounded_format(outcome->failure, sizeof outcome->failure, "%s", written ? "" : last_clip_error());
    outcome->located = w->located;
    outcome->located_at = w->located_at;
    outcome->sound_at = w->state.sound_at;
    outcome->sound_spans = w->state.sound_spans;
    w->state.sound_spans = SoundSpanList{};
    outcome->head_hashed = written && spool_head_hash(&outcome->head_hash);
    w->located = nullptr;
    w->located_at = nullptr;
    w->state.sound_at = nullptr;
}

void release(Writer* w)
{
    std::free(w->located);
    std::free(w->located_at);
    std::free(w->state.sound_at);
    basics::list_free(&w->state.sound_spans);
    free_output_moov(&w->moov);
    cluster_map_free(&w->state.map);
    validation_close(&w->pass);
    spool_release();
}

// Every failure after the temporary file exists closes and deletes it.
int give_up(Writer* w, ClipOutcome* outcome = nullptr)
{
    discard_output(&w->state.output, w->temp_path);
    note_outcome(w, outcome, 0);
    release(w);
    return 0;
}

// Writes located chunk k at its file offset; 1 when it arrived whole. The decode check needs the
// bytes: then the chunk is read into the direct-read buffer once and written from there.
// Otherwise the system copies it where it can.
int copy_video_chunk(Writer* w, uint64_t k)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    uint64_t size = v->chunk_sizes[k];
    if (size > SIZE_MAX)
        return 0;
    analysis::grow_read_buffer(&analysis::direct_read_buffer, size);
    uint8_t* buf = analysis::direct_read_buffer.data;
    uint64_t from = w->located_at[k], to = v->chunk_offsets[k];
    if ((w->validate && !w->decoded_ahead) || size == 0)
        return copy_through(w->state.image, from, w->state.output, to, buf, static_cast<size_t>(size));
    return copy_piece(w->state.image, from, w->state.output, to, buf, static_cast<size_t>(size));
}

void count_video_chunk(Writer* w)
{
    show_chunk(&w->held);
}

// A chunk the copy worker gives back: what the system did not copy goes the portable way.
void finish_handed_chunk(Writer* w, uint64_t k, uint64_t moved)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    size_t size = static_cast<size_t>(v->chunk_sizes[k]);
    spool_note(w->state.output, v->chunk_offsets[k], moved, 1, 1);
    if (moved < size) {
        analysis::grow_read_buffer(&analysis::direct_read_buffer, size - moved);
        if (!copy_through(w->state.image, w->located_at[k] + moved, w->state.output, v->chunk_offsets[k] + moved,
                          analysis::direct_read_buffer.data, size_t(size - moved)))
            return;
    }
    count_video_chunk(w);
}

// Gives back the chunks the worker has copied; with `wait`, every chunk in its hands.
void collect_handed_chunks(Writer* w, CopyWorker* worker, int wait)
{
    uint64_t k = 0, moved = 0;
    while (copy_worker_collect(worker, wait, &k, &moved))
        finish_handed_chunk(w, k, moved);
}

// Without the decode check: chunks are located while the worker copies the ones before. They are
// copied in order, and each is counted once it has arrived whole, in order too. The worker starts
// at the first chunk the spool does not hold in place: a clip spooled whole needs none.
void write_video_chunks_alongside(Writer* w)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    CopyWorker* worker = nullptr;
    int tried = 0;
    for (uint64_t k = 0; k < v->chunk_count; k++) {
        mp4::SampleSizes sizes;
        int ready = locate_video_chunk(w, k) && analysis::chunk_samples(v, k, &sizes) && v->chunk_sizes[k] <= SIZE_MAX;
        if (worker)
            collect_handed_chunks(w, worker, 0);
        if (!ready)
            continue;
        int in_place = v->chunk_sizes[k] == 0 ||
                       spool_in_place(w->state.output, w->located_at[k], v->chunk_offsets[k], v->chunk_sizes[k]);
        if (!in_place && !tried) {
            tried = 1;
            worker = copy_worker_start(w->state.image, w->state.output);
        }
        // an empty chunk, and one whose bytes the spool holds in place, need no copy; without a
        // worker the chunk is copied here
        if (in_place || !worker) {
            if (worker)
                collect_handed_chunks(w, worker, 1);  // counted in order
            if (copy_video_chunk(w, k))
                count_video_chunk(w);
            continue;
        }
        // the bytes there change: no later copy may count on them as spooled
        spool_note(w->state.output, v->chunk_offsets[k], v->chunk_sizes[k], 1, 0);
        while (!copy_worker_submit(worker, w->located_at[k], v->chunk_offsets[k], v->chunk_sizes[k], k)) {
            uint64_t done = 0, moved = 0;
            if (copy_worker_collect(worker, 1, &done, &moved))
                finish_handed_chunk(w, done, moved);
        }
    }
    if (worker) {
        collect_handed_chunks(w, worker, 1);
        copy_worker_stop(worker);
    }
}

// 1 when every video chunk is located where the spooled file already holds it, so that the
// samples the writer would push are the ones decoded ahead. Otherwise nothing stays located.
int all_in_place(Writer* w)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    for (uint64_t k = 0; k < v->chunk_count; k++)
        if (!locate_video_chunk(w, k) ||
            !spool_in_place(w->state.output, w->located_at[k], v->chunk_offsets[k], v->chunk_sizes[k])) {
            std::memset(w->located, 0, static_cast<size_t>(k + 1));
            return 0;
        }
    return 1;
}

// One past the last sample of chunk k.
uint64_t chunk_end_sample(const mp4::TrackTables* v, uint64_t k)
{
    return v->chunk_first_sample[k] + v->chunk_sample_counts[k];
}

// The chunks are in place: counted as the decode check would count them, and given up at the
// chunk whose samples it refused, with the same line.
int write_video_decoded_ahead(Writer* w, const DecodedAhead* ahead)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    w->decoded_ahead = 1;
    w->pass.result = ahead->result;
    // a sample the decoder named, at its push or in the drain, stops the writer at its chunk, as
    // the writer's own decoder would
    int at_sample = names_failing_sample(&w->pass) &&
                    (ahead->refusal == video_refused_sample || (ahead->refused_chunk == UINT64_MAX && ahead->finish_rc));
    for (uint64_t k = 0; k < v->chunk_count; k++) {
        if (!copy_video_chunk(w, k))
            continue;
        if (at_sample ? chunk_end_sample(v, k) > w->pass.result.failing_sample : k == ahead->refused_chunk) {
            // the writer never got to the chunks behind it
            std::memset(w->located + k + 1, 0, static_cast<size_t>(v->chunk_count - k - 1));
            report_refusal(&w->pass, at_sample ? video_refused_sample : ahead->refusal, w->clip_number);
            return 0;
        }
        if (chunk_filled(v, k))
            count_video_chunk(w);
    }
    w->pass.result = ahead->result;
    w->pass.decided = 1;
    w->pass.decided_rc = ahead->finish_rc;
    return 1;
}

// The chunks behind the one holding `sample` stay unplaced: the writer stops at that chunk, at
// whatever push the decoder's refusal came back.
void forget_after_sample(Writer* w, uint64_t sample)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    for (uint64_t k = 0; k < v->chunk_count; k++)
        if (v->chunk_first_sample[k] > sample)
            w->located[k] = 0;
}

// The decoder refused a sample: what counts as written is what lies wholly in front of it.
void stop_at_refusal(Writer* w, VideoVerdict verdict)
{
    if (verdict == video_refused_sample) {
        show_before(&w->held, w->pass.result.failing_sample);
        forget_after_sample(w, w->pass.result.failing_sample);
    } else {
        show_all(&w->held);
    }
}

// Locates and writes every video chunk in turn; 0 when validation rejected a sample.
int write_video_chunks(Writer* w, const DecodedAhead* ahead)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    if (ahead && image::card_map()->pieces.count == 0 && all_in_place(w))
        return write_video_decoded_ahead(w, ahead);
    // decoded ahead from other bytes than these: the writer decodes them itself
    if (ahead && !validation_prepare(&w->pass, w->clip->movie, w->clip_number))
        return 0;
    // the worker only helps where the system copies; the decode check needs the bytes here
    if (!w->validate && platform::copies_in_system()) {
        write_video_chunks_alongside(w);
        return 1;
    }
    for (uint64_t k = 0; k < v->chunk_count; k++) {
        mp4::SampleSizes sizes;
        if (!locate_video_chunk(w, k) || !analysis::chunk_samples(v, k, &sizes) || !copy_video_chunk(w, k))
            continue;
        if (w->validate) {
            int complete = 0;
            VideoVerdict verdict = push_chunk(&w->pass, v, k, analysis::direct_read_buffer.data, &complete);
            if (verdict != video_decoded) {
                stop_at_refusal(w, verdict);
                report_refusal(&w->pass, verdict, w->clip_number);
                return 0;
            }
            if (complete)
                hold_chunk(&w->held, chunk_end_sample(v, k), w->pass.pushed);
            show_settled(&w->held, w->pass.pushed);
            continue;
        }
        count_video_chunk(w);
    }
    return 1;
}

// Where video chunk k must lie in the image: between the located chunks around it (the whole
// image when none is).
void chunk_neighbourhood(const Writer* w, uint64_t k, uint64_t* from, uint64_t* to)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    *from = 0;
    *to = w->state.image_size;
    for (uint64_t j = k; j-- > 0;)
        if (w->located[j]) {
            *from = w->located_at[j] + v->chunk_sizes[j];
            break;
        }
    for (uint64_t j = k + 1; j < v->chunk_count; j++)
        if (w->located[j]) {
            *to = w->located_at[j];
            break;
        }
}

// A video chunk that is not on the card where the card did not read cannot be written by these
// rules: the clip is given up with the span that cost it the chunk, and salvage keeps the rest.
int unreadable_chunk(Writer* w)
{
    const mp4::TrackTables* v = &w->clip->movie->video;
    if (w->held.counted >= v->chunk_count || image::card_map()->pieces.count == 0)
        return 0;
    for (uint64_t k = 0; k < v->chunk_count; k++) {
        uint64_t from = 0, to = 0;
        char spans[96];
        if (w->located[k])
            continue;
        chunk_neighbourhood(w, k, &from, &to);
        if (to <= from || !image::describe_unreadable(from, to - from, spans, sizeof spans))
            image::describe_unreadable(0, w->state.image_size, spans, sizeof spans);
        clip_error(w->clip_number, "video chunk %llu is not on the card where it did not read (%s)",
                   static_cast<unsigned long long>(k + 1), spans);
        return 1;
    }
    return 0;
}

// Names the spans that cost the clip some of its sound.
void print_silenced(const Writer* w)
{
    if (w->state.silenced_bytes == 0)
        return;
    const mp4::TrackTables* v = &w->clip->movie->video;
    uint64_t first = UINT64_MAX, last = 0;
    for (uint64_t k = 0; k < v->chunk_count; k++)
        if (w->located[k]) {
            first = std::min(first, w->located_at[k]);
            last = std::max(last, w->located_at[k] + v->chunk_sizes[k]);
        }
    char spans[96] = "";
    if (first >= last || !image::describe_unreadable(first, last - first, spans, sizeof spans))
        image::describe_unreadable(0, w->state.image_size, spans, sizeof spans);
    basics::out_printf("  sound silenced: %llu bytes the card did not give (%s)\n",
                       static_cast<unsigned long long>(w->state.silenced_bytes), spans);
}

void write_audio_chunks(Writer* w)
{
    const mp4::MovieInfo* movie = w->clip->movie;
    if (!sound_track_written(movie) || movie->audio.chunk_count == 0)
        return;
    uint64_t m = movie->audio.chunk_count;
    for (uint64_t j = 1; j <= m; j++) {
        recover_audio_chunk(&w->state, j);
        progress_audio_chunk(&w->progress, j, m);
    }
}

// 1 when every chunk of the track lies inside file bytes [begin, end).
int chunks_inside(const mp4::TrackTables* t, uint64_t begin, uint64_t end)
{
    for (uint64_t k = 0; k < t->chunk_count; k++) {
        uint64_t at = t->chunk_offsets[k];
        if (at < begin || at > end || t->chunk_sizes[k] > end - at)
            return 0;
    }
    return 1;
}

// Everything that happens before the output exists: the checks of the media data, the output
// movie box and the file names. 0 gives the clip up.
int prepare(Writer* w, const image::ImageGeometry* geometry, const char* output_dir, int keep_metadata_track)
{
    const analysis::ClipHeader* header = w->clip->header;
    uint64_t count = w->clip->movie->video.chunk_count;
    size_t n = count ? static_cast<size_t>(count) : 1;
    w->located = static_cast<uint8_t*>(basics::xcalloc(n, 1));
    w->located_at = static_cast<uint64_t*>(basics::xcalloc(n, sizeof(uint64_t)));
    mp4::BoxHeader mdat;
    // An mdat of size 0 runs to the end of its file: copied as it is, it would swallow the movie
    // box written behind it.
    uint8_t size_field[4] = {0, 0, 0, 0};
    if (header->mdat_offset < header->header_offset ||
        !mp4::read_box_header_file(w->state.image, header->mdat_offset, w->state.image_size, &mdat) ||
        !mp4::type_is(mdat.type, mp4::box_mdat) ||
        !image::read_at(w->state.image, header->mdat_offset, size_field, 4) || basics::load_be32(size_field) == 0) {
        clip_error(w->clip_number, "invalid mdat header");
        return 0;
    }
    if (!build_output_moov(w->clip->movie, keep_metadata_track, &w->moov))
        return 0;
    // a track without its tables would make the whole file unreadable to a player
    if (!movie_tracks_complete(w->moov.bytes, w->moov.length)) {
        clip_error(w->clip_number, "movie box incomplete");
        return 0;
    }
    uint64_t h = header->header_offset;
    if (header->mdat_end < h || w->moov.length > UINT64_MAX - (header->mdat_end - h))
        return 0;
    w->state.header_offset = h;
    w->state.header_length = header->mdat_offset - h + mdat.header_size;
    w->state.file_size = (header->mdat_end - h) + w->moov.length;
    // A movie box paired with the header of another recording names chunks outside this media
    // data; written, they would overwrite the movie box or lie beyond it.
    const mp4::MovieInfo* movie = w->clip->movie;
    if (!chunks_inside(&movie->video, w->state.header_length, header->mdat_end - h) ||
        (sound_track_written(movie) && !chunks_inside(&movie->audio, w->state.header_length, header->mdat_end - h))) {
        clip_error(w->clip_number, "movie box does not fit the media data");
        return 0;
    }
    w->state.located = w->located;
    w->state.located_at = w->located_at;
    w->cluster_bytes = geometry->cluster_bytes;

    char name[256];
    clip_file_name(w->clip, name, sizeof name);
    image::path_join(w->final_path, sizeof w->final_path, output_dir, name);
    temp_path_for(w->final_path, w->temp_path, sizeof w->temp_path);
    return 1;
}

// The temporary file, sized and holding the copied header.
int create_output(Writer* w)
{
    int failed = 0;
    w->state.output =
        spool_adopt(w->state.header_offset, w->temp_path, w->state.file_size, w->clip_number, &failed);
    if (failed)
        return 0;
    if (!w->state.output)
        w->state.output = create_sized_output(w->temp_path, w->state.file_size, w->clip_number);
    if (!w->state.output)
        return 0;
    uint64_t l = w->state.header_length;
    if (copy_image_range(w->state.image, w->state.header_offset, w->state.output, 0, l) < l) {
        clip_error(w->clip_number, "header copy failed");
        return 0;
    }
    return 1;
}

// The movie box behind the media data, then the move to the final name.
int finalize_output(Writer* w)
{
    progress_step(&w->progress, 99, "finalizing MP4");
    // a spooled file holds the image's bytes where a new one holds zeros
    if (!spool_zero_unwritten(w->state.output)) {
        clip_error(w->clip_number, "moov write failed");
        return 0;
    }
    uint64_t at = w->clip->header->mdat_end - w->state.header_offset;
    std::FILE* out = w->state.output;
    w->state.output = nullptr;
    return finish_output(out, at, w->moov.bytes, w->moov.length, w->temp_path, w->final_path, w->clip_number);
}

}  // namespace

void free_clip_outcome(ClipOutcome* outcome)
{
    std::free(outcome->located);
    std::free(outcome->located_at);
    std::free(outcome->sound_at);
    basics::list_free(&outcome->sound_spans);
    outcome->located = nullptr;
    outcome->located_at = nullptr;
    outcome->sound_at = nullptr;
}

int write_clip(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
               const analysis::RecoveryClip* clip, const char* output_dir, int keep_metadata_track,
               int validate, size_t file_index, size_t file_count)
{
    return write_clip_noting(image, image_size, geometry, clip, output_dir, keep_metadata_track, validate,
                             file_index, file_count, nullptr);
}

int write_clip_noting(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                      const analysis::RecoveryClip* clip, const char* output_dir, int keep_metadata_track,
                      int validate, size_t file_index, size_t file_count, ClipOutcome* outcome)
{
    clear_last_clip_error();
    Writer w{};
    w.clip = clip;
    w.clip_number = int(clip->clip_number);
    w.validate = validate;
    w.progress = begin_file_progress(file_index, file_count, w.clip_number);
    w.held = hold_chunks(&w.progress, clip->movie->video.chunk_count);
    w.state.image = image;
    w.state.image_size = image_size;
    w.state.clip = clip;

    print_timing_line(clip);
    if (!prepare(&w, geometry, output_dir, keep_metadata_track))
        return give_up(&w, outcome);
    if (outcome && sound_track_written(clip->movie) && clip->movie->audio.chunk_count > 0) {
        uint64_t m = clip->movie->audio.chunk_count;
        w.state.sound_at = static_cast<uint64_t*>(basics::xmalloc(size_t(m) * sizeof(uint64_t)));
        std::memset(w.state.sound_at, 0xff, size_t(m) * sizeof(uint64_t));
    }
    progress_step(&w.progress, 0, "preparing");
    // a clip decoded ahead opened its decoder there, under the same movie box: no second one here
    DecodedAhead ahead;
    int known = validate && decode_ahead_take(clip->header->header_offset, clip->movie, &ahead);
    if (validate && !known && !validation_prepare(&w.pass, clip->movie, w.clip_number))
        return give_up(&w, outcome);
    if (!create_output(&w) || !write_video_chunks(&w, known ? &ahead : nullptr) || unreadable_chunk(&w))
        return give_up(&w, outcome);

    const mp4::TrackTables* v = &clip->movie->video;
    VideoVerdict verdict = end_of_video(&w.pass, validate, w.held.counted, v->chunk_count, &w.held);
    if (verdict != video_decoded) {
        stop_at_refusal(&w, verdict);
        report_refusal(&w.pass, verdict, w.clip_number);
        return give_up(&w, outcome);
    }
    // the located video chunks tell where the clip's clusters lie, and with them its sound
    build_cluster_map(&w.state, w.cluster_bytes);
    write_audio_chunks(&w);
    if (!finalize_output(&w))
        return give_up(&w, outcome);

    progress_step(&w.progress, 100, "complete");
    uint64_t audio_count = sound_track_written(clip->movie) ? clip->movie->audio.chunk_count : 0;
    basics::out_printf("  video %zu/%zu; audio %zu/%zu; cadence %zu; final-adjacent %zu; silent %zu; RTMD removed %d\n",
                       size_t(w.held.counted), size_t(v->chunk_count), size_t(w.state.audio_written),
                       size_t(audio_count), size_t(w.state.cadence), size_t(w.state.final_adjacent),
                       size_t(w.state.silent), w.moov.removed_tracks);
    print_silenced(&w);
    basics::out_printf("  -> %s\n", w.final_path);
    note_outcome(&w, outcome, 1);
    release(&w);
    return 1;
}

}  // namespace rebuild
