#pragma once
// A growing text the report is written into, and the two escapes it needs: HTML text and
// attributes, and JSON strings. Names on a card can hold anything: angle brackets, ampersands,
// quotes, bytes of any script.
#include <cstddef>
#include <cstdint>

#include "basics/output.h"

namespace report {

struct Text {
    char* data = nullptr;
    size_t length = 0;
    size_t capacity = 0;
};

void text_add(Text* t, const char* bytes, size_t n);
void text_put(Text* t, const char* s);
void text_printf(Text* t, const char* fmt, ...) MENDORA_PRINTF(2, 3);
void text_free(Text* t);

// &, <, >, " and ' as entities; every other byte as it stands (the page is UTF-8).
void html_escape(Text* t, const char* s);
// A JSON string, quotes included: quote, backslash and control characters escaped; bytes that
// are not valid UTF-8 become U+FFFD, so the document always parses.
void json_string(Text* t, const char* s);
// A byte count as people read it: "912.3 KiB", "1.2 GiB", "512 bytes".
void size_text(uint64_t n, char* out, size_t cap);
// Base64 of `n` bytes, for data: URIs.
void base64(Text* t, const uint8_t* bytes, size_t n);

}  // namespace report
