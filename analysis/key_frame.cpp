#include "analysis/key_frame.h"

#include "basics/byte_order.h"
#include "mp4/sample_tables.h"

namespace analysis {

namespace {

constexpr uint8_t avc_idr_slice = 5;
constexpr uint8_t hevc_first_irap = 16;  // BLA, IDR and CRA pictures are types 16 to 23
constexpr uint8_t hevc_last_irap = 23;

}  // namespace

int sample_is_key_frame(const uint8_t* sample, uint64_t len, const char* format)
{
    int hevc = format && mp4::format_is_hevc(format);
    for (uint64_t pos = 0; len - pos > 4;) {
        uint64_t unit = basics::load_be32(sample + pos);
        if (unit == 0 || unit > len - pos - 4)
            return 0;
        uint8_t header = sample[pos + 4];
        if (hevc) {
            uint8_t type = (header >> 1) & 0x3F;
            if (type >= hevc_first_irap && type <= hevc_last_irap)
                return 1;
        } else if ((header & 0x1F) == avc_idr_slice) {
            return 1;
        }
        pos += 4 + unit;
    }
    return 0;
}

}  // namespace analysis
