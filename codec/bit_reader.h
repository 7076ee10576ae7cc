#pragma once
// Bit-wise reading of a NAL unit's payload (its RBSP), as the parameter sets and slice headers are
// coded: fixed-width fields and Exp-Golomb codes, with the emulation prevention bytes taken out.
// Every read is bounded: past the end a read gives 0 and marks the reader overrun, so a parser
// reads on and checks `overrun` once at the end.
#include <cstdint>

namespace codec {

// A parameter set and the head of a slice are far smaller; the rest of a unit is never needed.
constexpr uint32_t max_rbsp_bytes = 1024;

struct RbspBits {
    uint8_t bytes[max_rbsp_bytes];
    uint32_t size;
    uint64_t pos;  // in bits
    int overrun;
};

// Starts reading the unit's first `n` bytes (header included), up to max_rbsp_bytes of payload.
void load_rbsp(const uint8_t* unit, uint32_t n, RbspBits* b);

uint32_t read_bit(RbspBits* b);
// Up to 32 bits, most significant first.
uint32_t read_bits(RbspBits* b, uint32_t n);
// ue(v): a code longer than 32 bits is not the coding's and marks the reader overrun.
uint32_t read_ue(RbspBits* b);
// se(v)
int32_t read_se(RbspBits* b);

}  // namespace codec
