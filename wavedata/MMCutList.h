#pragma once

// Lists of stretches of a wave in samples, held sorted by start: the cut
// list (stretches to leave out) and the region list (stretches to play).

#include "mmcore/MMObject.h"
#include "platform/base/wintypes.h"

#include <vector>

struct TMMCutRegion {
    LONG dwStartPos = 0;  // samples
    DWORD dwStartPosBytes = 0;
    LONG dwLength = 0;  // samples
    DWORD dwLengthBytes = 0;
    DWORD dwLoops = 0;
};

class TMMCutList : public TMMObject {
    Q_OBJECT

public:
    explicit TMMCutList(QObject* parent = nullptr);

    int Count() const { return FCount; }
    int Capacity() const { return FCapacity; }
    void SetCount(int Value);
    void SetCapacity(int Value);

    int Add(const TMMCutRegion& Region);
    void Insert(int Index, const TMMCutRegion& Region);
    void Delete(int Index);
    // Deletes the first entry with the same start and length; its index or -1.
    int Remove(const TMMCutRegion& Region);
    int IndexOf(const TMMCutRegion& Region) const;
    TMMCutRegion Get(int Index) const;
    TMMCutRegion Regions(int Index) const { return Get(Index); }
    void Put(int Index, const TMMCutRegion& Region);
    TMMCutRegion First() const { return Get(0); }
    TMMCutRegion Last() const { return Get(FCount - 1); }
    void Clear();
    void SetParams(int Index, LONG StartPos, LONG Length);
    void Assign(const TMMCutList* Source);
    const TMMCutRegion* List() const { return FList.data(); }

    // False when a region already contains the start; else inserted in order.
    bool AddRegion(const TMMCutRegion& Region);
    // -1 when empty; Count when Offset >= the last start; else the first
    // region starting after Offset.
    int LocateRegion(LONG Offset) const;
    // The region containing Offset, or -1.
    int FindRegion(LONG Offset) const;
    // True when no region contains Offset.
    bool QueryRegion(LONG Offset) const { return FindRegion(Offset) < 0; }

private:
    void Grow();
    void CheckIndex(int Index, int Limit) const;

    std::vector<TMMCutRegion> FList;  // size == FCapacity
    int FCount = 0;
    int FCapacity = 0;
};
