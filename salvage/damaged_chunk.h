#pragma once
// What is left of a video chunk that overwritten clusters, or the end of the image, cut short:
// its leading samples, each checked as the camera writes samples, up to the first that fails.
#include <cstdint>

#include "codec/nal_units.h"
#include "image/exfat_detect.h"
#include "mp4/sample_tables.h"
#include "salvage/chunk_descriptions.h"
#include "salvage/salvage_chunks.h"

namespace salvage {

// 1 when the sample starts with a delimiter, its units fill it with headers the camera writes
// and holding no byte sequence the coding never writes inside a unit.
int sample_intact(const uint8_t* sample, uint64_t len, codec::Syntax syntax);
// 1 when the samples `sizes` (one after another from the first of the `size` bytes) all fit in
// them and each is intact.
int samples_intact(const uint8_t* bytes, uint64_t size, const mp4::SampleSizes* sizes, codec::Syntax syntax);

// The chunk's leading samples that are the camera's, from `bytes`, the `have` bytes of the chunk
// the image holds at `image_offset` (fewer than the chunk's when the image ends inside it). A
// sample right before one that fails keeps its place only when its tail cannot be foreign: the
// image ends behind it, or the next sample's delimiter stands intact behind it, or no cluster
// boundary falls inside its last unit. Overwritten clusters start at a boundary, and foreign
// bytes from there on may replace the end of the last unit and keep its length.
uint64_t leading_camera_samples(const uint8_t* bytes, uint64_t have, const mp4::SampleSizes* sizes,
                                codec::Syntax syntax, uint64_t image_offset, const image::ImageGeometry* geometry);

// Reads the bytes of a chunk of `size` bytes at `at` that the card gives, up to the end of the
// image or the first byte it did not give, into the direct-read buffer; how many (0: none).
uint64_t read_chunk_start(std::FILE* image, uint64_t image_size, uint64_t at, uint64_t size);

// A described chunk that did not verify as a whole, where the interleave puts it behind the
// chunk before it: the samples in front of the damage (or of the image end), each checked.
int damaged_chunk_at(const RecordingScope* r, const Described* d, uint64_t at, SalvageChunk* out);

}  // namespace salvage
