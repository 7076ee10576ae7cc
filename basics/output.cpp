#include "basics/output.h"

#include <cstdlib>

#include "platform/platform.h"

namespace basics {

void set_streams_unbuffered()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void stream_vprintf(std::FILE* f, const char* fmt, va_list args)
{
    if (!platform::console_stream(f)) {
        std::vfprintf(f, fmt, args);
        return;
    }
    // a console shows the UTF-8 text only when it is handed over whole
    char text[4096];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(text, sizeof text, fmt, copy);
    va_end(copy);
    if (n < 0 || size_t(n) >= sizeof text)
        std::vfprintf(f, fmt, args);
    else
        platform::write_console_text(f, text, size_t(n));
}

void stream_printf(std::FILE* f, const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    stream_vprintf(f, fmt, args);
    va_end(args);
}

namespace {

// A "\r" progress line is on the console and no line break has ended it yet.
int progress_open = 0;

}  // namespace

void out_printf(const char* fmt, ...)
{
    progress_open = 0;
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
    progress_open = 1;
}

void out_line_printf(const char* fmt, ...)
{
    if (progress_open)
        std::fputs("\n", stdout);
    progress_open = 0;
    va_list args;
    va_start(args, fmt);
    stream_vprintf(stdout, fmt, args);
    va_end(args);
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

}  // namespace basics
