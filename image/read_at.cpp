#include "image/read_at.h"

#include <cstring>

#include "image/card_reader.h"
#include "image/kept_boxes.h"
#include "image/scan_ring.h"

namespace image {

int read_at(std::FILE* image, uint64_t offset, void* buf, uint64_t n)
{
    if (offset > static_cast<uint64_t>(INT64_MAX) || card_touches_unreadable(image, offset, n))
        return 0;
    int served = 0;
    if (scan_ring_serve(image, offset, buf, n, &served))
        return served;
    if (kept_boxes_serve(image, offset, buf, n))
        return 1;
    uint64_t unknown = 0;
    return card_read(image, offset, buf, n, &unknown) == n && unknown == 0;
}

int read_known(std::FILE* image, uint64_t offset, void* buf, uint64_t n, uint64_t* unknown)
{
    if (unknown)
        *unknown = 0;
    if (offset > static_cast<uint64_t>(INT64_MAX))
        return 0;
    int served = 0;
    if (scan_ring_serve(image, offset, buf, n, &served)) {
        if (served && unknown && card_touches_unreadable(image, offset, n))
            *unknown = map_unknown_bytes(card_map(), offset, n);
        return served;
    }
    return card_read(image, offset, buf, n, unknown) == n;
}

}  // namespace image
