#pragma once
// --save-image: the card written to a file as it is read, with a ddrescue mapfile beside it
// ("FILE.map"), so that a failing card is read once: the recovery can be run again on the saved
// image with --mapfile, and ddrescue can go on rescuing the rest of the card from the mapfile.
#include <cstdint>
#include <cstdio>

namespace image {

// Creates FILE; 1 on success. Neither FILE nor FILE.map may exist already: 0 with `why` saying
// which does (or the system's reason the file cannot be made).
int image_saver_begin(const char* path, uint64_t image_size, char* why, size_t why_cap);
// Every read of the card from now on that the card answers is written to the file too.
// Ends the saving with a clear line when the file cannot take more (a full disk); the
// recovery goes on.
// Closes the image (sized as the card) and writes the mapfile: what was saved is rescued, what
// the card did not give keeps its status, the rest was not tried. `finished`: the scan read to
// the end. Prints one line saying where both went, or why the saving stopped.
void image_saver_end(int finished, const char* version);
int image_saver_active();

}  // namespace image
