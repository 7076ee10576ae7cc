#pragma once
// The validator's optional seventh export: the first clean picture of a few samples, scaled to
// a thumbnail as packed RGB. The library carries no scaler or image encoder, so both are here.
#include <cstdint>

extern "C" {
struct AVFrame;
}

namespace velto {

// Scales the decoded picture to `out` (nearest sample, BT.601 limited range to RGB); 0 when its
// pixel format is not planar YUV.
int frame_to_rgb(const AVFrame* frame, uint8_t* out, uint32_t width, uint32_t height);

// The scaled size of a w x h picture inside max_w x max_h, shape kept, never 0.
void fit_inside(uint32_t w, uint32_t h, uint32_t max_w, uint32_t max_h, uint32_t* out_w, uint32_t* out_h);

}  // namespace velto
