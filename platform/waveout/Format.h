#pragma once

// The sample formats a voice takes and their conversion to float stereo.

#include "platform/base/wintypes.h"

#include <cstddef>

enum class SampleKind { Unsigned8, Signed16, Signed24, Signed32, Float32 };

struct VoiceFormat {
    SampleKind kind = SampleKind::Signed16;
    unsigned channels = 2;
    unsigned rate = 48000;
    unsigned blockAlign = 4;
};

// MMSYSERR_NOERROR and the voice format for a format the mixer plays;
// MMSYSERR_INVALPARAM for no format, WAVERR_BADFORMAT for any other.
MMRESULT parseWaveFormat(const WAVEFORMATEX* format, VoiceFormat& out);

// Converts `frames` frames of `format` at `data` to interleaved stereo float.
// Channels beyond two are folded in: 3 (centre) to both sides at -3 dB,
// 4 (LFE) dropped, the rest to left/right by parity at -3 dB. Non-finite
// float samples become silence.
void convertToStereo(const VoiceFormat& format, const unsigned char* data, std::size_t frames, float* out);
