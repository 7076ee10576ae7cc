#include "gui/gui_state.h"

#include <cstdio>
#include <cstring>

#include "gui/control_ids.h"

namespace gui {

const char* const not_analyzed_text = "Not analyzed";
const char* const analyze_prompt_text = "Run Analyze to identify recoverable Sony recordings.";
const char* const no_file_text = "No file is being written";

void copy_text(char* out, size_t cap, const char* text)
{
    if (cap == 0)
        return;
    std::snprintf(out, cap, "%s", text);
}

// No trimming: a single blank is a filled field.
int field_filled(const char* text) { return text[0] != 0; }

int32_t scale_to_dpi(int32_t value, int32_t dpi)
{
    int64_t scaled = static_cast<int64_t>(value) * dpi;
    return static_cast<int32_t>(scaled >= 0 ? (scaled + 48) / 96 : (scaled - 48) / 96);
}

Layout compute_layout(int32_t client_width, int32_t client_height, int32_t dpi)
{
    Layout layout;
    int32_t usable = client_width - scale_to_dpi(50, dpi);
    layout.left_width = usable * 40 / 100;
    layout.activity_width = usable - layout.left_width;
    layout.activity_x = layout.left_width + scale_to_dpi(34, dpi);
    int32_t bottom = client_height - scale_to_dpi(16, dpi);
    int32_t lowest = scale_to_dpi(420, dpi);
    layout.bottom = bottom < lowest ? lowest : bottom;
    return layout;
}

int32_t window_width(int32_t show_activity) { return show_activity ? wide_width : narrow_width; }

void update_action_buttons(GuiState* state, int enable)
{
    const WindowView& v = state->view;
    int on = enable ? 1 : 0;
    int recover = on && state->analysis_succeeded && field_filled(v.recovery_folder);
    ActionButtons& b = state->view.buttons;
    b.workdir_browse = on;
    b.source_open = on && field_filled(v.working_folder);
    b.outdir_browse = on && field_filled(v.source_image);
    b.analyze = on && field_filled(v.working_folder) && field_filled(v.source_image);
    b.recover_sample = recover;
    b.recover_all = recover;
}

void apply_window_width(GuiState* state) { state->view.width = window_width(state->show_activity); }

void set_show_activity(GuiState* state, int on)
{
    state->show_activity = on ? 1 : 0;
    apply_window_width(state);
}

// A new working folder or image makes the last analysis meaningless. The current-file bar keeps
// its value.
static void reset_analysis_view(GuiState* state, ViewEvents* events)
{
    state->analysis_succeeded = 0;
    apply_window_width(state);
    events->clear_activity = 1;
    copy_text(state->view.analysis_status, sizeof state->view.analysis_status, not_analyzed_text);
    copy_text(state->view.analysis_details, sizeof state->view.analysis_details, analyze_prompt_text);
    state->view.overall_progress = 0;
}

// Any new input takes the link to an older run's recovery folder away.
static void forget_recovery_link(GuiState* state)
{
    state->recovery_link_folder[0] = 0;
    copy_text(state->view.status_link, sizeof state->view.status_link, no_file_text);
}

ViewEvents init_window(GuiState* state)
{
    std::memset(state, 0, sizeof *state);
    state->run_mode = Sample;
    copy_text(state->view.analysis_status, sizeof state->view.analysis_status, not_analyzed_text);
    copy_text(state->view.analysis_details, sizeof state->view.analysis_details, analyze_prompt_text);
    copy_text(state->view.status_link, sizeof state->view.status_link, no_file_text);
    update_action_buttons(state, 1);
    set_show_activity(state, 0);
    ViewEvents events{};
    events.focus = IDC_WORKDIR_BROWSE;
    return events;
}

// A new working folder or image: the field takes the path; the older link and analysis go.
static ViewEvents take_new_input(GuiState* state, char* field, const char* path, int32_t focus)
{
    ViewEvents events{};
    copy_text(field, path_capacity, path);
    forget_recovery_link(state);
    reset_analysis_view(state, &events);
    update_action_buttons(state, 1);
    events.focus = focus;
    return events;
}

ViewEvents pick_working_folder(GuiState* state, const char* path)
{
    copy_text(state->working_folder_copy, path_capacity, path);
    state->view.source_image[0] = 0;
    return take_new_input(state, state->view.working_folder, path, IDC_SOURCE_OPEN);
}

ViewEvents pick_source_image(GuiState* state, const char* path)
{
    return take_new_input(state, state->view.source_image, path, IDC_ANALYZE);
}

ViewEvents pick_recovery_folder(GuiState* state, const char* path)
{
    ViewEvents events{};
    copy_text(state->view.recovery_folder, path_capacity, path);
    forget_recovery_link(state);
    update_action_buttons(state, 1);
    return events;
}

}  // namespace gui
