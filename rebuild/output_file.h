#pragma once
// The life of an output file: created under its temporary name and sized, then closed after its
// movie box and moved to its final name. Both print the per-clip failure line themselves.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace rebuild {

// Where a file is written until it is complete: its final path with ".partial" behind it.
constexpr size_t temp_path_size = 1450;
void temp_path_for(const char* final_path, char* out, size_t cap);
// Closes and deletes the temporary file of a write that is given up; nothing when `*out` is null.
void discard_output(std::FILE** out, const char* temp_path);

// The temporary file, opened for reading and writing and sized to `size` zero bytes; null (the
// file removed again) when either fails.
std::FILE* create_sized_output(const char* temp_path, uint64_t size, int clip_number);

// Writes the movie box at file offset `at`, closes the file and replaces any file of the final
// name with it; 0 when a step failed, and then the temporary file is gone. The stream is closed
// either way.
int finish_output(std::FILE* out, uint64_t at, const uint8_t* moov, uint64_t moov_length, const char* temp_path,
                  const char* final_path, int clip_number);

}  // namespace rebuild
