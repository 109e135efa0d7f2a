#pragma once

// The wave player's converter: derives a PCM destination by itself, either
// the source's own PCM form (AutoConvert) or the bits, channels and rate set
// on it, and converts to it through the compression manager.

#include "wavedata/MMACMConverter.h"
#include "wavedata/MMWave.h"

class TMMPCMConverter : public TMMACMConverter {
    Q_OBJECT
    Q_PROPERTY(bool AutoConvert READ AutoConvert WRITE SetAutoConvert)
    Q_PROPERTY(int SampleRate READ SampleRate WRITE SetSampleRate)
    Q_PROPERTY(MMConvertTypes::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_PROPERTY(MMWaveTypes::TMMMode Mode READ Mode WRITE SetMode)
    Q_PROPERTY(MMConvertTypes::TMMRequiredParams Required READ Required WRITE SetRequired)

public:
    explicit TMMPCMConverter(QObject* AOwner = nullptr);

    bool AutoConvert() const { return FAutoConvert; }
    void SetAutoConvert(bool Value);
    int SampleRate() const { return FSampleRate; }
    // Limited to 8000..88200.
    void SetSampleRate(int Value);
    TMMBits BitLength() const { return FBits; }
    void SetBitLength(TMMBits Value);
    TMMMode Mode() const { return FMode; }
    // Mono or stereo; mMultiChannel is ignored.
    void SetMode(TMMMode Value);
    TMMRequiredParams Required() const { return FRequired; }
    void SetRequired(TMMRequiredParams Value);

    // Raises EMMConverterError "Invalid WaveFormat" for anything but a valid
    // PCM format.
    void SetPWaveFormat(const WAVEFORMATEX* Value) override;

protected:
    void SuggestFormat() override;
    // A source with no PCM form cannot reach a PCM destination.
    bool NeedsConversionWithoutFormat() const override { return true; }
    void SetWaveParams();

    bool FAutoConvert = true;
    TMMBits FBits = b8Bit;
    TMMMode FMode = mMono;
    int FSampleRate = 11025;
    TMMRequiredParams FRequired = rpBits | rpChannels | rpSampleRate;
};
