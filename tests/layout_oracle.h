#pragma once
// Every layout of a stretch of clusters that what the located pieces show allows: each cluster one
// file's (1..files) or, where `free_clusters`, no file's (0); each file's clusters in its order.
#include <cstdint>
#include <set>
#include <utility>
#include <vector>

namespace fixture {

// Numbers below n drawn from a seed: the same layouts on every machine.
struct Draw {
    uint32_t x;
    uint32_t operator()(uint32_t n) { return ((x = x * 1103515245 + 12345) >> 16) % n; }
};

// `shown[k]`: the file cluster k is shown to be (0: not shown); `index[k]`: its file cluster there
// (UINT64_MAX: not shown). Per cluster, the file and file cluster every allowed layout puts there:
// {0, 0} free in every one, {0, UINT64_MAX} where they differ (or none is allowed).
inline std::vector<std::pair<uint32_t, uint64_t>> every_layout(uint32_t files, const std::vector<uint32_t>& shown,
                                                               const std::vector<uint64_t>& index, bool free_clusters)
{
    using Counts = std::vector<uint64_t>;  // each file's clusters in front of a cluster
    const uint64_t length = shown.size();
    auto next = [&](uint64_t k, const Counts& s, uint32_t f, Counts* out) {
        if ((f == 0 && !free_clusters) || (shown[k] && f != shown[k]) || (index[k] != UINT64_MAX && s[f] != index[k]))
            return false;
        *out = s;
        (*out)[f] += f != 0;
        return true;
    };
    // the counts reached from the first cluster on, then those that also reach on to the last
    std::vector<std::set<Counts>> reach(length + 1);
    reach[0].insert(Counts(files + 1, 0));
    for (uint64_t k = 0; k < length; k++)
        for (const Counts& s : reach[k])
            for (uint32_t f = 0; f <= files; f++)
                if (Counts t; next(k, s, f, &t))
                    reach[k + 1].insert(t);
    std::vector<std::pair<uint32_t, uint64_t>> one(length, {0, UINT64_MAX - 1});
    std::set<Counts> ends = reach[length];
    for (uint64_t k = length; k-- > 0;) {
        std::set<Counts> back;
        for (const Counts& s : reach[k])
            for (uint32_t f = 0; f <= files; f++)
                if (Counts t; next(k, s, f, &t) && ends.count(t)) {
                    back.insert(s);
                    std::pair<uint32_t, uint64_t> here{f, f ? s[f] : 0};
                    one[k] = one[k].second == UINT64_MAX - 1 || one[k] == here ? here : std::make_pair(0u, UINT64_MAX);
                }
        ends.swap(back);
        if (one[k].second == UINT64_MAX - 1)
            one[k] = {0, UINT64_MAX};
    }
    return one;
}

}  // namespace fixture
