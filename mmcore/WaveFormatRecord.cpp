#include "mmcore/WaveFormatRecord.h"

#include "mmcore/MMUtils.h"

#include <cstring>

std::size_t wioSizeOfWaveFormat(const WAVEFORMATEX* pwfx) {
    if (!pwfx) return 0;
    if (pwfx->wFormatTag == WAVE_FORMAT_PCM) return sizeof(WAVEFORMATEX);
    return sizeof(WAVEFORMATEX) + pwfx->cbSize;
}

WAVEFORMATEX* wioCopyWaveFormat(const WAVEFORMATEX* pwfx) {
    if (!pwfx) return nullptr;
    const std::size_t size = wioSizeOfWaveFormat(pwfx);
    auto* copy = static_cast<WAVEFORMATEX*>(GlobalAllocMem(size));
    std::memcpy(copy, pwfx, size);
    if (copy->wFormatTag == WAVE_FORMAT_PCM) copy->cbSize = 0;
    return copy;
}

void wioFreeWaveFormat(WAVEFORMATEX*& pwfx) {
    GlobalFreeMem(pwfx);
}

void pcmFillSilence(const WAVEFORMATEX* pwfx, void* Data, DWORD Length) {
    if (!pwfx || !Data || Length == 0) return;
    std::memset(Data, pwfx->wBitsPerSample == 8 ? 0x80 : 0, Length);
}
