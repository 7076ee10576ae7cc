#include "codec/bit_reader.h"

namespace codec {

void load_rbsp(const uint8_t* unit, uint32_t n, RbspBits* b)
{
    b->size = 0;
    b->pos = 0;
    b->overrun = 0;
    uint32_t zeros = 0;
    for (uint32_t i = 0; i < n && b->size < max_rbsp_bytes; i++) {
        // 00 00 03 is written only to keep the payload from looking like a start code
        if (zeros >= 2 && unit[i] == 3) {
            zeros = 0;
            continue;
        }
        zeros = unit[i] == 0 ? zeros + 1 : 0;
        b->bytes[b->size++] = unit[i];
    }
}

uint32_t read_bit(RbspBits* b)
{
    if (b->pos >= uint64_t(b->size) * 8) {
        b->overrun = 1;
        return 0;
    }
    uint32_t v = (b->bytes[b->pos / 8] >> (7 - b->pos % 8)) & 1;
    b->pos++;
    return v;
}

uint32_t read_bits(RbspBits* b, uint32_t n)
{
    uint32_t v = 0;
    while (n--)
        v = (v << 1) | read_bit(b);
    return v;
}

uint32_t read_ue(RbspBits* b)
{
    uint32_t zeros = 0;
    while (!read_bit(b) && !b->overrun)
        if (++zeros > 31) {
            b->overrun = 1;
            return 0;
        }
    if (b->overrun)
        return 0;
    return zeros ? (1u << zeros) - 1 + read_bits(b, zeros) : 0;
}

int32_t read_se(RbspBits* b)
{
    uint32_t v = read_ue(b);
    return v & 1 ? int32_t((v + 1) / 2) : -int32_t(v / 2);
}

}  // namespace codec
