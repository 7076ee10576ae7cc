#pragma once
// The window on screens of any pixel density: which DPI the window is drawn at, the message font
// for that DPI, and the move to a monitor of another DPI. The calls that tell a window's own DPI
// are looked up at run time, so that the program still starts on a system without them (it then
// draws at the system's DPI).
#include <windows.h>

#include <cstdint>

namespace gui {

// The DPI of the monitor the window is on; the system's when the window is null or the system
// cannot tell.
int32_t window_dpi(HWND window);
// 1 and the system's message font for `dpi` where the system can scale it per DPI; else 0.
int message_font_for_dpi(int32_t dpi, LOGFONTW* out);
// Gives the window its size, fonts and control places for `dpi`, at the top-left corner of
// `where` (the system's suggested rectangle; null keeps the window where it is).
void apply_dpi(HWND main, int32_t dpi, const RECT* where);

}  // namespace gui
