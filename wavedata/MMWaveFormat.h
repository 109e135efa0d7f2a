#pragma once

// Format helpers around the wave format record: names, a one-line
// description, and conversions between bytes, samples (frames) and
// milliseconds. Size, copy and silence live in mmcore/WaveFormatRecord.h.
//
// The conversions need a record whose rate, average byte rate and block
// alignment are not 0; with a 0 divisor they give 0.

#include "mmcore/WaveFormatRecord.h"
#include "platform/base/wintypes.h"

#include <QString>
#include <cstdint>

// The name of the format tag; "Unknown" for nullptr or a tag not listed.
void wioGetFormatName(const WAVEFORMATEX* pwfx, QString& Name);
QString wioGetFormatName(const WAVEFORMATEX* pwfx);

// "44.100 kHz, 16 Bit, Stereo" with the locale's decimal and list
// separators; "Unknown" for nullptr.
void wioGetFormat(const WAVEFORMATEX* pwfx, QString& Description);
QString wioGetFormat(const WAVEFORMATEX* pwfx);
// The separators used by the last description.
QChar wioListSeparator();
QChar wioDecimalSeparator();

LONG wioBytesToSamples(const WAVEFORMATEX* pwfx, LONG Bytes);
// Rounded up to a whole block.
LONG wioSamplesToBytes(const WAVEFORMATEX* pwfx, LONG Samples);
LONG wioSamplesToTime(const WAVEFORMATEX* pwfx, LONG Samples);
LONG wioTimeToSamples(const WAVEFORMATEX* pwfx, LONG Time);
int64_t wioSamplesToBytes64(const WAVEFORMATEX* pwfx, int64_t Samples);
// Truncated, unlike the 32-bit form.
int64_t wioSamplesToTime64(const WAVEFORMATEX* pwfx, int64_t Samples);
