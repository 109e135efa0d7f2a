#include "controls/MMLED.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>

TMMLED::TMMLED(QWidget* parent) : TMMGraphicControl(parent) {
    // The caption starts empty; it is never taken from the object name.
    FBeveledRect = BeveledRect();
    SetHeight(8);
    SetWidth(16);
    FEnabled = true;
    SetColor(QColor(0, 128, 0));
    SetLEDColor(QColor(0, 255, 0));
}

bool TMMLED::CanDraw() const {
    return isVisible() && window()->windowHandle() != nullptr;
}

void TMMLED::SetEnabled(bool Value) {
    if (Value == FEnabled) return;
    FEnabled = Value;
    if (!CanDraw()) return;  // shown later, it paints its state then
    // Synchronous and confined: the window's repaint manager paints just
    // this rectangle (and whatever lies over it) and flushes it now.
    if (FCaption.isEmpty())
        repaint(FBeveledRect);
    else
        repaint();
}

void TMMLED::SetLEDColor(const QColor& Value) {
    if (Value == FLEDColor) return;
    FLEDColor = Value;
    update();
}

void TMMLED::SetCaption(const QString& Value) {
    if (Value == FCaption) return;
    FCaption = Value;
    CMTextChanged();
}

void TMMLED::CMTextChanged() {
    repaint();
}

void TMMLED::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    TMMGraphicControl::SetBounds(ALeft, ATop, AWidth, AHeight);
    FBeveledRect = BeveledRect();
}

// resize() and setGeometry() from outside SetBounds land here (for a hidden
// control only when it is shown, before it paints).
void TMMLED::resizeEvent(QResizeEvent* e) {
    TMMGraphicControl::resizeEvent(e);
    FBeveledRect = BeveledRect();
}

void TMMLED::Changed() {
    FBeveledRect = BeveledRect();
    TMMGraphicControl::Changed();
}

void TMMLED::Paint(QPainter& Canvas) {
    TMMGraphicControl::Paint(Canvas);
    DrawLED(Canvas);
}

// Reached only from a paint event, so there is always somewhere to draw;
// the "no window, nothing to draw" rule guards the direct draw in SetEnabled.
void TMMLED::DrawLED(QPainter& Canvas) {
    if (OnPaint) {
        OnPaint(this, Canvas, rect());
        return;
    }
    if (!FBeveledRect.isEmpty()) Canvas.fillRect(FBeveledRect, FEnabled ? FLEDColor : FColor);
    if (FCaption.isEmpty()) return;

    // The caption is centred on the lit area, in a band one line of the
    // font high, and kept inside the lit area so it never covers the frame.
    // Only the first line can show in that band. Qt expands tabs only in
    // left-aligned text, so the line is measured and placed left-aligned.
    const QFont f = font();
    const QFontMetrics fm(f);
    const int h = fm.size(Qt::TextSingleLine, QStringLiteral("W")).height();
    const int top = FBeveledRect.top();
    const int bottom = FBeveledRect.top() + FBeveledRect.height();  // exclusive
    const int sum = top + bottom - h;
    const int bandTop = sum >= 0 ? sum / 2 : -((-sum + 1) / 2);  // halved, rounded down
    const QRect band(FBeveledRect.left(), bandTop, FBeveledRect.width(), h);

    qsizetype end = 0;
    while (end < FCaption.size() && FCaption[end] != u'\r' && FCaption[end] != u'\n') ++end;
    const QString line = FCaption.left(end);
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextExpandTabs;
    const int w = fm.boundingRect(QRect(0, 0, 0, 0), flags, line).width();
    const QRect text(band.left() + (band.width() - w) / 2, bandTop, w, h);

    Canvas.save();
    Canvas.setClipRect(band & FBeveledRect);
    Canvas.setBrush(Qt::NoBrush);
    Canvas.setBackgroundMode(Qt::TransparentMode);
    Canvas.setFont(f);
    Canvas.setPen(palette().color(foregroundRole()));
    Canvas.drawText(text, flags, line);
    Canvas.restore();
}
