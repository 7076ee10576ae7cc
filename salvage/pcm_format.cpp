#include "salvage/pcm_format.h"

#include <cstring>

namespace salvage {

uint64_t pcm_frame_bytes(PcmFormat pcm)
{
    if (pcm.channels == 0 || pcm.channels > pcm_channels_max || (pcm.bytes != 2 && pcm.bytes != 3))
        return 0;
    return uint64_t(pcm.bytes) * pcm.channels;
}

int pcm_format_of(const mp4::SoundEntry* e, PcmFormat* out)
{
    PcmFormat pcm{e->channels, 1, e->bits / 8};
    if (e->version == 2 && std::memcmp(e->format, "lpcm", 4) == 0) {
        // linear PCM of the layout its flags state: integers, packed
        if ((e->flags & mp4::lpcm_float) || !(e->flags & mp4::lpcm_signed) || e->bits % 8)
            return 0;
        pcm.big_endian = (e->flags & mp4::lpcm_big_endian) != 0;
    } else if (std::memcmp(e->format, "twos", 4) == 0 || std::memcmp(e->format, "sowt", 4) == 0) {
        // 16-bit samples in the byte order the format names
        if (e->bits != 16)
            return 0;
        pcm.big_endian = e->format[0] == 't';
    } else {
        return 0;
    }
    uint64_t fb = pcm_frame_bytes(pcm);
    if (fb == 0 || (e->frame_bytes && e->frame_bytes != fb))
        return 0;
    *out = pcm;
    return 1;
}

PcmFormat card_sound_format(const analysis::MovieList* movies)
{
    PcmFormat found{0, 0}, unknown{0, 0};
    for (size_t i = 0; i < movies->count; i++) {
        const mp4::MovieInfo* m = &movies->items[i];
        if (!m->has_audio)
            continue;
        PcmFormat pcm;
        if (!pcm_format_of(&m->audio.sound, &pcm))
            return unknown;
        if (found.channels && (pcm.channels != found.channels || pcm.bytes != found.bytes ||
                               pcm.big_endian != found.big_endian))
            return unknown;
        found = pcm;
    }
    return found.channels ? found : PcmFormat{2, 1, 2};
}

namespace {

const PcmFormat camera_formats[] = {{2, 1, 2}, {2, 1, 3}, {4, 1, 2}, {4, 1, 3}};

}  // namespace

int camera_frame_size(uint64_t bytes)
{
    for (PcmFormat f : camera_formats)
        if (pcm_frame_bytes(f) == bytes)
            return 1;
    return 0;
}

int camera_format_by_rate(uint64_t chunk_bytes, codec::FrameRate rate, PcmFormat* out)
{
    // twelve frames last 12 * den / num seconds; times num, the sound due is a whole number
    const uint64_t due = uint64_t(camera_sound_rate) * 12 * rate.den;
    for (PcmFormat f : camera_formats) {
        uint64_t frame = pcm_frame_bytes(f), have = chunk_bytes / frame * rate.num;
        if (rate.num && chunk_bytes && chunk_bytes % frame == 0 && (have > due ? have - due : due - have) < rate.num) {
            *out = f;
            return 1;
        }
    }
    return 0;
}

}  // namespace salvage
