#pragma once

// The wave format record helpers the component chain needs; the rest of the
// format and sample helpers live in the wave data layer above.

#include "platform/base/wintypes.h"

#include <cstddef>

// Bytes a copy of the record occupies: 0 for nullptr, 18 for PCM (whatever
// cbSize says), 18 + cbSize otherwise.
std::size_t wioSizeOfWaveFormat(const WAVEFORMATEX* pwfx);

// A new zero-filled block of wioSizeOfWaveFormat bytes with the same content;
// PCM copies get cbSize 0. nullptr for nullptr. Release with wioFreeWaveFormat.
// Raises EOutOfMemory when memory is exhausted.
WAVEFORMATEX* wioCopyWaveFormat(const WAVEFORMATEX* pwfx);

// Releases a copy made by wioCopyWaveFormat and sets the pointer to nullptr.
void wioFreeWaveFormat(WAVEFORMATEX*& pwfx);

// Fills Length bytes with the silence of the format: 128 for 8-bit, else 0.
void pcmFillSilence(const WAVEFORMATEX* pwfx, void* Data, DWORD Length);
