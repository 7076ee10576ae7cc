#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "salvage/presentation.h"

namespace {

// A stream in decode order, one letter a sample: I key frame, P and B pictures, '-' missing.
// `shown` is each sample's place in the camera's presentation order (ignored for missing ones).
struct Stream {
    std::string kinds;
    std::vector<int> shown;
};

// The kept samples as the letters of the stream, '.' for one left out; *ordered is false when,
// decoded one frame after another and shown at their offsets and shifts, two kept samples show
// in another order than the camera's.
std::string kept(const Stream& s, bool* ordered)
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
    std::vector<int64_t> shift(samples.size());
    salvage::choose_presented(samples.data(), samples.size(), 100, keep.data());
    salvage::presentation_shifts(samples.data(), keep.data(), samples.size(), 100, shift.data());
    std::string out;
    std::vector<std::pair<int, int64_t>> shown;  // camera's place, time shown
    for (size_t i = 0; i < keep.size(); i++) {
        out += keep[i] ? s.kinds[i] : '.';
        if (keep[i])
            shown.push_back({s.shown[i], int64_t(shown.size()) * 100 + samples[i].offset + shift[i]});
    }
    std::sort(shown.begin(), shown.end());
    *ordered = std::adjacent_find(shown.begin(), shown.end(),
                                  [](const auto& a, const auto& b) { return a.second >= b.second; }) == shown.end();
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
        // I0 P4 B2 B1 B3 P8 then B6 B5 B7 lost: P8 shows after the next span's key frame unless
        // that span is shown later
        {"a span's tail that shows late delays the next span",
         {"IPBBBP---IPBBB", {0, 4, 2, 1, 3, 8, 6, 5, 7, 9, 13, 11, 10, 12}}, "IPBBBP...IPBBB"},
        {"the same tail at the recording's end stays", {"IPBBBP---", {0, 4, 2, 1, 3, 8, 6, 5, 7}}, "IPBBBP..."},
        // an open group: the key frame after the gap shows after the two pictures behind it
        {"leading pictures of a key frame after a gap are left out",
         {"IP-IBBPBB", {0, 1, 2, 5, 3, 4, 8, 6, 7}}, "IP.I..PBB"},
        {"leading pictures inside an unbroken span stay", {"IPBBIBBPBB", {0, 3, 1, 2, 6, 4, 5, 9, 7, 8}},
         "IPBBIBBPBB"},
    };
    for (const Case& c : cases) {
        bool ordered = false;
        EXPECT_EQ(kept(c.stream, &ordered), c.expected) << c.name;
        EXPECT_TRUE(ordered) << c.name << ": shown out of the camera's order";
    }
}

}  // namespace
