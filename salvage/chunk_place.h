#pragma once
// Where the bytes of a chunk lie in the image: in one run, or in several where fragment
// boundaries cut it, each run behind a cut at an image offset of its own.
#include <cstdint>
#include <cstdio>

namespace salvage {

// Cuts one chunk may be joined across: runs of a few clusters cut a chunk several times, and the
// sound behind twelve frames of four-channel 24-bit samples spans 17 to 19 clusters of 16 KiB,
// each a run of its own where the runs are one cluster long. A main clip's first chunk of 1.2 MB
// beside a proxy in runs of one 32 KiB cluster each lies in 37 runs, as many as the proxy's file
// has clusters.
constexpr uint32_t place_cuts_max = 64;

// Where a chunk lies: from `at`, or, when fragment boundaries cut it, its first `cut` bytes at
// `at`, the rest from `tail`, and from each further cut `later_cut[i]` (in the chunk, rising) its
// bytes from `later_at[i]`.
struct ChunkPlace {
    uint64_t at;
    uint64_t cut;  // 0: in one piece
    uint64_t tail;
    uint32_t later = 0;
    uint64_t later_cut[place_cuts_max - 1] = {};
    uint64_t later_at[place_cuts_max - 1] = {};
};

// The byte of the chunk where its last run begins (0: it lies in one piece) and where that lies.
void place_last_run(const ChunkPlace* place, uint64_t* from, uint64_t* at);
// The start in the chunk of the run that holds byte `x`, and where that start lies.
void place_run_of(const ChunkPlace* place, uint64_t x, uint64_t* from, uint64_t* at);
// The chunk's bytes from `x` on up to the next cut (or `end`).
uint64_t place_run_end(const ChunkPlace* place, uint64_t x, uint64_t end);

// The image offset of byte `x` of a chunk that lies at `place`.
uint64_t place_offset(const ChunkPlace* place, uint64_t x);

// 1 when two places put a chunk's runs in the same places.
int same_place(const ChunkPlace* a, const ChunkPlace* b);
// 1 when a cluster of `cs` bytes at image offset `c` would reuse bytes of the runs `place` puts in
// front of its cut `depth` (0: the first).
int place_overlaps(const ChunkPlace* place, uint32_t depth, uint64_t c, uint64_t cs);

// Reads bytes [from, from + n) of a chunk that lies at `place`; 0 when the card does not give them.
int read_placed(std::FILE* src, const ChunkPlace* place, uint64_t from, uint8_t* out, uint64_t n);

// Adds a run to `place` behind its last: the chunk's bytes from `x` on lie from `at`; 0 when it
// holds place_cuts_max cuts already.
int add_run(ChunkPlace* place, uint64_t x, uint64_t at);

// Bytes [from, from + n) of what lies at `place`, as a place of their own; 0 when they are cut more
// often than a place holds.
int place_part(const ChunkPlace* place, uint64_t from, uint64_t n, ChunkPlace* out);

}  // namespace salvage
