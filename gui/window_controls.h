#pragma once
// The window's controls and the record that holds them: creation at their places with their
// fonts, and the one routine that makes the controls show what the window state says.
#include <windows.h>

#include <atomic>

#include "gui/gui_state.h"
#include "gui/recovery_run.h"

namespace gui {

struct GuiWindow {
    HWND main;
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
    // Published by the worker while the child runs: a handle of its own that only the one who
    // takes it out of here closes, so the close question never terminates through a closed handle.
    std::atomic<HANDLE> child_process;
    char* last_activity_text;  // what the Activity pane was last given
    GuiState state;
    WindowView shown;  // what the controls show now
};

// Owned by the window thread; the worker touches only child_process and reads main.
extern GuiWindow gui_window;

HFONT create_ui_font(int bold);
// Creates every control of the main window at the place the layout gives it.
void create_controls(HWND main, HINSTANCE instance, const Layout& layout);
// Copies every value of the window state that differs from what the controls show.
void show_view();
// Focus, clearing of the Activity pane: the one-off parts of a state change.
void apply_view_events(const ViewEvents& events);
// The enabling rules (enable 1) or every action button off (enable 0), shown at once.
void update_action_buttons(int enable);
void show_message(HWND owner, MessageKind kind, const char* text);

}  // namespace gui
