#include "controls/MMBevel.h"

#include "platform/base/Exception.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <algorithm>

namespace {

// A rectangle with exclusive right and bottom edges, as the frame is laid
// out; QRect's inclusive right()/bottom() would blur the off-by-ones.
struct TEdges {
    int Left, Top, Right, Bottom;
};

// Width nested one-pixel rings from the outside in: left and top edges in
// Top, right and bottom edges in Bottom (so the top-right and bottom-left
// corners take Bottom). R shrinks by one pixel on every side per ring.
void Frame3D(QPainter& Canvas, TEdges& R, const QColor& Top, const QColor& Bottom, int Width) {
    for (; Width > 0; --Width) {
        const int w = R.Right - R.Left;
        const int h = R.Bottom - R.Top;
        if (w > 0 && h > 0) {
            Canvas.fillRect(R.Left, R.Top, 1, h - 1, Top);
            Canvas.fillRect(R.Left, R.Top, w - 1, 1, Top);
            Canvas.fillRect(R.Right - 1, R.Top, 1, h, Bottom);
            Canvas.fillRect(R.Left, R.Bottom - 1, w, 1, Bottom);
        }
        ++R.Left;
        ++R.Top;
        --R.Right;
        --R.Bottom;
    }
}

}  // namespace

TMMBevel::TMMBevel(QObject* parent) : TMMObject(parent) {
    const QPalette p = QGuiApplication::palette();
    FColors[0] = p.color(QPalette::Button);
    FColors[1] = QColor(0, 0, 0);
    FColors[2] = p.color(QPalette::Light);
    FColors[3] = p.color(QPalette::Dark);
    FColors[4] = p.color(QPalette::Light);
    FColors[5] = p.color(QPalette::Dark);
}

QColor TMMBevel::WindowFrameColor() {
    return QGuiApplication::palette().color(QPalette::Shadow);
}

void TMMBevel::Assign(QObject* Source) {
    if (auto* b = qobject_cast<TMMBevel*>(Source)) {
        BeginUpdate();
        try {
            SetBevelInner(b->FBevelInner);
            SetBevelOuter(b->FBevelOuter);
            SetBevelInnerWidth(b->FBevelInnerWidth);
            SetBevelOuterWidth(b->FBevelOuterWidth);
            SetBorderStyle(b->FBorderStyle);
            SetBorderWidth(b->FBorderWidth);
            SetBorderSpace(b->FBorderSpace);
            for (int i = 0; i < 6; ++i) SetColors(i, b->FColors[i]);
        } catch (...) {
            EndUpdate();
            throw;
        }
        EndUpdate();
        return;
    }
    const QString from =
        Source ? QString::fromLatin1(Source->metaObject()->className()) : QStringLiteral("nil");
    throw Exception(QStringLiteral("Cannot assign a %1 to a %2").arg(from, QStringLiteral("TMMBevel")));
}

void TMMBevel::SetBevelInner(TBevelCut Value) {
    if (Value == FBevelInner) return;
    FBevelInner = Value;
    Changed();
}

void TMMBevel::SetBevelOuter(TBevelCut Value) {
    if (Value == FBevelOuter) return;
    FBevelOuter = Value;
    Changed();
}

void TMMBevel::SetBevelInnerWidth(int Value) {
    Value = std::max(Value, 1);
    if (Value == FBevelInnerWidth) return;
    FBevelInnerWidth = Value;
    Changed();
}

void TMMBevel::SetBevelOuterWidth(int Value) {
    Value = std::max(Value, 1);
    if (Value == FBevelOuterWidth) return;
    FBevelOuterWidth = Value;
    Changed();
}

void TMMBevel::SetBorderStyle(TBorderStyle Value) {
    if (Value == FBorderStyle) return;
    FBorderStyle = Value;
    Changed();
}

void TMMBevel::SetBorderWidth(int Value) {
    Value = std::max(Value, 0);
    if (Value == FBorderWidth) return;
    FBorderWidth = Value;
    Changed();
}

void TMMBevel::SetBorderSpace(int Value) {
    Value = std::max(Value, 0);
    if (Value == FBorderSpace) return;
    FBorderSpace = Value;
    Changed();
}

QColor TMMBevel::Colors(int Index) const {
    return Index >= 0 && Index < 6 ? FColors[Index] : QColor();
}

void TMMBevel::SetColors(int Index, const QColor& Value) {
    if (Index < 0 || Index >= 6 || FColors[Index] == Value) return;
    FColors[Index] = Value;
    Changed();
}

int TMMBevel::BevelExtend() const {
    int e = FBorderWidth + FBorderSpace;
    if (FBevelOuter != bvNone) e += FBevelOuterWidth;
    if (FBevelInner != bvNone) e += FBevelInnerWidth;
    if (FBorderStyle == bsSingle) e += 1;
    return e;
}

void TMMBevel::PaintBevel(QPainter& Canvas, const QRect& Rect, QRect& Result, bool Fill) {
    TEdges R{Rect.left(), Rect.top(), Rect.left() + Rect.width(), Rect.top() + Rect.height()};

    if (FBorderStyle == bsSingle) {
        const QColor frame = WindowFrameColor();
        Frame3D(Canvas, R, frame, frame, 1);
    }

    auto cut = [&](TBevelCut Cut, const QColor& Light, const QColor& Shadow, int Width) {
        if (Cut == bvLowered)
            Frame3D(Canvas, R, Shadow, Light, Width);
        else if (Cut == bvRaised)
            Frame3D(Canvas, R, Light, Shadow, Width);
    };

    cut(FBevelOuter, FColors[4], FColors[5], FBevelOuterWidth);

    if (Fill) {
        Frame3D(Canvas, R, FColors[0], FColors[0], FBorderWidth);
    } else {
        R.Left += FBorderWidth;
        R.Top += FBorderWidth;
        R.Right -= FBorderWidth;
        R.Bottom -= FBorderWidth;
    }

    cut(FBevelInner, FColors[2], FColors[3], FBevelInnerWidth);

    if (FBorderSpace != 0) Frame3D(Canvas, R, FColors[1], FColors[1], FBorderSpace);

    // A frame wider than the rectangle leaves nothing inside, not a
    // turned-over rectangle that QPainter would fill.
    Result = QRect(R.Left, R.Top, std::max(0, R.Right - R.Left), std::max(0, R.Bottom - R.Top));
}
