#include "salvage/stream_settings.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "mp4/box.h"
#include "mp4/box_writer.h"
#include "mp4/track_boxes.h"
#include "rebuild/output_moov.h"
#include "rebuild/validation_pass.h"
#include "salvage/stream_clock.h"

namespace salvage {

using namespace analysis;

namespace {

// The camera counts video time in thousandths of a frame.
constexpr uint32_t frame_ticks = 1000;

uint8_t* copy_bytes(const uint8_t* p, uint32_t n)
{
    uint8_t* out = static_cast<uint8_t*>(basics::xmalloc(n ? n : 1));
    std::memcpy(out, p, n);
    return out;
}

uint8_t* visual_entry(int hevc, const codec::PictureFormat* picture, const uint8_t* config, uint32_t config_size,
                      uint32_t* size)
{
    using namespace mp4;
    uint32_t n = visual_entry_children_at + 8 + config_size;
    uint8_t* e = static_cast<uint8_t*>(basics::xcalloc(n, 1));
    write_box_header(e, n, hevc ? "hvc1" : "avc1", 0);
    basics::store_be16(e + sample_entry_data_reference_at, 1);
    basics::store_be16(e + visual_entry_width_at, picture->width);
    basics::store_be16(e + visual_entry_height_at, picture->height);
    basics::store_be32(e + visual_entry_resolution_at, 0x00480000);  // 72 dpi
    basics::store_be32(e + visual_entry_resolution_at + 4, 0x00480000);
    basics::store_be16(e + visual_entry_frame_count_at, 1);  // one frame per sample
    basics::store_be16(e + visual_entry_depth_at, 0x0018);
    basics::store_be16(e + visual_entry_depth_at + 2, 0xFFFF);  // no colour table
    uint8_t* child = e + visual_entry_children_at;
    write_box_header(child, 8 + config_size, hevc ? box_hvcc : box_avcc, 0);
    std::memcpy(child + 8, config, config_size);
    *size = n;
    return e;
}

// The camera's sound entry: 16-bit sound in the classic description, wider samples in a version 2
// one, which states the layout in full.
constexpr uint32_t lpcm_entry_size = 72;  // box header, sample entry head, the description of 56 bytes

uint8_t* camera_sound_entry(PcmFormat sound, uint32_t* size)
{
    using namespace mp4;
    const uint32_t n = sound.bytes == 2 ? sound_entry_size : lpcm_entry_size;
    uint8_t* e = static_cast<uint8_t*>(basics::xcalloc(n, 1));
    write_box_header(e, n, sound.bytes == 2 ? "twos" : "lpcm", 0);
    basics::store_be16(e + sample_entry_data_reference_at, 1);
    if (sound.bytes == 2) {
        basics::store_be16(e + sound_entry_channels_at, uint16_t(sound.channels));
        basics::store_be16(e + sound_entry_bits_at, 16);
        basics::store_be32(e + sound_entry_rate_at, camera_sound_rate << 16);
    } else {
        uint8_t* d = e + 16;  // version 2: the fixed fields hold constants, the layout follows
        basics::store_be16(d, 2);
        basics::store_be16(d + 8, 3);
        basics::store_be16(d + 10, 16);
        basics::store_be16(d + 12, 0xFFFE);
        basics::store_be32(d + 16, 0x00010000);
        basics::store_be32(d + 20, 72);
        basics::store_be64(d + 24, 0x40E7700000000000ull);  // 48,000 as a double
        basics::store_be32(d + 32, sound.channels);
        basics::store_be32(d + 36, 0x7F000000);
        basics::store_be32(d + 40, 8 * sound.bytes);
        basics::store_be32(d + 44, mp4::lpcm_big_endian | mp4::lpcm_signed | 8);  // packed
        basics::store_be32(d + 48, sound.channels * sound.bytes);
        basics::store_be32(d + 52, 1);  // one frame a packet
    }
    *size = n;
    return e;
}

}  // namespace

namespace {

// The video sample entry of a movie box of the stream's format, and the decoder configuration
// record inside it.
int video_entry_of(const mp4::MovieInfo* m, int hevc, mp4::BoxHeader* entry, mp4::BoxHeader* config)
{
    using namespace mp4;
    return m->has_video && (hevc ? format_is_hevc(m->video.format) : format_is_avc(m->video.format)) &&
           find_sample_entry(m->moov_bytes, m->moov_size, "vide", entry) && entry->size >= visual_entry_children_at &&
           find_child_box(m->moov_bytes, m->moov_size, entry->offset + visual_entry_children_at,
                          entry->offset + entry->size, hevc ? box_hvcc : box_avcc, config) &&
           config->size - config->header_size <= 0xFFFF;
}

// The settings of another recording's movie box: its video sample entry and timing, and its
// sound when the camera wrote it.
int settings_from_movie(const mp4::MovieInfo* m, const mp4::BoxHeader* entry, StreamSettings* out)
{
    StreamSettings s = {};
    s.video_entry = copy_bytes(m->moov_bytes + entry->offset, uint32_t(entry->size));
    s.video_entry_size = uint32_t(entry->size);
    s.video_timescale = m->video.timescale;
    mp4::constant_sample_delta(m->moov_bytes, m->moov_size, "vide", &s.video_delta);
    if (rebuild::sound_track_written(m) && m->audio.fixed_sample_size &&
        mp4::copy_sample_entry(m->moov_bytes, m->moov_size, "soun", &s.sound_entry, &s.sound_entry_size)) {
        s.sound_timescale = m->audio.timescale;
        mp4::constant_sample_delta(m->moov_bytes, m->moov_size, "soun", &s.sound_delta);
        s.sound_sample_size = m->audio.fixed_sample_size;
        s.sound_chunk_bytes = m->audio.chunk_count ? m->audio.chunk_sizes[0] : 0;
    }
    s.from_sibling = 1;
    if (!s.video_timescale || !s.video_delta) {
        free_stream_settings(&s);
        return 0;
    }
    *out = s;
    return 1;
}

const uint8_t* config_body(const mp4::MovieInfo* m, const mp4::BoxHeader* config)
{
    return m->moov_bytes + config->offset + config->header_size;
}

}  // namespace

int settings_from_sibling(const MovieList* movies, int hevc, const codec::ParameterSets* sets, StreamSettings* out)
{
    for (size_t i = 0; i < movies->count; i++) {
        const mp4::MovieInfo* m = &movies->items[i];
        mp4::BoxHeader entry, config;
        if (video_entry_of(m, hevc, &entry, &config) &&
            codec::config_carries(config_body(m, &config), uint32_t(config.size - config.header_size), hevc, sets) &&
            settings_from_movie(m, &entry, out))
            return 1;
    }
    return 0;
}

int settings_judged_by_decoder(const MovieList* movies, int hevc, const uint8_t* samples, const mp4::SampleSizes* sizes,
                               int decode_check, StreamSettings* out)
{
    size_t distinct = 0, chosen = movies->count;
    for (size_t i = 0; i < movies->count; i++) {
        const mp4::MovieInfo* m = &movies->items[i];
        mp4::BoxHeader entry, config;
        if (!video_entry_of(m, hevc, &entry, &config))
            continue;
        // each distinct configuration is tried once
        int seen = 0;
        for (size_t j = 0; j < i && !seen; j++) {
            mp4::BoxHeader e2, c2;
            const mp4::MovieInfo* o = &movies->items[j];
            seen = video_entry_of(o, hevc, &e2, &c2) && c2.size - c2.header_size == config.size - config.header_size &&
                   std::memcmp(config_body(o, &c2), config_body(m, &config), size_t(config.size - config.header_size)) == 0;
        }
        if (seen)
            continue;
        distinct++;
        if (decode_check ? rebuild::samples_decode_cleanly(m->moov_bytes + entry.offset, uint32_t(entry.size), samples, sizes)
                         : chosen == movies->count)
            chosen = i;
        if (decode_check && chosen != movies->count)
            break;
    }
    // without the decoder to judge, only the one configuration the card holds is taken
    if (chosen == movies->count || (!decode_check && distinct != 1))
        return 0;
    mp4::BoxHeader entry, config;
    video_entry_of(&movies->items[chosen], hevc, &entry, &config);
    return settings_from_movie(&movies->items[chosen], &entry, out);
}

int settings_from_stream(int hevc, const codec::ParameterSets* sets, uint64_t sound_chunk_bytes, StreamSettings* out)
{
    codec::SequenceParameters sps;
    uint8_t* config;
    uint32_t config_size;
    if (!codec::read_sequence_parameters(sets->sps, sets->sps_size, hevc, &sps) ||
        !codec::build_decoder_config(sets, hevc, &sps.picture, &config, &config_size))
        return 0;
    StreamSettings s = {};
    s.video_entry = visual_entry(hevc, &sps.picture, config, config_size, &s.video_entry_size);
    std::free(config);
    PcmFormat sound{2, 1, 2};
    codec::FrameRate rate = sps.frame_rate;
    if (camera_frame_rate(rate)) {
        // the stream states its rate; the sound is whichever of the camera's formats fills the
        // chunk with the sound its twelve frames last
        s.video_timescale = rate.den == 1 ? rate.num * frame_ticks : rate.num;
        s.video_delta = rate.den == 1 ? frame_ticks : rate.den;
        if (!camera_format_by_rate(sound_chunk_bytes, rate, &sound))
            sound_chunk_bytes = 0;
    } else {
        // twelve frames last as long as the 16-bit stereo sound behind them
        uint64_t sound_frames = sound_chunk_bytes % 4 == 0 ? sound_chunk_bytes / 4 : 0;
        uint64_t per_twelve = uint64_t(camera_sound_rate) * 12;
        if (sound_frames && per_twelve % sound_frames == 0) {
            s.video_timescale = uint32_t(per_twelve / sound_frames) * frame_ticks;
            s.video_delta = frame_ticks;
        } else if (sound_frames && sound_frames % 12 == 0) {
            s.video_timescale = camera_sound_rate;
            s.video_delta = uint32_t(sound_frames / 12);
        } else {
            // no sound to time by: the camera's usual 25 frames a second
            s.video_timescale = 25 * frame_ticks;
            s.video_delta = frame_ticks;
            sound_chunk_bytes = 0;
        }
    }
    if (sound_chunk_bytes) {
        s.sound_entry = camera_sound_entry(sound, &s.sound_entry_size);
        s.sound_timescale = camera_sound_rate;
        s.sound_delta = 1;
        s.sound_sample_size = sound.channels * sound.bytes;
        s.sound_chunk_bytes = sound_chunk_bytes;
    }
    *out = s;
    return 1;
}

int sound_format_fits(const StreamSettings* s, uint64_t sound_bytes)
{
    PcmFormat own;
    codec::FrameRate rate{s->video_timescale, s->video_delta};
    return !sound_bytes || !s->sound_entry || !camera_format_by_rate(sound_bytes, rate, &own) ||
           pcm_frame_bytes(own) == s->sound_sample_size;
}

void free_stream_settings(StreamSettings* s)
{
    std::free(s->video_entry);
    std::free(s->sound_entry);
    *s = StreamSettings{};
}

}  // namespace salvage
