#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "codec/parameter_sets.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_unit(Bytes* b, const Bytes& unit)
{
    uint32_t n = uint32_t(unit.size());
    b->insert(b->end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    b->insert(b->end(), unit.begin(), unit.end());
}

// The sets are read from a read buffer that the next read may move or overwrite: what was found
// must not change with it. Under the sanitizers a set still pointing into the buffer is a read
// after free; without them it reads the scribbled bytes.
TEST(ParameterSets, SetsOutliveTheSampleTheyWereFoundIn)
{
    const Bytes sps = {0x67, 0x64, 0x00, 0x1F, 0xAC, 0xD9, 0x40, 0x50}, pps = {0x68, 0xEB, 0xE3, 0xCB, 0x22, 0xC0};
    struct Case {
        const char* name;
        int hevc;
        std::vector<Bytes> units;
    } cases[] = {
        {"AVC key frame", 0, {{0x09, 0x10}, sps, pps, {0x65, 0x88, 0x84, 0x00}}},
        {"HEVC key frame", 1,
         {{0x46, 0x01, 0x10},
          {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF},
          {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x5D},
          {0x44, 0x01, 0xC1, 0x72, 0xB4},
          {0x26, 0x01, 0xAF, 0x00}}},
    };
    for (const Case& c : cases) {
        auto* sample = new Bytes;
        for (const Bytes& u : c.units)
            put_unit(sample, u);
        codec::ParameterSets sets;
        ASSERT_TRUE(codec::find_parameter_sets(sample->data(), sample->size(), c.hevc, &sets)) << c.name;
        const codec::PictureFormat picture = {64, 64, 1, 8, 8};
        uint8_t* before = nullptr;
        uint32_t before_size = 0;
        ASSERT_TRUE(codec::build_decoder_config(&sets, c.hevc, &picture, &before, &before_size)) << c.name;
        std::fill(sample->begin(), sample->end(), 0xAA);
        delete sample;
        auto* reused = new Bytes(4096, 0x55);  // the next read
        uint8_t* after = nullptr;
        uint32_t after_size = 0;
        ASSERT_TRUE(codec::build_decoder_config(&sets, c.hevc, &picture, &after, &after_size)) << c.name;
        EXPECT_EQ(Bytes(after, after + after_size), Bytes(before, before + before_size)) << c.name;
        EXPECT_TRUE(codec::config_carries(after, after_size, c.hevc, &sets)) << c.name;
        // and read back from the configuration record, as a recording that keeps its sets only
        // in its sample entry gives them
        codec::ParameterSets back;
        ASSERT_TRUE(codec::sets_from_config(after, after_size, c.hevc, &back)) << c.name;
        EXPECT_EQ(Bytes(back.sps, back.sps + back.sps_size), Bytes(sets.sps, sets.sps + sets.sps_size)) << c.name;
        EXPECT_EQ(Bytes(back.pps, back.pps + back.pps_size), Bytes(sets.pps, sets.pps + sets.pps_size)) << c.name;
        EXPECT_EQ(Bytes(back.vps, back.vps + back.vps_size), Bytes(sets.vps, sets.vps + sets.vps_size)) << c.name;
        codec::free_parameter_sets(&back);
        delete reused;
        std::free(before);
        std::free(after);
        codec::free_parameter_sets(&sets);
    }
}

}  // namespace
