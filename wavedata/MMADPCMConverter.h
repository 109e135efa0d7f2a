#pragma once

// The chain's ADPCM decoder: turns Microsoft ADPCM (tag 2) and the IMA and
// DVI nibble streams (tags 3, 51, 518; 4 bits) into PCM by itself; every
// other format passes through untouched.

#include <QObject>
#include <vector>

#include "mmcore/MMDSPComponent.h"
#include "platform/base/Exception.h"
#include "wavedata/MMADPCM.h"
#include "wavedata/MMConvertTypes.h"

class EMMADPCMError : public Exception {
public:
    using Exception::Exception;
};

class TMMADPCMConverter : public TMMDSPComponent {
    Q_OBJECT
    Q_PROPERTY(TMMDSPComponent* Input READ GetInput WRITE SetInput)
    Q_PROPERTY(TMMDSPComponent* Output READ GetOutput WRITE SetOutput)
    Q_PROPERTY(MMConvertTypes::TMMBits BitLength READ BitLength WRITE SetBitLength)
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)

public:
    explicit TMMADPCMConverter(QObject* AOwner = nullptr);
    ~TMMADPCMConverter() override;

    bool CanConvert() const { return !FMustConvert || FCanConvert; }
    bool MustConvert() const { return FMustConvert; }
    TMMBits BitLength() const { return FBits; }
    void SetBitLength(TMMBits Value);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value) { FEnabled = Value; }  // takes effect at the next format change
    const WAVEFORMATEX* CvtFormat() const { return FCvtFormat; }
    DWORD SrcBufSize() const { return FSrcBufSize; }
    DWORD DstBufSize() const { return FDstBufSize; }

    void Open();
    void Close();
    void Start();
    void Stop();

    // The output format is always derived from the input.
    void SetPWaveFormat(const WAVEFORMATEX*) override {}
    void ChangePWaveFormat(const WAVEFORMATEX* Value) override;
    void Opened() override;
    void Closed() override;
    void Started() override;
    void Stopped() override;
    void Reseting() override;
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override;

protected:
    virtual void SuggestFormat();
    void Loaded() override;

private:
    void PrepareConversion();
    bool IsStream() const;  // an IMA or DVI nibble stream
    int Decode(int Bytes);

    bool FEnabled = true;
    bool FConverterOpen = false;
    bool FConverterStarted = false;
    WAVEFORMATEX* FPSrcFormat = nullptr;  // owned
    WAVEFORMATEX* FCvtFormat = nullptr;   // owned
    std::vector<BYTE> FPSrcBuffer, FPDstBuffer;
    DWORD FSrcBufSize = 0, FDstBufSize = 0;
    DWORD FNumConverted = 0, FNumRead = 0;
    bool FMustConvert = false, FCanConvert = false;
    bool FMoreBuffers = false, FDone = false;
    TMMWaveHdr Ftwh{};
    TMMBits FBits = b16Bit;
    TIMA_PARAMS FIMAParams{};
};
