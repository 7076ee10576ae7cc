#pragma once
// What a sound sample entry says of how its samples are stored: the QuickTime descriptions of
// version 0 and 1 name the channels and the bits of a sample in their fixed fields, version 2
// (linear PCM of any layout) in its own fields, with flags for the byte order and the number type.
#include <cstdint>

namespace mp4 {

struct SoundEntry {
    char format[5];
    uint32_t version;
    uint32_t channels;
    uint32_t bits;           // of one channel's sample
    uint32_t flags;          // version 2 only: the linear PCM flags; 0 otherwise
    uint32_t frame_bytes;    // version 2 only: bytes of one sample of every channel; 0 otherwise
};

// Bits of version 2's linear PCM flags.
constexpr uint32_t lpcm_float = 1, lpcm_big_endian = 2, lpcm_signed = 4;

// The sample entry box of `size` bytes at `entry` read; 0 when it is too short for its version.
int read_sound_entry(const uint8_t* entry, uint64_t size, SoundEntry* out);

}  // namespace mp4
