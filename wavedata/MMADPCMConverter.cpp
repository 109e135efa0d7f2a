#include "wavedata/MMADPCMConverter.h"

#include <algorithm>
#include <cstring>

#include "mmcore/WaveFormatRecord.h"
#include "wavedata/MMPCMSup.h"

namespace {

constexpr DWORD kLoadSize = 4096;
constexpr WORD kTagImaStream = 3;
constexpr WORD kTagDviStream = 51;
constexpr WORD kTagDviStream2 = 518;

int BitsOf(TMMBits bits) {
    return (static_cast<int>(bits) + 1) * 8;
}

}  // namespace

TMMADPCMConverter::TMMADPCMConverter(QObject* AOwner) : TMMDSPComponent(AOwner) {}

TMMADPCMConverter::~TMMADPCMConverter() {
    Destroying();
    Close();
    wioFreeWaveFormat(FPSrcFormat);
    wioFreeWaveFormat(FCvtFormat);
}

bool TMMADPCMConverter::IsStream() const {
    if (!FPSrcFormat) return false;
    const WORD tag = FPSrcFormat->wFormatTag;
    // Tag 3 is also IEEE float; only a 4-bit record is a nibble stream.
    if (tag == kTagImaStream) return FPSrcFormat->wBitsPerSample == 4;
    return tag == kTagDviStream || tag == kTagDviStream2;
}

void TMMADPCMConverter::SuggestFormat() {
    wioFreeWaveFormat(FCvtFormat);
    if (!FPSrcFormat || !FEnabled) return;
    if (FPSrcFormat->wFormatTag == WAVE_FORMAT_ADPCM) {
        TADPCMWaveFormat w{};
        if (adpcmBuildFormatHeader(FPSrcFormat, &w, BitsOf(FBits), -1, -1))
            FCvtFormat = wioCopyWaveFormat(&w.wfx);
    } else if (IsStream() && (FPSrcFormat->nChannels == 1 || FPSrcFormat->nChannels == 2)) {
        WAVEFORMATEX w{};
        pcmBuildWaveHeader(&w, static_cast<WORD>(BitsOf(FBits)), FPSrcFormat->nChannels,
                           FPSrcFormat->nSamplesPerSec);
        FCvtFormat = wioCopyWaveFormat(&w);
    }
}

void TMMADPCMConverter::PrepareConversion() {
    FMustConvert = false;
    FCanConvert = false;
    if (FPSrcFormat && FEnabled && FPSrcFormat->wFormatTag != WAVE_FORMAT_PCM) {
        FMustConvert = true;
        SuggestFormat();
        if (FCvtFormat && FCvtFormat->wFormatTag == WAVE_FORMAT_PCM) {
            FCanConvert = true;
            TMMDSPComponent::SetPWaveFormat(FCvtFormat);
            return;
        }
    }
    TMMDSPComponent::SetPWaveFormat(FPSrcFormat);
}

void TMMADPCMConverter::ChangePWaveFormat(const WAVEFORMATEX* Value) {
    if (Value == FPSrcFormat) return;
    wioFreeWaveFormat(FPSrcFormat);
    FPSrcFormat = wioCopyWaveFormat(Value);
    PrepareConversion();
}

void TMMADPCMConverter::SetBitLength(TMMBits Value) {
    if (Value == FBits) return;
    FBits = Value;
    PrepareConversion();
}

void TMMADPCMConverter::Loaded() {
    TMMDSPComponent::Loaded();
    PrepareConversion();
}

void TMMADPCMConverter::Open() {
    if (FConverterOpen || !FEnabled) return;
    if (FMustConvert && FCanConvert) {
        if (FPSrcFormat->wFormatTag == WAVE_FORMAT_ADPCM) {
            // Whole blocks per load, so that no block is split between loads.
            const DWORD block = FPSrcFormat->nBlockAlign;
            FSrcBufSize = std::max<DWORD>(kLoadSize / block, 1) * block;
            FDstBufSize = static_cast<DWORD>(adpcmDecodedSize(FPSrcFormat, FCvtFormat, FSrcBufSize));
        } else {
            FSrcBufSize = kLoadSize;
            FDstBufSize = 4 * kLoadSize;
        }
        try {
            FPSrcBuffer.assign(FSrcBufSize, 0);
            FPDstBuffer.assign(FDstBufSize, 0);
        } catch (const std::bad_alloc&) {
            FCanConvert = false;
        }
        if (FDstBufSize == 0) FCanConvert = false;
    }
    if (FMustConvert && !FCanConvert) throw EMMADPCMError("Unable to convert to destination format");
    FConverterOpen = true;
}

void TMMADPCMConverter::Close() {
    if (!FConverterOpen) return;
    Stop();
    FConverterOpen = false;
    std::vector<BYTE>().swap(FPSrcBuffer);
    std::vector<BYTE>().swap(FPDstBuffer);
}

void TMMADPCMConverter::Start() {
    if (!FConverterOpen || FConverterStarted) return;
    FConverterStarted = true;
    FMoreBuffers = false;
    FDone = false;
    FNumRead = FNumConverted = 0;
    FIMAParams = {};
}

void TMMADPCMConverter::Stop() {
    if (!FConverterStarted) return;
    FConverterStarted = false;
    FNumRead = FNumConverted;
}

void TMMADPCMConverter::Opened() {
    Open();
    TMMDSPComponent::Opened();
}

void TMMADPCMConverter::Closed() {
    Close();
    TMMDSPComponent::Closed();
}

void TMMADPCMConverter::Started() {
    TMMDSPComponent::Started();
    Start();
}

void TMMADPCMConverter::Stopped() {
    Stop();
    TMMDSPComponent::Stopped();
}

void TMMADPCMConverter::Reseting() {
    TMMDSPComponent::Reseting();
    FNumRead = FNumConverted;
    FIMAParams = {};
}

int TMMADPCMConverter::Decode(int Bytes) {
    BYTE* src = FPSrcBuffer.data();
    BYTE* dst = FPDstBuffer.data();
    if (FPSrcFormat->wFormatTag == WAVE_FORMAT_ADPCM)
        return adpcmDecode4Bit(FPSrcFormat, FCvtFormat, src, Bytes, dst, static_cast<int>(FDstBufSize));
    const bool ima = FPSrcFormat->wFormatTag == kTagImaStream;
    int count = 0;
    if (FPSrcFormat->nChannels == 1)
        count = (ima ? WMIMATOPCM : WMDVITOPCM)(src, dst, Bytes, FIMAParams);
    else if (FPSrcFormat->nChannels == 2)
        count = (ima ? WSIMATOPCM : WSDVITOPCM)(src, dst, Bytes, FIMAParams);
    if (count > 0 && FBits == b8Bit)
        count = pcmBitsPerSampleAlign(8, reinterpret_cast<char*>(dst), 16, reinterpret_cast<const char*>(dst),
                                      count);
    return count;
}

void TMMADPCMConverter::BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) {
    if (!FConverterOpen || !FConverterStarted || !FEnabled) {
        TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
        return;
    }
    if (!GetInput()) return;
    lpwh->dwBytesRecorded = 0;
    DWORD remaining = lpwh->dwBufferLength;
    if (!(FMustConvert && FCanConvert)) {
        TMMDSPComponent::BufferLoad(lpwh, MoreBuffers);
        return;
    }
    for (;;) {
        const DWORD n = std::min(FNumConverted - FNumRead, remaining);
        if (n > 0) {
            std::memcpy(lpwh->lpData + lpwh->dwBytesRecorded, FPDstBuffer.data() + FNumRead, n);
            FNumRead += n;
            lpwh->dwBytesRecorded += n;
            remaining -= n;
        }
        if (lpwh->LoopRec.dwLooping != 0 || !FConverterStarted || remaining == 0) break;

        LONG got = 0;
        if (!FDone) {
            Ftwh = TMMWaveHdr{};
            Ftwh.lpData = reinterpret_cast<char*>(FPSrcBuffer.data());
            Ftwh.dwBufferLength = FSrcBufSize;
            Ftwh.LoopRec = lpwh->LoopRec;
            FMoreBuffers = false;
            TMMDSPComponent::BufferLoad(&Ftwh, FMoreBuffers);
            got = static_cast<LONG>(std::min(Ftwh.dwBytesRecorded, FSrcBufSize));
            lpwh->LoopRec = Ftwh.LoopRec;
            if (!FMoreBuffers || got <= 0) FDone = true;
        }
        if (got <= 0 || !FConverterStarted) break;

        const int count = Decode(got);
        if (count <= 0) {
            if (FDone) break;
            // Undecodable input: later loads pass through undecoded.
            FCanConvert = false;
            return;
        }
        if (!FConverterStarted) break;
        FNumConverted = static_cast<DWORD>(count);
        FNumRead = 0;
    }
    MoreBuffers = FMoreBuffers || FNumConverted > FNumRead;
}
