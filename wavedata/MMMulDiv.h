#pragma once

// Integer multiply-divide with the rounding every position conversion relies
// on. A divisor of 0 gives 0 rather than a crash.

#include <cstdint>

// a*b/c with a 64-bit product, truncated toward zero.
int32_t MulDiv32(int32_t a, int32_t b, int32_t c);
// a*b/c rounded to nearest, halves away from zero: q + (2r) div c, where q and
// r are the truncated quotient and remainder and 2r wraps at 32 bits.
int32_t MulDiv32RN(int32_t a, int32_t b, int32_t c);
// a*b/c through extended-precision floating point, truncated toward zero and
// limited to the 64-bit range.
int64_t MulDiv64(int64_t a, int64_t b, int64_t c);
// Arithmetic right shift by shift mod 32.
inline int32_t Sar(int32_t value, int32_t shift) {
    return value >> (shift & 31);
}
