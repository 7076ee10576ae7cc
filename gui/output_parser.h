#pragma once
// Turns the tail of an engine log into what the window shows: the analysis status line and
// details, the status line under the bars and both bar positions. Keeps nothing between calls.
#include <cstddef>
#include <cstdint>

#include "gui/gui_state.h"

namespace gui {

struct ParsedOutput {
    int32_t has_analysis_status;
    char analysis_status[128];
    char analysis_details[512];  // empty: the details stay as they are
    int32_t file_progress;       // -1: no writing line counted, the bar stays
    char status_text[256];
    int32_t overall_progress;
};

void parse_engine_output(const char* text, RunMode mode, ParsedOutput* out);
// The last line of the text that starts with "ERROR: " (the engine's reason for stopping), cut to
// cap - 1 characters; 1 when there is one, else 0 and `out` empty.
int find_engine_error(const char* text, char* out, size_t cap);
// Copies into the view what the parser derived; outputs it did not derive stay as they were.
void show_parsed_output(WindowView* view, const ParsedOutput& parsed);

}  // namespace gui
