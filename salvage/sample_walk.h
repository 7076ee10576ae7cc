#pragma once
// Sample sizes where no table gives them: from an access-unit delimiter in the image, the
// length-prefixed NAL units are followed one by one, and a sample ends where the next delimiter
// begins. Every sample the walk reports has passed the sample structure check.
#include <cstdint>
#include <cstdio>

namespace salvage {

// What the bytes right after the last reported sample are.
enum SampleWalkStop : uint32_t {
    walk_at_delimiter = 0,  // a delimiter: the last sample is closed by the start of the next one
    walk_at_limit = 1,      // the limit: the last sample's units end exactly there
    walk_at_no_unit = 2,    // no plausible unit: where the last sample ends is a guess
};

struct SampleWalk {
    uint64_t samples;  // sizes stored
    uint64_t end;      // image offset just past the last stored sample
    uint32_t stop;     // SampleWalkStop
};

// Walks from `offset`, which must start with a delimiter, through at most `max_samples` samples
// whose units all end before `limit` (cut to the image size); the sizes go to sizes[0..). A
// sample that fails the structure check or units_escaped ends the walk before it. 1 and `out` filled when at least
// one sample was found.
int walk_samples(std::FILE* image, uint64_t image_size, uint64_t offset, uint64_t limit, const char* format,
                 uint64_t max_samples, uint32_t* sizes, SampleWalk* out);

}  // namespace salvage
