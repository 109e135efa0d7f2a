#pragma once

// The point list behind an envelope editor: points in ascending X with a
// first and a last point that stay.

#include "platform/base/wintypes.h"

#include <QIODevice>
#include <vector>

class TMMEnvelopePoint {
public:
    TMMEnvelopePoint() = default;
    TMMEnvelopePoint(LONG X, LONG Y, bool Sel = false) : X_Value(X), Y_Value(Y), Selected(Sel) {}

    void SetParams(LONG X, LONG Y, bool Sel) {
        X_Value = X;
        Y_Value = Y;
        Selected = Sel;
    }
    void Assign(const TMMEnvelopePoint& Source) { *this = Source; }
    // 4 + 4 + 1 bytes, little-endian.
    void Store(QIODevice& Stream) const;
    // False when the stream ends early.
    bool Load(QIODevice& Stream);

    LONG X_Value = 0;
    LONG Y_Value = 0;
    bool Selected = false;
};

class TMMEnvelope {
public:
    explicit TMMEnvelope(LONG DefaultLevel = 0) : FDefaultLevel(DefaultLevel) {}

    int Count() const { return static_cast<int>(FPoints.size()); }
    const TMMEnvelopePoint& Points(int Index) const;
    TMMEnvelopePoint& Points(int Index);
    LONG DefaultLevel() const { return FDefaultLevel; }
    void SetDefaultLevel(LONG Value) { FDefaultLevel = Value; }

    // Index of the first point with a greater X (Count when none).
    int Locate(LONG X) const;
    // Refused (false) when the point does not fall strictly between the end
    // points or repeats an X; an envelope of at most one point takes any.
    // Align replaces Y by the value between its neighbours.
    bool AddPoint(const TMMEnvelopePoint& Point, bool Align);
    // Keeps the first and the last point, every Y back to the default level.
    void Clear();
    // Appends without any check.
    void Append(const TMMEnvelopePoint& Point) { FPoints.push_back(Point); }
    // Removes every point, the end points included.
    void ClearAll() { FPoints.clear(); }

private:
    std::vector<TMMEnvelopePoint> FPoints;
    LONG FDefaultLevel;
};
