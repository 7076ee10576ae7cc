#pragma once
// The menu bar (Advanced > Show Activity, Help > About), the About dialog with its links, and the
// status link that opens the recovery folder.
#include <windows.h>

namespace gui {

// The bar and its two drop-down menus; null when any of them cannot be made.
HMENU create_menu_bar();
// Shows or hides the Activity pane, checks its menu item and widens or narrows the window.
void set_show_activity(int on);
void show_about(HWND owner);
HRESULT CALLBACK on_about_link(HWND dialog, UINT notification, WPARAM wparam, LPARAM lparam, LONG_PTR data);
// A link of the status line was clicked or activated with Return: the recovery folder, or with
// `report` the report in it.
void open_status_link(int report);

}  // namespace gui
