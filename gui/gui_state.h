#pragma once
// The window's state and the rules that decide which buttons work, what a new input resets and
// where the controls sit. No window-system types here: the window layer shows what these records
// hold and tells these functions what the user did.
#include <cstddef>
#include <cstdint>

namespace gui {

enum RunMode : int32_t { Sample = 0, All = 1, AnalysisOnly = 2 };

constexpr size_t path_capacity = 2048;
constexpr int32_t narrow_width = 480;
constexpr int32_t wide_width = 1120;
constexpr int32_t window_height = 650;

extern const char* const not_analyzed_text;
extern const char* const analyze_prompt_text;
extern const char* const no_file_text;

struct ActionButtons {
    int32_t workdir_browse;
    int32_t source_open;
    int32_t outdir_browse;
    int32_t analyze;
    int32_t recover_sample;
    int32_t recover_all;
};

// What the controls show. The window layer copies every value that changed into its control.
struct WindowView {
    char working_folder[path_capacity];
    char source_image[path_capacity];
    char recovery_folder[path_capacity];
    char analysis_status[128];
    char analysis_details[512];
    char status_link[256];
    int32_t overall_progress;
    int32_t file_progress;
    ActionButtons buttons;
    int32_t width;
};

struct GuiState {
    int32_t analysis_succeeded;  // gates both recovery buttons
    int32_t show_activity;
    int32_t running;  // from the start of a run to its end message: only then does a poll parse the log
    RunMode run_mode;
    char recovery_link_folder[path_capacity];  // empty: the status link opens nothing
    char working_folder_copy[path_capacity];
    char log_path[path_capacity];  // empty until the first run
    // the analysis texts as a recovery run found them: its own polls rewrite them on the way, and a
    // failed run puts them back
    char analysis_status_before[128];
    char analysis_details_before[512];
    WindowView view;
};

// One-off things the window layer does beside showing the view.
struct ViewEvents {
    int32_t focus;            // id of the control that gets the focus, 0 for none
    int32_t clear_activity;   // empty the Activity pane
    int32_t forget_activity;  // drop the text last put into the pane as well
};

// Where the columns and the lower controls sit, in pixels at the window's DPI.
struct Layout {
    int32_t left_width;      // L
    int32_t activity_width;  // A
    int32_t activity_x;      // AX
    int32_t bottom;          // H
};

// snprintf-style copy: cut to cap - 1 characters, always terminated.
void copy_text(char* out, size_t cap, const char* text);
int field_filled(const char* text);

// A length of the 96 DPI layout at `dpi`, rounded to the nearest pixel.
int32_t scale_to_dpi(int32_t value, int32_t dpi);
// From the client area of the 1120 x 650 window (both scaled to `dpi`).
Layout compute_layout(int32_t client_width, int32_t client_height, int32_t dpi = 96);
int32_t window_width(int32_t show_activity);

// enable 0 disables every button (a run is in progress); 1 applies the rules.
void update_action_buttons(GuiState* state, int enable);
void apply_window_width(GuiState* state);
void set_show_activity(GuiState* state, int on);

ViewEvents init_window(GuiState* state);
ViewEvents pick_working_folder(GuiState* state, const char* path);
ViewEvents pick_source_image(GuiState* state, const char* path);
ViewEvents pick_recovery_folder(GuiState* state, const char* path);

}  // namespace gui
