#include "gui/main_window.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "gui/control_ids.h"
#include "gui/menus_about.h"
#include "gui/pickers.h"
#include "gui/log_poll.h"
#include "gui/recovery_run.h"
#include "gui/recovery_worker.h"
#include "gui/window_controls.h"
#include "gui/window_dpi.h"

namespace gui {

static const char* const window_class_name = "VeltoSonyXAVCRecoveryGUI";

static void on_create(HWND main, HINSTANCE instance)
{
    GuiWindow& g = gui_window;
    g.main = main;
    // the window is made at 1120 x 650 and takes the size for its monitor's DPI before the layout
    g.dpi = window_dpi(main);
    if (g.dpi != 96)
        SetWindowPos(main, nullptr, 0, 0, scale_to_dpi(wide_width, g.dpi), scale_to_dpi(window_height, g.dpi),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client = {};
    GetClientRect(main, &client);
    Layout layout = compute_layout(client.right - client.left, client.bottom - client.top, g.dpi);
    g.normal_font = create_ui_font(0, g.dpi);
    g.bold_font = create_ui_font(1, g.dpi);
    create_controls(main, instance, layout, g.dpi);
    if (g.mode_combo) {
        for (const char* item : {"Validate first clip", "Recover all mapped clips", "Analysis only"})
            SendMessageA(g.mode_combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
        SendMessageA(g.mode_combo, CB_SETCURSEL, Sample, 0);
    }
    ViewEvents events = init_window(&g.state);
    show_view();
    set_show_activity(0);
    apply_view_events(events);
}

static void select_mode_and_start(HWND main, RunMode mode)
{
    if (gui_window.mode_combo)
        SendMessageA(gui_window.mode_combo, CB_SETCURSEL, mode, 0);
    start_recovery(main);
}

static void after_pick(const ViewEvents& events)
{
    show_view();
    apply_view_events(events);
}

static void on_command(HWND main, int command)
{
    GuiState& s = gui_window.state;
    char path[path_capacity];
    switch (command) {
    case IDC_WORKDIR_BROWSE:
        if (pick_folder(main, "Select working folder", path, sizeof path))
            after_pick(pick_working_folder(&s, path));
        break;
    case IDC_SOURCE_OPEN:
        if (!field_filled(s.view.working_folder)) {
            show_message(main, message_information, "Select the working folder first.");
            if (gui_window.workdir_browse)
                SetFocus(gui_window.workdir_browse);
        } else if (pick_image_file(main, path, sizeof path)) {
            after_pick(pick_source_image(&s, path));
        }
        break;
    case IDC_OUTDIR_BROWSE:
        if (pick_folder(main, "Select recovery folder", path, sizeof path))
            after_pick(pick_recovery_folder(&s, path));
        break;
    case IDC_ANALYZE: select_mode_and_start(main, AnalysisOnly); break;
    case IDC_RECOVER_SAMPLE: select_mode_and_start(main, Sample); break;
    case IDC_RECOVER_ALL: select_mode_and_start(main, All); break;
    case IDM_SHOW_ACTIVITY: set_show_activity(!s.show_activity); break;
    case IDM_ABOUT: show_about(main); break;
    }
}

static void on_close(HWND main)
{
    if (gui_window.child_process.load()) {
        int answer = MessageBoxA(main, "Recovery is running. Cancel the child process and exit?", "Mendora Recovery",
                                 MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        if (answer != IDYES)
            return;
        terminate_child();
    }
    DestroyWindow(main);
}

static void on_destroy(HWND main)
{
    GuiWindow& g = gui_window;
    KillTimer(main, IDT_LOG_POLL);
    for (HFONT* font : {&g.normal_font, &g.bold_font}) {
        if (*font)
            DeleteObject(*font);
        *font = nullptr;
    }
    g.menu_bar = nullptr;  // the window destroyed it
    std::free(g.last_activity_text);
    g.last_activity_text = nullptr;
    g.main = nullptr;
    PostQuitMessage(0);
}

// A message box or picker takes the activation away; the control that had the focus gets it back,
// so Space and Enter go on working without a click.
static int on_activate(HWND main, WPARAM wparam)
{
    GuiWindow& g = gui_window;
    if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        g.focus_before_deactivation = focus && IsChild(main, focus) ? focus : nullptr;
        return 0;
    }
    HWND back = g.focus_before_deactivation;
    if (!back || !IsWindow(back) || !IsWindowEnabled(back) || !IsWindowVisible(back))
        return 0;
    SetFocus(back);
    return 1;
}

// Tab from inside the multi-line Activity pane asks the parent, as in a dialog.
static void move_focus(HWND main, WPARAM wparam, LPARAM lparam)
{
    HWND next = LOWORD(lparam) ? reinterpret_cast<HWND>(wparam)
                               : GetNextDlgTabItem(main, GetFocus(), wparam != 0 ? TRUE : FALSE);
    if (next)
        SetFocus(next);
}

static LRESULT CALLBACK window_procedure(HWND main, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_ACTIVATE:
        if (on_activate(main, wparam))
            return 0;
        break;
    case WM_DPICHANGED:
        // moved to a monitor of another DPI: the system suggests where the window goes
        apply_dpi(main, HIWORD(wparam), reinterpret_cast<const RECT*>(lparam));
        return 0;
    case WM_NEXTDLGCTL:
        move_focus(main, wparam, lparam);
        return 0;
    case WM_CREATE:
        on_create(main, reinterpret_cast<CREATESTRUCTA*>(lparam)->hInstance);
        return 0;
    case WM_COMMAND: {
        int command = LOWORD(wparam);
        if (command == IDC_WORKDIR_BROWSE || command == IDC_SOURCE_OPEN || command == IDC_OUTDIR_BROWSE ||
            command == IDC_ANALYZE || command == IDC_RECOVER_SAMPLE || command == IDC_RECOVER_ALL ||
            command == IDM_SHOW_ACTIVITY || command == IDM_ABOUT) {
            on_command(main, command);
            return 0;
        }
        break;
    }
    case WM_TIMER:
        if (wparam == IDT_LOG_POLL) {
            poll_recovery_log();
            return 0;
        }
        break;
    case WM_RECOVERY_DONE:
        finish_recovery(static_cast<DWORD>(wparam), reinterpret_cast<void*>(lparam));
        return 0;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lparam);
        if (header->idFrom == IDC_STATUS_LINK && (header->code == NM_CLICK || header->code == NM_RETURN)) {
            open_status_link(std::wcscmp(reinterpret_cast<const NMLINK*>(lparam)->item.szID, report_link_id) == 0);
            return 0;
        }
        break;
    }
    case WM_CLOSE:
        on_close(main);
        return 0;
    case WM_DESTROY:
        on_destroy(main);
        return 0;
    }
    return DefWindowProcA(main, message, wparam, lparam);
}

// Enter presses the button that has the focus, whichever it is: the window has no default button.
static int press_focused_button(HWND main, const MSG& message)
{
    if (message.message != WM_KEYDOWN || message.wParam != VK_RETURN)
        return 0;
    HWND focus = GetFocus();
    if (!focus || GetParent(focus) != main || !IsWindowEnabled(focus))
        return 0;
    LRESULT code = SendMessageA(focus, WM_GETDLGCODE, 0, 0);
    if (!(code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)))
        return 0;
    SendMessageA(main, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(focus), BN_CLICKED), reinterpret_cast<LPARAM>(focus));
    return 1;
}

static int fail_start(const char* message)
{
    MessageBoxA(nullptr, message, "Mendora Recovery", MB_OK | MB_ICONERROR);
    CoUninitialize();
    return 2;
}

// Started by a double-click, the program's console is its own: let it go, so only the window
// stays. Started from a console, the console stays with its owner.
static void release_own_console()
{
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1)
        FreeConsole();
}

int run_gui()
{
    release_own_console();
    HINSTANCE instance = GetModuleHandleA(nullptr);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_LINK_CLASS};
    InitCommonControlsEx(&controls);

    HICON large = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_APP_ICON), IMAGE_ICON, 32, 32, 0));
    if (!large)
        large = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    HICON small_icon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_APP_ICON), IMAGE_ICON, 16, 16, 0));
    if (!small_icon)
        small_icon = large;
    WNDCLASSEXA window_class = {};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.hIcon = large;
    window_class.hIconSm = small_icon;
    window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    window_class.lpszClassName = window_class_name;
    if (!RegisterClassExA(&window_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return fail_start("GUI class registration failed.");

    gui_window.menu_bar = create_menu_bar();
    if (!gui_window.menu_bar)
        return fail_start("Unable to create application menu.");
    HWND main = CreateWindowExA(0, window_class_name, "Mendora Recovery", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                                CW_USEDEFAULT, CW_USEDEFAULT, wide_width, window_height, nullptr,
                                gui_window.menu_bar, instance, nullptr);
    if (!main) {
        char message[256];
        std::snprintf(message, sizeof message, "GUI window creation failed (Win32 error %lu).", GetLastError());
        DestroyMenu(gui_window.menu_bar);
        gui_window.menu_bar = nullptr;
        return fail_start(message);
    }
    SendMessageA(main, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(large));
    SendMessageA(main, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon));
    ShowWindow(main, SW_SHOWNORMAL);
    UpdateWindow(main);

    // dialog-style keys: Tab and Shift+Tab, the buttons' access keys, Enter on the focused button
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (press_focused_button(main, message) || IsDialogMessageA(main, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    CoUninitialize();
    return static_cast<int>(message.wParam);
}

}  // namespace gui
