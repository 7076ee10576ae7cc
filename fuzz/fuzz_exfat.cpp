// The boot region detection over an image: when some sector start holds an accepted boot sector,
// the detection finds the first of them; otherwise it would end the run, so it is not called.
#include "fuzz/fuzz_support.h"
#include "image/exfat_detect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    image::ImageGeometry first = {};
    int accepted = 0;
    for (uint64_t at = 0; !accepted && at + 512 <= size; at += 512)
        accepted = image::parse_boot_sector(data + at, at, &first);
    if (!accepted)
        return 0;
    std::FILE* image = fuzz::open_image(data, size);
    image::ImageGeometry found = image::detect_exfat(image, size);
    if (found.boot_offset != first.boot_offset || found.cluster_bytes != first.cluster_bytes ||
        found.heap_offset != first.heap_offset)
        fuzz::broken("the detection accepts the first sound boot sector");
    std::fclose(image);
    return 0;
}
