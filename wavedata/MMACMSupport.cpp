#include "wavedata/MMACMSupport.h"

#include <algorithm>
#include <cstring>
#include <new>

bool acmDLLLoaded = true;

bool acmUsable() {
    return acmDLLLoaded && (acmGetVersion() >> 16) >= 0x0200;
}

TACMStream::~TACMStream() {
    if (!acmStream) return;
    ACMSTREAMHEADER& h = acmStreamHeader;
    if (h.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) {
        h.cbSrcLength = static_cast<DWORD>(h.dwSrcUser);
        h.cbDstLength = static_cast<DWORD>(h.dwDstUser);
        acmStreamUnprepareHeader(acmStream, &h, 0);
    }
    acmStreamClose(acmStream, 0);
}

namespace {

bool IsPcm(const WAVEFORMATEX* f) {
    return f && f->wFormatTag == WAVE_FORMAT_PCM;
}

DWORD QueryFlags(bool RealTime) {
    return ACM_STREAMOPENF_QUERY | (RealTime ? 0 : ACM_STREAMOPENF_NONREALTIME);
}

bool CanOpen(const WAVEFORMATEX* Src, const WAVEFORMATEX* Dst, DWORD Flags) {
    return acmStreamOpen(nullptr, nullptr, Src, Dst, nullptr, 0, 0, Flags) == MMSYSERR_NOERROR;
}

// Room for any format record the compression manager may suggest.
struct WorkFormat {
    static constexpr DWORD kSize = 1025;
    alignas(WAVEFORMATEX) BYTE Bytes[kSize + 7]{};
    WAVEFORMATEX* Get() { return reinterpret_cast<WAVEFORMATEX*>(Bytes); }
};

// An intermediate format for when no single stage goes from Src to Dst:
// Dst's channels and rate, reached from Src first.
bool FindIntermediate(const WAVEFORMATEX* Src, const WAVEFORMATEX* Dst, DWORD Flags, WorkFormat& W) {
    std::memset(W.Bytes, 0, sizeof W.Bytes);
    WAVEFORMATEX* w = W.Get();
    if (IsPcm(Src)) {
        if (Src->nChannels == Dst->nChannels && Src->nSamplesPerSec == Dst->nSamplesPerSec) return false;
        w->nChannels = Dst->nChannels;
        w->nSamplesPerSec = Dst->nSamplesPerSec;
        if (acmFormatSuggest(nullptr, Src, w, WorkFormat::kSize,
                             ACM_FORMATSUGGESTF_NCHANNELS | ACM_FORMATSUGGESTF_NSAMPLESPERSEC) !=
            MMSYSERR_NOERROR)
            return false;
        if (!CanOpen(w, Dst, Flags)) {
            w->wBitsPerSample = w->wBitsPerSample == 16 ? 8 : 16;
            if (acmFormatSuggest(nullptr, Src, w, WorkFormat::kSize,
                                 ACM_FORMATSUGGESTF_NCHANNELS | ACM_FORMATSUGGESTF_NSAMPLESPERSEC |
                                     ACM_FORMATSUGGESTF_WBITSPERSAMPLE) != MMSYSERR_NOERROR)
                return false;
        }
        return true;
    }
    w->wFormatTag = WAVE_FORMAT_PCM;
    w->nChannels = Dst->nChannels;
    w->nSamplesPerSec = Dst->nSamplesPerSec;
    if (acmFormatSuggest(nullptr, Src, w, WorkFormat::kSize,
                         ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                             ACM_FORMATSUGGESTF_NSAMPLESPERSEC) == MMSYSERR_NOERROR)
        return true;
    return acmFormatSuggest(nullptr, Src, w, WorkFormat::kSize, ACM_FORMATSUGGESTF_WFORMATTAG) ==
           MMSYSERR_NOERROR;
}

// Each intermediate step brings the format closer to Dst (PCM, then Dst's
// channels and rate, then its width); a longer path means a driver that
// suggests in circles.
constexpr int kMaxStages = 4;

bool QueryConvert(const WAVEFORMATEX* Src, const WAVEFORMATEX* Dst, bool RealTime, int Depth) {
    if (!acmUsable() || !Src) return false;
    if (!acmMustConvert(Src, Dst)) return true;
    if (Depth >= kMaxStages) return false;
    const DWORD flags = QueryFlags(RealTime);
    if (CanOpen(Src, Dst, flags)) return true;
    WorkFormat W;
    if (!FindIntermediate(Src, Dst, flags, W) || !CanOpen(Src, W.Get(), flags)) return false;
    return acmMustConvert(W.Get(), Dst) ? QueryConvert(W.Get(), Dst, RealTime, Depth + 1) : true;
}

bool SetupConvert(TACMConvert& Job, const WAVEFORMATEX* Src, const WAVEFORMATEX* Dst, bool RealTime) {
    auto stage = std::unique_ptr<TACMStream>(new (std::nothrow) TACMStream);
    if (!stage) return false;
    if (acmStreamOpen(&stage->acmStream, nullptr, Src, Dst, nullptr, 0, 0,
                      RealTime ? 0 : ACM_STREAMOPENF_NONREALTIME) != MMSYSERR_NOERROR) {
        stage->acmStream = nullptr;
        return false;
    }
    bool allocatedSrc = false;
    if (!Job.Streams.empty()) {
        stage->lpSrcBuffer = Job.lpDstBuffer;
        stage->dwSrcBufferSize = Job.dwDstBufferSize;
    } else if (Job.lpSrcBuffer) {
        stage->lpSrcBuffer = Job.lpSrcBuffer;
        stage->dwSrcBufferSize = Job.dwSrcBufferSize;
    } else {
        // Room for input a stage keeps back plus a new block.
        const std::int64_t size = std::int64_t{4} * Job.dwSrcBufferSize;
        if (size <= 0 || size > 0x7FFFFFFF) return false;
        Job.OwnedSrc.reset(new (std::nothrow) BYTE[static_cast<size_t>(size)]());
        if (!Job.OwnedSrc) return false;
        Job.bFreeSrcBuffer = true;
        allocatedSrc = true;
        stage->lpSrcBuffer = Job.OwnedSrc.get();
        stage->dwSrcBufferSize = static_cast<LONG>(size);
    }
    auto fail = [&] {
        if (allocatedSrc) {
            Job.OwnedSrc.reset();
            Job.bFreeSrcBuffer = false;
        }
        return false;  // the stage's destructor unprepares and closes
    };

    DWORD dstSize = 0;
    if (stage->dwSrcBufferSize <= 0 ||
        acmStreamSize(stage->acmStream, static_cast<DWORD>(stage->dwSrcBufferSize), &dstSize,
                      ACM_STREAMSIZEF_SOURCE) != MMSYSERR_NOERROR ||
        dstSize == 0 || dstSize > 0x7FFFFFFF)
        return fail();
    stage->OwnedDst.reset(new (std::nothrow) BYTE[dstSize]());
    if (!stage->OwnedDst) return fail();
    stage->lpDstBuffer = stage->OwnedDst.get();
    stage->dwDstBufferSize = static_cast<LONG>(dstSize);

    ACMSTREAMHEADER& h = stage->acmStreamHeader;
    h = ACMSTREAMHEADER{};
    h.cbStruct = ACMSTREAMHEADER_CBSTRUCT;
    h.pbSrc = stage->lpSrcBuffer;
    h.cbSrcLength = static_cast<DWORD>(stage->dwSrcBufferSize);
    h.dwSrcUser = h.cbSrcLength;
    h.pbDst = stage->lpDstBuffer;
    h.cbDstLength = dstSize;
    h.dwDstUser = dstSize;
    stage->dwRemaining = 0;
    if (acmStreamPrepareHeader(stage->acmStream, &h, 0) != MMSYSERR_NOERROR) return fail();

    Job.lpDstBuffer = stage->lpDstBuffer;
    Job.dwDstBufferSize = stage->dwDstBufferSize;
    Job.Streams.push_back(std::move(stage));
    return true;
}

bool InitConvert(TACMConvert& Job, const WAVEFORMATEX* Src, const WAVEFORMATEX* Dst, bool RealTime,
                 int Depth) {
    if (!acmUsable() || !Src || !acmMustConvert(Src, Dst) || Depth >= kMaxStages) return false;
    const DWORD flags = QueryFlags(RealTime);
    if (CanOpen(Src, Dst, flags)) return SetupConvert(Job, Src, Dst, RealTime);
    WorkFormat W;
    if (!FindIntermediate(Src, Dst, flags, W)) return false;
    if (!CanOpen(Src, W.Get(), flags) || !SetupConvert(Job, Src, W.Get(), RealTime)) return false;
    return acmMustConvert(W.Get(), Dst) ? InitConvert(Job, W.Get(), Dst, RealTime, Depth + 1) : true;
}

// Moves the Count new bytes at the start of Buf up behind the Kept bytes
// that wait at the end of its Size bytes, and those to the front.
void JoinKept(BYTE* Buf, LONG Size, LONG Kept, LONG Count) {
    BYTE* tail = Buf + Size - Kept;
    if (Count + Kept > Size - Kept) {
        // The new bytes would run into the kept ones: keep those aside first.
        std::vector<BYTE> kept(tail, tail + Kept);
        std::memmove(Buf + Kept, Buf, static_cast<size_t>(Count));
        std::memcpy(Buf, kept.data(), static_cast<size_t>(Kept));
    } else {
        std::memmove(Buf + Kept, Buf, static_cast<size_t>(Count));
        std::memmove(Buf, tail, static_cast<size_t>(Kept));
    }
}

LONG RunStages(PACMConvert pac, LONG SrcBufSize, DWORD Flags) {
    if (!pac) return -1;
    const bool end = Flags & ACM_STREAMCONVERTF_END;
    LONG n = std::clamp<LONG>(SrcBufSize, 0, pac->dwSrcBufferSize);
    pac->bPending = false;
    if (!end) pac->bQueued = false;
    for (size_t k = 0; k < pac->Streams.size(); ++k) {
        TACMStream& s = *pac->Streams[k];
        ACMSTREAMHEADER& h = s.acmStreamHeader;
        const LONG size = static_cast<LONG>(h.dwSrcUser);
        if (s.dwRemaining > 0) {
            // Never reached with the fourfold buffers; refused rather than overrun.
            if (s.dwRemaining > size - n) return -1;
            JoinKept(s.lpSrcBuffer, size, s.dwRemaining, n);
            h.cbSrcLength = static_cast<DWORD>(s.dwRemaining + n);
        } else {
            h.cbSrcLength = static_cast<DWORD>(n);
        }
        // The next stage keeps its unused input at the end of our destination.
        const LONG nextKept = k + 1 < pac->Streams.size() ? pac->Streams[k + 1]->dwRemaining : 0;
        h.cbDstLength = static_cast<DWORD>(static_cast<LONG>(h.dwDstUser) - nextKept);
        h.cbSrcLengthUsed = 0;
        h.cbDstLengthUsed = 0;
        if (acmStreamConvert(s.acmStream, &h, end ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN) !=
            MMSYSERR_NOERROR)
            return -1;
        // The conversion is synchronous: the header is done now.
        if (!(h.fdwStatus & ACMSTREAMHEADER_STATUSF_DONE) || h.cbSrcLengthUsed > h.cbSrcLength ||
            h.cbDstLengthUsed > h.cbDstLength)
            return -1;
        n = static_cast<LONG>(h.cbDstLengthUsed);
        s.dwRemaining = static_cast<LONG>(h.cbSrcLength - h.cbSrcLengthUsed);
        // At the end, input that a stage with all its room takes nothing of is
        // a partial block that never will be converted: keeping it would keep
        // the job pending for ever.
        if (end && h.cbSrcLengthUsed == 0 && n == 0 && h.cbDstLength == h.dwDstUser) s.dwRemaining = 0;
        if (s.dwRemaining > 0) {
            std::memmove(s.lpSrcBuffer + size - s.dwRemaining, s.lpSrcBuffer + h.cbSrcLengthUsed,
                         static_cast<size_t>(s.dwRemaining));
            pac->bPending = true;
        } else if (!end && n == 0 && h.cbSrcLengthUsed > 0) {
            pac->bQueued = true;
        }
    }
    pac->dwBytesConverted = n;
    pac->dwBytesRead = 0;
    return n;
}

}  // namespace

bool acmMustConvert(const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst) {
    if (!pwfxSrc || !pwfxDst) return false;
    return pwfxSrc->wFormatTag != pwfxDst->wFormatTag || pwfxSrc->wBitsPerSample != pwfxDst->wBitsPerSample ||
           pwfxSrc->nChannels != pwfxDst->nChannels || pwfxSrc->nSamplesPerSec != pwfxDst->nSamplesPerSec;
}

WAVEFORMATEX acmSuggestPCMFormat(const WAVEFORMATEX* pwfxSrc) {
    WAVEFORMATEX result{};
    if (!pwfxSrc) return result;
    if (IsPcm(pwfxSrc)) {
        std::memcpy(&result, pwfxSrc, acmPCMFormatSize);
        return result;
    }
    if (!acmUsable()) return result;
    WAVEFORMATEX w{};
    w.wFormatTag = WAVE_FORMAT_PCM;
    if (acmFormatSuggest(nullptr, pwfxSrc, &w, acmPCMFormatSize, ACM_FORMATSUGGESTF_WFORMATTAG) !=
            MMSYSERR_NOERROR ||
        !CanOpen(pwfxSrc, &w, ACM_STREAMOPENF_QUERY))
        return result;
    return w;
}

bool acmQueryConvert(const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst, bool RealTime) {
    return QueryConvert(pwfxSrc, pwfxDst, RealTime, 0);
}

PACMConvert acmBeginConvert(const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst, BYTE* SrcBuffer,
                            LONG SrcBufSize, bool RealTime) {
    if (!acmUsable() || !pwfxSrc || !pwfxDst || pwfxSrc->nBlockAlign == 0) return nullptr;
    PACMConvert pac = new (std::nothrow) TACMConvert;
    if (!pac) return nullptr;
    pac->lpSrcBuffer = SrcBuffer;
    pac->dwSrcBufferSize = std::max<LONG>(SrcBufSize, 0) / pwfxSrc->nBlockAlign * pwfxSrc->nBlockAlign;
    if (!acmInitConvert(pac, pwfxSrc, pwfxDst, RealTime)) {
        acmDoneConvert(pac);
        return nullptr;
    }
    if (!pac->Streams.empty()) pac->lpSrcBuffer = pac->Streams.front()->lpSrcBuffer;
    return pac;
}

bool acmInitConvert(PACMConvert pac, const WAVEFORMATEX* pwfxSrc, const WAVEFORMATEX* pwfxDst,
                    bool RealTime) {
    return pac && InitConvert(*pac, pwfxSrc, pwfxDst, RealTime, 0);
}

LONG acmDoConvert(PACMConvert pac, LONG SrcBufSize) {
    return RunStages(pac, SrcBufSize, ACM_STREAMCONVERTF_BLOCKALIGN);
}

LONG acmEndConvert(PACMConvert pac, LONG SrcBufSize) {
    return RunStages(pac, SrcBufSize, ACM_STREAMCONVERTF_END);
}

bool acmFlushConvert(PACMConvert pac) {
    if (!pac) return false;
    pac->dwBytesRead = pac->dwBytesConverted;
    pac->bPending = false;
    pac->bQueued = false;
    for (auto& stage : pac->Streams) {
        stage->dwRemaining = 0;
        stage->acmStreamHeader.cbSrcLength = 0;
        acmStreamConvert(stage->acmStream, &stage->acmStreamHeader,
                         ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END);
    }
    return true;
}

void acmDoneConvert(PACMConvert& pac) {
    if (!pac) return;
    // Last stage first: each one reads the buffer of the one before.
    while (!pac->Streams.empty()) pac->Streams.pop_back();
    delete pac;
    pac = nullptr;
}
