#include <gtest/gtest.h>

#include "analysis/candidates.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

struct MarkerCase {
    const char* name;
    Bytes box;
    int ok;
    uint32_t has_time;
    uint64_t time_unix;
    uint32_t year;
};

Bytes kkad(fixture::Date d) { return fixture::make_kkad(7, 0xA1B2C3D4, d, {}); }

Bytes with(Bytes b, size_t at, uint8_t value)
{
    b[at] = value;
    return b;
}

TEST(AnalysisCandidates, KkadMarkers)
{
    Bytes good = kkad({2024, 2, 29, 12, 34, 56});
    const MarkerCase cases[] = {
        {"leap day", good, 1, 1, 1709210096, 2024},
        {"epoch gives 0 with a time", kkad({1970, 1, 1, 0, 0, 0}), 1, 1, 0, 1970},
        {"second 60 is accepted", kkad({2024, 2, 29, 12, 34, 60}), 1, 1, 1709210100, 2024},
        {"year 2201 keeps the marker without a time", kkad({2201, 1, 1, 0, 0, 0}), 1, 0, 0, 0},
        {"year 1899", kkad({1899, 12, 31, 0, 0, 0}), 1, 0, 0, 0},
        {"month 0", kkad({2024, 0, 1, 0, 0, 0}), 1, 0, 0, 0},
        {"day 32", kkad({2024, 1, 32, 0, 0, 0}), 1, 0, 0, 0},
        {"hour 24", kkad({2024, 1, 1, 24, 0, 0}), 1, 0, 0, 0},
        {"day 31 of February is not checked against the month", kkad({2023, 2, 31, 0, 0, 0}), 1, 1, 1677801600, 2023},
        {"letter among the digits", with(good, 27, 'x'), 0, 0, 0, 0},
        {"F0 04 instead of F0 03", with(good, 37, 0x04), 0, 0, 0, 0},
        {"F1 03", with(good, 36, 0xF1), 0, 0, 0, 0},
        {"only 127 bytes from the type to the image end", Bytes(good.begin(), good.begin() + 131), 0, 0, 0, 0},
        {"exactly 128 bytes from the type to the image end", Bytes(good.begin(), good.begin() + 132), 1, 1, 1709210096, 2024},
    };
    for (const MarkerCase& c : cases) {
        Bytes image(64, 0);
        mkcard::put_bytes(image, c.box);
        fixture::TempImage file(image, c.name);
        analysis::KkadMarker m{};
        EXPECT_EQ(analysis::validate_marker(file.f, file.size, 68, &m), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(m.marker_offset, 68u) << c.name;
            EXPECT_EQ(m.sequence, 7u) << c.name;
            EXPECT_EQ(m.tag, 0xA1B2C3D4u) << c.name;
            EXPECT_EQ(m.has_time, c.has_time) << c.name;
            EXPECT_EQ(m.time_unix, c.time_unix) << c.name;
            EXPECT_EQ(m.year, c.year) << c.name;
            if (!c.has_time) {
                EXPECT_EQ(m.month + m.day + m.hour + m.minute + m.second, 0u) << c.name;
            }
        }
    }
}

Bytes ftyp(uint32_t size, const char* brand)
{
    Bytes b;
    mkcard::put_be32(b, size);
    mkcard::put_text(b, "ftyp");
    mkcard::put_text(b, brand);
    b.resize(size < 12 ? 12 : size, 0);
    return b;
}

// ftyp, `between` free boxes of `free_size` bytes, then mdat.
Bytes clip(uint32_t ftyp_size, const char* brand, int between, uint32_t free_size)
{
    Bytes b(16, 0);
    mkcard::put_bytes(b, ftyp(ftyp_size, brand));
    for (int i = 0; i < between; i++)
        mkcard::put_bytes(b, fixture::box("free", Bytes(free_size - 8, 0)));
    mkcard::put_bytes(b, fixture::box("mdat", Bytes(64, 0)));
    return b;
}

TEST(AnalysisCandidates, ClipHeaders)
{
    const uint32_t four_mib = 4194304;
    struct Case {
        const char* name;
        Bytes image;
        int ok;
        uint64_t mdat_offset;
    } cases[] = {
        {"ftyp then mdat", clip(24, "XAVC", 0, 8), 1, 40},
        {"other brand", clip(24, "mp42", 0, 8), 0, 0},
        {"ftyp of 15 bytes", clip(15, "XAVC", 0, 8), 0, 0},
        {"ftyp of 16 bytes", clip(16, "XAVC", 0, 8), 1, 32},
        {"mdat as the twelfth header read", clip(24, "XAVC", 10, 8), 1, 40 + 80},
        {"mdat as the thirteenth header read", clip(24, "XAVC", 11, 8), 0, 0},
        {"mdat exactly 4 MiB after the ftyp", clip(24, "XAVC", 1, four_mib - 24), 1, 16 + four_mib},
        {"mdat one byte further", clip(24, "XAVC", 1, four_mib - 23), 0, 0},
    };
    for (const Case& c : cases) {
        fixture::TempImage file(c.image, c.name);
        analysis::ClipHeader h{};
        EXPECT_EQ(analysis::validate_clip_header(file.f, file.size, 20, &h), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(h.header_offset, 16u) << c.name;
            EXPECT_EQ(h.mdat_offset, c.mdat_offset) << c.name;
            EXPECT_EQ(h.mdat_size, 72u) << c.name;
            EXPECT_EQ(h.mdat_end, c.mdat_offset + 72) << c.name;
        }
    }
}

struct PassCase {
    const char* name;
    Bytes image;
    const char* count_line;
    size_t movies;
};

TEST(AnalysisCandidates, ThreePassesAndTheirCountLine)
{
    Bytes recording(512, 0);
    mkcard::put_bytes(recording, fixture::make_recording(fixture::RecordingSpec{}));
    const PassCase cases[] = {
        {"nothing found", Bytes(4096, 0), "  valid XAVC=0 kkad=0 moov=0\n", 0},
        {"a recording and a stray hit near the end", recording, "  valid XAVC=1 kkad=4 moov=1\n", 1},
    };
    for (const PassCase& c : cases) {
        fixture::TempImage file(c.image, c.name);
        image::ScanIndex index{};
        fixture::index_signatures(c.image, &index);
        image::record_hit(&index.kkad_hits, c.image.size() - 10);
        fixture::Owned<analysis::ClipHeaderList> headers;
        fixture::Owned<analysis::MarkerList> markers;
        fixture::Owned<analysis::MovieList> movies;
        testing::internal::CaptureStdout();
        analysis::validate_candidates(file.f, file.size, &index, &headers, &markers, &movies);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.count_line) << c.name;
        ASSERT_EQ(movies.count, c.movies) << c.name;
        if (c.movies) {
            EXPECT_EQ(movies.items[0].video.chunk_count, 4u) << c.name;
            EXPECT_EQ(movies.items[0].creation_unix, 1709210096u) << c.name;
            EXPECT_EQ(markers.items[3].sequence, 3u) << c.name;
            mp4::free_movie_info(&movies.items[0]);
        }
        image::free_scan_index(&index);
    }
}

}  // namespace
