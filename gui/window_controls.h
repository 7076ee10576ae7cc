#pragma once
// The window's controls and the record that holds them: creation at their places with their
// fonts, and the one routine that makes the controls show what the window state says.
#include <windows.h>

#include <atomic>

#include "gui/gui_state.h"
#include "gui/recovery_run.h"

namespace gui {

// Every control, labels included, in the order they are made.
constexpr size_t control_count = 24;

struct GuiWindow {
    HWND main;
    int32_t dpi;  // of the monitor the window is on; 96 is the layout's own numbers
    HMENU menu_bar;
    HFONT normal_font;
    HFONT bold_font;
    HWND workdir_edit, workdir_browse;
    HWND source_edit, source_open;
    HWND outdir_edit, outdir_browse;
    HWND analyze, recover_sample, recover_all;
    HWND analysis_status, analysis_details;
    HWND overall_progress, file_progress, status_link;
    HWND activity_heading, activity_edit;
    HWND mode_combo;
    HWND focus_before_deactivation;
    HWND controls[control_count];  // the control that gets the focus back when the window is active again
    // Published by the worker while the child runs: a handle of its own that only the one who
    // takes it out of here closes, so the close question never terminates through a closed handle.
    std::atomic<HANDLE> child_process;
    char* last_activity_text;  // what the Activity pane was last given
    GuiState state;
    WindowView shown;  // what the controls show now
};

// Owned by the window thread; the worker touches only child_process and reads main.
extern GuiWindow gui_window;

HFONT create_ui_font(int bold, int32_t dpi);
// Creates every control of the main window at the place the layout gives it for `dpi`.
void create_controls(HWND main, HINSTANCE instance, const Layout& layout, int32_t dpi);
// Moves every control to its place for a new DPI and gives it the window's current fonts.
void place_controls(const Layout& layout, int32_t dpi);
// Copies every value of the window state that differs from what the controls show.
void show_view();
// Focus, clearing of the Activity pane: the one-off parts of a state change.
void apply_view_events(const ViewEvents& events);
// The enabling rules (enable 1) or every action button off (enable 0), shown at once.
void update_action_buttons(int enable);
void show_message(HWND owner, MessageKind kind, const char* text);

}  // namespace gui
