#include "engine/report_stage.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "basics/output.h"
#include "engine/report_movie.h"
#include "image/card_reader.h"
#include "mendora_version.h"
#include "platform/platform.h"
#include "report/report_files.h"
#include "report/report_json.h"
#include "report/thumbnail.h"

namespace engine {

namespace {

double seconds_now()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void join_command_line(RunState* s)
{
    report::RunFacts* run = &s->report.run;
    size_t used = 0;
    for (int i = 0; i < s->argc; i++) {
        const char* arg = s->argv[i];
        int quoted = std::strpbrk(arg, " \t\"") != nullptr || arg[0] == 0;
        int n = std::snprintf(run->command_line + used, sizeof run->command_line - used, "%s%s%s%s", i ? " " : "",
                              quoted ? "\"" : "", arg, quoted ? "\"" : "");
        if (n < 0 || size_t(n) >= sizeof run->command_line - used)
            break;
        used += size_t(n);
    }
}

void fill_run_facts(RunState* s)
{
    report::RunFacts* run = &s->report.run;
    run->image_path = s->options.image_path;
    run->image_size = s->image_size;
    run->cluster_bytes = s->geometry.cluster_bytes;
    run->heap_offset = s->geometry.heap_offset;
    run->boot_offset = s->geometry.boot_offset;
    run->engine_version = MENDORA_VERSION;
    run->build_tag = build_tag;
    run->output_dir = s->options.output_dir;
    run->analysis_only = uint32_t(s->options.analysis_only);
    run->validator_used = !s->options.analysis_only && !s->options.no_validator;
    run->raw_headers = s->scan.xavc_hits.count;
    run->raw_kkad = s->scan.kkad_hits.count;
    run->raw_movies = s->scan.moov_hits.count;
    join_command_line(s);
}

// The mdat box header is 8 bytes, or 16 with a 64-bit size.
uint64_t header_length(const analysis::ClipHeader* h)
{
    return h->mdat_offset - h->header_offset + (h->mdat_size > UINT32_MAX ? 16 : 8);
}

void add_recording_for_header(RunState* s, uint32_t number)
{
    const analysis::ClipHeader* h = &s->headers.items[number - 1];
    report::RecordingFacts r{};
    r.clip_number = number;
    r.image_offset = h->header_offset;
    r.sound_percent = 101;
    for (size_t i = 0; i < s->runs.count; i++) {
        const analysis::RecordingRun* run = &s->runs.items[i];
        if (run->header_index == number && run->has_time) {
            r.has_time = 1;
            r.year = run->year, r.month = run->month, r.day = run->day;
            r.hour = run->hour, r.minute = run->minute, r.second = run->second;
            break;
        }
    }
    int paired = 0;
    for (size_t i = 0; i < s->pairs.count && !paired; i++)
        paired = s->pairs.items[i].header_index == number;
    r.fate = report::fate_not_recovered;
    basics::bounded_format(r.reason, sizeof r.reason, "%s",
                           paired ? "its movie box does not hold video in the camera's chunks of 12 frames"
                                  : "its movie box is not on the card");
    uint32_t index = uint32_t(s->report.recordings.count);
    basics::list_append(&s->report.recordings, r);
    report::add_piece(&s->report, report::piece_header, index, h->header_offset, header_length(h));
}

// Signatures that none of the recordings took: clip headers outside every clip, movie boxes no
// clip was paired with, kkad boxes that mapped no chunk.
void count_unused_hits(RunState* s)
{
    report::RunFacts* run = &s->report.run;
    run->unused_headers = s->scan.xavc_hits.count > s->headers.count ? s->scan.xavc_hits.count - s->headers.count : 0;
    // both lists run in image order: a hit whose header (4 bytes before it) is no valid one
    size_t h = 0;
    for (size_t i = 0; i < s->scan.xavc_hits.count; i++) {
        uint64_t at = s->scan.xavc_hits.items[i] >= 4 ? s->scan.xavc_hits.items[i] - 4 : 0;
        while (h < s->headers.count && s->headers.items[h].header_offset < at)
            h++;
        if (h == s->headers.count || s->headers.items[h].header_offset != at)
            report::add_piece(&s->report, report::piece_unused, report::no_recording, at, 16);
    }
    uint64_t paired = 0;
    for (size_t i = 0; i < s->movies.count; i++) {
        int used = 0;
        for (size_t c = 0; c < s->clips.count && !used; c++)
            used = s->clips.items[c].movie == &s->movies.items[i];
        if (!used)
            report::add_piece(&s->report, report::piece_unused, report::no_recording, s->movies.items[i].moov_offset,
                              s->movies.items[i].moov_size);
        paired += used;
    }
    run->unused_movies = s->scan.moov_hits.count > paired ? s->scan.moov_hits.count - paired : 0;
    uint64_t mapped = 0;
    for (size_t c = 0; c < s->clips.count; c++)
        mapped += s->clips.items[c].mapped_count;
    run->unused_kkad = s->scan.kkad_hits.count > mapped ? s->scan.kkad_hits.count - mapped : 0;
}

// The video chunks of a clip the writer did not place: where the analysis found them, and the
// missing ones where an unfragmented file would hold them.
void add_analysis_pieces(RunState* s, uint32_t index, const analysis::RecoveryClip* clip)
{
    const mp4::TrackTables* v = &clip->movie->video;
    for (uint64_t k = 0; k < clip->chunk_count && k < v->chunk_count; k++) {
        const analysis::ChunkPlacement* p = &clip->chunks[k];
        if (p->resolved)
            report::add_piece(&s->report, report::piece_video, index, p->data_offset, v->chunk_sizes[k]);
        else if (p->mapped)  // the box that maps the chunk, from its header, 4 bytes before the type
            report::add_piece(&s->report, report::piece_video, index, p->kkad_offset - 4, p->kkad_size);
        else
            report::add_piece(&s->report, report::piece_missing, index, clip->header->header_offset + v->chunk_offsets[k],
                              v->chunk_sizes[k]);
    }
}

// A recording only salvage knows: its clip header's media data runs past the end of the image (a
// card cut short, or a file that goes on at the heap's start), so the analysis listed none.
report::RecordingFacts* add_salvage_only_recording(RunState* s, const salvage::SalvageNote* note)
{
    report::RecordingFacts r{};
    r.clip_number = note->clip_number;
    r.sound_percent = 101;
    r.fate = report::fate_not_recovered;
    basics::bounded_format(r.reason, sizeof r.reason, "its media data runs past the end of the image");
    if (note->plan) {
        const analysis::RecordingTime* t = &note->plan->time;
        r.has_time = t->has_time;
        r.year = t->year, r.month = t->month, r.day = t->day, r.hour = t->hour, r.minute = t->minute, r.second = t->second;
        if (note->plan->piece_count)
            r.image_offset = note->plan->pieces[0].image_offset;
    }
    return basics::list_append(&s->report.recordings, r);
}

}  // namespace

int report_applies(const EngineOptions* o) { return !o->no_salvage; }

namespace {

// A file written again replaces the one handed to the hasher under its name: that one is hashed
// at the end, as it is then.
void forget_hashes_of(RunState* s, const char* path)
{
    for (size_t i = 0; i < s->report.recordings.count; i++) {
        report::RecordingFacts* r = &s->report.recordings.items[i];
        if (std::strcmp(r->output_path, path) == 0)
            r->output_hash_ticket = 0;
        for (size_t m = 0; m < r->more_outputs.count; m++)
            if (std::strcmp(r->more_outputs.items[m].path, path) == 0)
                r->more_outputs.items[m].hash_ticket = 0;
    }
}

// Files are hashed as soon as they are written, while the system still holds their bytes in
// memory, and beside the writing of the next ones: hashed at the end of the run, the first files
// of a card bigger than memory would have to come from the disk again.
uint32_t hash_soon(RunState* s, const char* path, const basics::Sha256* head)
{
    if (!report_applies(&s->options))
        return 0;
    if (!s->hasher)
        s->hasher = report::file_hasher_start();
    return s->hasher ? report::file_hasher_add(s->hasher, path, head) : 0;
}

// The file a recording came back as; `head` hashes its first bytes as they were written.
void set_output(RunState* s, report::RecordingFacts* r, const char* path, const basics::Sha256* head)
{
    forget_hashes_of(s, path);
    basics::bounded_format(r->output_path, sizeof r->output_path, "%s", path);
    r->output_head_known = head != nullptr;
    if (head)
        r->output_head = *head;
    r->output_hash_ticket = hash_soon(s, r->output_path, head);
}

// A further file of a recording.
void add_more_output(RunState* s, report::RecordingFacts* r, const char* path)
{
    forget_hashes_of(s, path);
    report::MoreOutput more = {};
    basics::bounded_format(more.path, sizeof more.path, "%s", path);
    more.hash_ticket = hash_soon(s, more.path, nullptr);
    basics::list_append(&r->more_outputs, more);
}

// Whether bytes [at, at + length) lie wholly in the sound the salvage plan places, piece after
// piece (each step moves past the end of a piece that holds `at`).
int in_planned_sound(const salvage::SalvagePlan* plan, uint64_t at, uint64_t length)
{
    uint64_t end = at + length;
    for (int moved = 1; at < end && moved;) {
        moved = 0;
        for (uint64_t i = 0; i < plan->piece_count && at < end; i++) {
            const salvage::SalvagePiece* p = &plan->pieces[i];
            for (uint64_t k = 0, from, length, start; k < piece_run_count(p) && p->track == salvage::salvage_sound; k++)
                if (salvage::piece_run(plan, p, k, &from, &length, &start) && at >= start && at < start + length) {
                    at = std::min(end, start + length);
                    moved = 1;
                }
        }
    }
    return at >= end;
}

// A file rebuilt with silent sound (or without some video chunks) and a salvaged one beside it that
// holds all of it (and every picture): the reason
// says which of the two to play, and how many of the sound chunks the documented rules did write
// they took from other places than the salvaged file (where the camera usually puts them, on a
// card whose files were written in runs).
void tell_whole_sound(const RunState* s, report::RecordingFacts* r, const salvage::SalvageNote* note)
{
    if (r->fate != report::fate_written || !r->reason[0] || !note->plan)
        return;
    const salvage::SalvageTrack* a = &note->plan->tracks[salvage::salvage_sound];
    const salvage::SalvageTrack* v = &note->plan->tracks[salvage::salvage_video];
    if (!a->present || a->kept_samples != a->recording_samples)
        return;
    // and every picture, where the file lacks some
    int pictures = r->video_chunks_found < r->video_chunks && v->kept_samples == v->recording_samples &&
                   note->plan->video_gaps == 0;
    size_t used = std::strlen(r->reason);
    basics::bounded_format(r->reason + used, sizeof r->reason - used, "; %s beside it has %sall of its sound",
                           report::file_name_of(note->final_path), pictures ? "every picture and " : "");
    unsigned long long elsewhere = 0;
    uint64_t last_chunk = UINT64_MAX;
    for (size_t i = 0; i < s->written_sound.count; i++) {
        const WrittenSound* w = &s->written_sound.items[i];
        if (w->clip_number != note->clip_number || w->chunk == last_chunk ||
            in_planned_sound(note->plan, w->image_offset, w->length))
            continue;
        elsewhere++;
        last_chunk = w->chunk;  // a chunk's spans are noted one after another
    }
    used = std::strlen(r->reason);
    if (elsewhere == 1)
        basics::bounded_format(r->reason + used, sizeof r->reason - used,
                               "; 1 sound chunk in it is not where that file has it");
    else if (elsewhere > 1)
        basics::bounded_format(r->reason + used, sizeof r->reason - used,
                               "; %llu sound chunks in it are not where that file has them", elsewhere);
}

// The analysis gives two recordings one clip header when it refused the second one's: the file of
// the one noted later is listed beside the first's, not in its place. 1 when `path` was so listed.
int listed_beside(RunState* s, report::RecordingFacts* r, const char* path)
{
    if (!path[0] || !r->output_path[0] || std::strcmp(r->output_path, path) == 0)
        return 0;
    add_more_output(s, r, path);
    return 1;
}

}  // namespace

void report_stage_done(RunState* s, int index)
{
    double now = seconds_now();
    if (index >= 0 && index < report::stage_count)
        s->report.run.stage_seconds[index] = now - s->stage_mark;
    s->stage_mark = now;
}

void collect_analysis_facts(RunState* s)
{
    fill_run_facts(s);
    for (uint32_t number = 1; number <= s->headers.count; number++)
        add_recording_for_header(s, number);
    for (size_t c = 0; c < s->clips.count; c++) {
        const analysis::RecoveryClip* clip = &s->clips.items[c];
        report::RecordingFacts* r = report::find_recording(&s->report, clip->clip_number);
        if (!r)
            continue;
        fill_movie_facts(r, clip);
        analysis_verdict(s, r, clip);
        uint32_t index = uint32_t(r - s->report.recordings.items);
        report::add_piece(&s->report, report::piece_movie, index, clip->movie->moov_offset, clip->movie->moov_size);
    }
    count_unused_hits(s);
}

void note_written_clip(RunState* s, const analysis::RecoveryClip* clip, const rebuild::ClipOutcome* o)
{
    report::RecordingFacts* r = report::find_recording(&s->report, clip->clip_number);
    if (!r)
        return;
    // a clip that came back as nothing under the clip header of one that came back (the analysis
    // gave both that header) neither takes its record nor draws chunks missing behind its header
    if (!o->final_path[0] && r->output_path[0])
        return;
    uint32_t index = uint32_t(r - s->report.recordings.items);
    r->pieces_noted = 1;
    const mp4::MovieInfo* movie = clip->movie;
    for (uint64_t k = 0; o->located && k < o->video_chunks; k++) {
        if (o->located[k])
            report::add_piece(&s->report, report::piece_video, index, o->located_at[k], movie->video.chunk_sizes[k]);
        else
            report::add_piece(&s->report, report::piece_missing, index,
                              clip->header->header_offset + movie->video.chunk_offsets[k], movie->video.chunk_sizes[k]);
    }
    for (size_t i = 0; i < o->sound_spans.count; i++) {
        const rebuild::SoundSpan* span = &o->sound_spans.items[i];
        report::add_piece(&s->report, report::piece_sound, index, span->image_offset, span->length);
        basics::list_append(&s->written_sound,
                            WrittenSound{clip->clip_number, span->chunk, span->image_offset, span->length});
    }
    if (listed_beside(s, r, o->final_path))
        return;  // the record tells of the recording noted first
    if (o->final_path[0] && r->movie_offset != movie->moov_offset)
        fill_movie_facts(r, clip);  // its facts are of the recording whose file it names
    if (o->located) {
        r->video_chunks_found = 0;
        for (uint64_t k = 0; k < o->video_chunks; k++)
            r->video_chunks_found += o->located[k];
    }
    r->sound_chunks_found = 0;
    for (uint64_t j = 0; o->sound_at && j < o->audio_chunks; j++)
        r->sound_chunks_found += o->sound_at[j] != UINT64_MAX;
    if (o->final_path[0]) {
        r->fate = report::fate_written;
        r->reason[0] = 0;
        // without the decode check the writer leaves video it found nowhere as zeros, and sound
        // silent: a file that plays is not all there is
        size_t used = 0;
        if (o->located && r->video_chunks_found < o->video_chunks) {
            basics::bounded_format(r->reason, sizeof r->reason, "%llu of %llu video chunks not found: zeros in it",
                                   (unsigned long long)(o->video_chunks - r->video_chunks_found),
                                   (unsigned long long)o->video_chunks);
            used = std::strlen(r->reason);
        }
        if (r->sound_chunks_found < o->audio_chunks)
            basics::bounded_format(r->reason + used, sizeof r->reason - used,
                                   "%s%llu of %llu sound chunks not found: silent in it", used ? "; " : "",
                                   (unsigned long long)(o->audio_chunks - r->sound_chunks_found),
                                   (unsigned long long)o->audio_chunks);
        set_output(s, r, o->final_path, o->head_hashed ? &o->head_hash : nullptr);
    } else {
        r->fate = report::fate_not_recovered;
        basics::bounded_format(r->reason, sizeof r->reason, "the rebuild gave up: %s",
                               o->failure[0] ? o->failure : "its movie box could not be written");
    }
}

void note_camera_file(void* context, const camera::CameraNote* note)
{
    RunState* s = static_cast<RunState*>(context);
    report::RecordingFacts* r = report::find_recording(&s->report, note->clip_number);
    if (!r)
        return;
    report::OriginalFile* o = &r->original;
    basics::bounded_format(o->path, sizeof o->path, "%s", note->original_path);
    o->state = std::strcmp(note->state, "live") == 0 ? 1 : std::strcmp(note->state, "deleted") == 0 ? 2 : 3;
    basics::bounded_format(o->created, sizeof o->created, "%s", note->created);
    basics::bounded_format(o->modified, sizeof o->modified, "%s", note->modified);
    basics::bounded_format(o->refused, sizeof o->refused, "%s", note->refused ? note->refused : "");
    uint32_t index = uint32_t(r - s->report.recordings.items);
    for (size_t i = 0; i < note->extent_runs; i++)
        report::add_piece(&s->report, report::piece_extent, index, note->extent_at[i], note->extent_length[i]);
    if (note->written_path) {
        r->fate = report::fate_camera_file;
        r->reason[0] = 0;
        set_output(s, r, note->written_path, nullptr);
    }
    // sidecars come back on their own extents, also beside a clip that comes back another way
    for (size_t i = 0; i < note->sidecar_count; i++)
        add_more_output(s, r, note->sidecar_paths[i]);
}

// The pieces a salvaged file holds, on the map as the recording's.
static void add_salvaged_pieces(RunState* s, uint32_t index, const salvage::SalvagePlan* plan)
{
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        const salvage::SalvagePiece* p = &plan->pieces[i];
        uint8_t kind = p->track == salvage::salvage_video ? report::piece_salvaged : report::piece_sound;
        // a piece a fragment boundary cut lies in two places, or more
        s->joined_cuts += salvage::piece_run_count(p) - 1;
        for (uint64_t k = 0, from, length, at; k < salvage::piece_run_count(p); k++)
            if (salvage::piece_run(plan, p, k, &from, &length, &at))
                report::add_piece(&s->report, kind, index, at, length);
    }
}

void note_salvaged(void* context, const salvage::SalvageNote* note)
{
    RunState* s = static_cast<RunState*>(context);
    report::RecordingFacts* r = report::find_recording(&s->report, note->clip_number);
    if (!r)
        r = add_salvage_only_recording(s, note);
    uint32_t index = uint32_t(r - s->report.recordings.items);
    // a later part written when the first one was not stands for the recording
    if (note->part >= 2 && !(note->written && !r->output_path[0])) {
        // a later part: one more file of the recording, its pieces on the map
        if (note->written) {
            add_more_output(s, r, note->final_path);
        } else {
            size_t used = std::strlen(r->reason);
            basics::bounded_format(r->reason + used, sizeof r->reason - used, "%spart %u not salvaged: %s",
                                   used ? "; " : "", note->part, note->failure ? note->failure : "");
        }
        if (note->written && note->plan)
            add_salvaged_pieces(s, index, note->plan);
        return;
    }
    if (note->written && listed_beside(s, r, note->final_path)) {
        if (note->plan)
            add_salvaged_pieces(s, index, note->plan);
        tell_whole_sound(s, r, note);
        return;
    }
    // a movie box only salvage put back together: the recording's facts come from it now
    const analysis::RecoveryClip* joined = note->clip && note->clip->movie->moov_head ? note->clip : nullptr;
    if (joined && !r->has_movie) {
        fill_movie_facts(r, joined);
        basics::bounded_format(r->reason, sizeof r->reason, "its movie box lies cut in two runs");
        const mp4::MovieInfo* m = joined->movie;
        report::add_piece(&s->report, report::piece_movie, index, m->moov_offset, m->moov_head);
        report::add_piece(&s->report, report::piece_movie, index, m->moov_tail, m->moov_size - m->moov_head);
    }
    if (note->written && note->clip)
        take_movie_of_file(s, r, note->clip);
    if (joined && note->written)
        draw_cut_movie(s, index, joined->movie);
    char before[256];
    basics::bounded_format(before, sizeof before, "%s", r->reason);
    if (note->written) {
        r->fate = report::fate_salvaged;
        set_output(s, r, note->final_path, nullptr);
        basics::bounded_format(r->reason, sizeof r->reason, "%s", before);
    } else {
        // a run the salvage took under the clip header of a recording that already came back does
        // not take that recording's file from it
        if (r->fate != report::fate_written && r->fate != report::fate_camera_file)
            r->fate = report::fate_not_recovered;
        basics::bounded_format(r->reason, sizeof r->reason, "%s%ssalvage failed: %s", before, before[0] ? "; " : "",
                               note->failure ? note->failure : "");
    }
    const salvage::SalvagePlan* plan = note->plan;
    if (!plan || !note->written)
        return;
    const salvage::SalvageTrack* v = &plan->tracks[salvage::salvage_video];
    const salvage::SalvageTrack* a = &plan->tracks[salvage::salvage_sound];
    r->kept_samples = v->kept_samples;
    r->recording_samples = v->recording_samples;
    r->gaps = plan->video_gaps;
    r->sound_percent = a->present && a->kept_samples ? uint32_t(a->span_samples ? (a->kept_samples * 100 / a->span_samples > 100 ? 100 : a->kept_samples * 100 / a->span_samples) : 100) : 101;
    if (!r->has_movie && v->sample_entry_size >= 8)
        std::memcpy(r->codec, v->sample_entry + 4, 4);
    if (!r->has_movie && v->timescale && v->sample_delta)
        r->rate_num = v->timescale, r->rate_den = v->sample_delta;
    r->kept_seconds = v->timescale ? double(v->kept_samples) * v->sample_delta / v->timescale : 0.0;
    if (!r->has_movie)
        r->duration_seconds = r->kept_seconds;
    // a recording only salvage knows that it planned with its movie box has one on the card
    if (note->has_movie)
        r->has_movie = 1;
    r->pieces_noted = 1;
    add_salvaged_pieces(s, index, plan);
}

// The stretches the card did not give: listed, and drawn over whatever else lies there.
static void add_unreadable(RunState* s)
{
    image::SpanList spans;
    image::map_spans(image::card_map(), &spans);
    for (size_t i = 0; i < spans.count; i++) {
        const image::UnreadableSpan& u = spans.items[i];
        basics::list_append(&s->report.run.unreadable,
                            report::UnreadableFact{u.offset, u.length, uint8_t(u.cause == image::cause_mapfile)});
        report::add_piece(&s->report, report::piece_unreadable, report::no_recording, u.offset, u.length);
    }
    s->report.run.failed_reads = image::card_failed_reads();
    basics::list_free(&spans);
}

void finish_report(RunState* s)
{
    add_unreadable(s);
    for (size_t c = 0; c < s->clips.count; c++) {
        const analysis::RecoveryClip* clip = &s->clips.items[c];
        report::RecordingFacts* r = report::find_recording(&s->report, clip->clip_number);
        if (r && !r->pieces_noted)
            add_analysis_pieces(s, uint32_t(r - s->report.recordings.items), clip);
    }
    for (size_t i = 0; i < s->report.recordings.count; i++) {
        report::RecordingFacts* r = &s->report.recordings.items[i];
        // also the sidecars of a recording that did not come back
        for (size_t m = 0; m < r->more_outputs.count; m++) {
            report::MoreOutput* more = &r->more_outputs.items[m];
            if (!report::file_hasher_result(s->hasher, more->hash_ticket, more->sha256, &more->size))
                report::hash_file(more->path, more->sha256, &more->size);
        }
        if (!r->output_path[0])
            continue;
        if (!report::file_hasher_result(s->hasher, r->output_hash_ticket, r->output_sha256, &r->output_size))
            report::hash_file(r->output_path, r->output_sha256, &r->output_size,
                              r->output_head_known ? &r->output_head : nullptr);
        report::Thumbnail thumb;
        if (report::thumbnail_of_file(r->output_path, &thumb)) {
            r->thumbnail_png = thumb.png;
            r->thumbnail_size = thumb.png_size;
            r->width = thumb.picture_width;
            r->height = thumb.picture_height;
        }
    }
    report::file_hasher_stop(s->hasher);
    s->hasher = nullptr;
    platform::utc_now_text(s->report.run.finished_at, sizeof s->report.run.finished_at);
    report::sort_recordings(&s->report);
    report_stage_done(s, report::stage_count - 1);
    report::write_report_files(s->options.analysis_only ? work_dir_buffer : s->destination, &s->report);
}

}  // namespace engine
