#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "salvage/presentation.h"

namespace {

// A stream in decode order, one letter a sample: I key frame, P and B pictures, '-' missing.
// `shown` is each sample's place in the camera's presentation order (ignored for missing ones).
struct Stream {
    std::string kinds;
    std::vector<int> shown;
};

std::string kept(const Stream& s)
{
    std::vector<salvage::OrderedSample> samples;
    for (size_t i = 0; i < s.kinds.size(); i++) {
        salvage::OrderedSample o = {};
        o.usable = s.kinds[i] != '-';
        o.key = s.kinds[i] == 'I';
        o.offset = (int64_t(s.shown[i]) - int64_t(i)) * 100;
        samples.push_back(o);
    }
    std::vector<uint8_t> keep(samples.size());
    salvage::choose_presented(samples.data(), samples.size(), 100, keep.data());
    std::string out;
    for (size_t i = 0; i < keep.size(); i++)
        out += keep[i] ? s.kinds[i] : '.';
    return out;
}

TEST(Presentation, KeptSamplesDecodeAndStayInTheCamerasOrder)
{
    struct Case {
        const char* name;
        Stream stream;
        const char* expected;
    } cases[] = {
        {"without reordering everything from the first key frame", {"PIPPIPP", {0, 1, 2, 3, 4, 5, 6}}, ".IPPIPP"},
        {"a gap waits for the next key frame", {"IPP-PPIPP", {0, 1, 2, 3, 4, 5, 6, 7, 8}}, "IPP...IPP"},
        // I0 P4 B2 B1 B3 P8 then B6 B5 B7 lost: P8 would show after the next span's key frame
        {"a span's tail that would show after the next span is left out",
         {"IPBBBP---IPBBB", {0, 4, 2, 1, 3, 8, 6, 5, 7, 9, 13, 11, 10, 12}}, "IPBBB....IPBBB"},
        {"the same tail at the recording's end stays", {"IPBBBP---", {0, 4, 2, 1, 3, 8, 6, 5, 7}}, "IPBBBP..."},
        // an open group: the key frame after the gap shows after the two pictures behind it
        {"leading pictures of a key frame after a gap are left out",
         {"IP-IBBPBB", {0, 1, 2, 5, 3, 4, 8, 6, 7}}, "IP.I..PBB"},
        {"leading pictures inside an unbroken span stay", {"IPBBIBBPBB", {0, 3, 1, 2, 6, 4, 5, 9, 7, 8}},
         "IPBBIBBPBB"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kept(c.stream), c.expected) << c.name;
}

}  // namespace
