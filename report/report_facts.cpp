#include "report/report_facts.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "basics/checked_alloc.h"

namespace report {

const char* const stage_names[stage_count] = {"exFAT detection", "raw scan",         "recording runs",
                                              "fingerprint map", "final chunks",     "rebuild and salvage",
                                              "report"};

void free_report_facts(ReportFacts* facts)
{
    for (size_t i = 0; i < facts->recordings.count; i++) {
        std::free(facts->recordings.items[i].thumbnail_png);
        basics::list_free(&facts->recordings.items[i].more_outputs);
    }
    basics::list_free(&facts->recordings);
    basics::list_free(&facts->pieces);
    basics::list_free(&facts->run.unreadable);
}

void recording_unreadable(const ReportFacts* facts, uint32_t index, UnreadableFacts* out)
{
    const UnreadableFacts* spans = &facts->run.unreadable;
    for (size_t u = 0; u < spans->count; u++) {
        const UnreadableFact& span = spans->items[u];
        for (size_t i = 0; i < facts->pieces.count; i++) {
            const Piece& p = facts->pieces.items[i];
            if (p.recording == index && p.kind != piece_unreadable && p.offset < span.offset + span.length &&
                span.offset < p.offset + p.length) {
                basics::list_append(out, span);
                break;
            }
        }
    }
}

RecordingFacts* find_recording(ReportFacts* facts, uint32_t clip_number)
{
    for (size_t i = 0; i < facts->recordings.count; i++)
        if (facts->recordings.items[i].clip_number == clip_number)
            return &facts->recordings.items[i];
    return nullptr;
}

void sort_recordings(ReportFacts* facts)
{
    size_t n = facts->recordings.count;
    std::vector<uint32_t> order(n), place(n);
    for (size_t i = 0; i < n; i++)
        order[i] = uint32_t(i);
    std::stable_sort(order.begin(), order.end(), [facts](uint32_t a, uint32_t b) {
        return facts->recordings.items[a].clip_number < facts->recordings.items[b].clip_number;
    });
    RecordingFacts* sorted = static_cast<RecordingFacts*>(basics::xmalloc((n ? n : 1) * sizeof(RecordingFacts)));
    for (size_t i = 0; i < n; i++) {
        sorted[i] = facts->recordings.items[order[i]];
        place[order[i]] = uint32_t(i);
    }
    std::copy(sorted, sorted + n, facts->recordings.items);
    std::free(sorted);
    for (size_t i = 0; i < facts->pieces.count; i++)
        if (facts->pieces.items[i].recording < n)
            facts->pieces.items[i].recording = place[facts->pieces.items[i].recording];
}

void add_piece(ReportFacts* facts, uint8_t kind, uint32_t recording, uint64_t offset, uint64_t length)
{
    if (length == 0)
        return;
    // the camera interleaves sound and video, so a piece often continues the one before it
    if (facts->pieces.count > 0) {
        Piece* last = &facts->pieces.items[facts->pieces.count - 1];
        if (last->kind == kind && last->recording == recording && last->offset + last->length == offset) {
            last->length += length;
            return;
        }
    }
    basics::list_append(&facts->pieces, Piece{offset, length, recording, kind});
}

const char* fate_word(uint8_t fate)
{
    switch (fate) {
    case fate_written: return "written";
    case fate_salvaged: return "salvaged";
    case fate_not_recovered: return "not-recovered";
    case fate_camera_file: return "camera-file";
    default: return "not-written";
    }
}

}  // namespace report
