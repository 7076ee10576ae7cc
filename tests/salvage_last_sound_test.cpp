#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "salvage/cut_join.h"
#include "salvage/last_sound.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_media.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 4096;
// the recording's last four clusters: its last picture bytes, its sound from sound_at to
// sound_end, then the rest of its file (a movie box lost: noise)
constexpr uint64_t sound_at = 3000, sound_end = 3 * cs + 1000;

Bytes noise(uint64_t n, uint32_t x)
{
    Bytes b(n);
    for (uint8_t& c : b)
        c = uint8_t((x = x * 1103515245 + 12345) >> 16);
    return b;
}

Bytes sound(uint64_t frames, uint64_t first, uint32_t seed, mkcard::SoundKind kind)
{
    Bytes b(frames * 4, 0);
    mkcard::put_sound(b.data(), first, frames, seed, false, kind);
    return b;
}

// The sound's rest placed cluster by cluster where the samples run on from its first byte, or its
// first byte found cluster by cluster back from a piece behind it, or nowhere.
TEST(SalvageLastSound, EachClusterEdgeProvesTheNextOrNothingIsPlaced)
{
    using mkcard::SoundKind;
    // what the image holds: the recording's clusters 0-3 by number, or another's cluster
    enum : int { other = -1, other_unclaimed = -2, zeros = -3, own_later = -4, copy_of_2 = -5 };
    // the bytes around the sound: only it, more of it behind its end, or more in front of its start
    enum Edges { alone, runs_on, leads_in };
    struct {
        const char* name;
        SoundKind kind;
        std::vector<int> image;
        Edges edges;
        bool forward, back;  // proven from its first byte on, and from a piece behind it back
    } cases[] = {
        {"its run goes on", SoundKind::tone, {0, 1, 2, 3, other}, alone, true, true},
        {"behind another's run", SoundKind::tone, {0, other, other, 1, 2, 3}, alone, true, true},
        {"cut at every cluster", SoundKind::tone, {0, other, 1, other, 2, other, 3}, alone, true, true},
        {"free clusters of other files' bytes between", SoundKind::tone,
         {0, other, other_unclaimed, zeros, own_later, 1, 2, 3, other_unclaimed}, alone, true, true},
        {"hiss hides every step", SoundKind::hiss, {0, other, other_unclaimed, 1, 2, 3}, alone, false, false},
        {"silence runs on into any silence", SoundKind::silence, {0, other, zeros, 1, 2, 3}, alone, false, false},
        {"silence proves nothing", SoundKind::silence, {0, other, 1, 2, 3}, alone, false, false},
        {"a stale copy of a cluster fits as well", SoundKind::tone, {0, 1, other, 2, copy_of_2, 3}, alone, false,
         false},
        {"sound that runs on past the end is another's", SoundKind::tone, {0, 1, 2, 3}, runs_on, false, true},
        {"sound in front of the start is more of another's", SoundKind::tone, {0, 1, 2, 3}, leads_in, true, false},
        {"the next cluster lies out of reach", SoundKind::tone, {0, other}, alone, false, false},
    };
    for (const auto& c : cases) {
        Bytes file = noise(4 * cs, 7);
        uint64_t lead = c.edges == leads_in ? 200 : 0;
        Bytes s = sound((sound_end - sound_at) / 4 + lead + (c.edges == runs_on ? 200 : 0), 1000, 1, c.kind);
        std::copy(s.begin(), s.end(), file.begin() + sound_at - 4 * lead);
        Bytes image;
        salvage::ClaimList claims;
        std::vector<uint64_t> truth(4, UINT64_MAX);
        for (int k : c.image) {
            uint64_t at = image.size();
            Bytes b = k >= 0                ? Bytes(file.begin() + k * cs, file.begin() + (k + 1) * cs)
                      : k == zeros          ? Bytes(cs, 0)
                      : k == own_later      ? sound(cs / 4, 90000, 1, c.kind)
                      : k == copy_of_2      ? Bytes(file.begin() + 2 * cs, file.begin() + 3 * cs)
                                            : sound(cs / 4, 5000 + at, 2, c.kind);
            image.insert(image.end(), b.begin(), b.end());
            if (k == other)
                basics::list_append(&claims.spans, salvage::ClaimedSpan{at, at + cs, 2, 0});
            if (k >= 0)
                truth[k] = at;
        }
        if (c.image.size() == 2)  // the recording's other clusters far behind
            for (int k = 1; k < 4; k++) {
                truth[k] = (salvage::last_sound_reach + 2 + k) * cs;
                image.resize(truth[k], 0);
                image.insert(image.end(), file.begin() + k * cs, file.begin() + (k + 1) * cs);
            }
        // its chunk's bytes in front of the sound, located
        basics::list_append(&claims.spans, salvage::ClaimedSpan{0, sound_at, 1, 0, 0, 0});
        salvage::sort_claims(&claims);
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        salvage::PcmFormat pcm{2, 1};
        salvage::ChunkPlace got{};
        int placed = salvage::last_sound_by_waveform(img.f, img.size, &g, &claims, 1, 0,
                                                     salvage::JoinAnchor{sound_at - 1, sound_at - 1}, sound_at,
                                                     sound_end - sound_at, pcm, &got);
        // the piece behind the sound: the file's bytes after it, in its last cluster
        salvage::JoinAnchor head{}, behind{sound_end, truth[3] + (sound_end - 3 * cs)};
        int found = salvage::sound_head_by_waveform(img.f, img.size, &g, &claims, 1, 0, behind, sound_at,
                                                    sound_end - sound_at, pcm, &head);
        salvage::free_claims(&claims);
        ASSERT_EQ(placed, int(c.forward)) << c.name;
        for (uint64_t k = 1; c.forward && k < 4; k++)
            EXPECT_EQ(salvage::place_offset(&got, k * cs - sound_at), truth[k]) << c.name << ", cluster " << k;
        ASSERT_EQ(found, int(c.back)) << c.name << ", back";
        if (c.back)
            EXPECT_EQ(head.image, truth[0] + sound_at) << c.name;
        EXPECT_EQ(img.hash(), img.made_hash) << c.name;
    }
}

}  // namespace
