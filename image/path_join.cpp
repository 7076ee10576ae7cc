#include "image/path_join.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace image {

void path_join(char* out, size_t cap, const char* folder, const char* name)
{
    if (cap == 0)
        return;
    out[0] = 0;
    size_t d = std::strlen(folder);
    if (d >= cap)
        d = cap - 1;
    size_t used = 0;
    if (d > 0) {
        std::memcpy(out, folder, d);
        used = d;
        char last = folder[d - 1];
        if (!platform::is_separator(last) && d + 1 < cap)
            out[used++] = platform::path_separator;
    }
    size_t room = cap - 1 - used;
    size_t n = std::strlen(name);
    if (n > room)
        n = room;
    std::memcpy(out + used, name, n);
    out[used + n] = 0;
}

}  // namespace image

namespace image {

namespace {

// The end of the folder above the part of `path` that ends at `end`; 0 when it has none.
size_t parent_end(const char* path, size_t end)
{
    while (end > 0 && !platform::is_separator(path[end - 1]))
        end--;
    while (end > 1 && platform::is_separator(path[end - 1]))
        end--;
    return end;
}

int refuse(const char* part, size_t n, int err, char* failed, size_t cap)
{
    if (cap > 0) {
        size_t k = n < cap - 1 ? n : cap - 1;
        std::memcpy(failed, part, k);
        failed[k] = 0;
    }
    errno = err;
    return 0;
}

}  // namespace

int make_folder_path(const char* path, char* failed, size_t cap)
{
    std::string part(path);
    while (part.size() > 1 && platform::is_separator(part.back()))
        part.pop_back();
    // from the whole path up to the first folder that stands or can be made, then back down
    std::vector<size_t> missing;
    size_t end = part.size();
    for (;;) {
        std::string here = part.substr(0, end);
        int made = end > 0 ? platform::make_folder(here.c_str()) : 0;
        int err = end > 0 ? errno : ENOENT;
        if (made == 2 && platform::regular_file(here.c_str()))
            return refuse(here.c_str(), end, ENOTDIR, failed, cap);
        if (made)
            break;
        size_t up = parent_end(part.c_str(), end);
        // a missing folder, or a file standing where a folder should: look further up
        if ((err != ENOENT && err != ENOTDIR) || up == 0 || up == end)
            return refuse(here.c_str(), end, err, failed, cap);
        missing.push_back(end);
        end = up;
    }
    for (size_t i = missing.size(); i-- > 0;) {
        std::string here = part.substr(0, missing[i]);
        if (!platform::make_folder(here.c_str()))
            return refuse(here.c_str(), missing[i], errno, failed, cap);
    }
    return 1;
}

}  // namespace image
