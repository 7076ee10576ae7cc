#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "salvage/presentation.h"

namespace {

// A camera's stream: pictures in showing order, an anchor (I or P) every `b + 1` of them and at
// each group's start, the B pictures between two anchors decoded after the later one. A closed
// group ends on an anchor; in an open one the B pictures in front of the next key frame are its
// leading pictures.
struct Camera {
    std::vector<int> shown;   // per sample in decode order
    std::vector<bool> key;
};

Camera camera_stream(int frames, int group, int b, bool open)
{
    Camera c;
    std::vector<int> waiting;
    for (int p = 0; p < frames; p++) {
        bool anchor = p % group == 0 || p % (b + 1) == 0 || p == frames - 1 || (!open && p % group == group - 1);
        if (!anchor) {
            waiting.push_back(p);
            continue;
        }
        c.shown.push_back(p), c.key.push_back(p % group == 0);
        for (int w : waiting)
            c.shown.push_back(w), c.key.push_back(false);
        waiting.clear();
    }
    return c;
}

// Random streams, random samples damaged and random runs of samples lost whole (the next one
// after a gap): exactly the pictures that decode from what is kept are kept (from a key frame on,
// nothing damaged or lost in between; a key frame after a break leaves out its leading pictures,
// which refer to the group before), and they show in the camera's order. Whatever breaks, even a
// picture no other refers to, stops the showing until the next key frame.
TEST(Presentation, RandomDamageKeepsExactlyWhatDecodes)
{
    std::mt19937 rng(35);
    for (int round = 0; round < 3000; round++) {
        int b = int(rng() % 4), group = (b + 1) * int(1 + rng() % 8);
        bool open = b > 0 && rng() % 2;
        Camera cam = camera_stream(int(24 + rng() % 72), group, b, open);
        size_t n = cam.shown.size();
        std::vector<int> state(n, 0);  // 0 kept on the card, 1 damaged, 2 lost with its chunk
        for (int holes = int(rng() % 4); holes > 0; holes--) {
            size_t at = rng() % n, length = 1 + rng() % 14;
            for (size_t i = at; i < std::min(n, at + length); i++)
                state[i] = rng() % 3 ? 2 : 1;
        }
        std::vector<salvage::OrderedSample> samples;
        std::vector<size_t> original;
        bool gap = false;
        for (size_t i = 0; i < n; i++) {
            if (state[i] == 2) {
                gap = true;
                continue;
            }
            salvage::OrderedSample o = {};
            o.usable = state[i] == 0, o.key = cam.key[i], o.after_gap = gap;
            o.offset = (int64_t(cam.shown[i]) - int64_t(i)) * 100;
            samples.push_back(o), original.push_back(i);
            gap = false;
        }
        // what decodes, walking the camera's decode order
        std::vector<uint8_t> decodes(n);
        bool chain = false, before = false, leading_ok = false;
        int key_shown = -1;
        for (size_t i = 0; i < n; i++) {
            bool ok = state[i] == 0;
            if (cam.key[i])
                before = chain, key_shown = cam.shown[i], leading_ok = true;
            if (!cam.key[i] && key_shown >= 0 && cam.shown[i] < key_shown) {  // a leading picture
                leading_ok = leading_ok && ok;
                decodes[i] = chain && before && leading_ok;
                chain = chain && ok;  // nothing after a break plays before the next key frame
                continue;
            }
            chain = ok && (cam.key[i] || chain);
            decodes[i] = chain;
        }
        std::vector<uint8_t> keep(samples.size());
        std::vector<int64_t> shift(samples.size());
        salvage::choose_presented(samples.data(), samples.size(), 100, keep.data());
        salvage::presentation_shifts(samples.data(), keep.data(), samples.size(), 100, shift.data());
        std::string name = "round " + std::to_string(round) + ", sample ";
        std::vector<std::pair<int, int64_t>> shown;  // camera's place, time shown
        for (size_t k = 0; k < samples.size(); k++) {
            ASSERT_EQ(keep[k], decodes[original[k]]) << name << original[k];
            if (keep[k])
                shown.push_back({cam.shown[original[k]], int64_t(shown.size()) * 100 + samples[k].offset + shift[k]});
        }
        std::sort(shown.begin(), shown.end());
        for (size_t k = 1; k < shown.size(); k++)
            ASSERT_LT(shown[k - 1].second, shown[k].second) << name << "shown as " << shown[k].first;
    }
}

// A picture left out that no later picture refers to (a leading picture of the key frame that
// starts the stream) lets the showing go on; any other left out stops it until the next key frame.
TEST(Presentation, APassedPictureLetsTheShowingGoOn)
{
    enum : int { key, pic, lost, passed };
    struct {
        const char* name;
        std::vector<int> kinds;  // in decode order
        std::vector<int> shown;  // place in showing order
        std::vector<uint8_t> kept;
    } cases[] = {
        {"leading pictures of the first key frame passed", {key, passed, passed, pic, pic}, {2, 0, 1, 3, 4},
         {1, 0, 0, 1, 1}},
        {"a picture lost stops the showing", {key, pic, lost, pic, pic}, {0, 1, 2, 3, 4}, {1, 1, 0, 0, 0}},
        {"passed before any key frame shows nothing", {passed, pic, key, pic}, {0, 1, 2, 3}, {0, 0, 1, 1}},
        {"after a lost picture a passed one starts nothing", {key, lost, passed, pic, key}, {0, 1, 2, 3, 4},
         {1, 0, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        std::vector<salvage::OrderedSample> samples;
        for (size_t i = 0; i < c.kinds.size(); i++) {
            salvage::OrderedSample o = {};
            o.usable = c.kinds[i] == key || c.kinds[i] == pic, o.key = c.kinds[i] == key;
            o.passed = c.kinds[i] == passed, o.offset = (int64_t(c.shown[i]) - int64_t(i)) * 100;
            samples.push_back(o);
        }
        std::vector<uint8_t> keep(samples.size());
        salvage::choose_presented(samples.data(), samples.size(), 100, keep.data());
        EXPECT_EQ(keep, c.kept) << c.name;
    }
}

}  // namespace
