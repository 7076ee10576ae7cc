#include "image/path_join.h"

#include <cstring>

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
