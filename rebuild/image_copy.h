#pragma once
// Image bytes copied into the output file: by the system where it offers a copy between files,
// else by the one read-then-write step every copy goes through.
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace rebuild {

// The largest piece one copy step moves.
constexpr uint64_t copy_piece_limit = 0x800000;

// Reads `length` bytes at `src_offset` into `buf`, then writes them at `dst_offset`; 1 when both
// succeeded. `buf` keeps the bytes for a caller that looks at them afterwards.
int copy_through(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset, uint8_t* buf,
                 size_t length);

// Copies one piece of `length` bytes, inside the system where it can (the bytes never pass through
// this process), else read into `buf`, which holds `length` bytes, and written from there; 1 when
// all of it arrived. A piece that touches bytes the card does not give fails, unless `silenced`
// is given: sound, whose unknown bytes become silence (the zeros of signed PCM), counted there.
int copy_piece(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset, uint8_t* buf,
               size_t length, uint64_t* silenced = nullptr);

// Copies `length` image bytes in pieces of at most copy_piece_limit; returns the bytes copied.
// `silenced` as for copy_piece.
uint64_t copy_image_range(std::FILE* src, uint64_t src_offset, std::FILE* dst, uint64_t dst_offset,
                          uint64_t length, uint64_t* silenced = nullptr);

}  // namespace rebuild
