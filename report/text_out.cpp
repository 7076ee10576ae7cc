#include "report/text_out.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "basics/checked_alloc.h"

namespace report {

void text_add(Text* t, const char* bytes, size_t n)
{
    if (t->length + n + 1 > t->capacity) {
        size_t next = t->capacity ? t->capacity : 4096;
        while (next < t->length + n + 1)
            next *= 2;
        t->data = static_cast<char*>(basics::xrealloc(t->data, next));
        t->capacity = next;
    }
    std::memcpy(t->data + t->length, bytes, n);
    t->length += n;
    t->data[t->length] = 0;
}

void text_put(Text* t, const char* s) { text_add(t, s, std::strlen(s)); }

void text_printf(Text* t, const char* fmt, ...)
{
    char small[512];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(small, sizeof small, fmt, args);
    va_end(args);
    if (n < 0)
        return;
    if (size_t(n) < sizeof small) {
        text_add(t, small, size_t(n));
        return;
    }
    char* big = static_cast<char*>(basics::xmalloc(size_t(n) + 1));
    va_start(args, fmt);
    std::vsnprintf(big, size_t(n) + 1, fmt, args);
    va_end(args);
    text_add(t, big, size_t(n));
    std::free(big);
}

void text_free(Text* t)
{
    std::free(t->data);
    *t = Text{};
}

void html_escape(Text* t, const char* s)
{
    for (; *s; s++) {
        switch (*s) {
        case '&': text_put(t, "&amp;"); break;
        case '<': text_put(t, "&lt;"); break;
        case '>': text_put(t, "&gt;"); break;
        case '"': text_put(t, "&quot;"); break;
        case '\'': text_put(t, "&#39;"); break;
        default: text_add(t, s, 1);
        }
    }
}

// Length of the well-formed UTF-8 sequence at `s`, 0 when it is not one.
static size_t utf8_sequence(const unsigned char* s)
{
    if (s[0] < 0x80)
        return 1;
    size_t n = s[0] >= 0xf0 && s[0] <= 0xf4 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 && s[0] < 0xe0 ? 2 : 0;
    if (n == 0 || (n == 3 && s[0] >= 0xf0))
        return 0;
    for (size_t i = 1; i < n; i++)
        if ((s[i] & 0xc0) != 0x80)
            return 0;
    // overlong forms and surrogates are not characters
    if ((s[0] == 0xe0 && s[1] < 0xa0) || (s[0] == 0xed && s[1] >= 0xa0) || (s[0] == 0xf0 && s[1] < 0x90) ||
        (s[0] == 0xf4 && s[1] >= 0x90))
        return 0;
    return n;
}

void json_string(Text* t, const char* s)
{
    text_add(t, "\"", 1);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    while (*p) {
        if (*p == '"' || *p == '\\') {
            char esc[2] = {'\\', char(*p)};
            text_add(t, esc, 2);
            p++;
        } else if (*p < 0x20) {
            text_printf(t, "\\u%04x", unsigned(*p));
            p++;
        } else {
            size_t n = utf8_sequence(p);
            if (n == 0) {
                text_put(t, "\\ufffd");
                p++;
            } else {
                text_add(t, reinterpret_cast<const char*>(p), n);
                p += n;
            }
        }
    }
    text_add(t, "\"", 1);
}

void size_text(uint64_t n, char* out, size_t cap)
{
    if (n >= 1073741824ull)
        std::snprintf(out, cap, "%.2f GiB", double(n) / 1073741824.0);
    else if (n >= 1048576)
        std::snprintf(out, cap, "%.1f MiB", double(n) / 1048576.0);
    else if (n >= 1024)
        std::snprintf(out, cap, "%.1f KiB", double(n) / 1024.0);
    else
        std::snprintf(out, cap, "%llu bytes", (unsigned long long)n);
}

void base64(Text* t, const uint8_t* bytes, size_t n)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    char out[4];
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16;
        if (i + 1 < n)
            v |= uint32_t(bytes[i + 1]) << 8;
        if (i + 2 < n)
            v |= bytes[i + 2];
        out[0] = digits[v >> 18];
        out[1] = digits[(v >> 12) & 63];
        out[2] = i + 1 < n ? digits[(v >> 6) & 63] : '=';
        out[3] = i + 2 < n ? digits[v & 63] : '=';
        text_add(t, out, 4);
    }
}

}  // namespace report
