#include "codec/picture_order.h"

#include <algorithm>
#include <cstdlib>

#include "basics/checked_alloc.h"
#include "codec/bit_reader.h"
#include "codec/nal_units.h"
#include "codec/order_count.h"

namespace codec {

namespace {

constexpr uint32_t avc_sps = 7, avc_pps = 8, avc_end_of_sequence = 10;
constexpr uint32_t hevc_sps = 33, hevc_pps = 34, hevc_end_of_sequence = 36, hevc_end_of_stream = 37;
constexpr uint32_t max_avc_pps_id = 255, max_hevc_pps_id = 63, max_avc_ref_idx = 31;

int read_avc_pps(RbspBits* b, PictureParameters* p)
{
    read_bits(b, 8);  // NAL header
    p->pps_id = read_ue(b);
    p->sps_id = read_ue(b);
    read_bit(b);  // entropy coding mode
    p->bottom_field_pic_order_in_frame_present = read_bit(b);
    uint32_t slice_groups = read_ue(b) + 1;
    if (slice_groups > 8)
        return 0;
    if (slice_groups > 1) {
        // the map of slice groups sits between these fields and the ones the slice header needs
        uint32_t map_type = read_ue(b);
        if (map_type == 0) {
            for (uint32_t i = 0; i < slice_groups; i++)
                read_ue(b);
        } else if (map_type == 2) {
            for (uint32_t i = 0; i + 1 < slice_groups; i++)
                read_ue(b), read_ue(b);
        } else if (map_type >= 3 && map_type <= 5) {
            read_bit(b);
            read_ue(b);
        } else if (map_type == 6) {
            uint32_t id_bits = slice_groups > 4 ? 3 : slice_groups > 2 ? 2 : 1;
            uint32_t units = read_ue(b) + 1;
            for (uint32_t i = 0; i < units && !b->overrun; i++)
                read_bits(b, id_bits);
        } else if (map_type > 6) {
            return 0;
        }
    }
    p->ref_idx_l0_default = read_ue(b);
    p->ref_idx_l1_default = read_ue(b);
    p->weighted_pred = read_bit(b);
    p->weighted_bipred_idc = read_bits(b, 2);
    read_se(b), read_se(b), read_se(b);  // initial quantisers and chroma offset
    read_bit(b), read_bit(b);            // deblocking control, constrained intra prediction
    p->redundant_pic_cnt_present = read_bit(b);
    return !b->overrun && p->pps_id <= max_avc_pps_id && p->ref_idx_l0_default <= max_avc_ref_idx &&
           p->ref_idx_l1_default <= max_avc_ref_idx && p->weighted_bipred_idc <= 2;
}

int read_hevc_pps(RbspBits* b, PictureParameters* p)
{
    read_bits(b, 16);  // NAL header
    p->pps_id = read_ue(b);
    p->sps_id = read_ue(b);
    p->dependent_slice_segments_enabled = read_bit(b);
    p->output_flag_present = read_bit(b);
    p->num_extra_slice_header_bits = read_bits(b, 3);
    return !b->overrun && p->pps_id <= max_hevc_pps_id;
}

// The sets a sample carries replace the reader's when they read whole.
void take_parameter_set(PictureOrderReader* r, const uint8_t* unit, uint32_t size)
{
    uint32_t type = unit_type(unit, r->hevc);
    if (type == (r->hevc ? hevc_sps : avc_sps)) {
        SequenceParameters sps;
        if (read_sequence_parameters(unit, size, r->hevc, &sps) && sps.order_ok)
            r->sps = sps;
    } else if (type == (r->hevc ? hevc_pps : avc_pps)) {
        PictureParameters pps;
        if (read_picture_parameters(unit, size, r->hevc, &pps))
            r->pps = pps;
    }
}

int ends_sequence(const uint8_t* unit, int hevc)
{
    uint32_t type = unit_type(unit, hevc);
    return hevc ? type == hevc_end_of_sequence || type == hevc_end_of_stream : type == avc_end_of_sequence;
}

}  // namespace

int read_picture_parameters(const uint8_t* pps, uint32_t len, int hevc, PictureParameters* out)
{
    RbspBits b;
    load_rbsp(pps, len, &b);
    PictureParameters p = {};
    if (!(hevc ? read_hevc_pps(&b, &p) : read_avc_pps(&b, &p)))
        return 0;
    *out = p;
    return 1;
}

int start_picture_order(const ParameterSets* sets, int hevc, PictureOrderReader* out)
{
    PictureOrderReader r = {};
    r.hevc = hevc;
    if (!sets->sps_size || !sets->pps_size || !read_sequence_parameters(sets->sps, sets->sps_size, hevc, &r.sps) ||
        !r.sps.order_ok || !read_picture_parameters(sets->pps, sets->pps_size, hevc, &r.pps))
        return 0;
    *out = r;
    return 1;
}

void restart_picture_order(PictureOrderReader* reader)
{
    reader->started = 0;
    reader->after_sequence_end = 0;
}

int read_picture_order(PictureOrderReader* reader, const uint8_t* sample, uint64_t len, PictureOrder* out)
{
    PictureOrderReader next = *reader;
    Syntax syntax = reader->hevc ? Syntax::hevc : Syntax::avc;
    const uint8_t* slice = nullptr;
    uint32_t slice_size = 0;
    int sequence_ends = 0;
    next.recovery_point = 0;
    for_each_unit(sample, len, [&](const uint8_t* unit, uint32_t size) {
        if (!unit_header_ok(unit, size, syntax))
            return 0;
        if (!reader->hevc && !slice && unit_type(unit, 0) == 6)
            next.recovery_point |= avc_recovery_point(unit, size);
        if (unit_is_slice(unit, syntax)) {
            if (!slice)
                slice = unit, slice_size = size;
        } else if (ends_sequence(unit, reader->hevc)) {
            sequence_ends = 1;
        } else if (!slice) {
            take_parameter_set(&next, unit, size);
        }
        return 0;
    });
    if (!slice || next.pps.sps_id != next.sps.sps_id)
        return 0;
    PictureOrder order = {};
    if (!(reader->hevc ? hevc_picture_order(&next, slice, slice_size, &order)
                       : avc_picture_order(&next, slice, slice_size, &order)))
        return 0;
    next.after_sequence_end = sequence_ends;
    *reader = next;
    *out = order;
    return 1;
}

void presentation_order(const PictureOrder* pictures, uint32_t count, uint32_t* presentation)
{
    struct Place {
        uint32_t stretch;
        int32_t poc;
        uint32_t decode;
    };
    Place* places = static_cast<Place*>(basics::xmalloc(sizeof(Place) * (count ? count : 1)));
    uint32_t stretch = 0;
    for (uint32_t i = 0; i < count; i++) {
        if (i > 0 && pictures[i].order_restarts)
            stretch++;
        places[i] = Place{stretch, pictures[i].poc, i};
    }
    // equal counts within a stretch are not the coding's; decode order settles them
    std::sort(places, places + count, [](const Place& a, const Place& b) {
        if (a.stretch != b.stretch)
            return a.stretch < b.stretch;
        return a.poc != b.poc ? a.poc < b.poc : a.decode < b.decode;
    });
    for (uint32_t i = 0; i < count; i++)
        presentation[places[i].decode] = i;
    std::free(places);
}

int composition_offsets(const uint32_t* presentation, uint32_t count, uint32_t frame_duration,
                        int32_t* signed_offsets, uint32_t* offsets, uint32_t* shift)
{
    int64_t lowest = 0, highest = 0;  // the places of a permutation move by 0 in sum: the lowest is <= 0
    for (uint32_t i = 0; i < count; i++) {
        int64_t places = int64_t(presentation[i]) - int64_t(i);
        if (frame_duration && std::abs(places) > int64_t(UINT32_MAX / frame_duration))
            return 0;
        int64_t offset = places * frame_duration;
        lowest = std::min(lowest, offset);
        highest = std::max(highest, offset);
    }
    if (lowest < INT32_MIN || highest > INT32_MAX || highest - lowest > int64_t(UINT32_MAX))
        return 0;
    for (uint32_t i = 0; i < count; i++) {
        int64_t offset = (int64_t(presentation[i]) - int64_t(i)) * frame_duration;
        signed_offsets[i] = int32_t(offset);
        offsets[i] = uint32_t(offset - lowest);
    }
    *shift = uint32_t(-lowest);
    return 1;
}

}  // namespace codec
