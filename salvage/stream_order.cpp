#include "salvage/stream_order.h"

#include <algorithm>
#include <vector>

#include "analysis/chunk_locate.h"
#include "codec/nal_units.h"
#include "codec/picture_order.h"
#include "image/read_at.h"

namespace salvage {

namespace {

using analysis::camera_chunk_samples;

int read_samples(std::FILE* image, const SalvageChunk* c, uint64_t* bytes)
{
    *bytes = 0;
    for (uint32_t i = 0; i < c->samples; i++)
        *bytes += c->sizes[i];
    analysis::grow_read_buffer(&analysis::direct_read_buffer, *bytes);
    return read_salvage_chunk(image, c, analysis::direct_read_buffer.data, *bytes);
}

// A stretch of picture order: the samples from one where the order count starts again to the
// next such one, with their order counts.
struct Stretch {
    std::vector<uint64_t> slots;
    std::vector<int32_t> pocs;
};

// Pictures an encoder holds back or shows early for reordering: far fewer than this.
constexpr int64_t max_reorder = 64;

int64_t common_divisor(int64_t a, int64_t b)
{
    while (b) {
        int64_t r = a % b;
        a = b, b = r;
    }
    return a < 0 ? -a : a;
}

// The order counts of the whole recording step by their greatest common difference: two per
// frame in the AVC streams of cameras, one in HEVC. A short stretch alone can mislead (0, 8, 4 for
// a key frame, a P and a B picture), and so can a recording of which fewer pictures than a chunk
// holds are left (0 and 8 for a key frame and its P picture): there the codec's own step stands
// wherever the counts agree with it.
void place_stretches(const std::vector<Stretch>& stretches, int hevc, uint32_t frame_ticks, OrderedSample* out)
{
    int64_t step = 0, usual = hevc ? 1 : 2;
    size_t pictures = 0;
    for (const Stretch& s : stretches) {
        pictures += s.pocs.size();
        for (int32_t poc : s.pocs)
            step = common_divisor(step, int64_t(poc) - s.pocs[0]);
    }
    if (step == 0 || (pictures < camera_chunk_samples && step % usual == 0))
        step = usual;
    for (const Stretch& s : stretches) {
        // the stretch's first sample, its key frame, is shown where it is decoded
        std::vector<int64_t> shown(s.slots.size());
        for (size_t i = 0; i < s.slots.size(); i++)
            shown[i] = int64_t(s.slots[0]) + (int64_t(s.pocs[i]) - s.pocs[0]) / step;
        // an order no encoder writes (two pictures at one place, or one far from where it is
        // decoded) comes from parameter sets that are not the stream's: shown as decoded instead
        std::vector<int64_t> sorted(shown);
        std::sort(sorted.begin(), sorted.end());
        int sound = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
        for (size_t i = 0; i < s.slots.size(); i++)
            sound &= shown[i] - int64_t(s.slots[i]) <= max_reorder && int64_t(s.slots[i]) - shown[i] <= max_reorder;
        for (size_t i = 0; i < s.slots.size(); i++)
            out[s.slots[i]].offset = sound ? (shown[i] - int64_t(s.slots[i])) * frame_ticks : 0;
    }
}

}  // namespace

void order_samples(std::FILE* image, const SalvageChunkList* chunks, const uint32_t* usable_end,
                   const codec::ParameterSets* sets, int hevc, uint32_t frame_ticks, OrderedSample* out)
{
    codec::PictureOrderReader reader;
    int reading = sets && codec::start_picture_order(sets, hevc, &reader);
    std::vector<Stretch> stretches(1);
    int broken = 1;
    for (size_t ci = 0; ci < chunks->count; ci++) {
        const SalvageChunk* c = &chunks->items[ci];
        OrderedSample* o = out + ci * camera_chunk_samples;
        for (uint32_t i = 0; i < camera_chunk_samples; i++)
            o[i] = OrderedSample{};
        o[0].after_gap = c->gap_before;
        uint64_t bytes = 0;
        uint32_t end = std::min(usable_end[ci], c->samples);
        if (end == 0 || !read_samples(image, c, &bytes)) {
            broken = 1;
            continue;
        }
        const uint8_t* data = analysis::direct_read_buffer.data;
        if (reading && (broken || c->gap_before)) {
            stretches.emplace_back();
            codec::restart_picture_order(&reader);
        }
        broken = 0;
        for (uint32_t i = 0, at = 0; i < end; at += c->sizes[i++]) {
            o[i].usable = 1;
            o[i].key = uint8_t(codec::sample_is_key(data + at, c->sizes[i], hevc));
            codec::PictureOrder po;
            if (!reading)
                continue;
            // a sample whose header does not read keeps its place in decode order; one whose
            // references the card lost is not kept
            if (!codec::read_picture_order(&reader, data + at, c->sizes[i], &po))
                continue;
            if (po.undecodable) {
                o[i].usable = 0, o[i].passed = 1;
                continue;
            }
            if (po.order_restarts && !stretches.back().slots.empty())
                stretches.emplace_back();
            stretches.back().slots.push_back(ci * camera_chunk_samples + i);
            stretches.back().pocs.push_back(po.poc);
        }
        if (end < camera_chunk_samples)
            broken = 1;  // the rest of the chunk is missing
    }
    place_stretches(stretches, hevc, frame_ticks, out);
}

}  // namespace salvage
