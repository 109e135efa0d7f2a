#include "platform/comm/comm.h"

#include <cstring>

// The flag bits sit in the third DWORD of the record.
DWORD DcbFlags(const DCB& dcb) {
    DWORD flags;
    std::memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + 2 * sizeof(DWORD), sizeof flags);
    return flags;
}

void SetDcbFlags(DCB& dcb, DWORD flags) {
    std::memcpy(reinterpret_cast<BYTE*>(&dcb) + 2 * sizeof(DWORD), &flags, sizeof flags);
}
