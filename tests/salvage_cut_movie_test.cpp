#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mp4/movie_box.h"
#include "salvage/cut_movie.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 512;  // the card's clusters, the heap at the image's start

struct CutCase {
    const char* name;
    int64_t cut;          // where the run ends, from the movie box's start; < 0: from the file's end
    uint64_t gap;         // clusters of other bytes between the runs
    int second_rest;      // the rest lies once more, one cluster further on
    int rest_taken;       // another file's piece lies where the rest begins
    uint64_t rest_shift;  // the rest begins this far into its cluster
    int64_t mdat_less;    // the media data the clip header gives is this much shorter
    int expect;
};

// A movie box a run boundary cut is put back together from the rest at a later cluster's start
// only where that is the one place its box tree walks exactly to its size with a header behind
// the cut, and its tables fit the clip's media data; the joined box reads as the camera wrote it.
TEST(SalvageCutMovie, ACutMovieBoxIsJoinedOnlyWhereItsStructureProvesOnePlace)
{
    const CutCase cases[] = {
        {"cut early in the box, the rest two clusters on", 300, 2, 0, 0, 0, 0, 1},
        {"cut in the middle, the rest behind the next cluster", -400, 1, 0, 0, 0, 0, 1},
        {"the rest far behind, within the window", 300, 40, 0, 0, 0, 0, 1},
        {"the rest beyond the window", 300, salvage::cut_movie_window + 2, 0, 0, 0, 0, 0},
        {"the rest lies twice: neither is taken", 300, 2, 1, 0, 0, 0, 0},
        {"another file's piece where the rest begins", 300, 2, 0, 1, 0, 0, 0},
        {"the rest not at a cluster's start", 300, 2, 0, 0, 16, 0, 0},
        {"cut behind the last box header: nothing proves the rest", -4, 2, 0, 0, 0, 0, 0},
        {"the tables run past the clip's media data", 300, 2, 0, 0, 0, 64, 0},
    };
    fixture::RecordingSpec shape;
    Bytes file = fixture::make_recording(shape);
    mp4::BoxHeader mdat;
    ASSERT_TRUE(mp4::read_box_header_mem(file.data(), file.size(), 24, &mdat));
    uint64_t moov_file = mdat.offset + mdat.size, moov_size = file.size() - moov_file;
    for (const CutCase& c : cases) {
        uint64_t cut_file = c.cut < 0 ? file.size() - uint64_t(-c.cut) : moov_file + uint64_t(c.cut);
        ASSERT_GT(cut_file, moov_file) << c.name;
        // the file starts where its cut falls on a cluster edge
        uint64_t start = (cs - cut_file % cs) % cs;
        Bytes image(start, 0x5A);
        image.insert(image.end(), file.begin(), file.begin() + cut_file);
        for (uint64_t k = 0; k < c.gap * cs + c.rest_shift; k++)
            image.push_back(uint8_t(0x21 + k % 77));
        uint64_t rest_at = image.size();
        for (int copy = 0; copy < 1 + c.second_rest; copy++) {
            image.insert(image.end(), file.begin() + cut_file, file.end());
            image.resize((image.size() / cs + 1) * cs, 0x33);
        }
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        uint64_t taken_begin = rest_at, taken_end = rest_at + 8;
        salvage::TakenBytes taken = {&taken_begin, &taken_end, size_t(c.rest_taken)};
        uint64_t mdat_begin = mdat.offset + mdat.header_size, mdat_end = mdat.offset + mdat.size - c.mdat_less;
        mp4::MovieInfo m{};
        int joined = salvage::join_cut_movie(img.f, img.size, &g, start + moov_file, mdat_begin, mdat_end, &taken, &m);
        EXPECT_EQ(joined, c.expect) << c.name;
        if (joined) {
            EXPECT_EQ(m.moov_offset, start + moov_file) << c.name;
            EXPECT_EQ(m.moov_size, moov_size) << c.name;
            EXPECT_EQ(m.moov_head, cut_file - moov_file) << c.name;
            EXPECT_EQ(m.moov_tail, rest_at) << c.name;
            EXPECT_TRUE(std::equal(m.moov_bytes, m.moov_bytes + m.moov_size, file.begin() + moov_file)) << c.name;
            // the box's pieces, each where its file offset puts it in the camera's file
            salvage::ClaimList claims;
            salvage::claim_movie_box(&m, salvage::ClaimedSpan{0, 0, 1, 0, 0, moov_file}, &claims);
            uint64_t claimed = 0;
            for (uint64_t i = 0; i < claims.spans.count; i++) {
                const salvage::ClaimedSpan& x = claims.spans.items[i];
                claimed += x.end - x.begin;
                ASSERT_LE(x.file + (x.end - x.begin), file.size()) << c.name;
                EXPECT_TRUE(std::equal(image.begin() + x.begin, image.begin() + x.end, file.begin() + x.file)) << c.name;
            }
            EXPECT_EQ(claims.spans.count, 2u) << c.name;
            EXPECT_EQ(claimed, moov_size) << c.name;
            salvage::free_claims(&claims);
            mp4::free_movie_info(&m);
        }
        EXPECT_EQ(img.hash(), img.made_hash) << c.name;
    }
}

struct ReadOnCase {
    const char* name;
    int cut;         // 1: a boundary cuts the box inside its last track's media box header
    int rests;       // copies of the rest behind the other file's clusters
    int expect_join;
};

// A box cut inside its last track reads on into the other file's bytes and may still make a clip
// of the tracks in front of the cut; the clip takes the box put back together where one place of
// the rest makes the whole tree walk, and keeps it as read where none or two do.
TEST(SalvageCutMovie, AListedClipWhoseBoxReadsOnTakesTheBoxPutBackTogether)
{
    const ReadOnCase cases[] = {
        {"cut inside the last track: joined", 1, 1, 1},
        {"the rest lies twice: kept as read", 1, 2, 0},
        {"no rest: kept as read", 1, 0, 0},
        {"a box in one run: kept", 0, 1, 0},
    };
    fixture::RecordingSpec shape;
    Bytes file = fixture::make_recording(shape);
    mp4::BoxHeader mdat;
    ASSERT_TRUE(mp4::read_box_header_mem(file.data(), file.size(), 24, &mdat));
    uint64_t moov_file = mdat.offset + mdat.size;
    const std::string media = "mdia";
    auto last_media = std::find_end(file.begin() + moov_file, file.end(), media.begin(), media.end());
    ASSERT_NE(last_media, file.end());
    // the box header's size field before the boundary, its type behind it
    uint64_t cut_file = uint64_t(last_media - file.begin()) + 2;
    for (const ReadOnCase& c : cases) {
        uint64_t start = (cs - cut_file % cs) % cs + cs;
        Bytes image(start, 0);
        uint64_t split = c.cut ? cut_file : file.size();
        image.insert(image.end(), file.begin(), file.begin() + split);
        // the other file's clusters: bytes no box tree walks through
        for (uint64_t k = 0; k < 2 * cs; k++)
            image.push_back(uint8_t(0x80 + k % 97));
        uint64_t rest_at = image.size();
        for (int copy = 0; copy < c.rests; copy++) {
            image.insert(image.end(), file.begin() + split, file.end());
            image.resize((image.size() / cs + 1) * cs, 0x33);
        }
        image.resize(image.size() + cs, 0);
        fixture::TempImage img(image, c.name);
        fixture::ImageAnalysis a(image, img);
        const analysis::ClipList& clips = a.clips;
        ASSERT_EQ(clips.count, 1u) << c.name;
        image::ImageGeometry g{0, cs, 0};
        const salvage::SalvageCard card{img.f, img.size, &g, &a.index, &a.headers, &a.markers, &a.movies, &a.runs,
                                        &a.pairs, 0, nullptr};
        salvage::CutMovieClips out;
        salvage::find_cut_movie_clips(&card, &clips, &out);
        EXPECT_EQ(out.clips.count, 0u) << c.name;  // the clip is listed already
        size_t m = size_t(clips.items[0].movie - a.movies.items);
        ASSERT_LT(m, out.movies.count) << c.name;
        const mp4::MovieInfo* box = &out.movies.items[m];
        EXPECT_EQ(out.own.items[m], c.expect_join) << c.name;
        EXPECT_EQ(box->moov_head != 0, c.expect_join) << c.name;
        if (c.expect_join) {
            EXPECT_EQ(box->moov_head, cut_file - moov_file) << c.name;
            EXPECT_EQ(box->moov_tail, rest_at) << c.name;
            EXPECT_EQ(box->has_other, 1u) << c.name;
            EXPECT_TRUE(std::equal(box->moov_bytes, box->moov_bytes + box->moov_size, file.begin() + moov_file))
                << c.name;
        }
        salvage::free_cut_movie_clips(&out);
        EXPECT_EQ(img.hash(), img.made_hash) << c.name;
    }
}

}  // namespace
