#pragma once
// The parameter sets a key frame of the camera carries in front of its slices, and what the
// sequence parameter set says about the picture: enough to write the decoder configuration of a
// recording whose movie box is gone.
#include <cstdint>

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
// The first set of each kind among the sample's units, copied; 1 when the SPS and PPS (and for
// HEVC the VPS) are all there, and then `out` must be freed.
int find_parameter_sets(const uint8_t* sample, uint64_t len, int hevc, ParameterSets* out);
void free_parameter_sets(ParameterSets* sets);
// The picture size and sampling a sequence parameter set (its NAL unit, header included) states.
int read_picture_format(const uint8_t* sps, uint32_t len, int hevc, PictureFormat* out);

// The avcC or hvcC body for these sets; xmalloc'ed into *out, 0 when a set is missing or the SPS
// is too short to take the profile from.
int build_decoder_config(const ParameterSets* sets, int hevc, const PictureFormat* picture, uint8_t** out,
                         uint32_t* out_size);
// 1 when the avcC or hvcC body carries exactly these SPS and PPS (and VPS) as its first of each.
int config_carries(const uint8_t* config, uint32_t len, int hevc, const ParameterSets* sets);

}  // namespace codec
