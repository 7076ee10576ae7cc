#pragma once
// Every call that differs between Windows and the POSIX build lives behind these functions; what the
// C runtime gives alike everywhere is in platform/stdio_files.h.
#include <cstdint>
#include <cstdio>
#include <cstddef>

namespace platform {

// The separator joined between a folder and a name ("\\" on Windows, "/" elsewhere).
extern const char path_separator;
// 1 for a character that ends a folder name: "/" everywhere, "\\" too on Windows.
int is_separator(char c);
// The name of the validator library beside the executable.
extern const char* const validator_library_name;
// The words the validator loader's messages use: "DLL", "Windows" and "Win32 error" on Windows.
extern const char* const library_word;
extern const char* const system_word;
extern const char* const error_code_word;

std::FILE* open_read_only(const char* path);        // "rb"; never a folder
// The runtime's fopen, taking any name the system takes: every Unicode name, long paths.
std::FILE* open_stream(const char* path, const char* mode);
int rename_path(const char* from, const char* to);  // 1 on success

// Reads up to n bytes at `offset` without using the stream's position or buffer. *got tells how
// many arrived: all n, or fewer where the file ends. 0 when the system answered with an error
// (a card reader's I/O error for a bad sector, among others): *error_code then holds the
// system's code, and nothing in `buf` is to be trusted.
int read_positioned(std::FILE* f, uint64_t offset, void* buf, size_t n, size_t* got, unsigned long* error_code);
// Writes the n bytes at `offset` in one call where the system can, without using the stream's
// position or buffer (what the stream holds unwritten must have been flushed); 1 when all arrived.
int write_positioned(std::FILE* f, uint64_t offset, const void* buf, size_t n);

// Absolute 64-bit seek; 1 on success. Positions of 2^63 or more cannot be reached.
int seek_abs(std::FILE* f, uint64_t offset);
// Seek to the end; 1 and the position when the stream can tell it.
int seek_end(std::FILE* f, int64_t* position);
int64_t tell(std::FILE* f);
// Zero-filled change of the open file's size with its space reserved, so that a full disk
// shows here and not at a later write; 1 on success.
int set_file_size(std::FILE* f, uint64_t size);
// Tells the operating system that the file will be read front to back once.
void advise_sequential(std::FILE* f);
// Has the operating system read n bytes of the file at `offset` into its cache, and waits for
// them; 0 when a read failed. `fetches_into_cache` is 1 where it does anything.
extern const int fetches_into_cache;
int fetch_into_cache(std::FILE* f, uint64_t offset, uint64_t n);
// Tells the operating system that a large buffer will be filled and reused many times, so it
// may back it with large pages. A hint only: nothing changes if it is not taken.
void advise_large_buffer(void* buf, size_t n);

// A ring buffer of `n` bytes whose memory shows twice, back to back, with its last bytes once
// more in front: p[i] and p[i + n] are the same byte for 0 <= i < n, and the `before` bytes in
// front of p (at most ring_granule()) are p[n - before, n). Bytes that cross the ring's end then
// lie in one piece. `n` must be a multiple of ring_granule(). Null when the system does not map
// memory that way; the caller then keeps a plain buffer.
uint8_t* map_ring_twice(size_t n, size_t before);
void unmap_ring_twice(uint8_t* p, size_t n, size_t before);
// The n bytes from p of such a ring's second showing stop counting as this process's resident
// memory: the bytes stay, and the next look at them maps them again. Without it every page looked
// at through both showings counts twice.
void drop_ring_mirror_pages(uint8_t* p, size_t n);
// The n bytes from p of such a ring's first showing get their memory in one call, not a page at a
// time as each is first written (every first touch a fault of its own); nothing where the system
// has no such call.
void prepare_ring_pages(uint8_t* p, size_t n);
// The size the ring's views are laid out in (a page, or on Windows the allocation granularity).
size_t ring_granule();

// Copies n bytes of `src` from src_offset to `dst` at dst_offset inside the system, without
// passing them through this process. Returns how many arrived: all n, or fewer, down to 0, when
// the system offers no such copy, refuses these files, or the range does not lie wholly inside
// `src`; the caller moves the rest its own way. Neither stream's position is used.
// 1 where the system offers such a copy at all.
int copies_in_system();
uint64_t copy_range_in_system(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset,
                              uint64_t n);

int remove_file(const char* path);                  // 1 on success; never removes a folder
// One folder, no parents: 1 made, 2 already there, 0 failed.
int make_folder(const char* path);
int path_exists(const char* path);
// 1 when the path names a plain file: no folder, pipe or device.
int regular_file(const char* path);
// 0 when `folder` is known to hold no entry whose name begins with `prefix` and ends with
// `suffix`; 1 when it may (also when the folder cannot be listed).
int folder_may_hold(const char* folder, const char* prefix, const char* suffix);

// A file's times as seconds since 1970 (UTC) and hundredths; `set` 0 leaves that time alone.
struct FileTime {
    int set;
    int64_t seconds;
    uint32_t centiseconds;
};
// Sets the modification and access times of a closed file, and its creation time where the system
// keeps one (Windows); 1 on success.
int set_file_times(const char* path, const FileTime* created, const FileTime* modified, const FileTime* accessed);

// A write into a pipe whose reader has gone fails instead of ending the process.
void ignore_broken_pipe();
// The heap gives back what the threads free: buffers of a MiB and more get pages of their own,
// returned when freed, and the threads share two pools instead of one each. A decoder's frame
// threads free and take pictures of several MiB all the time; kept in pools of their own, they
// would make the peak grow with the cores.
void keep_heap_lean();

// The current time in UTC as "YYYY-MM-DDTHH:MM:SSZ".
void utc_now_text(char* out, size_t cap);

// Full path of the running executable; 1 on success.
int own_executable_path(char* out, size_t cap);

// The program's arguments as UTF-8, the program's narrow text everywhere: on Windows taken from
// the wide command line, so that a name outside the code page passes whatever the code page.
char** utf8_arguments(int argc, char** argv);
// 1 when `f` is standard output or error and a Windows console, which shows UTF-8 text right
// only through write_console_text (the wide console call); a pipe, a file and a terminal
// elsewhere take the bytes as they are.
int console_stream(std::FILE* f);
void write_console_text(std::FILE* f, const char* text, size_t n);

// Library loading. load_library gives 0 and fills `reason` with the system's account of the
// failure: "Win32 error" with its code and text on Windows, the dynamic loader's text elsewhere.
void* load_library(const char* path, char* reason, size_t cap);
void* find_symbol(void* library, const char* name);
void free_library(void* library);
// 1 when the file's attributes can be read; otherwise 0 with the system error code.
int file_attributes_readable(const char* path, unsigned long* error_code);

}  // namespace platform
