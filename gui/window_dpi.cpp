#include "gui/window_dpi.h"

#include "gui/window_controls.h"

namespace gui {

using DpiForWindowFn = UINT(WINAPI*)(HWND);
using ParametersForDpiFn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);

static FARPROC user_call(const char* name)
{
    HMODULE user = GetModuleHandleA("user32.dll");
    return user ? GetProcAddress(user, name) : nullptr;
}

int32_t window_dpi(HWND window)
{
    auto dpi_for_window = reinterpret_cast<DpiForWindowFn>(reinterpret_cast<void*>(user_call("GetDpiForWindow")));
    if (window && dpi_for_window) {
        UINT dpi = dpi_for_window(window);
        if (dpi >= 48)
            return static_cast<int32_t>(dpi);
    }
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi >= 48 ? dpi : 96;
}

int message_font_for_dpi(int32_t dpi, LOGFONTW* out)
{
    auto parameters_for_dpi =
        reinterpret_cast<ParametersForDpiFn>(reinterpret_cast<void*>(user_call("SystemParametersInfoForDpi")));
    if (!parameters_for_dpi)
        return 0;
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, static_cast<UINT>(dpi)))
        return 0;
    *out = metrics.lfMessageFont;
    return 1;
}

// The layout hangs from the client area of the wide window, which the narrow one only clips.
static Layout wide_layout(HWND main, int32_t dpi)
{
    RECT outer = {}, client = {};
    GetWindowRect(main, &outer);
    GetClientRect(main, &client);
    int32_t frame_width = (outer.right - outer.left) - (client.right - client.left);
    return compute_layout(scale_to_dpi(wide_width, dpi) - frame_width, client.bottom - client.top, dpi);
}

void apply_dpi(HWND main, int32_t dpi, const RECT* where)
{
    GuiWindow& g = gui_window;
    g.dpi = dpi;
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (where ? 0 : SWP_NOMOVE);
    SetWindowPos(main, nullptr, where ? where->left : 0, where ? where->top : 0,
                 scale_to_dpi(g.state.view.width, dpi), scale_to_dpi(window_height, dpi), flags);
    HFONT old_fonts[] = {g.normal_font, g.bold_font};
    g.normal_font = create_ui_font(0, dpi);
    g.bold_font = create_ui_font(1, dpi);
    place_controls(wide_layout(main, dpi), dpi);
    for (HFONT font : old_fonts)
        if (font)
            DeleteObject(font);
}

}  // namespace gui
