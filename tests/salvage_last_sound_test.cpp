#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "salvage/chunk_sound.h"
#include "salvage/layout_join.h"
#include "salvage/last_sound.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_media.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 4096;
// the recording's last five clusters: its last picture bytes, its sound from sound_at to
// sound_end, then the rest of its file (a movie box lost: noise)
constexpr uint64_t sound_at = 3000, sound_room = 3 * cs + 1000 - sound_at;

Bytes noise(uint64_t n, uint32_t x)
{
    Bytes b(n);
    for (uint8_t& c : b)
        c = uint8_t((x = x * 1103515245 + 12345) >> 16);
    return b;
}

Bytes sound(uint64_t frames, uint64_t first, uint32_t seed, mkcard::SoundKind kind, mkcard::SoundFormat f = {})
{
    Bytes b(frames * f.frame_bytes(), 0);
    mkcard::put_sound(b.data(), first, frames, seed, false, kind, f);
    return b;
}

// The sound's rest placed cluster by cluster where the samples run on from its first byte, or its
// first byte found cluster by cluster back from a piece behind it (in its last cluster, or in the
// file's next one), or nowhere.
TEST(SalvageLastSound, EachClusterEdgeProvesTheNextOrNothingIsPlaced)
{
    using mkcard::SoundKind;
    // what the image holds: the recording's clusters 0-3 by number, or another's cluster
    enum : int { other = -1, other_unclaimed = -2, zeros = -3, own_later = -4, copy_of_2 = -5, copy_of_3 = -6 };
    // the bytes around the sound: only it, more of it behind its end, or more in front of its start
    enum Edges { alone, runs_on, leads_in };
    struct Case {
        const char* name;
        SoundKind kind;
        std::vector<int> image;
        Edges edges;
        bool forward, back;  // proven from its first byte on, and from a piece behind it back
        mkcard::SoundFormat format = {2, 2};
        uint64_t piece = 3;  // the file's cluster that holds the piece behind the sound
    };
    // the file's first cluster, then `others` of another's in front of the rest
    auto apart = [](int others) {
        std::vector<int> v(size_t(others) + 1, other);
        v[0] = 0;
        v.insert(v.end(), {1, 2, 3});
        return v;
    };
    const std::vector<Case> cases = {
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
        {"the cluster in front at the reach's end", SoundKind::tone, apart(int(salvage::last_sound_reach) - 1), alone,
         true, true},
        {"the cluster in front past the reach", SoundKind::tone, apart(int(salvage::last_sound_reach)), alone, false,
         false},
        {"24-bit music behind another's run", SoundKind::music, {0, other, other, 1, 2, 3}, alone, true, true, {3, 2}},
        {"24-bit four channels cut at every cluster", SoundKind::tone, {0, other, 1, other, 2, other, 3}, alone, true,
         true, {3, 4}},
        {"24-bit four channels of hiss", SoundKind::hiss, {0, other, other_unclaimed, 1, 2, 3}, alone, false, false,
         {3, 4}},
        {"24-bit four channels running on past the end", SoundKind::music, {0, 1, 2, 3}, runs_on, false, true, {3, 4}},
        {"24-bit stereo: more of another's in front", SoundKind::tone, {0, 1, 2, 3}, leads_in, true, false, {3, 2}},
        {"the file's first cluster at the heap's end", SoundKind::tone, {1, other, 2, 3, other, 0}, alone, false, true},
        {"the piece behind in the next cluster", SoundKind::tone, {0, other, 1, 2, other, 3, 4}, alone, true, true,
         {2, 2}, 4},
        {"the piece behind past another's run", SoundKind::tone, {0, 1, other, 2, 3, other_unclaimed, other, 4}, alone,
         true, true, {3, 4}, 4},
        {"the piece behind past silence", SoundKind::silence, {0, 1, 2, 3, 4}, alone, false, false, {2, 2}, 4},
        {"the piece behind past a stale copy", SoundKind::tone, {0, 1, 2, 3, copy_of_3, other, 4}, alone, false,
         false, {2, 2}, 4},
    };
    for (const auto& c : cases) {
        const uint64_t fb = c.format.frame_bytes(), sound_end = sound_at + (sound_room / fb) * fb;
        Bytes file = noise(5 * cs, 7);
        uint64_t lead = c.edges == leads_in ? 200 : 0;
        Bytes s = sound((sound_end - sound_at) / fb + lead + (c.edges == runs_on ? 200 : 0), 1000, 1, c.kind, c.format);
        std::copy(s.begin(), s.end(), file.begin() + sound_at - fb * lead);
        Bytes image;
        salvage::ClaimList claims;
        std::vector<uint64_t> truth(5, UINT64_MAX);
        for (int k : c.image) {
            uint64_t at = image.size();
            Bytes b = k >= 0                ? Bytes(file.begin() + k * cs, file.begin() + (k + 1) * cs)
                      : k == zeros          ? Bytes(cs, 0)
                      : k == own_later      ? sound(cs / fb + 1, 90000, 1, c.kind, c.format)
                      : k == copy_of_2      ? Bytes(file.begin() + 2 * cs, file.begin() + 3 * cs)
                      : k == copy_of_3      ? Bytes(file.begin() + 3 * cs, file.begin() + 4 * cs)
                                            : sound(cs / fb + 1, 5000 + at, 2, c.kind, c.format);
            b.resize(cs);
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
        basics::list_append(&claims.spans, salvage::ClaimedSpan{truth[0], truth[0] + sound_at, 1, 0, 0, 0});
        salvage::sort_claims(&claims);
        fixture::TempImage img(image, c.name);
        image::ImageGeometry g{0, cs, 0};
        salvage::PcmFormat pcm{c.format.channels, 1, c.format.sample_bytes};
        salvage::ChunkPlace got{};
        int placed = salvage::last_sound_by_waveform(img.f, img.size, &g, &claims, 1, 0,
                                                     salvage::JoinAnchor{sound_at - 1, truth[0] + sound_at - 1}, sound_at,
                                                     sound_end - sound_at, pcm, &got);
        // the piece behind the sound: the file's bytes after it, in its last cluster or the next
        uint64_t piece_at = std::max(sound_end, c.piece * cs + 100);
        salvage::JoinAnchor head{}, behind{piece_at, truth[c.piece] + (piece_at - c.piece * cs)};
        salvage::ChunkPlace back{};
        int found = salvage::sound_head_by_waveform(img.f, img.size, &g, &claims, 1, 0, behind, sound_at,
                                                    sound_end - sound_at, pcm, &head, &back);
        salvage::free_claims(&claims);
        ASSERT_EQ(placed, int(c.forward)) << c.name;
        for (uint64_t k = 1; c.forward && k < 4; k++)
            EXPECT_EQ(salvage::place_offset(&got, k * cs - sound_at), truth[k]) << c.name << ", cluster " << k;
        ASSERT_EQ(found, int(c.back)) << c.name << ", back";
        if (c.back) {
            EXPECT_EQ(head.image, truth[0] + sound_at) << c.name;
            for (uint64_t k = 0; k < 4; k++)
                EXPECT_EQ(salvage::place_offset(&back, std::max(k * cs, sound_at) - sound_at),
                          truth[k] + std::max(k * cs, sound_at) - k * cs) << c.name << ", cluster " << k << " back";
        }
        EXPECT_EQ(img.hash(), img.made_hash) << c.name;
    }
}

// A recording without its movie box whose last video chunk lies in the run its header begins, at
// the header's distance, or past one or two of another file's clusters (its place in the file
// known); its sound (a tone) ends the media data. The run goes on for a cluster or not, then one to
// three of another file's clusters (its sound) come, located or not, then the rest of the
// recording. Wherever the sound is said to follow the chunk, it lies where the file's bytes do; a
// sound inside the chunk's last cluster always follows, and so does most of one whose run reaches
// its end.
TEST(SalvageLastSound, TheLastSoundFollowsItsChunkOnlyWhereItsFileLies)
{
    image::ImageGeometry g{0, cs, 0};
    uint64_t in_run = 0, followed_in_run = 0;
    for (uint32_t seed = 1; seed <= 120; seed++) {
        uint32_t x = seed;
        auto random = [&x](uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; };
        // sound of whole frames of twelve, as at a whole frame rate (a recording whose sound varies
        // from chunk to chunk places only what its descriptions prove)
        const uint64_t meta = 64, video = 500 + random(3000), sound_bytes = 48 * (5 + random(170));
        const uint64_t end = sound_bytes + video + cs + random(uint32_t(6 * cs)), at = end - sound_bytes - video;
        const bool located = random(2);
        // the image cluster of each of the file's clusters: the header's run, one cluster past the
        // chunk's end or not, then one to three of another file's between each run of its own
        std::vector<uint64_t> cluster;
        salvage::ClaimList claims;
        uint64_t first_run = (at + video - 1) / cs + 1 + random(2), next = 0;
        for (uint64_t k = 0; k * cs < end; k++) {
            uint64_t foreign = k >= first_run && (k == first_run || random(3) == 0) ? 1 + random(3) : 0;
            if (k == at / cs && k > 0 && seed % 3 == 0)
                foreign = 1 + seed % 2;  // the chunk itself lies past another file's clusters
            for (uint64_t n = foreign; n > 0; n--) {
                if (located)
                    basics::list_append(&claims.spans, salvage::ClaimedSpan{next * cs, next * cs + cs, 2, 0});
                next++;
            }
            cluster.push_back(next++);
        }
        auto image = [&](uint64_t b) { return cluster[b / cs] * cs + b % cs; };
        Bytes file = noise(end, seed);
        Bytes tone = sound(sound_bytes / 4, 1000, 1, mkcard::SoundKind::tone);
        std::copy(tone.begin(), tone.end(), file.begin() + (end - sound_bytes));
        Bytes bytes = sound((next + 1) * cs / 4, 5000, 2, mkcard::SoundKind::tone);  // the other file's
        for (uint64_t k = 0; k < cluster.size(); k++)
            std::copy(file.begin() + k * cs, file.begin() + std::min(end, k * cs + cs), bytes.begin() + cluster[k] * cs);
        fixture::TempImage img(bytes, "last sound");
        salvage::sort_claims(&claims);
        salvage::OthersPieces others{&claims, 1, 0};
        analysis::ClipHeader header{image(0), 24, image(24), end - 24, image(0) + end, 1};
        salvage::RecordingScope scope{img.f, img.size, &g, &header, image(32), end, 0, nullptr, {2, 1}};
        salvage::RecordingLayout layout{0, image(32), sound_bytes + meta, meta, 0};
        salvage::SalvageChunkList chunks;
        salvage::SalvageChunk chunk{};
        chunk.image_offset = image(at);
        chunk.full_bytes = video;
        chunk.samples = 12;
        chunk.end_confirmed = 1;
        chunk.file_offset = at, chunk.file_known = seed % 3 == 0 || seed % 2;
        basics::list_append(&chunks, chunk);
        salvage::place_chunk_sound(&scope, &chunks, &layout, nullptr, 0, 0, 0, &others);
        const salvage::SalvageChunk* c = &chunks.items[0];
        if ((at + video - 1) / cs == (end - 1) / cs) {
            EXPECT_TRUE(c->sound_follows) << "seed " << seed;
        }
        bool run = (end - 1) / cs < first_run;
        in_run += run, followed_in_run += run && c->sound_follows;
        for (uint64_t b = 0; c->sound_follows && b < sound_bytes; b++)
            ASSERT_EQ(salvage::place_offset(&c->sound, b), image(end - sound_bytes + b)) << "seed " << seed << " byte " << b;
        basics::list_free(&chunks);
        salvage::free_claims(&claims);
        EXPECT_EQ(img.hash(), img.made_hash) << "seed " << seed;
    }
    EXPECT_GT(2 * followed_in_run, in_run) << followed_in_run << " of " << in_run;
}

}  // namespace
