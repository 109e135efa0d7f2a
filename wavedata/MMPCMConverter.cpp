#include "wavedata/MMPCMConverter.h"

#include "mmcore/WaveFormatRecord.h"
#include "wavedata/MMPCMSup.h"

#include <algorithm>

namespace {

constexpr int kMinSampleRate = 8000;
constexpr int kMaxSampleRate = 88200;

WORD BitsOf(TMMBits Bits) {
    return static_cast<WORD>((static_cast<int>(Bits) + 1) * 8);
}

WORD ChannelsOf(TMMMode Mode) {
    return static_cast<WORD>(static_cast<int>(Mode) + 1);
}

}  // namespace

TMMPCMConverter::TMMPCMConverter(QObject* AOwner) : TMMACMConverter(AOwner) {}

void TMMPCMConverter::SuggestFormat() {
    wioFreeWaveFormat(FCvtFormat);
    if (!FEnabled) return;
    WAVEFORMATEX w{};
    if (FPSrcFormat) {
        const WAVEFORMATEX s = acmSuggestPCMFormat(FPSrcFormat);
        if (FAutoConvert) {
            w = s;
        } else {
            const WORD bits = FRequired.testFlag(rpBits) ? BitsOf(FBits) : s.wBitsPerSample;
            const WORD channels = FRequired.testFlag(rpChannels) ? ChannelsOf(FMode) : s.nChannels;
            const DWORD rate =
                FRequired.testFlag(rpSampleRate) ? static_cast<DWORD>(FSampleRate) : s.nSamplesPerSec;
            pcmBuildWaveHeader(&w, bits, channels, rate);
        }
    } else {
        pcmBuildWaveHeader(&w, BitsOf(FBits), ChannelsOf(FMode), static_cast<DWORD>(FSampleRate));
    }
    if (w.wFormatTag != 0) FCvtFormat = wioCopyWaveFormat(&w);
}

void TMMPCMConverter::SetPWaveFormat(const WAVEFORMATEX* Value) {
    if (!Value || IsLoading() || IsDestroying()) return;
    if (!IsDesigning() && !pcmIsValidFormat(Value))
        throw EMMConverterError(QStringLiteral("Invalid WaveFormat"));
    TMMACMConverter::SetPWaveFormat(Value);
}

void TMMPCMConverter::SetWaveParams() {
    SuggestFormat();
    SetPWaveFormat(FCvtFormat ? FCvtFormat : FPSrcFormat);
}

void TMMPCMConverter::SetAutoConvert(bool Value) {
    if (Value == FAutoConvert) return;
    FAutoConvert = Value;
    SetWaveParams();
}

void TMMPCMConverter::SetSampleRate(int Value) {
    Value = std::clamp(Value, kMinSampleRate, kMaxSampleRate);
    if (Value == FSampleRate) return;
    FSampleRate = Value;
    SetWaveParams();
}

void TMMPCMConverter::SetBitLength(TMMBits Value) {
    if (Value == FBits) return;
    FBits = Value;
    SetWaveParams();
}

void TMMPCMConverter::SetMode(TMMMode Value) {
    if (Value != mMono && Value != mStereo) return;
    if (Value == FMode) return;
    FMode = Value;
    SetWaveParams();
}

void TMMPCMConverter::SetRequired(TMMRequiredParams Value) {
    if (Value == FRequired) return;
    FRequired = Value;
    SetWaveParams();
}
