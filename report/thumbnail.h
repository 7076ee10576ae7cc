#pragma once
// The first decodable picture of a written file, as a small PNG, through the validator
// library's optional thumbnail export.
#include <cstddef>
#include <cstdint>

namespace report {

constexpr uint32_t thumbnail_max_width = 160;
constexpr uint32_t thumbnail_max_height = 90;
// samples handed to the decoder at most: one camera chunk, enough to get past leading pictures
constexpr uint64_t thumbnail_samples = 12;

struct Thumbnail {
    uint8_t* png;  // owned
    size_t png_size;
    uint32_t picture_width, picture_height;
};

// 1 and `out` filled when the validator is loaded, has the export, and a picture of the file's
// first video chunk decodes.
int thumbnail_of_file(const char* mp4_path, Thumbnail* out);

}  // namespace report
