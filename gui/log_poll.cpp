#include "gui/log_poll.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "gui/log_tail.h"
#include "gui/output_parser.h"
#include "gui/window_controls.h"
#include "platform/win32_paths.h"

namespace gui {

char* read_log_tail(const char* path, size_t* length)
{
    HANDLE log = CreateFileW(platform::wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size;
    uint64_t start = 0;
    size_t n = 0;
    char* text = nullptr;
    if (GetFileSizeEx(log, &size) && log_tail_window(size.QuadPart, &start, &n)) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(start);
        DWORD got = 0;
        text = static_cast<char*>(std::calloc(n + 1, 1));
        if (text && (!SetFilePointerEx(log, at, nullptr, FILE_BEGIN) ||
                     !ReadFile(log, text, static_cast<DWORD>(n), &got, nullptr))) {
            std::free(text);
            text = nullptr;
        }
        if (text) {
            text[got] = 0;
            *length = got;
        }
    }
    CloseHandle(log);
    return text;
}

// Replaces the pane's text when it changed, keeping the lines a user scrolled to in view.
static void show_activity_text(const char* text)
{
    GuiWindow& g = gui_window;
    if (g.last_activity_text && std::strcmp(g.last_activity_text, text) == 0)
        return;
    int32_t first_before = static_cast<int32_t>(SendMessageA(g.activity_edit, EM_GETFIRSTVISIBLELINE, 0, 0));
    int32_t count_before = static_cast<int32_t>(SendMessageA(g.activity_edit, EM_GETLINECOUNT, 0, 0));
    SetWindowTextA(g.activity_edit, text);
    std::free(g.last_activity_text);
    g.last_activity_text = _strdup(text);  // without a copy the next poll simply sets the text again
    int32_t count_after = static_cast<int32_t>(SendMessageA(g.activity_edit, EM_GETLINECOUNT, 0, 0));
    int32_t first_now = static_cast<int32_t>(SendMessageA(g.activity_edit, EM_GETFIRSTVISIBLELINE, 0, 0));
    ActivityScroll scroll = activity_scroll(first_before, count_before, count_after, first_now);
    if (scroll.lines != 0)
        SendMessageA(g.activity_edit, EM_LINESCROLL, 0, scroll.lines);
    if (scroll.caret_to_start)
        SendMessageA(g.activity_edit, EM_SETSEL, 0, 0);
}

void poll_recovery_log()
{
    GuiWindow& g = gui_window;
    if (!g.state.log_path[0])
        return;
    size_t n = 0;
    char* text = read_log_tail(g.state.log_path, &n);
    if (!text)
        return;
    if (g.state.running) {
        // a NUL byte in the log ends what the parser sees
        ParsedOutput parsed;
        parse_engine_output(text, g.state.run_mode, &parsed);
        show_parsed_output(&g.state.view, parsed);
        show_view();
    }

    char* normalised = static_cast<char*>(std::malloc(2 * n + 2));
    if (normalised) {
        size_t len = normalise_log(text, n, normalised);
        char* pane = nullptr;
        if (g.state.show_activity && g.activity_edit)
            pane = static_cast<char*>(std::malloc(activity_text_capacity(len)));
        if (pane) {
            activity_text(normalised, len, pane);
            show_activity_text(pane);
        }
        std::free(pane);
    }
    std::free(normalised);
    std::free(text);
}

}  // namespace gui
