#pragma once
// The engine's command line.
#include <cstddef>
#include <cstdint>

namespace engine {

extern const char* const build_tag;

struct EngineOptions {
    const char* image_path;
    const char* output_dir;
    const char* work_dir;
    int32_t analysis_only;
    int32_t recover_count;
    int32_t recover_all;
    int32_t clip_index;
    int32_t keep_metadata_track;
    int32_t no_validator;
    int32_t no_salvage;
    int32_t hash_image;  // SHA-256 of the image, taken while the raw scan reads it
    const char* mapfile;     // ddrescue's mapfile of the image: what it did not rescue is unreadable
    const char* save_image;  // the card saved here as the scan reads it, with a mapfile beside it
    uint64_t chunk_bytes;
    int32_t show_progress;
};

EngineOptions default_options();

// Fills `out` from the argument vector. "-h"/"--help" prints the usage text and exits with 0;
// every error ends the run through fatal.
void parse_options(int argc, char** argv, EngineOptions* out);
void print_usage(const char* program);

// The process-wide copy of the working folder (at most 2047 characters survive).
constexpr size_t work_dir_capacity = 2048;
extern char work_dir_buffer[work_dir_capacity];

}  // namespace engine
