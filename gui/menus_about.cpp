#include "gui/menus_about.h"

#include <commctrl.h>
#include <cstdio>
#include <shellapi.h>

#include "gui/control_ids.h"
#include "gui/log_poll.h"
#include "gui/recovery_run.h"
#include "gui/window_controls.h"
#include "mendora_version.h"
#include "platform/win32_paths.h"

namespace gui {

HMENU create_menu_bar()
{
    HMENU bar = CreateMenu();
    HMENU advanced = CreatePopupMenu();
    HMENU help = CreatePopupMenu();
    if (!bar || !advanced || !help) {
        for (HMENU made : {bar, advanced, help})
            if (made)
                DestroyMenu(made);
        return nullptr;
    }
    AppendMenuA(advanced, MF_STRING, IDM_SHOW_ACTIVITY, "&Show Activity");
    AppendMenuA(help, MF_STRING, IDM_ABOUT, "&About");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(advanced), "&Advanced");
    AppendMenuA(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), "&Help");
    return bar;
}

void set_show_activity(int on)
{
    GuiWindow& g = gui_window;
    gui::set_show_activity(&g.state, on);
    for (HWND control : {g.activity_heading, g.activity_edit})
        if (control)
            ShowWindow(control, on ? SW_SHOW : SW_HIDE);
    if (g.menu_bar) {
        CheckMenuItem(g.menu_bar, IDM_SHOW_ACTIVITY, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED));
        if (g.main)
            DrawMenuBar(g.main);
    }
    show_view();
    // the pane is filled only by polls made while it is shown
    if (on)
        poll_recovery_log();
}

static const wchar_t about_content[] =
    L"Recovers Sony XAVC video clips from a raw image of an exFAT memory card, strictly read-only.\n\n"
    L"This program is provided \"as is\", without warranty of any kind. Work on an image of the card, never "
    L"on the card itself.\n\n"
    L"Mendora Recovery is published by the Mendora Recovery project.\n\n"
    L"<a href=\"mailto:support@mendora-recovery.example\">support@mendora-recovery.example</a>\n"
    L"+1 555 0100\n"
    L"<a href=\"https://mendora-recovery.example/\">mendora-recovery.example</a>\n\n"
    L"FFmpeg / LGPL notice\n"
    L"This software uses libraries from the FFmpeg project under the GNU Lesser General Public License "
    L"version 2.1 or later (LGPLv2.1+). FFmpeg is developed by the FFmpeg project and is not owned by the "
    L"publisher of Mendora Recovery. The corresponding FFmpeg source, license text, build configuration, and "
    L"materials necessary to relink the validator with a modified compatible FFmpeg build must be made "
    L"available with distributed builds as required by the LGPL.\n\n"
    L"<a href=\"https://ffmpeg.org/legal.html\">FFmpeg license and legal information</a>\n\n"
    L"Trademark notice\n"
    L"Sony and XAVC are trademarks or registered trademarks of Sony Group Corporation. Mendora Recovery is not "
    L"affiliated with, sponsored by, endorsed by, or associated with Sony Group Corporation. All other "
    L"trademarks are the property of their respective owners.";

// The same paragraphs as plain text, for a system without the task dialog.
static const char about_plain[] =
    "Mendora Recovery " MENDORA_VERSION "\r\n\r\n"
    "Recovers Sony XAVC video clips from a raw image of an exFAT memory card, strictly read-only.\r\n\r\n"
    "This program is provided \"as is\", without warranty of any kind.\r\n\r\n"
    "Mendora Recovery is published by the Mendora Recovery project.\r\n"
    "support@mendora-recovery.example\r\n"
    "+1 555 0100\r\n"
    "mendora-recovery.example\r\n\r\n"
    "This software uses libraries from the FFmpeg project under LGPLv2.1 or later.\r\n\r\n"
    "Sony and XAVC are trademarks or registered trademarks of Sony Group Corporation. Mendora Recovery is not "
    "affiliated with, sponsored by, endorsed by, or associated with Sony Group Corporation.";

HRESULT CALLBACK on_about_link(HWND dialog, UINT notification, WPARAM, LPARAM lparam, LONG_PTR)
{
    if (notification == TDN_HYPERLINK_CLICKED && lparam)
        ShellExecuteW(dialog, L"open", reinterpret_cast<const wchar_t*>(lparam), nullptr, nullptr, SW_SHOWNORMAL);
    return S_OK;
}

using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// Looked up at run time: without version 6 of the common controls the call does not exist, and
// the program must still start and fall back to a plain box.
static TaskDialogIndirectFn find_task_dialog()
{
    HMODULE controls = GetModuleHandleA("comctl32.dll");
    if (!controls)
        return nullptr;
    return reinterpret_cast<TaskDialogIndirectFn>(
        reinterpret_cast<void*>(GetProcAddress(controls, "TaskDialogIndirect")));
}

void show_about(HWND owner)
{
    const TASKDIALOG_BUTTON close_button = {1, L"Close"};
    TASKDIALOGCONFIG config = {};
    config.cbSize = sizeof config;
    config.hwndParent = owner;
    config.hInstance = GetModuleHandleA(nullptr);
    config.dwFlags = TDF_ENABLE_HYPERLINKS | TDF_ALLOW_DIALOG_CANCELLATION | TDF_SIZE_TO_CONTENT;
    config.pszWindowTitle = L"About Mendora Recovery";
    config.pszMainIcon = MAKEINTRESOURCEW(IDI_APP_ICON);
    config.pszMainInstruction = L"Mendora Recovery " MENDORA_VERSION;
    config.pszContent = about_content;
    config.cButtons = 1;
    config.pButtons = &close_button;
    config.nDefaultButton = 1;
    config.pfCallback = on_about_link;
    TaskDialogIndirectFn task_dialog = find_task_dialog();
    HRESULT result = task_dialog ? task_dialog(&config, nullptr, nullptr, nullptr) : E_NOTIMPL;
    if (FAILED(result))
        MessageBoxA(owner, about_plain, "About Mendora Recovery", MB_OK | MB_ICONINFORMATION);
}

void open_status_link(int report)
{
    GuiWindow& g = gui_window;
    if (!g.state.recovery_link_folder[0])
        return;
    // the report opens in the program the user has for web pages
    char target[path_capacity + 32];
    if (report)
        report_page_path(g.state.recovery_link_folder, target, sizeof target);
    else
        std::snprintf(target, sizeof target, "%s", g.state.recovery_link_folder);
    HINSTANCE result = ShellExecuteW(g.main, L"open", platform::wide_text(target).c_str(), nullptr, nullptr,
                                     SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(result) <= 32)
        MessageBoxA(g.main, report ? "Windows could not open the recovery report."
                                                : "Windows could not open the recovery directory.",
                    "Mendora Recovery", MB_OK | MB_ICONERROR);
}

}  // namespace gui
