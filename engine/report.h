#pragma once
// Printing, the single error exit and checked allocation, used by every part of the engine.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

// printf-style checks; the Windows runtime's own printf family is told apart from the C99 one
// that the build uses there.
#if defined(__MINGW32__)
#define MENDORA_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define MENDORA_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

namespace engine {

// Both standard streams unbuffered, so the two channels keep their order in one log file.
void set_streams_unbuffered();

void out_printf(const char* fmt, ...) MENDORA_PRINTF(1, 2);
void stream_printf(std::FILE* f, const char* fmt, ...) MENDORA_PRINTF(2, 3);
void stream_vprintf(std::FILE* f, const char* fmt, va_list args);
// Prints to standard output and flushes: for the "\r" progress lines.
void out_flush_printf(const char* fmt, ...) MENDORA_PRINTF(1, 2);

// snprintf that always terminates; the result is cut to size - 1 characters.
void bounded_format(char* buf, size_t size, const char* fmt, ...) MENDORA_PRINTF(3, 4);

// "ERROR: " + message + line break on standard error, then exit code 2.
[[noreturn]] void fatal(const char* fmt, ...) MENDORA_PRINTF(1, 2);

void* xmalloc(size_t n);
void* xrealloc(void* block, size_t n);
// Zero-filled allocation with the xmalloc message.
void* xcalloc(size_t count, size_t size);

// The per-clip progress line: "Writing file %zu of %zu | clip %d | <activity> | <percent>%".
void progress_preparing(size_t file, size_t total, int clip);
void progress_video_chunk(size_t file, size_t total, int clip, size_t done, size_t count, int percent);
void progress_video_complete(size_t file, size_t total, int clip);
void progress_validation_passed(size_t file, size_t total, int clip);
void progress_audio_chunk(size_t file, size_t total, int clip, size_t done, size_t count, int percent);
void progress_finalizing(size_t file, size_t total, int clip);
void progress_complete(size_t file, size_t total, int clip);

// A per-clip failure line on standard error: "clip %d: " + message + line break.
void clip_error(int clip, const char* fmt, ...) MENDORA_PRINTF(2, 3);

}  // namespace engine
