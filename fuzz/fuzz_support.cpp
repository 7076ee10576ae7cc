#include "fuzz/fuzz_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace fuzz {

std::FILE* open_image(const uint8_t* data, size_t size)
{
    if (size == 0)
        return nullptr;
    // The card reader reads by position through the file's descriptor, which a stream over
    // memory (fmemopen) does not have: every read there would fail and the harness would see a
    // card of zeros. A file in memory has one.
    int fd = memfd_create("fuzz-image", 0);
    if (fd < 0)
        return nullptr;
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            close(fd);
            return nullptr;
        }
        done += static_cast<size_t>(n);
    }
    std::FILE* image = fdopen(fd, "rb");
    if (!image)
        close(fd);
    return image;
}

std::FILE* open_card(const uint8_t* data, size_t size, size_t head, image::ImageGeometry* g)
{
    if (size < head || head < 2)
        return nullptr;
    uint64_t cs = uint64_t(512) << (data[0] % 8);
    *g = image::ImageGeometry{0, cs, data[1] % 2 ? cs : 0};
    return open_image(data, size);
}

void broken(const char* rule)
{
    std::fprintf(stderr, "broken rule: %s\n", rule);
    std::abort();
}

}  // namespace fuzz

// The stage lines go to /dev/null; the fuzzer itself reports on standard error.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 1);
        close(null);
    }
    return 0;
}
