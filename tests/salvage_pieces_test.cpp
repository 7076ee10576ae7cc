#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "analysis/recording_runs.h"
#include "mp4/movie_box.h"
#include "salvage/chunk_descriptions.h"
#include "salvage/chunk_place.h"
#include "salvage/contested.h"
#include "salvage/header_pairs.h"
#include "salvage/join_anchors.h"
#include "salvage/layout_join.h"
#include "salvage/salvage_plan.h"

// Each test here weighs a small piece of salvage against a plain model of what it must give, over
// many random cases: the bytes of a cut chunk, anchors around a file offset, kkad boxes put back in
// their file, bytes two recordings claim.

namespace {

struct Random {
    uint32_t x;
    uint32_t operator()(uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; }
};

// A chunk cut into runs: run r holds the chunk's bytes [from[r], from[r + 1]) at image offset at[r].
struct Runs {
    std::vector<uint64_t> from, at;
    uint64_t size;
    uint64_t offset(uint64_t x) const
    {
        size_t r = size_t(std::upper_bound(from.begin(), from.end(), x) - from.begin()) - 1;
        return at[r] + (x - from[r]);
    }
    uint64_t end_of(uint64_t x) const
    {
        auto next = std::upper_bound(from.begin(), from.end(), x);
        return next == from.end() ? size : *next;
    }
};

// Every byte of a chunk a place cuts into runs reads where its run puts it, the runs end where
// the cuts are, a part of a place reads as the whole does, and the runs in front of a depth
// overlap a cluster exactly where one of them shares a byte with it.
TEST(SalvagePieces, AChunkPlaceReadsEveryByteWhereItsRunsPutIt)
{
    for (uint32_t seed = 1; seed <= 400; seed++) {
        Random random{seed};
        Runs runs;
        runs.size = 2 + random(3000);
        uint32_t cuts = std::min<uint32_t>(random(salvage::place_cuts_max + 2), uint32_t(runs.size - 1));
        std::vector<uint64_t> edges;
        while (edges.size() < cuts) {
            uint64_t x = 1 + random(uint32_t(runs.size - 1));
            if (std::find(edges.begin(), edges.end(), x) == edges.end())
                edges.push_back(x);
        }
        std::sort(edges.begin(), edges.end());
        salvage::ChunkPlace place{1000 + random(100000), 0, 0};
        runs.from = {0}, runs.at = {place.at};
        for (uint64_t x : edges) {
            uint64_t at = 1000 + random(100000);
            int added = salvage::add_run(&place, x, at);
            // a place holds place_cuts_max cuts at most
            ASSERT_EQ(added, runs.from.size() <= salvage::place_cuts_max) << "seed " << seed;
            if (added)
                runs.from.push_back(x), runs.at.push_back(at);
        }
        if (runs.from.size() < edges.size() + 1)
            runs.size = edges[runs.from.size() - 1];  // the chunk ends where the place stopped taking cuts
        for (uint64_t x = 0; x < runs.size; x++) {
            ASSERT_EQ(salvage::place_offset(&place, x), runs.offset(x)) << "seed " << seed << " byte " << x;
            ASSERT_EQ(salvage::place_run_end(&place, x, runs.size), runs.end_of(x)) << "seed " << seed << " byte " << x;
            uint64_t from, at;
            salvage::place_run_of(&place, x, &from, &at);
            ASSERT_EQ(at + (x - from), runs.offset(x)) << "seed " << seed << " byte " << x;
            ASSERT_EQ(runs.end_of(from), runs.end_of(x)) << "seed " << seed << " byte " << x;
        }
        uint64_t last_from, last_at;
        salvage::place_last_run(&place, &last_from, &last_at);
        EXPECT_EQ(last_from, runs.from.back()) << "seed " << seed;
        EXPECT_EQ(last_at, runs.at.back()) << "seed " << seed;
        uint64_t from = random(uint32_t(runs.size)), n = 1 + random(uint32_t(runs.size - from));
        salvage::ChunkPlace part;
        ASSERT_TRUE(salvage::place_part(&place, from, n, &part)) << "seed " << seed;
        for (uint64_t x = 0; x < n; x++)
            ASSERT_EQ(salvage::place_offset(&part, x), runs.offset(from + x)) << "seed " << seed << " byte " << x;
        for (uint32_t depth = 0; depth < runs.from.size(); depth++) {
            uint64_t c = 1000 + random(100000), cs = 1 + random(600);
            int overlaps = 0;
            for (uint32_t r = 0; r < depth; r++)
                overlaps |= c < runs.at[r] + (runs.from[r + 1] - runs.from[r]) && runs.at[r] < c + cs;
            EXPECT_EQ(salvage::place_overlaps(&place, depth, c, cs), overlaps) << "seed " << seed << " depth " << depth;
        }
    }
}

// The anchors around a file offset are the nearest at or before it and at or after it, and two
// anchors lie in one run exactly when they are as far apart in the image as in the file.
TEST(SalvagePieces, AnchorsAroundAFileOffsetAreTheNearest)
{
    for (uint32_t seed = 1; seed <= 300; seed++) {
        Random random{seed};
        salvage::AnchorList anchors{};
        std::vector<salvage::JoinAnchor> all;
        for (uint32_t k = random(12); k > 0; k--) {
            salvage::JoinAnchor a{random(200), random(400)};
            basics::list_append(&anchors, a);
            all.push_back(a);
        }
        salvage::sort_anchors(&anchors);
        for (uint64_t f = 0; f <= 201; f++) {
            const salvage::JoinAnchor *upto = nullptr, *from = nullptr;
            for (const salvage::JoinAnchor& a : all) {
                if (a.file <= f && (!upto || a.file > upto->file))
                    upto = &a;
                if (a.file >= f && (!from || a.file < from->file))
                    from = &a;
            }
            const salvage::JoinAnchor* got_upto = salvage::anchor_upto(&anchors, f);
            const salvage::JoinAnchor* got_from = salvage::anchor_from(&anchors, f);
            ASSERT_EQ(got_upto != nullptr, upto != nullptr) << "seed " << seed << " file " << f;
            ASSERT_EQ(got_from != nullptr, from != nullptr) << "seed " << seed << " file " << f;
            if (upto) {
                EXPECT_EQ(got_upto->file, upto->file) << "seed " << seed << " file " << f;
            }
            if (from) {
                EXPECT_EQ(got_from->file, from->file) << "seed " << seed << " file " << f;
            }
            if (upto && from) {
                int64_t apart = int64_t(got_from->image) - int64_t(got_upto->image);
                EXPECT_EQ(salvage::same_run(got_upto, got_from), apart == int64_t(got_from->file - got_upto->file))
                    << "seed " << seed << " file " << f;
            }
        }
        basics::list_free(&anchors);
    }
}

// A recording's file of units (a metadata chunk holding a kkad box, its video chunk, sound) laid
// in clusters in a random order; some boxes lost, some video chunks located whole, stray boxes of
// the same tag and sequence (a copy of an earlier recording's) and of other tags behind the file.
// Every kkad box put back in the file lies there in the image; a sequence two boxes share is
// placed for neither; and with a chunk located or the start known, each box of a sequence seen
// once is placed. A movie box without the metadata track places them from two located chunks
// whose boxes lie in their run, and only when no other distance is seen as often.
TEST(SalvagePieces, KkadBoxesLieWhereTheirFileDoes)
{
    constexpr uint64_t cs = 256, head = 64, unit = 700, meta = 100, inside = 24, tag = 77;
    uint64_t placed = 0, expected = 0;
    for (uint32_t seed = 1; seed <= 300; seed++) {
        Random random{seed};
        const uint64_t units = 2 + random(30), file_size = head + units * unit, clusters = (file_size + cs - 1) / cs;
        // the file's clusters in a random order; its first one first, where the file starts
        std::vector<uint64_t> order(clusters);
        for (uint64_t i = 0; i < clusters; i++)
            order[i] = i;
        for (uint64_t i = clusters - 1; i > 1; i--)
            std::swap(order[i], order[1 + random(uint32_t(i))]);
        std::vector<uint64_t> cluster_at(clusters);
        const uint64_t base = cs * (1 + random(8));
        for (uint64_t i = 0; i < clusters; i++)
            cluster_at[order[i]] = base + i * cs;
        auto image = [&](uint64_t f) { return cluster_at[f / cs] + f % cs; };
        std::vector<uint64_t> meta_at(units), video_at(units), meta_size(units, meta), video_size(units, 400);
        for (uint64_t k = 0; k < units; k++)
            meta_at[k] = head + k * unit, video_at[k] = meta_at[k] + meta;
        mp4::MovieInfo movie{};
        const int with_meta = int(random(2));
        movie.has_video = 1, movie.has_other = with_meta;
        movie.video.chunk_offsets = video_at.data(), movie.video.chunk_sizes = video_size.data();
        movie.video.chunk_count = units;
        movie.other.chunk_offsets = meta_at.data(), movie.other.chunk_sizes = meta_size.data();
        movie.other.chunk_count = units;
        std::vector<analysis::KkadMarker> markers;
        std::vector<uint32_t> seen(units, 0);
        std::vector<uint8_t> present(units, 0);
        auto marker = [&](uint64_t at, uint64_t sequence, uint32_t t) {
            analysis::KkadMarker m{};
            m.marker_offset = at, m.sequence = uint16_t(sequence), m.tag = t, m.valid = 1;
            markers.push_back(m);
            if (t == tag && sequence < units)
                seen[sequence]++;
        };
        for (uint64_t k = 0; k < units; k++)
            if (k == 0 || random(5))
                marker(image(meta_at[k] + inside), k, tag), present[k] = 1;
        // a stray copy of a box that is there: with the box lost nothing would tell the copy is not it
        uint64_t behind = base + clusters * cs;
        for (uint32_t n = random(4); n > 0; n--) {
            uint64_t k = random(uint32_t(units));
            marker(behind + random(4000), k, present[k] && random(2) ? tag : tag + 1);
        }
        std::sort(markers.begin(), markers.end(),
                  [](const analysis::KkadMarker& a, const analysis::KkadMarker& b) { return a.marker_offset < b.marker_offset; });
        analysis::MarkerList list{};
        for (const analysis::KkadMarker& m : markers)
            basics::list_append(&list, m);
        std::vector<uint8_t> found(units, 0);
        std::vector<uint64_t> found_at(units, 0);
        int located = 0, in_run = 0, across = 0;
        for (uint64_t k = 0; k < units; k++)
            if (random(4) == 0) {
                found[k] = 1, found_at[k] = image(video_at[k]);
                located |= present[k] && found_at[k] - image(meta_at[k]) == meta;
                in_run += present[k] && found_at[k] == image(meta_at[k] + inside) + (meta - inside);
                across += present[k] && found_at[k] != image(meta_at[k] + inside) + (meta - inside);
            }
        if (!with_meta)
            located = in_run >= 2 && across == 0;
        const int start_known = int(random(2));
        salvage::AnchorList out{};
        salvage::place_kkad_boxes(&movie, &list, tag, found.data(), found_at.data(), start_known ? base : UINT64_MAX,
                                  &out);
        for (uint64_t i = 0; i < out.count; i++) {
            const salvage::JoinAnchor& a = out.items[i];
            ASSERT_LT(a.file, file_size) << "seed " << seed;
            ASSERT_EQ(a.image, image(a.file)) << "seed " << seed << " anchor " << i;
            uint64_t k = (a.file - head) / unit;
            EXPECT_EQ(a.file, meta_at[k] + inside) << "seed " << seed;
            EXPECT_EQ(seen[k], 1u) << "seed " << seed << ": a sequence two boxes share placed";
        }
        if (located || (start_known && with_meta)) {
            uint64_t once = uint64_t(std::count(seen.begin(), seen.end(), 1u));
            EXPECT_EQ(out.count, once) << "seed " << seed;
            expected += once;
        }
        placed += out.count;
        basics::list_free(&out);
        basics::list_free(&list);
    }
    EXPECT_GT(placed, expected / 2);
}

// Two recordings' sound chunks one after another, most placed by room, some over the other's, the
// two sometimes one recording by their kkad tag; kkad boxes, pieces that only end runs or were
// placed by a guess, and two pieces of one recording over each other among them. The bytes noted contested are exactly those where the two
// recordings' pieces by room lie over each other, and the first contested byte of any span is the
// first such byte in it. On the next pass some sound chunks are placed again elsewhere, by their own
// pieces, by room, or by a guess: a contest goes, for both its sides at once, exactly where one side
// now places that same sound chunk by its own pieces; nothing else of either recording lifts it.
TEST(SalvagePieces, BytesAreContestedUntilOneSidePlacesThatSoundByItsOwnPieces)
{
    constexpr uint64_t size = 400;
    uint64_t lifted = 0, kept = 0;
    for (uint32_t seed = 1; seed <= 300; seed++) {
        Random random{seed};
        salvage::ClaimList claims{}, next{};
        for (uint32_t clip = 1; clip <= 2; clip++)
            for (uint64_t b = random(30), k = 0; b + 10 < size; k++) {
                salvage::ClaimedSpan s{b, std::min(size, b + 5 + random(60)), clip, random(3) ? 0 : 100u};
                s.by_room = random(4) != 0;
                s.sound_of = random(5) == 0 ? UINT64_MAX : 1000 * clip + k;
                basics::list_append(&claims.spans, s);
                b = s.end + random(20);
                if (random(5) == 0) {  // a kkad box, or a piece that only ends runs or was guessed
                    const uint32_t how = random(3);
                    s.clip = how ? s.clip : 0, s.tentative = how == 1, s.inferred = how == 2;
                    s.begin = random(size - 50), s.end = s.begin + 1 + random(50);
                    basics::list_append(&claims.spans, s);
                }
            }
        // two pieces of one recording over each other, past the others
        for (uint64_t k = 0; k < 2; k++) {
            salvage::ClaimedSpan s{size + 1100 + 10 * k, size + 1150, 1 + seed % 2, 0};
            s.by_room = 1;
            basics::list_append(&claims.spans, s);
        }
        salvage::sort_claims(&claims);
        salvage::note_contested(&claims, &claims.contested);
        EXPECT_EQ(salvage::first_contested(&claims, size + 1100, size + 1200), size + 1200) << "seed " << seed;
        // a second pass notes nothing new
        EXPECT_EQ(salvage::note_contested(&claims, &claims.contested), 0u) << "seed " << seed;
        // the next pass: each piece again, and some sound chunks placed elsewhere too
        std::vector<std::pair<uint32_t, uint64_t>> proven;
        for (uint64_t i = 0; i < claims.spans.count; i++) {
            salvage::ClaimedSpan s = claims.spans.items[i];
            basics::list_append(&next.spans, s);
            if (random(3) != 0 || !s.clip || s.tentative || s.inferred)
                continue;
            const uint32_t how = random(4);  // 0: by its own pieces, 1: by room, 2: a guess, 3: only ends runs
            s.begin = size + random(1000), s.end = s.begin + 20;
            s.by_room = how == 1, s.inferred = how == 2, s.tentative = how == 3;
            basics::list_append(&next.spans, s);
            if (how == 0 && s.sound_of != UINT64_MAX)
                proven.emplace_back(s.clip, s.sound_of);
        }
        salvage::sort_claims(&next);
        for (uint64_t i = 0; i < claims.contested.count; i++)
            basics::list_append(&next.contested, claims.contested.items[i]);
        salvage::lift_contested(&next, &next.contested);
        auto settled = [&](const salvage::ClaimedSpan& s) {
            return std::find(proven.begin(), proven.end(), std::make_pair(s.clip, s.sound_of)) != proven.end();
        };
        std::vector<uint8_t> noted(size, 0), still(size, 0);
        for (uint64_t i = 0; i < claims.spans.count; i++)
            for (uint64_t j = 0; j < claims.spans.count; j++) {
                const salvage::ClaimedSpan &a = claims.spans.items[i], &b = claims.spans.items[j];
                auto takes = [](const salvage::ClaimedSpan& s) { return s.clip && !s.tentative && !s.inferred; };
                if (a.clip != 1 || b.clip != 2 || !takes(a) || !takes(b) || !a.by_room || !b.by_room ||
                    (a.tag && a.tag == b.tag))
                    continue;
                for (uint64_t x = std::max(a.begin, b.begin); x < std::min(a.end, b.end); x++)
                    noted[x] = 1, still[x] = !settled(a) && !settled(b);
            }
        for (uint64_t b = 0; b < size; b += 1 + random(7)) {
            uint64_t e = b + random(uint32_t(size - b + 1)), first = e;
            for (uint64_t x = b; x < e && first == e; x++)
                first = noted[x] ? x : e;
            ASSERT_EQ(salvage::first_contested(&claims, b, e), first) << "seed " << seed << " [" << b << ", " << e << ")";
            salvage::ChunkPlace at{b, 0, 0};
            EXPECT_EQ(salvage::place_contested(&claims, &at, e - b), int(first < e)) << "seed " << seed;
        }
        for (uint64_t x = 0; x < size; x++) {
            ASSERT_EQ(salvage::first_contested(&next, x, x + 1) == x, bool(still[x])) << "seed " << seed << ": byte " << x;
            lifted += noted[x] && !still[x], kept += still[x];
        }
        salvage::free_claims(&claims);
        salvage::free_claims(&next);
    }
    EXPECT_GT(lifted, 1000u);
    EXPECT_GT(kept, 1000u);
}

// Recordings of one card, each a clip header and (for most) a movie box of its own chunk count;
// some share a chunk count, so their movie boxes fit each other's headers alike. One clip the scan
// gave another header: it takes its own back where no other header in reach of its run that no
// clip fits is its like, and keeps the one it has where such a header is; no other clip moves.
TEST(SalvagePieces, AClipTakesBackItsHeaderOnlyWhereNoOtherFitsAlike)
{
    constexpr uint64_t ftyp = 32, stride = 1000, chunk = 600;
    uint64_t moved = 0;
    for (uint32_t seed = 1; seed <= 400; seed++) {
        Random random{seed};
        const uint32_t n = 3 + random(4);
        std::vector<uint32_t> kind(n);  // recordings of one kind have movie boxes alike
        analysis::ClipHeaderList headers{};
        std::vector<std::vector<uint64_t>> offsets(n), sizes(n);
        std::vector<mp4::MovieInfo> movies(n);
        uint64_t at = 1 << 20;
        for (uint32_t r = 0; r < n; r++) {
            kind[r] = random(3) == 0 && r ? kind[random(r)] : 10 + r;
            uint64_t chunks = 2 + 3 * kind[r], slack = random(stride);
            at += 100 + random(300);
            basics::list_append(&headers, analysis::ClipHeader{at, ftyp, at + ftyp, 8 + (chunks - 1) * stride + chunk + slack,
                                                              0, 1});
            for (uint64_t k = 0; k < chunks; k++)
                offsets[r].push_back(ftyp + 8 + k * stride), sizes[r].push_back(chunk);
            mp4::MovieInfo& m = movies[r];
            m = {};
            m.has_video = 1;
            m.video.chunk_offsets = offsets[r].data(), m.video.chunk_sizes = sizes[r].data(), m.video.chunk_count = chunks;
        }
        std::vector<uint8_t> has_clip(n);
        for (uint32_t r = 0; r < n; r++)
            has_clip[r] = random(4) != 0;
        // the clip that holds another's header, of a kind of its own
        const uint32_t wrong = random(n);
        uint32_t given = random(n);
        for (uint32_t k = 0; k < n && kind[given] == kind[wrong]; k++)
            given = (given + 1) % n;
        if (kind[given] == kind[wrong]) {
            basics::list_free(&headers);
            continue;
        }
        has_clip[wrong] = 1;
        analysis::RunList runs{};
        for (uint32_t r = 0; r < n; r++) {
            analysis::RecordingRun run{};
            run.start_offset = headers.items[r].header_offset + 500;
            basics::list_append(&runs, run);
        }
        analysis::ClipList clips{};
        for (uint32_t r = 0; r < n; r++)
            if (has_clip[r]) {
                uint32_t h = r == wrong ? given : r;
                analysis::RecoveryClip c{};
                c.clip_number = h + 1, c.header = &headers.items[h], c.run = &runs.items[r], c.movie = &movies[r];
                basics::list_append(&clips, c);
            }
        // its own header comes back unless a like one lies in reach that no clip holds
        int expect = 1;
        for (uint32_t h = 0; h < n; h++)
            expect &= !(h != wrong && kind[h] == kind[wrong] && !has_clip[h] &&
                        analysis::header_reaches(headers.items[h].header_offset, runs.items[wrong].start_offset));
        analysis::PairList pairs{};
        salvage::SalvageCard card{};
        card.headers = &headers, card.pairs = &pairs;
        salvage::RepairedClips out;
        salvage::repair_header_pairs(&card, &clips, nullptr, nullptr, &out);
        ASSERT_EQ(out.clips.count, clips.count) << "seed " << seed;
        for (uint64_t i = 0; i < out.clips.count; i++) {
            const analysis::RecoveryClip& c = out.clips.items[i];
            uint32_t r = uint32_t(c.movie - movies.data());
            uint32_t h = r == wrong && !expect ? given : r;
            EXPECT_EQ(c.header, &headers.items[h]) << "seed " << seed << " recording " << r;
            EXPECT_EQ(c.clip_number, h + 1) << "seed " << seed << " recording " << r;
            if (i > 0) {
                EXPECT_LE(out.clips.items[i - 1].clip_number, c.clip_number) << "seed " << seed;
            }
        }
        EXPECT_EQ(out.changed, expect) << "seed " << seed;
        moved += expect;
        salvage::free_repaired_clips(&out);
        basics::list_free(&clips);
        basics::list_free(&runs);
        basics::list_free(&headers);
    }
    EXPECT_GT(moved, 100u);
}

}  // namespace

// The distance from a chunk's end to the kkad box that describes it: the box lies in the
// metadata in front of the next chunk (here 300 in front of it, 700 behind the chunk's end, the
// interleave 1000). A chunk and its box in one run show it, and so do the box and the next chunk
// in the camera's file in one run; a boundary between either pair shows another distance, and a
// distance at least two show is taken.
// A main clip and its proxy begun in one second: the scan gave each one's run the other's movie
// box. They trade headers and runs back only where each box fits the other's header and not its
// own, and neither was written by the documented rules.
TEST(SalvagePieces, ClipsBegunInOneSecondTradeBackTheirMovieBoxes)
{
    constexpr uint64_t ftyp = 32, stride = 1000, chunk = 600, apart = 8 << 20;
    struct Row {
        const char* name;
        uint64_t chunks[2];
        uint64_t seconds[2];
        uint8_t written[2];
        bool trade;
    } rows[] = {
        {"a main clip and its proxy trade back", {9, 3}, {100, 100}, {0, 0}, true},
        {"recordings begun in other seconds keep what they hold", {9, 3}, {100, 101}, {0, 0}, false},
        {"a clip the documented rules wrote keeps it", {9, 3}, {100, 100}, {0, 1}, false},
        {"boxes that fit either header alike stay", {4, 4}, {100, 100}, {0, 0}, false},
    };
    for (const Row& row : rows) {
        analysis::ClipHeaderList headers{};
        analysis::RunList runs{};
        std::vector<uint64_t> offsets[2], sizes[2];
        mp4::MovieInfo movies[2] = {};
        for (uint32_t r = 0; r < 2; r++) {
            uint64_t at = apart * (r + 1);
            basics::list_append(&headers, analysis::ClipHeader{at, ftyp, at + ftyp, 8 + (row.chunks[r] - 1) * stride + chunk,
                                                              0, 1});
            for (uint64_t k = 0; k < row.chunks[r]; k++)
                offsets[r].push_back(ftyp + 8 + k * stride), sizes[r].push_back(chunk);
            movies[r].has_video = 1;
            movies[r].video.chunk_offsets = offsets[r].data(), movies[r].video.chunk_sizes = sizes[r].data();
            movies[r].video.chunk_count = row.chunks[r];
            analysis::RecordingRun run{};
            run.start_offset = at + 500, run.has_time = 1, run.time_unix = row.seconds[r], run.header_index = r + 1;
            basics::list_append(&runs, run);
        }
        analysis::MovieList movie_list{};
        basics::list_append(&movie_list, movies[0]);
        basics::list_append(&movie_list, movies[1]);
        analysis::ClipList clips{};
        analysis::PairList pairs{};
        for (uint32_t r = 0; r < 2; r++) {
            analysis::RecoveryClip c{};
            c.clip_number = r + 1, c.header = &headers.items[r], c.run = &runs.items[r];
            c.movie = &movie_list.items[1 - r];
            basics::list_append(&clips, c);
            basics::list_append(&pairs, analysis::MoviePair{r, 1 - r, r + 1});
        }
        salvage::SalvageCard card{};
        card.headers = &headers, card.runs = &runs, card.pairs = &pairs, card.movies = &movie_list;
        salvage::RepairedClips out;
        salvage::repair_header_pairs(&card, &clips, row.written, nullptr, &out);
        EXPECT_EQ(out.changed, int(row.trade)) << row.name;
        for (uint64_t i = 0; i < out.clips.count; i++) {
            const analysis::RecoveryClip& c = out.clips.items[i];
            uint32_t m = uint32_t(c.movie - movie_list.items), r = row.trade ? m : 1 - m;
            EXPECT_EQ(c.header, &headers.items[r]) << row.name;
            EXPECT_EQ(c.run, &runs.items[r]) << row.name;
            EXPECT_EQ(c.clip_number, r + 1) << row.name;
            const analysis::MoviePair& p = out.pairs.items[i];
            EXPECT_EQ(p.run, uint64_t(p.movie == 0 ? (row.trade ? 0 : 1) : (row.trade ? 1 : 0))) << row.name;
            EXPECT_EQ(p.header_index, uint32_t(p.run + 1)) << row.name;
        }
        salvage::free_repaired_clips(&out);
        basics::list_free(&clips);
        basics::list_free(&pairs);
        basics::list_free(&movie_list);
        basics::list_free(&runs);
        basics::list_free(&headers);
    }
}

TEST(SalvagePieces, BoxDistanceFromEitherSide)
{
    constexpr uint64_t between = 1000, to_box = 700, size = 12 * 100;
    // per chunk: where the card put the chunk and where its box
    struct Case {
        const char* name;
        std::vector<std::pair<uint64_t, uint64_t>> chunks;
        uint64_t want;
    };
    const uint64_t unit = size + between;
    const Case cases[] = {
        {"both boxes behind their chunks", {{0, size + to_box}, {unit, unit + size + to_box}}, to_box},
        {"each chunk cut from its box, the boxes in front of the next chunks",
         {{0, 50000}, {50000 + 300, 90000}, {90000 + 300, 120000}}, to_box},
        {"one chunk with its box, one box with the next chunk",
         {{0, size + to_box}, {unit, 70000}, {70000 + 300, 95000}}, to_box},
        {"one chunk with its box, the next chunk far from it", {{0, size + to_box}, {60000, 90000}}, 0},
        {"boxes far from everything", {{0, 50000}, {unit, 80000}, {2 * unit, 110000}}, 0},
    };
    for (const Case& c : cases) {
        std::vector<salvage::Described> list(c.chunks.size());
        std::vector<const salvage::Described*> located;
        for (size_t i = 0; i < c.chunks.size(); i++) {
            salvage::Described& d = list[i];
            d = salvage::Described{};
            d.file_offset = 100 + i * unit;
            for (uint32_t& s : d.sizes)
                s = size / 12;
            d.image_offset = 1000000 + c.chunks[i].first;
            d.marker_offset = 1000000 + c.chunks[i].second;
            d.located = d.credible = 1;
            located.push_back(&d);
        }
        EXPECT_EQ(salvage::box_distance(located.data(), located.size(), between), c.want) << c.name;
    }
}
