#include "wavedata/MMFade.h"

#include "wavedata/MMEnvelope.h"
#include "wavedata/MMListError.h"
#include "wavedata/MMMulDiv.h"
#include "wavedata/MMPCMSup.h"

#include <algorithm>
#include <cstring>

TMMFadeList::TMMFadeList(QObject* parent) : TMMObject(parent) {}

TMMFadeList::~TMMFadeList() {
    FStartVolume = 0;
    FList.clear();
    FCount = FCapacity = 0;
}

void TMMFadeList::CheckIndex(int Index, int Limit) const {
    if (Index < 0 || Index >= Limit) throw EListError(Index);
}

void TMMFadeList::SetCapacity(int Value) {
    if (Value < FCount || Value > MaxListSize) throw EListError(Value);
    FList.resize(size_t(Value));
    FCapacity = Value;
}

void TMMFadeList::SetCount(int Value) {
    if (Value < 0 || Value > MaxListSize) throw EListError(Value);
    if (Value > FCapacity) SetCapacity(Value);
    for (int i = FCount; i < Value; ++i) FList[size_t(i)] = TMMFadePoint{};
    FCount = Value;
}

void TMMFadeList::Grow() {
    SetCapacity(std::min(MaxListSize, FCapacity + ListGrowDelta(FCapacity)));
}

TMMFadeList* TMMFadeList::Expand() {
    if (FCount == FCapacity) Grow();
    return this;
}

int TMMFadeList::Add(const TMMFadePoint& Point) {
    Changing();
    if (FCount == FCapacity) Grow();
    FList[size_t(FCount)] = Point;
    ++FCount;
    Changed();
    return FCount - 1;
}

void TMMFadeList::Insert(int Index, const TMMFadePoint& Point) {
    CheckIndex(Index, FCount + 1);
    Changing();
    if (FCount == FCapacity) Grow();
    std::copy_backward(FList.begin() + Index, FList.begin() + FCount, FList.begin() + FCount + 1);
    FList[size_t(Index)] = Point;
    ++FCount;
    Changed();
}

void TMMFadeList::Delete(int Index) {
    CheckIndex(Index, FCount);
    Changing();
    std::copy(FList.begin() + Index + 1, FList.begin() + FCount, FList.begin() + Index);
    --FCount;
    Changed();
}

TMMFadePoint TMMFadeList::Get(int Index) const {
    CheckIndex(Index, FCount);
    return FList[size_t(Index)];
}

void TMMFadeList::Put(int Index, const TMMFadePoint& Point) {
    CheckIndex(Index, FCount);
    Changing();
    FList[size_t(Index)] = Point;
    Changed();
}

void TMMFadeList::Clear() {
    Changing();
    FList.clear();
    FCount = FCapacity = 0;
    Changed();
}

void TMMFadeList::Sort() {
    Changing();
    // Shell sort, gaps 1, 4, 13, 40, ...
    int gap = 1;
    while (gap <= FCount / 9) gap = 3 * gap + 1;
    for (; gap > 0; gap /= 3) {
        for (int i = gap; i < FCount; ++i) {
            const TMMFadePoint p = FList[size_t(i)];
            int j = i;
            while (j >= gap && FList[size_t(j - gap)].Offset > p.Offset) {
                FList[size_t(j)] = FList[size_t(j - gap)];
                j -= gap;
            }
            FList[size_t(j)] = p;
        }
    }
    Changed();
}

bool TMMFadeList::QueryFadePoint(const TMMFadePoint& Point) const {
    if (FCount == 0) return true;
    if (FList[0].Offset >= Point.Offset) return false;
    if (FList[size_t(FCount - 1)].Offset <= Point.Offset) return false;
    return FindFadePoint(Point.Offset) < 0;
}

bool TMMFadeList::AddFadePoint(const TMMFadePoint& Point, bool Align) {
    if (!QueryFadePoint(Point)) return false;
    const int index = LocateFadePoint(Point.Offset);
    if (index > 0 && index < FCount) {
        TMMFadePoint added = Point;
        if (Align) added.Volume = CalcFadeVolume(Point.Offset);
        Insert(index, added);
    } else {
        Add(Point);
    }
    return true;
}

int TMMFadeList::LocateFadePoint(LONG Offset) const {
    if (FCount == 0) return -1;
    if (Offset >= FList[size_t(FCount - 1)].Offset) return FCount;
    int lo = 0, hi = FCount - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (FList[size_t(mid)].Offset > Offset)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

int TMMFadeList::FindFadePoint(LONG Offset) const {
    for (int i = 0; i < FCount; ++i)
        if (FList[size_t(i)].Offset == Offset) return i;
    return -1;
}

LONG TMMFadeList::CalcFadeVolume(LONG Offset) const {
    int i = LocateFadePoint(Offset);
    if (i <= 0) return 0;
    i = std::min(i, FCount - 1);
    if (i <= 0) return 0;
    const TMMFadePoint& a = FList[size_t(i - 1)];
    const TMMFadePoint& b = FList[size_t(i)];
    if (a.Offset >= b.Offset) return 0;
    return MulDiv32(b.Volume - a.Volume, Offset - a.Offset, b.Offset - a.Offset) + a.Volume;
}

void TMMFadeList::Assign(const TMMFadeList* Source) {
    BeginUpdate();
    Clear();
    if (Source) {
        SetCapacity(Source->FCount);
        for (int i = 0; i < Source->FCount; ++i) {
            TMMFadePoint p = Source->FList[size_t(i)];
            p.Selected = 0;
            Add(p);
        }
    }
    EndUpdate();
}

void TMMFadeList::AssignEnvelope(const TMMEnvelope& Source) {
    BeginUpdate();
    Clear();
    for (int i = 0; i < Source.Count(); ++i) {
        TMMFadePoint p;
        p.Offset = Source.Points(i).X_Value;
        p.Volume = Source.Points(i).Y_Value;
        Add(p);
    }
    EndUpdate();
}

void TMMFadeList::AssignToEnvelope(TMMEnvelope& Dest) const {
    // Every point is taken over, the end points included; the envelope's
    // insertion rule would refuse all but the first two.
    Dest.ClearAll();
    for (int i = 0; i < FCount; ++i)
        Dest.Append(TMMEnvelopePoint(FList[size_t(i)].Offset, FList[size_t(i)].Volume));
}

// ---- Applying a fade ----------------------------------------------------------
namespace {

// Steps a gain from its start towards End in Distance equal integer steps,
// spreading the remainder so that it lands exactly on End.
struct Ramp {
    LONG gain, step, rest, error, distance, sign;

    Ramp(LONG start, LONG end, LONG dist) : gain(start), error(0), distance(dist > 0 ? dist : 1) {
        const int64_t delta = int64_t(end) - start;
        step = static_cast<LONG>(delta / distance);
        rest = static_cast<LONG>(delta % distance);
        sign = rest < 0 ? -1 : 1;
        if (rest < 0) rest = -rest;
    }
    void Next() {
        gain += step;
        error += rest;
        if (error >= distance) {
            error -= distance;
            gain += sign;
        }
    }
};

}  // namespace

bool PCMFADE8(BYTE* Data, LONG Frames, int Channels, LONG Distance, LONG* Gains, const LONG* End) {
    bool clipped = false;
    for (int c = 0; c < Channels; ++c) {
        BYTE* p = Data + c;
        if (Gains[c] == pcmUnityVolume && End[c] == pcmUnityVolume) continue;
        if (Gains[c] == 0 && End[c] == 0) {
            for (LONG i = 0; i < Frames; ++i, p += Channels) *p = 128;
            continue;
        }
        Ramp r(Gains[c], End[c], Distance);
        for (LONG i = 0; i < Frames; ++i, p += Channels) {
            int64_t v = (int64_t(int32_t(*p) - 128) * r.gain) >> 14;
            if (v > 127) v = 127, clipped = true;
            if (v < -128) v = -128, clipped = true;
            *p = static_cast<BYTE>(v + 128);
            r.Next();
        }
        Gains[c] = r.gain;
    }
    return clipped;
}

bool PCMFADE16(char* Data, LONG Frames, int Channels, LONG Distance, LONG* Gains, const LONG* End) {
    bool clipped = false;
    const LONG stride = 2 * Channels;
    for (int c = 0; c < Channels; ++c) {
        char* p = Data + 2 * c;
        if (Gains[c] == pcmUnityVolume && End[c] == pcmUnityVolume) continue;
        if (Gains[c] == 0 && End[c] == 0) {
            for (LONG i = 0; i < Frames; ++i, p += stride) std::memset(p, 0, 2);
            continue;
        }
        Ramp r(Gains[c], End[c], Distance);
        for (LONG i = 0; i < Frames; ++i, p += stride) {
            int16_t s;
            std::memcpy(&s, p, 2);
            int64_t v = (int64_t(s) * r.gain) >> 14;
            if (v > 32767) v = 32767, clipped = true;
            if (v < -32768) v = -32768, clipped = true;
            s = static_cast<int16_t>(v);
            std::memcpy(p, &s, 2);
            r.Next();
        }
        Gains[c] = r.gain;
    }
    return clipped;
}

namespace {

bool Fade(const WAVEFORMATEX* pwfx, char* Buffer, LONG Bytes, TMMFadeList* list, bool bits8) {
    pcmSetClipIndicator(false);
    if (!pwfx || pwfx->wFormatTag != WAVE_FORMAT_PCM || !list || !Buffer) return false;
    const int channels = pwfx->nChannels;
    const LONG frameBytes = pwfx->nBlockAlign;
    if (channels <= 0 || frameBytes <= 0) return false;
    // Channels past the second follow the right gain.
    LONG gains[16], ends[16];
    const int used = std::min(channels, 16);
    bool clipped = false;
    list->FCurIndex = std::max(list->LocateFadePoint(list->FStartOffset) - 1, 0);
    while (Bytes > 0 && list->FCurIndex < list->Count()) {
        const TMMFadePoint target = list->Get(list->FCurIndex);
        const LONG distance = target.Offset - list->FStartOffset;
        const LONG n = std::min(Bytes, distance);
        if (n > 0) {
            const LONG frames = n / frameBytes;
            for (int c = 0; c < used; ++c) {
                gains[c] = LONG(c == 0 ? list->FStartVolumeL : list->FStartVolumeR);
                ends[c] = LONG(c == 0 ? target.VolumeL : target.VolumeR);
            }
            const LONG distanceFrames = std::max<LONG>(distance / frameBytes, 1);
            // Channels beyond 16 are left alone.
            if (channels <= 16) {
                clipped |= bits8 ? PCMFADE8(reinterpret_cast<BYTE*>(Buffer), frames, channels, distanceFrames,
                                            gains, ends)
                                 : PCMFADE16(Buffer, frames, channels, distanceFrames, gains, ends);
            }
            list->FStartVolumeL = DWORD(gains[0]);
            list->FStartVolumeR = DWORD(used > 1 ? gains[1] : gains[0]);
            Buffer += n;
            Bytes -= n;
            list->FStartOffset += n;
        }
        if (list->FStartOffset >= target.Offset) {
            // Land exactly on the point's gains when the segment ended there.
            if (n > 0) {
                list->FStartVolumeL = target.VolumeL;
                list->FStartVolumeR = target.VolumeR;
            }
            ++list->FCurIndex;
        }
    }
    if (clipped) pcmSetClipIndicator(true);
    return pcmClipIndicator();
}

}  // namespace

bool pcmVolumeFade8(const WAVEFORMATEX* pwfx, char* Buffer, LONG Bytes, TMMFadeList* FadeList) {
    return Fade(pwfx, Buffer, Bytes, FadeList, true);
}

bool pcmVolumeFade16(const WAVEFORMATEX* pwfx, char* Buffer, LONG Bytes, TMMFadeList* FadeList) {
    return Fade(pwfx, Buffer, Bytes, FadeList, false);
}

bool pcmVolumeFade(const WAVEFORMATEX* pwfx, char* Buffer, LONG Bytes, TMMFadeList* FadeList) {
    if (!pwfx || pwfx->wFormatTag != WAVE_FORMAT_PCM) return false;
    return pwfx->wBitsPerSample == 8 ? pcmVolumeFade8(pwfx, Buffer, Bytes, FadeList)
                                     : pcmVolumeFade16(pwfx, Buffer, Bytes, FadeList);
}
