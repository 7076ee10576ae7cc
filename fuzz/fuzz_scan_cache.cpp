// A scan cache file of any content, looked up under the image size and fingerprint its own header
// names: a hit gives offsets inside the image; a miss leaves no file behind.
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "basics/byte_order.h"
#include "fuzz/fuzz_support.h"
#include "image/scan_cache.h"

namespace {

char work_dir[] = "/tmp/mendora-fuzz-cache-XXXXXX";

// One working folder for the whole run, empty again at its end.
int make_work_dir()
{
    if (!mkdtemp(work_dir))
        return 0;
    std::atexit([] { rmdir(work_dir); });
    return 1;
}

int inside(const image::OffsetList* list, uint64_t image_size)
{
    for (size_t i = 0; i < list->count; i++)
        if (list->items[i] >= image_size)
            return 0;
    return 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const int made = make_work_dir();
    if (!made)
        return 0;
    uint64_t image_size = size >= 16 ? basics::load_le64(data + 8) : 0;
    uint64_t fingerprint = size >= 24 ? basics::load_le64(data + 16) : 0;
    char path[image::cache_path_capacity];
    image::scan_cache_path(work_dir, fingerprint, path);
    std::FILE* f = std::fopen(path, "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        fuzz::broken("the harness writes the cache file");

    image::ScanIndex index = {};
    if (image::scan_cache_lookup(work_dir, fingerprint, image_size, &index)) {
        if (!inside(&index.xavc_hits, image_size) || !inside(&index.kkad_hits, image_size) ||
            !inside(&index.moov_hits, image_size))
            fuzz::broken("every cached offset lies inside the image");
        image::free_scan_index(&index);
        std::remove(path);
    } else if (std::fopen(path, "rb")) {
        fuzz::broken("a rejected cache file is removed");
    }
    return 0;
}
