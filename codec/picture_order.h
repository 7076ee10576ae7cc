#pragma once
// The order in which the pictures of a stream are shown, read from the stream itself: the picture
// order count of every sample's slice header, and from it each sample's place in presentation
// order and its composition offset. A recording whose movie box is gone keeps only its samples in
// decode order; with B-frames the shown order differs, and a player learns it from the offsets.
#include <cstdint>

#include "codec/parameter_sets.h"

namespace codec {

// What the slice header of a picture needs from its picture parameter set to reach the picture
// order fields.
struct PictureParameters {
    uint32_t pps_id, sps_id;
    // AVC
    uint32_t bottom_field_pic_order_in_frame_present;
    uint32_t redundant_pic_cnt_present;
    uint32_t weighted_pred, weighted_bipred_idc;
    uint32_t ref_idx_l0_default, ref_idx_l1_default;  // num_ref_idx_lX_default_active_minus1
    // HEVC
    uint32_t dependent_slice_segments_enabled;
    uint32_t output_flag_present;
    uint32_t num_extra_slice_header_bits;
};

// The picture parameter set (its NAL unit, header included); 1 when every field is there and in
// range.
int read_picture_parameters(const uint8_t* pps, uint32_t len, int hevc, PictureParameters* out);

// One sample as the picture order reader sees it.
struct PictureOrder {
    int32_t poc;           // picture order count, within its coded video sequence
    uint8_t key;           // IDR (AVC) or intra random access point (HEVC)
    uint8_t reference;     // AVC nal_ref_idc != 0; HEVC not a sub-layer non-reference picture
    uint8_t new_sequence;  // IDR, or a random access point that starts a coded video sequence
    // no later sample is shown before any earlier one: a new sequence, or an AVC picture whose
    // memory_management_control_operation 5 sets the order count back to 0
    uint8_t order_restarts;
    uint8_t rasl, radl;    // HEVC leading pictures: skipped (needs pictures before its IRAP), decodable
    uint8_t undecodable;   // a RASL picture of an IRAP that starts a sequence: its references are gone
};

// The state carried from sample to sample, in decode order. Held by value; owns nothing.
struct PictureOrderReader {
    int hevc;
    SequenceParameters sps;
    PictureParameters pps;
    int started;         // a key frame since the start or the last restart
    int recovery_point;  // AVC: the sample being read holds a recovery point message
    int after_sequence_end;  // an end-of-sequence unit came: the next picture starts afresh
    // AVC: the previous reference picture's order count parts, and the previous picture's frame numbers
    int64_t prev_poc_msb, prev_poc_lsb;
    int64_t prev_frame_num_offset;
    uint32_t prev_frame_num;
    int prev_had_reset;  // memory_management_control_operation 5
    // HEVC: the order count of the previous picture of temporal layer 0 that is no leading or
    // sub-layer non-reference picture, and whether the last IRAP started a sequence
    int32_t prev_tid0_poc;
    int irap_starts_sequence;
};

// Reads the SPS and PPS (their NAL units, as ParameterSets holds them); 1 when the picture order
// can be read under them. The reader then waits for a key frame.
int start_picture_order(const ParameterSets* sets, int hevc, PictureOrderReader* out);
// After a gap: the next key frame starts afresh, as the first of a stream. An HEVC clean random
// access point after a gap starts a sequence, so its skipped leading pictures are undecodable.
void restart_picture_order(PictureOrderReader* reader);

// Reads one length-prefixed sample (4-byte unit lengths), the next in decode order: its first
// slice decides. SPS and PPS units in the sample replace the reader's when they read whole. 0 when
// the sample holds no slice the reader can place (none, a set it does not know, a damaged header,
// or no key frame since the start); the state is then unchanged.
int read_picture_order(PictureOrderReader* reader, const uint8_t* sample, uint64_t len, PictureOrder* out);

// For `count` samples in decode order, the ones a file keeps (undecodable ones left out): each
// sample's place in presentation order, 0 to count - 1. The order counts are compared within the
// stretch from one order restart to the next; every stretch is shown after the one before it.
void presentation_order(const PictureOrder* pictures, uint32_t count, uint32_t* presentation);

// Composition offsets in ticks for samples of one constant `frame_duration` whose decode times
// are 0, d, 2d, ...: `signed_offsets` (ctts version 1) places sample i at presentation[i] * d;
// `offsets` (version 0) adds `shift`, the smallest value that keeps every offset >= 0, so sample
// i is shown at presentation[i] * d + shift. 0 when an offset does not fit the 32 bits of a ctts
// entry.
int composition_offsets(const uint32_t* presentation, uint32_t count, uint32_t frame_duration,
                        int32_t* signed_offsets, uint32_t* offsets, uint32_t* shift);

}  // namespace codec
