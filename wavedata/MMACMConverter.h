#pragma once

// A chain member that converts the format of the data passing through it.
//
// TMMACMConverter turns its input into a destination format set on it
// (SetPWaveFormat) through compression-manager stages. TMMPCMConverter
// derives a PCM destination by itself: the source's own PCM form, or the
// bits, channels and rate set on it. When nothing must be converted both
// pass buffers through untouched and never open a stage.

#include "mmcore/MMDSPComponent.h"
#include "wavedata/MMACMSupport.h"
#include "wavedata/MMConvertTypes.h"

class TMMACMConverter : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(MMConvertTypes::TMMConvertQuality Quality READ Quality WRITE SetQuality)

public:
    explicit TMMACMConverter(QObject* AOwner = nullptr);
    ~TMMACMConverter() override;

    // While closed a change of Enabled re-derives the format at once, so that
    // downstream never expects converted data that is passed through raw;
    // while open it takes effect at the next format change. Quality takes
    // effect at the next format change, Loaded or Open.
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    TMMConvertQuality Quality() const { return FQuality; }
    void SetQuality(TMMConvertQuality Value) { FQuality = Value; }

    // Nothing must be converted, or the compression manager can do it.
    bool CanConvert() const { return !FMustConvert || FCanConvert; }
    bool MustConvert() const { return FMustConvert; }
    // The job while open and converting (nullptr otherwise).
    const TACMConvert* ConvertJob() const { return FPACMConvert; }

    // Raise EMMConverterError "Unable to convert to destination format" when
    // a conversion is needed and cannot be set up.
    virtual void Open();
    virtual void Close();
    virtual void Start();
    virtual void Stop();

    // The destination format.
    void SetPWaveFormat(const WAVEFORMATEX* Value) override;
    void ChangePWaveFormat(const WAVEFORMATEX* Value) override;

    void Opened() override;
    void Closed() override;
    void Started() override;
    void Stopped() override;
    void Restarted() override;
    void Reseting() override;

    void BufferReady(TMMWaveHdr* lpwh) override;
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override;

protected:
    void Loaded() override;
    // Sets FCvtFormat, the format produced when converting.
    virtual void SuggestFormat();
    // Whether the input must be converted even when SuggestFormat found no
    // format to convert it to (the input is then unusable downstream).
    virtual bool NeedsConversionWithoutFormat() const { return false; }
    void PrepareConversion();
    bool RealTime() const { return FQuality == cqLow; }
    bool Converting() const { return FMustConvert && FCanConvert && FPACMConvert; }
    [[noreturn]] void CannotConvert();

    bool FEnabled = true;
    bool FCvtOpen = false;     // the converter's own open state
    bool FCvtStarted = false;  // the converter's own started state
    bool FPauseInLoad = false;
    LONG FCvtBufSize = 0;
    WAVEFORMATEX* FPSrcFormat = nullptr;  // owned copies
    WAVEFORMATEX* FPDstFormat = nullptr;
    WAVEFORMATEX* FCvtFormat = nullptr;
    bool FMustConvert = false;
    bool FCanConvert = false;
    PACMConvert FPACMConvert = nullptr;
    bool FMoreBuffers = false;
    bool FDone = false;
    bool FDraining = false;  // the last end conversion gave output: the stages may hold more
    TMMConvertQuality FQuality = cqLow;
    TMMWaveHdr Ftwh{};
};
