#pragma once

#include "platform/base/wintypes.h"

// Loop state that travels with a buffer between the device and its source.
struct TMMLoopRec {
    DWORD dwLoop;        // all bits set while the device loops
    DWORD dwLoopCnt;     // the device's loop count; 0 loops for ever
    DWORD dwLoopTmpCnt;  // loops still to go, counted down by the source
    DWORD dwLooping;     // set by the source in the buffer where it wrapped to the start
};

// The buffer header that travels along a chain: the platform header first,
// so that a TMMWaveHdr* is a WAVEHDR* for the platform calls. A device
// buffer's sample data lies directly behind its header.
//
// lpNext here is the ring link of the device; the platform's own field is
// WAVEHDR::lpNext.
struct TMMWaveHdr : WAVEHDR {
    DWORD dwUser1;
    DWORD dwUser2;  // the output device keeps the filled length here
    DWORD dwUser3;
    TMMWaveHdr* lpNext;
    TMMLoopRec LoopRec;
};

// Keeps the sample data behind a header aligned for every sample type.
static_assert(sizeof(TMMWaveHdr) % 8 == 0);
