#include <gtest/gtest.h>

#include <vector>

#include "salvage/chunk_claims.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 4096, sample = 300, samples = 12, bytes = samples * sample;

// A chunk of twelve 300-byte samples found whole in one run at `at`: the walk of its last sample
// reads the delimiter and the slice's length field, its first ten bytes. A cluster edge behind
// them inside the chunk may be a fragment boundary no walk sees; one in front of them may not.
TEST(SalvageChunkClaims, TheLastUnitsPayloadIsShownOnlyUpToAClusterEdge)
{
    struct {
        const char* name;
        uint64_t at;
        uint32_t sound_follows;
        uint64_t walked;  // of the chunk's bytes
        uint64_t shown;
    } cases[] = {
        {"no edge inside the chunk", 200, 0, bytes, bytes},
        {"an edge inside the last slice's payload", 600, 0, bytes, cs - 600},
        {"an edge right behind the last length field", cs - (bytes - sample + 10), 0, bytes, bytes - sample + 10},
        {"an edge inside the sample before the last", 800, 0, bytes, bytes},
        {"the chunk ends on the edge", cs - bytes, 0, bytes, bytes},
        {"its sound placed behind it", 600, 1, bytes, bytes},
        {"walked only part of the way", 600, 0, bytes - sample, bytes - sample},
    };
    for (const auto& c : cases) {
        Bytes image(3 * cs, 0);
        for (uint64_t i = 0; i < samples; i++) {
            Bytes s = fixture::avc_sample(sample, i == 0);
            std::copy(s.begin(), s.end(), image.begin() + c.at + i * sample);
        }
        fixture::TempImage img(image, c.name);
        salvage::SalvageChunk chunk = {};
        chunk.image_offset = c.at;
        chunk.samples = samples;
        for (uint64_t i = 0; i < samples; i++)
            chunk.sizes[i] = sample;
        chunk.full_bytes = bytes;
        chunk.sound_follows = c.sound_follows;
        const image::ImageGeometry g{0, cs, 0};
        EXPECT_EQ(salvage::chunk_bytes_shown(img.f, img.size, &g, &chunk, c.walked), c.shown) << c.name;
    }
}

}  // namespace
