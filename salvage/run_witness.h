#pragma once
// What shows that a run of clusters behind a cut holds the rest of a video chunk. Payload has no
// structure: any bytes pass for it, so only a sample's delimiter and its units' length fields and
// headers, read in the run and walking exactly to the sample's size, vouch for the run.
#include <cstdint>

#include "codec/nal_units.h"
#include "image/exfat_detect.h"
#include "salvage/cut_join.h"

namespace salvage {

// Sample [b, b + n) of a chunk, intact where the run that holds the chunk's bytes from `from` on
// puts it (its bytes in front of `from` from the run before the cut). 1 when the run's bytes show
// the sample's structure: it begins in the run, or it began in front of the cut and a whole length
// field of it lies in the run. `shown` is then the first byte of the chunk where a later cut may
// fall without cutting what the run showed: behind the last unit's header of a sample that
// begins in the run (the rest of that unit is payload), behind the sample that crosses the cut.
int run_witness(const uint8_t* sample, uint64_t n, uint64_t b, uint64_t from, int hevc, uint64_t* shown);

// Sample [b, b + n) of a chunk, at file offset `file`, that begins in the run and does not walk
// intact there, its first `known` bytes read from the run: the run may end inside its last unit's
// payload. 1 when the bytes up to one of the cluster edges inside it (of `cs` bytes) show the
// sample as the camera writes it (units_shown), `shown` then the chunk's byte behind the last
// unit's header: a later cut falls behind it.
int run_witness_cut(const uint8_t* sample, uint64_t known, uint64_t n, uint64_t b, uint64_t file, uint64_t cs,
                    codec::Syntax syntax, uint64_t* shown);

// Clusters a layout is followed through, round the heap's end: a run further on is not looked for.
constexpr uint64_t layout_clusters_max = 256;

// Two files written at once take the heap's clusters in turn, each the next one free. 1 when the
// run at image offset `c` is where that layout puts the file's bytes from `cut` (a cluster edge in
// the camera's file) on, behind the run that ends at `head_end`: every cluster from `head_end` up to
// `c` holds a located piece of another recording (`window`; none when `c` is `head_end`: the run
// goes on), and the clusters from `c` on that no such piece holds, taken in the heap's order, put
// `next` (the recording's next located piece, behind `cut`) exactly where it lies. Payload that no
// walk places is placed so.
int layout_puts_run(const image::ImageGeometry* geometry, uint64_t image_size, const JoinWindow* window,
                    uint64_t head_end, uint64_t cut, uint64_t c, JoinAnchor next);

// The first cluster from the one at `head_end` on, round the heap's end, that no located piece of
// another recording holds, when one at least does (the run in front ends at `head_end`); its image
// offset, or UINT64_MAX.
uint64_t first_cluster_left(const image::ImageGeometry* geometry, uint64_t image_size, const JoinWindow* window,
                            uint64_t head_end);

}  // namespace salvage
