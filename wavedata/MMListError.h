#pragma once

#include "platform/base/Exception.h"

// A bad index, count or capacity given to one of the point or region lists.
class EListError : public Exception {
public:
    explicit EListError(long long value)
        : Exception(QStringLiteral("List index out of bounds (%1)").arg(value)) {}
};

// Capacity growth of the point and region lists: by 16 above 8, by 8 above 4,
// else by 4; never above this many entries.
inline constexpr int MaxListSize = 134217727;
inline int ListGrowDelta(int capacity) {
    return capacity > 8 ? 16 : capacity > 4 ? 8 : 4;
}
