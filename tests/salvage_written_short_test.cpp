#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "analysis/analysis_types.h"
#include "salvage/written_short.h"

namespace {

struct Row {
    const char* name;
    uint64_t chunk_count;        // the chunks the documented rules listed of the three in the movie box
    std::vector<uint64_t> at;    // where they found each of the first clip's chunks (UINT64_MAX: nowhere)
    bool through_written_at;     // told by the writer's list, not by the chunks' placements
    uint64_t other_header;       // the second clip's header, its chunks behind it
    uint64_t marker;             // a kkad box of a run; 0: none
    uint32_t marker_tag;
    int short_written, others;
};

// A clip the documented rules wrote is short of video where its movie box lists chunks they did
// not list or found nowhere; it is planned again only where another recording's piece (a clip
// header, a chunk found, a kkad box of another run) lies among its header, the chunks found and its
// movie box, wherever in the image those lie.
TEST(SalvageWrittenShort, AShortClipIsPlannedAgainOnlyWhereOthersLieAmongItsPieces)
{
    constexpr uint64_t no = UINT64_MAX, own_tag = 5;
    const Row rows[] = {
        {"every chunk found, others behind its movie box", 3, {2000, 3000, 4000}, false, 10000, 0, 0, 0, 0},
        {"a chunk found nowhere, others behind its movie box", 3, {2000, no, 4000}, false, 10000, 0, 0, 1, 0},
        {"fewer chunks listed than the movie box has", 2, {2000, 3000}, false, 10000, 0, 0, 1, 0},
        {"the writer found one nowhere", 3, {2000, no, 4000}, true, 10000, 0, 0, 1, 0},
        {"another clip's header among its chunks", 3, {2000, no, 4000}, false, 2500, 0, 0, 1, 1},
        {"another clip's chunk among its chunks", 3, {2000, no, 4000}, false, 500, 0, 0, 1, 1},
        {"another run's kkad box among its chunks", 3, {2000, no, 4000}, false, 10000, 3500, 9, 1, 1},
        {"its own run's kkad box among its chunks", 3, {2000, no, 4000}, false, 10000, 3500, own_tag, 1, 0},
        {"a chunk found past its movie box, another's header between", 3, {2000, no, 7000}, false, 6000, 0, 0, 1, 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        // the first clip's header at 1000 and movie box at 5000; the second's chunks 1000 and
        // 2000 bytes behind its header, its movie box past them
        analysis::ClipHeader headers[2] = {{1000, 24, 1024, 0, 0, 1}, {r.other_header, 24, r.other_header + 24, 0, 0, 1}};
        analysis::RecordingRun runs[2] = {{}, {}};
        runs[0].tag = own_tag, runs[1].tag = 9;
        mp4::MovieInfo movies[2] = {};
        movies[0].moov_offset = 5000, movies[1].moov_offset = r.other_header + 3000;
        movies[0].video.chunk_count = movies[1].video.chunk_count = 3;
        // a placement past the listed ones counts for nothing
        std::vector<analysis::ChunkPlacement> chunks(3, analysis::ChunkPlacement{1, 0, 0, 0, 0, 1, 4000}), others(3);
        for (size_t k = 0; k < r.at.size(); k++)
            chunks[k].resolved = r.through_written_at || r.at[k] != no, chunks[k].data_offset = r.at[k];
        for (size_t k = 0; k < 2; k++)
            others[k].resolved = 1, others[k].data_offset = r.other_header + 1000 * (k + 1);
        analysis::ClipList clips{};
        basics::list_append(&clips, analysis::RecoveryClip{1, &headers[0], &runs[0], &movies[0], chunks.data(),
                                                           r.chunk_count, 0, 0});
        basics::list_append(&clips, analysis::RecoveryClip{2, &headers[1], &runs[1], &movies[1], others.data(), 2, 0, 0});
        analysis::MarkerList markers{};
        analysis::KkadMarker box{};
        box.marker_offset = r.marker, box.tag = r.marker_tag, box.valid = 1;
        if (r.marker)
            basics::list_append(&markers, box);
        uint8_t written[2] = {1, 0};
        std::vector<uint64_t> at = r.at;
        uint64_t* written_at[2] = {at.data(), nullptr};
        salvage::SalvageRequest q{};
        q.card.markers = &markers, q.clips = &clips, q.clip_written = written;
        q.written_at = r.through_written_at ? written_at : nullptr;
        EXPECT_EQ(salvage::written_short(&q, 0), r.short_written);
        EXPECT_EQ(salvage::others_between(&q, 0), r.others);
        basics::list_free(&clips);
        basics::list_free(&markers);
    }
}

}  // namespace
