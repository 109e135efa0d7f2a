#include "platform/acm/acm.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <unordered_set>

#include "platform/acm/AcmDrivers.h"

using namespace acm_detail;

struct HACMSTREAM__ {
    std::unique_ptr<Stage> stage;
};

namespace {

// Open streams, so that a stale or made-up handle is refused instead of used.
std::mutex gStreamsLock;
std::unordered_set<HACMSTREAM> gStreams;

bool Known(HACMSTREAM has) {
    std::lock_guard lock(gStreamsLock);
    return has && gStreams.count(has) != 0;
}

struct TagInfo {
    WORD tag;
    const wchar_t* name;
    DWORD formatSize;
    DWORD support;
};

// Tags we can name. Microsoft ADPCM is decoded above this layer; it is named
// so that file descriptions read right.
constexpr TagInfo kTags[] = {
    {WAVE_FORMAT_PCM, L"PCM", 16, ACMDRIVERDETAILS_SUPPORTF_CONVERTER},
    {WAVE_FORMAT_ADPCM, L"Microsoft ADPCM", 50, 0},
    {WAVE_FORMAT_IEEE_FLOAT, L"IEEE Float", 18, ACMDRIVERDETAILS_SUPPORTF_CONVERTER},
    {WAVE_FORMAT_ALAW, L"CCITT A-Law", 18, ACMDRIVERDETAILS_SUPPORTF_CODEC},
    {WAVE_FORMAT_MULAW, L"CCITT u-Law", 18, ACMDRIVERDETAILS_SUPPORTF_CODEC},
    {WAVE_FORMAT_IMA_ADPCM, L"IMA ADPCM", 20, ACMDRIVERDETAILS_SUPPORTF_CODEC},
    {WAVE_FORMAT_EXTENSIBLE, L"Extensible", 40, ACMDRIVERDETAILS_SUPPORTF_CONVERTER},
};

const TagInfo* FindTag(DWORD tag) {
    for (const auto& t : kTags)
        if (t.tag == tag) return &t;
    return nullptr;
}

}  // namespace

DWORD acmGetVersion() {
    return 0x04000000;
}

MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst, DWORD cbwfxDst,
                          DWORD fdwSuggest) {
    if (had) return MMSYSERR_INVALHANDLE;
    if (!pwfxSrc || !pwfxDst || cbwfxDst < sizeof(PCMWAVEFORMAT)) return MMSYSERR_INVALPARAM;
    if (fdwSuggest & ~ACM_FORMATSUGGESTF_TYPEMASK) return MMSYSERR_INVALFLAG;

    WAVEFORMATEX w = DefaultOutput(pwfxSrc);
    if (w.wFormatTag == 0) return ACMERR_NOTPOSSIBLE;
    if ((fdwSuggest & ACM_FORMATSUGGESTF_WFORMATTAG) && pwfxDst->wFormatTag != WAVE_FORMAT_PCM)
        return ACMERR_NOTPOSSIBLE;
    if (fdwSuggest & ACM_FORMATSUGGESTF_NCHANNELS) w.nChannels = pwfxDst->nChannels;
    if (fdwSuggest & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) w.nSamplesPerSec = pwfxDst->nSamplesPerSec;
    if (fdwSuggest & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) w.wBitsPerSample = pwfxDst->wBitsPerSample;
    if (w.nChannels < 1 || w.nChannels > kMaxChannels || (w.wBitsPerSample != 8 && w.wBitsPerSample != 16))
        return ACMERR_NOTPOSSIBLE;
    w.nBlockAlign = static_cast<WORD>(w.nChannels * w.wBitsPerSample / 8);
    w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
    // Only suggest what a stream can really be opened for.
    if (!MakeStage(pwfxSrc, &w, false)) return ACMERR_NOTPOSSIBLE;
    std::memcpy(pwfxDst, &w, cbwfxDst >= sizeof(WAVEFORMATEX) ? sizeof(WAVEFORMATEX) : sizeof(PCMWAVEFORMAT));
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatTagDetails(HACMDRIVER had, ACMFORMATTAGDETAILS* paftd, DWORD fdwDetails) {
    if (had) return MMSYSERR_INVALHANDLE;
    if (!paftd || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILS)) return MMSYSERR_INVALPARAM;
    const TagInfo* info = nullptr;
    DWORD index = 0;
    if (fdwDetails == ACM_FORMATTAGDETAILSF_INDEX) {
        index = paftd->dwFormatTagIndex;
        if (index >= std::size(kTags)) return ACMERR_NOTPOSSIBLE;
        info = &kTags[index];
    } else if (fdwDetails == ACM_FORMATTAGDETAILSF_FORMATTAG) {
        info = FindTag(paftd->dwFormatTag);
        if (!info) return ACMERR_NOTPOSSIBLE;
        index = static_cast<DWORD>(info - kTags);
    } else {
        return MMSYSERR_INVALFLAG;
    }
    paftd->dwFormatTagIndex = index;
    paftd->dwFormatTag = info->tag;
    paftd->cbFormatSize = info->formatSize;
    paftd->fdwSupport = info->support;
    paftd->cStandardFormats = 0;
    std::wcsncpy(paftd->szFormatTag, info->name, ACMFORMATTAGDETAILS_FORMATTAG_CHARS - 1);
    paftd->szFormatTag[ACMFORMATTAGDETAILS_FORMATTAG_CHARS - 1] = 0;
    return MMSYSERR_NOERROR;
}

MMRESULT acmFormatDetails(HACMDRIVER had, ACMFORMATDETAILS* pafd, DWORD fdwDetails) {
    if (had) return MMSYSERR_INVALHANDLE;
    if (fdwDetails != ACM_FORMATDETAILSF_FORMAT) return MMSYSERR_INVALFLAG;
    if (!pafd || pafd->cbStruct < sizeof(ACMFORMATDETAILS) || !pafd->pwfx ||
        pafd->cbwfx < sizeof(PCMWAVEFORMAT))
        return MMSYSERR_INVALPARAM;
    const WAVEFORMATEX& f = *pafd->pwfx;
    const TagInfo* info = FindTag(f.wFormatTag);
    if (!info) return ACMERR_NOTPOSSIBLE;
    if (f.nChannels < 1 || f.nSamplesPerSec < 1) return MMSYSERR_INVALPARAM;
    pafd->dwFormatTag = f.wFormatTag;
    pafd->fdwSupport = info->support;
    wchar_t channels[32];
    if (f.nChannels == 1)
        std::wcscpy(channels, L"Mono");
    else if (f.nChannels == 2)
        std::wcscpy(channels, L"Stereo");
    else
        std::swprintf(channels, 32, L"%u Channels", static_cast<unsigned>(f.nChannels));
    std::swprintf(pafd->szFormat, ACMFORMATDETAILS_FORMAT_CHARS, L"%u.%03u kHz, %u Bit, %ls",
                  static_cast<unsigned>(f.nSamplesPerSec / 1000),
                  static_cast<unsigned>(f.nSamplesPerSec % 1000), static_cast<unsigned>(f.wBitsPerSample),
                  channels);
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, DWORD_PTR dwCallback,
                       DWORD_PTR dwInstance, DWORD fdwOpen) {
    if (phas) *phas = nullptr;
    if (had) return MMSYSERR_INVALHANDLE;
    if (!pwfxSrc || !pwfxDst) return MMSYSERR_INVALPARAM;
    if (fdwOpen & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_ASYNC | ACM_STREAMOPENF_NONREALTIME))
        return MMSYSERR_INVALFLAG;
    if (pwfltr || dwCallback || (fdwOpen & ACM_STREAMOPENF_ASYNC)) return ACMERR_NOTPOSSIBLE;
    const bool query = (fdwOpen & ACM_STREAMOPENF_QUERY) != 0;
    if (!query && !phas) return MMSYSERR_INVALPARAM;
    auto stage = MakeStage(pwfxSrc, pwfxDst, (fdwOpen & ACM_STREAMOPENF_NONREALTIME) == 0);
    if (!stage) return ACMERR_NOTPOSSIBLE;
    if (query) return MMSYSERR_NOERROR;
    auto* s = new HACMSTREAM__{std::move(stage)};
    {
        std::lock_guard lock(gStreamsLock);
        gStreams.insert(s);
    }
    *phas = s;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamClose(HACMSTREAM has, DWORD fdwClose) {
    if (fdwClose) return MMSYSERR_INVALFLAG;
    {
        std::lock_guard lock(gStreamsLock);
        if (!has || gStreams.erase(has) == 0) return MMSYSERR_INVALHANDLE;
    }
    delete has;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamSize(HACMSTREAM has, DWORD cbInput, DWORD* pdwOutputBytes, DWORD fdwSize) {
    if (!Known(has)) return MMSYSERR_INVALHANDLE;
    if (!pdwOutputBytes) return MMSYSERR_INVALPARAM;
    if (fdwSize == ACM_STREAMSIZEF_SOURCE)
        *pdwOutputBytes = has->stage->DstSizeFor(cbInput);
    else if (fdwSize == ACM_STREAMSIZEF_DESTINATION)
        *pdwOutputBytes = has->stage->SrcSizeFor(cbInput);
    else
        return MMSYSERR_INVALFLAG;
    return *pdwOutputBytes ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE;
}

// The lengths a header was prepared with; a conversion may not ask for more.
static constexpr int kPreparedSrc = 0;
static constexpr int kPreparedDst = 1;

MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwPrepare) {
    if (!Known(has)) return MMSYSERR_INVALHANDLE;
    if (fdwPrepare) return MMSYSERR_INVALFLAG;
    if (!pash || pash->cbStruct < ACMSTREAMHEADER_CBSTRUCT || (!pash->pbSrc && pash->cbSrcLength) ||
        (!pash->pbDst && pash->cbDstLength))
        return MMSYSERR_INVALPARAM;
    pash->dwReservedDriver[kPreparedSrc] = pash->cbSrcLength;
    pash->dwReservedDriver[kPreparedDst] = pash->cbDstLength;
    pash->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwUnprepare) {
    if (!Known(has)) return MMSYSERR_INVALHANDLE;
    if (fdwUnprepare) return MMSYSERR_INVALFLAG;
    if (!pash || pash->cbStruct < ACMSTREAMHEADER_CBSTRUCT) return MMSYSERR_INVALPARAM;
    if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    pash->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, DWORD fdwConvert) {
    if (!Known(has)) return MMSYSERR_INVALHANDLE;
    constexpr DWORD known = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
    if (fdwConvert & ~known) return MMSYSERR_INVALFLAG;
    if (!pash || pash->cbStruct < ACMSTREAMHEADER_CBSTRUCT) return MMSYSERR_INVALPARAM;
    if (!(pash->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED)) return ACMERR_UNPREPARED;
    if (pash->cbSrcLength > pash->dwReservedDriver[kPreparedSrc] ||
        pash->cbDstLength > pash->dwReservedDriver[kPreparedDst])
        return MMSYSERR_INVALPARAM;
    if (fdwConvert & ACM_STREAMCONVERTF_START) has->stage->Reset();
    DWORD used = 0, produced = 0;
    const bool resetOnly = (fdwConvert & ACM_STREAMCONVERTF_START) && pash->cbSrcLength == 0;
    if (!resetOnly && pash->cbDstLength > 0)
        has->stage->Convert(pash->pbSrc, pash->cbSrcLength, pash->pbDst, pash->cbDstLength, fdwConvert, used,
                            produced);
    if (resetOnly) has->stage->Reset();
    pash->cbSrcLengthUsed = used;
    pash->cbDstLengthUsed = produced;
    pash->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
    return MMSYSERR_NOERROR;
}

MMRESULT acmStreamReset(HACMSTREAM has, DWORD fdwReset) {
    if (!Known(has)) return MMSYSERR_INVALHANDLE;
    if (fdwReset) return MMSYSERR_INVALFLAG;
    has->stage->Reset();
    return MMSYSERR_NOERROR;
}
