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
    return image::read_at(image, c->image_offset, analysis::direct_read_buffer.data, *bytes);
}

// A stretch of picture order: from a sample where the order count starts again to the next one.
// Its order counts step by the smallest difference between two of them (two per frame in the
// AVC streams of cameras, one in HEVC).
void place_stretch(const std::vector<uint64_t>& slots, const std::vector<int32_t>& pocs, int hevc,
                   uint32_t frame_ticks, OrderedSample* out)
{
    if (slots.empty())
        return;
    std::vector<int32_t> sorted(pocs);
    std::sort(sorted.begin(), sorted.end());
    int64_t step = 0;
    for (size_t i = 1; i < sorted.size(); i++)
        if (sorted[i] > sorted[i - 1] && (step == 0 || sorted[i] - sorted[i - 1] < step))
            step = sorted[i] - sorted[i - 1];
    if (step == 0)
        step = hevc ? 1 : 2;
    for (size_t i = 0; i < slots.size(); i++) {
        // the stretch's first sample, its key frame, is shown where it is decoded
        int64_t shown = int64_t(slots[0]) + (int64_t(pocs[i]) - pocs[0]) / step;
        out[slots[i]].offset = (shown - int64_t(slots[i])) * frame_ticks;
    }
}

}  // namespace

void order_samples(std::FILE* image, const SalvageChunkList* chunks, const uint32_t* usable_end,
                   const codec::ParameterSets* sets, int hevc, uint32_t frame_ticks, OrderedSample* out)
{
    codec::PictureOrderReader reader;
    int reading = sets && codec::start_picture_order(sets, hevc, &reader);
    std::vector<uint64_t> slots;
    std::vector<int32_t> pocs;
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
            place_stretch(slots, pocs, hevc, frame_ticks, out);
            slots.clear(), pocs.clear();
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
                o[i].usable = 0;
                continue;
            }
            if (po.order_restarts) {
                place_stretch(slots, pocs, hevc, frame_ticks, out);
                slots.clear(), pocs.clear();
            }
            slots.push_back(ci * camera_chunk_samples + i);
            pocs.push_back(po.poc);
        }
        if (end < camera_chunk_samples)
            broken = 1;  // the rest of the chunk is missing
    }
    place_stretch(slots, pocs, hevc, frame_ticks, out);
}

}  // namespace salvage
