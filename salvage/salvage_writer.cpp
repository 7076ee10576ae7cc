// A salvaged recording written as a compact file: the camera's file type, then every kept piece
// one after another in one mdat, then a movie box made for exactly those samples. The file is
// sized first and written under ".partial", and the video is decode-checked like every clip.
#include "salvage/salvage_writer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "analysis/chunk_locate.h"
#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "basics/output.h"
#include "basics/report_texts.h"
#include "codec/parameter_sets.h"
#include "image/card_reader.h"
#include "image/path_join.h"
#include "mp4/box.h"
#include "mp4/box_writer.h"
#include "mp4/sample_tables.h"
#include "platform/platform.h"
#include "rebuild/clip_names.h"
#include "rebuild/image_copy.h"
#include "rebuild/output_file.h"
#include "rebuild/progress_line.h"
#include "salvage/salvage_moov.h"
#include "rebuild/validation_pass.h"

namespace salvage {

using namespace analysis;
using namespace rebuild;

namespace {


// The file type the camera writes: major brand XAVC, version 1, compatible XAVC, mp42, iso2.
constexpr uint8_t camera_ftyp[] = {0,   0,   0,   28,  'f', 't', 'y', 'p', 'X', 'A', 'V', 'C', 0,   0,
                                   0,   1,   'X', 'A', 'V', 'C', 'm', 'p', '4', '2', 'i', 's', 'o', '2'};

struct Salvager {
    std::FILE* image;
    uint64_t image_size;
    const SalvagePlan* plan;
    SalvageResult* result;
    int clip;
    int validate;
    FileProgress progress;
    HeldChunks held;  // video pieces the decode check took, shown once their results are in
    ValidationPass pass;
    std::FILE* output;
    uint64_t* offsets;  // file offset of every piece
    uint64_t media_end;
    SalvageMoov moov;
    uint64_t silenced;  // sound bytes the card did not give, written as silence
    char temp_path[temp_path_size];
};

int failed(Salvager* s, const char* why)
{
    s->result->failure = why;
    discard_output(&s->output, s->temp_path);
    validation_close(&s->pass);
    std::free(s->offsets);
    free_salvage_moov(&s->moov);
    return 0;
}

// The sizes of the piece's samples as the track holds them; 0 when the piece does not hold
// exactly those samples.
int piece_sizes(const SalvageTrack* t, const SalvagePiece* p, mp4::SampleSizes* sizes)
{
    if (p->first_sample > t->kept_samples || t->kept_samples - p->first_sample < p->sample_count ||
        (!t->fixed_sample_size && !t->sample_sizes))
        return 0;
    sizes->stored = t->fixed_sample_size ? nullptr : t->sample_sizes + p->first_sample;
    sizes->fixed = t->fixed_sample_size;
    sizes->count = p->sample_count;
    uint64_t total = 0;
    for (uint64_t i = 0; i < sizes->count; i++)
        total += mp4::sample_size_at(sizes, i);
    return total == p->length;
}

// Every piece holds the next samples of its track, lies inside the image, and the pieces of a
// track hold all its kept samples; then the file offsets follow from the pieces' lengths.
int lay_out(Salvager* s)
{
    const SalvagePlan* plan = s->plan;
    uint64_t next[salvage_track_kinds] = {0, 0};
    uint64_t media = 0;
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        const SalvagePiece* p = &plan->pieces[i];
        mp4::SampleSizes sizes;
        if (p->track >= salvage_track_kinds || p->first_sample != next[p->track] ||
            !piece_sizes(&plan->tracks[p->track], p, &sizes) || p->image_offset > s->image_size ||
            s->image_size - p->image_offset < (p->head_length ? p->head_length : p->length) ||
            media > UINT64_MAX / 2 - p->length)
            return 0;
        for (uint64_t j = 0, from, length, at; j < piece_run_count(p); j++)
            if (!piece_run(plan, p, j, &from, &length, &at) || at > s->image_size || s->image_size - at < length)
                return 0;
        next[p->track] += p->sample_count;
        if (salvage_track_written(plan, p->track))
            media += p->length;
    }
    for (uint32_t k = 0; k < salvage_track_kinds; k++)
        if (plan->tracks[k].present && next[k] != plan->tracks[k].kept_samples)
            return 0;
    uint64_t mdat_header = media + 8 <= UINT32_MAX ? 8 : 16;
    s->offsets = static_cast<uint64_t*>(basics::xcalloc(plan->piece_count ? plan->piece_count : 1, sizeof(uint64_t)));
    uint64_t at = sizeof camera_ftyp + mdat_header;
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        if (!salvage_track_written(plan, plan->pieces[i].track))
            continue;  // a track the movie box cannot describe leaves no bytes behind
        s->offsets[i] = at;
        at += plan->pieces[i].length;
    }
    s->media_end = at;
    return 1;
}

int write_file_head(Salvager* s)
{
    uint8_t head[sizeof camera_ftyp + 16];
    std::memcpy(head, camera_ftyp, sizeof camera_ftyp);
    size_t n = sizeof camera_ftyp +
               mp4::write_box_header(head + sizeof camera_ftyp, s->media_end - sizeof camera_ftyp, mp4::box_mdat, 0);
    return platform::seek_abs(s->output, 0) && std::fwrite(head, 1, n, s->output) == n;
}

uint64_t pieces_of(const SalvagePlan* plan, uint32_t track)
{
    uint64_t n = 0;
    for (uint64_t i = 0; i < plan->piece_count; i++)
        n += plan->pieces[i].track == track;
    return n;
}

// A decoder plays on through a gap with the picture order count of the pictures before it. A span
// that begins with an open group's I picture carries only the count's lowest bits, read against
// the last picture before the gap as if nothing were missing: with what the gap took unknown, its
// pictures may come out among the earlier ones, or be dropped. Only a picture that starts a
// sequence counts afresh. Without reordering every picture is shown as it is decoded; a span that
// begins after a few leading pictures left out follows its key frame closely.
int joins_after_gap(const SalvageTrack* t, const SalvagePiece* p, const uint8_t* bytes, uint64_t first_size)
{
    if (!t->composition_offsets || !t->key_frames[p->first_sample])
        return 1;
    return codec::sample_starts_sequence(bytes, first_size, mp4::format_is_hevc(
                                                                reinterpret_cast<const char*>(t->sample_entry + 4)));
}

// Copies the video pieces, each read once and handed to the decode check from the same bytes.
int write_video(Salvager* s)
{
    const SalvagePlan* plan = s->plan;
    const SalvageTrack* t = &plan->tracks[salvage_video];
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        const SalvagePiece* p = &plan->pieces[i];
        if (p->track != salvage_video)
            continue;
        mp4::SampleSizes sizes;
        piece_sizes(t, p, &sizes);
        if (p->length > analysis::max_sample_bytes)
            return failed(s, "a video piece is too large");
        analysis::grow_read_buffer(&analysis::direct_read_buffer, p->length);
        uint8_t* buf = analysis::direct_read_buffer.data;
        for (uint64_t j = 0, from, length, at; j < piece_run_count(p); j++)
            if (!piece_run(plan, p, j, &from, &length, &at) ||
                !copy_through(s->image, at, s->output, s->offsets[i] + from, buf + from, size_t(length)))
                return failed(s, "video copy failed");
        if (p->gap_before && s->held.counted && !joins_after_gap(t, p, buf, mp4::sample_size_at(&sizes, 0))) {
            s->result->decode_refused = 1;
            s->result->unjoined_span = p->image_offset;
            return failed(s, "the decoder cannot take a span after a gap on from the one before it");
        }
        int complete = 1;
        // a refusal only shapes the next plan, and salvage's own line tells what came of the
        // recording, so the decode check's refusal lines are not printed
        VideoVerdict verdict = s->validate ? push_samples(&s->pass, &sizes, p->first_sample, buf, p->length, &complete)
                                           : video_decoded;
        if (verdict == video_refused_sample)
            show_before(&s->held, s->pass.result.failing_sample);
        else if (verdict != video_decoded)
            show_all(&s->held);
        if (verdict != video_decoded) {
            s->result->decode_refused = 1;
            return failed(s, "the kept video does not decode cleanly");
        }
        if (!s->validate) {
            show_chunk(&s->held);
            continue;
        }
        hold_chunk(&s->held, p->first_sample + sizes.count, s->pass.pushed);
        show_settled(&s->held, s->pass.pushed);
    }
    return 1;
}

int write_sound(Salvager* s)
{
    const SalvagePlan* plan = s->plan;
    uint64_t total = pieces_of(plan, salvage_sound), done = 0;
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        const SalvagePiece* p = &plan->pieces[i];
        if (p->track != salvage_sound || !salvage_track_written(plan, p->track))
            continue;
        for (uint64_t j = 0, from, length, at; j < piece_run_count(p); j++)
            if (!piece_run(plan, p, j, &from, &length, &at) ||
                copy_image_range(s->image, at, s->output, s->offsets[i] + from, length, &s->silenced) != length)
                return failed(s, "sound copy failed");
        progress_audio_chunk(&s->progress, ++done, total);
    }
    return 1;
}

void print_salvaged_line(const SalvagePlan* plan, const char* path)
{
    const SalvageTrack* v = &plan->tracks[salvage_video];
    const SalvageTrack* a = &plan->tracks[salvage_sound];
    char sound[64];
    if (salvage_track_written(plan, salvage_sound)) {
        uint64_t pct = a->span_samples ? a->kept_samples * 100 / a->span_samples : 100;
        basics::bounded_format(sound, sizeof sound, "sound %d %% of the kept span", int(pct > 100 ? 100 : pct));
    } else {
        basics::bounded_format(sound, sizeof sound, "no sound");
    }
    // a later part has a line of its own kind, so that the window counts recordings, not files
    char part[32] = "";
    if (plan->part >= 2)
        basics::bounded_format(part, sizeof part, ": salvaged part %u -> ", plan->part);
    basics::out_printf("clip %d%s%s (video %llu/%llu samples, %llu gap%s, %s)\n", int(plan->clip_number),
                       plan->part >= 2 ? part : basics::salvaged_arrow, path, (unsigned long long)v->kept_samples, (unsigned long long)v->recording_samples,
                       (unsigned long long)plan->video_gaps, plan->video_gaps == 1 ? "" : "s", sound);
}

// A line for every fragment boundary the plan joined a piece across: the recording's chunk where
// it is known, which samples of the file, and where the two runs on either side lie.
void print_joins(const SalvagePlan* plan)
{
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        const SalvagePiece* p = &plan->pieces[i];
        char chunk[32] = "";
        if (p->chunk != UINT64_MAX)
            basics::bounded_format(chunk, sizeof chunk, " chunk %llu,", (unsigned long long)p->chunk + 1);
        uint64_t from, length, at, next_from, next_length, next_at;
        for (uint64_t j = 0; j + 1 < piece_run_count(p); j++) {
            if (!piece_run(plan, p, j, &from, &length, &at) ||
                !piece_run(plan, p, j + 1, &next_from, &next_length, &next_at))
                continue;
            basics::out_printf("  joined cut: %s%s samples %llu-%llu, %llu bytes at offset %llu and %llu at offset %llu\n",
                               p->track == salvage_video ? "video" : "sound", chunk,
                               (unsigned long long)p->first_sample + 1,
                               (unsigned long long)(p->first_sample + p->sample_count), (unsigned long long)length,
                               (unsigned long long)at, (unsigned long long)next_length, (unsigned long long)next_at);
        }
    }
}

// On a card that did not read everywhere: the spans among the recording's kept pieces, with
// what the recording lost (the samples not kept, the sound written as silence).
void print_unreadable_cost(const Salvager* s)
{
    const SalvagePlan* plan = s->plan;
    uint64_t first = UINT64_MAX, last = 0;
    for (uint64_t i = 0; i < plan->piece_count; i++) {
        first = std::min(first, plan->pieces[i].image_offset);
        last = std::max(last, plan->pieces[i].image_offset + plan->pieces[i].length);
    }
    char spans[96];
    if (first >= last || !image::describe_unreadable(first, last - first, spans, sizeof spans))
        return;
    const SalvageTrack* v = &plan->tracks[salvage_video];
    basics::out_printf("  %s: %llu video samples not kept, %llu sound bytes silenced\n", spans,
                       static_cast<unsigned long long>(v->recording_samples - v->kept_samples),
                       static_cast<unsigned long long>(s->silenced));
}

}  // namespace

int write_salvaged(std::FILE* image, uint64_t image_size, const SalvagePlan* plan, const char* output_dir,
                   int validate, size_t file_index, size_t file_count, SalvageResult* result)
{
    Salvager s;
    std::memset(&s, 0, sizeof s);
    s.image = image;
    s.image_size = image_size;
    s.plan = plan;
    s.result = result;
    s.clip = int(plan->clip_number);
    s.validate = validate;
    s.progress = begin_file_progress(file_index, file_count, s.clip);
    s.held = hold_chunks(&s.progress, pieces_of(plan, salvage_video));
    result->final_path[0] = 0;
    result->failure = nullptr;
    result->failing_sample = validator::no_failing_sample;
    result->decode_refused = 0;
    result->unjoined_span = 0;

    if (!lay_out(&s))
        return failed(&s, "the kept pieces do not match their samples");
    if (!build_salvage_moov(plan, s.offsets, &s.moov))
        return failed(&s, "no playable video kept");
    char name[256];
    salvaged_file_name(plan->clip_number, &plan->time, plan->part, name, sizeof name);
    image::path_join(result->final_path, sizeof result->final_path, output_dir, name);
    temp_path_for(result->final_path, s.temp_path, sizeof s.temp_path);

    progress_step(&s.progress, 0, "preparing");
    const SalvageTrack* video = &plan->tracks[salvage_video];
    if (validate && !validation_prepare_entry(&s.pass, video->sample_entry, video->sample_entry_size, s.clip))
        return failed(&s, "the decode check cannot open the video");
    s.output = create_sized_output(s.temp_path, s.media_end + s.moov.length, s.clip);
    if (!s.output)
        return failed(&s, "no output file");
    if (!write_file_head(&s))
        return failed(&s, "header write failed");
    if (!write_video(&s)) {
        if (validate)
            result->failing_sample = s.pass.result.failing_sample;
        return 0;
    }
    if (end_of_video(&s.pass, validate, s.held.counted, s.held.counted, &s.held) != video_decoded) {
        result->decode_refused = 1;
        result->failing_sample = s.pass.result.failing_sample;
        return failed(&s, "the kept video does not decode cleanly");
    }
    if (!write_sound(&s))
        return 0;
    progress_step(&s.progress, 99, "finalizing MP4");
    std::FILE* out = s.output;
    s.output = nullptr;
    if (!finish_output(out, s.media_end, s.moov.bytes, s.moov.length, s.temp_path, result->final_path, s.clip))
        return failed(&s, "the file could not be completed");
    progress_step(&s.progress, 100, "complete");
    print_salvaged_line(plan, result->final_path);
    print_joins(plan);
    print_unreadable_cost(&s);
    failed(&s, nullptr);  // releases what the attempt held; the file stays
    return 1;
}

}  // namespace salvage
