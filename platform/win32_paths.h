#pragma once
// Windows only: paths between the program's narrow text and the system's wide calls. The narrow
// text is UTF-8 whatever the active code page (the manifest asks for UTF-8, which a Windows before
// 1903 does not grant): the command line is taken from the wide one, so any Unicode name passes;
// the wide form takes the "\\?\" prefix when it is too long for the plain one, so a path of more
// than 260 characters opens too, whatever the system's long-path setting.
#include <string>

namespace platform {

std::wstring wide_text(const char* text);
// The path in the form the wide file calls take: prefixed and absolute when long, else as given.
std::wstring wide_path(const char* path);
// Wide text from the system back into narrow text; 1 when it fits `cap` and lost no character.
int narrow_text(const wchar_t* text, char* out, size_t cap);

}  // namespace platform
