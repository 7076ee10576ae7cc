#include "mp4/sound_entry.h"

#include <cstring>

#include "basics/byte_order.h"

namespace mp4 {

namespace {

// Offsets inside the box, its 8-byte header included.
constexpr uint64_t version_at = 16, channels_at = 24, bits_at = 26, v0_end = 36;
constexpr uint64_t v2_channels_at = 48, v2_bits_at = 56, v2_flags_at = 60, v2_frame_bytes_at = 64, v2_end = 72;

}  // namespace

int read_sound_entry(const uint8_t* entry, uint64_t size, SoundEntry* out)
{
    std::memset(out, 0, sizeof *out);
    if (size < v0_end)
        return 0;
    std::memcpy(out->format, entry + 4, 4);
    out->version = basics::load_be16(entry + version_at);
    if (out->version == 2) {
        if (size < v2_end)
            return 0;
        out->channels = basics::load_be32(entry + v2_channels_at);
        out->bits = basics::load_be32(entry + v2_bits_at);
        out->flags = basics::load_be32(entry + v2_flags_at);
        out->frame_bytes = basics::load_be32(entry + v2_frame_bytes_at);
        return 1;
    }
    out->channels = basics::load_be16(entry + channels_at);
    out->bits = basics::load_be16(entry + bits_at);
    return 1;
}

}  // namespace mp4
