#include "wavedata/MMMulDiv.h"

#include <limits>

int32_t MulDiv32(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return 0;
    return static_cast<int32_t>(static_cast<int64_t>(a) * b / c);
}

int32_t MulDiv32RN(int32_t a, int32_t b, int32_t c) {
    if (c == 0) return 0;
    const int64_t product = static_cast<int64_t>(a) * b;
    const int64_t q = product / c;
    const int32_t r = static_cast<int32_t>(product % c);
    const int32_t twice = static_cast<int32_t>(static_cast<uint32_t>(r) * 2u);
    return static_cast<int32_t>(q + twice / c);
}

int64_t MulDiv64(int64_t a, int64_t b, int64_t c) {
    if (c == 0) return 0;
    const long double result = static_cast<long double>(a) * static_cast<long double>(b) / c;
    constexpr long double top = static_cast<long double>(std::numeric_limits<int64_t>::max());
    constexpr long double bottom = static_cast<long double>(std::numeric_limits<int64_t>::min());
    if (!(result < top)) return std::numeric_limits<int64_t>::max();
    if (!(result > bottom)) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(result);  // truncates toward zero
}
