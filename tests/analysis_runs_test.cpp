#include <gtest/gtest.h>

#include "analysis/recording_runs.h"
#include "tests/analysis_fixture.h"

namespace {

using analysis::KkadMarker;

using fixture::Owned;

// Markers 1,000 bytes apart from image offset 10,000, all at the same recording time.
void markers_with(analysis::MarkerList* list, const std::vector<uint16_t>& sequences, uint64_t time = 1700000000)
{
    for (size_t i = 0; i < sequences.size(); i++) {
        KkadMarker m{};
        m.marker_offset = 10000 + 1000 * i;
        m.sequence = sequences[i];
        m.has_time = 1;
        m.time_unix = time;
        basics::list_append(list, m);
    }
}

void headers_at(analysis::ClipHeaderList* list, const std::vector<uint64_t>& offsets)
{
    for (uint64_t o : offsets)
        basics::list_append(list, analysis::ClipHeader{o, 24, o + 24, 1000, o + 1024, 1});
}

struct RunCase {
    const char* name;
    std::vector<uint16_t> sequences;
    std::vector<std::vector<uint64_t>> runs;  // first marker, end marker
};

TEST(AnalysisRuns, SequenceZeroRuns)
{
    const RunCase cases[] = {
        {"markers before the first zero belong to no run", {3, 4, 0, 1, 2, 0, 1}, {{2, 5}, {5, 7}}},
        {"a gap in the sequence does not end the run", {0, 1, 3}, {{0, 3}}},
        {"no zero, no run", {1, 2, 3}, {}},
        {"single markers", {0, 0}, {{0, 1}, {1, 2}}},
    };
    for (const RunCase& c : cases) {
        Owned<analysis::MarkerList> markers;
        Owned<analysis::ClipHeaderList> headers;
        Owned<analysis::RunList> runs;
        markers_with(&markers, c.sequences);
        headers_at(&headers, {0});
        analysis::build_runs(&headers, &markers, &runs);
        ASSERT_EQ(runs.count, c.runs.size()) << c.name;
        for (size_t i = 0; i < runs.count; i++) {
            EXPECT_EQ(runs.items[i].marker_count, c.runs[i][1] - c.runs[i][0]) << c.name;
            EXPECT_EQ(runs.items[i].start_offset, markers.items[c.runs[i][0]].marker_offset) << c.name;
        }
    }
}

TEST(AnalysisRuns, ClipHeaderOfARun)
{
    struct Case {
        const char* name;
        uint64_t run_offset;
        std::vector<uint64_t> headers;
        uint32_t header_index;
    } cases[] = {
        {"exactly 2 MiB after its header", 2097152 + 3000, {1000, 3000}, 2},
        {"2 MiB and one byte after its header", 2097152 + 3001, {1000, 3000}, 0},
        {"last header at or before the run", 10000, {1000, 9000, 10000, 10001}, 3},
        {"run before the first header", 10000, {20000}, 0},
        {"no headers", 10000, {}, 0},
    };
    Owned<analysis::MarkerList> markers;
    markers_with(&markers, {0});
    for (const Case& c : cases) {
        markers.items[0].marker_offset = c.run_offset;
        Owned<analysis::ClipHeaderList> headers;
        Owned<analysis::RunList> runs;
        headers_at(&headers, c.headers);
        analysis::build_runs(&headers, &markers, &runs);
        ASSERT_EQ(runs.count, 1u) << c.name;
        EXPECT_EQ(runs.items[0].header_index, c.header_index) << c.name;
    }
}

struct MovieSpec {
    uint64_t creation_unix;
    uint64_t sample_count;
    std::vector<uint32_t> chunk_samples;
};

// Movie records with only what pairing and clip selection read; `counts` keeps the tables alive.
struct Movies {
    Owned<analysis::MovieList> list;
    std::vector<std::vector<uint32_t>> counts;
    explicit Movies(const std::vector<MovieSpec>& specs)
    {
        counts.reserve(specs.size());
        for (size_t i = 0; i < specs.size(); i++) {
            counts.push_back(specs[i].chunk_samples);
            mp4::MovieInfo m{};
            m.moov_offset = 100000 * (i + 1);
            m.has_creation_time = 1;
            m.creation_unix = specs[i].creation_unix;
            m.has_video = 1;
            m.video.sample_count = specs[i].sample_count;
            m.video.chunk_count = counts.back().size();
            m.video.chunk_sample_counts = counts.back().data();
            basics::list_append(&list, m);
        }
    }
};

void runs_at(analysis::RunList* runs, const std::vector<uint64_t>& times, uint64_t marker_count = 1)
{
    for (size_t i = 0; i < times.size(); i++) {
        analysis::RecordingRun r{};
        r.has_time = 1;
        r.time_unix = times[i];
        r.marker_count = marker_count;
        r.header_index = uint32_t(i + 1);
        basics::list_append(runs, r);
    }
}

TEST(AnalysisRuns, WholeHourShift)
{
    const uint64_t t = 1700000000;
    struct Case {
        const char* name;
        std::vector<uint64_t> runs;
        std::vector<uint64_t> movies;
        int shift;
    } cases[] = {
        {"movies 9 hours ahead", {t, t + 100, t + 200}, {t + 9 * 3600, t + 100 + 9 * 3600, t + 200 + 9 * 3600}, 9},
        {"movies 3 hours behind", {t}, {t - 3 * 3600}, -3},
        {"equal counts at +1 and +2 choose +1", {t, t + 50}, {t + 3600, t + 50 + 7200}, 1},
        {"no match at all", {t}, {t + 15 * 3600}, -14},
        {"no movies", {t}, {}, -14},
        {"no runs", {}, {t}, -14},
    };
    for (const Case& c : cases) {
        std::vector<MovieSpec> specs;
        for (uint64_t m : c.movies)
            specs.push_back({m, 12, {12}});
        Movies movies(specs);
        Owned<analysis::RunList> runs;
        runs_at(&runs, c.runs);
        EXPECT_EQ(analysis::choose_time_shift(&runs, &movies.list), c.shift) << c.name;
    }
}

TEST(AnalysisRuns, PairingByTimeAndSampleCount)
{
    const uint64_t t = 1700000000;
    struct Case {
        const char* name;
        std::vector<MovieSpec> movies;
        std::vector<uint64_t> runs;
        std::vector<uint32_t> header_index;  // per run; 0 for none
        std::vector<uint64_t> paired_movies;
    } cases[] = {
        {"closest sample count wins", {{t, 1212, {12}}, {t, 1200, {12}}}, {t}, {1}, {1}},
        {"equal distances take the earlier box", {{t, 1188, {12}}, {t, 1212, {12}}}, {t}, {1}, {0}},
        {"a run without a header still uses its box", {{t, 1200, {12}}}, {t, t}, {0, 2}, {}},
        {"second run takes the remaining box", {{t, 1200, {12}}, {t, 1100, {12}}}, {t, t}, {1, 2}, {0, 1}},
        {"wrong time pairs nothing", {{t + 1, 1200, {12}}}, {t}, {1}, {}},
    };
    for (const Case& c : cases) {
        Movies movies(c.movies);
        Owned<analysis::RunList> runs;
        Owned<analysis::PairList> pairs;
        runs_at(&runs, c.runs, 100);
        for (size_t i = 0; i < runs.count; i++)
            runs.items[i].header_index = c.header_index[i];
        analysis::pair_runs(&runs, &movies.list, 0, &pairs);
        ASSERT_EQ(pairs.count, c.paired_movies.size()) << c.name;
        for (size_t i = 0; i < pairs.count; i++)
            EXPECT_EQ(pairs.items[i].movie, c.paired_movies[i]) << c.name;
    }
}

TEST(AnalysisRuns, TwelveSampleClipsSortedByClipNumber)
{
    const uint64_t t = 1700000000;
    Movies movies({{t, 24, {12, 12}}, {t, 23, {12, 11}}, {t, 12, {12}}, {t, 0, {}}});
    Owned<analysis::ClipHeaderList> headers;
    Owned<analysis::RunList> runs;
    Owned<analysis::PairList> pairs;
    headers_at(&headers, {0, 100, 200, 300, 400});
    runs_at(&runs, {t, t, t, t});
    // clip numbers 4, 2, 1, 3 and one beyond the header list
    for (analysis::MoviePair p : {analysis::MoviePair{0, 0, 4}, {1, 1, 2}, {2, 2, 1}, {3, 3, 3}, {0, 0, 6}})
        basics::list_append(&pairs, p);
    analysis::ClipList clips;
    analysis::select_clips(&pairs, &runs, &movies.list, &headers, &clips);
    ASSERT_EQ(clips.count, 2u) << "11-sample chunk, empty track and unknown header give no clip";
    EXPECT_EQ(clips.items[0].clip_number, 1u);
    EXPECT_EQ(clips.items[0].chunk_count, 1u);
    EXPECT_EQ(clips.items[0].header, &headers.items[0]);
    EXPECT_EQ(clips.items[1].clip_number, 4u);
    EXPECT_EQ(clips.items[1].movie, &movies.list.items[0]);
    EXPECT_EQ(clips.items[1].chunks[1].mapped, 0u);
    analysis::free_clips(&clips);
}

TEST(AnalysisRuns, StageLines)
{
    const uint64_t t = 1700000000;
    Movies movies({{t + 9 * 3600, 24, {12, 12}}});
    Owned<analysis::MarkerList> markers;
    Owned<analysis::ClipHeaderList> headers;
    Owned<analysis::RunList> runs;
    Owned<analysis::PairList> pairs;
    markers_with(&markers, {0, 1}, t);
    headers_at(&headers, {9000});
    analysis::ClipList clips;
    testing::internal::CaptureStdout();
    analysis::build_recordings(&headers, &markers, &movies.list, &runs, &pairs, &clips);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n[3/6] Building Sony recording runs and pairing moov...\n"
              "  sequence-zero runs=1\n"
              "  timestamp shift=+9 h\n"
              "  XAVC+moov pairs=1\n"
              "  R8-compatible 12-sample XAVC recordings=1\n");
    analysis::free_clips(&clips);
}

}  // namespace
