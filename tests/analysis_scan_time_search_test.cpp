// Chunk searches done while the raw scan passes: every kept result is the search a fresh read
// of the image gives, and a search with any other input is not taken from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "analysis/chunk_locate.h"
#include "analysis/scan_time_search.h"
#include "analysis/window_reuse.h"
#include "image/card_reader.h"
#include "image/kept_boxes.h"
#include "image/raw_scan.h"
#include "image/read_at.h"
#include "platform/platform.h"
#include "tests/analysis_fixture.h"

namespace {

using namespace fixture;

constexpr uint64_t MiB = 1024 * 1024;

Bytes noise(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b)
        c = uint8_t(rng());
    return b;
}

struct Scanned {
    image::ScanRing ring;
    image::ScanIndex index{};
};

void bytes_read(void*, const image::ScanIndex* index, const uint8_t*, size_t)
{
    analysis::scan_search_advance(index);
    image::kept_boxes_advance(index);
}

// The raw scan of the image with the searches done as it passes, as a run that writes every clip.
void scan_with_searches(const TempImage& img, Scanned* s)
{
    image::scan_ring_init(&s->ring, analysis::scan_search_ring_bytes);
    analysis::scan_search_begin(img.f, img.size, &s->ring);
    image::kept_boxes_begin(img.f, img.size, &s->ring);
    image::ScanObserver observer = {bytes_read, s, &s->ring};
    image::raw_scan(img.f, img.size, MiB, 0, &s->index, &observer);
    analysis::scan_search_end(&s->index);
    image::kept_boxes_end(&s->index);
    image::scan_ring_free(&s->ring);
}

struct Layout {
    const char* name;
    std::vector<size_t> gaps;  // noise before each recording, and after the last
    uint32_t chunks;
    uint32_t video_base;
};

// Recordings that lie whole between noise: far apart, close together, the first one at the start
// of the image (windows cut by its start), one ending near the image's end, and chunks large enough
// that the wide windows reach past the neighbouring recordings.
const Layout layouts[] = {
    {"two recordings in noise", {3000, 5000, 700}, 6, 200},
    {"first recording at the image start", {0, 17 * MiB + 5, 64}, 5, 200},
    {"recordings back to back", {100, 0, 0}, 4, 200},
    {"chunks of a megabyte", {2 * MiB, 9 * MiB, 4096}, 5, 90000},
};

TEST(ScanTimeSearch, KeptResultsAreTheSearchesOfAFreshRead)
{
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        Bytes image;
        std::vector<RecordingSpec> specs;
        std::vector<uint64_t> starts;
        std::vector<std::vector<uint64_t>> chunk_at;
        for (size_t i = 0; i < l.gaps.size(); i++) {
            mkcard::put_bytes(image, noise(l.gaps[i], unsigned(i + 1)));
            if (i + 1 == l.gaps.size())
                break;
            RecordingSpec r;
            r.chunks = l.chunks;
            r.seed = uint32_t(i + 3);
            r.video_base = l.video_base;
            std::vector<uint64_t> at;
            starts.push_back(image.size());
            mkcard::put_bytes(image, make_recording(r, &at));
            specs.push_back(r);
            chunk_at.push_back(at);
        }
        TempImage img(image, l.name);
        Scanned s;
        scan_with_searches(img, &s);
        ASSERT_EQ(s.index.kkad_hits.count, specs.size() * l.chunks);

        // every box was kept as the image holds it, up to where the image ends, and a read
        // that reaches past what was kept is not served from it
        for (size_t b = 0; b < s.index.kkad_hits.count; b++) {
            uint64_t start = s.index.kkad_hits.items[b] - 4;
            uint64_t n = std::min(image::kept_box_bytes, img.size - start);
            Bytes kept(n + 1);
            ASSERT_TRUE(image::kept_boxes_serve(img.f, start, kept.data(), n)) << "box " << b;
            EXPECT_TRUE(std::equal(kept.begin(), kept.begin() + n, image.begin() + start)) << "box " << b;
            EXPECT_TRUE(image::kept_boxes_serve(img.f, start + 4, kept.data(), 128) || n < 132) << "box " << b;
            if (image::kept_boxes_serve(img.f, start, kept.data(), n + 1)) {
                ASSERT_LT(start + n, img.size) << "box " << b;
                EXPECT_TRUE(std::equal(kept.begin(), kept.end(), image.begin() + start)) << "box " << b;
            }
        }
        // bytes the card did not give are zeros in the ring, not the box's: a read that touches
        // them is not served from the kept box, the rest of the box still is
        image::card_attach(img.f, img.size);
        const uint64_t first_box = s.index.kkad_hits.items[0] - 4;
        image::card_mark_unknown(first_box + 100, 16, image::status_bad_sector, image::cause_read_error);
        Bytes part(64);
        EXPECT_FALSE(image::kept_boxes_serve(img.f, first_box + 90, part.data(), part.size()));
        EXPECT_TRUE(image::kept_boxes_serve(img.f, first_box + 120, part.data(), part.size()));
        image::card_detach();
        size_t box = 0;
        for (size_t r = 0; r < specs.size(); r++) {
            for (uint32_t j = 0; j < l.chunks; j++, box++) {
                uint64_t centre = s.index.kkad_hits.items[box];
                if (j == 0)
                    continue;  // the first box of a recording describes no chunk
                std::vector<uint32_t> sizes = video_sizes(specs[r], j - 1);
                mp4::SampleSizes ss = stored_sizes(sizes);
                // each box describes its chunk twice: the wide window
                uint64_t back = 0, forward = 0;
                analysis::search_window_for(2, &back, &forward);
                int found = 0;
                uint64_t at = 0;
                ASSERT_TRUE(analysis::scan_search_result(centre, back, forward, &ss, codec::Syntax::avc, &found, &at))
                    << "recording " << r << " chunk " << j - 1;
                uint64_t fresh = 0;
                analysis::end_window_reuse();
                int fresh_found = analysis::find_chunk_in_window(img.f, img.size, centre, back, forward, &ss, "avc1",
                                                                 &fresh);
                EXPECT_EQ(found, fresh_found);
                EXPECT_EQ(at, fresh);
                EXPECT_EQ(at, starts[r] + chunk_at[r][j - 1]);
                // any other input is the search's own business
                int unused = 0;
                uint64_t other = 0;
                EXPECT_FALSE(analysis::scan_search_result(centre, 0x10000, 0x100000, &ss, codec::Syntax::avc, &unused,
                                                          &other));
                EXPECT_FALSE(
                    analysis::scan_search_result(centre, back, forward, &ss, codec::Syntax::hevc, &unused, &other));
                EXPECT_FALSE(analysis::scan_search_result(centre + 1, back, forward, &ss, codec::Syntax::avc, &unused,
                                                          &other));
                sizes[11]++;
                EXPECT_FALSE(
                    analysis::scan_search_result(centre, back, forward, &ss, codec::Syntax::avc, &unused, &other));
            }
            // the last chunk, which no box describes, was checked where it lies whole
            std::vector<uint32_t> last = video_sizes(specs[r], l.chunks - 1);
            mp4::SampleSizes ls = stored_sizes(last);
            uint64_t last_at = starts[r] + chunk_at[r][l.chunks - 1];
            int passed = 0;
            ASSERT_TRUE(analysis::scan_verify_result(last_at, &ls, codec::Syntax::avc, &passed));
            EXPECT_EQ(passed, 1);
            EXPECT_FALSE(analysis::scan_verify_result(last_at + 1, &ls, codec::Syntax::avc, &passed));
        }
        analysis::release_read_buffers();
        image::kept_boxes_release();
        image::free_scan_index(&s.index);
    }
}

// The ring holds the last bytes appended, across its wrap; a read of the image while it is lent
// is served from it alone, and a read of bytes it lets go fails and is remembered.
TEST(ScanRing, HoldsTheLastBytesAndServesReadsWhileLent)
{
    struct Row {
        const char* name;
        uint64_t capacity;
        std::vector<size_t> appends;
        uint64_t offset, length;
        bool held;
    };
    const uint64_t granule = 2 * platform::ring_granule();
    const Row rows[] = {
        {"nothing appended", 64, {}, 0, 0, true},
        {"inside the first fill", 64, {40}, 3, 30, true},
        {"across the wrap", 64, {50, 30}, 20, 60, true},
        {"one appended piece longer than the ring", 64, {200}, 136, 64, true},
        {"a byte the ring let go", 64, {50, 30}, 15, 10, false},
        {"beyond what was appended", 64, {50}, 40, 11, false},
        {"exactly the held range after many wraps", 10, {7, 7, 7, 7}, 18, 10, true},
        // whole granules: mirrored where the system maps memory so
        {"granules, across the wrap", granule, {granule - 100, 300}, granule - 150, 350, true},
        {"granules, the whole ring after wraps", granule, {granule / 2, granule, granule / 3},
         granule / 2 + granule / 3, granule, true},
    };
    Bytes source = noise(6 * granule, 9);
    TempImage img(source, "ring");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        image::ScanRing ring;
        image::scan_ring_init(&ring, row.capacity);
        size_t at = 0;
        for (size_t n : row.appends) {
            image::scan_ring_append(&ring, source.data() + at, n);
            at += n;
        }
        Bytes got(row.length + 1, 0);
        EXPECT_EQ(image::scan_ring_copy(&ring, row.offset, got.data(), row.length), row.held ? 1 : 0);
        if (row.held) {
            EXPECT_TRUE(std::equal(got.begin(), got.begin() + long(row.length), source.begin() + long(row.offset)));
        }
        // held bytes are looked at in place: in a mirrored ring in one piece across the wrap
        const uint8_t* in_place = nullptr;
        uint64_t piece = image::scan_ring_span(&ring, row.offset, row.length, &in_place);
        if (row.held && piece > 0) {
            EXPECT_TRUE(std::equal(in_place, in_place + piece, source.begin() + long(row.offset)));
        }
        if (row.held && ring.mirrored && row.length > 0) {
            EXPECT_EQ(piece, row.length);
        }
        // the bytes just before where the next ones go are the last ones appended
        size_t room = 0;
        uint8_t* tail = image::scan_ring_tail(&ring, &room);
        size_t before = std::min<size_t>(size_t(ring.end), image::scan_ring_guard);
        if (ring.capacity >= image::scan_ring_guard) {
            EXPECT_TRUE(std::equal(tail - before, tail, source.begin() + long(ring.end - before)));
        }
        image::scan_ring_lend(&ring, img.f);
        EXPECT_EQ(image::read_at(img.f, row.offset, got.data(), row.length), row.held ? 1 : 0);
        EXPECT_EQ(image::scan_ring_missed(), row.held ? 0 : 1);
        image::scan_ring_unlend();
        // returned to the file, every read is served again
        EXPECT_EQ(image::read_at(img.f, row.offset, got.data(), row.length), 1);
        EXPECT_TRUE(std::equal(got.begin(), got.begin() + long(row.length), source.begin() + long(row.offset)));
        image::scan_ring_free(&ring);
    }
}

}  // namespace
