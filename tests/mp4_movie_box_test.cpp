#include <gtest/gtest.h>

#include "mp4/movie_box.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;
using fixture::box;
using fixture::full;

namespace {

Bytes stsz(uint32_t fixed, uint32_t count, const std::vector<uint32_t>& sizes = {})
{
    Bytes b = full(0, {fixed, count});
    for (uint32_t s : sizes)
        mkcard::put_be32(b, s);
    return box("stsz", b);
}

Bytes stsc(const std::vector<std::pair<uint32_t, uint32_t>>& entries, uint32_t declared = 0)
{
    Bytes b = full(0, {declared ? declared : uint32_t(entries.size())});
    for (auto [first, per] : entries)
        mkcard::put_be32(b, first), mkcard::put_be32(b, per), mkcard::put_be32(b, 1);
    return box("stsc", b);
}

Bytes offsets(const char* type, const std::vector<uint64_t>& values, uint32_t declared = 0)
{
    Bytes b = full(0, {declared ? declared : uint32_t(values.size())});
    for (uint64_t v : values)
        std::strcmp(type, "co64") == 0 ? mkcard::put_be64(b, v) : mkcard::put_be32(b, uint32_t(v));
    return box(type, b);
}

Bytes trak(const std::vector<Bytes>& stbl_children, bool with_mdia = true)
{
    Bytes hdlr = full(0, {0});
    mkcard::put_text(hdlr, "vide"), hdlr.resize(25);
    if (!with_mdia)
        return box("trak", box("free", Bytes(8)));
    return box("trak", box("mdia", fixture::boxes({box("hdlr", hdlr), box("minf", box("stbl", fixture::boxes(stbl_children)))})));
}

std::vector<uint64_t> many(size_t n) { return std::vector<uint64_t>(n, 0x100); }

std::vector<std::pair<uint32_t, uint32_t>> one_per_chunk(uint32_t n)
{
    std::vector<std::pair<uint32_t, uint32_t>> e;
    for (uint32_t i = 1; i <= n; i++)
        e.push_back({i, 1});
    return e;
}

// Entries that each reach back over nearly every chunk: within every limit, but a fill chunk by
// chunk per entry would take 5 * 10^12 steps.
std::vector<std::pair<uint32_t, uint32_t>> reaching_back(uint32_t pairs, uint32_t chunks)
{
    std::vector<std::pair<uint32_t, uint32_t>> e;
    for (uint32_t i = 0; i < pairs; i++)
        e.push_back({1, 1}), e.push_back({chunks, 1});
    return e;
}

struct TrackCase {
    const char* name;
    Bytes trak;
    int ok;
    uint64_t sample_count = 0;
    std::vector<uint32_t> chunk_samples = {};
    uint64_t first_offset = 0;
    std::vector<uint64_t> chunk_sizes = {};  // bytes per chunk, checked when given
};

TEST(Mp4MovieBox, ParseTrackTables)
{
    const std::vector<uint32_t> s5 = {1, 2, 3, 4, 5};
    const TrackCase cases[] = {
        {"one stsc entry over 10 chunks", trak({stsz(7, 120), stsc({{1, 12}}), offsets("stco", many(10))}),
         1, 120, std::vector<uint32_t>(10, 12), 0x100},
        {"two entries over 4 chunks", trak({stsz(7, 36), stsc({{1, 12}, {3, 6}}), offsets("stco", many(4))}), 1, 36,
         {12, 12, 6, 6}, 0x100},
        {"entry not below the next first chunk is skipped",
         trak({stsz(7, 36), stsc({{1, 12}, {3, 5}, {3, 6}}), offsets("stco", many(4))}), 1, 36, {12, 12, 6, 6}, 0x100},
        {"a later entry reaching back wins over the chunks it covers",
         trak({stsz(7, 14), stsc({{1, 2}, {3, 9}, {2, 4}}), offsets("stco", many(4))}), 1, 14, {2, 4, 4, 4}, 0x100},
        {"chunks before the first entry keep 0 samples", trak({stsz(7, 12), stsc({{2, 12}}), offsets("stco", many(2))}),
         1, 12, {0, 12}, 0x100},
        {"default size needs no table", trak({stsz(9, 5), stsc({{1, 5}}), offsets("stco", {0x40})}), 1, 5, {5}, 0x40, {45}},
        {"table sizes summed per chunk", trak({stsz(0, 5, s5), stsc({{1, 3}, {2, 2}}), offsets("stco", {0x40, 0x80})}), 1,
         5, {3, 2}, 0x40, {6, 9}},
        {"co64 wins over stco",
         trak({stsz(9, 5), stsc({{1, 5}}), offsets("stco", {0x40}), offsets("co64", {0x123456789ull})}), 1, 5, {5},
         0x123456789ull},
        {"no mdia", trak({}, false), 0},
        {"no stsz gives an empty table", trak({stsc({{1, 12}}), offsets("stco", {1})}), 1},
        {"no chunk offsets gives an empty table", trak({stsz(7, 12), stsc({{1, 12}})}), 1},
        {"first chunk 0", trak({stsz(7, 12), stsc({{0, 12}}), offsets("stco", {1})}), 0},
        {"chunk samples overrun the sample count", trak({stsz(7, 20), stsc({{1, 12}}), offsets("stco", many(2))}), 0},
        {"chunk samples short of the sample count", trak({stsz(7, 25), stsc({{1, 12}}), offsets("stco", many(2))}), 0},
        {"size table cut short", trak({stsz(0, 6, s5), stsc({{1, 6}}), offsets("stco", {1})}), 0},
        {"sample count 0", trak({stsz(7, 0), stsc({{1, 12}}), offsets("stco", {1})}), 0},
        {"chunk count 0", trak({stsz(7, 12), stsc({{1, 12}}), offsets("stco", {})}), 0},
        {"stsc entry count 0", trak({stsz(7, 12), stsc({}), offsets("stco", {1})}), 0},
        {"stsc entries declared beyond the box", trak({stsz(7, 12), stsc({{1, 12}}, 2), offsets("stco", {1})}), 0},
        {"chunk offsets declared beyond the box", trak({stsz(7, 12), stsc({{1, 12}}), offsets("stco", {1}, 2)}), 0},
        {"a size table of 100,000,001 samples", trak({stsz(0, 100000001), stsc({{1, 12}}), offsets("stco", {1})}), 0},
        {"an hour of sound: 172,800,000 samples of one size",
         trak({stsz(4, 172800000), stsc({{1, 23040}}), offsets("stco", many(7500))}), 1, 172800000,
         {23040, 23040}, 0x100, {92160, 92160}},
        {"10,000,000 chunks", trak({stsz(1, 10000000), stsc({{1, 1}}), offsets("stco", many(10000000))}), 1, 10000000,
         {1, 1}, 0x100},
        {"1,000,000 stsc entries", trak({stsz(1, 1000000), stsc(one_per_chunk(1000000)), offsets("stco", many(1000000))}),
         1, 1000000, {}, 0x100},
        {"1,000,001 stsc entries", trak({stsz(1, 1000001), stsc(one_per_chunk(1000001)), offsets("stco", many(1000001))}),
         0},
        {"1,000,000 entries reaching back over 10,000,000 chunks",
         trak({stsz(1, 10000000), stsc(reaching_back(500000, 10000000)), offsets("stco", many(10000000))}), 1, 10000000,
         {1, 1}, 0x100},
        {"10,000,001 chunks", trak({stsz(1, 10000001), stsc({{1, 1}}), offsets("stco", many(10000001))}), 0},
    };
    for (const TrackCase& c : cases) {
        mp4::BoxHeader h{};
        ASSERT_EQ(mp4::read_box_header_mem(c.trak.data(), c.trak.size(), 0, &h), 1) << c.name;
        mp4::TrackTables t;
        std::memset(&t, 0xAB, sizeof t);
        EXPECT_EQ(mp4::parse_track(c.trak.data(), c.trak.size(), &h, &t), c.ok) << c.name;
        EXPECT_EQ(t.sample_count, c.sample_count) << c.name;
        if (!c.ok || t.fixed_sample_size) {
            EXPECT_EQ(t.sample_sizes, nullptr) << c.name;
        }
        if (c.ok && c.sample_count) {
            EXPECT_STREQ(t.handler, "vide") << c.name;
            for (size_t i = 0; i < c.chunk_samples.size(); i++)
                EXPECT_EQ(t.chunk_sample_counts[i], c.chunk_samples[i]) << c.name << " chunk " << i;
            EXPECT_EQ(t.chunk_offsets[0], c.first_offset) << c.name;
            uint64_t next = 0;
            for (uint64_t k = 0; k < t.chunk_count; k++) {
                EXPECT_EQ(t.chunk_first_sample[k], next) << c.name;
                next += t.chunk_sample_counts[k];
            }
            EXPECT_EQ(next, t.sample_count) << c.name;
            for (size_t i = 0; i < c.chunk_sizes.size(); i++)
                EXPECT_EQ(t.chunk_sizes[i], c.chunk_sizes[i]) << c.name << " chunk " << i;
        }
        mp4::free_track_tables(&t);
    }
}

struct MovieCase {
    const char* name;
    uint32_t creation;
    std::vector<mkcard::TrackKind> kinds;
    int ok;
    uint32_t has_audio, has_other, has_time;
    uint64_t creation_unix;
    const char* other_handler;
};

TEST(Mp4MovieBox, ParseMovieFromTheImage)
{
    using enum mkcard::TrackKind;
    const MovieCase cases[] = {
        {"sound only adds no record", 3900000000u, {sound}, 0, 0, 0, 0, 0, ""},
        {"video, sound and metadata", 3900000000u, {video, sound, metadata}, 1, 1, 1, 1, 3900000000u - 2082844800u, "meta"},
        {"second video becomes other", 3900000000u, {video, video, metadata}, 1, 0, 1, 1, 3900000000u - 2082844800u, "vide"},
        {"creation time 0", 0, {video}, 1, 0, 0, 0, 0, ""},
        {"creation time at the Unix epoch", 2082844800u, {video}, 1, 0, 0, 1, 0, ""},
    };
    for (const MovieCase& c : cases) {
        std::vector<Bytes> traks;
        for (mkcard::TrackKind kind : c.kinds)
            traks.push_back(fixture::make_trak(kind, 12, 12, {0x40}, 100));
        Bytes image(100, 0);
        mkcard::put_bytes(image, fixture::make_moov(c.creation, traks));
        image.resize(image.size() + 50, 0);
        fixture::TempImage file(image, c.name);
        mp4::MovieInfo m;
        std::memset(&m, 0, sizeof m);
        EXPECT_EQ(mp4::parse_movie(file.f, file.size, 104, &m), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(m.moov_offset, 100u) << c.name;
            EXPECT_EQ(m.has_video, 1u) << c.name;
            EXPECT_EQ(m.has_audio, c.has_audio) << c.name;
            EXPECT_EQ(m.has_other, c.has_other) << c.name;
            EXPECT_EQ(m.has_creation_time, c.has_time) << c.name;
            EXPECT_EQ(m.creation_unix, c.creation_unix) << c.name;
            EXPECT_STREQ(m.other.handler, c.other_handler) << c.name;
            EXPECT_EQ(std::memcmp(m.moov_bytes, image.data() + 100, m.moov_size), 0) << c.name;
            EXPECT_EQ(m.video.sample_count, 12u) << c.name;
        }
        mp4::free_movie_info(&m);
    }
}

}  // namespace
