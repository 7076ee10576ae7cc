#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "engine/driver.h"

namespace {

// Clips 1..7; the listed numbers are recoverable, the rest have one open chunk.
struct QueueFixture {
    engine::RunState state{};
    std::vector<analysis::ChunkPlacement> open_chunk{1};
    std::vector<analysis::ChunkPlacement> mapped_chunk{1};

    explicit QueueFixture(std::set<uint32_t> recoverable)
    {
        state.options = engine::default_options();
        mapped_chunk[0].mapped = 1;
        for (int n = 1; n <= 7; n++) {
            analysis::RecoveryClip c{};
            c.clip_number = static_cast<uint32_t>(n);
            c.chunk_count = 1;
            c.chunks = recoverable.count(n) ? mapped_chunk.data() : open_chunk.data();
            basics::list_append(&state.clips, c);
        }
    }
    ~QueueFixture() { basics::list_free(&state.clips); }
};

struct Call {
    uint32_t clip;
    size_t file, total;
    bool operator==(const Call&) const = default;
};
std::vector<Call> calls;
std::set<uint32_t> refused;

int fake_writer(engine::RunState*, const analysis::RecoveryClip* clip, size_t file, size_t total)
{
    calls.push_back({clip->clip_number, file, total});
    return refused.count(clip->clip_number) ? 0 : 1;
}

struct QueueCase {
    const char* name;
    std::set<uint32_t> recoverable;
    int recover_count, recover_all, clip_index;
    std::set<uint32_t> refused;
    size_t total;
    std::vector<Call> calls;
    size_t written;
};

TEST(RecoveryQueue, EachModeHandsTheRightClipsToTheWriter)
{
    const QueueCase cases[] = {
        {"default writes the lowest recoverable clip", {2, 5, 7}, 1, 0, 0, {}, 1, {{2, 1, 1}}, 1},
        {"first two", {2, 5, 7}, 2, 0, 0, {}, 2, {{2, 1, 2}, {5, 2, 2}}, 2},
        {"a clip given up is replaced by the next", {2, 5, 7}, 2, 0, 0, {2}, 2,
         {{2, 1, 2}, {5, 2, 2}, {7, 3, 2}}, 2},
        {"first N with fewer recoverable clips", {2}, 3, 0, 0, {}, 1, {{2, 1, 1}}, 1},
        {"recover 0 hands nothing over", {2, 5, 7}, 0, 0, 0, {}, 0, {}, 0},
        {"all recoverable clips", {2, 5, 7}, 1, 1, 0, {}, 3, {{2, 1, 3}, {5, 2, 3}, {7, 3, 3}}, 3},
        {"all, one given up", {2, 5, 7}, 1, 1, 0, {5}, 3, {{2, 1, 3}, {5, 2, 3}, {7, 3, 3}}, 2},
        {"single clip wins over all", {2, 5, 7}, 1, 1, 5, {}, 1, {{5, 1, 1}}, 1},
        {"single clip that is not recoverable", {2, 5, 7}, 1, 0, 4, {}, 0, {}, 0},
        {"single clip beyond the list", {2, 5, 7}, 1, 0, 9, {}, 0, {}, 0},
    };
    for (const QueueCase& c : cases) {
        QueueFixture f(c.recoverable);
        f.state.options.recover_count = c.recover_count;
        f.state.options.recover_all = c.recover_all;
        f.state.options.clip_index = c.clip_index;
        calls.clear();
        refused = c.refused;
        size_t total = engine::recovery_queue_total(&f.state.options, &f.state.clips);
        EXPECT_EQ(total, c.total) << c.name;
        size_t written = engine::run_recovery_queue(&f.state, total, fake_writer);
        EXPECT_EQ(written, c.written) << c.name;
        EXPECT_EQ(calls, c.calls) << c.name;
    }
}

}  // namespace
