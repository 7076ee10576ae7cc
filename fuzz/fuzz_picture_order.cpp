// A stream as the picture order reader meets it in salvage: an SPS and a PPS, then samples in
// decode order, with a restart (a gap) before one of them. Every sample the reader places goes
// into the presentation order, which must be a permutation, and into the composition offsets.
//
// Input: byte 0 bit 0 set for HEVC; byte 1 the sample a restart comes before (0: none); the SPS
// and the PPS each behind a 16-bit big-endian length; then the samples, each behind a 32-bit one.
#include <cstdlib>
#include <vector>

#include "basics/byte_order.h"
#include "codec/picture_order.h"
#include "fuzz/fuzz_support.h"

namespace {

// The next piece behind a length of `width` bytes; 0 when the input ends first.
int take(const uint8_t* data, size_t size, size_t* pos, uint32_t width, const uint8_t** piece, uint32_t* len)
{
    if (size - *pos < width)
        return 0;
    uint32_t n = width == 2 ? basics::load_be16(data + *pos) : basics::load_be32(data + *pos);
    *pos += width;
    if (size - *pos < n)
        return 0;
    *piece = data + *pos;
    *len = n;
    *pos += n;
    return 1;
}

void check_order(const std::vector<codec::PictureOrder>& placed, uint32_t frame_duration)
{
    uint32_t count = uint32_t(placed.size());
    std::vector<uint32_t> presentation(count);
    codec::presentation_order(placed.data(), count, presentation.data());
    std::vector<uint8_t> seen(count);
    for (uint32_t p : presentation) {
        if (p >= count || seen[p])
            fuzz::broken("presentation order is a permutation of the samples");
        seen[p] = 1;
    }
    std::vector<int32_t> signed_offsets(count);
    std::vector<uint32_t> offsets(count);
    uint32_t shift = 0;
    if (!codec::composition_offsets(presentation.data(), count, frame_duration, signed_offsets.data(),
                                    offsets.data(), &shift))
        return;
    uint32_t lowest = UINT32_MAX;
    for (uint32_t i = 0; i < count; i++) {
        if (int64_t(offsets[i]) != int64_t(signed_offsets[i]) + shift)
            fuzz::broken("the version 0 offsets are the signed ones moved by the shift");
        lowest = offsets[i] < lowest ? offsets[i] : lowest;
    }
    if (count && lowest != 0)
        fuzz::broken("the shift is the smallest that keeps every offset >= 0");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    int hevc = data[0] & 1;
    uint32_t restart_at = data[1];
    size_t pos = 2;
    const uint8_t *sps, *pps;
    uint32_t sps_size, pps_size;
    if (!take(data, size, &pos, 2, &sps, &sps_size) || !take(data, size, &pos, 2, &pps, &pps_size))
        return 0;
    codec::PictureParameters pictures;
    codec::read_picture_parameters(pps, pps_size, hevc, &pictures);
    codec::ParameterSets sets = {nullptr, 0, const_cast<uint8_t*>(sps), sps_size, const_cast<uint8_t*>(pps), pps_size};
    codec::PictureOrderReader reader;
    if (!codec::start_picture_order(&sets, hevc, &reader))
        return 0;
    std::vector<codec::PictureOrder> placed;
    const uint8_t* sample;
    uint32_t len;
    for (uint32_t i = 0; take(data, size, &pos, 4, &sample, &len); i++) {
        if (i == restart_at && i > 0)
            codec::restart_picture_order(&reader);
        // a copy of its own, so that a read past the sample shows as one
        std::vector<uint8_t> own(sample, sample + len);
        codec::PictureOrder order;
        if (codec::read_picture_order(&reader, own.data(), own.size(), &order))
            placed.push_back(order);
    }
    check_order(placed, 512);
    check_order(placed, uint32_t(1) << 31);  // offsets that no longer fit 32 bits are refused
    return 0;
}
