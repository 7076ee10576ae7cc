#pragma once
// ISO base media box headers, read from memory or straight from the image.
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace mp4 {

struct BoxHeader {
    uint64_t offset;       // position of the size field (image offset or buffer index)
    uint64_t size;         // whole box, header included
    uint64_t header_size;  // 8, or 16 when a 64-bit size follows the type
    char type[5];          // the four stored type bytes and a NUL
};

// Four-character box types.
inline constexpr char box_ftyp[] = "ftyp";
inline constexpr char box_mdat[] = "mdat";
inline constexpr char box_moov[] = "moov";
inline constexpr char box_mvhd[] = "mvhd";
inline constexpr char box_trak[] = "trak";
inline constexpr char box_mdia[] = "mdia";
inline constexpr char box_mdhd[] = "mdhd";
inline constexpr char box_hdlr[] = "hdlr";
inline constexpr char box_minf[] = "minf";
inline constexpr char box_stbl[] = "stbl";
inline constexpr char box_stsd[] = "stsd";
inline constexpr char box_stts[] = "stts";
inline constexpr char box_stsz[] = "stsz";
inline constexpr char box_stsc[] = "stsc";
inline constexpr char box_stco[] = "stco";
inline constexpr char box_co64[] = "co64";
inline constexpr char box_ctts[] = "ctts";
inline constexpr char box_edts[] = "edts";
inline constexpr char box_elst[] = "elst";
inline constexpr char box_kkad[] = "kkad";
inline constexpr char box_avcc[] = "avcC";
inline constexpr char box_hvcc[] = "hvcC";

inline bool type_is(const char* type, const char* wanted) { return std::memcmp(type, wanted, 4) == 0; }

int read_box_header_mem(const uint8_t* buf, uint64_t len, uint64_t offset, BoxHeader* out);
int read_box_header_file(std::FILE* image, uint64_t offset, uint64_t range_end, BoxHeader* out);
// First direct child of type `wanted` among the boxes laid end to end in [begin, min(end, len)).
int find_child_box(const uint8_t* buf, uint64_t len, uint64_t begin, uint64_t end, const char* wanted,
                   BoxHeader* out);
// Handler type of a trak box inside buf: four characters and a NUL into `handler`.
int read_track_handler(const uint8_t* buf, uint64_t len, const BoxHeader* trak, char* handler /* 5 */);

}  // namespace mp4
