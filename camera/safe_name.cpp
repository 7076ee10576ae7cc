// Names on the card are untrusted: they become a file name inside the output folder and nothing
// else, never a separator, a parent folder or a device.
#include "camera/safe_name.h"

#include <cctype>
#include <cstring>

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

}  // namespace

int safe_name(const uint16_t* units, size_t n, char* out, size_t cap)
{
    uint16_t clean[filesystem::max_name_units];
    int changed = 0;
    if (n > filesystem::max_name_units)
        n = filesystem::max_name_units;
    for (size_t i = 0; i < n; i++) {
        uint16_t u = units[i];
        int pair = u >= 0xD800 && u <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF;
        int lone = !pair && u >= 0xD800 && u <= 0xDFFF;
        int prev_high = i > 0 && units[i - 1] >= 0xD800 && units[i - 1] <= 0xDBFF && u >= 0xDC00 && u <= 0xDFFF;
        if (unsafe_unit(u) || (lone && !prev_high)) {
            clean[i] = '_';
            changed = 1;
        } else {
            clean[i] = u;
        }
    }
    for (size_t i = n; i > 0 && (clean[i - 1] == '.' || clean[i - 1] == ' '); i--) {
        clean[i - 1] = '_';
        changed = 1;
    }
    char text[4 * filesystem::max_name_units + 2];
    filesystem::name_utf8(clean, n, text + 1, sizeof text - 1);
    int only_dots = 1;
    for (const char* p = text + 1; *p; p++)
        only_dots &= *p == '.';
    const char* name = text + 1;
    if (only_dots || reserved_device(name)) {
        text[0] = '_';
        name = text;
        changed = 1;
    }
    size_t len = std::strlen(name);
    if (cap == 0)
        return changed;
    if (len > cap - 1)
        len = cap - 1;
    std::memcpy(out, name, len);
    out[len] = 0;
    return changed;
}

int same_name(const char* a, const char* b)
{
    for (; *a && *b; a++, b++)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b)))
            return 0;
    return *a == *b;
}

}  // namespace camera
