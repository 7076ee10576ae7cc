#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "salvage/cut_join.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 512;           // the card's clusters
constexpr uint64_t chunk_file = 100;   // where the chunk starts in the camera's file
const std::vector<uint32_t> sizes = {300, 120, 130, 140, 150, 160, 170, 180, 190, 200, 210, 220};

// The camera's file from its start to a little behind the chunk.
Bytes camera_file()
{
    Bytes f(chunk_file, 0x5A);
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(f, fixture::avc_sample(sizes[i], i == 0));
    f.resize((f.size() / cs + 2) * cs, 0x77);  // sound behind the chunk
    return f;
}

// Foreign bytes that start like the chunk's rest: its first NAL length fits, nothing after it does.
Bytes look_alike(const Bytes& rest)
{
    Bytes b(cs);
    uint32_t x = 12345;
    for (uint8_t& c : b)
        c = uint8_t((x = x * 1103515245 + 12345) >> 16);
    std::memcpy(b.data(), rest.data(), 16);
    return b;
}

struct JoinCase {
    const char* name;
    int planted;       // runs of foreign clusters that start like the chunk's rest: 0, 1 (in the rest's place), 2
    int second_copy;   // a second run holding the rest whole, which a second anchor names
    bool contiguous;   // the chunk lies in one run
    int expect;        // 1: the chunk joined across the first cluster edge inside it
};

TEST(SalvageCutJoin, JoinsOnlyWhatTheStructureProves)
{
    const JoinCase cases[] = {
        {"a cut chunk", 0, 0, false, 1},
        {"a planted look-alike run where the rest should be", 1, 0, false, 0},
        {"two runs both fit", 0, 1, false, 0},
        {"no cut at all", 0, 0, true, 0},
    };
    Bytes file = camera_file();
    uint64_t cut = (chunk_file / cs + 1) * cs;
    Bytes rest(file.begin() + cut, file.end());
    for (const JoinCase& c : cases) {
        // image: the file's first cluster, two foreign clusters, then the rest's run; a second copy
        // of the rest further on
        Bytes image = file;
        if (!c.contiguous) {
            image.resize(cut);
            image.resize(image.size() + 2 * cs, 0x00);
            mkcard::put_bytes(image, c.planted ? look_alike(rest) : rest);
            image.resize(image.size() + (c.planted ? rest.size() - cs : 0), 0x00);
        }
        uint64_t tail_at = c.contiguous ? cut : cut + 2 * cs;
        uint64_t copy_at = image.size();
        if (c.second_copy)
            mkcard::put_bytes(image, rest);
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        uint64_t end = file.size() - cs;  // a piece of the recording behind the chunk, in the rest's run
        salvage::JoinAnchor anchors[2] = {{end, tail_at + (end - cut)}, {end, copy_at + (end - cut)}};
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        salvage::ChunkPlace out{};
        int got = salvage::join_video_chunk(img.f, img.size, &g, chunk_file, chunk_file, &s, codec::Syntax::avc,
                                            anchors, 1 + c.second_copy, &out);
        EXPECT_EQ(got, c.expect) << c.name;
        if (got) {
            EXPECT_EQ(out.cut, cut - chunk_file) << c.name;
            EXPECT_EQ(out.tail, tail_at) << c.name;
            Bytes joined(file.size() - chunk_file - cs);
            ASSERT_TRUE(salvage::read_placed(img.f, &out, 0, joined.data(), joined.size()));
            EXPECT_TRUE(std::equal(joined.begin(), joined.end(), file.begin() + chunk_file)) << c.name;
        }
    }
}

TEST(SalvageCutJoin, SoundJoinsOnlyAcrossTheOneEdgeBetweenItsNeighbours)
{
    image::ImageGeometry g{0, cs, 0};
    struct {
        const char* name;
        salvage::JoinAnchor lo, hi;
        int expect;
        salvage::ChunkPlace place;
    } cases[] = {
        // bytes [600, 1100) of the file: lo at file 550 in image cluster 4, hi at file 1200 in image cluster 9
        {"one edge between", {550, 4 * cs + 38}, {1200, 9 * cs + 176}, 1, {4 * cs + 88, 424, 9 * cs}},
        {"two edges between", {450, 4 * cs + 450}, {1200, 9 * cs + 176}, 0, {}},
        {"the edge at hi: all in lo's run", {550, 4 * cs + 38}, {1024, 9 * cs}, 1, {4 * cs + 88, 0, 0}},
        {"not on the cluster grid", {550, 4 * cs + 39}, {1200, 9 * cs + 176}, 0, {}},
    };
    for (const auto& c : cases) {
        salvage::ChunkPlace out{};
        uint64_t size = c.hi.file == 1024 ? 400 : 500;
        EXPECT_EQ(salvage::join_between(&g, 1 << 20, c.lo, c.hi, 600, size, &out), c.expect) << c.name;
        if (c.expect) {
            EXPECT_EQ(out.at, c.place.at) << c.name;
            EXPECT_EQ(out.cut, c.place.cut) << c.name;
            EXPECT_EQ(out.tail, c.place.tail) << c.name;
        }
    }
}

}  // namespace
