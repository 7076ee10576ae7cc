#pragma once
// The parameter sets a key frame of the camera carries in front of its slices, and what the
// sequence parameter set says about the picture: enough to write the decoder configuration of a
// recording whose movie box is gone.
#include <cstdint>

#include "basics/byte_order.h"
#include "codec/sequence_timing.h"

namespace codec {

// Copies of the sets one sample carries, owned: the sample's bytes are usually a read buffer
// that the next read may move. A length of 0 for a set the sample does not carry.
struct ParameterSets {
    uint8_t* vps;  // HEVC only
    uint32_t vps_size;
    uint8_t* sps;
    uint32_t sps_size;
    uint8_t* pps;
    uint32_t pps_size;
};

struct PictureFormat {
    uint32_t width, height;
    uint32_t chroma_format;  // 0 to 3; 1 is 4:2:0
    uint32_t luma_depth, chroma_depth;
};

// 1 when the sample holds a coded slice of a key frame (AVC IDR, HEVC random access point).
int sample_is_key(const uint8_t* sample, uint64_t len, int hevc);
// 1 when the sample's first slice starts a coded video sequence (AVC IDR, HEVC IDR or broken link
// access): a decoder counts the picture order afresh there, whatever it decoded before. An open
// group's I picture (a recovery point, a clean random access) goes on from the pictures before it.
int sample_starts_sequence(const uint8_t* sample, uint64_t len, int hevc);
// The first set of each kind among the sample's units, copied; 1 when the SPS and PPS (and for
// HEVC the VPS) are all there, and then `out` must be freed.
int find_parameter_sets(const uint8_t* sample, uint64_t len, int hevc, ParameterSets* out);
void free_parameter_sets(ParameterSets* sets);
// The first set of each kind an avcC or hvcC body lists, copied; 1 when the SPS and PPS (and for
// HEVC the VPS) are all there, and then `out` must be freed.
int sets_from_config(const uint8_t* config, uint32_t len, int hevc, ParameterSets* out);
// The picture size and sampling a sequence parameter set (its NAL unit, header included) states.
int read_picture_format(const uint8_t* sps, uint32_t len, int hevc, PictureFormat* out);

// What a sequence parameter set says about the picture and about its picture order count.
struct SequenceParameters {
    PictureFormat picture;
    uint32_t sps_id;
    uint32_t separate_colour_plane;
    uint32_t log2_max_poc_lsb;  // AVC order type 0, and HEVC
    uint32_t frame_mbs_only;    // 1 for HEVC
    // AVC only
    uint32_t log2_max_frame_num;
    uint32_t poc_type;  // 0, 1 or 2
    uint32_t delta_pic_order_always_zero;
    int32_t offset_for_non_ref_pic, offset_for_top_to_bottom_field;
    uint32_t ref_frames_in_poc_cycle;  // at most 255
    int32_t offset_for_ref_frame[255];
    // 1 when the picture order fields were all there and in range; a set may state its picture
    // and still be cut short (or out of range) behind it
    int order_ok;
    FrameRate frame_rate;  // 0 / 0: the set states none, or is cut short before it
};
// 1 when the picture format could be read (as read_picture_format); `order_ok` tells about the rest.
int read_sequence_parameters(const uint8_t* sps, uint32_t len, int hevc, SequenceParameters* out);

// The avcC or hvcC body for these sets; xmalloc'ed into *out, 0 when a set is missing or the SPS
// is too short to take the profile from.
int build_decoder_config(const ParameterSets* sets, int hevc, const PictureFormat* picture, uint8_t** out,
                         uint32_t* out_size);
// An hvcC body: version, 20 bytes of profile, level and picture format, the unit length byte at
// 21, the array count at 22, then the parameter-set arrays: a type byte, a 16-bit unit count,
// then each unit behind its 16-bit length.
constexpr uint32_t hvcc_length_size_at = 21;
constexpr uint32_t hvcc_arrays_at = 23;

// Calls seen(type, unit, size) for every parameter set the hvcC body lists, in order, until it
// returns non-zero; an array's units are all checked to lie inside the body before the first of
// them is seen. 0 when the body or an array runs short before the walk ended, else 1.
template <typename Fn>
int for_each_hvcc_set(const uint8_t* config, uint32_t len, Fn seen)
{
    if (len < hvcc_arrays_at)
        return 0;
    uint32_t pos = hvcc_arrays_at;
    for (uint32_t a = 0; a < config[hvcc_arrays_at - 1]; a++) {
        if (len - pos < 3)
            return 0;
        uint32_t type = config[pos] & 0x3F, count = basics::load_be16(config + pos + 1);
        uint32_t first = pos + 3, end = first;
        for (uint32_t i = 0; i < count; i++) {
            if (len - end < 2 || len - end - 2 < basics::load_be16(config + end))
                return 0;
            end += 2 + basics::load_be16(config + end);
        }
        for (uint32_t at = first; at < end; at += 2 + basics::load_be16(config + at))
            if (seen(type, config + at + 2, uint32_t(basics::load_be16(config + at))))
                return 1;
        pos = end;
    }
    return 1;
}

// 1 when the avcC or hvcC body carries exactly these SPS and PPS (and VPS) as its first of each.
int config_carries(const uint8_t* config, uint32_t len, int hevc, const ParameterSets* sets);

}  // namespace codec
