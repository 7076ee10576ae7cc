#pragma once
// What every harness shares: fuzz input seen as a card image, and the engine's printing sent
// nowhere so that a run spends its time in the code under test.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace fuzz {

// A read-only stream over the input bytes; null for empty input.
std::FILE* open_image(const uint8_t* data, size_t size);

// Ends the run the way the fuzzer reports a crash, with the broken rule named.
[[noreturn]] void broken(const char* rule);

}  // namespace fuzz
