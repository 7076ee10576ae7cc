#pragma once
// The parts of file access that the C runtime gives alike on every platform.
#include <cstddef>
#include <cstdio>

namespace platform {

std::FILE* create_read_write(const char* path);     // "w+b", truncating
std::FILE* create_write(const char* path);          // "wb", truncating
// Exactly n bytes at the current position; 1 when all arrived.
int read_exact(std::FILE* f, void* buf, size_t n);
int rename_file(const char* from, const char* to);  // 1 on success
// Text of an errno value.
const char* errno_text(int err);

}  // namespace platform
