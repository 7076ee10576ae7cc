#include <gtest/gtest.h>

#include <string>

#include "codec/nal_units.h"
#include "analysis/chunk_locate.h"
#include "analysis/window_reuse.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

// A sample made of units with the given first bytes; each unit is `unit_len` bytes long.
Bytes units(const std::vector<uint8_t>& first_bytes, uint32_t unit_len = 3)
{
    Bytes b;
    for (uint8_t f : first_bytes) {
        mkcard::put_be32(b, unit_len);
        b.push_back(f);
        b.resize(b.size() + unit_len - 1, 0x01);  // an HEVC header's second byte: base layer, temporal id 0
    }
    return b;
}

Bytes plus(Bytes b, const Bytes& more)
{
    mkcard::put_bytes(b, more);
    return b;
}

struct SampleCase {
    const char* name;
    Bytes sample;
    const char* format;
    int ok;
};

TEST(AnalysisChunkLocate, SampleStructure)
{
    Bytes header_only = units({0x67, 0x68, 0x06});
    const SampleCase cases[] = {
        {"AVC parameter sets and SEI only", header_only, "avc1", 0},
        {"AVC with a type-1 slice", plus(header_only, units({0x41})), "avc1", 1},
        {"AVC with an IDR slice", plus(header_only, units({0x65})), "avc3", 1},
        {"empty type follows AVC rules", header_only, "", 0},
        {"empty type with a slice", units({0x09, 0x25}), "", 1},
        {"AVC NAL type 0 fails the sample", units({0x41, 0x00}), "avc1", 0},
        {"AVC NAL type 24", units({0x41, 0x18}), "avc1", 0},
        {"AVC NAL type 31", units({0x41, 0x1F}), "avc1", 0},
        {"4,096 units", units(std::vector<uint8_t>(4096, 0x41), 1), "avc1", 1},
        {"4,097 units", units(std::vector<uint8_t>(4097, 0x41), 1), "avc1", 0},
        {"units end one byte short", plus(units({0x41}), {0}), "avc1", 0},
        {"unit of length 0", plus(units({0x41}), {0, 0, 0, 0}), "avc1", 0},
        {"unit longer than the sample", {0, 0, 0, 9, 0x41, 0, 0}, "avc1", 0},
        {"empty sample", {}, "avc1", 0},
        {"HEVC slice", units({0x46, 0x02}), "hvc1", 1},
        {"HEVC parameter sets only", units({0x40, 0x42, 0x44}), "hev1", 0},
        {"HEVC unit of length 1", plus(units({0x02}), units({0x02}, 1)), "hvc1", 0},
        {"other type: any walk", units({0x00, 0xFF}), "mp4v", 1},
        {"other type: broken walk", {0, 0, 0, 0}, "mp4v", 0},
    };
    for (const SampleCase& c : cases)
        EXPECT_EQ(codec::sample_structure_ok(c.sample.data(), c.sample.size(), codec::syntax_of(c.format)), c.ok) << c.name;
}

// Twelve AVC samples of the given sizes, each an access-unit delimiter and a slice.
Bytes avc_chunk(const std::vector<uint32_t>& sizes)
{
    Bytes b;
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(b, fixture::avc_sample(sizes[i], i == 0));
    return b;
}

Bytes hevc_chunk(const std::vector<uint32_t>& sizes)
{
    Bytes b;
    for (uint32_t s : sizes) {
        Bytes sample = {0, 0, 0, 3, 0x46, 0x01, 0x50};
        mkcard::put_be32(sample, s - 11);
        sample.insert(sample.end(), {0x02, 0x01});  // a trailing picture of the base layer
        sample.resize(s, 0x33);
        mkcard::put_bytes(b, sample);
    }
    return b;
}

const std::vector<uint32_t> sizes12 = {300, 120, 130, 140, 150, 160, 170, 180, 190, 200, 210, 220};

struct VerifyCase {
    const char* name;
    uint64_t offset;
    std::vector<uint32_t> sizes;
    int ok;
    uint32_t fixed = 0;  // with `fixed_count`: every sample this size, no table
    uint64_t fixed_count = 0;
};

TEST(AnalysisChunkLocate, VerifyChunkAt)
{
    Bytes image(4096, 0);
    Bytes chunk = avc_chunk(sizes12);
    std::copy(chunk.begin(), chunk.end(), image.begin() + 1000);
    Bytes equal = avc_chunk({200, 200, 200, 200});
    std::copy(equal.begin(), equal.end(), image.begin() + 100);
    std::vector<uint32_t> zero_sizes(12, 0);
    const VerifyCase cases[] = {
        {"at its position", 1000, sizes12, 1},
        {"one byte later", 1001, sizes12, 0},
        {"running past the image end", 4000, sizes12, 0},
        {"no samples at the image end", 4096, {}, 1},
        {"no samples past the image end", 4097, {}, 0},
        {"samples of size 0", 1000, zero_sizes, 0},
        {"a sample over 256 MiB", 1000, {0x10000001}, 0},
        {"four samples of one fixed size", 100, {}, 1, 200, 4},
        {"one fixed size, one sample too many", 100, {}, 0, 200, 5},
    };
    fixture::TempImage file(image);
    for (const VerifyCase& c : cases) {
        mp4::SampleSizes sizes = c.fixed ? mp4::SampleSizes{nullptr, c.fixed, c.fixed_count} : fixture::stored_sizes(c.sizes);
        EXPECT_EQ(analysis::verify_chunk_at(file.f, file.size, c.offset, &sizes, "avc1"), c.ok) << c.name;
    }
}

struct WindowCase {
    const char* name;
    uint64_t image_size;
    std::vector<uint64_t> copies;  // where the chunk lies; the start of a copy always lies at 1000 first
    uint64_t centre, back, forward;
    int ok;
    uint64_t found;
};

TEST(AnalysisChunkLocate, WindowSearchTakesTheLowestPosition)
{
    const uint64_t mib = 1048576, big = 5 * mib + 4096;
    const WindowCase cases[] = {
        {"both copies in the window", 20000, {3000, 9000}, 12000, 12000, 1000, 1, 3000},
        {"back beyond the image start", 20000, {3000, 9000}, 100, 50000, 12000, 1, 3000},
        {"window starting after the first copy", 20000, {3000, 9000}, 9000, 5999, 100, 1, 9000},
        {"copy starting 5 bytes before the window end", 20000, {3000, 9000}, 2995, 0, 10, 1, 3000},
        {"copy starting 4 bytes before the window end", 20000, {3000, 9000}, 2995, 0, 9, 0, 0},
        {"forward beyond the image end", 20000, {3000, 9000}, 8000, 10, ~0ull, 1, 9000},
        {"empty window", 20000, {3000, 9000}, 0, 0, 0, 0, 0},
        // wide windows are read in segments of 2 MiB
        {"copy straddling the end of the first segment", big, {2 * mib - 3, 3 * mib}, 0, 0, 5 * mib, 1, 2 * mib - 3},
        {"copy at the start of the second segment", big, {2 * mib, 3 * mib}, 0, 0, 5 * mib, 1, 2 * mib},
        {"copy one byte into the second segment", big, {2 * mib + 1}, 0, 0, 5 * mib, 1, 2 * mib + 1},
        {"copy starting 5 bytes before a far window end", big, {4 * mib + 7}, 0, 0, 4 * mib + 12, 1, 4 * mib + 7},
        {"copy starting 4 bytes before a far window end", big, {4 * mib + 8}, 0, 0, 4 * mib + 12, 0, 0},
    };
    for (int reuse = 0; reuse < 2; reuse++)
    for (const char* format : {"avc1", "hvc1"}) {
        Bytes chunk = std::string(format) == "hvc1" ? hevc_chunk(sizes12) : avc_chunk(sizes12);
        for (const WindowCase& c : cases) {
            SCOPED_TRACE(std::string(format) + (reuse ? ", held window: " : ": ") + c.name);
            Bytes image(c.image_size, 0);
            std::copy(chunk.begin(), chunk.begin() + 400, image.begin() + 1000);  // its delimiter, but no chunk
            for (uint64_t at : c.copies)
                std::copy(chunk.begin(), chunk.end(), image.begin() + at);
            fixture::TempImage file(image);
            if (reuse)
                analysis::begin_window_reuse(file.f);
            uint64_t out = 77;
            mp4::SampleSizes sizes = fixture::stored_sizes(sizes12);
            int ok = analysis::find_chunk_in_window(file.f, file.size, c.centre, c.back, c.forward, &sizes, format, &out);
            EXPECT_EQ(ok != 0, c.ok != 0);
            EXPECT_EQ(out, c.ok ? c.found : 77);
            analysis::release_read_buffers();
        }
    }
}

struct LocateCase {
    const char* name;
    analysis::ChunkPlacement place;
    uint64_t chunk_index;
    int ok;
};

TEST(AnalysisChunkLocate, LocateChunkSearchDistances)
{
    const uint64_t at = 0x1100000;  // the chunk's image offset
    Bytes image(at + 0x1100000, 0);
    Bytes chunk = avc_chunk(sizes12);
    std::copy(chunk.begin(), chunk.end(), image.begin() + at);
    std::vector<uint32_t> counts = {12};
    std::vector<uint64_t> firsts = {0}, offsets = {0x40};
    mp4::MovieInfo movie{};
    std::memcpy(movie.video.format, "avc1", 5);
    movie.video.sample_sizes = const_cast<uint32_t*>(sizes12.data());
    movie.video.sample_count = 12;
    movie.video.chunk_sample_counts = counts.data();
    movie.video.chunk_first_sample = firsts.data();
    movie.video.chunk_offsets = offsets.data();
    movie.video.chunk_count = 1;
    auto mapped = [](uint64_t kkad, int32_t hits) {
        analysis::ChunkPlacement p{};
        p.mapped = 1, p.kkad_offset = kkad, p.hit_count = hits;
        return p;
    };
    analysis::ChunkPlacement resolved{};
    resolved.resolved = 1, resolved.data_offset = at;
    analysis::ChunkPlacement resolved_wrong = resolved;
    resolved_wrong.data_offset = at + 1;
    const LocateCase cases[] = {
        {"one hit: 64 KiB before the box", mapped(at + 0x10000, 1), 0, 1},
        {"one hit: 64 KiB and one byte before", mapped(at + 0x10001, 1), 0, 0},
        {"one hit: 1 MiB after the box", mapped(at - 0x100000 + 5, 1), 0, 1},
        {"one hit: beyond 1 MiB after", mapped(at - 0x100000 + 4, 1), 0, 0},
        {"two hits: 16 MiB before the box", mapped(at + 0x1000000, 2), 0, 1},
        {"two hits: 16 MiB after the box", mapped(at - 0x1000000 + 5, 2), 0, 1},
        {"two hits: beyond 16 MiB before", mapped(at + 0x1000001, 2), 0, 0},
        {"resolved position verified", resolved, 0, 1},
        {"resolved position that does not verify", resolved_wrong, 0, 0},
        {"neither mapped nor resolved", analysis::ChunkPlacement{}, 0, 0},
        {"chunk index beyond the track", mapped(at, 1), 1, 0},
    };
    fixture::TempImage file(image);
    for (const LocateCase& c : cases) {
        analysis::ChunkPlacement chunks[2] = {c.place, c.place};
        uint64_t out = 0;
        EXPECT_EQ(analysis::locate_chunk(file.f, file.size, &movie, chunks, c.chunk_index, &out) != 0, c.ok != 0)
            << c.name;
        if (c.ok) {
            EXPECT_EQ(out, at) << c.name;
        }
    }
    analysis::release_read_buffers();
}

}  // namespace
