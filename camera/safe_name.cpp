// Names on the card are untrusted: they become a file name inside the output folder and nothing
// else, never a separator, a parent folder or a device.
#include "camera/safe_name.h"

#include <cctype>
#include <cstring>

#include "basics/output.h"
#include "filesystem/entry_set.h"

namespace camera {

namespace {

int unsafe_unit(uint16_t u)
{
    return u < 0x20 || u == 0x7F || std::strchr("/\\:*?\"<>|", u < 0x80 ? char(u) : 'a') != nullptr;
}

int reserved_device(const char* name)
{
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
    size_t stem = std::strcspn(name, ".");
    char upper[8] = {};
    if (stem > 4)
        return 0;
    for (size_t i = 0; i < stem; i++)
        upper[i] = char(std::toupper(static_cast<unsigned char>(name[i])));
    for (const char* d : devices)
        if (std::strcmp(upper, d) == 0)
            return 1;
    return stem == 4 && (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) && upper[3] >= '1' &&
           upper[3] <= '9';
}

// Where the extension of a name starts (its last dot, not a leading one); the name's end when it
// has none.
size_t extension_at(const char* name)
{
    const char* dot = std::strrchr(name, '.');
    return dot && dot != name && dot[1] ? size_t(dot - name) : std::strlen(name);
}

}  // namespace

int safe_name(const uint16_t* units, size_t n, const char* extension, char* out, size_t cap)
{
    uint16_t clean[filesystem::max_name_units];
    size_t last_replaced = SIZE_MAX;
    if (n > filesystem::max_name_units)
        n = filesystem::max_name_units;
    for (size_t i = 0; i < n; i++) {
        uint16_t u = units[i];
        int pair = u >= 0xD800 && u <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
        int lone = !pair && u >= 0xD800 && u <= 0xDFFF;
        int prev_high = i > 0 && units[i - 1] >= 0xD800 && units[i - 1] <= 0xDBFF && u >= 0xDC00 && u <= 0xDFFF;
        clean[i] = u;
        if (unsafe_unit(u) || (lone && !prev_high)) {
            clean[i] = '_';
            last_replaced = i;
        }
    }
    size_t kept = n;
    while (kept > 0 && (clean[kept - 1] == '.' || clean[kept - 1] == ' '))
        kept--;
    int changed = kept != n || last_replaced != SIZE_MAX;
    // room for "_" in front and the extension behind
    char text[4 * filesystem::max_name_units + 32];
    filesystem::name_utf8(clean, kept, text + 1, sizeof text - 16);
    char* name = text + 1;
    if (name[0] == 0 || name[0] == '.' || reserved_device(name)) {
        *--name = '_';
        changed = 1;
    }
    size_t ext = extension_at(name);
    // a character replaced after the last dot: the cleaning changed the extension
    size_t ext_units = 0;
    for (size_t i = kept; i > 0 && clean[i - 1] != '.'; i--)
        ext_units++;
    int ext_changed = last_replaced != SIZE_MAX && last_replaced >= kept - ext_units;
    if (extension && (name[ext] == 0 || ext_changed)) {
        std::strcat(name, extension);
        changed = 1;
    }
    if (cap == 0)
        return changed;
    size_t len = std::strlen(name);
    if (len > cap - 1)
        len = cap - 1;
    std::memcpy(out, name, len);
    out[len] = 0;
    return changed;
}

void sidecar_name(const char* clip_safe_name, const char* suffix, char* out, size_t cap)
{
    size_t stem = extension_at(clip_safe_name);
    basics::bounded_format(out, cap, "%.*s%s", int(stem), clip_safe_name, suffix);
}

// ASCII only, whatever the runtime's locale: a UTF-8 byte above 0x7F is compared as it is.
static int ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : static_cast<unsigned char>(c); }

int same_name(const char* a, const char* b)
{
    for (; *a && *b; a++, b++)
        if (ascii_lower(*a) != ascii_lower(*b))
            return 0;
    return *a == *b;
}

}  // namespace camera
