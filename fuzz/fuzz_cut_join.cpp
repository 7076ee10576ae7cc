// Hostile sample sizes and run tables for the joiner: the input's first bytes choose the cluster
// size, the chunk's place and sample sizes and the anchors behind it, the rest is the image. A
// join, when made, lies inside the image, cuts the chunk at a cluster edge inside it and reads
// back, each run behind a cut on a cluster edge; a sound join (also of the sound behind a chunk) keeps its bytes inside the image and
// behind the chunk, and one placed by the other recordings' pieces keeps them off those pieces; the
// same sound as two recordings' open gaps settles, if at all, at an edge each kept, inside the image;
// sound proven by its waveform lies inside the image, off the other recordings' pieces.
#include <algorithm>
#include <cstring>
#include <vector>

#include "basics/byte_order.h"
#include "fuzz/fuzz_support.h"
#include "salvage/cut_join.h"
#include "salvage/free_runs.h"
#include "salvage/layout_join.h"
#include "salvage/sound_continuity.h"
#include "salvage/sound_gaps.h"

namespace {

constexpr size_t claim_count = 4;
constexpr size_t head_bytes = 3 + 12 * 2 + 4 * 8 + claim_count * 4;

uint64_t field(const uint8_t* p) { return basics::load_le16(p); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    image::ImageGeometry g;
    std::FILE* image = fuzz::open_card(data, size, head_bytes, &g);
    if (!image)
        return 0;
    uint64_t cs = g.cluster_bytes;
    std::vector<uint32_t> sizes(1 + data[2] % 12);
    for (size_t i = 0; i < sizes.size(); i++)
        sizes[i] = uint32_t(field(data + 3 + 2 * i)) * (data[2] & 0x80 ? 64 : 1);
    const uint8_t* a = data + 3 + 24;
    uint64_t file = field(a) * 16, head = field(a + 2) * 16;
    salvage::JoinAnchor anchors[3] = {{field(a + 8) * 64, field(a + 10) * 64},
                                      {field(a + 16) * 64, field(a + 18) * 64},
                                      {field(a + 24) * 64, field(a + 26) * 64}};
    mp4::SampleSizes s{sizes.data(), 0, sizes.size()};
    uint64_t total = 0;
    for (uint32_t n : sizes)
        total += n;
    salvage::ClaimList claims{};
    const uint8_t* c = data + 3 + 24 + 32;
    for (size_t i = 0; i < claim_count; i++, c += 4) {
        uint64_t begin = field(c) * 64, end = begin + field(c + 2) * 16;
        basics::list_append(&claims.spans, salvage::ClaimedSpan{begin, end, uint32_t(i % 2 + 1), 0});
    }
    salvage::sort_claims(&claims);
    // runs behind a cut also looked for among the clusters there
    salvage::JoinWindow window{&claims, 1, 0};
    salvage::ChunkPlace out{};
    codec::Syntax syntax = data[1] & 2 ? codec::Syntax::hevc : codec::Syntax::avc;
    uint64_t before = data[2] & 0x40 ? total / 2 : 0;  // the chunk's bytes from there on another recording's
    // a chunk placed but for the open tail of its last sample is placed up to that tail
    uint64_t open = 0;
    if (salvage::join_video_chunk(image, size, &g, file, head, &s, syntax, anchors, 3, before,
                                  data[1] & 8 ? &window : nullptr, &out, data[1] & 16 ? &open : nullptr)) {
        uint64_t placed = open ? open : total;
        if (open && (open >= total || (file + open) % cs != 0))
            fuzz::broken("an open tail begins past the chunk or off a cluster edge");
        if ((!open && out.cut == 0) || out.cut >= placed || (file + out.cut) % cs != 0 || out.at + out.cut > size ||
            out.tail > size || out.later >= salvage::place_cuts_max)
            fuzz::broken("a join lies outside the image or cuts off a cluster edge");
        // every run behind a cut starts on a cluster edge, after the cut before it, inside the image
        for (uint64_t from = out.cut, at = 0, end; out.cut && from < placed; from = end) {
            end = salvage::place_run_end(&out, from, placed);
            salvage::place_run_of(&out, from, &from, &at);
            if ((file + from) % cs != 0 || end <= from || at > size || size - at < end - from)
                fuzz::broken("a run of a joined chunk lies outside the image or off a cluster edge");
        }
        std::vector<uint8_t> bytes(placed);
        if (!salvage::read_placed(image, &out, 0, bytes.data(), placed))
            fuzz::broken("a join does not read back");
    }
    uint64_t sound = field(a + 4) * 8;
    auto outside = [&](const salvage::ChunkPlace& p) {
        uint64_t head_len = p.cut ? p.cut : sound;
        return p.at > size || size - p.at < head_len ||
               (p.cut && (p.cut >= sound || p.tail > size || size - p.tail < sound - p.cut));
    };
    if (salvage::join_between(&g, size, anchors[0], anchors[1], file, sound, &out) && outside(out))
        fuzz::broken("a sound join lies outside the image");
    // the sound behind a chunk whose last byte is the first anchor, with or without a next piece
    if (salvage::join_sound_behind(&g, size, anchors[0], data[1] & 4 ? &anchors[1] : nullptr, file, sound, &out) &&
        (outside(out) || file <= anchors[0].file))
        fuzz::broken("the sound behind a chunk lies outside the image or in front of the chunk");
    if (salvage::join_by_claims(&g, size, anchors[0], anchors[1], file, sound, &claims, 1, 0, &out)) {
        uint64_t head_len = out.cut ? out.cut : sound;
        if (outside(out))
            fuzz::broken("a sound join placed by the other recordings' pieces lies outside the image");
        for (size_t i = 0; i < claims.spans.count; i++) {
            const salvage::ClaimedSpan& x = claims.spans.items[i];
            if (x.clip != 1 && x.begin < x.end && x.begin < out.at + head_len && out.at < x.end)
                fuzz::broken("a sound join lies on another recording's piece");
        }
    }
    // the same sound as two recordings' open gaps, weighed together: a settled gap keeps one of its edges
    salvage::note_sound_gap(&g, size, anchors[0], anchors[1], file, sound, &claims, 1, 0, &claims.gaps);
    salvage::note_sound_gap(&g, size, anchors[0], anchors[1], file, sound, &claims, 2, 0, &claims.gaps);
    salvage::settle_sound_gaps(&g, &claims);
    for (size_t i = 0; i < claims.settled.count; i++) {
        const salvage::SoundGap& x = claims.settled.items[i];
        const salvage::SoundGap* noted = claims.gaps.items;
        while (noted->clip != x.clip)
            noted++;
        if (x.edge_count != 1 || std::find(noted->edges, noted->edges + noted->edge_count, x.edges[0]) ==
                                     noted->edges + noted->edge_count)
            fuzz::broken("a settled sound gap lies at an edge it did not keep");
        if (outside(salvage::placed_at_cut(anchors[0], anchors[1], x.edges[0], file, sound)))
            fuzz::broken("a settled sound gap lies outside the image");
    }
    // the same sound as two recordings' open sound, placed in the clusters the pieces leave free:
    // every run of it between the two pieces (inside the image when they are), on a cluster edge
    // behind a cut, off the other's pieces
    salvage::note_open_sound(anchors[0], anchors[1], file, sound, 1, 0, &claims.open);
    salvage::note_open_sound(anchors[0], anchors[1], file, sound, 2, 0, &claims.open);
    salvage::settle_free_runs(&g, &claims);
    for (size_t i = 0; i < claims.threaded.count; i++) {
        const salvage::ThreadedSound& x = claims.threaded.items[i];
        if (!salvage::threaded_place(&g, &claims, x.clip, anchors[0], anchors[1], file, sound, &out))
            fuzz::broken("settled sound in free runs cannot be placed");
        for (uint64_t from = 0, end; from < sound; from = end) {
            end = salvage::place_run_end(&out, from, sound);
            uint64_t at = salvage::place_offset(&out, from);
            if (at < anchors[0].image || at + (end - from) > anchors[1].image ||
                (anchors[1].image <= size && (at > size || size - at < end - from)) || (from && (file + from) % cs != 0))
                fuzz::broken("sound in free runs lies outside the image or off a cluster edge");
            for (size_t j = 0; j < claims.spans.count; j++) {
                const salvage::ClaimedSpan& y = claims.spans.items[j];
                if (y.clip != x.clip && y.begin < y.end && y.begin < at + (end - from) && at < y.end)
                    fuzz::broken("sound in free runs lies on another recording's piece");
            }
        }
    }
    // sound proven by its waveform: every run of it inside the image, off the other recordings'
    // pieces, behind a cut on a cluster edge; and its steps never past its end
    salvage::PcmFormat pcm{1 + uint32_t(data[1] >> 7), int(data[1] & 1)};
    if (salvage::place_by_waveform(image, size, &g, &claims, 1, 0, anchors[0], anchors[1], file, sound, file, sound,
                                   pcm, &out)) {
        for (uint64_t from = 0, end; from < sound; from = end) {
            end = salvage::place_run_end(&out, from, sound);
            uint64_t at = salvage::place_offset(&out, from);
            if (at > size || size - at < end - from || (from && (file + from) % cs != 0))
                fuzz::broken("sound proven by its waveform lies outside the image or off a cluster edge");
            for (size_t j = 0; j < claims.spans.count; j++) {
                const salvage::ClaimedSpan& y = claims.spans.items[j];
                if (y.clip != 1 && y.begin < y.end && y.begin < at + (end - from) && at < y.end)
                    fuzz::broken("sound proven by its waveform lies on another recording's piece");
            }
        }
    }
    if (salvage::smooth_bytes(image, size, cs, &out, file, sound, pcm) > sound)
        fuzz::broken("sound steps past its end");
    salvage::free_claims(&claims);
    std::fclose(image);
    return 0;
}
