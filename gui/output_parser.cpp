#include "gui/output_parser.h"

#include <cstdio>
#include <cstring>

#include "basics/report_texts.h"

namespace gui {

// The last match of `pattern`, searching on after each match's end; null when there is none.
static const char* last_occurrence(const char* text, const char* pattern)
{
    const char* last = nullptr;
    size_t step = std::strlen(pattern);
    for (const char* p = std::strstr(text, pattern); p; p = std::strstr(p + step, pattern))
        last = p;
    return last;
}

static size_t count_occurrences(const char* text, const char* pattern)
{
    size_t count = 0;
    size_t step = std::strlen(pattern);
    for (const char* p = std::strstr(text, pattern); p; p = std::strstr(p + step, pattern))
        count++;
    return count;
}

static int contains(const char* text, const char* pattern) { return std::strstr(text, pattern) != nullptr; }

struct AnalysisNumbers {
    unsigned long long recoverable, supported;
    unsigned long long expected, mapped, ambiguous;
    unsigned long long tail_found, pairs;
    int has_recoverable, has_mapping, has_tail, has_pairs;
};

static AnalysisNumbers read_analysis_numbers(const char* text)
{
    AnalysisNumbers n{};
    const char* at = last_occurrence(text, "recoverable clips=");
    n.has_recoverable = at && std::sscanf(at, "recoverable clips=%llu/%llu", &n.recoverable, &n.supported) == 2;
    // stage 4 prints "expected=" twice; when the last is the fingerprint summary only one field fills
    at = last_occurrence(text, "expected=");
    n.has_mapping =
        at && std::sscanf(at, "expected=%llu mapped=%llu ambiguous=%llu", &n.expected, &n.mapped, &n.ambiguous) == 3;
    at = last_occurrence(text, "tail final chunks found=");
    n.has_tail = at && std::sscanf(at, "tail final chunks found=%llu", &n.tail_found) == 1;
    at = last_occurrence(text, "XAVC+moov pairs=");
    n.has_pairs = at && std::sscanf(at, "XAVC+moov pairs=%llu", &n.pairs) == 1;
    return n;
}

// A card that did not read everywhere: its spans and bytes, from the summary once it is there,
// else from the lines that name each span as the scan finds it.
static void read_unreadable(const char* text, ParsedOutput* out)
{
    unsigned long long spans = 0, bytes = 0;
    const char* at = last_occurrence(text, "  unreadable spans  : ");
    if (!at || std::sscanf(at, "  unreadable spans  : %llu (%llu bytes", &spans, &bytes) != 2) {
        spans = bytes = 0;
        for (const char* p = std::strstr(text, "unreadable: "); p; p = std::strstr(p + 1, "unreadable: ")) {
            unsigned long long n = 0;
            if ((p == text || p[-1] == '\n') && std::sscanf(p, "unreadable: %llu bytes", &n) == 1) {
                spans++;
                bytes += n;
            }
        }
    }
    if (spans == 0)
        return;
    char* d = out->analysis_details;
    size_t len = std::strlen(d);
    std::snprintf(d + len, sizeof out->analysis_details - len, "%sUnreadable: %llu span%s, %llu bytes",
                  len ? "\r\n" : "", spans, spans == 1 ? "" : "s", bytes);
}

static void derive_analysis_texts(const char* text, const AnalysisNumbers& n, ParsedOutput* out)
{
    if (n.has_recoverable) {
        int len = n.recoverable == 1 ? std::snprintf(out->analysis_status, sizeof out->analysis_status,
                                                     "1 clip recoverable")
                                     : std::snprintf(out->analysis_status, sizeof out->analysis_status,
                                                     "%llu clips recoverable", n.recoverable);
        if (n.supported != 0 && n.supported != n.recoverable && len > 0 &&
            static_cast<size_t>(len) < sizeof out->analysis_status)
            std::snprintf(out->analysis_status + len, sizeof out->analysis_status - len, " of %llu supported",
                          n.supported);
        out->has_analysis_status = 1;
    } else if (contains(text, "[1/6]") || contains(text, "[2/6]") || contains(text, "[3/6]") ||
               contains(text, "[4/6]") || contains(text, "[5/6]")) {
        copy_text(out->analysis_status, sizeof out->analysis_status, "Analysis in progress");
        out->has_analysis_status = 1;
    }

    char* d = out->analysis_details;
    const size_t cap = sizeof out->analysis_details;
    if (n.has_mapping)
        std::snprintf(d, cap, "Video chunks mapped: %llu / %llu\r\nAmbiguous mappings: %llu", n.mapped, n.expected,
                      n.ambiguous);
    if (n.has_tail) {
        size_t len = std::strlen(d);
        std::snprintf(d + len, cap - len, "%sFinal chunks recovered: %llu", len ? "\r\n" : "", n.tail_found);
    }
    if (n.has_pairs) {
        size_t len = std::strlen(d);
        std::snprintf(d + len, cap - len, "%sXAVC + moov metadata pairs: %llu", len ? "\r\n" : "", n.pairs);
    }
    read_unreadable(text, out);
}

// Where the overall bar stands by the furthest stage heading the text has reached.
static int32_t stage_base(const char* text)
{
    static const struct {
        const char* heading;
        int32_t progress;
    } stages[] = {
        {"\nComplete.", 100},
        {"[6/6] Rebuilding MP4", 86},
        {"[5/6] Resolving final video chunks", 82},
        {"[4/6] Global kkad fingerprint mapping", 50},
        {"[3/6] Building Sony recording runs", 48},
        {"[2/6] Raw scanning image", 5},
        {"[1/6] Detecting exFAT", 2},
    };
    for (const auto& s : stages)
        if (contains(text, s.heading))
            return s.progress;
    return 1;
}

static void read_image_scan(const char* text, ParsedOutput* out)
{
    const char* at = last_occurrence(text, "Raw scan ");
    int percent = 0;
    if (!at || std::sscanf(at, "Raw scan %d%%", &percent) != 1 || percent < 0 || percent > 100)
        return;
    out->overall_progress = percent * 40 / 100 + 5;
    std::snprintf(out->status_text, sizeof out->status_text, "Image scan: %d%% complete", percent);
}

static void read_fragment_map(const char* text, ParsedOutput* out)
{
    const char* at = last_occurrence(text, "Global kkad scan ");
    unsigned long long done = 0, total = 0;
    if (!at || std::sscanf(at, "Global kkad scan %llu/%llu", &done, &total) != 2 || total == 0)
        return;
    // taken as a 32-bit value, as the bar's arithmetic is; a done count past the total wraps
    int32_t percent = static_cast<int32_t>(static_cast<uint32_t>(done * 100 / total));
    out->overall_progress = static_cast<int32_t>(static_cast<int64_t>(percent) * 28 / 100 + 50);
    std::snprintf(out->status_text, sizeof out->status_text, "Sony fragment map: %llu / %llu (%d%%)", done, total,
                  percent);
}

// A writing line counts only when it is whole and in range; it then sets both bars and the status.
static void read_writing_line(const char* text, ParsedOutput* out)
{
    const char* at = last_occurrence(text, "Writing file ");
    unsigned long long index = 0, total = 0;
    int clip = 0, percent = -1;
    char phase[96];
    if (!at || std::sscanf(at, "Writing file %llu of %llu | clip %d | %95[^|] | %d%%", &index, &total, &clip, phase,
                           &percent) != 5)
        return;
    if (total == 0 || percent < 0 || percent > 100)
        return;
    size_t len = std::strlen(phase);
    while (len > 0 && (phase[len - 1] == ' ' || phase[len - 1] == '\t'))
        phase[--len] = 0;
    out->file_progress = percent;
    std::snprintf(out->status_text, sizeof out->status_text, "Writing file %llu of %llu | clip %d | %s | %d%%", index,
                  total, clip, phase, percent);
    unsigned long long files_done = index > 0 ? index - 1 : 0;
    unsigned long long overall = (files_done * 100 + static_cast<unsigned long long>(percent)) * 100 / (total * 100);
    if (overall > 100)
        overall = 100;
    out->overall_progress = static_cast<int32_t>(overall) * 13 / 100 + 86;
}

// Stage 6 has begun but no clip is being written yet (or the queue is empty): count the files
// written so far against what the run asked for.
static void read_written_files(const char* text, RunMode mode, ParsedOutput* out)
{
    size_t written = count_occurrences(text, "\n  -> ");
    unsigned long long recoverable = 0, supported = 0, salvage = 0;
    const char* at = last_occurrence(text, "recoverable clips=");
    if (at)
        std::sscanf(at, "recoverable clips=%llu/%llu", &recoverable, &supported);
    // salvaged files count beside the written ones, and the recordings salvage tries beside the
    // recoverable clips, so the count never passes its total
    at = last_occurrence(text, basics::salvage_heading);
    if (at && std::sscanf(at + std::strlen(basics::salvage_heading), "%llu recording", &salvage) == 1) {
        written += count_occurrences(text, basics::salvaged_arrow);
        recoverable += salvage;
    }
    // camera files of recordings outside the recoverable clips count beside them too
    unsigned long long camera = 0, beyond = 0;
    at = last_occurrence(text, basics::camera_files_closing);
    if (at && std::sscanf(at + std::strlen(basics::camera_files_closing), "%llu written, %llu of them", &camera,
                          &beyond) == 2)
        recoverable += beyond;
    if (mode == Sample) {
        std::snprintf(out->status_text, sizeof out->status_text, "Recovered files: %zu / 1", written);
        out->overall_progress = written > 0 ? 99 : 86;
    } else if (mode == All) {
        if (recoverable == 0)
            return;
        std::snprintf(out->status_text, sizeof out->status_text, "Recovered files: %zu / %llu", written, recoverable);
        unsigned long long percent = written * 100ull / recoverable;
        if (percent > 100)
            percent = 100;
        out->overall_progress = static_cast<int32_t>(percent) * 13 / 100 + 86;
    } else {
        copy_text(out->status_text, sizeof out->status_text, "Analysis only - no MP4 output");
    }
}

void parse_engine_output(const char* text, RunMode mode, ParsedOutput* out)
{
    std::memset(out, 0, sizeof *out);
    out->file_progress = -1;
    copy_text(out->status_text, sizeof out->status_text, "Activity: preparing");

    derive_analysis_texts(text, read_analysis_numbers(text), out);
    out->overall_progress = stage_base(text);
    read_image_scan(text, out);
    read_fragment_map(text, out);
    if (contains(text, "  AVC validation PASS:") && out->overall_progress < 96)
        out->overall_progress = 96;
    read_writing_line(text, out);
    if (contains(text, "[6/6] Rebuilding MP4") && !contains(text, "Writing file "))
        read_written_files(text, mode, out);
    if (out->overall_progress < 0)
        out->overall_progress = 0;
    if (out->overall_progress > 100)
        out->overall_progress = 100;
}

int find_engine_error(const char* text, char* out, size_t cap)
{
    const char* found = nullptr;
    for (const char* p = std::strstr(text, "ERROR: "); p; p = std::strstr(p + 1, "ERROR: "))
        if (p == text || p[-1] == '\n' || p[-1] == '\r')
            found = p;
    if (cap > 0)
        out[0] = 0;
    if (!found || cap == 0)
        return 0;
    size_t n = std::strcspn(found, "\r\n");
    if (n > cap - 1)
        n = cap - 1;
    std::memcpy(out, found, n);
    out[n] = 0;
    return 1;
}

void show_parsed_output(WindowView* view, const ParsedOutput& parsed)
{
    if (parsed.has_analysis_status)
        copy_text(view->analysis_status, sizeof view->analysis_status, parsed.analysis_status);
    if (parsed.analysis_details[0])
        copy_text(view->analysis_details, sizeof view->analysis_details, parsed.analysis_details);
    if (parsed.file_progress >= 0)
        view->file_progress = parsed.file_progress;
    copy_text(view->status_link, sizeof view->status_link, parsed.status_text);
    view->overall_progress = parsed.overall_progress;
}

}  // namespace gui
