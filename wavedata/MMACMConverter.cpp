#include "wavedata/MMACMConverter.h"

#include "mmcore/WaveFormatRecord.h"

#include <algorithm>
#include <cstring>

namespace {

const QString kCannotConvert = QStringLiteral("Unable to convert to destination format");

// Conversions in a row that neither give output nor take the input in mean
// the stages cannot convert this input.
constexpr int kMaxFailedConversions = 5;

// Input block of a job; the job's own buffer is four times as large.
constexpr LONG kConvertBlock = 8192;

}  // namespace

TMMACMConverter::TMMACMConverter(QObject* AOwner) : TMMDSPComponent(AOwner) {}

TMMACMConverter::~TMMACMConverter() {
    Destroying();
    Close();
    wioFreeWaveFormat(FPSrcFormat);
    wioFreeWaveFormat(FPDstFormat);
    wioFreeWaveFormat(FCvtFormat);
}

void TMMACMConverter::CannotConvert() {
    throw EMMConverterError(kCannotConvert);
}

void TMMACMConverter::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    if (!FCvtOpen && !IsLoading() && !IsDestroying()) PrepareConversion();
}

// ---- Formats ------------------------------------------------------------------

void TMMACMConverter::SuggestFormat() {
    wioFreeWaveFormat(FCvtFormat);
    if (FEnabled) FCvtFormat = wioCopyWaveFormat(FPDstFormat);
}

void TMMACMConverter::PrepareConversion() {
    FMustConvert = false;
    FCanConvert = false;
    if (FPSrcFormat && FEnabled) {
        SuggestFormat();
        if (acmMustConvert(FPSrcFormat, FCvtFormat) || (!FCvtFormat && NeedsConversionWithoutFormat())) {
            FMustConvert = true;
            if (FCvtFormat && acmQueryConvert(FPSrcFormat, FCvtFormat, RealTime())) {
                FCanConvert = true;
                TMMDSPComponent::SetPWaveFormat(FCvtFormat);
                return;
            }
        }
    }
    TMMDSPComponent::SetPWaveFormat(FPSrcFormat);
}

void TMMACMConverter::SetPWaveFormat(const WAVEFORMATEX* Value) {
    if (!Value || IsLoading() || IsDestroying()) return;
    WAVEFORMATEX* copy = wioCopyWaveFormat(Value);  // Value may be one of our own records
    wioFreeWaveFormat(FPDstFormat);
    FPDstFormat = copy;
    PrepareConversion();
}

void TMMACMConverter::ChangePWaveFormat(const WAVEFORMATEX* Value) {
    if (Value && Value == FPSrcFormat) return;
    if (!Value && !FPSrcFormat) {
        PrepareConversion();
        return;
    }
    WAVEFORMATEX* copy = wioCopyWaveFormat(Value);
    wioFreeWaveFormat(FPSrcFormat);
    FPSrcFormat = copy;
    PrepareConversion();
}

void TMMACMConverter::Loaded() {
    // The base would take our own format as a new destination; deriving it
    // again here passes it downstream just the same.
    TMMCustomDSPComponent::Loaded();
    PrepareConversion();
}

// ---- Life cycle -----------------------------------------------------------------

void TMMACMConverter::Open() {
    if (FCvtOpen || !FEnabled) return;
    if (FMustConvert) {
        if (FCanConvert) {
            FCvtBufSize =
                std::min<LONG>(kConvertBlock, std::max<LONG>(static_cast<LONG>(GetBufferSize()), 65536));
            FPACMConvert = acmBeginConvert(FPSrcFormat, GetPWaveFormat(), nullptr, FCvtBufSize, RealTime());
            if (!FPACMConvert) FCanConvert = false;
        }
        if (!FCanConvert) CannotConvert();
    }
    FCvtOpen = true;
}

void TMMACMConverter::Close() {
    if (!FCvtOpen) return;
    Stop();
    FCvtOpen = false;
    acmDoneConvert(FPACMConvert);
}

void TMMACMConverter::Start() {
    if (!FCvtOpen || FCvtStarted) return;
    FCvtStarted = true;
    FPauseInLoad = false;
    FMoreBuffers = false;
    FDone = false;
    FDraining = false;
}

void TMMACMConverter::Stop() {
    if (!FCvtStarted) return;
    FCvtStarted = false;
    if (FPACMConvert) FPACMConvert->dwBytesRead = FPACMConvert->dwBytesConverted;
}

void TMMACMConverter::Opened() {
    Open();
    TMMDSPComponent::Opened();
}

void TMMACMConverter::Closed() {
    Close();
    TMMDSPComponent::Closed();
}

void TMMACMConverter::Started() {
    TMMDSPComponent::Started();
    Start();
}

void TMMACMConverter::Stopped() {
    Stop();
    TMMDSPComponent::Stopped();
}

void TMMACMConverter::Restarted() {
    FPauseInLoad = false;
    TMMDSPComponent::Restarted();
}

void TMMACMConverter::Reseting() {
    TMMDSPComponent::Reseting();
    if (FPACMConvert) {
        acmFlushConvert(FPACMConvert);
        FDone = false;
        FDraining = false;
    }
}

// ---- Data -------------------------------------------------------------------------

void TMMACMConverter::BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) {
    if (!FCvtOpen || !FCvtStarted) {
        TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
        return;
    }
    if (!GetInput()) return;
    if (!Converting()) {
        TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
        return;
    }

    const bool wasPaused = IsPaused();
    lpwh->dwBytesRecorded = std::min(lpwh->dwBytesRecorded, lpwh->dwBufferLength);
    LONG remaining = static_cast<LONG>(lpwh->dwBufferLength - lpwh->dwBytesRecorded);
    int failures = 0;
    bool wrapped = false;

    while (FPACMConvert) {
        TACMConvert& job = *FPACMConvert;
        const LONG take = std::min(job.dwBytesConverted - job.dwBytesRead, remaining);
        if (take > 0) {
            std::memcpy(lpwh->lpData + lpwh->dwBytesRecorded, job.lpDstBuffer + job.dwBytesRead,
                        static_cast<size_t>(take));
            job.dwBytesRead += take;
            lpwh->dwBytesRecorded += static_cast<DWORD>(take);
            remaining -= take;
        }
        // The source has just wrapped round to its start: the buffer ends here.
        if (lpwh->LoopRec.dwLooping) {
            wrapped = true;
            break;
        }
        if (!FCvtStarted || FPauseInLoad || remaining == 0) break;

        LONG n = 0;
        if (!FDone) {
            Ftwh = TMMWaveHdr{};
            Ftwh.lpData = reinterpret_cast<char*>(job.lpSrcBuffer);
            Ftwh.dwBufferLength = static_cast<DWORD>(job.dwSrcBufferSize);
            Ftwh.LoopRec = lpwh->LoopRec;
            FMoreBuffers = false;
            TMMDSPComponent::BufferLoad(&Ftwh, FMoreBuffers);
            if (!wasPaused && IsPaused()) FPauseInLoad = true;
            // An input that claims more than it was given is not trusted beyond the buffer.
            n = static_cast<LONG>(std::min(Ftwh.dwBytesRecorded, Ftwh.dwBufferLength));
            lpwh->LoopRec = Ftwh.LoopRec;
            if (!FMoreBuffers || n <= 0) FDone = true;
        }
        if (FPauseInLoad && !FDone) {
            // The source has moved on: what it gave is converted now and
            // waits for the pull after the restart, instead of being lost.
            if (n > 0) acmDoConvert(FPACMConvert, n);
            break;
        }
        if (!FPACMConvert || !FCvtStarted) break;

        if (n > 0) {
            // The last input goes straight into an end conversion: feeding the
            // same bytes to a second call would play them twice.
            if (FDone) {
                const LONG out = acmEndConvert(FPACMConvert, n);
                FDraining = out > 0;
                if (out <= 0) break;
                continue;
            }
            // A stage that takes the input in without output yet (a resampler
            // filling up, a part of a block) is making progress, not failing.
            const LONG out = acmDoConvert(FPACMConvert, n);
            if (out > 0 || (out == 0 && (FPACMConvert->bQueued || FPACMConvert->bPending))) {
                failures = 0;
                continue;
            }
            if (++failures >= kMaxFailedConversions) {
                FCanConvert = false;
                CannotConvert();
            }
            continue;
        }
        // Input exhausted: drain what the stages hold back.
        const LONG out = acmEndConvert(FPACMConvert, 0);
        FDraining = out > 0;
        if (out <= 0) break;
    }

    if (!wrapped && FCvtStarted && FPauseInLoad && !FDone && lpwh->dwBytesRecorded == 0) {
        // Keeps the device's ring turning while it is paused.
        FillSilence(lpwh);
        lpwh->dwBytesRecorded = std::min<DWORD>(4, lpwh->dwBufferLength);
    }

    const bool waiting = FPACMConvert && FPACMConvert->dwBytesConverted > FPACMConvert->dwBytesRead;
    MoreBuffers =
        FMoreBuffers || waiting || (FPACMConvert && FPACMConvert->bPending) || IsPaused() || FDraining;
}

void TMMACMConverter::BufferReady(TMMWaveHdr* lpwh) {
    if (!FCvtOpen || !FCvtStarted || !Converting()) {
        TMMDSPComponent::BufferReady(lpwh);
        return;
    }
    if (!GetOutput()) return;

    const LONG total = static_cast<LONG>(std::min(lpwh->dwBytesRecorded, lpwh->dwBufferLength));
    LONG offset = 0;
    try {
        while (offset < total && FPACMConvert && FPACMConvert->dwSrcBufferSize > 0) {
            TACMConvert& job = *FPACMConvert;
            const LONG piece = std::min(total - offset, job.dwSrcBufferSize);
            std::memcpy(job.lpSrcBuffer, lpwh->lpData + offset, static_cast<size_t>(piece));
            offset += piece;
            if (acmDoConvert(&job, piece) <= 0 && !job.bPending && !job.bQueued) CannotConvert();
            const LONG chunk = std::max<LONG>(static_cast<LONG>(GetBufferSize()), 1);
            while (FCvtStarted && FPACMConvert &&
                   FPACMConvert->dwBytesConverted > FPACMConvert->dwBytesRead) {
                TACMConvert& out = *FPACMConvert;
                const LONG len = std::min(out.dwBytesConverted - out.dwBytesRead, chunk);
                Ftwh = TMMWaveHdr{};
                Ftwh.lpData = reinterpret_cast<char*>(out.lpDstBuffer + out.dwBytesRead);
                Ftwh.dwBufferLength = static_cast<DWORD>(len);
                Ftwh.dwBytesRecorded = static_cast<DWORD>(len);
                out.dwBytesRead += len;
                TMMDSPComponent::BufferReady(&Ftwh);
            }
        }
    } catch (...) {
        FCanConvert = false;
        throw;
    }
}
