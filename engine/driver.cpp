#include "engine/driver.h"

#include <cstdlib>
#include <cstring>

#include "analysis/candidates.h"
#include "analysis/chunk_locate.h"
#include "analysis/final_chunks.h"
#include "analysis/fingerprint_map.h"
#include "analysis/recording_runs.h"
#include "analysis/window_reuse.h"
#include "basics/output.h"
#include "image/card_reader.h"
#include "image/image_saver.h"
#include "image/kept_boxes.h"
#include "image/raw_scan.h"
#include "image/scan_cache.h"
#include "image/scan_ring.h"
#include "basics/checked_alloc.h"
#include "engine/card_reading.h"
#include "engine/report_stage.h"
#include "engine/salvage_stage.h"
#include "engine/scan_pass.h"
#include "rebuild/clip_writer.h"
#include "rebuild/spool.h"
#include "validator/loader.h"
#include "mendora_version.h"

namespace engine {

// The fingerprint reads three stretches of the image, two of them far from its start: it is taken
// before the scan only where a cache it names may lie, else behind the scan, which then has read
// those bytes already.
static uint64_t fingerprint_of(RunState* s)
{
    if (!s->fingerprint_taken)
        s->fingerprint = image::image_fingerprint(s->image, s->image_size);
    s->fingerprint_taken = 1;
    return s->fingerprint;
}

// With --hash-image the raw scan runs even when the cache holds its hits: its read of the
// whole image is what the hash is taken from.
// With --save-image too: the scan's read is what is saved. A cache hit brings the stretches the
// scan found unreadable back to the card reader, which does not read them again.
static void scan_stage(RunState* s)
{
    basics::out_printf("\n[2/6] Raw scanning image...\n");
    image::UnreadableMap cached;
    s->scan_cache_hit = !s->options.hash_image && !image::image_saver_active() &&
                        image::scan_cache_may_exist(work_dir_buffer) &&
                        image::scan_cache_lookup(work_dir_buffer, fingerprint_of(s), s->image_size, &s->scan, &cached);
    take_cached_unreadable(&cached);
    image::map_free(&cached);
    if (!s->scan_cache_hit) {
        basics::Sha256 hash;
        basics::sha256_begin(&hash);
        basics::Sha256* hashing = s->options.hash_image ? &hash : nullptr;
        int whole = scan_pass_applies(&s->options)
                        ? scan_pass_run(s, hashing)
                        : image::raw_scan(s->image, s->image_size, s->options.chunk_bytes, s->options.show_progress,
                                          &s->scan, nullptr, hashing);
        // zeros where the card did not read are not the card's bytes: no hash is theirs
        if (hashing && whole && image::card_map()->pieces.count == 0) {
            uint8_t digest[basics::sha256_digest_bytes];
            basics::sha256_end(&hash, digest);
            basics::sha256_hex(digest, s->report.run.image_sha256);
            s->report.run.image_hashed = 1;
        }
        image::image_saver_end(whole, MENDORA_VERSION);
        // a scan cut short is not the image's: a later run scans again
        if (whole)
            image::scan_cache_write(work_dir_buffer, fingerprint_of(s), s->image_size, &s->scan, image::card_map());
    }
    basics::out_printf("  raw XAVC=%zu kkad=%zu moov=%zu\n", s->scan.xavc_hits.count, s->scan.kkad_hits.count,
                       s->scan.moov_hits.count);
}

static void run_analysis(RunState* s)
{
    report_stage_done(s, -1);
    s->geometry = image::detect_exfat(s->image, s->image_size);
    report_stage_done(s, 0);
    scan_stage(s);
    analysis::validate_candidates(s->image, s->image_size, &s->scan, &s->headers, &s->markers, &s->movies);
    report_stage_done(s, 1);
    analysis::build_recordings(&s->headers, &s->markers, &s->movies, &s->runs, &s->pairs, &s->clips);
    report_stage_done(s, 2);
    analysis::map_fingerprints(s->image, s->image_size, &s->markers, &s->clips);
    report_stage_done(s, 3);
    // the image is only read from here on, so window searches may reuse what they read
    analysis::begin_window_reuse(s->image);
    s->recoverable_clips = analysis::resolve_final_chunks(s->image, s->image_size, &s->clips);
    report_stage_done(s, 4);
}

// The queue modes: which clips a mode takes (the recoverable ones; only the chosen one when a
// single clip is asked for) and how many files it writes at most.
static int mode_takes(const EngineOptions* o, const analysis::RecoveryClip* c)
{
    return analysis::clip_is_recoverable(c) && analysis::clip_is_chosen(o->clip_index, c->clip_number);
}

static size_t mode_limit(const EngineOptions* o)
{
    if (o->clip_index != 0)
        return 1;
    return o->recover_all ? SIZE_MAX : static_cast<size_t>(o->recover_count);
}

size_t recovery_queue_total(const EngineOptions* options, const analysis::ClipList* clips)
{
    size_t taken = 0;
    for (size_t i = 0; i < clips->count; i++)
        taken += mode_takes(options, &clips->items[i]);
    size_t limit = mode_limit(options);
    return taken < limit ? taken : limit;
}

size_t run_recovery_queue(RunState* s, size_t queue_total, ClipWriterFn writer)
{
    const EngineOptions* o = &s->options;
    size_t limit = mode_limit(o), written = 0, handed = 0;
    for (size_t i = 0; i < s->clips.count && written < limit; i++) {
        const analysis::RecoveryClip* c = &s->clips.items[i];
        if (!mode_takes(o, c))
            continue;
        // a clip the writer gives up does not count, the next one is tried instead; a single
        // clip gets one try
        written += writer(s, c, ++handed, queue_total);
        if (o->clip_index != 0)
            break;
    }
    s->salvage.files_before = handed;
    return written;
}

static int write_queued_clip(RunState* s, const analysis::RecoveryClip* clip, size_t file_index,
                             size_t file_count)
{
    // a recording the file-system pass wrote as the camera's own file is not written again
    if (s->camera.taken && clip->clip_number >= 1 && clip->clip_number <= s->headers.count &&
        s->camera.taken[clip->clip_number - 1]) {
        basics::out_printf("clip %d: written above as the camera's own file\n", int(clip->clip_number));
        if (s->salvage.clip_written)
            s->salvage.clip_written[clip - s->clips.items] = 1;
        return 1;
    }
    rebuild::ClipOutcome outcome{};
    int written = rebuild::write_clip_noting(s->image, s->image_size, &s->geometry, clip, s->destination,
                                             s->options.keep_metadata_track, s->options.no_validator ? 0 : 1,
                                             file_index, file_count, &outcome);
    if (written && s->salvage.clip_written)
        s->salvage.clip_written[clip - s->clips.items] = 1;
    // every picture written, some sound left silent: salvage may find that sound among the pieces
    if (written && s->sound_silent && outcome.video_written == outcome.video_chunks &&
        outcome.audio_written < outcome.audio_chunks)
        if (clip->clip_number >= 1 && clip->clip_number <= s->salvage.sound_silent_count)
            s->sound_silent[clip->clip_number - 1] = 1;
    // where it found the chunks, for salvage to know what of the card the clip holds
    uint64_t chunks = clip->movie ? clip->movie->video.chunk_count : 0;
    if (written && s->salvage.written_at && outcome.located && outcome.located_at && chunks &&
        outcome.video_chunks == chunks) {
        auto* at = static_cast<uint64_t*>(basics::xcalloc(chunks, sizeof(uint64_t)));
        for (uint64_t k = 0; k < chunks; k++)
            at[k] = outcome.located[k] ? outcome.located_at[k] : UINT64_MAX;
        s->salvage.written_at[clip - s->clips.items] = at;
    }
    note_written_clip(s, clip, &outcome);
    rebuild::free_clip_outcome(&outcome);
    return written;
}

// A clip whose sidecars came back under the camera's path while its own extent was refused: its
// line says how the clip itself came back, so the two are found together.
static void print_sidecar_clips(RunState* s)
{
    for (size_t h = 0; s->camera.sidecars_only && h < s->headers.count; h++) {
        if (!s->camera.sidecars_only[h])
            continue;
        const report::RecordingFacts* r = report::find_recording(&s->report, uint32_t(h + 1));
        const char* how = !r || !r->output_path[0]            ? nullptr
                          : r->fate == report::fate_salvaged ? "salvaged"
                                                             : "by the documented rules";
        if (how)
            basics::out_printf("clip %zu: the clip came back %s as %s; its sidecars under the camera's path\n", h + 1,
                               how, r->output_path);
        else
            basics::out_printf("clip %zu: the clip did not come back; its sidecars under the camera's path\n", h + 1);
    }
}

static void recovery_stage(RunState* s)
{
    if (!s->options.no_validator) {
        char reason[512];
        std::memset(reason, 0, sizeof reason);
        if (!validator::load_validator(reason, sizeof reason))
            basics::fatal("AVC validator unavailable: %s", reason);
    }
    basics::out_printf("\n[6/6] Rebuilding MP4...\n");
    basics::bounded_format(s->destination, sizeof s->destination, "%s", s->options.output_dir);
    int salvage = salvage_applies(&s->options);
    // the file-system pass runs where salvage does, before the documented queue
    s->camera.taken = static_cast<uint8_t*>(basics::xcalloc(s->headers.count ? s->headers.count : 1, 1));
    s->camera.sidecars_only = static_cast<uint8_t*>(basics::xcalloc(s->headers.count ? s->headers.count : 1, 1));
    if (salvage) {
        s->camera.image = s->image;
        s->camera.image_size = s->image_size;
        s->camera.boot_offset = s->geometry.boot_offset;
        s->camera.scan = &s->scan;
        s->camera.headers = &s->headers;
        s->camera.markers = &s->markers;
        s->camera.clips = &s->clips;
        s->camera.destination = s->destination;
        s->camera.only_clip = s->options.clip_index;
        s->camera.validate = s->options.no_validator ? 0 : 1;
        s->camera.note = note_camera_file;
        s->camera.note_context = s;
        camera::run_camera_files(&s->camera);
    }
    size_t total = recovery_queue_total(&s->options, &s->clips);
    basics::out_printf("Recovery queue: %zu file%s\n", total, total == 1 ? "" : "s");
    s->salvage.clip_written = static_cast<uint8_t*>(basics::xcalloc(s->clips.count ? s->clips.count : 1, 1));
    s->sound_silent = static_cast<uint8_t*>(basics::xcalloc(s->headers.count ? s->headers.count : 1, 1));
    s->salvage.sound_silent = s->sound_silent;
    s->salvage.sound_silent_count = s->headers.count;
    s->salvage.written_at =
        static_cast<uint64_t**>(basics::xcalloc(s->clips.count ? s->clips.count : 1, sizeof(uint64_t*)));
    if (s->clips.count > 0)
        s->videos_written = run_recovery_queue(s, total, write_queued_clip);
    rebuild::spool_remove_all();  // what the queue did not take
    s->salvage.note = note_salvaged;
    s->salvage.note_context = s;
    s->salvage.header_taken = s->camera.taken;
    s->salvage.header_count = s->headers.count;
    size_t salvaged = salvage ? run_salvage(s) : 0;
    print_sidecar_clips(s);
    report_stage_done(s, 5);
    basics::out_printf("\nComplete.\n");
    basics::out_printf("  recoverable clips : %zu\n", s->recoverable_clips);
    basics::out_printf("  videos written    : %zu\n", s->videos_written);
    if (salvage)
        basics::out_printf("  salvaged clips    : %zu\n", salvaged);
    if (s->joined_cuts)
        basics::out_printf("  joined cuts       : %zu\n", s->joined_cuts);
    camera::print_camera_summary(&s->camera);
    print_unreadable_summary();
    basics::out_printf("  destination       : %s\n", s->destination);
}

void free_run_state(RunState* s)
{
    image::free_scan_index(&s->scan);
    basics::list_free(&s->headers);
    basics::list_free(&s->markers);
    for (size_t i = 0; i < s->movies.count; i++)
        mp4::free_movie_info(&s->movies.items[i]);
    basics::list_free(&s->movies);
    basics::list_free(&s->runs);
    basics::list_free(&s->pairs);
    // one list of chunk places per clip: freed while the clips are still counted
    for (size_t i = 0; s->salvage.written_at && i < s->clips.count; i++)
        std::free(s->salvage.written_at[i]);
    std::free(s->salvage.written_at);
    s->salvage.written_at = nullptr;
    analysis::free_clips(&s->clips);
    std::free(s->salvage.clip_written);
    s->salvage.clip_written = nullptr;
    std::free(s->sound_silent);
    s->sound_silent = nullptr;
    basics::list_free(&s->written_sound);
    s->salvage.sound_silent = nullptr;
    s->salvage.sound_silent_count = 0;
    report::free_report_facts(&s->report);
    std::free(s->camera.taken);
    s->camera.taken = nullptr;
    std::free(s->camera.sidecars_only);
    s->camera.sidecars_only = nullptr;
}

void run_pipeline(RunState* s)
{
    for (int i = 0; i < report::stage_count; i++)
        s->report.run.stage_seconds[i] = -1;
    run_analysis(s);
    int reporting = report_applies(&s->options);
    if (reporting) {
        collect_analysis_facts(s);
        s->report.run.scan_cache_hit = s->scan_cache_hit;
    }
    if (s->options.analysis_only) {
        basics::out_printf("\nAnalysis complete. No MP4 files requested.\n");
        print_unreadable_summary();
    } else {
        recovery_stage(s);
    }
    // the thumbnails need the validator, which is unloaded below
    if (reporting)
        finish_report(s);
    close_card_reading();
    std::fclose(s->image);
    s->image = nullptr;
    free_run_state(s);
    analysis::release_read_buffers();
    image::kept_boxes_release();
    image::scan_ring_freed();
    if (!s->options.analysis_only)
        validator::unload_validator();
}

}  // namespace engine
