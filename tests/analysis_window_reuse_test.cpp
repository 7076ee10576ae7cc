#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include "analysis/chunk_locate.h"
#include "analysis/window_reuse.h"
#include "tests/analysis_fixture.h"

using fixture::Bytes;

namespace {

struct Search {
    uint64_t centre, back, forward;
    uint32_t chunk;
    const char* format;
};

// Reused bytes and delimiters must give exactly what fresh reads give, whatever order the
// windows come in: sliding forward by a chunk, standing inside the held range, jumping back,
// switching to HEVC delimiters, running past the image end.
TEST(AnalysisWindowReuse, GivesTheSameChunksAsFreshReads)
{
    const fixture::RecordingSpec plan{.chunks = 40, .audio_bytes = 48000};
    std::vector<uint64_t> video_at;
    Bytes image = fixture::make_recording(plan, &video_at);
    std::vector<std::vector<uint32_t>> sizes(plan.chunks);
    std::vector<bool> video(image.size());
    for (uint32_t c = 0; c < plan.chunks; c++) {
        sizes[c] = fixture::video_sizes(plan, c);
        uint64_t end = video_at[c] + std::accumulate(sizes[c].begin(), sizes[c].end(), uint64_t(0));
        std::fill(video.begin() + video_at[c], video.begin() + end, true);
    }
    std::mt19937 random(7);
    for (size_t i = 0; i < image.size(); i += 97)
        if (!video[i])
            image[i] = uint8_t(random());  // noise in the metadata and sound chunks
    fixture::TempImage file(image);

    const uint32_t large = plan.chunks;  // a chunk over 128 MiB is searched in segments
    sizes.push_back(std::vector<uint32_t>(12, 12u << 20));
    std::vector<Search> searches;
    for (uint32_t c = 0; c < plan.chunks; c++)
        searches.push_back({video_at[c] + 60000, 400000, 400000, c, "avc1"});
    searches.push_back({video_at[1], 0, ~0ull, large, "avc1"});        // overwrites the window buffer
    searches.push_back({video_at[30], 1000, 5000, 30, "avc1"});     // inside what is held
    searches.push_back({video_at[3] + 10, 100, 100000, 3, "avc1"}); // back before the held start
    searches.push_back({video_at[4], 4096, 4096, 4, "hvc1"});       // other delimiters
    searches.push_back({video_at[5], 4096, 4096, 5, "avc1"});
    searches.push_back({video_at[39], 1 << 20, ~0ull, 39, "avc1"}); // to the image end
    searches.push_back({video_at[39] + 3, 2, 3, 39, "avc1"});       // chunk starts before the window
    for (uint32_t c : {2u, 21u, 38u})  // the whole image: held on in steps as the candidates need it
        searches.push_back({video_at[c], ~0ull, ~0ull, c, "avc1"});

    auto search_all = [&] {
        std::vector<std::pair<int, uint64_t>> found;
        for (const Search& s : searches) {
            uint64_t out = 1;
            mp4::SampleSizes chunk = fixture::stored_sizes(sizes[s.chunk]);
            int ok = analysis::find_chunk_in_window(file.f, file.size, s.centre, s.back, s.forward, &chunk, s.format, &out);
            found.push_back({ok != 0, out});
        }
        return found;
    };
    std::vector<std::pair<int, uint64_t>> fresh = search_all();
    analysis::begin_window_reuse(file.f);
    std::vector<std::pair<int, uint64_t>> reused = search_all();
    analysis::release_read_buffers();
    EXPECT_FALSE(analysis::window_reuse_active(file.f));

    ASSERT_EQ(fresh.size(), reused.size());
    for (size_t i = 0; i < fresh.size(); i++)
        EXPECT_EQ(fresh[i], reused[i]) << "search " << i;
    for (uint32_t c = 0; c < plan.chunks; c++)
        EXPECT_EQ(fresh[c], std::make_pair(1, video_at[c])) << "chunk " << c;
    EXPECT_EQ(fresh[plan.chunks].first, 0);
    EXPECT_EQ(fresh[plan.chunks + 1], std::make_pair(1, video_at[30]));
    EXPECT_EQ(fresh[plan.chunks + 3].first, 0) << "HEVC delimiters never match AVC samples";
    EXPECT_EQ(fresh[plan.chunks + 6].first, 0);
    EXPECT_EQ(fresh.back(), std::make_pair(1, video_at[38]));
}

// The vector searches find what the byte-by-byte loop finds, from every start, with delimiters
// and near misses on both sides of each vector boundary.
TEST(AnalysisWindowReuse, DelimiterSearchMatchesThePlainLoop)
{
    std::mt19937 random(11);
    Bytes buf(700);
    for (uint8_t& b : buf)
        b = uint8_t(random() % 4 == 0 ? 0 : random());
    const uint8_t avc[] = {0, 0, 0, 2, 0x09}, hevc[] = {0, 0, 0, 3, 0x46}, near[] = {0, 1, 0, 2, 0x09};
    for (size_t at : {0, 14, 15, 31, 33, 63, 64, 200, 301, 650})
        std::copy(avc, avc + 5, buf.begin() + at);
    for (size_t at : {47, 95, 127, 500})
        std::copy(hevc, hevc + 5, buf.begin() + at);
    for (size_t at : {160, 380})
        std::copy(near, near + 5, buf.begin() + at);
    analysis::DelimiterSearch searches[4];
    size_t n = analysis::delimiter_searches(searches, 4);
    for (size_t v = 1; v < n; v++)
        for (int h = 0; h < 2; h++)
            for (uint64_t stop : {uint64_t(696), uint64_t(651), uint64_t(40)})
                for (uint64_t from = 0; from <= stop; from++)
                    ASSERT_EQ(searches[v](buf.data(), from, stop, h), searches[0](buf.data(), from, stop, h))
                        << "version " << v << " from " << from << " stop " << stop << " hevc " << h;
}

// A delimiter cut by the end of what one search read is found by the next search that reads on.
TEST(AnalysisWindowReuse, FindsADelimiterCutByTheHeldEnd)
{
    std::vector<uint32_t> sizes;
    Bytes chunk;
    for (uint32_t i = 0; i < 12; i++) {
        sizes.push_back(300 + 7 * i);
        mkcard::put_bytes(chunk, fixture::avc_sample(sizes.back(), i == 0));
    }
    const uint64_t forward = 20000;
    for (uint64_t cut = 1; cut <= 5; cut++) {
        uint64_t at = forward + chunk.size() - cut;  // the first search holds `cut` bytes of it
        Bytes image(at + 3 * chunk.size(), 0);
        std::copy(chunk.begin(), chunk.end(), image.begin() + at);
        fixture::TempImage file(image);
        analysis::begin_window_reuse(file.f);
        uint64_t out = 1;
        mp4::SampleSizes held = fixture::stored_sizes(sizes);
        EXPECT_EQ(analysis::find_chunk_in_window(file.f, file.size, 0, 0, forward, &held, "avc1", &out), 0);
        EXPECT_NE(analysis::find_chunk_in_window(file.f, file.size, at, 10, 10, &held, "avc1", &out), 0)
            << cut << " bytes held";
        EXPECT_EQ(out, at) << cut << " bytes held";
        analysis::release_read_buffers();
    }
    // One search holds its window on in eighths; some of these windows end an eighth inside the
    // delimiter of a one-sample chunk.
    const uint64_t at = 50000, back = 1000;
    Bytes one = fixture::avc_sample(300, true);
    Bytes image(at + 9000, 0);
    std::copy(one.begin(), one.end(), image.begin() + at);
    fixture::TempImage file(image);
    const std::vector<uint32_t> one_size{300};
    for (uint64_t forward = 6700; forward < 6748; forward++) {
        analysis::begin_window_reuse(file.f);
        uint64_t out = 1;
        mp4::SampleSizes held = fixture::stored_sizes(one_size);
        EXPECT_NE(analysis::find_chunk_in_window(file.f, file.size, at, back, forward, &held, "avc1", &out), 0)
            << "forward " << forward;
        EXPECT_EQ(out, at);
        analysis::release_read_buffers();
    }
}

}  // namespace
