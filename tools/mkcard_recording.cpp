#include "tools/mkcard_recording.h"

#include "tools/mkcard_moov.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace mkcard {

namespace {

constexpr uint32_t group_frames = 12;
constexpr uint64_t pcm_rate = 48000;
constexpr uint64_t seconds_1904_to_1970 = 2082844800ull;

struct LocalTime {
    int year;
    unsigned month, day, hour, minute, second;
};

LocalTime local_time(const RecordingPlan& s)
{
    int64_t t = s.utc_unix + static_cast<int64_t>(s.tz_hours) * 3600;
    int64_t days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    int64_t secs = t - days * 86400;
    LocalTime lt{};
    civil_from_days(days, &lt.year, &lt.month, &lt.day);
    lt.hour = static_cast<unsigned>(secs / 3600);
    lt.minute = static_cast<unsigned>(secs / 60 % 60);
    lt.second = static_cast<unsigned>(secs % 60);
    return lt;
}

void put_ftyp_and_uuids(Bytes& b, const RecordingPlan& s)
{
    size_t at = open_box(b, "ftyp");
    put_text(b, "XAVC");
    put_be32(b, 0x00000001);
    put_text(b, "XAVCmp42iso2");
    close_box(b, at);
    for (uint32_t u = 0; u < s.uuid_boxes; u++) {
        at = open_box(b, "uuid");
        static const uint8_t id[16] = {0x50, 0x52, 0x4F, 0x46, 0x21, 0xD2, 0x4F, 0xCE,
                                       0xBB, 0x88, 0x69, 0x5C, 0xFA, 0xC9, 0xC7, 0x40};
        b.insert(b.end(), id, id + 16);
        for (uint32_t k = 0; k < 40 + 24 * u; k++)
            put_u8(b, 0x11 * (k % 7));
        close_box(b, at);
    }
}

// The kkad box of metadata chunk `seq`; it describes the video chunk before it twice.
void write_kkad(uint8_t* box, const Recording& r, uint32_t seq)
{
    std::vector<KkadDescription> descriptions;
    if (seq) {
        KkadDescription d{r.video[seq - 1].offset, {}};
        std::memcpy(d.sizes, r.video_sizes.data() + (seq - 1) * group_frames, sizeof d.sizes);
        descriptions = {d, d};
    }
    static const unsigned no_time[6] = {};
    write_kkad_box(box, kkad_box_bytes, seq, 0x5A000000u | r.plan.seed, r.plan.timeless_kkad ? no_time : r.local_date,
                   descriptions);
}

std::vector<Bytes> make_traks(const Recording& r, const VideoStream& vs)
{
    const Bytes& config = vs.config;
    uint32_t width = vs.width, height = vs.height;
    uint32_t n = static_cast<uint32_t>(r.video.size());
    uint32_t frames = n * group_frames;
    uint64_t ms = duration_ms(r.plan);
    uint32_t scale = video_timescale(r.plan), ticks = video_frame_ticks(r.plan);
    std::vector<Bytes> traks;

    TrackDesc v;
    v.kind = TrackKind::video;
    v.track_id = 1;
    v.timescale = scale;
    v.duration = static_cast<uint64_t>(frames) * ticks;
    v.movie_duration = ms;
    v.sample_entry = visual_sample_entry(r.plan.video.hevc, width, height, config);
    v.sample_count = frames;
    v.sample_delta = ticks;
    v.samples_per_chunk = group_frames;
    v.sizes = r.video_sizes;
    v.co64 = r.plan.co64;
    v.width = width;
    v.height = height;
    for (const Chunk& c : r.video)
        v.chunk_offsets.push_back(c.offset);
    if (camera_like(r.plan.video)) {
        // composition offsets in the track's timescale; the presentation starts at the first
        // presented frame, as the camera's edit list says
        uint32_t first = UINT32_MAX;
        for (uint32_t i = 0; i < frames; i++) {
            v.composition_offsets.push_back(vs.offsets[i] * v.sample_delta);
            first = std::min(first, i + vs.offsets[i]);
        }
        v.sync = r.video_key;
        v.edit_list = true;
        v.edit_media_time = (r.plan.edit_media_frames < 0 ? first : uint32_t(r.plan.edit_media_frames)) * v.sample_delta;
    }
    traks.push_back(build_trak(v));

    TrackDesc a;
    a.kind = TrackKind::sound;
    a.track_id = 2;
    a.timescale = 48000;
    a.duration = pcm_frames_due(r.plan, frames);
    a.movie_duration = ms;
    a.sample_entry = sound_sample_entry(r.plan.sound_format);
    a.sample_count = static_cast<uint32_t>(a.duration);
    a.sample_delta = 1;
    for (const Chunk& c : r.audio)
        a.chunk_samples.push_back(static_cast<uint32_t>(c.size / r.plan.sound_format.frame_bytes()));
    a.constant_size = r.plan.sound_format.frame_bytes();
    a.co64 = r.plan.co64;
    for (const Chunk& c : r.audio)
        a.chunk_offsets.push_back(c.offset);
    traks.push_back(build_trak(a));

    TrackDesc m;
    m.kind = TrackKind::metadata;
    m.track_id = 3;
    m.timescale = scale;
    m.duration = static_cast<uint64_t>(frames) * ticks;
    m.movie_duration = ms;
    m.sample_entry = metadata_sample_entry();
    m.sample_count = frames;
    m.sample_delta = ticks;
    m.samples_per_chunk = group_frames;
    m.constant_size = meta_sample_bytes;
    m.co64 = r.plan.co64;
    for (const Chunk& c : r.meta)
        m.chunk_offsets.push_back(c.offset);
    traks.push_back(build_trak(m));
    return traks;
}

} // namespace

uint32_t video_timescale(const RecordingPlan& plan)
{
    return plan.video.rate_den == 1 ? plan.video.rate_num * 1000 : plan.video.rate_num;
}

uint32_t video_frame_ticks(const RecordingPlan& plan) { return plan.video.rate_den == 1 ? 1000 : plan.video.rate_den; }

uint64_t pcm_frames_due(const RecordingPlan& plan, uint64_t frames)
{
    return frames * pcm_rate * plan.video.rate_den / plan.video.rate_num;
}

uint64_t duration_ms(const RecordingPlan& plan)
{
    return (uint64_t(plan.frames) * 1000 * plan.video.rate_den * 2 + plan.video.rate_num) / (2 * uint64_t(plan.video.rate_num));
}

std::string fps_text(const RecordingPlan& plan)
{
    char text[32];
    if (plan.video.rate_den == 1)
        std::snprintf(text, sizeof text, "%up", plan.video.rate_num);
    else
        std::snprintf(text, sizeof text, "%.2fp", static_cast<double>(plan.video.rate_num) / plan.video.rate_den);
    return text;
}

void civil_from_days(int64_t days, int* year, unsigned* month, unsigned* day)
{
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    *year = static_cast<int>(yoe + era * 400 + (*month <= 2));
}

void write_kkad_box(uint8_t* box, uint32_t size, uint32_t sequence, uint32_t tag, const unsigned date[6],
                    const std::vector<KkadDescription>& descriptions)
{
    std::memset(box, 0, size);
    set_be32(box, size);
    std::memcpy(box + 4, "kkad", 4);
    std::memcpy(box + 20, "2100000000000000", 16);
    box[36] = 0xF0;
    box[37] = 0x03;
    set_le16(box + 38, sequence);
    set_le32(box + 44, tag);
    set_be16(box + 68, date[0]);
    for (int i = 1; i < 6; i++)
        box[69 + i] = static_cast<uint8_t>(date[i]);
    for (size_t k = 0; k < descriptions.size(); k++) {
        uint8_t* at = box + 80 + 329 * k;
        set_le64(at, descriptions[k].offset);
        for (uint32_t i = 0; i < 12; i++)
            set_be32(at + 77 + 21 * i, descriptions[k].sizes[i]);
    }
}

VideoStream recording_video(const RecordingPlan& plan) { return encode_video(plan.video, plan.frames, plan.seed); }

Recording make_recording(const RecordingPlan& plan)
{
    if (plan.frames == 0 || plan.frames % group_frames != 0)
        die("a recording needs whole groups of 12 frames");
    Recording r;
    r.plan = plan;
    VideoStream vs = recording_video(plan);
    uint32_t n = plan.frames / group_frames;
    LocalTime lt = local_time(plan);
    char text[64];
    std::snprintf(text, sizeof text, "%04d%02u%02u_%02u%02u%02u", lt.year, lt.month, lt.day, lt.hour, lt.minute,
                  lt.second);
    r.time_text = plan.timeless_kkad ? "unknown_time" : text;
    const unsigned date[6] = {static_cast<unsigned>(lt.year), lt.month, lt.day, lt.hour, lt.minute, lt.second};
    std::memcpy(r.local_date, date, sizeof date);

    Bytes& b = r.header;
    put_ftyp_and_uuids(b, plan);
    size_t mdat = b.size();
    if (plan.mdat64) {
        put_be32(b, 1);
        put_text(b, "mdat");
        put_be64(b, 0);
    } else {
        open_box(b, "mdat");
    }
    r.header_length = b.size();
    for (uint32_t i = 0; i < plan.frames; i++) {
        r.video_sizes.push_back(static_cast<uint32_t>(frame_size(vs, i)));
        r.video_key.push_back(static_cast<uint8_t>(is_key_frame(vs, i)));
    }
    uint64_t at = r.header_length;
    for (uint32_t j = 0; j < n; j++) {
        r.meta.push_back(Chunk{at, uint64_t(group_frames) * meta_sample_bytes});
        at += r.meta.back().size;
        Chunk video{at, 0};
        for (uint32_t i = 0; i < group_frames; i++)
            video.size += r.video_sizes[j * group_frames + i];
        r.video.push_back(video);
        at += video.size;
        uint64_t audio_bytes = plan.sound_format.frame_bytes() *
                               (pcm_frames_due(plan, (j + 1) * group_frames) - pcm_frames_due(plan, j * group_frames));
        r.audio.push_back(Chunk{at, audio_bytes});
        at += audio_bytes;
    }
    r.mdat_end = at;
    uint64_t mdat_size = r.mdat_end - mdat;
    if (plan.mdat64)
        set_be64(b.data() + mdat + 8, mdat_size);
    else if (mdat_size > 0xFFFFFFFFull)
        die("mdat too large for a 32-bit size");
    else
        set_be32(b.data() + mdat, static_cast<uint32_t>(mdat_size));
    if (!plan.co64 && r.mdat_end > 0xFFFFFFFFull)
        die("chunk offsets beyond 4 GiB need co64");

    std::vector<Bytes> traks = make_traks(r, vs);
    uint64_t creation = static_cast<uint64_t>(plan.utc_unix) + seconds_1904_to_1970;
    uint64_t ms = duration_ms(plan);
    r.moov_keep = build_moov(creation, 1000, ms, 4, traks, plan.moov64);
    traks.pop_back();
    r.moov_plain = build_moov(creation, 1000, ms, 4, traks, plan.moov64);
    r.file_size = r.mdat_end + r.moov_keep.size();
    return r;
}

namespace {

// The part of file range [begin, begin + size) that falls in [*at, end), written at `dst`
// positions counted from `origin`: where it starts in the piece and how long it is.
struct Overlap {
    uint64_t from = 0, len = 0;
    uint8_t* out = nullptr;
};
Overlap overlap(uint64_t begin, uint64_t size, uint64_t at, uint64_t end, uint8_t* dst, uint64_t origin)
{
    Overlap o;
    uint64_t b = std::max(begin, at), e = std::min(begin + size, end);
    if (b < e)
        o = Overlap{b - begin, e - b, dst + (b - origin)};
    return o;
}

void meta_chunk_bytes(const Recording& r, uint32_t j, uint64_t at, uint64_t end, uint8_t* dst, uint64_t origin,
                      bool zero_meta)
{
    const Chunk& c = r.meta[j];
    Overlap o = overlap(c.offset, c.size, at, end, dst, origin);
    if (!o.len)
        return;
    std::memset(o.out, 0, o.len);
    uint64_t box_at = 11 * meta_sample_bytes;
    if (zero_meta || o.from + o.len <= box_at || o.from >= box_at + kkad_box_bytes)
        return;
    uint8_t box[kkad_box_bytes];
    write_kkad(box, r, j);
    Overlap k = overlap(c.offset + box_at, kkad_box_bytes, at, end, dst, origin);
    std::memcpy(k.out, box + k.from, k.len);
}

void video_chunk_bytes(const Recording& r, const VideoStream& vs, uint32_t j, uint64_t at, uint64_t end,
                       uint8_t* dst, uint64_t origin)
{
    uint64_t frame_at = r.video[j].offset;
    for (uint64_t i = uint64_t(j) * group_frames; i < uint64_t(j + 1) * group_frames && frame_at < end; i++) {
        Overlap o = overlap(frame_at, r.video_sizes[i], at, end, dst, origin);
        if (o.len)
            copy_frame_bytes(vs, i, o.from, o.out, o.len);
        frame_at += r.video_sizes[i];
    }
}

void audio_chunk_bytes(const Recording& r, uint32_t j, uint64_t at, uint64_t end, uint8_t* dst, uint64_t origin)
{
    const Chunk& c = r.audio[j];
    Overlap o = overlap(c.offset, c.size, at, end, dst, origin);
    if (!o.len)
        return;
    const SoundFormat format = r.plan.sound_format;
    const uint64_t fb = format.frame_bytes();
    uint64_t first = o.from / fb, last = (o.from + o.len + fb - 1) / fb;
    uint64_t frame0 = pcm_frames_due(r.plan, uint64_t(j) * group_frames);
    if (o.from % fb == 0 && o.len % fb == 0) {
        put_sound(o.out, frame0 + first, last - first, r.plan.seed, r.plan.dithered_sound, r.plan.sound, format);
        return;
    }
    Bytes frames((last - first) * fb);
    put_sound(frames.data(), frame0 + first, last - first, r.plan.seed, r.plan.dithered_sound, r.plan.sound, format);
    std::memcpy(o.out, frames.data() + o.from % fb, o.len);
}

} // namespace

void recording_bytes(const Recording& r, const VideoStream& vs, uint64_t at, uint8_t* dst, uint64_t n, FileView view)
{
    const Bytes& moov = view.moov ? *view.moov : r.moov_keep;
    uint64_t origin = at, end = at + n;
    if (end > r.mdat_end + moov.size())
        die("a read past the end of a recording");
    Overlap o = overlap(0, r.header_length, at, end, dst, origin);
    if (o.len)
        std::memcpy(o.out, r.header.data() + o.from, o.len);
    // the chunk that holds `at`: the last whose metadata starts at or before it
    auto next = std::upper_bound(r.meta.begin(), r.meta.end(), at,
                                 [](uint64_t x, const Chunk& c) { return x < c.offset; });
    uint32_t j = next == r.meta.begin() ? 0 : static_cast<uint32_t>(next - r.meta.begin() - 1);
    for (; j < r.meta.size() && r.meta[j].offset < end; j++) {
        meta_chunk_bytes(r, j, at, end, dst, origin, view.zero_meta);
        video_chunk_bytes(r, vs, j, at, end, dst, origin);
        audio_chunk_bytes(r, j, at, end, dst, origin);
    }
    o = overlap(r.mdat_end, moov.size(), at, end, dst, origin);
    if (o.len)
        std::memcpy(o.out, moov.data() + o.from, o.len);
}

} // namespace mkcard
