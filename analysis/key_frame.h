#pragma once
// Whether a video sample can start decoding on its own, read from its own NAL units.
#include <cstdint>

namespace analysis {

// 1 when the length-prefixed sample holds an IDR slice (AVC) or an IRAP picture (HEVC).
int sample_is_key_frame(const uint8_t* sample, uint64_t len, const char* format);

}  // namespace analysis
