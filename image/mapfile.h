#pragma once
// GNU ddrescue's mapfile: what an imaging run rescued of a card and what it did not. Lines that
// start with '#' are comments; the first other line is the status line ("current_pos
// current_status [current_pass]"); every line after it is a block "pos size status", with
// hexadecimal ("0x...") or decimal numbers, the blocks in order and touching, from offset 0 on.
// A block whose status is '+' was rescued; '?', '*', '/' and '-' were not, and the image holds
// zeros or stale bytes there.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "basics/growable.h"
#include "image/unreadable_map.h"

namespace image {

struct MapfileBlock {
    uint64_t offset;
    uint64_t length;
    char status;
    uint32_t line;  // where the mapfile names it, for messages
};

struct Mapfile {
    basics::Growable<MapfileBlock, 64> blocks;
    uint64_t end;  // behind the last block
};

// Parses the mapfile text; 1 on success. Otherwise 0 with *bad_line the line number (1-based)
// and `why` what is wrong with it.
int parse_mapfile(const char* text, size_t n, Mapfile* out, uint32_t* bad_line, char* why, size_t why_cap);
// 1 when the mapfile describes an image of `image_size` bytes: it covers the whole image, and
// nothing behind the image's end is marked rescued (ddrescue's image ends at the last byte it
// wrote). Otherwise 0 with the line and the reason.
int mapfile_fits(const Mapfile* map, uint64_t image_size, uint32_t* bad_line, char* why, size_t why_cap);
// Marks every block not rescued in `unread` (inside the image).
void mapfile_unread(const Mapfile* map, uint64_t image_size, UnreadableMap* unread);
void free_mapfile(Mapfile* map);

// Writes a mapfile for an image of `image_size` bytes: the stretches in `saved` as rescued, the
// pieces of `unread` with their status, everything else as not tried. `finished` tells whether
// the reading went to the end. 1 when it was all written.
int write_mapfile(std::FILE* f, uint64_t image_size, const UnreadableMap* saved, const UnreadableMap* unread,
                  int finished, const char* version);

}  // namespace image
