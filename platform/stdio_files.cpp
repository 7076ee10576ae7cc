#include "platform/stdio_files.h"

#include "platform/platform.h"

#include <cstring>

namespace platform {

std::FILE* create_read_write(const char* path) { return open_stream(path, "w+b"); }
std::FILE* create_write(const char* path) { return open_stream(path, "wb"); }

int read_exact(std::FILE* f, void* buf, size_t n)
{
    return std::fread(buf, 1, n, f) == n;
}

int rename_file(const char* from, const char* to) { return rename_path(from, to); }

const char* errno_text(int err) { return std::strerror(err); }

}  // namespace platform
