#include "gui/pickers.h"

#include <commdlg.h>
#include <shlobj.h>

namespace gui {

int pick_folder(HWND owner, const char* title, char* path)
{
    char display_name[MAX_PATH];
    BROWSEINFOA browse = {};
    browse.hwndOwner = owner;
    browse.pszDisplayName = display_name;
    browse.lpszTitle = title;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE item = SHBrowseForFolderA(&browse);
    if (!item)
        return 0;
    // a folder without a file-system path (a library, the network) changes nothing
    int found = SHGetPathFromIDListA(item, path) ? 1 : 0;
    CoTaskMemFree(item);
    return found;
}

int pick_image_file(HWND owner, char* path, size_t cap)
{
    path[0] = 0;
    OPENFILENAMEA dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = "Disk images (*.dsk;*.img;*.dd)\0*.dsk;*.img;*.dd\0All files (*.*)\0*.*\0";
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path;
    dialog.nMaxFile = static_cast<DWORD>(cap);
    dialog.lpstrTitle = "Select Sony media image";
    dialog.Flags = OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    return GetOpenFileNameA(&dialog) ? 1 : 0;
}

}  // namespace gui
