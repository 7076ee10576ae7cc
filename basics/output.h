#pragma once
// Printing and the single error exit, used by every layer.
#include <cstdarg>
#include <cstddef>
#include <cstdio>

// printf-style checks; the Windows runtime's own printf family is told apart from the C99 one
// that the build uses there.
#if defined(__MINGW32__)
#define MENDORA_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define MENDORA_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace basics {

// Both standard streams unbuffered, so the two channels keep their order in one log file.
void set_streams_unbuffered();

void out_printf(const char* fmt, ...) MENDORA_PRINTF(1, 2);
void stream_printf(std::FILE* f, const char* fmt, ...) MENDORA_PRINTF(2, 3);
void stream_vprintf(std::FILE* f, const char* fmt, va_list args);
// Prints to standard output and flushes: for the "\r" progress lines.
void out_flush_printf(const char* fmt, ...) MENDORA_PRINTF(1, 2);

// Prints a whole line to standard output in the middle of a stage: a "\r" progress line still
// open is ended first, so that the line stands on its own and the progress goes on below it.
void out_line_printf(const char* fmt, ...) MENDORA_PRINTF(1, 2);

// snprintf that always terminates; the result is cut to size - 1 characters.
void bounded_format(char* buf, size_t size, const char* fmt, ...) MENDORA_PRINTF(3, 4);

// "ERROR: " + message + line break on standard error, then exit code 2.
[[noreturn]] void fatal(const char* fmt, ...) MENDORA_PRINTF(1, 2);

}  // namespace basics
