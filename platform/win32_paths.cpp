#include "platform/win32_paths.h"

#include <windows.h>

namespace platform {

// CreateDirectory stops at 248 characters, the other calls at 260: a path this long or longer
// takes the prefix.
static const size_t plain_path_limit = 248;

std::wstring wide_text(const char* text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::wstring wide_path(const char* path)
{
    std::wstring plain = wide_text(path);
    if (plain.size() < plain_path_limit || plain.compare(0, 4, L"\\\\?\\") == 0)
        return plain;
    DWORD n = GetFullPathNameW(plain.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return plain;
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(plain.c_str(), n, &full[0], nullptr);
    full.resize(n);
    // the prefixed form is taken as it stands: no "." or "..", no forward slashes, which the
    // full path has already resolved
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

int narrow_text(const wchar_t* text, char* out, size_t cap)
{
    // UTF-8 takes every character (and refuses the lost-character flag)
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, static_cast<int>(cap), nullptr, nullptr);
    if (n <= 0) {
        if (cap > 0)
            out[0] = 0;
        return 0;
    }
    return 1;
}

}  // namespace platform
