// POSIX half of the platform layer: stdio with 64-bit offsets, dlopen, /proc/self/exe.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <new>
#include <dirent.h>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sys/mman.h>
#ifdef __linux__
#include <sys/sendfile.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

const char path_separator = '/';
const char* const validator_library_name = "VeltoXAVCValidate.so";
const char* const library_word = "library";
const int fetches_into_cache = 1;
const char* const system_word = "the system";
const char* const error_code_word = "error";

int is_separator(char c) { return c == '/'; }

std::FILE* open_read_only(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    struct stat st;
    if (f && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

std::FILE* open_stream(const char* path, const char* mode) { return std::fopen(path, mode); }

int rename_path(const char* from, const char* to) { return std::rename(from, to) == 0; }

int seek_abs(std::FILE* f, uint64_t offset)
{
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

int seek_end(std::FILE* f, int64_t* position)
{
    if (fseeko(f, 0, SEEK_END) != 0)
        return 0;
    *position = ftello(f);
    return 1;
}

int64_t tell(std::FILE* f) { return ftello(f); }

int set_file_size(std::FILE* f, uint64_t size)
{
    if (size > static_cast<uint64_t>(INT64_MAX) || std::fflush(f) != 0)
        return 0;
    if (ftruncate(fileno(f), static_cast<off_t>(size)) != 0)
        return 0;
    if (size == 0)
        return 1;
    // A sized file is sparse until written; reserving its blocks now makes a full disk fail here.
    int err = posix_fallocate(fileno(f), 0, static_cast<off_t>(size));
    return err == 0 || err == EOPNOTSUPP;
}

int read_positioned(std::FILE* f, uint64_t offset, void* buf, size_t n, size_t* got, unsigned long* error_code)
{
    *got = 0;
    *error_code = 0;
    int fd = fileno(f);
    while (*got < n) {
        if (offset + *got > static_cast<uint64_t>(INT64_MAX))
            return 1;  // nothing lies there: the file ends before
        ssize_t r = pread(fd, static_cast<uint8_t*>(buf) + *got, n - *got, static_cast<off_t>(offset + *got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            *error_code = static_cast<unsigned long>(errno);
            return 0;
        }
        if (r == 0)
            break;
        *got += static_cast<size_t>(r);
    }
    return 1;
}

int write_positioned(std::FILE* f, uint64_t offset, const void* buf, size_t n)
{
    int fd = fileno(f);
    size_t done = 0;
    while (done < n) {
        if (offset + done > static_cast<uint64_t>(INT64_MAX))
            return 0;
        ssize_t w = pwrite(fd, static_cast<const uint8_t*>(buf) + done, n - done, static_cast<off_t>(offset + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return 0;
        done += static_cast<size_t>(w);
    }
    return 1;
}

void advise_sequential(std::FILE* f)
{
    posix_fadvise(fileno(f), 0, 0, POSIX_FADV_SEQUENTIAL);
}

// The bytes go to /dev/null without a copy (sendfile), or else are read into a buffer that is
// thrown away: either way the system fills its cache as for any reader going front to back, in
// large pieces. Advice alone (posix_fadvise) fills it a page at a time, which costs more to copy
// out of and to let go of: a block device's cache goes when its last reader closes it, a page at
// a time: some 20 ms for 320 MiB, 160 ms for 1.5 GiB.
int fetch_into_cache(std::FILE* f, uint64_t offset, uint64_t n)
{
    constexpr size_t piece = 256 * 1024;
    int fd = fileno(f);
#ifdef __linux__
    static const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    while (sink >= 0 && n > 0 && offset <= static_cast<uint64_t>(INT64_MAX) - n) {
        off_t at = static_cast<off_t>(offset);
        ssize_t sent = sendfile(sink, fd, &at, n < piece ? static_cast<size_t>(n) : piece);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EINVAL || errno == ENOSYS))
            break;  // not for this file: read below
        if (sent < 0)
            return 0;
        if (sent == 0)
            return 1;  // the file ends
        offset += static_cast<uint64_t>(sent);
        n -= static_cast<uint64_t>(sent);
    }
    if (n == 0)
        return 1;
#endif
    static thread_local std::unique_ptr<uint8_t[]> scratch;
    if (!scratch)
        scratch.reset(new (std::nothrow) uint8_t[piece]);
    if (!scratch)
        return 1;
    for (uint64_t done = 0; done < n;) {
        size_t want = n - done < piece ? static_cast<size_t>(n - done) : piece, got = 0;
        unsigned long error_code = 0;
        if (!read_positioned(f, offset + done, scratch.get(), want, &got, &error_code))
            return 0;
        if (got < want)
            return 1;  // the file ends
        done += want;
    }
    (void)fd;
    return 1;
}

void advise_large_buffer(void* buf, size_t n)
{
#ifdef MADV_HUGEPAGE
    // madvise wants page-aligned ranges: advise the whole pages inside the buffer.
    const uintptr_t page = 4096;
    uintptr_t start = (reinterpret_cast<uintptr_t>(buf) + page - 1) & ~(page - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(buf) + n) & ~(page - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
#else
    (void)buf;
    (void)n;
#endif
}

size_t ring_granule()
{
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<size_t>(page) : 4096;
}

// One memory file mapped three times into a reserved range: its last page, then twice the whole.
uint8_t* map_ring_twice(size_t n, size_t before)
{
#if defined(__linux__) && defined(MFD_CLOEXEC)
    size_t g = ring_granule();
    if (n == 0 || n % g || before > g || n > SIZE_MAX / 2 - g)
        return nullptr;
    int fd = memfd_create("mendora-ring", MFD_CLOEXEC);
    if (fd < 0)
        return nullptr;
    uint8_t* ring = nullptr;
    void* range = mmap(nullptr, g + 2 * n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (ftruncate(fd, static_cast<off_t>(n)) == 0 && range != MAP_FAILED) {
        auto* base = static_cast<uint8_t*>(range) + g;
        const int prot = PROT_READ | PROT_WRITE, flags = MAP_SHARED | MAP_FIXED;
        if (mmap(base - g, g, prot, flags, fd, static_cast<off_t>(n - g)) != MAP_FAILED &&
            mmap(base, n, prot, flags, fd, 0) != MAP_FAILED && mmap(base + n, n, prot, flags, fd, 0) != MAP_FAILED)
            ring = base;
        else
            munmap(range, g + 2 * n);
    }
    close(fd);
    return ring;
#else
    (void)n;
    (void)before;
    return nullptr;
#endif
}

void drop_ring_mirror_pages(uint8_t* p, size_t n) { madvise(p, n, MADV_DONTNEED); }

void prepare_ring_pages(uint8_t* p, size_t n)
{
#ifdef MADV_POPULATE_WRITE
    madvise(p, n, MADV_POPULATE_WRITE);  // a system without it says EINVAL: the pages then fault in
#else
    (void)p;
    (void)n;
#endif
}

void unmap_ring_twice(uint8_t* p, size_t n, size_t)
{
    // in pieces: a thread that maps memory meanwhile waits for one piece at most
    size_t g = ring_granule(), piece = size_t(8) << 20;
    uint8_t* from = p - g;
    for (size_t left = g + 2 * n; left > 0;) {
        size_t k = left < piece ? left : piece;
        munmap(from, k);
        from += k;
        left -= k;
    }
}

int make_folder(const char* path)
{
    if (mkdir(path, 0777) == 0)
        return 1;
    return errno == EEXIST ? 2 : 0;
}

int set_file_times(const char* path, const FileTime*, const FileTime* modified, const FileTime* accessed)
{
    struct timespec times[2];
    const FileTime* pick[2] = {accessed, modified};
    for (int i = 0; i < 2; i++) {
        if (pick[i] && pick[i]->set) {
            times[i].tv_sec = static_cast<time_t>(pick[i]->seconds);
            times[i].tv_nsec = long(pick[i]->centiseconds) * 10000000L;
        } else {
            times[i].tv_sec = 0;
            times[i].tv_nsec = UTIME_OMIT;
        }
    }
    return utimensat(AT_FDCWD, path, times, 0) == 0;
}

int path_exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

int regular_file(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

int remove_file(const char* path) { return unlink(path) == 0; }

int folder_may_hold(const char* folder, const char* prefix, const char* suffix)
{
    DIR* d = opendir(folder[0] ? folder : ".");
    if (!d)
        return 1;
    size_t p = std::strlen(prefix), s = std::strlen(suffix);
    int found = 0;
    while (!found) {
        errno = 0;
        const dirent* e = readdir(d);
        if (!e) {
            found = errno != 0;  // a listing cut short tells nothing
            break;
        }
        size_t n = std::strlen(e->d_name);
        found = n >= p + s && std::strncmp(e->d_name, prefix, p) == 0 && std::strcmp(e->d_name + n - s, suffix) == 0;
    }
    closedir(d);
    return found;
}

void ignore_broken_pipe() { std::signal(SIGPIPE, SIG_IGN); }

void keep_heap_lean()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 1 << 20);  // fixed: no longer raised by each large buffer freed
    mallopt(M_ARENA_MAX, 2);
#endif
}

// The command line is UTF-8 as it stands, and a terminal takes the bytes as they are.
char** utf8_arguments(int, char** argv) { return argv; }
int console_stream(std::FILE*) { return 0; }
void write_console_text(std::FILE* f, const char* text, size_t n) { std::fwrite(text, 1, n, f); }

int own_executable_path(char* out, size_t cap)
{
    if (cap == 0)
        return 0;
    ssize_t n = readlink("/proc/self/exe", out, cap - 1);
    if (n <= 0)
        return 0;
    out[n] = 0;
    return 1;
}

// dlopen sets no errno; the loader's own text is the whole account.
void* load_library(const char* path, char* reason, size_t cap)
{
    void* lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        const char* why = dlerror();
        std::snprintf(reason, cap, "%s", why ? why : "");
    }
    return lib;
}

void* find_symbol(void* library, const char* name) { return dlsym(library, name); }
void free_library(void* library) { dlclose(library); }

int file_attributes_readable(const char* path, unsigned long* error_code)
{
    struct stat st;
    if (stat(path, &st) == 0)
        return 1;
    *error_code = static_cast<unsigned long>(errno);
    return 0;
}

int copies_in_system() { return 1; }

uint64_t copy_range_in_system(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset,
                              uint64_t n)
{
    // A range that runs past the image end is left to the caller's copy, which writes nothing
    // of a piece it cannot read whole; bytes written by the stream must reach the file first.
    struct stat st;
    if (n == 0 || fstat(fileno(src), &st) != 0 || st.st_size < 0 || src_offset > uint64_t(st.st_size) ||
        n > uint64_t(st.st_size) - src_offset || dst_offset > uint64_t(INT64_MAX) - n || std::fflush(dst) != 0)
        return 0;
    off_t from = static_cast<off_t>(src_offset);
    off_t to = static_cast<off_t>(dst_offset);
    uint64_t done = 0;
    while (done < n) {
        uint64_t left = n - done;
        size_t piece = left > 0x40000000u ? 0x40000000u : static_cast<size_t>(left);
        ssize_t moved = copy_file_range(fileno(src), &from, fileno(dst), &to, piece, 0);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            break;
        done += static_cast<uint64_t>(moved);
    }
    return done;
}

void utc_now_text(char* out, size_t cap)
{
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    if (cap == 0 || std::strftime(out, cap, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        if (cap)
            out[0] = 0;
}

}  // namespace platform
