#pragma once

// ADPCM decoding routines: Microsoft ADPCM in blocks (tag 2) and the two
// headerless nibble streams of the IMA family (IMA steps, DVI steps).
// Plain, table-driven functions; the ADPCM converter component uses them.

#include <array>
#include <cstdint>

#include "platform/acm/ImaTables.h"
#include "platform/base/wintypes.h"

inline constexpr int MSADPCM_NUM_COEF = 7;
inline constexpr int MSADPCM_MAX_CHANNELS = 4;

#pragma pack(push, 1)
struct TADPCMCOEFSET {
    std::int16_t iCoef1;
    std::int16_t iCoef2;
};

// The Microsoft ADPCM format record as stored in files (cbSize 32).
struct TADPCMWaveFormat {
    WAVEFORMATEX wfx;
    WORD wSamplesPerBlock;
    WORD wNumCoef;
    TADPCMCOEFSET aCoef[MSADPCM_NUM_COEF];
};
#pragma pack(pop)
static_assert(sizeof(TADPCMWaveFormat) == 50);

// Stream decoder state: code slot, step index (0..88) and last value for the
// left (or only) and the right channel.
struct TIMA_PARAMS {
    std::int16_t lIMA_NIBBLE;
    std::int16_t lSTEP_NO;
    std::int16_t lPCM_VALUE;
    std::int16_t rIMA_NIBBLE;
    std::int16_t rSTEP_NO;
    std::int16_t rPCM_VALUE;
};

extern const std::int16_t gaiP4[16];
extern const std::int16_t gaiCoef1[MSADPCM_NUM_COEF];
extern const std::int16_t gaiCoef2[MSADPCM_NUM_COEF];
// 89 rows of 8 differences, one per step index and code magnitude.
extern const std::array<std::array<std::int16_t, 8>, 89> adpcmIMADiffTable;

// F must hold 18 + F->cbSize bytes. Besides tag 2, 4 bits, 1..4 channels and
// the seven standard coefficient pairs, the block geometry must be possible:
// a header per channel fits nBlockAlign and wSamplesPerBlock (at least 2)
// fits in it.
bool adpcmIsValidFormat(const WAVEFORMATEX* F);

// PCM source: fills Dst as Microsoft ADPCM. Valid Microsoft ADPCM source:
// fills Dst->wfx as PCM of Bits (16 when below 1). Rate or Channels below 1
// take the source's. False (Dst untouched) otherwise.
bool adpcmBuildFormatHeader(const WAVEFORMATEX* Src, TADPCMWaveFormat* Dst, int Bits, int Rate, int Channels);

// The PCM bytes adpcmDecode4Bit may write for srcLen source bytes.
std::int64_t adpcmDecodedSize(const WAVEFORMATEX* SrcFmt, const WAVEFORMATEX* DstFmt, std::int64_t srcLen);

// Decodes whole Microsoft ADPCM blocks (and what a short last block holds)
// to 8- or 16-bit PCM of DstFmt; never writes more than dstCapacity bytes.
// A predictor index out of range makes the whole call decode to nothing (0).
int adpcmDecode4Bit(const WAVEFORMATEX* SrcFmt, const WAVEFORMATEX* DstFmt, const BYTE* src, int len,
                    BYTE* dst, int dstCapacity);

// Headerless nibble streams; dst needs 4 * len bytes (16-bit little-endian
// samples). The state continues the stream from one call to the next.
int WMIMATOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params);
int WSIMATOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params);
int WMDVITOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params);
int WSDVITOPCM(const BYTE* src, BYTE* dst, int len, TIMA_PARAMS& params);

// One code through each step rule; exposed for encoders that must track the
// decoder exactly.
std::int16_t adpcmIMAStep(int code, std::int16_t& stepNo, std::int16_t& value);
std::int16_t adpcmDVIStep(int code, std::int16_t& stepNo, std::int16_t& value);
