#include "gui/pickers.h"

#include <commdlg.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <cwchar>
#include <string>

#include "platform/win32_paths.h"

namespace gui {

// Room for the longest path the system's wide calls take.
static const DWORD wide_path_room = 32768;

// The folder's path. A shell that cuts paths at MAX_PATH (Wine's does) gives a long one cut short
// and without a word: such a path is rebuilt from the parent's path and the folder's own name.
static int folder_path(PCIDLIST_ABSOLUTE item, std::wstring* out)
{
    std::wstring whole(wide_path_room, L'\0');
    if (!SHGetPathFromIDListEx(item, &whole[0], wide_path_room, GPFIDL_DEFAULT))
        return 0;
    whole.resize(wcslen(whole.c_str()));
    if (whole.size() < MAX_PATH - 1 || ILIsEmpty(item)) {
        *out = whole;
        return 1;
    }
    PIDLIST_ABSOLUTE parent = ILClone(item);
    if (!parent)
        return 0;
    ILRemoveLastID(parent);
    std::wstring parent_path;
    int found = folder_path(parent, &parent_path);
    ILFree(parent);
    IShellFolder* folder = nullptr;
    PCUITEMID_CHILD last = nullptr;
    if (!found || FAILED(SHBindToParent(item, IID_IShellFolder, reinterpret_cast<void**>(&folder), &last)))
        return 0;
    STRRET name;
    found = SUCCEEDED(folder->GetDisplayNameOf(last, SHGDN_INFOLDER | SHGDN_FORPARSING, &name)) &&
            SUCCEEDED(StrRetToBufW(&name, last, &whole[0], wide_path_room));
    folder->Release();
    if (!found)
        return 0;
    if (!parent_path.empty() && parent_path.back() != L'\\')
        parent_path += L'\\';
    *out = parent_path + whole.c_str();
    return 1;
}

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
    std::wstring chosen;
    int found = folder_path(item, &chosen);
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
