#pragma once

// Format conversion through the audio compression manager: whether one
// wave format must and can be turned into another, and conversion jobs that
// run one or more compression-manager stages over blocks of data.
//
// The routines never raise: a failing compression-manager call is answered
// with false, nullptr or -1.

#include "platform/acm/acm.h"
#include "platform/base/wintypes.h"

#include <memory>
#include <vector>

// The compression manager is part of the program and always present. Tests
// clear this to see how the converters behave without one.
extern bool acmDLLLoaded;

// Present and at least version 2.00.
bool acmUsable();

// One stage of a job. Its source buffer is the previous stage's destination
// buffer (or the job's input buffer for the first stage), so the stages form
// a pipeline through shared buffers. Input a stage could not use is kept at
// the end of its source buffer (dwRemaining bytes).
struct TACMStream {
    BYTE* lpSrcBuffer = nullptr;
    BYTE* lpDstBuffer = nullptr;
    LONG dwSrcBufferSize = 0;
    LONG dwDstBufferSize = 0;
    LONG dwRemaining = 0;
    HACMSTREAM acmStream = nullptr;
    ACMSTREAMHEADER acmStreamHeader{};

    // Unprepares the header and closes the stream.
    ~TACMStream();
    std::unique_ptr<BYTE[]> OwnedDst;
};

// One conversion job. The caller puts up to dwSrcBufferSize new bytes at
// lpSrcBuffer; the output of a call is dwBytesConverted bytes at lpDstBuffer,
// of which the consumer has taken dwBytesRead.
struct TACMConvert {
    BYTE* lpSrcBuffer = nullptr;
    BYTE* lpDstBuffer = nullptr;
    LONG dwSrcBufferSize = 0;
    LONG dwDstBufferSize = 0;
    LONG dwBytesConverted = 0;
    LONG dwBytesRead = 0;
    bool bPending = false;  // some stage kept input it could not convert yet
    bool bQueued = false;   // some stage consumed input without giving output yet
    bool bFreeSrcBuffer = false;
    std::vector<std::unique_ptr<TACMStream>> Streams;

    std::unique_ptr<BYTE[]> OwnedSrc;
};
using PACMConvert = TACMConvert*;

// The size of a PCM record as these routines hand it out.
inline constexpr int acmPCMFormatSize = 18;

// True when both records are present and differ in tag, bits, channels or rate.
bool acmMustConvert(const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst);

// A PCM format Src converts to in real time: Src itself when it is PCM,
// the zero record when there is none.
WAVEFORMATEX acmSuggestPCMFormat(const WAVEFORMATEX* pwfxSrc);

// Whether Src can be converted to Dst, in one stage or through intermediate
// PCM formats. RealTime false also accepts slower conversions.
bool acmQueryConvert(const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst, bool RealTime);

// A new job from Src to Dst, or nullptr. SrcBuffer (may be nullptr) is where
// the caller will put input; without one the job owns an input buffer of
// four times SrcBufSize, which leaves room for input a stage keeps back (a
// caller's buffer of SrcBufSize bytes has none: conversions that keep input
// back then fail with -1 instead of overrunning it). dwSrcBufferSize is
// SrcBufSize rounded down to whole source blocks. Release with acmDoneConvert.
PACMConvert acmBeginConvert(const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst, BYTE* SrcBuffer,
                            LONG SrcBufSize, bool RealTime);

// Adds the stages from Src to Dst to the job.
bool acmInitConvert(PACMConvert pac, const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst, bool RealTime);

// Converts SrcBufSize new bytes at lpSrcBuffer (at most dwSrcBufferSize);
// returns the output bytes at lpDstBuffer, or -1.
LONG acmDoConvert(PACMConvert pac, LONG SrcBufSize);
// As acmDoConvert, and every stage also gives what it was holding back.
// Call with 0 bytes until it returns 0 to drain the job.
LONG acmEndConvert(PACMConvert pac, LONG SrcBufSize);
// Drops unread output and everything the stages hold; false for no job.
bool acmFlushConvert(PACMConvert pac);
// Frees the job and sets pac to nullptr.
void acmDoneConvert(PACMConvert& pac);
