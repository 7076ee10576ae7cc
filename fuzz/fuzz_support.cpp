#include "fuzz/fuzz_support.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace fuzz {

std::FILE* open_image(const uint8_t* data, size_t size)
{
    if (size == 0)
        return nullptr;
    return fmemopen(const_cast<uint8_t*>(data), size, "rb");
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
