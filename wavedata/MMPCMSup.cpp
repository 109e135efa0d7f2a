#include "wavedata/MMPCMSup.h"

#include <algorithm>
#include <cstring>

namespace {

thread_local bool Clipped = false;

inline int16_t Load16(const char* p) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

inline void Store16(char* p, int32_t v) {
    const int16_t s = static_cast<int16_t>(v);
    std::memcpy(p, &s, 2);
}

inline uint8_t Load8(const char* p) {
    return static_cast<uint8_t>(*p);
}

// (sample * volume) >> 14 limited to [lo, hi]; the product is 64-bit so that
// large factors saturate instead of wrapping.
inline int32_t Scale(int32_t sample, int32_t volume, int32_t lo, int32_t hi, bool& clipped) {
    int64_t v = (static_cast<int64_t>(sample) * volume) >> 14;
    if (v > hi) {
        clipped = true;
        return hi;
    }
    if (v < lo) {
        clipped = true;
        return lo;
    }
    return static_cast<int32_t>(v);
}

}  // namespace

bool pcmIsValidFormat(const WAVEFORMATEX* pwfx) {
    if (!pwfx || pwfx->wFormatTag != WAVE_FORMAT_PCM) return false;
    if (pwfx->wBitsPerSample != 8 && pwfx->wBitsPerSample != 16) return false;
    if (pwfx->nChannels != 1 && pwfx->nChannels != 2 && pwfx->nChannels != 4) return false;
    return pwfx->nSamplesPerSec >= 4000 && pwfx->nSamplesPerSec <= 100000;
}

void pcmBuildWaveHeader(WAVEFORMATEX* pwfx, WORD BitsPerSample, WORD Channels, DWORD SampleRate) {
    if (!pwfx) return;
    pwfx->wFormatTag = WAVE_FORMAT_PCM;
    pwfx->nChannels = Channels;
    pwfx->nSamplesPerSec = SampleRate;
    pwfx->wBitsPerSample = BitsPerSample;
    pwfx->nBlockAlign = static_cast<WORD>(static_cast<WORD>(Channels * BitsPerSample) >> 3);
    pwfx->nAvgBytesPerSec = pwfx->nBlockAlign * SampleRate;
    pwfx->cbSize = 0;
}

bool pcmClipIndicator() {
    return Clipped;
}
void pcmSetClipIndicator(bool Value) {
    Clipped = Value;
}

int16_t pcmSampleClip8(int16_t Value) {
    if (Value > 127) {
        Clipped = true;
        return 127;
    }
    if (Value < -128) {
        Clipped = true;
        return -128;
    }
    return Value;
}

LONG pcmSampleClip16(LONG Value) {
    if (Value > 32767) {
        Clipped = true;
        return 32767;
    }
    if (Value < -32768) {
        Clipped = true;
        return -32768;
    }
    return Value;
}

BYTE pcmSampleVolume8(BYTE Sample, LONG Volume) {
    bool clipped = false;
    const int32_t v = Scale(int32_t(Sample) - 128, Volume, -128, 127, clipped);
    if (clipped) Clipped = true;
    return static_cast<BYTE>(v + 128);
}

int16_t pcmSampleVolume16(int16_t Sample, LONG Volume) {
    bool clipped = false;
    const int32_t v = Scale(Sample, Volume, -32768, 32767, clipped);
    if (clipped) Clipped = true;
    return static_cast<int16_t>(v);
}

bool PCMVOLUME8M(char* Data, LONG Bytes, LONG Volume) {
    if (Volume == pcmUnityVolume || !Data) return false;
    bool clipped = false;
    for (LONG i = 0; i < Bytes; ++i)
        Data[i] = static_cast<char>(Scale(int32_t(Load8(Data + i)) - 128, Volume, -128, 127, clipped) + 128);
    return clipped;
}

bool PCMVOLUME8S(char* Data, LONG Bytes, LONG VolumeL, LONG VolumeR) {
    if ((VolumeL == pcmUnityVolume && VolumeR == pcmUnityVolume) || !Data) return false;
    bool clipped = false;
    const LONG frames = Bytes / 2;
    for (LONG i = 0; i < frames; ++i) {
        char* p = Data + 2 * i;
        p[0] = static_cast<char>(Scale(int32_t(Load8(p)) - 128, VolumeL, -128, 127, clipped) + 128);
        p[1] = static_cast<char>(Scale(int32_t(Load8(p + 1)) - 128, VolumeR, -128, 127, clipped) + 128);
    }
    return clipped;
}

bool PCMVOLUME16M(char* Data, LONG Bytes, LONG Volume) {
    if (Volume == pcmUnityVolume || !Data) return false;
    bool clipped = false;
    const LONG frames = Bytes / 2;
    for (LONG i = 0; i < frames; ++i) {
        char* p = Data + 2 * i;
        Store16(p, Scale(Load16(p), Volume, -32768, 32767, clipped));
    }
    return clipped;
}

bool PCMVOLUME16S(char* Data, LONG Bytes, LONG VolumeL, LONG VolumeR) {
    if ((VolumeL == pcmUnityVolume && VolumeR == pcmUnityVolume) || !Data) return false;
    bool clipped = false;
    const LONG frames = Bytes / 4;
    for (LONG i = 0; i < frames; ++i) {
        char* p = Data + 4 * i;
        Store16(p, Scale(Load16(p), VolumeL, -32768, 32767, clipped));
        Store16(p + 2, Scale(Load16(p + 2), VolumeR, -32768, 32767, clipped));
    }
    return clipped;
}

bool pcmVolume(const WAVEFORMATEX* pwfx, char* Data, LONG Bytes, LONG VolumeL, LONG VolumeR) {
    if (!pwfx || pwfx->wFormatTag != WAVE_FORMAT_PCM) return false;
    if (pwfx->wBitsPerSample == 8) {
        return pwfx->nChannels == 1 ? PCMVOLUME8M(Data, Bytes, VolumeL)
                                    : PCMVOLUME8S(Data, Bytes, VolumeL, VolumeR);
    }
    return pwfx->nChannels == 1 ? PCMVOLUME16M(Data, Bytes, VolumeL)
                                : PCMVOLUME16S(Data, Bytes, VolumeL, VolumeR);
}

LONG pcmBitsPerSampleAlign(WORD DstBits, char* Dst, WORD SrcBits, const char* Src, LONG SrcBytes) {
    if (SrcBytes <= 0 || !Dst || !Src) return 0;
    if (DstBits == SrcBits) {
        std::memmove(Dst, Src, size_t(SrcBytes));
        return SrcBytes;
    }
    if (SrcBits == 16) {
        const LONG n = SrcBytes / 2;
        for (LONG i = 0; i < n; ++i) Dst[i] = static_cast<char>((Load16(Src + 2 * i) / 256 + 128) & 0xFF);
        return n;
    }
    const LONG n = SrcBytes;
    for (LONG i = n - 1; i >= 0; --i) Store16(Dst + 2 * i, (int32_t(Load8(Src + i)) - 128) * 256);
    return 2 * n;
}

// ---- The layout and rate converter -----------------------------------------
namespace {

enum Layout { L8M, L8S, L16M, L16S };

constexpr LONG FrameSize[] = {1, 2, 2, 4};

bool LayoutOf(const WAVEFORMATEX* pwfx, Layout& layout) {
    if (!pwfx || pwfx->wFormatTag != WAVE_FORMAT_PCM || pwfx->nSamplesPerSec == 0) return false;
    const bool stereo = pwfx->nChannels == 2;
    if (!stereo && pwfx->nChannels != 1) return false;
    if (pwfx->wBitsPerSample == 8)
        layout = stereo ? L8S : L8M;
    else if (pwfx->wBitsPerSample == 16)
        layout = stereo ? L16S : L16M;
    else
        return false;
    return true;
}

// One destination frame: two channel values in the destination encoding
// (mono layouts use only the first).
struct Frame {
    int32_t a, b;
};

template <Layout S, Layout D>
inline Frame ReadFrame(const char* p) {
    constexpr bool dst8 = D == L8M || D == L8S;
    constexpr bool dstStereo = D == L8S || D == L16S;
    if constexpr (S == L8M) {
        const int32_t u = Load8(p);
        const int32_t v = dst8 ? u : (u - 128) * 256;
        return {v, v};
    } else if constexpr (S == L8S) {
        const int32_t l = Load8(p), r = Load8(p + 1);
        if constexpr (dstStereo) {
            if constexpr (dst8) return {l, r};
            return {(l - 128) * 256, (r - 128) * 256};
        } else {
            const int32_t m = (l + r) >> 1;
            return {dst8 ? m : (m - 128) * 256, 0};
        }
    } else if constexpr (S == L16M) {
        const int32_t s = Load16(p);
        const int32_t v = dst8 ? ((s >> 8) + 128) & 0xFF : s;
        return {v, v};
    } else {
        const int32_t l = Load16(p), r = Load16(p + 2);
        if constexpr (dstStereo) {
            if constexpr (dst8) return {((l >> 8) + 128) & 0xFF, ((r >> 8) + 128) & 0xFF};
            return {l, r};
        } else {
            if constexpr (dst8) return {((((l + 32768) + (r + 32768)) >> 1) >> 8) & 0xFF, 0};
            return {(l + r) >> 1, 0};
        }
    }
}

template <Layout D>
inline void WriteFrame(char* p, Frame f) {
    if constexpr (D == L8M) {
        p[0] = static_cast<char>(f.a);
    } else if constexpr (D == L8S) {
        p[0] = static_cast<char>(f.a);
        p[1] = static_cast<char>(f.b);
    } else if constexpr (D == L16M) {
        Store16(p, f.a);
    } else {
        Store16(p, f.a);
        Store16(p + 2, f.b);
    }
}

// Writes each source frame zero, one or more times so that the destination
// rate results; never more than Limit frames. Returns the frames written.
template <Layout S, Layout D>
LONG Convert(char* dst, const char* src, LONG frames, int64_t srcRate, int64_t dstRate, LONG limit) {
    constexpr LONG srcStep = FrameSize[S];
    constexpr LONG dstStep = FrameSize[D];
    LONG written = 0;
    if (srcRate > dstRate) {
        int64_t acc = srcRate / 2;
        for (LONG i = 0; i < frames && written < limit; ++i) {
            const Frame f = ReadFrame<S, D>(src + i * srcStep);
            acc -= dstRate;
            if (acc < 0) {
                WriteFrame<D>(dst + written * dstStep, f);
                ++written;
                acc += srcRate;
            }
        }
    } else {
        int64_t acc = dstRate / 2;
        for (LONG i = 0; i < frames; ++i) {
            const Frame f = ReadFrame<S, D>(src + i * srcStep);
            do {
                if (written >= limit) return written;
                WriteFrame<D>(dst + written * dstStep, f);
                ++written;
                acc -= srcRate;
            } while (acc >= 0);
            acc += dstRate;
        }
    }
    return written;
}

using Converter = LONG (*)(char*, const char*, LONG, int64_t, int64_t, LONG);

template <Layout S>
constexpr Converter Row[] = {Convert<S, L8M>, Convert<S, L8S>, Convert<S, L16M>, Convert<S, L16S>};

constexpr const Converter* Converters[] = {Row<L8M>, Row<L8S>, Row<L16M>, Row<L16S>};

LONG OutputFrames(LONG srcFrames, DWORD srcRate, DWORD dstRate) {
    return static_cast<LONG>(int64_t(srcFrames) * int64_t(dstRate) / int64_t(srcRate));
}

}  // namespace

LONG PCMCONVERTSIZEOUTPUTDATA(const WAVEFORMATEX* pwfxDst, const WAVEFORMATEX* pwfxSrc, LONG SrcBytes) {
    Layout src, dst;
    if (!LayoutOf(pwfxSrc, src) || !LayoutOf(pwfxDst, dst)) return -1;
    const LONG frames = SrcBytes / FrameSize[src];
    return OutputFrames(frames, pwfxSrc->nSamplesPerSec, pwfxDst->nSamplesPerSec) * FrameSize[dst];
}

LONG PCMCONVERT(const WAVEFORMATEX* pwfxDst, char* Dst, const WAVEFORMATEX* pwfxSrc, const char* Src,
                LONG SrcBytes) {
    if (SrcBytes <= 0) return SrcBytes;
    Layout src, dst;
    if (!LayoutOf(pwfxSrc, src) || !LayoutOf(pwfxDst, dst)) return -1;
    if (!Dst || !Src) return 0;
    const LONG frames = SrcBytes / FrameSize[src];
    const LONG limit = OutputFrames(frames, pwfxSrc->nSamplesPerSec, pwfxDst->nSamplesPerSec);
    const LONG written =
        Converters[src][dst](Dst, Src, frames, pwfxSrc->nSamplesPerSec, pwfxDst->nSamplesPerSec, limit);
    return written * FrameSize[dst];
}

// ---- Level finders ------------------------------------------------------------
namespace {

struct ChannelScan {
    int32_t low, high;
    LONG lowAt = 0, highAt = 0;
};

// The lowest and highest value of each channel of one or two interleaved
// channels, starting from Low and High, and the frame where each first
// occurs (0 for a start value never passed). Blocks of sixteen lanes side by
// side, so that the compiler can use vector instructions; the first place is
// then looked for only in the block where the extreme last improved. The
// waveform preview scans whole files of hundreds of megabytes through here.
struct TExtremes {
    int32_t Low[2], High[2];
    LONG LowAt[2] = {0, 0}, HighAt[2] = {0, 0};
};

template <typename T>
LONG FirstAt(const char* Data, LONG From, LONG To, LONG Channels, LONG Channel, int32_t Value) {
    for (LONG i = From; i < To; ++i) {
        T v;
        std::memcpy(&v, Data + (i * Channels + Channel) * LONG(sizeof(T)), sizeof v);
        if (v == Value) return i;
    }
    return From;
}

template <typename T>
TExtremes FindExtremes(const char* Data, LONG Frames, LONG Channels, int32_t Low, int32_t High) {
    constexpr int kLanes = 16;
    constexpr LONG kBlock = 64 * kLanes;  // values; whole frames of one or two channels
    const LONG values = Frames * Channels;
    TExtremes e{{Low, Low}, {High, High}};
    LONG lowBlock[2] = {-1, -1}, highBlock[2] = {-1, -1};
    for (LONG start = 0; start < values; start += kBlock) {
        const LONG end = std::min(start + kBlock, values);
        T lo[kLanes], hi[kLanes];
        for (int k = 0; k < kLanes; ++k) lo[k] = static_cast<T>(Low), hi[k] = static_cast<T>(High);
        LONG i = start;
        for (; i + kLanes <= end; i += kLanes) {
            T v[kLanes];
            std::memcpy(v, Data + i * LONG(sizeof(T)), sizeof v);
            for (int k = 0; k < kLanes; ++k) {
                lo[k] = v[k] < lo[k] ? v[k] : lo[k];
                hi[k] = v[k] > hi[k] ? v[k] : hi[k];
            }
        }
        for (int k = 0; i < end; ++i, ++k) {
            T v;
            std::memcpy(&v, Data + i * LONG(sizeof(T)), sizeof v);
            lo[k] = v < lo[k] ? v : lo[k];
            hi[k] = v > hi[k] ? v : hi[k];
        }
        // Lane k holds channel k mod Channels (16 is a multiple of 1 and 2).
        for (int k = 0; k < kLanes; ++k) {
            const int c = Channels == 1 ? 0 : k % 2;
            if (lo[k] < e.Low[c]) e.Low[c] = lo[k], lowBlock[c] = start;
            if (hi[k] > e.High[c]) e.High[c] = hi[k], highBlock[c] = start;
        }
    }
    for (LONG c = 0; c < Channels; ++c) {
        const auto at = [&](LONG Block, int32_t Value) {
            if (Block < 0) return LONG(0);
            const LONG from = Block / Channels, to = std::min(Block + kBlock, values) / Channels;
            return FirstAt<T>(Data, from, to, Channels, c, Value);
        };
        e.LowAt[c] = at(lowBlock[c], e.Low[c]);
        e.HighAt[c] = at(highBlock[c], e.High[c]);
    }
    return e;
}

}  // namespace

void PCMFINDPEAK(const WAVEFORMATEX* pwfx, const char* Data, LONG Bytes, int16_t& PeakL, int16_t& PeakR) {
    PeakL = PeakR = 0;
    if (!pwfx || !Data || Bytes <= 0) return;
    const bool bits8 = pwfx->wBitsPerSample == 8;
    const LONG channels = pwfx->nChannels <= 1 ? 1 : pwfx->nChannels;
    const LONG sampleBytes = bits8 ? 1 : 2;
    const LONG frameBytes = channels * sampleBytes;
    const LONG frames = Bytes / frameBytes;
    const LONG scanned = channels == 1 ? 1 : 2;
    for (LONG c = 0; c < scanned; ++c) {
        int32_t best = 0, value = 0;
        const char* p = Data + c * sampleBytes;
        if (bits8) {
            for (LONG i = 0; i < frames; ++i, p += frameBytes) {
                const int32_t u = Load8(p);
                const int32_t m = u >= 128 ? u - 128 : 128 - u;
                if (m > best) best = m, value = u;
            }
        } else {
            for (LONG i = 0; i < frames; ++i, p += frameBytes) {
                const int32_t s = Load16(p);
                const int32_t m = s < 0 ? -s : s;
                if (m > best) best = m, value = s;
            }
        }
        (c == 0 ? PeakL : PeakR) = static_cast<int16_t>(value);
    }
    if (scanned == 1) PeakR = PeakL;
}

void PCMFINDMINMAX(const WAVEFORMATEX* pwfx, const char* Data, LONG Bytes, int16_t& FirstL, int16_t& SecondL,
                   int16_t& FirstR, int16_t& SecondR) {
    const bool bits8 = pwfx && pwfx->wBitsPerSample == 8;
    const int16_t silence = bits8 ? 128 : 0;
    FirstL = SecondL = FirstR = SecondR = silence;
    if (!pwfx || !Data) return;
    const LONG channels = pwfx->nChannels <= 1 ? 1 : pwfx->nChannels;
    const LONG sampleBytes = bits8 ? 1 : 2;
    const LONG frameBytes = channels * sampleBytes;
    const LONG frames = Bytes > 0 ? Bytes / frameBytes : 0;
    if (frames == 0) return;
    const LONG scanned = channels == 1 ? 1 : 2;
    // One or two channels: the extremes block by block, then their first places.
    TExtremes extremes{};
    if (channels <= 2)
        extremes = bits8 ? FindExtremes<uint8_t>(Data, frames, channels, 255, 1)
                         : FindExtremes<int16_t>(Data, frames, channels, 32767, -32767);
    for (LONG c = 0; c < scanned; ++c) {
        ChannelScan s{bits8 ? 127 : 32767, bits8 ? -127 : -32767};
        if (channels <= 2) {
            const int32_t offset = bits8 ? 128 : 0;
            s.low = extremes.Low[c] - offset, s.lowAt = extremes.LowAt[c];
            s.high = extremes.High[c] - offset, s.highAt = extremes.HighAt[c];
        } else {
            const char* p = Data + c * sampleBytes;
            for (LONG i = 0; i < frames; ++i, p += frameBytes) {
                const int32_t v = bits8 ? int32_t(Load8(p)) - 128 : int32_t(Load16(p));
                if (v < s.low) s.low = v, s.lowAt = i;
                if (v > s.high) s.high = v, s.highAt = i;
            }
        }
        int32_t first = s.low, second = s.high;
        if (s.highAt < s.lowAt) first = s.high, second = s.low;
        if (bits8) first += 128, second += 128;
        if (c == 0) {
            FirstL = static_cast<int16_t>(first);
            SecondL = static_cast<int16_t>(second);
        } else {
            FirstR = static_cast<int16_t>(first);
            SecondR = static_cast<int16_t>(second);
        }
    }
    if (scanned == 1) FirstR = FirstL, SecondR = SecondL;
}
