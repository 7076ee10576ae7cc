#include "report/report_facts.h"

#include <cstdlib>

namespace report {

const char* const stage_names[stage_count] = {"exFAT detection", "raw scan",         "recording runs",
                                              "fingerprint map", "final chunks",     "rebuild and salvage",
                                              "report"};

void free_report_facts(ReportFacts* facts)
{
    for (size_t i = 0; i < facts->recordings.count; i++)
        std::free(facts->recordings.items[i].thumbnail_png);
    basics::list_free(&facts->recordings);
    basics::list_free(&facts->pieces);
}

RecordingFacts* find_recording(ReportFacts* facts, uint32_t clip_number)
{
    for (size_t i = 0; i < facts->recordings.count; i++)
        if (facts->recordings.items[i].clip_number == clip_number)
            return &facts->recordings.items[i];
    return nullptr;
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
    default: return "not-written";
    }
}

}  // namespace report
