#pragma once

// The audio compression manager contract, with built-in drivers:
//  - linear PCM (8/16/24/32-bit integer, 32/64-bit float, WAVE_FORMAT_EXTENSIBLE
//    with a PCM or float subformat) to 8- or 16-bit PCM, channels 1<->2,
//    any rate (libsamplerate, streaming);
//  - G.711 a-law and mu-law to 16-bit PCM;
//  - IMA ADPCM (tag 0x11) to 16-bit PCM.
// Conversion is synchronous. Every field of a format record is checked
// before anything is sized from it.

#include "platform/base/wintypes.h"

struct HACMDRIVER__;
using HACMDRIVER = HACMDRIVER__*;
struct HACMSTREAM__;
using HACMSTREAM = HACMSTREAM__*;
using LPHACMSTREAM = HACMSTREAM*;

// ---- Result codes -------------------------------------------------------------
inline constexpr MMRESULT ACMERR_NOTPOSSIBLE = ACMERR_BASE + 0;
inline constexpr MMRESULT ACMERR_BUSY = ACMERR_BASE + 1;
inline constexpr MMRESULT ACMERR_UNPREPARED = ACMERR_BASE + 2;
inline constexpr MMRESULT ACMERR_CANCELED = ACMERR_BASE + 3;

// ---- Flags --------------------------------------------------------------------
inline constexpr DWORD ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000;
inline constexpr DWORD ACM_FORMATSUGGESTF_NCHANNELS = 0x00020000;
inline constexpr DWORD ACM_FORMATSUGGESTF_NSAMPLESPERSEC = 0x00040000;
inline constexpr DWORD ACM_FORMATSUGGESTF_WBITSPERSAMPLE = 0x00080000;
inline constexpr DWORD ACM_FORMATSUGGESTF_TYPEMASK = 0x00FF0000;

inline constexpr DWORD ACM_STREAMOPENF_QUERY = 0x00000001;
inline constexpr DWORD ACM_STREAMOPENF_ASYNC = 0x00000002;
inline constexpr DWORD ACM_STREAMOPENF_NONREALTIME = 0x00000004;

inline constexpr DWORD ACM_STREAMSIZEF_SOURCE = 0x00000000;
inline constexpr DWORD ACM_STREAMSIZEF_DESTINATION = 0x00000001;

inline constexpr DWORD ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004;
inline constexpr DWORD ACM_STREAMCONVERTF_START = 0x00000010;
inline constexpr DWORD ACM_STREAMCONVERTF_END = 0x00000020;

inline constexpr DWORD ACMSTREAMHEADER_STATUSF_DONE = 0x00010000;
inline constexpr DWORD ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000;
inline constexpr DWORD ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000;

inline constexpr DWORD ACM_FORMATTAGDETAILSF_INDEX = 0x00000000;
inline constexpr DWORD ACM_FORMATTAGDETAILSF_FORMATTAG = 0x00000001;
inline constexpr DWORD ACM_FORMATDETAILSF_FORMAT = 0x00000001;

inline constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001;
inline constexpr DWORD ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002;

inline constexpr int ACMFORMATTAGDETAILS_FORMATTAG_CHARS = 48;
inline constexpr int ACMFORMATDETAILS_FORMAT_CHARS = 128;

// The size the Windows contract gives for the header; callers put it in cbStruct.
inline constexpr DWORD ACMSTREAMHEADER_CBSTRUCT = 84;

// ---- Records --------------------------------------------------------------------
struct ACMSTREAMHEADER {
    DWORD cbStruct;
    DWORD fdwStatus;
    DWORD_PTR dwUser;
    BYTE* pbSrc;
    DWORD cbSrcLength;
    DWORD cbSrcLengthUsed;
    DWORD_PTR dwSrcUser;
    BYTE* pbDst;
    DWORD cbDstLength;
    DWORD cbDstLengthUsed;
    DWORD_PTR dwDstUser;
    DWORD dwReservedDriver[10];
};
using LPACMSTREAMHEADER = ACMSTREAMHEADER*;

struct ACMFORMATTAGDETAILSW {
    DWORD cbStruct;
    DWORD dwFormatTagIndex;
    DWORD dwFormatTag;
    DWORD cbFormatSize;
    DWORD fdwSupport;
    DWORD cStandardFormats;
    wchar_t szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS];
};
using ACMFORMATTAGDETAILS = ACMFORMATTAGDETAILSW;

struct ACMFORMATDETAILSW {
    DWORD cbStruct;
    DWORD dwFormatIndex;
    DWORD dwFormatTag;
    DWORD fdwSupport;
    WAVEFORMATEX* pwfx;
    DWORD cbwfx;
    wchar_t szFormat[ACMFORMATDETAILS_FORMAT_CHARS];
};
using ACMFORMATDETAILS = ACMFORMATDETAILSW;

// ---- Functions ----------------------------------------------------------------
// High word major * 256 + minor.
DWORD acmGetVersion();

// Fills pwfxDst (cbwfxDst bytes) with a format pwfxSrc converts to, keeping
// the fields of pwfxDst that fdwSuggest names.
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst, DWORD cbwfxDst,
                          DWORD fdwSuggest);

// The display name of a format tag (ACM_FORMATTAGDETAILSF_FORMATTAG, dwFormatTag set)
// or of the n-th known tag (ACM_FORMATTAGDETAILSF_INDEX).
MMRESULT acmFormatTagDetails(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, DWORD fdwDetails);

// The description of pafd->pwfx ("22.050 kHz, 16 Bit, Mono"); ACM_FORMATDETAILSF_FORMAT only.
MMRESULT acmFormatDetails(HACMDRIVER had, ACMFORMATDETAILS* pafd, DWORD fdwDetails);

// phas may be null with ACM_STREAMOPENF_QUERY. No filters, no callbacks, no async.
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, DWORD_PTR dwCallback,
                       DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose);

// ACM_STREAMSIZEF_SOURCE: the destination bytes cbInput source bytes may need;
// ACM_STREAMSIZEF_DESTINATION: the source bytes that fit cbInput destination bytes.
MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, DWORD* pdwOutputBytes, DWORD fdwSize);

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwPrepare);
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwUnprepare);

// BLOCKALIGN: whole source blocks only. END: also emit what the stream holds back
// (repeat with empty input until nothing more comes). START: forget held state.
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwConvert);
MMRESULT acmStreamReset(HACMSTREAM has, DWORD fdwReset);
