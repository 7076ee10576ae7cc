#include "codec/parameter_sets.h"

#include <cstdlib>
#include <cstring>

#include "basics/byte_order.h"
#include "basics/checked_alloc.h"
#include "codec/bit_reader.h"
#include "codec/nal_units.h"
#include "mp4/box_writer.h"

namespace codec {

namespace {

constexpr uint32_t avc_idr = 5, avc_sei = 6, avc_sps = 7, avc_pps = 8;
constexpr uint32_t hevc_vps = 32, hevc_sps = 33, hevc_pps = 34;
constexpr uint32_t hevc_first_irap = 16, hevc_last_irap = 23;
constexpr uint32_t hevc_last_idr = 20;  // BLA_W_LP, BLA_W_RADL, BLA_N_LP, IDR_W_RADL, IDR_N_LP
void skip_scaling_list(RbspBits* b, uint32_t size)
{
    int32_t last = 8, next = 8;
    for (uint32_t j = 0; j < size && !b->overrun; j++) {
        // a delta is -128 to 127; a hostile one must not overflow the sum
        if (next != 0)
            next = int32_t(((int64_t(last) + read_se(b)) % 256 + 256) % 256);
        last = next == 0 ? last : next;
    }
}

int avc_has_chroma_fields(uint32_t profile)
{
    static const uint32_t profiles[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
    for (uint32_t p : profiles)
        if (p == profile)
            return 1;
    return 0;
}

// Range limits of the picture order fields: larger values are not the coding's.
constexpr uint32_t max_log2_minus4 = 12;
constexpr uint32_t max_poc_cycle = 255;

void read_avc_order_fields(RbspBits* b, SequenceParameters* s)
{
    uint32_t frame_num_bits = read_ue(b), poc_type = read_ue(b), lsb_bits = 0, cycle = 0;
    s->log2_max_frame_num = 4 + frame_num_bits;
    s->poc_type = poc_type;
    if (poc_type == 0) {
        lsb_bits = read_ue(b);
        s->log2_max_poc_lsb = 4 + lsb_bits;
    } else if (poc_type == 1) {
        s->delta_pic_order_always_zero = read_bit(b);
        s->offset_for_non_ref_pic = read_se(b);
        s->offset_for_top_to_bottom_field = read_se(b);
        cycle = read_ue(b);
        for (uint32_t i = 0; i < cycle && !b->overrun; i++) {
            int32_t offset = read_se(b);
            if (i < max_poc_cycle)
                s->offset_for_ref_frame[i] = offset;
        }
        s->ref_frames_in_poc_cycle = cycle;
    }
    s->order_ok = frame_num_bits <= max_log2_minus4 && poc_type <= 2 && lsb_bits <= max_log2_minus4 &&
                  cycle <= max_poc_cycle;
}

int read_avc_sps(RbspBits* b, SequenceParameters* s)
{
    PictureFormat* f = &s->picture;
    read_bits(b, 8);  // NAL header
    uint32_t profile = read_bits(b, 8);
    read_bits(b, 16);  // constraint flags and level
    s->sps_id = read_ue(b);
    f->chroma_format = 1, f->luma_depth = 8, f->chroma_depth = 8;
    if (avc_has_chroma_fields(profile)) {
        f->chroma_format = read_ue(b);
        if (f->chroma_format == 3)
            s->separate_colour_plane = read_bit(b);
        f->luma_depth = 8 + read_ue(b);
        f->chroma_depth = 8 + read_ue(b);
        read_bit(b);
        if (read_bit(b))  // scaling matrices
            for (uint32_t i = 0; i < (f->chroma_format != 3 ? 8u : 12u); i++)
                if (read_bit(b))
                    skip_scaling_list(b, i < 6 ? 16 : 64);
    }
    read_avc_order_fields(b, s);
    read_ue(b);  // reference frames
    read_bit(b);
    uint32_t width_mbs = read_ue(b) + 1, height_units = read_ue(b) + 1;
    uint32_t frames_only = read_bit(b);
    s->frame_mbs_only = frames_only;
    if (!frames_only)
        read_bit(b);
    read_bit(b);
    uint32_t crop_x = f->chroma_format == 1 || f->chroma_format == 2 ? 2 : 1;
    uint32_t crop_y = (f->chroma_format == 1 ? 2 : 1) * (2 - frames_only);
    uint32_t left = 0, right = 0, top = 0, bottom = 0;
    if (read_bit(b))
        left = read_ue(b), right = read_ue(b), top = read_ue(b), bottom = read_ue(b);
    uint64_t width = uint64_t(width_mbs) * 16, height = uint64_t(height_units) * 16 * (2 - frames_only);
    uint64_t cut_x = uint64_t(crop_x) * (left + right), cut_y = uint64_t(crop_y) * (top + bottom);
    if (b->overrun || cut_x >= width || cut_y >= height || width - cut_x > 65535 || height - cut_y > 65535)
        return 0;
    f->width = uint32_t(width - cut_x);
    f->height = uint32_t(height - cut_y);
    s->frame_rate = read_avc_timing(b);
    return 1;
}

void skip_hevc_profile_tier_level(RbspBits* b, uint32_t sub_layers)
{
    read_bits(b, 32), read_bits(b, 32), read_bits(b, 24), read_bits(b, 8);  // general profile, tier and level: 96 bits
    uint32_t profile_present[8] = {}, level_present[8] = {};
    for (uint32_t i = 0; i < sub_layers; i++)
        profile_present[i] = read_bit(b), level_present[i] = read_bit(b);
    if (sub_layers > 0)
        for (uint32_t i = sub_layers; i < 8; i++)
            read_bits(b, 2);
    for (uint32_t i = 0; i < sub_layers; i++) {
        if (profile_present[i])
            read_bits(b, 32), read_bits(b, 32), read_bits(b, 24);
        if (level_present[i])
            read_bits(b, 8);
    }
}

int read_hevc_sps(RbspBits* b, SequenceParameters* s)
{
    PictureFormat* f = &s->picture;
    read_bits(b, 16);  // NAL header
    read_bits(b, 4);
    uint32_t sub_layers = read_bits(b, 3);
    read_bit(b);
    skip_hevc_profile_tier_level(b, sub_layers);
    s->sps_id = read_ue(b);
    f->chroma_format = read_ue(b);
    if (f->chroma_format == 3)
        s->separate_colour_plane = read_bit(b);
    uint32_t width = read_ue(b), height = read_ue(b);
    uint32_t sub_w = f->chroma_format == 1 || f->chroma_format == 2 ? 2 : 1;
    uint32_t sub_h = f->chroma_format == 1 ? 2 : 1;
    uint64_t cut_x = 0, cut_y = 0;
    if (read_bit(b)) {
        uint64_t left = read_ue(b), right = read_ue(b), top = read_ue(b), bottom = read_ue(b);
        cut_x = sub_w * (left + right), cut_y = sub_h * (top + bottom);
    }
    f->luma_depth = 8 + read_ue(b);
    f->chroma_depth = 8 + read_ue(b);
    if (b->overrun || f->chroma_format > 3 || cut_x >= width || cut_y >= height || width - cut_x > 65535 ||
        height - cut_y > 65535)
        return 0;
    f->width = uint32_t(width - cut_x);
    f->height = uint32_t(height - cut_y);
    // the picture is known here; a set cut short after it still gives its format
    uint32_t lsb_bits = read_ue(b);
    s->log2_max_poc_lsb = 4 + lsb_bits;
    s->frame_mbs_only = 1;
    s->order_ok = !b->overrun && lsb_bits <= max_log2_minus4;
    if (s->order_ok)
        s->frame_rate = read_hevc_timing(b, sub_layers, s->log2_max_poc_lsb);
    return 1;
}

using mp4::BoxBytes;

void put_hevc_array(BoxBytes* c, uint32_t type, const uint8_t* unit, uint32_t size)
{
    mp4::put_u8(c, 0x80 | type);  // every set of the kind is in the array
    mp4::put_be16(c, 1);
    mp4::put_be16(c, size);
    mp4::put_raw(c, unit, size);
}

int same_unit(const uint8_t* a, uint32_t a_size, const uint8_t* b, uint32_t b_size)
{
    return a_size == b_size && a_size > 0 && std::memcmp(a, b, a_size) == 0;
}

}  // namespace

namespace {

// 1 when an AVC slice codes an I picture: slice_type 2 or 7 after first_mb_in_slice.
int avc_intra_slice(const uint8_t* slice, uint32_t size)
{
    RbspBits b;
    load_rbsp(slice, size < 16 ? size : 16, &b);
    read_bits(&b, 8);  // NAL header
    read_ue(&b);
    uint32_t slice_type = read_ue(&b);
    return !b.overrun && slice_type % 5 == 2;
}

}  // namespace

int sample_is_key(const uint8_t* sample, uint64_t len, int hevc)
{
    int key = 0, recovery = 0;
    for_each_unit(sample, len, [&](const uint8_t* unit, uint32_t size) {
        uint32_t type = unit_type(unit, hevc);
        if (!hevc && type == avc_sei)
            recovery |= avc_recovery_point(unit, size);
        key = hevc ? type >= hevc_first_irap && type <= hevc_last_irap
                   : type == avc_idr || (type == 1 && recovery && avc_intra_slice(unit, size));
        // the first slice decides; parameter sets, SEI and the delimiter come before it
        return key || (hevc ? type < hevc_vps : type >= 1 && type <= avc_idr);
    });
    return key;
}

int sample_starts_sequence(const uint8_t* sample, uint64_t len, int hevc)
{
    int starts = 0;
    for_each_unit(sample, len, [&](const uint8_t* unit, uint32_t) {
        uint32_t type = unit_type(unit, hevc);
        int slice = hevc ? type < hevc_vps : type >= 1 && type <= avc_idr;
        starts = slice && (hevc ? type >= hevc_first_irap && type <= hevc_last_idr : type == avc_idr);
        return slice;
    });
    return starts;
}

int find_parameter_sets(const uint8_t* sample, uint64_t len, int hevc, ParameterSets* out)
{
    const uint8_t* found[3] = {};  // VPS, SPS, PPS
    uint32_t sizes[3] = {};
    for_each_unit(sample, len, [&](const uint8_t* unit, uint32_t size) {
        uint32_t type = unit_type(unit, hevc);
        uint32_t slot = hevc && type == hevc_vps                ? 0
                        : type == (hevc ? hevc_sps : avc_sps) ? 1
                        : type == (hevc ? hevc_pps : avc_pps) ? 2
                                                              : 3;
        if (slot < 3 && !sizes[slot])
            found[slot] = unit, sizes[slot] = size;
        return 0;
    });
    if (!sizes[1] || !sizes[2] || (hevc && !sizes[0]))
        return 0;
    uint8_t* copies[3] = {};
    for (int i = 0; i < 3; i++)
        if (sizes[i]) {
            copies[i] = static_cast<uint8_t*>(basics::xmalloc(sizes[i]));
            std::memcpy(copies[i], found[i], sizes[i]);
        }
    *out = ParameterSets{copies[0], sizes[0], copies[1], sizes[1], copies[2], sizes[2]};
    return 1;
}

void free_parameter_sets(ParameterSets* sets)
{
    std::free(sets->vps);
    std::free(sets->sps);
    std::free(sets->pps);
    *sets = ParameterSets{};
}

int read_sequence_parameters(const uint8_t* sps, uint32_t len, int hevc, SequenceParameters* out)
{
    RbspBits b;
    load_rbsp(sps, len, &b);
    SequenceParameters s = {};
    if (!(hevc ? read_hevc_sps(&b, &s) : read_avc_sps(&b, &s)))
        return 0;
    *out = s;
    return 1;
}

int read_picture_format(const uint8_t* sps, uint32_t len, int hevc, PictureFormat* out)
{
    SequenceParameters s;
    if (!read_sequence_parameters(sps, len, hevc, &s))
        return 0;
    *out = s.picture;
    return 1;
}

int build_decoder_config(const ParameterSets* sets, int hevc, const PictureFormat* picture, uint8_t** out,
                         uint32_t* out_size)
{
    if (!sets->sps_size || !sets->pps_size || (hevc && !sets->vps_size) || sets->sps_size < 4)
        return 0;
    RbspBits raw;
    load_rbsp(sets->sps, sets->sps_size, &raw);
    // HEVC: the 12 bytes of general profile, tier and level follow the 2-byte header and one byte
    if (hevc && raw.size < 15)
        return 0;
    using namespace mp4;
    BoxBytes c;
    put_u8(&c, 1);
    if (hevc) {
        put_raw(&c, raw.bytes + 3, 12);
        put_be16(&c, 0xF000);  // no minimum spatial segmentation
        put_u8(&c, 0xFC);      // parallelism unknown
        put_u8(&c, 0xFC | picture->chroma_format);
        put_u8(&c, 0xF8 | (picture->luma_depth - 8));
        put_u8(&c, 0xF8 | (picture->chroma_depth - 8));
        put_be16(&c, 0);  // frame rate unknown
        put_u8(&c, 0x0F); // one temporal layer, nested, 4-byte unit lengths
        put_u8(&c, 3);
        put_hevc_array(&c, hevc_vps, sets->vps, sets->vps_size);
        put_hevc_array(&c, hevc_sps, sets->sps, sets->sps_size);
        put_hevc_array(&c, hevc_pps, sets->pps, sets->pps_size);
    } else {
        put_raw(&c, sets->sps + 1, 3);  // profile, constraint flags, level
        put_u8(&c, 0xFF);           // 4-byte unit lengths
        put_u8(&c, 0xE1);           // one SPS
        put_be16(&c, sets->sps_size);
        put_raw(&c, sets->sps, sets->sps_size);
        put_u8(&c, 1);
        put_be16(&c, sets->pps_size);
        put_raw(&c, sets->pps, sets->pps_size);
        if (avc_has_chroma_fields(sets->sps[1])) {
            put_u8(&c, 0xFC | picture->chroma_format);
            put_u8(&c, 0xF8 | (picture->luma_depth - 8));
            put_u8(&c, 0xF8 | (picture->chroma_depth - 8));
            put_u8(&c, 0);
        }
    }
    *out = c.items;
    *out_size = uint32_t(c.count);
    return 1;
}

int sets_from_config(const uint8_t* config, uint32_t len, int hevc, ParameterSets* out)
{
    const uint8_t* found[3] = {};  // VPS, SPS, PPS
    uint32_t sizes[3] = {};
    auto take = [&](uint32_t slot, const uint8_t* unit, uint32_t size) {
        if (slot < 3 && !sizes[slot] && size > 0)
            found[slot] = unit, sizes[slot] = size;
    };
    if (hevc) {
        if (!for_each_hvcc_set(config, len, [&](uint32_t type, const uint8_t* unit, uint32_t size) {
                take(type == hevc_vps ? 0 : type == hevc_sps ? 1 : type == hevc_pps ? 2 : 3, unit, size);
                return 0;
            }))
            return 0;
    } else {
        // version, profile, compatibility, level, length size, then the SPS count and each SPS
        // behind its 16-bit length, the PPS count and each PPS likewise
        uint32_t pos = 5;
        for (uint32_t slot = 1; slot <= 2; slot++) {
            if (len - pos < 1 || pos > len)
                return 0;
            uint32_t count = slot == 1 ? config[pos] & 0x1F : config[pos];
            pos++;
            for (uint32_t i = 0; i < count; i++) {
                if (len - pos < 2 || len - pos - 2 < basics::load_be16(config + pos))
                    return 0;
                uint32_t size = basics::load_be16(config + pos);
                take(slot, config + pos + 2, size);
                pos += 2 + size;
            }
        }
    }
    if (!sizes[1] || !sizes[2] || (hevc && !sizes[0]))
        return 0;
    ParameterSets sets = {};
    uint8_t** copies[3] = {&sets.vps, &sets.sps, &sets.pps};
    uint32_t* lengths[3] = {&sets.vps_size, &sets.sps_size, &sets.pps_size};
    for (int i = 0; i < 3; i++)
        if (sizes[i]) {
            *copies[i] = static_cast<uint8_t*>(basics::xmalloc(sizes[i]));
            std::memcpy(*copies[i], found[i], sizes[i]);
            *lengths[i] = sizes[i];
        }
    *out = sets;
    return 1;
}

int config_carries(const uint8_t* config, uint32_t len, int hevc, const ParameterSets* sets)
{
    const uint8_t* found[3] = {};  // VPS, SPS, PPS
    uint32_t sizes[3] = {};
    if (hevc) {
        int whole = for_each_hvcc_set(config, len, [&](uint32_t type, const uint8_t* unit, uint32_t size) {
            uint32_t slot = type == hevc_vps ? 0 : type == hevc_sps ? 1 : type == hevc_pps ? 2 : 3;
            if (slot < 3 && !sizes[slot])
                found[slot] = unit, sizes[slot] = size;
            return 0;
        });
        return whole && same_unit(found[0], sizes[0], sets->vps, sets->vps_size) &&
               same_unit(found[1], sizes[1], sets->sps, sets->sps_size) &&
               same_unit(found[2], sizes[2], sets->pps, sets->pps_size);
    }
    if (len < 8 || (config[5] & 0x1F) == 0)
        return 0;
    uint32_t sps_size = basics::load_be16(config + 6);
    if (len - 8 < sps_size)
        return 0;
    uint32_t pos = 8 + sps_size;
    if (len - pos < 3 || config[pos] == 0)
        return 0;
    uint32_t pps_size = basics::load_be16(config + pos + 1);
    if (len - pos - 3 < pps_size)
        return 0;
    return same_unit(config + 8, sps_size, sets->sps, sets->sps_size) &&
           same_unit(config + pos + 3, pps_size, sets->pps, sets->pps_size);
}

}  // namespace codec
