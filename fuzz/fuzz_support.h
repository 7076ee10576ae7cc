#pragma once
// What every harness shares: fuzz input seen as a card image, and the engine's printing sent
// nowhere so that a run spends its time in the code under test.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "image/exfat_detect.h"

namespace fuzz {

// A read-only stream over the input bytes; null for empty input.
std::FILE* open_image(const uint8_t* data, size_t size);

// The input as an image when it holds `head` bytes of choices at least, and the card the first
// two choose (`g`): clusters of 512 << (data[0] % 8) bytes, the heap at the image's start or one
// cluster in (data[1] odd); null otherwise.
std::FILE* open_card(const uint8_t* data, size_t size, size_t head, image::ImageGeometry* g);

// Ends the run the way the fuzzer reports a crash, with the broken rule named.
[[noreturn]] void broken(const char* rule);

}  // namespace fuzz
