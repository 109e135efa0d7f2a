#include "wavedata/MMCutList.h"

#include "wavedata/MMListError.h"

#include <algorithm>

TMMCutList::TMMCutList(QObject* parent) : TMMObject(parent) {}

void TMMCutList::CheckIndex(int Index, int Limit) const {
    if (Index < 0 || Index >= Limit) throw EListError(Index);
}

void TMMCutList::SetCapacity(int Value) {
    if (Value < FCount || Value > MaxListSize) throw EListError(Value);
    if (Value == FCapacity) return;
    FList.resize(size_t(Value));
    FCapacity = Value;
}

void TMMCutList::SetCount(int Value) {
    if (Value < 0 || Value > MaxListSize) throw EListError(Value);
    Changing();
    if (Value > FCapacity) SetCapacity(Value);
    for (int i = FCount; i < Value; ++i) FList[size_t(i)] = TMMCutRegion{};
    FCount = Value;
    Changed();
}

void TMMCutList::Grow() {
    SetCapacity(std::min(MaxListSize, FCapacity + ListGrowDelta(FCapacity)));
}

int TMMCutList::Add(const TMMCutRegion& Region) {
    Insert(FCount, Region);
    return FCount - 1;
}

void TMMCutList::Insert(int Index, const TMMCutRegion& Region) {
    CheckIndex(Index, FCount + 1);
    if (FCount == MaxListSize) throw EListError(FCount);
    Changing();
    if (FCount == FCapacity) Grow();
    std::copy_backward(FList.begin() + Index, FList.begin() + FCount, FList.begin() + FCount + 1);
    FList[size_t(Index)] = Region;
    ++FCount;
    Changed();
}

void TMMCutList::Delete(int Index) {
    CheckIndex(Index, FCount);
    Changing();
    std::copy(FList.begin() + Index + 1, FList.begin() + FCount, FList.begin() + Index);
    --FCount;
    Changed();
}

int TMMCutList::IndexOf(const TMMCutRegion& Region) const {
    for (int i = 0; i < FCount; ++i)
        if (FList[size_t(i)].dwStartPos == Region.dwStartPos && FList[size_t(i)].dwLength == Region.dwLength)
            return i;
    return -1;
}

int TMMCutList::Remove(const TMMCutRegion& Region) {
    const int index = IndexOf(Region);
    if (index >= 0) Delete(index);
    return index;
}

TMMCutRegion TMMCutList::Get(int Index) const {
    CheckIndex(Index, FCount);
    return FList[size_t(Index)];
}

void TMMCutList::Put(int Index, const TMMCutRegion& Region) {
    CheckIndex(Index, FCount);
    Changing();
    FList[size_t(Index)] = Region;
    Changed();
}

void TMMCutList::Clear() {
    Changing();
    FList.clear();
    FCount = FCapacity = 0;
    Changed();
}

void TMMCutList::SetParams(int Index, LONG StartPos, LONG Length) {
    CheckIndex(Index, FCount);
    BeginUpdate();
    FList[size_t(Index)].dwStartPos = StartPos;
    FList[size_t(Index)].dwLength = Length;
    EndUpdate();
}

void TMMCutList::Assign(const TMMCutList* Source) {
    BeginUpdate();
    Clear();
    if (Source) {
        SetCapacity(Source->FCount);
        for (int i = 0; i < Source->FCount; ++i) Add(Source->FList[size_t(i)]);
    }
    EndUpdate();
}

int TMMCutList::LocateRegion(LONG Offset) const {
    if (FCount == 0) return -1;
    if (Offset >= FList[size_t(FCount - 1)].dwStartPos) return FCount;
    int lo = 0, hi = FCount - 1;
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (FList[size_t(mid)].dwStartPos > Offset)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

int TMMCutList::FindRegion(LONG Offset) const {
    const int i = LocateRegion(Offset) - 1;
    if (i < 0) return -1;
    const TMMCutRegion& r = FList[size_t(i)];
    if (r.dwStartPos <= Offset && Offset <= int64_t(r.dwStartPos) + r.dwLength - 1) return i;
    return -1;
}

bool TMMCutList::AddRegion(const TMMCutRegion& Region) {
    if (FindRegion(Region.dwStartPos) >= 0) return false;
    int index = LocateRegion(Region.dwStartPos);
    if (index < 0) index = FCount;
    Insert(index, Region);
    return true;
}
