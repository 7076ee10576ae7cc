#pragma once
// mendora-report.json: the facts of the page, for scripts.
#include "report/report_facts.h"
#include "report/text_out.h"

namespace report {

void write_report_json(Text* t, const ReportFacts* facts);

// "YYYY-MM-DDTHH:MM:SS" as the camera's clock stated it (no zone), "" when the recording has no time.
void recording_time_text(const RecordingFacts* r, char* out, size_t cap);
// The output file's name: the path after its last separator.
const char* file_name_of(const char* path);

}  // namespace report
