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

// A key frame is where decoding may begin; only one that starts a sequence also counts the picture
// order afresh, so a span after a gap that begins with an open group's I picture does not. The
// first slice decides, after the delimiter, the sets and the SEI in front of it.
TEST(ParameterSets, KeyFramesAndTheOnesThatStartASequence)
{
    const Bytes avc_delimiter = {0x09, 0x10}, hevc_delimiter = {0x46, 0x01, 0x10};
    struct Case {
        const char* name;
        int hevc;
        std::vector<Bytes> units;
        int key, starts;
    } cases[] = {
        {"AVC IDR", 0, {avc_delimiter, {0x65, 0x88, 0x84, 0x00}}, 1, 1},
        {"AVC I picture with a recovery point", 0, {avc_delimiter, {0x06, 0x06, 0x01, 0x80, 0x80}, {0x21, 0x88, 0x80}},
         1, 0},
        {"AVC I picture without one", 0, {avc_delimiter, {0x21, 0x88, 0x80}}, 0, 0},
        {"AVC P picture", 0, {avc_delimiter, {0x41, 0x9A, 0x80}}, 0, 0},
        {"HEVC IDR", 1, {hevc_delimiter, {0x26, 0x01, 0xAF, 0x00}}, 1, 1},
        {"HEVC IDR without leading pictures", 1, {hevc_delimiter, {0x28, 0x01, 0xAF, 0x00}}, 1, 1},
        {"HEVC broken link", 1, {hevc_delimiter, {0x20, 0x01, 0xAF, 0x00}}, 1, 1},
        {"HEVC clean random access", 1, {hevc_delimiter, {0x2A, 0x01, 0xAF, 0x00}}, 1, 0},
        {"HEVC trailing picture", 1, {hevc_delimiter, {0x02, 0x01, 0xAF, 0x00}}, 0, 0},
    };
    for (const Case& c : cases) {
        Bytes sample;
        for (const Bytes& u : c.units)
            put_unit(&sample, u);
        EXPECT_EQ(codec::sample_is_key(sample.data(), sample.size(), c.hevc), c.key) << c.name;
        EXPECT_EQ(codec::sample_starts_sequence(sample.data(), sample.size(), c.hevc), c.starts) << c.name;
    }
}

// Sequence parameter sets as the encoders write them for 202 x 118 pictures, the size cropped from
// whole coding blocks in units of the chroma sampling: the picture, its sampling and bit depths as
// the decoder reads them, and the configuration record built from them states the same sampling.
TEST(ParameterSets, SamplingAndBitDepthsOfTheSetsEncodersWrite)
{
    struct Case {
        const char* name;
        int hevc;
        Bytes sps;
        uint32_t chroma_format, depth;
    } cases[] = {
        {"AVC High 10", 0,
         {0x67, 0x6E, 0x00, 0x0B, 0xA6, 0xCD, 0x94, 0x34, 0x47, 0x92, 0x6C, 0x04, 0x40, 0x00, 0x00,
          0x03, 0x00, 0x40, 0x00, 0x00, 0x0C, 0x83, 0xC5, 0x0A, 0x65, 0x80},
         1, 10},
        {"AVC High 4:2:2 10-bit, two slices", 0,
         {0x67, 0x7A, 0x00, 0x0B, 0xB6, 0xCD, 0x94, 0x34, 0x47, 0x92, 0x2F, 0x01, 0x10, 0x00,
          0x00, 0x03, 0x00, 0x10, 0x00, 0x00, 0x03, 0x03, 0x20, 0xF1, 0x42, 0x99, 0x60},
         2, 10},
        {"HEVC Main 10 with scaling lists", 1,
         {0x42, 0x01, 0x01, 0x02, 0x20, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00,
          0x00, 0x03, 0x00, 0x3C, 0xA0, 0x1A, 0x20, 0x79, 0xC9, 0x4D, 0x96, 0x56, 0x69, 0x24,
          0xE5, 0x78, 0x0B, 0x40, 0x40, 0x00, 0x00, 0x03, 0x00, 0x40, 0x00, 0x00, 0x06, 0x42},
         1, 10},
        {"HEVC Main 4:2:2 10", 1,
         {0x42, 0x01, 0x01, 0x04, 0x08, 0x00, 0x00, 0x03, 0x00, 0x9D, 0x08, 0x00, 0x00, 0x03,
          0x00, 0x00, 0x3C, 0xB0, 0x1A, 0x20, 0x79, 0xC9, 0x6D, 0x96, 0x56, 0x69, 0x24, 0xCA,
          0xF0, 0x16, 0x80, 0x80, 0x00, 0x00, 0x03, 0x00, 0x80, 0x00, 0x00, 0x0C, 0x84},
         2, 10},
    };
    for (const Case& c : cases) {
        codec::SequenceParameters s;
        ASSERT_TRUE(codec::read_sequence_parameters(c.sps.data(), uint32_t(c.sps.size()), c.hevc, &s)) << c.name;
        EXPECT_EQ(s.picture.width, 202u) << c.name;
        EXPECT_EQ(s.picture.height, 118u) << c.name;
        EXPECT_EQ(s.picture.chroma_format, c.chroma_format) << c.name;
        EXPECT_EQ(s.picture.luma_depth, c.depth) << c.name;
        EXPECT_EQ(s.picture.chroma_depth, c.depth) << c.name;
        EXPECT_TRUE(s.order_ok) << c.name;
        Bytes vps = {0x40, 0x01, 0x0C}, pps = {uint8_t(c.hevc ? 0x44 : 0x68), 0x01, 0xC1};
        codec::ParameterSets sets = {vps.data(), uint32_t(vps.size()), const_cast<uint8_t*>(c.sps.data()),
                                     uint32_t(c.sps.size()), pps.data(), uint32_t(pps.size())};
        uint8_t* config = nullptr;
        uint32_t size = 0;
        ASSERT_TRUE(codec::build_decoder_config(&sets, c.hevc, &s.picture, &config, &size)) << c.name;
        // hvcC: chroma format and depths at 16 to 18; avcC of a High profile: its last four bytes
        const uint8_t* sampling = c.hevc ? config + 16 : config + size - 4;
        EXPECT_EQ(Bytes(sampling, sampling + 3),
                  Bytes({uint8_t(0xFC | c.chroma_format), uint8_t(0xF8 | (c.depth - 8)), uint8_t(0xF8 | (c.depth - 8))}))
            << c.name;
        std::free(config);
    }
}

}  // namespace
