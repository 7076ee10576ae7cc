#include "report/report_json.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"

namespace report {

namespace {

void key(Text* t, const char* name, int first = 0)
{
    text_printf(t, "%s\"%s\": ", first ? "" : ", ", name);
}

void string_or_null(Text* t, const char* s)
{
    if (s && s[0])
        json_string(t, s);
    else
        text_put(t, "null");
}

void write_run(Text* t, const RunFacts* run)
{
    text_put(t, "\"run\": {");
    key(t, "engine_version", 1);
    json_string(t, run->engine_version ? run->engine_version : "");
    key(t, "build_tag");
    json_string(t, run->build_tag ? run->build_tag : "");
    key(t, "command_line");
    json_string(t, run->command_line);
    key(t, "finished_at");
    string_or_null(t, run->finished_at);
    key(t, "image");
    text_put(t, "{\"path\": ");
    json_string(t, run->image_path ? run->image_path : "");
    text_printf(t, ", \"size\": %llu, \"sha256\": ", (unsigned long long)run->image_size);
    string_or_null(t, run->image_hashed ? run->image_sha256 : nullptr);
    text_printf(t, "}, \"cluster_bytes\": %llu, \"heap_offset\": %llu, \"boot_offset\": %llu",
                (unsigned long long)run->cluster_bytes, (unsigned long long)run->heap_offset,
                (unsigned long long)run->boot_offset);
    key(t, "mode");
    json_string(t, run->analysis_only ? "analysis-only" : "recovery");
    text_printf(t, ", \"validator\": %s, \"scan_cache_hit\": %s", run->validator_used ? "true" : "false",
                run->scan_cache_hit ? "true" : "false");
    key(t, "output_dir");
    string_or_null(t, run->analysis_only ? nullptr : run->output_dir);
    text_put(t, ", \"stages\": [");
    int first = 1;
    for (int i = 0; i < stage_count; i++) {
        if (run->stage_seconds[i] < 0)
            continue;
        text_printf(t, "%s{\"name\": \"%s\", \"seconds\": %.3f}", first ? "" : ", ", stage_names[i],
                    run->stage_seconds[i]);
        first = 0;
    }
    text_printf(t, "], \"raw_hits\": {\"clip_headers\": %llu, \"kkad\": %llu, \"movie_boxes\": %llu}",
                (unsigned long long)run->raw_headers, (unsigned long long)run->raw_kkad,
                (unsigned long long)run->raw_movies);
    text_printf(t, ", \"unused_hits\": {\"clip_headers\": %llu, \"kkad\": %llu, \"movie_boxes\": %llu}}",
                (unsigned long long)run->unused_headers, (unsigned long long)run->unused_kkad,
                (unsigned long long)run->unused_movies);
}

// One written file: its path, name, size and hash.
void write_file(Text* t, const char* path, uint64_t size, const char* sha256)
{
    text_put(t, "{\"path\": ");
    json_string(t, path);
    text_put(t, ", \"name\": ");
    json_string(t, file_name_of(path));
    text_printf(t, ", \"size\": %llu, \"sha256\": ", (unsigned long long)size);
    string_or_null(t, sha256);
    text_put(t, "}");
}

void write_original(Text* t, const OriginalFile* o)
{
    text_put(t, "{\"path\": ");
    string_or_null(t, o->path);
    text_put(t, ", \"state\": ");
    static const char* const states[] = {"null", "\"live\"", "\"deleted\"", "\"formatted\""};
    text_put(t, states[o->state < 4 ? o->state : 0]);
    text_put(t, ", \"created\": ");
    string_or_null(t, o->created);
    text_put(t, ", \"modified\": ");
    string_or_null(t, o->modified);
    text_put(t, ", \"extent_refused\": ");
    string_or_null(t, o->refused);
    text_put(t, "}");
}

// The pieces of every recording, grouped by recording in one counting pass, so a card of
// thousands of recordings costs one walk over its pieces and not one per recording.
struct PieceIndex {
    size_t* start;  // per recording, and one past the last
    size_t* order;  // piece indexes, recording by recording
};

PieceIndex index_pieces(const ReportFacts* facts)
{
    size_t n = facts->recordings.count;
    PieceIndex ix;
    ix.start = static_cast<size_t*>(basics::xcalloc(n + 2, sizeof(size_t)));
    ix.order = static_cast<size_t*>(basics::xcalloc(facts->pieces.count + 1, sizeof(size_t)));
    for (size_t i = 0; i < facts->pieces.count; i++)
        if (facts->pieces.items[i].recording < n)
            ix.start[facts->pieces.items[i].recording + 1]++;
    for (size_t r = 0; r < n; r++)
        ix.start[r + 1] += ix.start[r];
    size_t* fill = static_cast<size_t*>(basics::xcalloc(n + 1, sizeof(size_t)));
    for (size_t i = 0; i < facts->pieces.count; i++) {
        uint32_t r = facts->pieces.items[i].recording;
        if (r < n)
            ix.order[ix.start[r] + fill[r]++] = i;
    }
    std::free(fill);
    return ix;
}

void write_pieces(Text* t, const ReportFacts* facts, const PieceIndex* ix, uint32_t index)
{
    text_put(t, ", \"pieces\": [");
    int first = 1;
    for (size_t k = ix->start[index]; k < ix->start[index + 1]; k++) {
        const Piece* p = &facts->pieces.items[ix->order[k]];
        if (p->kind == piece_system || p->kind == piece_unused)
            continue;
        text_printf(t, "%s{\"kind\": \"%s\", \"offset\": %llu, \"length\": %llu}", first ? "" : ", ",
                    p->kind == piece_header ? "header" : p->kind == piece_video ? "video"
                    : p->kind == piece_sound ? "sound" : p->kind == piece_movie ? "movie"
                    : p->kind == piece_salvaged ? "salvaged" : p->kind == piece_missing ? "missing"
                    : p->kind == piece_unreadable ? "unreadable" : "extent",
                    (unsigned long long)p->offset, (unsigned long long)p->length);
        first = 0;
    }
    text_put(t, "]");
}

void write_unreadable(Text* t, const UnreadableFacts* spans)
{
    text_put(t, "[");
    for (size_t i = 0; i < spans->count; i++)
        text_printf(t, "%s{\"offset\": %llu, \"length\": %llu, \"cause\": \"%s\"}", i ? ", " : "",
                    (unsigned long long)spans->items[i].offset, (unsigned long long)spans->items[i].length,
                    spans->items[i].from_mapfile ? "not rescued" : "read error");
    text_put(t, "]");
}

void write_recording(Text* t, const ReportFacts* facts, const PieceIndex* ix, uint32_t index)
{
    const RecordingFacts* r = &facts->recordings.items[index];
    char when[40];
    recording_time_text(r, when, sizeof when);
    text_printf(t, "{\"clip_number\": %u, \"recording_time\": ", r->clip_number);
    string_or_null(t, when);
    text_printf(t, ", \"image_offset\": %llu, \"recording_bytes\": %llu, \"movie_box\": %s",
                (unsigned long long)r->image_offset, (unsigned long long)r->recording_bytes,
                r->has_movie ? "true" : "false");
    key(t, "codec");
    string_or_null(t, r->codec);
    if (r->width && r->height)
        text_printf(t, ", \"width\": %u, \"height\": %u", r->width, r->height);
    else
        text_put(t, ", \"width\": null, \"height\": null");
    text_printf(t, ", \"duration_seconds\": %.6f", r->duration_seconds);
    if (r->rate_den)
        text_printf(t, ", \"frame_rate\": {\"value\": %.6f, \"num\": %llu, \"den\": %llu}",
                    double(r->rate_num) / double(r->rate_den), (unsigned long long)r->rate_num,
                    (unsigned long long)r->rate_den);
    else
        text_put(t, ", \"frame_rate\": null");
    text_printf(t, ", \"video_samples\": %llu, \"video_chunks\": %llu, \"video_chunks_found\": %llu, "
                   "\"sound_chunks\": %llu, \"sound_chunks_found\": %llu",
                (unsigned long long)r->video_samples, (unsigned long long)r->video_chunks,
                (unsigned long long)r->video_chunks_found, (unsigned long long)r->sound_chunks,
                (unsigned long long)r->sound_chunks_found);
    key(t, "fate");
    json_string(t, fate_word(r->fate));
    key(t, "reason");
    string_or_null(t, r->reason);
    if (r->fate == fate_salvaged) {
        text_printf(t, ", \"salvage\": {\"kept_samples\": %llu, \"kept_seconds\": %.6f, \"recording_samples\": %llu, "
                       "\"gaps\": %llu, \"sound_percent\": ",
                    (unsigned long long)r->kept_samples, r->kept_seconds, (unsigned long long)r->recording_samples,
                    (unsigned long long)r->gaps);
        // a salvaged file without sound has no share of it
        if (r->sound_percent > 100)
            text_put(t, "null}");
        else
            text_printf(t, "%u}", r->sound_percent);
    }
    key(t, "output");
    if (r->output_path[0])
        write_file(t, r->output_path, r->output_size, r->output_sha256);
    else
        text_put(t, "null");
    // the later parts of a recording salvaged in parts, the sidecars of a camera's file
    key(t, "more_outputs");
    text_put(t, "[");
    for (size_t m = 0; m < r->more_outputs.count; m++) {
        const MoreOutput* more = &r->more_outputs.items[m];
        text_put(t, m ? ", " : "");
        write_file(t, more->path, more->size, more->sha256);
    }
    text_put(t, "]");
    text_printf(t, ", \"thumbnail\": %s", r->thumbnail_png ? "true" : "false");
    key(t, "original");
    write_original(t, &r->original);
    UnreadableFacts touched;
    recording_unreadable(facts, index, &touched);
    key(t, "unreadable");
    write_unreadable(t, &touched);
    basics::list_free(&touched);
    write_pieces(t, facts, ix, index);
    text_put(t, "}");
}

}  // namespace

void recording_time_text(const RecordingFacts* r, char* out, size_t cap)
{
    if (!r->has_time) {
        if (cap)
            out[0] = 0;
        return;
    }
    std::snprintf(out, cap, "%04u-%02u-%02uT%02u:%02u:%02u", r->year % 10000, r->month % 100, r->day % 100,
                  r->hour % 100, r->minute % 100, r->second % 100);
}

const char* file_name_of(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; p++)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

void write_report_json(Text* t, const ReportFacts* facts)
{
    text_put(t, "{\"format\": \"mendora-report\", \"version\": 1, ");
    write_run(t, &facts->run);
    text_printf(t, ", \"failed_reads\": %llu, \"unreadable\": ", (unsigned long long)facts->run.failed_reads);
    write_unreadable(t, &facts->run.unreadable);
    text_printf(t, ", \"recording_count\": %zu, \"recordings\": [\n", facts->recordings.count);
    PieceIndex ix = index_pieces(facts);
    for (size_t i = 0; i < facts->recordings.count; i++) {
        write_recording(t, facts, &ix, uint32_t(i));
        text_put(t, i + 1 < facts->recordings.count ? ",\n" : "\n");
    }
    std::free(ix.start);
    std::free(ix.order);
    text_put(t, "]}\n");
}

}  // namespace report
