// Windows half of the platform layer: the universal C runtime's 64-bit stdio and the kernel's
// module and error calls. Paths go to the wide calls (win32_paths.h), so that a name outside the
// legacy code page and a path longer than 260 characters open like any other.
#include "platform/platform.h"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <cstring>
#include <ctime>
#include <direct.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/win32_paths.h"

namespace platform {

const char path_separator = '\\';
const char* const validator_library_name = "VeltoXAVCValidate.dll";
const char* const library_word = "DLL";
const int fetches_into_cache = 0;
const char* const system_word = "Windows";
const char* const error_code_word = "Win32 error";

int is_separator(char c) { return c == '/' || c == '\\'; }

// The runtime refuses to open a folder as a file already.
std::FILE* open_read_only(const char* path) { return open_stream(path, "rb"); }

std::FILE* open_stream(const char* path, const char* mode)
{
    return _wfopen(wide_path(path).c_str(), wide_text(mode).c_str());
}

int rename_path(const char* from, const char* to)
{
    return _wrename(wide_path(from).c_str(), wide_path(to).c_str()) == 0;
}

// DeleteFile behind remove never takes a folder.
// 100-nanosecond steps since 1601 from seconds since 1970 and hundredths.
static FILETIME file_time_of(const FileTime* t)
{
    uint64_t steps = uint64_t(t->seconds + 11644473600ll) * 10000000ull + uint64_t(t->centiseconds) * 100000ull;
    FILETIME ft;
    ft.dwLowDateTime = DWORD(steps);
    ft.dwHighDateTime = DWORD(steps >> 32);
    return ft;
}

int set_file_times(const char* path, const FileTime* created, const FileTime* modified, const FileTime* accessed)
{
    HANDLE h = CreateFileW(wide_path(path).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    FILETIME c = {}, a = {}, m = {};
    if (created && created->set)
        c = file_time_of(created);
    if (accessed && accessed->set)
        a = file_time_of(accessed);
    if (modified && modified->set)
        m = file_time_of(modified);
    BOOL ok = SetFileTime(h, created && created->set ? &c : nullptr, accessed && accessed->set ? &a : nullptr,
                          modified && modified->set ? &m : nullptr);
    CloseHandle(h);
    return ok != 0;
}

int remove_file(const char* path) { return _wremove(wide_path(path).c_str()) == 0; }

static DWORD attributes_of(const char* path) { return GetFileAttributesW(wide_path(path).c_str()); }

// The pattern matches more than the names asked for (short names too): the answer may be 1 for
// none, never 0 for one.
int folder_may_hold(const char* folder, const char* prefix, const char* suffix)
{
    std::string pattern = folder[0] ? folder : ".";
    if (!is_separator(pattern.back()))
        pattern += path_separator;
    pattern += std::string(prefix) + "*" + suffix;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW(wide_path(pattern.c_str()).c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_FILE_NOT_FOUND;
    FindClose(h);
    return 1;
}

int regular_file(const char* path)
{
    DWORD a = attributes_of(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// Windows raises no signal for a broken pipe.
void ignore_broken_pipe() {}
void keep_heap_lean() {}

int seek_abs(std::FILE* f, uint64_t offset)
{
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
}

int seek_end(std::FILE* f, int64_t* position)
{
    if (_fseeki64(f, 0, SEEK_END) != 0)
        return 0;
    *position = _ftelli64(f);
    return 1;
}

int64_t tell(std::FILE* f) { return _ftelli64(f); }

int set_file_size(std::FILE* f, uint64_t size)
{
    if (size > static_cast<uint64_t>(INT64_MAX) || std::fflush(f) != 0)
        return 0;
    return _chsize_s(_fileno(f), static_cast<__int64>(size)) == 0;
}

// A positioned ReadFile on the stream's handle: a card reader's bad sector fails it with
// ERROR_CRC, ERROR_SECTOR_NOT_FOUND or ERROR_IO_DEVICE, and the end of the file with
// ERROR_HANDLE_EOF, which is no error.
int read_positioned(std::FILE* f, uint64_t offset, void* buf, size_t n, size_t* got, unsigned long* error_code)
{
    *got = 0;
    *error_code = 0;
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h == INVALID_HANDLE_VALUE) {
        *error_code = ERROR_INVALID_HANDLE;
        return 0;
    }
    while (*got < n) {
        uint64_t at = offset + *got;
        if (at > static_cast<uint64_t>(INT64_MAX))
            return 1;
        size_t left = n - *got;
        DWORD want = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD read = 0;
        if (!ReadFile(h, static_cast<uint8_t*>(buf) + *got, want, &read, &where)) {
            DWORD err = GetLastError();
            if (err == ERROR_HANDLE_EOF)
                return 1;
            *error_code = err;
            return 0;
        }
        if (read == 0)
            break;
        *got += read;
    }
    return 1;
}

int write_positioned(std::FILE* f, uint64_t offset, const void* buf, size_t n)
{
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    size_t done = 0;
    while (done < n) {
        uint64_t at = offset + done;
        if (at > static_cast<uint64_t>(INT64_MAX))
            return 0;
        size_t left = n - done;
        DWORD want = left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left);
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD wrote = 0;
        if (!WriteFile(h, static_cast<const uint8_t*>(buf) + done, want, &wrote, &where) || wrote == 0)
            return 0;
        done += wrote;
    }
    return 1;
}

void advise_sequential(std::FILE*) {}
int fetch_into_cache(std::FILE*, uint64_t, uint64_t) { return 1; }
void advise_large_buffer(void*, size_t) {}

size_t ring_granule()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

namespace {

void unmap_views(uint8_t* const* views, int n)
{
    for (int i = 0; i < n; i++)
        if (views[i])
            UnmapViewOfFile(views[i]);
}

}  // namespace

// A section of the paging file mapped three times where a free range of the right size was just
// seen: its last granule, then twice the whole. Another thread may take the range between the
// look and the mapping: then it is tried again elsewhere.
uint8_t* map_ring_twice(size_t n, size_t before)
{
    size_t g = ring_granule();
    if (n == 0 || n % g || before > g || n > SIZE_MAX / 2 - g)
        return nullptr;
    uint64_t size = n;
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, DWORD(size >> 32),
                                        DWORD(size & 0xFFFFFFFFu), nullptr);
    if (!section)
        return nullptr;
    uint8_t* ring = nullptr;
    uint64_t tail = n - g;
    for (int attempt = 0; attempt < 16 && !ring; attempt++) {
        auto* range = static_cast<uint8_t*>(VirtualAlloc(nullptr, g + 2 * n, MEM_RESERVE, PAGE_NOACCESS));
        if (!range)
            break;
        VirtualFree(range, 0, MEM_RELEASE);
        uint8_t* views[3] = {
            static_cast<uint8_t*>(MapViewOfFileEx(section, FILE_MAP_ALL_ACCESS, DWORD(tail >> 32),
                                                  DWORD(tail & 0xFFFFFFFFu), g, range)),
            static_cast<uint8_t*>(MapViewOfFileEx(section, FILE_MAP_ALL_ACCESS, 0, 0, n, range + g)),
            static_cast<uint8_t*>(MapViewOfFileEx(section, FILE_MAP_ALL_ACCESS, 0, 0, n, range + g + n))};
        if (views[0] == range && views[1] == range + g && views[2] == range + g + n)
            ring = range + g;
        else
            unmap_views(views, 3);
    }
    CloseHandle(section);  // the views keep it
    return ring;
}

// Unlocking pages that are not locked takes them out of the working set.
void drop_ring_mirror_pages(uint8_t* p, size_t n) { VirtualUnlock(p, n); }

void prepare_ring_pages(uint8_t*, size_t) {}

void unmap_ring_twice(uint8_t* p, size_t n, size_t)
{
    uint8_t* views[3] = {p - ring_granule(), p, p + n};
    unmap_views(views, 3);
}

int make_folder(const char* path)
{
    if (_wmkdir(wide_path(path).c_str()) == 0)
        return 1;
    return errno == EEXIST ? 2 : 0;
}

int path_exists(const char* path) { return attributes_of(path) != INVALID_FILE_ATTRIBUTES; }

// Through the wide calls: the program's folder may hold letters outside the code page.
int own_executable_path(char* out, size_t cap)
{
    std::wstring path(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0 || n >= path.size())
        return 0;
    path.resize(n);
    return narrow_text(path.c_str(), out, cap);
}

void* load_library(const char* path, char* reason, size_t cap)
{
    SetLastError(0);
    // the full path, and the libraries it needs looked up beside it
    HMODULE lib = LoadLibraryExW(wide_path(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!lib) {
        DWORD err = GetLastError();
        char text[512];
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, text,
                                 sizeof text, nullptr);
        if (n == 0)
            text[0] = 0;
        std::snprintf(reason, cap, "%s %lu%s%s", error_code_word, static_cast<unsigned long>(err),
                      text[0] ? ": " : "", text);
    }
    return reinterpret_cast<void*>(lib);
}

void* find_symbol(void* library, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void free_library(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }

int file_attributes_readable(const char* path, unsigned long* error_code)
{
    if (attributes_of(path) != INVALID_FILE_ATTRIBUTES)
        return 1;
    *error_code = GetLastError();
    return 0;
}

// The runtime's streams have no system-side copy; the caller's own copy does the work.
int copies_in_system() { return 0; }

uint64_t copy_range_in_system(std::FILE*, uint64_t, std::FILE*, uint64_t, uint64_t) { return 0; }

char** utf8_arguments(int argc, char** argv)
{
    int n = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide || n != argc) {
        if (wide)
            LocalFree(wide);
        return argv;
    }
    // kept for the whole run, as the runtime keeps argv
    char** out = new char*[size_t(n) + 1];
    for (int i = 0; i < n; i++) {
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        out[i] = new char[bytes > 0 ? size_t(bytes) : 1];
        if (bytes <= 0 || !narrow_text(wide[i], out[i], size_t(bytes)))
            out[i][0] = 0;
    }
    out[n] = nullptr;
    LocalFree(wide);
    return out;
}

// Standard output and error, asked once each: their handles stay what they were at the start.
int console_stream(std::FILE* f)
{
    static int known[2] = {-1, -1};
    int which = f == stdout ? 0 : f == stderr ? 1 : -1;
    if (which < 0)
        return 0;
    if (known[which] < 0) {
        DWORD mode = 0;
        HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
        known[which] = h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? 1 : 0;
    }
    return known[which];
}

// The runtime would read the bytes in its own locale, and the console the bytes of one letter
// split across writes: the line goes whole through the wide call instead.
void write_console_text(std::FILE* f, const char* text, size_t n)
{
    std::fflush(f);
    int units = MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), nullptr, 0);
    if (units <= 0)
        return;
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, static_cast<int>(n), &wide[0], units);
    DWORD written = 0;
    WriteConsoleW(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), wide.c_str(), static_cast<DWORD>(units),
                  &written, nullptr);
}

void utc_now_text(char* out, size_t cap)
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_s(&utc, &now);
    if (cap == 0 || std::strftime(out, cap, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        if (cap)
            out[0] = 0;
}

}  // namespace platform
