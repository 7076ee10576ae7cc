#pragma once
// How long a frame lasts, as the sequence parameter set states it in its video usability
// information. A recording whose movie box is gone keeps its frame rate only there: the camera
// writes the timing into every stream it records.
#include <cstdint>

#include "codec/bit_reader.h"

namespace codec {

// num / den frames a second, in lowest terms; 0 / 0 where the set states no timing.
struct FrameRate {
    uint32_t num, den;
};

// Reads on from an AVC set's frame cropping to its timing. AVC counts in fields: a frame lasts
// two of its ticks.
FrameRate read_avc_timing(RbspBits* b);
// Reads on from an HEVC set's log2_max_pic_order_cnt_lsb_minus4 to its timing; `sub_layers` is
// sps_max_sub_layers_minus1, `poc_lsb_bits` the bits of a picture order count's low part.
FrameRate read_hevc_timing(RbspBits* b, uint32_t sub_layers, uint32_t poc_lsb_bits);

}  // namespace codec
