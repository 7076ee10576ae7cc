#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "salvage/cluster_count.h"
#include "salvage/layout_join.h"
#include "salvage/lost_count.h"
#include "salvage/sample_heads.h"
#include "tests/analysis_fixture.h"
#include "tests/layout_oracle.h"

using salvage::CountedCluster;

namespace {

// A stretch written as one word per cluster: "a3" the recording's piece of its file's cluster 3,
// "b7" the other's of its cluster 7, "a" / "b" a piece of that file whose offset is not shown,
// "." nothing located.
std::vector<CountedCluster> stretch(const std::string& words)
{
    std::vector<CountedCluster> out;
    std::istringstream in(words);
    for (std::string w; in >> w;) {
        CountedCluster c{salvage::count_unknown, UINT64_MAX};
        if (w[0] != '.')
            c.owner = w[0] == 'a' ? salvage::count_own : salvage::count_other;
        if (w.size() > 1)
            c.file = std::stoull(w.substr(1));
        out.push_back(c);
    }
    return out;
}

// The recording's file cluster each way puts there, "-" where they differ or put the other's.
std::string forced(const std::vector<uint64_t>& own)
{
    std::string out;
    for (uint64_t f : own)
        out += std::string(out.empty() ? "" : " ") + (f == UINT64_MAX ? "-" : std::to_string(f));
    return out;
}

}  // namespace

TEST(SalvageClusterCount, CountsLeaveOneWayOrSayWhereTheyDiffer)
{
    struct Row {
        const char* name;
        const char* known;
        int fits;
        const char* expected;
    } rows[] = {
        {"the run goes on between two pieces as far apart as in the file", "a0 . . a3", 1, "0 1 2 3"},
        {"one of two clusters is the recording's: either", "a0 . . a2", 1, "0 - - 2"},
        {"a cluster shown as the other's leaves the other to the recording", "a0 b . a2", 1, "0 - 1 2"},
        {"the other's pieces in one run leave the clusters between them to the recording", "a0 b4 . . b5 a3", 1,
         "0 - 1 2 - 3"},
        {"the other's count behind a cut settles where the recording's runs lie", "a0 . . b11 . . b12 b13 a4", 1,
         "0 - - - 2 3 - - 4"},
        {"the recording's pieces further apart in the file than on the card", "a0 . a5", 0, ""},
        {"the other's pieces out of the order of its file", "a0 b5 b3 a3", 0, ""},
        {"the other's count leaves too few clusters for the recording", "a0 b4 . . b7 a2", 0, ""},
        {"the recording's clusters in front of its first piece are not counted", "b0 . a2", 1, "- - 2"},
        {"no cluster of the other's file lies in front of its first", "a0 . . b0 . . a3", 1, "0 1 2 - - - 3"},
    };
    for (const Row& row : rows) {
        std::vector<CountedCluster> known = stretch(row.known);
        std::vector<uint64_t> own(known.size(), 0);
        int fits = salvage::count_stretch(known.data(), known.size(), own.data());
        EXPECT_EQ(fits, row.fits) << row.name;
        if (fits && row.fits) {
            EXPECT_EQ(forced(own), row.expected) << row.name;
        }
    }
}

// A sample is located by its head only in the one cluster of the stretch that shows it, at its
// offset inside the cluster, with its file offset: a second cluster that shows it alike, or one
// another recording's piece holds, leaves it to the other, and a head cut before its slice's length
// field shows nothing.
TEST(SalvageClusterCount, ASampleIsLocatedByItsHeadOnlyInTheOneClusterThatShowsIt)
{
    constexpr uint64_t cs = 512;
    const std::vector<uint32_t> sizes = {300, 700, 260};
    struct {
        const char* name;
        uint64_t file;                    // the first sample's offset in the camera's file
        std::vector<int> at;              // per sample the cluster that holds its head, -1: none
        int copy;                         // a cluster that holds the second sample's head too, -1: none
        int foreign;                      // a cluster another recording's piece holds, -1: none
        std::vector<int> expect;          // per sample the cluster it is located in, -1: not located
    } cases[] = {
        {"each head in one cluster", 100, {2, 5, 6}, -1, -1, {2, 5, 6}},
        {"a second cluster shows one alike", 100, {2, 5, 6}, 3, -1, {2, -1, 6}},
        {"another recording's piece holds the copy", 100, {2, 5, 6}, 3, 3, {2, 5, 6}},
        {"another recording's piece holds the head", 100, {2, 5, 6}, -1, 5, {2, -1, 6}},
        {"a head cut before its slice's length field", 205, {2, 5, 6}, -1, -1, {2, -1, 6}},
    };
    for (const auto& c : cases) {
        fixture::Bytes image(8 * cs, 0x33);
        uint64_t file = c.file;
        std::vector<uint64_t> starts;
        for (size_t i = 0; i < sizes.size(); file += sizes[i++]) {
            starts.push_back(file);
            fixture::Bytes head = fixture::avc_sample(sizes[i], i == 0);
            for (int cluster : {c.at[i], i == 1 ? c.copy : -1})
                if (cluster >= 0)
                    std::copy(head.begin(), head.begin() + std::min<uint64_t>(head.size(), cs - file % cs),
                              image.begin() + cluster * cs + file % cs);
        }
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        salvage::ClaimList claims;
        if (c.foreign >= 0)
            basics::list_append(&claims.spans, salvage::ClaimedSpan{c.foreign * cs, (c.foreign + 1) * cs, 9, 0});
        salvage::sort_claims(&claims);
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        basics::Growable<salvage::ClaimedSpan, 16> heads{};
        salvage::find_sample_heads(img.f, img.size, &g, &claims, 1, 0, 0, 8 * cs - 1, c.file, &s, codec::Syntax::avc,
                                   salvage::count_clusters_max, &heads);
        std::vector<int> got(sizes.size(), -1);
        for (uint64_t h = 0; h < heads.count; h++) {
            const salvage::ClaimedSpan& x = heads.items[h];
            size_t i = std::find(starts.begin(), starts.end(), x.file) - starts.begin();
            ASSERT_LT(i, sizes.size()) << c.name;
            EXPECT_EQ(x.begin % cs, x.file % cs) << c.name;
            EXPECT_EQ(x.clip, 1u) << c.name;
            got[i] = int(x.begin / cs);
        }
        EXPECT_EQ(got, c.expect) << c.name;
        basics::list_free(&heads);
        salvage::free_claims(&claims);
    }
}

// Two recordings written in turns of three clusters, "a" (clip 1) from cluster 0 and "b" (clip 2)
// from cluster 3. A cluster of a's file is placed by counting between two of its pieces; b's
// clusters next to the stretch are counted only between two of b's pieces, so the count reaches on
// to b's nearest pieces (and a's beyond them) where the wider stretch still counts.
TEST(SalvageClusterCount, TheCountReachesOnToTheOthersNearestPieces)
{
    constexpr uint64_t cs = 512;
    struct Piece {
        uint64_t cluster;
        uint32_t clip;
        uint64_t file;  // its file's cluster; UINT64_MAX: where the layout puts it
    };
    auto file_of = [](uint64_t cluster) { return cluster / 6 * 3 + cluster % 3; };
    struct {
        const char* name;
        std::vector<Piece> pieces;
        int placed;
    } rows[] = {
        {"b's piece behind the stretch settles where a's cluster lies", {{9, 2, UINT64_MAX}, {16, 2, UINT64_MAX}}, 1},
        {"the stretch alone leaves it open", {{9, 2, UINT64_MAX}}, 0},
        {"a third recording's piece there leaves the stretch as it was",
         {{9, 2, UINT64_MAX}, {15, 3, 0}, {16, 2, UINT64_MAX}}, 0},
        {"b's piece there out of the order of its file counts nothing", {{9, 2, UINT64_MAX}, {16, 2, 1}}, 0},
        {"b's piece in front and a's beyond it settle where a's cluster lies",
         {{0, 1, UINT64_MAX}, {4, 2, UINT64_MAX}, {9, 2, UINT64_MAX}}, 1},
        {"a third recording's piece behind leaves the count in front as it was",
         {{0, 1, UINT64_MAX}, {4, 2, UINT64_MAX}, {9, 2, UINT64_MAX}, {15, 3, 0}}, 1},
        {"b's pieces in the stretch settle it, one in front out of order counts nothing",
         {{4, 2, 9}, {9, 2, UINT64_MAX}, {11, 2, UINT64_MAX}}, 1},
    };
    image::ImageGeometry g{0, cs, 0};
    for (const auto& row : rows) {
        salvage::ClaimList claims;
        for (const Piece& p : row.pieces)
            basics::list_append(&claims.spans,
                                salvage::ClaimedSpan{p.cluster * cs + 100, p.cluster * cs + 200, p.clip, 0, 0,
                                                     (p.file == UINT64_MAX ? file_of(p.cluster) : p.file) * cs + 100});
        salvage::sort_claims(&claims);
        // a's file cluster 4, between its pieces in clusters 6 and 14
        salvage::JoinAnchor lo{file_of(6) * cs + 199, 6 * cs + 199}, hi{file_of(14) * cs + 100, 14 * cs + 100};
        salvage::ChunkPlace at{};
        int placed = salvage::count_place(&g, &claims, 1, 0, nullptr, 0, lo, hi, 4 * cs, cs, &at);
        EXPECT_EQ(placed, row.placed) << row.name;
        if (placed) {
            EXPECT_EQ(at.at, 7 * cs) << row.name;
            EXPECT_EQ(at.cut, 0u) << row.name;
        }
        salvage::free_claims(&claims);
    }
}

// Two or three recordings taking every cluster in turns, "a" (clip 1), "b" (clip 2) and "c" (clip 3),
// some of the others' clusters located with their file offsets (at least one of each), and some of
// a's: a's bytes behind one of its located pieces are counted on to the others' pieces behind them
// (open: nothing of a located behind), or up to a's located piece behind them. Every layout those
// pieces allow (each cluster not located any file's, each file's clusters in its order) may be the
// card: where the count places the bytes, every one of them puts each there. A count that takes the
// clusters no piece shows for a's or b's only puts c's clusters into a's bytes.
TEST(SalvageClusterCount, BytesAreCountedOnlyWhereEveryLayoutThePiecesAllowPutsThem)
{
    struct {
        const char* name;
        uint32_t files;
        int open;
        uint64_t least;  // bytes placed over all seeds at the least
    } rows[] = {
        {"two files, open", 2, 1, 171},
        // (c's clusters taken for b's, or for a's where b's count leaves none: 144 placed, 118 wrong)
        {"three files, open", 3, 1, 22},
        {"two files, closed", 2, 0, 809},
        // (so: 193 placed, 12 wrong)
        {"three files, closed", 3, 0, 223},
    };
    constexpr uint64_t cs = 512;
    image::ImageGeometry g{0, cs, 0};
    for (const auto& row : rows) {
        uint64_t placed = 0;
        for (uint32_t seed = 1; seed <= 1500; seed++) {
            fixture::Draw random{seed};
            const uint32_t length = 12 + random(20);
            std::vector<uint32_t> run(row.files);
            for (uint32_t& r : run)
                r = 1 + random(4);
            std::vector<uint32_t> truth;  // the file of each cluster, 0: a's
            for (uint32_t f = random(row.files); truth.size() < length; f = (f + 1) % row.files)
                for (uint32_t k = 0; k < run[f] && truth.size() < length; k++)
                    truth.push_back(f);
            std::vector<uint64_t> index(length), seen(row.files, 0), a_at;
            for (uint64_t k = 0; k < length; k++) {
                index[k] = seen[truth[k]]++;
                if (truth[k] == 0)
                    a_at.push_back(k);
            }
            if (a_at.size() < 3)
                continue;
            // a's located piece the bytes start in, the last of their clusters, and a's piece behind
            const uint64_t lo = random(uint32_t(a_at.size() - 2)), lo_k = a_at[lo];
            const uint64_t last = lo + 1 + random(uint32_t(a_at.size() - lo - (row.open ? 1 : 2)));
            const uint64_t hi = row.open ? a_at.size() : last + 1 + random(uint32_t(a_at.size() - last - 1));
            std::vector<uint32_t> shown(length, 0);  // the file each piece shows (1: a, 2: b, 3: c)
            std::vector<uint64_t> shown_index(length, UINT64_MAX);
            std::vector<int> located(row.files, 0);
            for (uint64_t k = 0; k < length; k++)
                if (k == lo_k || (row.open ? random(2) == 0 && (truth[k] != 0 || k < lo_k) : random(2) == 0))
                    shown[k] = 1, located[truth[k]] = 1;
            if (!row.open)
                shown[a_at[hi]] = 1;
            for (uint32_t f = 1; f < row.files; f++)
                if (!located[f]) {
                    uint64_t k = random(length);
                    while (truth[k] != f)
                        k = (k + 1) % length;
                    shown[k] = 1;
                }
            salvage::ClaimList claims;
            for (uint64_t k = 0; k < length; k++)
                if (shown[k]) {
                    shown[k] = truth[k] + 1, shown_index[k] = index[k];
                    basics::list_append(&claims.spans, salvage::ClaimedSpan{k * cs + 5, k * cs + 100, truth[k] + 1, 0, 0,
                                                                            index[k] * cs + 5});
                }
            salvage::sort_claims(&claims);
            const auto one = fixture::every_layout(row.files, shown, shown_index, false);
            const uint64_t file = lo * cs + 10, size = last * cs + 200 - file;
            const salvage::JoinAnchor from{lo * cs + 5, lo_k * cs + 5};
            salvage::ChunkPlace at{};
            int done = row.open ? salvage::count_place_open(&g, &claims, 1, 0, nullptr, 0, from, file, size, &at)
                                : salvage::count_place(&g, &claims, 1, 0, nullptr, 0, from,
                                                       salvage::JoinAnchor{hi * cs + 5, a_at[hi] * cs + 5}, file, size,
                                                       &at);
            if (done == 1) {
                placed++;
                for (uint64_t u = lo; u <= last; u++) {
                    uint64_t x = u == lo ? 0 : u * cs - file, k = salvage::place_offset(&at, x) / cs;
                    ASSERT_LT(k, length) << row.name << ", seed " << seed;
                    EXPECT_EQ(salvage::place_offset(&at, x) % cs, (file + x) % cs) << row.name << ", seed " << seed;
                    EXPECT_EQ(one[k], std::make_pair(1u, u))
                        << row.name << ", seed " << seed << ": a's cluster " << u << " put at " << k;
                }
            }
            salvage::free_claims(&claims);
        }
        EXPECT_GE(placed, row.least) << row.name;
    }
}

// A described chunk of a recording without its movie box, its middle sample longer than a cluster,
// in two files written at once in runs of one cluster: "a" (clip 1) in the even clusters, "b"
// (clip 2) in the odd ones. a's pieces around the chunk are its header and a piece behind the
// chunk's last byte, which stands alone in its cluster; b's located pieces count the clusters
// between. The chunk is placed, every run of it, only where every way of sharing the clusters out
// puts it in one place and its samples walk there.
TEST(SalvageClusterCount, ALostChunkIsPlacedOnlyWhereTheCountAndItsSamplesAgree)
{
    constexpr uint64_t cs = 512, start = 600, clusters = 6;
    const std::vector<uint32_t> sizes = {300, 1100, 561};
    fixture::Bytes file(start, 0x5A);
    for (size_t i = 0; i < sizes.size(); i++)
        mkcard::put_bytes(file, fixture::avc_sample(sizes[i], i == 0));
    const uint64_t total = file.size() - start;
    file.resize(clusters * cs, 0x33);
    struct {
        const char* name;
        int overwritten;  // a's cluster (of its file) another file overwrote; -1: none
        int unlocated;    // b's cluster (of its file) no piece locates; -1: none
        int placed;
    } rows[] = {
        {"every cluster between counted", -1, -1, 1},
        {"the cluster of the third sample's head overwritten", 3, -1, 0},
        {"one of b's clusters not located: the count leaves ways that differ", -1, 3, 0},
    };
    image::ImageGeometry g{0, cs, 0};
    for (const auto& row : rows) {
        fixture::Bytes image;
        for (uint64_t k = 0; k < clusters; k++) {
            fixture::Bytes own(file.begin() + k * cs, file.begin() + (k + 1) * cs);
            if (int(k) == row.overwritten)
                std::fill(own.begin(), own.end(), 0x11);
            mkcard::put_bytes(image, own);
            mkcard::put_bytes(image, fixture::Bytes(cs, 0x77));
        }
        fixture::TempImage img(image, row.name);
        salvage::ClaimList claims;
        for (uint64_t k = 0; k < clusters; k++)
            if (int(k) != row.unlocated)
                basics::list_append(&claims.spans, salvage::ClaimedSpan{(2 * k + 1) * cs + 10, (2 * k + 1) * cs + 100,
                                                                        2, 0, 0, k * cs + 10});
        salvage::sort_claims(&claims);
        salvage::LostPieces own{img.f, img.size, &g, &claims, 1, 0, {}, {}};
        salvage::add_lost_piece(&own, 0, 0, 200);
        const uint64_t behind = start + total + 40;  // in the file's cluster 5, a's sixth
        salvage::add_lost_piece(&own, behind, 10 * cs + behind % cs, 100);
        mp4::SampleSizes s = fixture::stored_sizes(sizes);
        salvage::ChunkPlace at{};
        int placed = salvage::lost_place(&own, start, &s, codec::Syntax::avc, &at);
        EXPECT_EQ(placed, row.placed) << row.name;
        fixture::Bytes got(total);
        if (placed && salvage::read_placed(img.f, &at, 0, got.data(), total)) {
            EXPECT_TRUE(std::equal(got.begin(), got.end(), file.begin() + start)) << row.name;
        }
        salvage::free_lost_pieces(&own);
        salvage::free_claims(&claims);
    }
}
