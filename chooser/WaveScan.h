#pragma once

// The waveform's samples: a wave decoded to 8- or 16-bit PCM by the very
// converters a bell plays through (the ADPCM decoder, then the PCM
// converter over the compression manager), so that whatever a bell can
// play can be drawn. 8- and 16-bit PCM pass through untouched; every other
// width, float, extensible, G.711 and the ADPCM kinds become 16-bit PCM of
// the same channels and rate.

#include "platform/base/wintypes.h"
#include "wavedata/MMConvertTypes.h"

#include <array>
#include <cstdint>
#include <memory>

class TMMADPCMConverter;
class TMMDSPComponent;
class TMMPCMConverter;
class TMMWave;
class TWaveReader;

class TWaveScan {
public:
    // A chain over Wave; nothing is read before Open.
    explicit TWaveScan(TMMWave* Wave);
    ~TWaveScan();
    TWaveScan(const TWaveScan&) = delete;
    TWaveScan& operator=(const TWaveScan&) = delete;

    // What Read gives: 8- or 16-bit PCM of one or two channels; nullptr when
    // the converters make no such PCM of this wave (then nothing is drawn).
    const WAVEFORMATEX* Format() const;

    // Opens and starts the chain; the converters' errors pass out. The wave
    // must be open and at the position to read from.
    void Open();
    // The decoded bytes the wave's whole data makes, as the converters size
    // their output (after Open).
    std::int64_t Bytes() const { return FBytes; }
    // Up to Count decoded bytes; 0 once the data has ended.
    LONG Read(char* Buffer, LONG Count);

private:
    std::array<TMMDSPComponent*, 3> Members() const;

    TMMWave* FWave;
    std::unique_ptr<TWaveReader> FReader;
    std::unique_ptr<TMMADPCMConverter> FADPCM;
    std::unique_ptr<TMMPCMConverter> FPCM;
    std::int64_t FBytes = 0;
    bool FOpen = false;
    bool FEnded = false;
};
