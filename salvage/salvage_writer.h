#pragma once
// A salvaged recording written as a compact MP4 file: ftyp, an mdat holding the kept pieces in
// the plan's order, and a movie box made for them.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "salvage/salvage_plan.h"

namespace salvage {

// What one salvage attempt gave: the final path when a file was written, else why not.
struct SalvageResult {
    char final_path[1400];
    const char* failure;
    uint64_t failing_sample;  // kept-sample index the decode check refused, or all ones
    int decode_refused;       // the decode check refused the kept video
    // the image offset of the first sample of a span a decoder cannot take after the span before
    // it, found without decoding (decode_refused set); 0: none
    uint64_t unjoined_span;
};

// Writes `plan` under ".partial", decode-checks its video when `validate` is set, and renames it;
// 1 when the file is in place and its line printed. On 0 no file is left behind and `failure`
// says why; the caller prints it, since it may try again without a refused sample. A file count
// of 0 suppresses the progress lines.
int write_salvaged(std::FILE* image, uint64_t image_size, const SalvagePlan* plan, const char* output_dir,
                   int validate, size_t file_index, size_t file_count, SalvageResult* result);

}  // namespace salvage
