#include "image/read_at.h"

#include "image/scan_ring.h"
#include "platform/platform.h"
#include "platform/stdio_files.h"

namespace image {

int read_at(std::FILE* image, uint64_t offset, void* buf, uint64_t n)
{
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    int served = 0;
    if (scan_ring_serve(image, offset, buf, n, &served))
        return served;
    if (!platform::seek_abs(image, offset))
        return 0;
    if (n == 0)
        return 1;
    return platform::read_exact(image, buf, static_cast<size_t>(n));
}

}  // namespace image
