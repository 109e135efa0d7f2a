#pragma once

// The Windows records, scalar types and result codes that the components'
// contracts are written in. The stand-ins in platform/ implement functions
// over these; component code reads as it was described.

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using BOOL = int;
using FOURCC = DWORD;
using DWORD_PTR = std::uintptr_t;
using UINT_PTR = std::uintptr_t;
using HANDLE = void*;
using LPVOID = void*;

#ifndef TRUE
inline constexpr BOOL TRUE = 1;
#endif
#ifndef FALSE
inline constexpr BOOL FALSE = 0;
#endif

inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// ---- Window messages --------------------------------------------------------
struct HWND__;
using HWND = HWND__*;  // a hidden message window (platform/gui)
using WPARAM = UINT_PTR;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using INT_PTR = std::intptr_t;

// ---- Multimedia result codes --------------------------------------------
using MMRESULT = UINT;

inline constexpr MMRESULT MMSYSERR_BASE = 0;
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_NOTENABLED = 3;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
inline constexpr MMRESULT MMSYSERR_BADERRNUM = 9;
inline constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
inline constexpr MMRESULT MMSYSERR_INVALIDALIAS = 13;
inline constexpr MMRESULT MMSYSERR_BADDB = 14;
inline constexpr MMRESULT MMSYSERR_KEYNOTFOUND = 15;
inline constexpr MMRESULT MMSYSERR_READERROR = 16;
inline constexpr MMRESULT MMSYSERR_WRITEERROR = 17;
inline constexpr MMRESULT MMSYSERR_DELETEERROR = 18;
inline constexpr MMRESULT MMSYSERR_VALNOTFOUND = 19;
inline constexpr MMRESULT MMSYSERR_NODRIVERCB = 20;
inline constexpr MMRESULT MMSYSERR_LASTERROR = 20;

inline constexpr MMRESULT WAVERR_BASE = 32;
inline constexpr MMRESULT WAVERR_BADFORMAT = WAVERR_BASE + 0;
inline constexpr MMRESULT WAVERR_STILLPLAYING = WAVERR_BASE + 1;
inline constexpr MMRESULT WAVERR_UNPREPARED = WAVERR_BASE + 2;
inline constexpr MMRESULT WAVERR_SYNC = WAVERR_BASE + 3;
inline constexpr MMRESULT WAVERR_LASTERROR = WAVERR_BASE + 3;

inline constexpr MMRESULT MMIOERR_BASE = 256;
inline constexpr MMRESULT ACMERR_BASE = 512;

// ---- Wave format records ---------------------------------------------------
inline constexpr WORD WAVE_FORMAT_UNKNOWN = 0x0000;
inline constexpr WORD WAVE_FORMAT_PCM = 0x0001;
inline constexpr WORD WAVE_FORMAT_ADPCM = 0x0002;
inline constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr WORD WAVE_FORMAT_ALAW = 0x0006;
inline constexpr WORD WAVE_FORMAT_MULAW = 0x0007;
inline constexpr WORD WAVE_FORMAT_IMA_ADPCM = 0x0011;
inline constexpr WORD WAVE_FORMAT_DVI_ADPCM = 0x0011;
inline constexpr WORD WAVE_FORMAT_GSM610 = 0x0031;
inline constexpr WORD WAVE_FORMAT_MPEGLAYER3 = 0x0055;
inline constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
struct WAVEFORMAT {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
};

struct PCMWAVEFORMAT {
    WAVEFORMAT wf;
    WORD wBitsPerSample;
};

// 18 bytes in memory, followed by cbSize extra bytes in the same block.
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};

struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(PCMWAVEFORMAT) == 16);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);

using PWAVEFORMATEX = WAVEFORMATEX*;

// KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT: {0000xxxx-0000-0010-8000-00aa00389b71}
inline constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

// ---- Wave headers -----------------------------------------------------------
struct WAVEHDR {
    char* lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};
using PWAVEHDR = WAVEHDR*;

inline constexpr DWORD WHDR_DONE = 0x00000001;
inline constexpr DWORD WHDR_PREPARED = 0x00000002;
inline constexpr DWORD WHDR_BEGINLOOP = 0x00000004;
inline constexpr DWORD WHDR_ENDLOOP = 0x00000008;
inline constexpr DWORD WHDR_INQUEUE = 0x00000010;

// ---- Times ------------------------------------------------------------------
inline constexpr UINT TIME_MS = 0x0001;
inline constexpr UINT TIME_SAMPLES = 0x0002;
inline constexpr UINT TIME_BYTES = 0x0004;
inline constexpr UINT TIME_SMPTE = 0x0008;
inline constexpr UINT TIME_MIDI = 0x0010;
inline constexpr UINT TIME_TICKS = 0x0020;

struct MMTIME {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour, min, sec, frame, fps, dummy, pad[2];
        } smpte;
        struct {
            DWORD songptrpos;
        } midi;
    } u;
};

constexpr FOURCC mmioFOURCC(char a, char b, char c, char d) {
    return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
           (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) |
           (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}
