#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "salvage/sound_continuity.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_media.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 4096;
constexpr uint64_t sound_at = 3000, sound_end = 3 * cs + 1000;  // in the recording's four clusters

Bytes noise(uint64_t n, uint32_t x)
{
    Bytes b(n);
    for (uint8_t& c : b)
        c = uint8_t((x = x * 1103515245 + 12345) >> 16);
    return b;
}

Bytes sound(uint64_t frames, uint64_t first, uint32_t seed, bool dithered, bool silent)
{
    Bytes b(frames * 4, 0);
    if (!silent)
        mkcard::put_sound(b.data(), first, frames, seed, dithered);
    return b;
}

TEST(SalvageSoundContinuity, TheWaveformProvesOneWayOrNone)
{
    // the recording's four clusters: a picture's bytes, its sound from sound_at to sound_end, a
    // picture's bytes again. The image: its cluster 0, a foreign one, its 1, a foreign one, its 2
    // and 3, so six ways lay its clusters 1 and 2 in the room between its first and its last
    enum Foreign { other_sound, own_sound_later, picture, copy_of_own };
    struct {
        const char* name;
        bool dithered, silent;
        Foreign foreign;
        bool runs_in;  // the bytes in front of the sound are samples it runs on from
        bool proven;
    } cases[] = {
        {"another recording's sine between", false, false, other_sound, false, true},
        {"dithered sines", true, false, other_sound, false, true},
        {"the recording's own sound from later on", false, false, own_sound_later, false, true},
        {"another file's picture bytes", false, false, picture, false, true},
        {"silence tells no way from another", false, true, other_sound, false, false},
        {"a stale copy of its own cluster fits as well", false, false, copy_of_own, false, false},
        {"the first cluster holds sound running on: not the recording's", false, false, other_sound, true, false},
    };
    for (const auto& c : cases) {
        Bytes file = noise(4 * cs, 7);
        Bytes s = sound((sound_end - sound_at) / 4, 1000, 1, c.dithered, c.silent);
        std::copy(s.begin(), s.end(), file.begin() + sound_at);
        if (c.runs_in) {
            Bytes lead = sound(500, 500, 1, c.dithered, c.silent);
            std::copy(lead.begin(), lead.end(), file.begin() + sound_at - lead.size());
        }
        auto own = [&](uint64_t k) { return Bytes(file.begin() + k * cs, file.begin() + (k + 1) * cs); };
        auto foreign = [&](uint64_t first) {
            switch (c.foreign) {
            case other_sound: return sound(cs / 4, first, 2, c.dithered, c.silent);
            case own_sound_later: return sound(cs / 4, first + 20000, 1, c.dithered, c.silent);
            case picture: return noise(cs, uint32_t(first));
            default: return own(1);
            }
        };
        Bytes image;
        for (const Bytes& b : {own(0), foreign(5000), own(1), foreign(9000), own(2), own(3)})
            image.insert(image.end(), b.begin(), b.end());
        fixture::TempImage img(image, c.name);
        salvage::RoomClusters room{4, 6, {}, {}};
        for (uint32_t i = 0; i < room.count; i++)
            room.at[i] = i * cs, room.own[i] = UINT64_MAX;
        salvage::SoundLayouts ways;
        ASSERT_TRUE(salvage::sound_layouts(&room, 0, cs, sound_at, sound_end - sound_at, &ways)) << c.name;
        ASSERT_EQ(ways.count, 6u) << c.name;
        int got = salvage::proven_layout(img.f, img.size, cs, &ways, sound_at, sound_at, sound_end - sound_at,
                                         salvage::PcmFormat{2, 1});
        // placed by room: its own clusters never step; run on into the cluster behind its first, it
        // steps unless it is silent (a stale copy of its second steps at the next edge)
        salvage::ChunkPlace right{sound_at, cs - sound_at, 2 * cs};
        right.later = 1, right.later_cut[0] = 2 * cs - sound_at, right.later_at[0] = 4 * cs;
        salvage::ChunkPlace run_on{sound_at, 0, 0};
        EXPECT_EQ(salvage::smooth_bytes(img.f, img.size, cs, &right, sound_at, sound_end - sound_at,
                                        salvage::PcmFormat{2, 1}),
                  sound_end - sound_at) << c.name;
        EXPECT_EQ(salvage::smooth_bytes(img.f, img.size, cs, &run_on, sound_at, sound_end - sound_at,
                                        salvage::PcmFormat{2, 1}),
                  c.silent ? sound_end - sound_at : (c.foreign == copy_of_own ? 2 : 1) * cs - sound_at) << c.name;
        if (!c.proven) {
            EXPECT_EQ(got, -1) << c.name;
            continue;
        }
        ASSERT_GE(got, 0) << c.name;
        std::vector<uint64_t> truth = {0, 2 * cs, 4 * cs, 5 * cs};
        EXPECT_EQ(std::vector<uint64_t>(ways.at[got], ways.at[got] + ways.clusters), truth) << c.name;
    }
}

}  // namespace
