#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "analysis/fingerprint_map.h"
#include "basics/checked_alloc.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

struct Chunk {
    uint64_t offset;
    std::array<uint32_t, 12> sizes;
};

Chunk chunk(uint64_t offset, uint32_t base)
{
    Chunk c{offset, {}};
    for (uint32_t i = 0; i < 12; i++)
        c.sizes[i] = base + i;
    return c;
}

// One clip per entry of `clips`, each with a hand-made video table of 12-sample chunks.
struct Clips {
    std::vector<mp4::MovieInfo> movies;
    std::vector<std::vector<uint32_t>> sizes, counts;
    std::vector<std::vector<uint64_t>> offsets, firsts;
    analysis::ClipList list;
    explicit Clips(const std::vector<std::vector<Chunk>>& clips)
    {
        size_t n = clips.size();
        movies.resize(n), sizes.resize(n), counts.resize(n), offsets.resize(n), firsts.resize(n);
        for (size_t r = 0; r < n; r++) {
            for (const Chunk& c : clips[r]) {
                firsts[r].push_back(sizes[r].size());
                sizes[r].insert(sizes[r].end(), c.sizes.begin(), c.sizes.end());
                counts[r].push_back(12);
                offsets[r].push_back(c.offset);
            }
            mp4::TrackTables& v = movies[r].video;
            v.sample_sizes = sizes[r].data(), v.sample_count = sizes[r].size();
            v.chunk_sample_counts = counts[r].data(), v.chunk_first_sample = firsts[r].data();
            v.chunk_offsets = offsets[r].data(), v.chunk_count = counts[r].size();
            analysis::RecoveryClip clip{};
            clip.clip_number = uint32_t(r + 1);
            clip.movie = &movies[r];
            clip.chunk_count = v.chunk_count;
            clip.chunks = static_cast<analysis::ChunkPlacement*>(basics::xcalloc(v.chunk_count, sizeof(analysis::ChunkPlacement)));
            basics::list_append(&list, clip);
        }
    }
    ~Clips()
    {
        for (size_t i = 0; i < list.count; i++)
            std::free(list.items[i].chunks);
        basics::list_free(&list);
    }
};

struct BoxSpec {
    uint32_t size;
    std::vector<std::pair<uint64_t, Chunk>> at;  // candidate position k and the chunk described there
    bool big_endian_offset = false;
};

Bytes kkad_box(const BoxSpec& b)
{
    // a description may run past a box too small for it: the bytes behind the box hold the rest
    size_t room = b.size < 128 ? 128 : b.size;
    for (auto& d : b.at)
        room = std::max<size_t>(room, 316 + d.first);
    Bytes box = fixture::make_kkad(0, 1, {2024, 1, 1, 0, 0, 0}, {}, uint32_t(room));
    mkcard::set_be32(box.data(), b.size);
    for (auto& [k, c] : b.at) {
        mkcard::set_le64(box.data() + 4 + k, b.big_endian_offset ? __builtin_bswap64(c.offset) : c.offset);
        for (int j = 0; j < 12; j++)
            mkcard::set_be32(box.data() + 81 + k + 21 * j, c.sizes[j]);
    }
    return box;
}

struct Expect {
    uint64_t clip, chunk;
    uint32_t mapped, ambiguous;
    int box;  // index of the mapping box, -1 for none
    int32_t hit_count;
};

// Lays the boxes out from offset 100 with 64 zero bytes behind each, one marker per box, and maps
// the clips' chunks; returns what the mapping printed. The image must come out unchanged.
std::string run_mapping(const std::vector<BoxSpec>& boxes, Clips* clips, std::vector<uint64_t>* box_at)
{
    Bytes image(100, 0);
    analysis::MarkerList markers;
    for (const BoxSpec& plan : boxes) {
        box_at->push_back(image.size() + 4);
        analysis::KkadMarker m{};
        m.marker_offset = box_at->back();
        basics::list_append(&markers, m);
        mkcard::put_bytes(image, kkad_box(plan));
        image.resize(image.size() + 64, 0);
    }
    fixture::TempImage file(image);
    testing::internal::CaptureStdout();
    analysis::map_fingerprints(file.f, file.size, &markers, &clips->list);
    std::string out = testing::internal::GetCapturedStdout();
    basics::list_free(&markers);
    return out;
}

Expect unmapped(uint64_t clip, uint64_t chunk) { return {clip, chunk, 0, 0, -1, 0}; }

struct MapCase {
    const char* name;
    std::vector<std::vector<Chunk>> clips;
    std::vector<BoxSpec> boxes;
    std::vector<Expect> expect;
    std::array<int, 5> counts;  // expected, unique, duplicates, mapped, ambiguous
};

TEST(AnalysisFingerprint, MappingKkadBoxes)
{
    Chunk a = chunk(0x1000, 300), b = chunk(0x2000, 500), zero = chunk(0, 0);
    for (uint32_t& s : zero.sizes)
        s = 0;
    Chunk in_header = chunk(0x64616B6B, 700);  // the chunk offset read at k = 0 is "kkad" and 4 zero bytes
    const MapCase cases[] = {
        {"one box maps one chunk", {{a, b}}, {{768, {{76, a}}}}, {{0, 0, 1, 0, 0, 1}, unmapped(0, 1)}, {2, 2, 0, 1, 0}},
        {"the camera's two copies give two hits", {{a, b}}, {{768, {{76, b}, {405, b}}}},
         {{0, 1, 1, 0, 0, 2}, unmapped(0, 0)}, {2, 2, 0, 1, 0}},
        {"one box describing chunks of two clips", {{a}, {b}}, {{768, {{76, b}, {405, a}}}},
         {{1, 0, 1, 0, 0, 2}, {0, 0, 1, 0, 0, 2}}, {2, 2, 0, 2, 0}},
        {"later boxes mark the chunk ambiguous, each counted", {{a}}, {{768, {{76, a}}}, {768, {{76, a}}}, {768, {{76, a}}}},
         {{0, 0, 1, 1, 0, 1}}, {1, 1, 0, 1, 2}},
        {"duplicate chunks cannot be mapped", {{a, a}, {b}}, {{768, {{76, a}, {405, b}}}},
         {unmapped(0, 0), unmapped(0, 1), {1, 0, 1, 0, 0, 1}}, {3, 2, 1, 1, 0}},
        {"big-endian chunk offset does not match", {{a}}, {{768, {{76, a}}, true}}, {unmapped(0, 0)}, {1, 1, 0, 0, 0}},
        {"box of 316 bytes offers k = 0", {{in_header}}, {{316, {{0, in_header}}}}, {{0, 0, 1, 0, 0, 1}}, {1, 1, 0, 1, 0}},
        {"box of 315 bytes is skipped", {{in_header}}, {{315, {{0, in_header}}}}, {unmapped(0, 0)}, {1, 1, 0, 0, 0}},
        {"size field 0 is skipped", {{a}}, {{0, {{76, a}}}}, {unmapped(0, 0)}, {1, 1, 0, 0, 0}},
        {"box over 64 KiB is skipped", {{a}}, {{65537, {{76, a}}}}, {unmapped(0, 0)}, {1, 1, 0, 0, 0}},
        {"box of exactly 64 KiB is read", {{a}}, {{65536, {{65000, a}}}}, {{0, 0, 1, 0, 0, 1}}, {1, 1, 0, 1, 0}},
        {"hits beyond 256 are dropped", {{zero, b}}, {{1100, {{784, b}}}}, {{0, 0, 1, 0, 0, 256}, unmapped(0, 1)},
         {2, 2, 0, 1, 0}},
        {"no clips: boxes are still read", {}, {{768, {{76, a}}}}, {}, {0, 0, 0, 0, 0}},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.name);
        Clips clips(c.clips);
        std::vector<uint64_t> box_at;
        std::string out = run_mapping(c.boxes, &clips, &box_at);
        char head[160], tail[80];
        std::snprintf(head, sizeof head,
                      "\n[4/6] Global kkad fingerprint mapping...\nGlobal fingerprints: expected=%d unique=%d "
                      "duplicates=%d profile=12 samples/chunk\n",
                      c.counts[0], c.counts[1], c.counts[2]);
        std::snprintf(tail, sizeof tail, "  expected=%d mapped=%d ambiguous=%d\n", c.counts[0], c.counts[3], c.counts[4]);
        EXPECT_EQ(out.rfind(head, 0), 0u) << c.name << ": " << out;
        ASSERT_GE(out.size(), std::strlen(tail)) << c.name;
        EXPECT_EQ(out.substr(out.size() - std::strlen(tail)), tail) << c.name;
        for (const Expect& e : c.expect) {
            const analysis::ChunkPlacement& p = clips.list.items[e.clip].chunks[e.chunk];
            std::string where = std::string(c.name) + ", clip " + std::to_string(e.clip) + " chunk " + std::to_string(e.chunk);
            EXPECT_EQ(p.mapped, e.mapped) << where;
            EXPECT_EQ(p.ambiguous, e.ambiguous) << where;
            EXPECT_EQ(p.kkad_offset, e.box < 0 ? 0 : box_at[e.box]) << where;
            EXPECT_EQ(p.kkad_size, e.box < 0 ? 0 : c.boxes[e.box].size) << where;
            EXPECT_EQ(p.hit_count, e.hit_count) << where;
        }
    }
}

}  // namespace
