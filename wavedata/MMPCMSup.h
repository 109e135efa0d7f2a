#pragma once

// PCM sample helpers: validity, building a PCM record, volume with clipping,
// 8/16-bit conversion, the combined layout and rate converter, and the peak
// and minimum/maximum finders. 8-bit samples are unsigned (128 is silence),
// 16-bit samples signed little-endian; channels interleaved, left first.
// Volumes are fixed point with 14 fraction bits: 16384 is unity.

#include "mmcore/WaveFormatRecord.h"
#include "platform/base/wintypes.h"

#include <cstdint>

inline constexpr LONG pcmUnityVolume = 16384;

// A present PCM record with 8 or 16 bits, 1, 2 or 4 channels and a rate of
// 4000 to 100000 Hz.
bool pcmIsValidFormat(const WAVEFORMATEX* pwfx);
void pcmBuildWaveHeader(WAVEFORMATEX* pwfx, WORD BitsPerSample, WORD Channels, DWORD SampleRate);

// The clip indicator: set by the single-sample helpers, the volume and the
// fade routines whenever they limit a value. Kept per thread, so that two
// output threads never disturb each other's result.
bool pcmClipIndicator();
void pcmSetClipIndicator(bool Value);

int16_t pcmSampleClip8(int16_t Value);
LONG pcmSampleClip16(LONG Value);
BYTE pcmSampleVolume8(BYTE Sample, LONG Volume);
int16_t pcmSampleVolume16(int16_t Sample, LONG Volume);

// Scale in place; true when any sample was clipped. Trailing bytes of a
// partial frame are left alone.
bool PCMVOLUME8M(char* Data, LONG Bytes, LONG Volume);
bool PCMVOLUME8S(char* Data, LONG Bytes, LONG VolumeL, LONG VolumeR);
bool PCMVOLUME16M(char* Data, LONG Bytes, LONG Volume);
bool PCMVOLUME16S(char* Data, LONG Bytes, LONG VolumeL, LONG VolumeR);
// False and no change for nullptr or a non-PCM record.
bool pcmVolume(const WAVEFORMATEX* pwfx, char* Data, LONG Bytes, LONG VolumeL, LONG VolumeR);

// Converts every 8-bit value to 16 bits or back, channels not considered;
// equal sizes copy. Returns the bytes written.
LONG pcmBitsPerSampleAlign(WORD DstBits, char* Dst, WORD SrcBits, const char* Src, LONG SrcBytes);

// Destination bytes PCMCONVERT writes for SrcBytes; -1 for a format it does
// not take (PCM, 1 or 2 channels, 8 or 16 bits, a rate other than 0).
LONG PCMCONVERTSIZEOUTPUTDATA(const WAVEFORMATEX* pwfxDst, const WAVEFORMATEX* pwfxSrc, LONG SrcBytes);
// Converts layout and rate; never writes more than PCMCONVERTSIZEOUTPUTDATA
// bytes. Returns the bytes written, -1 for a format it does not take, and
// SrcBytes itself when that is <= 0. The records may be the 16-byte PCM form.
LONG PCMCONVERT(const WAVEFORMATEX* pwfxDst, char* Dst, const WAVEFORMATEX* pwfxSrc, const char* Src,
                LONG SrcBytes);

// Per channel the first sample of largest magnitude (raw value, unsigned
// byte for 8-bit data); 0 without any sound. Mono gives both outputs equal.
void PCMFINDPEAK(const WAVEFORMATEX* pwfx, const char* Data, LONG Bytes, int16_t& PeakL, int16_t& PeakR);
// Per channel the lowest and highest value, earlier one first.
void PCMFINDMINMAX(const WAVEFORMATEX* pwfx, const char* Data, LONG Bytes, int16_t& FirstL, int16_t& SecondL,
                   int16_t& FirstR, int16_t& SecondR);
