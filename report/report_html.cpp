#include "report/report_html.h"

#include <cstdio>

#include "report/card_map.h"
#include "report/report_json.h"

namespace report {

namespace {

const char* const page_style =
    "body{font:14px/1.45 system-ui,-apple-system,'Segoe UI',sans-serif;margin:0;color:#1f2933;background:#f7f9fa}"
    "header{background:#263238;color:#fff;padding:14px 24px}header h1{margin:0;font-size:20px;font-weight:600}"
    "header p{margin:4px 0 0;color:#cfd8dc}main{padding:12px 24px 32px}"
    "section{background:#fff;border:1px solid #dde3e7;border-radius:6px;padding:12px 16px;margin:12px 0}"
    "h2{font-size:16px;margin:0 0 8px}.counts span{display:inline-block;margin-right:18px;font-weight:600}"
    ".counts .written{color:#2e7d32}.counts .salvaged{color:#b26a00}.counts .lost{color:#c62828}"
    ".counts .idle{color:#546e7a}"
    "dl.run{display:grid;grid-template-columns:max-content 1fr;gap:2px 16px;margin:0}dl.run dt{color:#607d8b}"
    "dl.run dd{margin:0;overflow-wrap:anywhere}svg.map{width:100%;max-width:1000px;height:auto;display:block;"
    "border:1px solid #cfd8dc;image-rendering:pixelated}.scale{color:#607d8b;margin:4px 0 12px}"
    ".legend span{display:inline-block;margin:2px 14px 2px 0;white-space:nowrap}"
    ".legend i{display:inline-block;width:12px;height:12px;margin-right:5px;vertical-align:-1px}"
    ".legend .note{color:#607d8b;white-space:normal}"
    "table{border-collapse:collapse;width:100%}th,td{text-align:left;padding:6px 8px;border-bottom:1px solid #e3e8eb;"
    "vertical-align:top}th{background:#eef2f4;font-weight:600;white-space:nowrap}"
    "td.num{white-space:nowrap}i.chip{display:inline-block;width:12px;height:12px;border-radius:2px;margin-right:6px;"
    "vertical-align:-1px}.fate{display:inline-block;padding:1px 7px;border-radius:10px;font-weight:600;font-size:12px}"
    ".fate-written{background:#e8f5e9;color:#2e7d32}.fate-salvaged{background:#fff3e0;color:#b26a00}"
    ".fate-not-recovered{background:#ffebee;color:#c62828}.fate-not-written{background:#eceff1;color:#546e7a}"
    ".fate-camera-file{background:#e3f2fd;color:#1565c0}"
    ".why{display:block;color:#546e7a;font-size:12px;margin-top:2px}.file{white-space:nowrap}"
    ".hash{font:11px/1.3 ui-monospace,Consolas,monospace;color:#455a64;overflow-wrap:anywhere}"
    "img.thumb{display:block;border:1px solid #cfd8dc;background:#000}.none{color:#90a4ae}"
    ".orig{color:#455a64;font-size:12px}";

void duration_text(double seconds, char* out, size_t cap)
{
    if (seconds <= 0) {
        std::snprintf(out, cap, "&mdash;");
        return;
    }
    unsigned long long whole = (unsigned long long)seconds;
    std::snprintf(out, cap, "%llu:%02llu:%02llu.%02d", whole / 3600, whole / 60 % 60, whole % 60,
                  int((seconds - double(whole)) * 100));
}

void write_counts(Text* t, const ReportFacts* facts)
{
    size_t counts[fate_count] = {};
    for (size_t i = 0; i < facts->recordings.count; i++)
        counts[facts->recordings.items[i].fate < fate_count ? facts->recordings.items[i].fate : uint8_t(fate_not_written)]++;
    text_printf(t, "<p class=\"counts\"><span>%zu recording%s on the card</span>",
                facts->recordings.count, facts->recordings.count == 1 ? "" : "s");
    if (counts[fate_camera_file])
        text_printf(t, "<span class=\"written\">%zu back as the camera's file</span>", counts[fate_camera_file]);
    text_printf(t, "<span class=\"written\">%zu written</span><span class=\"salvaged\">%zu salvaged</span>"
                   "<span class=\"lost\">%zu not recoverable</span>",
                counts[fate_written], counts[fate_salvaged], counts[fate_not_recovered]);
    if (counts[fate_not_written])
        text_printf(t, "<span class=\"idle\">%zu recoverable, not written in this run</span>", counts[fate_not_written]);
    text_put(t, "</p>\n");
}

// The spans of a card that did not read everywhere, each as the console named it.
void write_spans(Text* t, const UnreadableFacts* spans)
{
    for (size_t i = 0; i < spans->count; i++) {
        char size[32];
        size_text(spans->items[i].length, size, sizeof size);
        text_printf(t, "%s<span class=\"unreadable\">%llu bytes (%s) at 0x%llX%s</span>", i ? ", " : "",
                    (unsigned long long)spans->items[i].length, size, (unsigned long long)spans->items[i].offset,
                    spans->items[i].from_mapfile ? ", not rescued" : "");
    }
}

void write_unreadable_run(Text* t, const RunFacts* run)
{
    if (run->unreadable.count == 0)
        return;
    uint64_t bytes = 0;
    for (size_t i = 0; i < run->unreadable.count; i++)
        bytes += run->unreadable.items[i].length;
    text_printf(t, "<dt>Unreadable</dt><dd>%zu span%s, %llu bytes the card did not give (%llu failed reads): ",
                run->unreadable.count, run->unreadable.count == 1 ? "" : "s", (unsigned long long)bytes,
                (unsigned long long)run->failed_reads);
    write_spans(t, &run->unreadable);
    text_put(t, "</dd>");
}

void write_run(Text* t, const RunFacts* run)
{
    char size[32];
    size_text(run->image_size, size, sizeof size);
    text_put(t, "<section><h2>The run</h2><dl class=\"run\"><dt>Image</dt><dd>");
    html_escape(t, run->image_path ? run->image_path : "");
    text_printf(t, "</dd><dt>Image size</dt><dd>%llu bytes (%s)</dd>", (unsigned long long)run->image_size, size);
    if (run->image_hashed) {
        text_put(t, "<dt>Image SHA-256</dt><dd class=\"hash\">");
        html_escape(t, run->image_sha256);
        text_put(t, "</dd>");
    }
    text_printf(t, "<dt>Cluster size</dt><dd>%llu bytes</dd>", (unsigned long long)run->cluster_bytes);
    text_put(t, "<dt>Mode</dt><dd>");
    text_put(t, run->analysis_only ? "analysis only: nothing written" : "recovery");
    text_put(t, run->validator_used ? ", every file decode-checked" : ", no decode check");
    text_put(t, run->scan_cache_hit ? ", raw scan reused from the scan cache" : "");
    text_put(t, "</dd>");
    if (!run->analysis_only) {
        text_put(t, "<dt>Output folder</dt><dd>");
        html_escape(t, run->output_dir ? run->output_dir : "");
        text_put(t, "</dd>");
    }
    text_put(t, "<dt>Stages</dt><dd>");
    int first = 1;
    for (int i = 0; i < stage_count; i++) {
        if (run->stage_seconds[i] < 0)
            continue;
        text_printf(t, "%s%s %.2f s", first ? "" : " &middot; ", stage_names[i], run->stage_seconds[i]);
        first = 0;
    }
    text_put(t, "</dd><dt>Engine</dt><dd>Mendora Recovery ");
    html_escape(t, run->engine_version ? run->engine_version : "");
    text_put(t, " (");
    html_escape(t, run->build_tag ? run->build_tag : "");
    text_put(t, ")</dd><dt>Command line</dt><dd class=\"hash\">");
    html_escape(t, run->command_line);
    text_put(t, "</dd>");
    if (run->finished_at[0]) {
        text_put(t, "<dt>Finished</dt><dd>");
        html_escape(t, run->finished_at);
        text_put(t, "</dd>");
    }
    write_unreadable_run(t, run);
    text_printf(t, "<dt>Signatures seen</dt><dd>%llu clip headers, %llu kkad boxes, %llu movie boxes; not used: "
                   "%llu, %llu, %llu</dd></dl></section>\n",
                (unsigned long long)run->raw_headers, (unsigned long long)run->raw_kkad,
                (unsigned long long)run->raw_movies, (unsigned long long)run->unused_headers,
                (unsigned long long)run->unused_kkad, (unsigned long long)run->unused_movies);
}

void write_fate(Text* t, const RecordingFacts* r)
{
    static const char* const titles[fate_count] = {"written", "salvaged", "not recoverable", "not written",
                                                   "camera's file"};
    uint8_t fate = r->fate < fate_count ? r->fate : uint8_t(fate_not_written);
    text_printf(t, "<span class=\"fate fate-%s\">%s</span>", fate_word(fate), titles[fate]);
    if (r->fate == fate_written) {
        text_put(t, "<span class=\"why\">rebuilt as the camera wrote it</span>");
    } else if (r->fate == fate_camera_file) {
        text_put(t, "<span class=\"why\">the camera's own file, whole, as the file system kept it</span>");
    } else if (r->fate == fate_salvaged) {
        text_printf(t, "<span class=\"why\">video %llu of %llu samples (%.2f s), %llu gap%s, ",
                    (unsigned long long)r->kept_samples, (unsigned long long)r->recording_samples, r->kept_seconds,
                    (unsigned long long)r->gaps, r->gaps == 1 ? "" : "s");
        if (r->sound_percent > 100)
            text_put(t, "no sound</span>");
        else
            text_printf(t, "sound %u %% of the kept span</span>", r->sound_percent);
    }
    if (r->reason[0]) {
        text_put(t, "<span class=\"why\">");
        html_escape(t, r->reason);
        text_put(t, "</span>");
    }
}

// One file's name, size and hash.
void write_file(Text* t, const char* path, uint64_t bytes, const char* sha256)
{
    char size[32];
    size_text(bytes, size, sizeof size);
    text_put(t, "<div class=\"file\">");
    html_escape(t, file_name_of(path));
    text_printf(t, "</div><div>%s</div><div class=\"hash\">SHA-256 ", size);
    html_escape(t, sha256);
    text_put(t, "</div>");
}

void write_output(Text* t, const RecordingFacts* r)
{
    if (!r->output_path[0]) {
        text_put(t, "<span class=\"none\">no file</span>");
        return;
    }
    write_file(t, r->output_path, r->output_size, r->output_sha256);
    for (size_t m = 0; m < r->more_outputs.count; m++)
        write_file(t, r->more_outputs.items[m].path, r->more_outputs.items[m].size, r->more_outputs.items[m].sha256);
}

void write_row(Text* t, const ReportFacts* facts, const RecordingFacts* r, uint32_t index)
{
    char when[40], duration[48], size[32];
    recording_time_text(r, when, sizeof when);
    if (when[0])
        when[10] = ' ';
    duration_text(r->duration_seconds, duration, sizeof duration);
    size_text(r->recording_bytes, size, sizeof size);
    text_printf(t, "<tr id=\"clip-%u\"><td class=\"num\"><i class=\"chip\" style=\"background:hsl(%d,65%%,50%%)\"></i>%u",
                r->clip_number, recording_hue(index), r->clip_number);
    text_printf(t, "</td><td class=\"num\">%s", when[0] ? when : "unknown");
    if (r->original.path[0]) {
        text_put(t, "<div class=\"orig\">");
        html_escape(t, r->original.path);
        static const char* const states[] = {"", " (live)", " (deleted)", " (left by a format)"};
        text_put(t, states[r->original.state < 4 ? r->original.state : 0]);
        if (r->original.modified[0]) {
            text_put(t, "<br>modified ");
            html_escape(t, r->original.modified);
        }
        if (r->original.refused[0]) {
            text_put(t, "<br>its extent is not used: ");
            html_escape(t, r->original.refused);
        }
        text_put(t, "</div>");
    }
    text_printf(t, "</td><td class=\"num\">%s</td><td>%s</td><td class=\"num\">", duration, r->codec[0] ? r->codec : "&mdash;");
    if (r->width && r->height)
        text_printf(t, "%u&times;%u<br>", r->width, r->height);
    text_printf(t, "%s</td><td class=\"num\">", r->recording_bytes ? size : "&mdash;");
    if (r->rate_den)
        text_printf(t, "%.3f fps", double(r->rate_num) / double(r->rate_den));
    else
        text_put(t, "&mdash;");
    if (r->video_chunks)
        text_printf(t, "<br>%llu/%llu chunks", (unsigned long long)r->video_chunks_found, (unsigned long long)r->video_chunks);
    text_put(t, "</td><td>");
    write_fate(t, r);
    UnreadableFacts touched;
    recording_unreadable(facts, index, &touched);
    if (touched.count) {
        text_put(t, "<div class=\"orig\">where the card did not read: ");
        write_spans(t, &touched);
        text_put(t, "</div>");
    }
    basics::list_free(&touched);
    text_put(t, "</td><td>");
    write_output(t, r);
    text_put(t, "</td><td>");
    if (r->thumbnail_png) {
        text_printf(t, "<img class=\"thumb\" alt=\"first picture of clip %u\" src=\"data:image/png;base64,", r->clip_number);
        base64(t, r->thumbnail_png, r->thumbnail_size);
        text_put(t, "\">");
    } else {
        text_put(t, "<span class=\"none\">&mdash;</span>");
    }
    text_put(t, "</td></tr>\n");
}

}  // namespace

void write_report_html(Text* t, const ReportFacts* facts)
{
    text_put(t, "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
                "<title>Mendora Recovery report</title><style>");
    text_put(t, page_style);
    text_put(t, "</style></head><body>\n<header><h1>Mendora Recovery report</h1><p>");
    html_escape(t, facts->run.image_path ? facts->run.image_path : "");
    text_put(t, "</p></header>\n<main>\n");
    write_counts(t, facts);
    text_put(t, "<section><h2>The card</h2>\n");
    CardMap map;
    build_card_map(facts, 0, facts->run.image_size, &map);
    write_card_svg(t, facts, &map);
    free_card_map(&map);
    // recordings that fill a small part of the card get a second map of that part alone, where
    // each chunk has room to show
    uint64_t begin = 0, end = 0;
    if (recordings_span(facts, &begin, &end) && end - begin < facts->run.image_size / 4) {
        build_card_map(facts, begin, end, &map);
        write_card_svg(t, facts, &map);
        free_card_map(&map);
    }
    write_map_legend(t, facts);
    text_put(t, "</section>\n<section><h2>Recordings</h2>\n<table class=\"recordings\"><thead><tr><th>Clip</th>"
                "<th>Recorded</th><th>Duration</th><th>Codec</th><th>Size</th><th>Frame rate</th><th>What happened</th>"
                "<th>Output file</th><th>First picture</th></tr></thead><tbody>\n");
    for (size_t i = 0; i < facts->recordings.count; i++)
        write_row(t, facts, &facts->recordings.items[i], uint32_t(i));
    text_put(t, "</tbody></table>\n");
    if (facts->recordings.count == 0)
        text_put(t, "<p class=\"none\">The scan found no recording on this card.</p>\n");
    text_put(t, "</section>\n");
    write_run(t, &facts->run);
    text_put(t, "</main></body></html>\n");
}

}  // namespace report
