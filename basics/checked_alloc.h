#pragma once
// Allocation that ends the run with an out-of-memory message naming the size asked for.
#include <cstddef>

namespace basics {

void* xmalloc(size_t n);
void* xrealloc(void* block, size_t n);
// Zero-filled allocation with the xmalloc message.
void* xcalloc(size_t count, size_t size);

}  // namespace basics
