#pragma once

// Fade lists: volume points along the played data of a wave, with the
// playing state that the fade routine advances buffer by buffer.

#include "mmcore/MMObject.h"
#include "platform/base/wintypes.h"

#include <vector>

class TMMEnvelope;

struct TMMFadePoint {
    LONG Offset = 0;    // byte offset on the played time line
    LONG Volume = 0;    // overall level (interpolation and editing only)
    DWORD VolumeL = 0;  // channel gains, 16384 = unity
    DWORD VolumeR = 0;
    DWORD Selected = 0;
};

class TMMFadeList : public TMMObject {
    Q_OBJECT

public:
    explicit TMMFadeList(QObject* parent = nullptr);
    ~TMMFadeList() override;

    int Count() const { return FCount; }
    int Capacity() const { return FCapacity; }
    void SetCount(int Value);
    void SetCapacity(int Value);

    int Add(const TMMFadePoint& Point);
    void Insert(int Index, const TMMFadePoint& Point);
    void Delete(int Index);
    TMMFadePoint Get(int Index) const;
    void Put(int Index, const TMMFadePoint& Point);
    TMMFadePoint First() const { return Get(0); }
    TMMFadePoint Last() const { return Get(FCount - 1); }
    bool Selected(int Index) const { return Get(Index).Selected != 0; }
    // Count and capacity 0; the playing state stays.
    void Clear();
    // Grows when full; returns the list.
    TMMFadeList* Expand();
    void Sort();
    const TMMFadePoint* List() const { return FList.data(); }

    // True when the point may be inserted: strictly between the end points
    // and at a new offset; an empty list takes any point.
    bool QueryFadePoint(const TMMFadePoint& Point) const;
    bool AddFadePoint(const TMMFadePoint& Point, bool Align);
    // -1 when empty; Count when Offset >= the last offset; else the first
    // point with a greater offset.
    int LocateFadePoint(LONG Offset) const;
    int FindFadePoint(LONG Offset) const;
    LONG CalcFadeVolume(LONG Offset) const;

    void Assign(const TMMFadeList* Source);
    void AssignEnvelope(const TMMEnvelope& Source);
    void AssignToEnvelope(TMMEnvelope& Dest) const;

    // The playing state: the point the fade heads for, the offset the next
    // buffer starts at, and the gains in force there.
    int FCurIndex = 0;
    LONG FStartOffset = 0;
    LONG FStartVolume = 0;
    DWORD FStartVolumeL = 0;
    DWORD FStartVolumeR = 0;

protected:
    void Grow();
    void CheckIndex(int Index, int Limit) const;

    std::vector<TMMFadePoint> FList;  // size == FCapacity
    int FCount = 0;
    int FCapacity = 0;
};

// Applies the fade list to PCM data; true when a sample was clipped. False
// and no change for nullptr, a non-PCM format or no list.
bool pcmVolumeFade(const WAVEFORMATEX* pwfx, char* Buffer, LONG Bytes, TMMFadeList* FadeList);
bool pcmVolumeFade8(const WAVEFORMATEX* pwfx, char* Buffer, LONG Bytes, TMMFadeList* FadeList);
bool pcmVolumeFade16(const WAVEFORMATEX* pwfx, char* Buffer, LONG Bytes, TMMFadeList* FadeList);

// One segment: ramps each channel's gain from Start towards End over
// Distance frames, processing Frames of them. Gains hold one entry per
// channel and return the gains reached. True when a sample was clipped.
bool PCMFADE8(BYTE* Data, LONG Frames, int Channels, LONG Distance, LONG* Gains, const LONG* End);
bool PCMFADE16(char* Data, LONG Frames, int Channels, LONG Distance, LONG* Gains, const LONG* End);
