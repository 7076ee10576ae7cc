#include "codec/order_count.h"

#include <algorithm>

#include "codec/bit_reader.h"

namespace codec {

namespace {

constexpr uint32_t avc_idr = 5;
constexpr uint32_t avc_p = 0, avc_b = 1, avc_i = 2, avc_sp = 3, avc_si = 4;
constexpr uint32_t max_avc_slice_type = 9, max_avc_ref_idx = 31;
// a reference list is reordered at most once per entry, marking touches at most every frame
// twice: more commands are not the coding's
constexpr uint32_t max_list_commands = 66, max_marking_commands = 66;
constexpr uint32_t mmco_end = 0, mmco_reset = 5, max_mmco = 6;

constexpr uint32_t hevc_radl_n = 6, hevc_radl_r = 7, hevc_rasl_n = 8, hevc_rasl_r = 9;
constexpr uint32_t hevc_last_sub_layer_type = 14;  // types 0 to 14 even: sub-layer non-reference
constexpr uint32_t hevc_bla_first = 16, hevc_idr_w_radl = 19, hevc_idr_n_lp = 20, hevc_cra = 21;
constexpr uint32_t hevc_irap_last = 23;
constexpr uint32_t max_hevc_slice_type = 2;

struct AvcSlice {
    uint32_t idr, ref_idc;
    uint32_t slice_type;  // 0 P, 1 B, 2 I, 3 SP, 4 SI
    uint32_t frame_num;
    uint32_t field_pic, bottom_field;
    int64_t poc_lsb;
    int64_t delta_bottom;  // delta_pic_order_cnt_bottom, or delta_pic_order_cnt[1]
    int64_t delta_poc;     // delta_pic_order_cnt[0]
    int resets_order;      // memory_management_control_operation 5
};

int skip_list_modification(RbspBits* b)
{
    if (!read_bit(b))
        return 1;
    for (uint32_t n = 0; n < max_list_commands && !b->overrun; n++) {
        uint32_t idc = read_ue(b);
        if (idc == 3)
            return 1;
        if (idc > 5)
            return 0;
        read_ue(b);  // the picture number difference, long-term number or view index
    }
    return 0;
}

void skip_weights(RbspBits* b, uint32_t entries, int chroma)
{
    for (uint32_t i = 0; i < entries && !b->overrun; i++) {
        if (read_bit(b))
            read_se(b), read_se(b);
        if (chroma && read_bit(b))
            read_se(b), read_se(b), read_se(b), read_se(b);
    }
}

// 1 when the marking reads whole; `resets` set when it holds operation 5.
int read_ref_pic_marking(RbspBits* b, const AvcSlice* s, int* resets)
{
    if (s->idr) {
        read_bit(b), read_bit(b);  // no output of prior pictures, long-term reference
        return 1;
    }
    if (!read_bit(b))  // sliding window
        return 1;
    for (uint32_t n = 0; n < max_marking_commands && !b->overrun; n++) {
        uint32_t op = read_ue(b);
        if (op == mmco_end)
            return 1;
        if (op > max_mmco)
            return 0;
        if (op == 1 || op == 3)
            read_ue(b);  // difference of picture numbers
        if (op == 2)
            read_ue(b);  // long-term picture number
        if (op == 3 || op == 6 || op == 4)
            read_ue(b);  // long-term frame index, or its maximum
        *resets |= op == mmco_reset;
    }
    return 0;
}

// The slice header from its start to the reference marking, where operation 5 is said.
int read_avc_slice(const PictureOrderReader* r, const uint8_t* unit, uint32_t size, AvcSlice* out)
{
    const SequenceParameters& sps = r->sps;
    const PictureParameters& pps = r->pps;
    RbspBits b;
    load_rbsp(unit, size, &b);
    AvcSlice s = {};
    uint32_t header = read_bits(&b, 8);
    s.ref_idc = (header >> 5) & 3;
    s.idr = (header & 0x1F) == avc_idr;
    read_ue(&b);  // first macroblock
    uint32_t slice_type = read_ue(&b);
    if (slice_type > max_avc_slice_type || read_ue(&b) != pps.pps_id)
        return 0;
    s.slice_type = slice_type % 5;
    if (sps.separate_colour_plane)
        read_bits(&b, 2);
    s.frame_num = read_bits(&b, sps.log2_max_frame_num);
    if (!sps.frame_mbs_only) {
        s.field_pic = read_bit(&b);
        if (s.field_pic)
            s.bottom_field = read_bit(&b);
    }
    if (s.idr)
        read_ue(&b);  // idr_pic_id
    int bottom_present = pps.bottom_field_pic_order_in_frame_present && !s.field_pic;
    if (sps.poc_type == 0) {
        s.poc_lsb = read_bits(&b, sps.log2_max_poc_lsb);
        if (bottom_present)
            s.delta_bottom = read_se(&b);
    }
    if (sps.poc_type == 1 && !sps.delta_pic_order_always_zero) {
        s.delta_poc = read_se(&b);
        if (bottom_present)
            s.delta_bottom = read_se(&b);
    }
    if (pps.redundant_pic_cnt_present)
        read_ue(&b);
    int b_slice = s.slice_type == avc_b, p_slice = s.slice_type == avc_p || s.slice_type == avc_sp;
    if (b_slice)
        read_bit(&b);  // direct prediction
    uint32_t l0 = pps.ref_idx_l0_default, l1 = pps.ref_idx_l1_default;
    if ((p_slice || b_slice) && read_bit(&b)) {
        l0 = read_ue(&b);
        if (b_slice)
            l1 = read_ue(&b);
    }
    if (l0 > max_avc_ref_idx || l1 > max_avc_ref_idx)
        return 0;
    if (s.slice_type != avc_i && s.slice_type != avc_si &&
        (!skip_list_modification(&b) || (b_slice && !skip_list_modification(&b))))
        return 0;
    if ((pps.weighted_pred && p_slice) || (pps.weighted_bipred_idc == 1 && b_slice)) {
        int chroma = !sps.separate_colour_plane && sps.picture.chroma_format != 0;
        read_ue(&b);  // luma denominator
        if (chroma)
            read_ue(&b);
        skip_weights(&b, l0 + 1, chroma);
        if (b_slice)
            skip_weights(&b, l1 + 1, chroma);
    }
    if (s.ref_idc && !read_ref_pic_marking(&b, &s, &s.resets_order))
        return 0;
    if (b.overrun)
        return 0;
    *out = s;
    return 1;
}

int fits_order_count(int64_t v) { return v >= INT32_MIN && v <= INT32_MAX; }

// Type 1: the count expected from the frame number, as the cycle of reference frame offsets
// advances it; 0 when it leaves the counts' range.
int expected_order_count(const SequenceParameters& sps, int64_t frame_num_offset, const AvcSlice& s, int64_t* out)
{
    uint32_t cycle = sps.ref_frames_in_poc_cycle;
    int64_t abs_frame_num = cycle ? frame_num_offset + s.frame_num : 0;
    if (!s.ref_idc && abs_frame_num > 0)
        abs_frame_num--;
    int64_t expected = 0;
    if (abs_frame_num > 0) {
        int64_t per_cycle = 0;
        for (uint32_t i = 0; i < cycle; i++)
            per_cycle += sps.offset_for_ref_frame[i];
        int64_t cycles = (abs_frame_num - 1) / cycle, in_cycle = (abs_frame_num - 1) % cycle;
        // the offsets within a cycle add less than 2^40: a product beyond that cannot come back in range
        if (__builtin_mul_overflow(cycles, per_cycle, &expected) || expected > (int64_t(1) << 40) ||
            expected < -(int64_t(1) << 40))
            return 0;
        for (int64_t i = 0; i <= in_cycle; i++)
            expected += sps.offset_for_ref_frame[i];
    }
    if (!s.ref_idc)
        expected += sps.offset_for_non_ref_pic;
    *out = expected;
    return fits_order_count(expected);
}

}  // namespace

int avc_picture_order(PictureOrderReader* r, const uint8_t* slice, uint32_t size, PictureOrder* out)
{
    AvcSlice s;
    if (!read_avc_slice(r, slice, size, &s))
        return 0;
    // an I picture with a recovery point starts a stream as an IDR does, without resetting the order
    int joins = s.idr || (r->recovery_point && s.slice_type % 5 == 2);
    if (!r->started && !joins)
        return 0;
    if (!r->started && !s.idr)
        r->prev_poc_msb = r->prev_poc_lsb = 0, r->prev_frame_num_offset = 0, r->prev_frame_num = s.frame_num;
    const SequenceParameters& sps = r->sps;
    int64_t top = 0, bottom = 0, frame_num_offset = 0, msb = 0;
    if (sps.poc_type == 0) {
        int64_t prev_msb = s.idr ? 0 : r->prev_poc_msb, prev_lsb = s.idr ? 0 : r->prev_poc_lsb;
        int64_t max_lsb = int64_t(1) << sps.log2_max_poc_lsb;
        msb = prev_msb;
        if (s.poc_lsb < prev_lsb && prev_lsb - s.poc_lsb >= max_lsb / 2)
            msb += max_lsb;
        else if (s.poc_lsb > prev_lsb && s.poc_lsb - prev_lsb > max_lsb / 2)
            msb -= max_lsb;
        top = msb + s.poc_lsb;
        bottom = s.field_pic ? msb + s.poc_lsb : top + s.delta_bottom;
    } else {
        int64_t prev_offset = r->prev_had_reset ? 0 : r->prev_frame_num_offset;
        frame_num_offset = s.idr ? 0 : r->prev_frame_num > s.frame_num ? prev_offset + (int64_t(1) << sps.log2_max_frame_num)
                                                                        : prev_offset;
        if (sps.poc_type == 1) {
            int64_t expected;
            if (!expected_order_count(sps, frame_num_offset, s, &expected))
                return 0;
            top = expected + s.delta_poc;
            bottom = s.field_pic ? expected + sps.offset_for_top_to_bottom_field + s.delta_poc
                                 : top + sps.offset_for_top_to_bottom_field + s.delta_bottom;
        } else {
            int64_t twice = 2 * (frame_num_offset + s.frame_num);
            top = bottom = s.idr ? 0 : s.ref_idc ? twice : twice - 1;
        }
    }
    int64_t poc = !s.field_pic ? std::min(top, bottom) : s.bottom_field ? bottom : top;
    if (!fits_order_count(top) || !fits_order_count(bottom))
        return 0;
    if (s.resets_order) {
        // the picture's counts are taken back by the smaller one: a frame's order count becomes 0
        int64_t lowest = s.field_pic ? poc : std::min(top, bottom);
        top -= lowest, bottom -= lowest, poc = 0;
    }
    if (s.ref_idc) {
        r->prev_poc_msb = s.resets_order ? 0 : msb;
        r->prev_poc_lsb = s.resets_order ? (s.field_pic && s.bottom_field ? 0 : top) : s.poc_lsb;
    }
    r->prev_frame_num_offset = frame_num_offset;
    r->prev_frame_num = s.resets_order ? 0 : s.frame_num;
    r->prev_had_reset = s.resets_order;
    r->started = 1;
    *out = PictureOrder{};
    out->poc = int32_t(poc);
    out->key = uint8_t(joins);
    out->reference = s.ref_idc != 0;
    out->new_sequence = uint8_t(s.idr);
    out->order_restarts = s.idr || s.resets_order;
    return 1;
}

int hevc_picture_order(PictureOrderReader* r, const uint8_t* slice, uint32_t size, PictureOrder* out)
{
    RbspBits b;
    load_rbsp(slice, size, &b);
    uint32_t type = read_bits(&b, 7) & 0x3F;
    uint32_t temporal_id = (read_bits(&b, 9) & 7) - 1;
    int irap = type >= hevc_bla_first && type <= hevc_irap_last;
    // the first segment of the picture carries the order count; a sample starting elsewhere is damaged
    if (!read_bit(&b))
        return 0;
    if (irap)
        read_bit(&b);  // no output of prior pictures
    if (read_ue(&b) != r->pps.pps_id)
        return 0;
    read_bits(&b, r->pps.num_extra_slice_header_bits);
    if (read_ue(&b) > max_hevc_slice_type)
        return 0;
    if (r->pps.output_flag_present)
        read_bit(&b);
    if (r->sps.separate_colour_plane)
        read_bits(&b, 2);
    int idr = type == hevc_idr_w_radl || type == hevc_idr_n_lp;
    int64_t lsb = idr ? 0 : read_bits(&b, r->sps.log2_max_poc_lsb);
    if (b.overrun || (!r->started && !irap))
        return 0;
    // an IRAP starts a sequence unless it is a clean random access point inside one
    int starts = irap && (type != hevc_cra || !r->started || r->after_sequence_end);
    int64_t max_lsb = int64_t(1) << r->sps.log2_max_poc_lsb, msb = 0;
    if (!starts) {
        int64_t prev_lsb = r->prev_tid0_poc & (max_lsb - 1), prev_msb = r->prev_tid0_poc - prev_lsb;
        msb = prev_msb;
        if (lsb < prev_lsb && prev_lsb - lsb >= max_lsb / 2)
            msb += max_lsb;
        else if (lsb > prev_lsb && lsb - prev_lsb > max_lsb / 2)
            msb -= max_lsb;
    }
    int64_t poc = msb + lsb;
    if (!fits_order_count(poc))
        return 0;
    int rasl = type == hevc_rasl_n || type == hevc_rasl_r, radl = type == hevc_radl_n || type == hevc_radl_r;
    int sub_layer_non_reference = type <= hevc_last_sub_layer_type && type % 2 == 0;
    if (temporal_id == 0 && !rasl && !radl && !sub_layer_non_reference)
        r->prev_tid0_poc = int32_t(poc);
    if (irap)
        r->irap_starts_sequence = starts;
    r->started = 1;
    *out = PictureOrder{};
    out->poc = int32_t(poc);
    out->key = uint8_t(irap);
    out->reference = !sub_layer_non_reference;
    out->new_sequence = uint8_t(starts);
    out->order_restarts = uint8_t(starts);
    out->rasl = uint8_t(rasl);
    out->radl = uint8_t(radl);
    out->undecodable = uint8_t(rasl && r->irap_starts_sequence);
    return 1;
}

}  // namespace codec
