#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "salvage/sound_continuity.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_media.h"
#include "tools/mkcard_moov.h"

using fixture::Bytes;

namespace {

constexpr uint64_t cs = 4096;
// in the recording's four clusters, as many whole frames as fit up to its last cluster's byte 1000
constexpr uint64_t sound_at = 3000, sound_room = 3 * cs + 1000 - sound_at;

Bytes noise(uint64_t n, uint32_t x)
{
    Bytes b(n);
    for (uint8_t& c : b)
        c = uint8_t((x = x * 1103515245 + 12345) >> 16);
    return b;
}

// `bytes` of sound from frame `first` on
Bytes sound(uint64_t bytes, uint64_t first, uint32_t seed, bool dithered, bool silent, mkcard::SoundFormat f)
{
    uint64_t frames = (bytes + f.frame_bytes() - 1) / f.frame_bytes();
    Bytes b(frames * f.frame_bytes(), 0);
    if (!silent)
        mkcard::put_sound(b.data(), first, frames, seed, dithered, mkcard::SoundKind::tone, f);
    b.resize(bytes);
    return b;
}

constexpr mkcard::SoundFormat s16x2{2, 2}, s24x2{3, 2}, s24x4{3, 4};

TEST(SalvageSoundContinuity, TheWaveformProvesOneWayOrNone)
{
    // the recording's four clusters: a picture's bytes, its sound from sound_at to sound_end, a
    // picture's bytes again. The image: its cluster 0, a foreign one, its 1, a foreign one, its 2
    // and 3, so six ways lay its clusters 1 and 2 in the room between its first and its last
    enum Foreign { other_sound, own_sound_later, picture, copy_of_own };
    struct {
        const char* name;
        mkcard::SoundFormat format;
        bool dithered, silent;
        Foreign foreign;
        bool runs_in;  // the bytes in front of the sound are samples it runs on from
        bool proven;
    } cases[] = {
        {"another recording's sine between", s16x2, false, false, other_sound, false, true},
        {"dithered sines", s16x2, true, false, other_sound, false, true},
        {"the recording's own sound from later on", s16x2, false, false, own_sound_later, false, true},
        {"another file's picture bytes", s16x2, false, false, picture, false, true},
        {"silence tells no way from another", s16x2, false, true, other_sound, false, false},
        {"a stale copy of its own cluster fits as well", s16x2, false, false, copy_of_own, false, false},
        {"the first cluster holds sound running on: not the recording's", s16x2, false, false, other_sound, true, false},
        {"24-bit stereo: another recording's sine between", s24x2, false, false, other_sound, false, true},
        {"24-bit stereo: its own sound from later on", s24x2, true, false, own_sound_later, false, true},
        {"24-bit stereo silence tells no way", s24x2, false, true, other_sound, false, false},
        {"24-bit four channels: dithered sines", s24x4, true, false, other_sound, false, true},
        {"24-bit four channels: another file's picture bytes", s24x4, false, false, picture, false, true},
        {"24-bit four channels: a stale copy of its own cluster", s24x4, false, false, copy_of_own, false, false},
        {"24-bit four channels running on into the sound", s24x4, false, false, other_sound, true, false},
    };
    for (const auto& c : cases) {
        const uint64_t fb = c.format.frame_bytes(), size = sound_room / fb * fb;
        const salvage::PcmFormat pcm{c.format.channels, 1, c.format.sample_bytes};
        Bytes file = noise(4 * cs, 7);
        Bytes s = sound(size, 1000, 1, c.dithered, c.silent, c.format);
        std::copy(s.begin(), s.end(), file.begin() + sound_at);
        if (c.runs_in) {
            uint64_t n = std::min<uint64_t>(500, sound_at / fb);
            Bytes lead = sound(n * fb, 1000 - n, 1, c.dithered, c.silent, c.format);
            std::copy(lead.begin(), lead.end(), file.begin() + sound_at - lead.size());
        }
        auto own = [&](uint64_t k) { return Bytes(file.begin() + k * cs, file.begin() + (k + 1) * cs); };
        auto foreign = [&](uint64_t first) {
            switch (c.foreign) {
            case other_sound: return sound(cs, first, 2, c.dithered, c.silent, c.format);
            case own_sound_later: return sound(cs, first + 20000, 1, c.dithered, c.silent, c.format);
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
        ASSERT_TRUE(salvage::sound_layouts(&room, 0, cs, sound_at, size, &ways)) << c.name;
        ASSERT_EQ(ways.count, 6u) << c.name;
        int got = salvage::proven_layout(img.f, img.size, cs, &ways, sound_at, sound_at, size, pcm);
        // placed by room: its own clusters never step; run on into the cluster behind its first, it
        // steps unless it is silent (a stale copy of its second steps at the next edge)
        salvage::ChunkPlace right{sound_at, cs - sound_at, 2 * cs};
        right.later = 1, right.later_cut[0] = 2 * cs - sound_at, right.later_at[0] = 4 * cs;
        salvage::ChunkPlace run_on{sound_at, 0, 0};
        EXPECT_EQ(salvage::smooth_bytes(img.f, img.size, cs, &right, sound_at, size, pcm), size) << c.name;
        EXPECT_EQ(salvage::smooth_bytes(img.f, img.size, cs, &run_on, sound_at, size, pcm),
                  c.silent ? size : (c.foreign == copy_of_own ? 2 : 1) * cs - sound_at) << c.name;
        if (!c.proven) {
            EXPECT_EQ(got, -1) << c.name;
            continue;
        }
        ASSERT_GE(got, 0) << c.name;
        std::vector<uint64_t> truth = {0, 2 * cs, 4 * cs, 5 * cs};
        EXPECT_EQ(std::vector<uint64_t>(ways.at[got], ways.at[got] + ways.clusters), truth) << c.name;
    }
}

// A room of 24 clusters between the recording's first and last of twelve holds far more ways than
// are ever listed; a step at the first edge a wrong way makes ends it there, so the waveform still
// proves the one way, or none where the sound shows no steps or two ways run on smoothly.
TEST(SalvageSoundContinuity, StepsEndWaysInARoomOfManyWays)
{
    enum Foreign { other_sound, own_sound_later, picture, copy_of_own };
    struct {
        const char* name;
        mkcard::SoundFormat format;
        bool silent;
        Foreign foreign;
        bool proven;
    } cases[] = {
        {"another recording's sines between", s16x2, false, other_sound, true},
        {"the recording's own sound from later on", s24x2, false, own_sound_later, true},
        {"other files' picture bytes", s24x4, false, picture, true},
        {"silence leaves the ways too many", s16x2, true, other_sound, false},
        {"a stale copy of one of its clusters runs on as smoothly", s24x2, false, copy_of_own, false},
    };
    const std::vector<uint32_t> mine = {0, 2, 3, 5, 7, 8, 10, 13, 14, 17, 20, 23};
    for (const auto& c : cases) {
        const uint64_t fb = c.format.frame_bytes(), size = (10 * cs + 1000 - sound_at) / fb * fb;
        const salvage::PcmFormat pcm{c.format.channels, 1, c.format.sample_bytes};
        Bytes file = noise(mine.size() * cs, 7);
        Bytes s = sound(size, 1000, 1, false, c.silent, c.format);
        std::copy(s.begin(), s.end(), file.begin() + sound_at);
        Bytes image;
        std::vector<uint64_t> truth;
        for (uint32_t at = 0, k = 0; at < 24; at++) {
            Bytes b;
            if (at == mine[k]) {
                b.assign(file.begin() + k * cs, file.begin() + (k + 1) * cs);
                if (k <= 10)
                    truth.push_back(at * cs);
                k++;
            } else if (c.foreign == other_sound) {
                b = sound(cs, 5000 + 997 * at, 2 + at, false, c.silent, c.format);
            } else if (c.foreign == own_sound_later) {
                b = sound(cs, 40000 + 1500 * at, 1, false, c.silent, c.format);
            } else if (c.foreign == picture) {
                b = noise(cs, 100 + at);
            } else {
                b = at == 11 ? Bytes(file.begin() + 6 * cs, file.begin() + 7 * cs) : noise(cs, 100 + at);
            }
            image.insert(image.end(), b.begin(), b.end());
        }
        fixture::TempImage img(image, c.name);
        salvage::RoomClusters room{mine.size(), 24, {}, {}};
        for (uint32_t i = 0; i < room.count; i++)
            room.at[i] = i * cs, room.own[i] = UINT64_MAX;
        auto ways = std::make_unique<salvage::SoundLayouts>();
        EXPECT_FALSE(salvage::sound_layouts(&room, 0, cs, sound_at, size, ways.get())) << c.name;
        salvage::EdgeJudge judge{img.f, img.size, cs, sound_at, size, pcm};
        int listed = salvage::sound_layouts(&room, 0, cs, sound_at, size, ways.get(), &judge);
        int got = listed ? salvage::proven_layout(img.f, img.size, cs, ways.get(), sound_at, sound_at, size, pcm) : -1;
        if (!c.proven) {
            EXPECT_EQ(got, -1) << c.name;
            continue;
        }
        ASSERT_GE(got, 0) << c.name;
        EXPECT_GT(ways->stepped, 0u) << c.name;
        EXPECT_EQ(std::vector<uint64_t>(ways->at[got], ways->at[got] + ways->clusters), truth) << c.name;
    }
}

// The layout weighed is the one the sample entry states, or none: a float, an unsigned or an
// unpacked sample, or twos of another width, is never read as integers of a guessed width.
TEST(SalvageSoundContinuity, TheSampleEntryGivesTheLayout)
{
    struct {
        const char* name;
        mkcard::SoundFormat format;
        std::vector<std::pair<size_t, uint8_t>> patch;  // bytes of the camera's entry changed
        uint32_t channels, bytes;                        // 0 channels: not weighed
        int big_endian;
    } cases[] = {
        {"16-bit stereo", {2, 2}, {}, 2, 2, 1},
        {"16-bit stereo, little-endian", {2, 2}, {{4, 's'}, {5, 'o'}, {6, 'w'}, {7, 't'}}, 2, 2, 0},
        {"16-bit, six channels", {2, 2}, {{25, 6}}, 6, 2, 1},
        {"twos of 24 bits is no layout", {2, 2}, {{27, 24}}, 0, 0, 0},
        {"24-bit stereo", {3, 2}, {}, 2, 3, 1},
        {"24-bit four channels", {3, 4}, {}, 4, 3, 1},
        {"24-bit, little-endian", {3, 4}, {{63, 0x0C}}, 4, 3, 0},
        {"float samples", {3, 4}, {{63, 0x0F}}, 0, 0, 0},
        {"unsigned samples", {3, 4}, {{63, 0x0A}}, 0, 0, 0},
        {"samples not packed in their frame", {3, 2}, {{67, 8}}, 0, 0, 0},
        {"nine channels", {3, 2}, {{51, 9}}, 0, 0, 0},
        {"20-bit samples", {3, 2}, {{59, 20}}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        Bytes e = mkcard::sound_sample_entry(c.format);
        for (auto [at, v] : c.patch)
            e[at] = v;
        mp4::SoundEntry entry;
        ASSERT_TRUE(mp4::read_sound_entry(e.data(), e.size(), &entry)) << c.name;
        salvage::PcmFormat pcm{0, 0, 0};
        int ok = salvage::pcm_format_of(&entry, &pcm);
        EXPECT_EQ(ok, c.channels != 0) << c.name;
        if (ok) {
            EXPECT_EQ(pcm.channels, c.channels) << c.name;
            EXPECT_EQ(pcm.bytes, c.bytes) << c.name;
            EXPECT_EQ(pcm.big_endian, c.big_endian) << c.name;
        }
    }
    mp4::SoundEntry entry;
    Bytes wide = mkcard::sound_sample_entry({3, 2});
    EXPECT_FALSE(mp4::read_sound_entry(wide.data(), 64, &entry)) << "a version 2 entry cut short";
}

}  // namespace
