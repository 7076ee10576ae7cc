#include "gui/pickers.h"

#include <commdlg.h>
#include <shlobj.h>

#include <string>

#include "platform/win32_paths.h"

namespace gui {

// Room for the longest path the system's wide calls take.
static const DWORD wide_path_room = 32768;

int pick_folder(HWND owner, const char* title, char* path, size_t cap)
{
    wchar_t display_name[MAX_PATH];
    std::wstring wide_title = platform::wide_text(title);
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.pszDisplayName = display_name;
    browse.lpszTitle = wide_title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderW(&browse);
    if (!item)
        return 0;
    // a folder without a file-system path (a library, the network) changes nothing
    std::wstring chosen(wide_path_room, L'\0');
    int found = SHGetPathFromIDListEx(item, &chosen[0], wide_path_room, GPFIDL_DEFAULT) ? 1 : 0;
    CoTaskMemFree(item);
    return found && platform::narrow_text(chosen.c_str(), path, cap);
}

int pick_image_file(HWND owner, char* path, size_t cap)
{
    path[0] = 0;
    std::wstring chosen(wide_path_room, L'\0');
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = L"Disk images (*.dsk;*.img;*.dd)\0*.dsk;*.img;*.dd\0All files (*.*)\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = &chosen[0];
    dialog.nMaxFile = wide_path_room;
    dialog.lpstrTitle = L"Select Sony media image";
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (!GetOpenFileNameW(&dialog))
        return 0;
    return platform::narrow_text(chosen.c_str(), path, cap);
}

}  // namespace gui
