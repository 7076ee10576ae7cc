#include "salvage/sound_continuity.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "image/read_at.h"

namespace salvage {

namespace {

// The second differences a side needs at least.
constexpr uint64_t side_least = 8;
// Second differences this small are the samples' rounding, not a step: the floor of every
// comparison, for 16-bit samples; wider samples hear the same rounding finer.
constexpr int64_t rounding_floor_16 = 16;

int64_t rounding_floor(PcmFormat pcm) { return rounding_floor_16 << (8 * (pcm.bytes - 2)); }

int64_t sample_at(const uint8_t* b, PcmFormat pcm)
{
    if (pcm.bytes == 3) {
        uint32_t v = pcm.big_endian ? uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2]
                                    : uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0];
        return int32_t(v << 8) >> 8;
    }
    uint16_t v = pcm.big_endian ? uint16_t(b[0] << 8 | b[1]) : uint16_t(b[1] << 8 | b[0]);
    return int16_t(v);
}

int64_t second_difference(const uint8_t* x, uint64_t fb, PcmFormat pcm)
{
    return sample_at(x + fb, pcm) - 2 * sample_at(x, pcm) + sample_at(x - fb, pcm);
}

Joint judge_channel(const uint8_t* bytes, uint64_t frames, uint64_t edge, uint32_t channel, PcmFormat pcm)
{
    uint64_t fb = pcm_frame_bytes(pcm);
    const int64_t floor = rounding_floor(pcm);
    int64_t side[2] = {0, 0}, across = 0;
    uint64_t seen[2] = {0, 0};
    for (uint64_t i = 1; i + 1 < frames; i++) {
        int64_t d = second_difference(bytes + i * fb + pcm.bytes * channel, fb, pcm);
        d = d < 0 ? -d : d;
        // the three frames all in front of the edge, all behind it, or some on either side
        int s = (i + 2) * fb <= edge ? 0 : (i - 1) * fb >= edge ? 1 : 2;
        if (s == 2) {
            across = std::max(across, d);
            continue;
        }
        side[s] = std::max(side[s], d);
        seen[s]++;
    }
    if (seen[0] < side_least || seen[1] < side_least)
        return Joint::unknown;
    int64_t quiet = std::min(side[0], side[1]), loud = std::max(side[0], side[1]);
    if (across >= 6 * quiet + 4 * floor || loud >= 16 * quiet + 4 * floor)
        return Joint::step;
    if (2 * across <= 3 * loud + 2 * floor && loud <= 4 * quiet + floor)
        return Joint::smooth;
    return Joint::unknown;
}

// The ways' search: file cluster `t` (from lo's) goes into room cluster `r` or a later one. With
// a judge, a cluster edge inside the sound that makes a clear step ends the ways through it there:
// every one of them steps, so none is kept, and only how many were left is counted.
struct Walk {
    const RoomClusters* room;
    uint64_t first, last;  // the bytes' clusters, counted from lo's
    uint64_t lf;
    uint64_t steps;
    int overflow;
    uint32_t pick[free_runs_window];
    SoundLayouts* out;
    const EdgeJudge* judge;
};

void keep_way(Walk* w)
{
    SoundLayouts* o = w->out;
    uint64_t way[place_cuts_max];
    for (uint64_t t = w->first; t <= w->last; t++)
        way[t - w->first] = w->room->at[w->pick[t]];
    for (uint32_t i = 0; i < o->count; i++)
        if (std::equal(way, way + o->clusters, o->at[i]))
            return;
    if (o->count == sound_layouts_max) {
        w->overflow = 1;
        return;
    }
    std::copy(way, way + o->clusters, o->at[o->count++]);
}

// How the sound runs from room cluster `a` into room cluster `b` across the edge in front of file
// cluster `t` (from lo's); unknown where that edge is not inside the sound.
Joint judge_edge(const Walk* w, uint64_t t, uint64_t a, uint64_t b)
{
    const EdgeJudge* j = w->judge;
    uint64_t cs = j->cs, e = (w->lf + t) * cs, fb = pcm_frame_bytes(j->pcm), window = pcm_window(j->pcm);
    if (fb == 0 || e <= j->sound || e >= j->sound + j->sound_size)
        return Joint::unknown;
    uint64_t before = std::min(window, e - j->sound);
    before -= (before - (e - j->sound) % fb) % fb;
    uint64_t after = std::min(window, j->sound + j->sound_size - e), left = a + cs - before;
    uint8_t buf[2 * pcm_window_max + 8];
    if (b > j->image_size || j->image_size - b < after || left > j->image_size ||
        !image::read_at(j->image, left, buf, before) || !image::read_at(j->image, b, buf + before, after))
        return Joint::unknown;
    return judge_joint(buf, before + after, before, j->pcm);
}

// 1 when the walk from file cluster `t` on reached the room's end at least once.
int walk(Walk* w, uint64_t t, uint32_t r)
{
    const RoomClusters* room = w->room;
    uint64_t n = room->needed;
    if (w->overflow || ++w->steps > sound_walk_steps_max) {
        w->overflow = 1;
        return 0;
    }
    if (t == n) {
        // every room cluster left behind the last is no piece of its own
        keep_way(w);
        return 1;
    }
    // the last of the file's clusters is hi's, the room's last; clusters skipped hold no piece
    // of its own
    uint32_t end = t + 1 == n ? room->count - 1 : uint32_t(room->count - (n - t)), c = r;
    for (; t + 1 == n && c < end; c++)
        if (room->own[c] != UINT64_MAX)
            return 0;
    int reached = 0;
    for (c = t + 1 == n ? end : r; c <= end; c++) {
        if (room->own[c] != UINT64_MAX && room->own[c] != w->lf + t)
            break;
        if (w->judge && t > w->first && t <= w->last &&
            judge_edge(w, t, room->at[w->pick[t - 1]], room->at[c]) == Joint::step) {
            w->out->stepped++;
        } else {
            w->pick[t] = c;
            reached |= walk(w, t + 1, c + 1);
            // behind the bytes' last cluster the way is set: one end reached is enough
            if (reached && t > w->last)
                return 1;
        }
        if (room->own[c] != UINT64_MAX)
            break;
    }
    return reached;
}

// How the bytes of a way run across byte `x` of the file, with what lies around it in its
// cluster: `x` the sound's first byte or the first behind it, so that the bytes on its other
// side are not the sound's and the samples must not run on smoothly into them.
Joint judge_sound_end(std::FILE* image, uint64_t image_size, uint64_t cs, const SoundLayouts* ways, uint32_t i,
                      uint64_t file, uint64_t x, int end, PcmFormat pcm)
{
    uint64_t fb = pcm_frame_bytes(pcm), window = pcm_window(pcm);
    uint64_t in = x % cs, k = x / cs - file / cs;
    uint64_t before = std::min(window, in), after = std::min(window, cs - in);
    before -= before % fb, after -= after % fb;
    uint8_t buf[2 * pcm_window_max];
    if (k >= ways->clusters || before < side_least * fb || after < side_least * fb)
        return Joint::unknown;
    uint64_t at = ways->at[i][k] + in - before;
    if (at > image_size || image_size - at < before + after || !image::read_at(image, at, buf, before + after))
        return Joint::unknown;
    if (judge_joint(buf, before + after, before, pcm) != Joint::smooth)
        return Joint::unknown;
    // zeros on the other side (a piece's padding) are no sound that runs on
    return silent(end ? buf + before : buf, end ? after : before, pcm) ? Joint::unknown : Joint::smooth;
}

}  // namespace

int silent(const uint8_t* bytes, uint64_t n, PcmFormat pcm)
{
    uint64_t fb = pcm_frame_bytes(pcm);
    if (fb == 0)
        return 0;
    const int64_t floor = rounding_floor(pcm);
    for (uint64_t i = 1; i + 1 < n / fb; i++)
        for (uint32_t c = 0; c < pcm.channels; c++) {
            int64_t d = second_difference(bytes + i * fb + pcm.bytes * c, fb, pcm);
            if (d > floor || d < -floor)
                return 0;
        }
    return 1;
}

Joint judge_joint(const uint8_t* bytes, uint64_t n, uint64_t edge, PcmFormat pcm)
{
    uint64_t fb = pcm_frame_bytes(pcm);
    if (fb == 0)
        return Joint::unknown;
    uint64_t frames = n / fb;
    int smooth = 1;
    for (uint32_t c = 0; c < pcm.channels; c++) {
        Joint j = judge_channel(bytes, frames, edge, c, pcm);
        if (j == Joint::step)
            return Joint::step;
        smooth &= j == Joint::smooth;
    }
    return smooth ? Joint::smooth : Joint::unknown;
}

int sound_layouts(const RoomClusters* room, uint64_t lo_file, uint64_t cs, uint64_t file, uint64_t size,
                  SoundLayouts* out, const EdgeJudge* judge)
{
    out->count = 0, out->clusters = 0, out->stepped = 0;
    uint64_t lf = lo_file / cs;
    if (cs == 0 || size == 0 || file / cs < lf || room->needed < 2 || room->needed > room->count ||
        (file + size - 1) / cs - lf >= room->needed || (file + size - 1) / cs - file / cs >= place_cuts_max ||
        (room->own[0] != UINT64_MAX && room->own[0] != lf))
        return 0;
    Walk w{room, file / cs - lf, (file + size - 1) / cs - lf, lf, 0, 0, {}, out, judge};
    out->clusters = uint32_t(w.last - w.first + 1);
    w.pick[0] = 0;
    walk(&w, 1, 1);
    if (w.overflow)
        out->count = 0;
    return out->count > 0;
}

int proven_layout(std::FILE* image, uint64_t image_size, uint64_t cs, const SoundLayouts* ways, uint64_t file,
                  uint64_t sound, uint64_t sound_size, PcmFormat pcm)
{
    uint64_t fb = pcm_frame_bytes(pcm), window = pcm_window(pcm), first = file / cs;
    if (fb == 0 || cs == 0 || sound < first * cs)
        return -1;
    int proven = -1;
    uint32_t steps = 0;
    uint8_t buf[2 * pcm_window_max + 8];
    for (uint32_t i = 0; i < ways->count; i++) {
        int smooth = 1, step = 0;
        for (uint64_t e = (sound / cs + 1) * cs; e < sound + sound_size && !step; e += cs) {
            // the bytes in front of the edge from a frame's first byte on
            uint64_t before = std::min(window, e - sound);
            before -= (before - (e - sound) % fb) % fb;
            uint64_t after = std::min(window, sound + sound_size - e);
            uint64_t k = e / cs - first;
            if (k >= ways->clusters) {
                smooth = 0;
                break;
            }
            uint64_t left = ways->at[i][k - 1] + cs - before, right = ways->at[i][k];
            if (right > image_size || image_size - right < after || left > image_size ||
                !image::read_at(image, left, buf, before) || !image::read_at(image, right, buf + before, after)) {
                smooth = 0;
                break;
            }
            Joint j = judge_joint(buf, before + after, before, pcm);
            smooth &= j == Joint::smooth;
            step |= j == Joint::step;
        }
        // samples that run on smoothly past the sound's ends are another recording's, whose
        // sound goes on there: a step of the way as clear as one inside
        for (uint64_t x : {sound, sound + sound_size})
            if (judge_sound_end(image, image_size, cs, ways, i, file, x, x != sound, pcm) == Joint::smooth)
                smooth = 0, step = 1;
        steps += uint32_t(step);
        if (smooth && !step) {
            if (proven >= 0)
                return -1;
            proven = int(i);
        }
    }
    // every other way makes a step
    return proven >= 0 && steps + 1 == ways->count ? proven : -1;
}

uint64_t smooth_bytes(std::FILE* image, uint64_t image_size, uint64_t cs, const ChunkPlace* at, uint64_t file,
                      uint64_t size, PcmFormat pcm)
{
    uint64_t fb = pcm_frame_bytes(pcm), window = pcm_window(pcm);
    if (fb == 0 || cs == 0)
        return size;
    uint8_t buf[2 * pcm_window_max + 8];
    for (uint64_t e = (file / cs + 1) * cs; e < file + size; e += cs) {
        uint64_t x = e - file, before = std::min(window, x);
        before -= (before - x % fb) % fb;
        uint64_t after = std::min(window, size - x);
        // the bytes on either side of a cluster edge lie in one run each
        uint64_t left = place_offset(at, x - before), right = place_offset(at, x);
        if (right > image_size || image_size - right < after || left > image_size || image_size - left < before ||
            !image::read_at(image, left, buf, before) || !image::read_at(image, right, buf + before, after))
            continue;
        if (judge_joint(buf, before + after, before, pcm) == Joint::step)
            return x;
    }
    return size;
}

int place_by_waveform(std::FILE* image, uint64_t image_size, const image::ImageGeometry* geometry,
                      const ClaimList* claims, uint32_t clip, uint32_t tag, JoinAnchor lo, JoinAnchor hi, uint64_t file,
                      uint64_t size, uint64_t sound, uint64_t sound_size, PcmFormat pcm, ChunkPlace* out)
{
    uint64_t cs = geometry ? geometry->cluster_bytes : 0;
    if (cs == 0 || sound < file || file + size < sound + sound_size)
        return 0;
    RoomClusters room;
    auto ways = std::make_unique<SoundLayouts>();
    if (!room_between(geometry, claims, clip, tag, lo, hi, &room))
        return 0;
    // a piece of its own inside the bytes is where an earlier pass placed them: the waveform
    // proves them again, from the room alone
    for (uint32_t c = 1; c < room.count; c++)
        if (room.own[c] != UINT64_MAX && room.own[c] > lo.file / cs && room.own[c] <= (file + size - 1) / cs)
            room.own[c] = UINT64_MAX;
    // the ways that step at an edge inside the sound are left out as the walk meets the step
    EdgeJudge judge{image, image_size, cs, sound, sound_size, pcm};
    if (!sound_layouts(&room, lo.file, cs, file, size, ways.get(), &judge))
        return 0;
    int i = proven_layout(image, image_size, cs, ways.get(), file, sound, sound_size, pcm);
    if (i < 0)
        return 0;
    const uint64_t* at = ways->at[i];
    ChunkPlace p{at[0] + file % cs, 0, 0};
    for (uint32_t c = 1; c < ways->clusters; c++)
        if (at[c] != at[c - 1] + cs && !add_run(&p, (file / cs + c) * cs - file, at[c]))
            return 0;
    *out = p;
    return 1;
}

}  // namespace salvage
