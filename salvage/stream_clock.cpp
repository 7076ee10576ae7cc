#include "salvage/stream_clock.h"

#include <cstdlib>

#include "basics/checked_alloc.h"
#include "codec/parameter_sets.h"

namespace salvage {

int camera_frame_rate(codec::FrameRate rate)
{
    return rate.den && rate.num >= rate.den && rate.num <= 300ull * rate.den;
}

SoundClock clock_from_stream(std::FILE* image, const SalvageChunkList* chunks, int hevc, uint64_t sound, PcmFormat* pcm)
{
    // the parameter sets lead a key frame's units: its first bytes hold them, and the first key
    // frame a few chunks in carries them or the stream keeps them out of its samples
    constexpr uint32_t head_bytes = 65536;
    constexpr size_t chunks_looked_at = 16;
    auto* bytes = static_cast<uint8_t*>(basics::xmalloc(head_bytes));
    SoundClock clock{};
    for (size_t i = 0, looked = 0; i < chunks->count && looked < chunks_looked_at; i++) {
        const SalvageChunk* c = &chunks->items[i];
        if (c->samples == 0)
            continue;
        looked++;
        uint32_t n = c->sizes[0] < head_bytes ? c->sizes[0] : head_bytes;
        codec::ParameterSets sets;
        if (!read_salvage_chunk(image, c, bytes, n) || !codec::sample_is_key(bytes, n, hevc))
            continue;
        codec::SequenceParameters sps;
        PcmFormat format;
        if (codec::find_parameter_sets(bytes, n, hevc, &sets)) {
            int read = codec::read_sequence_parameters(sets.sps, sets.sps_size, hevc, &sps);
            codec::free_parameter_sets(&sets);
            if (read && camera_frame_rate(sps.frame_rate) && camera_format_by_rate(sound, sps.frame_rate, &format)) {
                *pcm = format;
                clock = SoundClock{sps.frame_rate.num, sps.frame_rate.den, camera_sound_rate, pcm_frame_bytes(format)};
            }
        }
        break;
    }
    std::free(bytes);
    return clock;
}

namespace {

// A clock the card's other movie boxes prove times this recording's frames and sound as it does
// theirs, but says nothing of how its sound is stored: where the sound behind a chunk fits
// another of the camera's formats at that rate, and not the boxes' one, the recording's sound is
// that format (a main clip of four channels beside its proxy's two).
void weigh_by_proven_clock(RecordingScope* r, uint64_t sound, SoundClock* keep)
{
    PcmFormat format;
    codec::FrameRate rate{uint32_t(r->clock->video_timescale), uint32_t(r->clock->video_delta)};
    if (r->clock->video_timescale > UINT32_MAX || r->clock->video_delta > UINT32_MAX ||
        r->clock->sound_rate != camera_sound_rate || !camera_format_by_rate(sound, rate, &format) ||
        pcm_frame_bytes(format) == r->clock->sample_bytes)
        return;
    *keep = *r->clock;
    keep->sample_bytes = pcm_frame_bytes(format);
    r->clock = keep;
    if (pcm_frame_bytes(r->pcm) != pcm_frame_bytes(format))
        r->pcm = format;
}

}  // namespace

void take_stream_clock(RecordingScope* r, const SalvageChunkList* chunks, uint64_t sound, SoundClock* keep)
{
    PcmFormat format;
    if (r->clock && sound) {
        weigh_by_proven_clock(r, sound, keep);
        return;
    }
    if (r->clock || r->hevc < 0 || !sound)
        return;
    *keep = clock_from_stream(r->image, chunks, r->hevc, sound, &format);
    if (!keep->video_timescale)
        return;
    r->clock = keep;
    if (pcm_frame_bytes(r->pcm) != pcm_frame_bytes(format))
        r->pcm = format;
}

}  // namespace salvage
