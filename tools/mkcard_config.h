// The decoder configuration records (avcC, hvcC bodies) of an encoded stream's parameter sets.
#pragma once
#include "tools/mkcard_bytes.h"

namespace mkcard {

// The avcC body for these NAL units (headers included), with the sampling fields the High
// profiles add; 0 when a set is missing or the SPS is too short.
int build_avcc(const Bytes& sps, const Bytes& pps, Bytes* out);
// The hvcC body, its profile, tier and level, sampling and bit depths taken from the SPS.
int build_hvcc(const Bytes& vps, const Bytes& sps, const Bytes& pps, Bytes* out);

}  // namespace mkcard
