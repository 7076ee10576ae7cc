#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "salvage/sample_walk.h"
#include "basics/byte_order.h"
#include "tests/analysis_fixture.h"
#include "tools/mkcard_media.h"

using fixture::Bytes;

namespace {

// An HEVC sample: a delimiter, then one slice filling `size` bytes (>= 13).
Bytes hevc_sample(uint32_t size)
{
    Bytes b = {0, 0, 0, 3, 0x46, 0x01, 0x50};
    mkcard::put_be32(b, size - 11);
    mkcard::put_u8(b, 0x02);
    mkcard::put_u8(b, 0x01);
    b.resize(size, 0x33);
    return b;
}

// Sound as the camera writes it after a video chunk, from inside the tone.
Bytes sound_bytes()
{
    Bytes s = mkcard::make_sound(2000, 3);
    return Bytes(s.begin() + 400, s.end());
}

const std::vector<uint32_t> sizes12 = {300, 120, 130, 140, 150, 160, 170, 180, 190, 200, 210, 220};

struct Stream {
    Bytes bytes;
    std::vector<uint64_t> starts;  // where each sample starts, and where the stream ends
};

Stream stream(bool hevc, const std::vector<uint32_t>& sizes, const Bytes& after)
{
    Stream s;
    s.bytes.resize(64, 0x5A);  // what stood before the chunk
    for (size_t i = 0; i < sizes.size(); i++) {
        s.starts.push_back(s.bytes.size());
        mkcard::put_bytes(s.bytes, hevc ? hevc_sample(sizes[i]) : fixture::avc_sample(sizes[i], i == 0));
    }
    s.starts.push_back(s.bytes.size());
    mkcard::put_bytes(s.bytes, after);
    return s;
}

struct WalkCase {
    const char* name;
    bool hevc;
    Bytes after;                          // bytes behind the twelve samples
    uint64_t max_samples;
    int damaged_sample;                   // -1: none; else its slice length is changed by `length_change`
    int length_change;
    int cut_after;                        // -1: no cut; else samples 0 to cut_after stand before the limit (or image end)
    bool cut_image;                       // the cut is the end of the image, not a limit
    int found;
    uint64_t samples;
    uint32_t stop;
    int last_size_change = 0;             // the last sample's size as walked minus its true size
    bool zeroed_payload = false;          // the damaged sample's slice has zeros inside, its length intact
};

TEST(AnalysisSampleWalk, Walks)
{
    Bytes next_avc = fixture::avc_sample(100, false);
    Bytes next_hevc = hevc_sample(100);
    const WalkCase cases[] = {
        {"AVC up to the next chunk's delimiter", false, next_avc, 12, -1, 0, -1, false, 1, 12, salvage::walk_at_delimiter},
        {"AVC stops at sound bytes", false, sound_bytes(), 12, -1, 0, -1, false, 1, 12, salvage::walk_at_no_unit},
        {"HEVC stops at sound bytes", true, sound_bytes(), 12, -1, 0, -1, false, 1, 12, salvage::walk_at_no_unit},
        {"HEVC up to the next delimiter", true, next_hevc, 12, -1, 0, -1, false, 1, 12, salvage::walk_at_delimiter},
        {"AVC: a unit with the forbidden bit after the chunk", false, {0, 0, 0, 16, 0x9C, 1, 2, 3}, 12, -1, 0, -1,
         false, 1, 12, salvage::walk_at_no_unit},
        {"HEVC: a unit of another layer after the chunk", true, {0, 0, 0, 16, 0x02, 0x09, 2, 3}, 12, -1, 0, -1,
         false, 1, 12, salvage::walk_at_no_unit},
        {"three asked, three given", false, next_avc, 3, -1, 0, -1, false, 1, 3, salvage::walk_at_delimiter},
        {"a damaged length past the limit drops its sample", false, next_avc, 12, 4, 0x100000, -1, false, 1, 4,
         salvage::walk_at_delimiter},
        {"a shortened length leaves the end a guess", false, next_avc, 12, 4, -3, -1, false, 1, 5,
         salvage::walk_at_no_unit, -3},
        {"a limit at a sample's end", false, next_avc, 12, -1, 0, 4, false, 1, 5, salvage::walk_at_limit},
        {"zeros inside a slice end the walk before its sample", false, next_avc, 12, 4, 0, -1, false, 1, 4,
         salvage::walk_at_delimiter, 0, true},
        {"HEVC: zeros inside a slice", true, next_hevc, 12, 7, 0, -1, false, 1, 7, salvage::walk_at_delimiter, 0,
         true},
        {"an image cut inside a sample keeps the whole ones", false, next_avc, 12, -1, 0, 6, true, 1, 7,
         salvage::walk_at_delimiter},
        {"HEVC image cut", true, next_hevc, 12, -1, 0, 6, true, 1, 7, salvage::walk_at_delimiter},
    };
    for (const WalkCase& c : cases) {
        Stream s = stream(c.hevc, sizes12, c.after);
        uint64_t image_size = s.bytes.size();
        uint64_t limit = image_size;
        if (c.damaged_sample >= 0) {
            // the slice's length field follows the delimiter unit: 6 bytes (AVC), 7 (HEVC)
            uint8_t* field = s.bytes.data() + s.starts[c.damaged_sample] + (c.hevc ? 7 : 6);
            mkcard::set_be32(field, uint32_t(int64_t(basics::load_be32(field)) + c.length_change));
            if (c.zeroed_payload)
                std::fill(field + 20, field + 23, 0);
        }
        if (c.cut_after >= 0) {
            uint64_t at = s.starts[c.cut_after + 1];
            if (c.cut_image)
                image_size = at + 50, s.bytes.resize(image_size), limit = image_size;
            else
                limit = at;
        }
        fixture::TempImage file(s.bytes);
        std::vector<uint32_t> sizes(c.max_samples, 0);
        salvage::SampleWalk walk = {};
        int found = salvage::walk_samples(file.f, image_size, s.starts[0], limit, c.hevc ? "hvc1" : "avc1",
                                           c.max_samples, sizes.data(), &walk);
        ASSERT_EQ(found, c.found) << c.name;
        if (!found)
            continue;
        EXPECT_EQ(walk.samples, c.samples) << c.name;
        EXPECT_EQ(walk.stop, c.stop) << c.name;
        EXPECT_EQ(walk.end, s.starts[walk.samples] + c.last_size_change) << c.name;
        for (uint64_t i = 0; i < walk.samples; i++) {
            int64_t change = i + 1 == walk.samples ? c.last_size_change : 0;
            EXPECT_EQ(sizes[i], s.starts[i + 1] - s.starts[i] + change) << c.name << ", sample " << i;
        }
    }
}

TEST(AnalysisSampleWalk, NeedsADelimiterToStart)
{
    Stream s = stream(false, sizes12, {});
    fixture::TempImage file(s.bytes);
    uint32_t sizes[12];
    salvage::SampleWalk walk = {};
    const uint64_t starts[] = {s.starts[0] + 1, s.starts[0] - 4, s.bytes.size(), s.bytes.size() + 9};
    for (uint64_t at : starts)
        EXPECT_EQ(salvage::walk_samples(file.f, s.bytes.size(), at, s.bytes.size(), "avc1", 12, sizes, &walk), 0)
            << "from " << at;
}

}  // namespace
