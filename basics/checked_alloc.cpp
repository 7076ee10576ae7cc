#include "basics/checked_alloc.h"

#include <cstdint>
#include <cstdlib>

#include "basics/output.h"

namespace basics {

void* xmalloc(size_t n)
{
    void* p = std::malloc(n ? n : 1);
    if (!p)
        fatal("out of memory allocating %zu bytes", n);
    return p;
}

void* xrealloc(void* block, size_t n)
{
    void* p = std::realloc(block, n ? n : 1);
    if (!p)
        fatal("out of memory reallocating %zu bytes", n);
    return p;
}

void* xcalloc(size_t count, size_t size)
{
    if (size != 0 && count > SIZE_MAX / size)
        fatal("out of memory allocating %zu bytes", SIZE_MAX);
    size_t n = count * size;
    void* p = std::calloc(n ? n : 1, 1);
    if (!p)
        fatal("out of memory allocating %zu bytes", n);
    return p;
}

}  // namespace basics
