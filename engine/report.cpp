#include "engine/report.h"

#include <cstdlib>
#include <cstring>

namespace engine {

void set_streams_unbuffered()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void stream_vprintf(std::FILE* f, const char* fmt, va_list args)
{
    std::vfprintf(f, fmt, args);
}

void stream_printf(std::FILE* f, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    stream_vprintf(f, fmt, args);
    va_end(args);
}

void out_printf(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    stream_vprintf(stdout, fmt, args);
    va_end(args);
}

void out_flush_printf(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    stream_vprintf(stdout, fmt, args);
    va_end(args);
    std::fflush(stdout);
}

void bounded_format(char* buf, size_t size, const char* fmt, ...)
{
    if (size == 0)
        return;
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(buf, size, fmt, args);
    va_end(args);
    if (n < 0)
        buf[0] = 0;
}

void fatal(const char* fmt, ...)
{
    std::fputs("ERROR: ", stderr);
    va_list args;
    va_start(args, fmt);
    stream_vprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::exit(2);
}

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

void progress_preparing(size_t file, size_t total, int clip)
{
    out_printf("Writing file %zu of %zu | clip %d | preparing | 0%%\n", file, total, clip);
}

void progress_video_chunk(size_t file, size_t total, int clip, size_t done, size_t count, int percent)
{
    out_printf("Writing file %zu of %zu | clip %d | video chunk %zu/%zu | %d%%\n", file, total, clip, done,
               count, percent);
}

void progress_video_complete(size_t file, size_t total, int clip)
{
    out_printf("Writing file %zu of %zu | clip %d | video complete | 90%%\n", file, total, clip);
}

void progress_validation_passed(size_t file, size_t total, int clip)
{
    out_printf("Writing file %zu of %zu | clip %d | AVC validation passed | 90%%\n", file, total, clip);
}

void progress_audio_chunk(size_t file, size_t total, int clip, size_t done, size_t count, int percent)
{
    out_printf("Writing file %zu of %zu | clip %d | audio chunk %zu/%zu | %d%%\n", file, total, clip, done,
               count, percent);
}

void progress_finalizing(size_t file, size_t total, int clip)
{
    out_printf("Writing file %zu of %zu | clip %d | finalizing MP4 | 99%%\n", file, total, clip);
}

void progress_complete(size_t file, size_t total, int clip)
{
    out_printf("Writing file %zu of %zu | clip %d | complete | 100%%\n", file, total, clip);
}

void clip_error(int clip, const char* fmt, ...)
{
    std::fprintf(stderr, "clip %d: ", clip);
    va_list args;
    va_start(args, fmt);
    stream_vprintf(stderr, fmt, args);
    va_end(args);
    std::fputc('\n', stderr);
}

}  // namespace engine
