#include "chooser/WaveScan.h"

#include "mmcore/MMDSPComponent.h"
#include "platform/acm/acm.h"
#include "wavedata/MMACMSupport.h"
#include "wavedata/MMADPCMConverter.h"
#include "wavedata/MMPCMConverter.h"
#include "wavedata/MMWave.h"

#include <algorithm>

// The head of the chain: the wave's bytes from where it stands, as the
// wave file source gives them while playing.
class TWaveReader final : public TMMDSPComponent {
public:
    explicit TWaveReader(TMMWave* Wave) : FWave(Wave) {
        SetOutputValid(true);
        SetPWaveFormat(Wave->PWaveFormat());
    }

    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        const LONG got = FWave->ReadDataBytes(lpwh->lpData, static_cast<LONG>(lpwh->dwBufferLength));
        lpwh->dwBytesRecorded = static_cast<DWORD>(std::max<LONG>(got, 0));
        MoreBuffers = got > 0 && FWave->BytesLeft() > 0;
    }

private:
    TMMWave* FWave;
};

namespace {

bool Drawable(const WAVEFORMATEX* Format) {
    return Format && Format->wFormatTag == WAVE_FORMAT_PCM && Format->nChannels >= 1 &&
           Format->nChannels <= 2 && (Format->wBitsPerSample == 8 || Format->wBitsPerSample == 16) &&
           Format->nBlockAlign == Format->nChannels * Format->wBitsPerSample / 8;
}

}  // namespace

TWaveScan::TWaveScan(TMMWave* Wave) : FWave(Wave) {
    const WAVEFORMATEX* source = Wave ? Wave->PWaveFormat() : nullptr;
    if (!source) return;
    FReader = std::make_unique<TWaveReader>(Wave);
    FADPCM = std::make_unique<TMMADPCMConverter>();
    FADPCM->SetInput(FReader.get());
    // The decoder takes only its own kinds; everything else goes on to the
    // PCM converter as it is (as in a bell's chain).
    if (!FADPCM->CanConvert()) {
        FADPCM->SetEnabled(false);
        FReader->SetPWaveFormat(FReader->GetPWaveFormat());
    }
    FPCM = std::make_unique<TMMPCMConverter>();
    // 8-bit PCM is drawn from its own bytes; everything else as 16 bits.
    const bool eight = source->wFormatTag == WAVE_FORMAT_PCM && source->wBitsPerSample == 8;
    FPCM->SetAutoConvert(false);
    FPCM->SetRequired(rpBits);
    FPCM->SetBitLength(eight ? b8Bit : b16Bit);
    FPCM->SetInput(FADPCM.get());
}

TWaveScan::~TWaveScan() {
    if (!FOpen) return;
    for (TMMDSPComponent* member : Members()) {
        member->Stopped();
        member->Closed();
    }
}

std::array<TMMDSPComponent*, 3> TWaveScan::Members() const {
    return {FReader.get(), FADPCM.get(), FPCM.get()};
}

const WAVEFORMATEX* TWaveScan::Format() const {
    if (!FPCM || !FADPCM->CanConvert() || !FPCM->CanConvert()) return nullptr;
    const WAVEFORMATEX* format = FPCM->GetPWaveFormat();
    return Drawable(format) ? format : nullptr;
}

void TWaveScan::Open() {
    if (FOpen || !Format()) return;
    FOpen = true;  // the destructor closes whatever opened
    // As a device walks its chain: from the head down.
    for (TMMDSPComponent* member : Members()) member->Opened();
    for (TMMDSPComponent* member : Members()) member->Started();

    // Each converter's output for its input, in the proportion its own
    // buffers of whole blocks give.
    std::int64_t bytes = FWave->DataSize();
    if (FADPCM->Enabled() && FADPCM->MustConvert() && FADPCM->SrcBufSize() > 0)
        bytes = bytes * FADPCM->DstBufSize() / FADPCM->SrcBufSize();
    if (const TACMConvert* job = FPCM->ConvertJob())
        for (const auto& stage : job->Streams) {
            DWORD out = 0;
            const auto in = static_cast<DWORD>(stage->dwSrcBufferSize);
            if (in > 0 &&
                acmStreamSize(stage->acmStream, in, &out, ACM_STREAMSIZEF_SOURCE) == MMSYSERR_NOERROR)
                bytes = bytes * out / in;
        }
    FBytes = bytes;
}

LONG TWaveScan::Read(char* Buffer, LONG Count) {
    if (!FOpen || FEnded || Count <= 0) return 0;
    LONG got = 0;
    // A converter may hand over less than asked before its input ends.
    while (got < Count && !FEnded) {
        TMMWaveHdr header{};
        header.lpData = Buffer + got;
        header.dwBufferLength = static_cast<DWORD>(Count - got);
        bool more = false;
        FPCM->BufferLoad(&header, more);
        const LONG n = static_cast<LONG>(std::min(header.dwBytesRecorded, header.dwBufferLength));
        got += n;
        if (n <= 0 || !more) FEnded = true;
    }
    return got;
}
