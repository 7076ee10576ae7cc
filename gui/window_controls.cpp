#include "gui/window_controls.h"

#include <commctrl.h>

#include <cstdlib>
#include <cstring>

#include "gui/control_ids.h"
#include "gui/window_dpi.h"

namespace gui {

GuiWindow gui_window;

HFONT create_ui_font(int bold, int32_t dpi)
{
    // the system's message font as it is drawn at this DPI, where the system can tell it
    LOGFONTW wide_face;
    if (message_font_for_dpi(dpi, &wide_face)) {
        wide_face.lfWeight = bold ? 600 : 400;
        wide_face.lfQuality = CLEARTYPE_QUALITY;
        return CreateFontIndirectW(&wide_face);
    }
    NONCLIENTMETRICSA metrics;
    std::memset(&metrics, 0, sizeof metrics);
    metrics.cbSize = 344;  // the record with the padded border width
    LOGFONTA face;
    if (SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, 344, &metrics, 0)) {
        face = metrics.lfMessageFont;
    } else {
        std::memset(&face, 0, sizeof face);
        face.lfHeight = -scale_to_dpi(12, dpi);
        face.lfCharSet = DEFAULT_CHARSET;
        std::strcpy(face.lfFaceName, "Segoe UI");
    }
    face.lfWeight = bold ? 600 : 400;
    face.lfQuality = CLEARTYPE_QUALITY;
    return CreateFontIndirectA(&face);
}

enum FontKind { font_none, font_normal, font_bold };

struct ControlRow {
    HWND* slot;  // null for the labels nobody changes later
    int id;
    const char* window_class;
    const char* text;
    int x, y, width, height;
    DWORD style;
    DWORD ex_style;
    FontKind font;
    const wchar_t* cue;
};

static HWND create_control(HWND main, HINSTANCE instance, const ControlRow& c)
{
    DWORD style = WS_CHILD | c.style;
    HWND control = CreateWindowExA(c.ex_style, c.window_class, c.text, style, c.x, c.y, c.width, c.height, main,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
    if (!control)
        return nullptr;
    HFONT font = c.font == font_bold ? gui_window.bold_font : c.font == font_normal ? gui_window.normal_font : nullptr;
    if (font)
        SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    // the cue stays visible while the field has the focus: the fields are read-only
    if (c.cue)
        SendMessageA(control, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(c.cue));
    return control;
}

static const DWORD label = WS_VISIBLE | SS_LEFTNOWORDWRAP;
// Tab walks the fields, buttons, status link and Activity pane in the order they are made, which is
// the order they are seen in: top to bottom, left column first.
static const DWORD path_field = WS_VISIBLE | WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL;
static const DWORD button = WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;

// One of the three inputs: its label, the read-only field that shows the pick and the button that
// makes it, the field and button 22 pixels under the label.
struct InputRows {
    const char* label;
    int y;
    HWND* field;
    int field_id;
    const wchar_t* cue;
    HWND* button;
    int button_id;
    const char* button_text;
};

// Every control of the window in the order it is made, at its place for `dpi`: the numbers are
// those of a 96 DPI screen, scaled.
static size_t control_rows(const Layout& layout, int32_t dpi, ControlRow* rows)
{
    GuiWindow& g = gui_window;
    const int L = layout.left_width, A = layout.activity_width, AX = layout.activity_x, H = layout.bottom;
    auto s = [dpi](int32_t value) { return scale_to_dpi(value, dpi); };
    const InputRows inputs[] = {
        {"Working folder", 16, &g.workdir_edit, IDC_WORKDIR_EDIT, L"Working folder", &g.workdir_browse,
         IDC_WORKDIR_BROWSE, "&Browse..."},
        {"Source image", 78, &g.source_edit, IDC_SOURCE_EDIT, L"Source disk image", &g.source_open, IDC_SOURCE_OPEN,
         "&Open..."},
        {"Recovery folder", 140, &g.outdir_edit, IDC_OUTDIR_EDIT, L"Recovery folder", &g.outdir_browse,
         IDC_OUTDIR_BROWSE, "B&rowse..."},
    };
    size_t n = 0;
    for (const InputRows& in : inputs) {
        rows[n++] = {nullptr, 0, "STATIC", in.label, s(16), s(in.y), L, s(18), label, 0, font_normal, nullptr};
        rows[n++] = {in.field, in.field_id, "EDIT", "", s(16), s(in.y + 22), L - s(96), s(28), path_field,
                     WS_EX_CLIENTEDGE, font_normal, in.cue};
        rows[n++] = {in.button, in.button_id, "BUTTON", in.button_text, L - s(72), s(in.y + 22), s(88), s(28), button,
                     0, font_normal, nullptr};
    }
    const DWORD bar = WS_VISIBLE | PBS_SMOOTH;
    const DWORD pane = WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL | ES_READONLY |
                       ES_WANTRETURN;
    const ControlRow controls[] = {
        {nullptr, 0, "STATIC", "Actions", s(16), s(224), L, s(18), label, 0, font_bold, nullptr},
        {&g.analyze, IDC_ANALYZE, "BUTTON", "A&nalyze", s(16), s(246), s(96), s(30), button, 0, font_normal, nullptr},
        {&g.recover_sample, IDC_RECOVER_SAMPLE, "BUTTON", "Recover &Sample", s(120), s(246), s(124), s(30), button, 0,
         font_normal, nullptr},
        {&g.recover_all, IDC_RECOVER_ALL, "BUTTON", "Recover A&ll", s(252), s(246), s(112), s(30), button, 0,
         font_normal, nullptr},
        {nullptr, 0, "STATIC", "Analysis results", s(16), s(298), L, s(18), label, 0, font_bold, nullptr},
        {&g.analysis_status, IDC_ANALYSIS_STATUS, "STATIC", not_analyzed_text, s(16), s(322), L, s(18), label, 0,
         font_bold, nullptr},
        {&g.analysis_details, IDC_ANALYSIS_DETAILS, "STATIC", analyze_prompt_text, s(16), s(348), L, s(78),
         WS_VISIBLE | SS_LEFT, 0, font_normal, nullptr},
        {nullptr, 0, "STATIC", "Overall progress", s(16), H - s(138), L, s(18), label, 0, font_normal, nullptr},
        {&g.overall_progress, IDC_OVERALL_PROGRESS, PROGRESS_CLASSA, "", s(16), H - s(116), L, s(16), bar, 0,
         font_none, nullptr},
        {nullptr, 0, "STATIC", "Current file", s(16), H - s(82), L, s(18), label, 0, font_normal, nullptr},
        {&g.file_progress, IDC_FILE_PROGRESS, PROGRESS_CLASSA, "", s(16), H - s(60), L, s(16), bar, 0, font_none,
         nullptr},
        {&g.status_link, IDC_STATUS_LINK, "SysLink", no_file_text, s(16), H - s(36), L, s(36),
         WS_VISIBLE | WS_TABSTOP, 0, font_normal, nullptr},
        {&g.activity_heading, 0, "STATIC", "Activity", AX, s(16), A, s(18), label, 0, font_bold, nullptr},
        {&g.activity_edit, IDC_ACTIVITY_EDIT, "EDIT", "", AX, s(38), A, H - s(38), pane, WS_EX_CLIENTEDGE,
         font_normal, nullptr},
        {&g.mode_combo, IDC_MODE_COMBO, "COMBOBOX", "", 0, 0, 10, 10, CBS_DROPDOWNLIST, 0, font_none, nullptr},
    };
    for (const ControlRow& row : controls)
        rows[n++] = row;
    return n;
}

static void set_pane_margins(int32_t dpi)
{
    int margin = scale_to_dpi(8, dpi);
    if (gui_window.activity_edit)
        SendMessageA(gui_window.activity_edit, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELONG(margin, margin));
}

void create_controls(HWND main, HINSTANCE instance, const Layout& layout, int32_t dpi)
{
    GuiWindow& g = gui_window;
    ControlRow rows[control_count];
    size_t n = control_rows(layout, dpi, rows);
    for (size_t i = 0; i < n; i++) {
        g.controls[i] = create_control(main, instance, rows[i]);
        if (rows[i].slot)
            *rows[i].slot = g.controls[i];
    }
    for (HWND bar_control : {g.overall_progress, g.file_progress}) {
        if (!bar_control)
            continue;
        SendMessageA(bar_control, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        SendMessageA(bar_control, PBM_SETPOS, 0, 0);
    }
    set_pane_margins(dpi);

    // what the controls show right after creation
    std::memset(&g.shown, 0, sizeof g.shown);
    copy_text(g.shown.analysis_status, sizeof g.shown.analysis_status, not_analyzed_text);
    copy_text(g.shown.analysis_details, sizeof g.shown.analysis_details, analyze_prompt_text);
    copy_text(g.shown.status_link, sizeof g.shown.status_link, no_file_text);
    g.shown.buttons = ActionButtons{1, 1, 1, 1, 1, 1};
    g.shown.width = wide_width;
}

void place_controls(const Layout& layout, int32_t dpi)
{
    GuiWindow& g = gui_window;
    ControlRow rows[control_count];
    size_t n = control_rows(layout, dpi, rows);
    for (size_t i = 0; i < n; i++) {
        if (!g.controls[i])
            continue;
        MoveWindow(g.controls[i], rows[i].x, rows[i].y, rows[i].width, rows[i].height, TRUE);
        HFONT font = rows[i].font == font_bold ? g.bold_font : rows[i].font == font_normal ? g.normal_font : nullptr;
        if (font)
            SendMessageA(g.controls[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
    set_pane_margins(dpi);
}

static void show_text(HWND control, char* shown, size_t cap, const char* wanted)
{
    if (std::strcmp(shown, wanted) == 0)
        return;
    copy_text(shown, cap, wanted);
    if (control)
        SetWindowTextA(control, wanted);
}

static void show_position(HWND bar, int32_t* shown, int32_t wanted)
{
    if (*shown == wanted)
        return;
    *shown = wanted;
    if (bar)
        SendMessageA(bar, PBM_SETPOS, static_cast<WPARAM>(wanted), 0);
}

static void show_enabled(HWND button, int32_t* shown, int32_t wanted)
{
    if (*shown == wanted)
        return;
    *shown = wanted;
    if (button)
        EnableWindow(button, wanted ? TRUE : FALSE);
}

void show_view()
{
    GuiWindow& g = gui_window;
    const WindowView& v = g.state.view;
    WindowView& s = g.shown;
    show_text(g.workdir_edit, s.working_folder, sizeof s.working_folder, v.working_folder);
    show_text(g.source_edit, s.source_image, sizeof s.source_image, v.source_image);
    show_text(g.outdir_edit, s.recovery_folder, sizeof s.recovery_folder, v.recovery_folder);
    show_text(g.analysis_status, s.analysis_status, sizeof s.analysis_status, v.analysis_status);
    show_text(g.analysis_details, s.analysis_details, sizeof s.analysis_details, v.analysis_details);
    show_text(g.status_link, s.status_link, sizeof s.status_link, v.status_link);
    show_position(g.overall_progress, &s.overall_progress, v.overall_progress);
    show_position(g.file_progress, &s.file_progress, v.file_progress);
    show_enabled(g.workdir_browse, &s.buttons.workdir_browse, v.buttons.workdir_browse);
    show_enabled(g.source_open, &s.buttons.source_open, v.buttons.source_open);
    show_enabled(g.outdir_browse, &s.buttons.outdir_browse, v.buttons.outdir_browse);
    show_enabled(g.analyze, &s.buttons.analyze, v.buttons.analyze);
    show_enabled(g.recover_sample, &s.buttons.recover_sample, v.buttons.recover_sample);
    show_enabled(g.recover_all, &s.buttons.recover_all, v.buttons.recover_all);
    if (s.width != v.width && g.main) {
        // the controls keep their places; a narrow window only hides the Activity column
        s.width = v.width;
        SetWindowPos(g.main, nullptr, 0, 0, scale_to_dpi(v.width, g.dpi), scale_to_dpi(window_height, g.dpi),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

static HWND control_with_id(int id)
{
    GuiWindow& g = gui_window;
    switch (id) {
    case IDC_WORKDIR_BROWSE: return g.workdir_browse;
    case IDC_SOURCE_OPEN: return g.source_open;
    case IDC_OUTDIR_BROWSE: return g.outdir_browse;
    case IDC_ANALYZE: return g.analyze;
    case IDC_RECOVER_SAMPLE: return g.recover_sample;
    default: return nullptr;
    }
}

void apply_view_events(const ViewEvents& events)
{
    GuiWindow& g = gui_window;
    if (events.clear_activity && g.activity_edit)
        SetWindowTextA(g.activity_edit, "");
    if (events.forget_activity) {
        std::free(g.last_activity_text);
        g.last_activity_text = nullptr;
    }
    HWND focus = control_with_id(events.focus);
    if (focus)
        SetFocus(focus);
}

void update_action_buttons(int enable)
{
    gui::update_action_buttons(&gui_window.state, enable);
    show_view();
}

void show_message(HWND owner, MessageKind kind, const char* text)
{
    UINT icon = kind == message_error ? MB_ICONERROR : kind == message_warning ? MB_ICONWARNING : MB_ICONINFORMATION;
    MessageBoxA(owner, text, "Mendora Recovery", MB_OK | icon);
}

}  // namespace gui
