#pragma once
// The picture order count of one picture from its first slice header and the order state of the
// pictures before it: AVC by its three order count types, HEVC by the order count's low bits and
// the previous picture of temporal layer 0.
#include <cstdint>

#include "codec/picture_order.h"

namespace codec {

// `slice` is the picture's first slice unit, header included. 1 and `out` filled when the header
// reads whole under the reader's sets; the reader's state then moves on to this picture.
int avc_picture_order(PictureOrderReader* reader, const uint8_t* slice, uint32_t size, PictureOrder* out);
int hevc_picture_order(PictureOrderReader* reader, const uint8_t* slice, uint32_t size, PictureOrder* out);

}  // namespace codec
