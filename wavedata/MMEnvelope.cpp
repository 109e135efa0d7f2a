#include "wavedata/MMEnvelope.h"

#include "wavedata/MMListError.h"
#include "wavedata/MMMulDiv.h"

#include <QtEndian>

void TMMEnvelopePoint::Store(QIODevice& Stream) const {
    char bytes[9];
    qToLittleEndian<qint32>(X_Value, bytes);
    qToLittleEndian<qint32>(Y_Value, bytes + 4);
    bytes[8] = Selected ? 1 : 0;
    Stream.write(bytes, sizeof bytes);
}

bool TMMEnvelopePoint::Load(QIODevice& Stream) {
    char bytes[9];
    if (Stream.read(bytes, sizeof bytes) != sizeof bytes) return false;
    X_Value = qFromLittleEndian<qint32>(bytes);
    Y_Value = qFromLittleEndian<qint32>(bytes + 4);
    Selected = bytes[8] != 0;
    return true;
}

const TMMEnvelopePoint& TMMEnvelope::Points(int Index) const {
    if (Index < 0 || Index >= Count()) throw EListError(Index);
    return FPoints[size_t(Index)];
}

TMMEnvelopePoint& TMMEnvelope::Points(int Index) {
    if (Index < 0 || Index >= Count()) throw EListError(Index);
    return FPoints[size_t(Index)];
}

int TMMEnvelope::Locate(LONG X) const {
    int lo = 0, hi = Count();
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (FPoints[size_t(mid)].X_Value > X)
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

bool TMMEnvelope::AddPoint(const TMMEnvelopePoint& Point, bool Align) {
    if (Count() > 1) {
        if (FPoints.front().X_Value >= Point.X_Value || FPoints.back().X_Value <= Point.X_Value) return false;
        for (const TMMEnvelopePoint& p : FPoints)
            if (p.X_Value == Point.X_Value) return false;
    }
    const int index = Locate(Point.X_Value);
    if (index <= 0 || index >= Count()) {
        FPoints.push_back(Point);
        return true;
    }
    TMMEnvelopePoint added = Point;
    if (Align) {
        const TMMEnvelopePoint& a = FPoints[size_t(index - 1)];
        const TMMEnvelopePoint& b = FPoints[size_t(index)];
        added.Y_Value =
            MulDiv32(b.Y_Value - a.Y_Value, Point.X_Value - a.X_Value, b.X_Value - a.X_Value) + a.Y_Value;
    }
    FPoints.insert(FPoints.begin() + index, added);
    return true;
}

void TMMEnvelope::Clear() {
    if (FPoints.size() > 2) FPoints.erase(FPoints.begin() + 1, FPoints.end() - 1);
    for (TMMEnvelopePoint& p : FPoints) p.Y_Value = FDefaultLevel;
}
