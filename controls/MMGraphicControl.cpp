#include "controls/MMGraphicControl.h"

#include <QPainter>
#include <QPalette>
#include <algorithm>

TMMGraphicControl::TMMGraphicControl(QWidget* parent) : QWidget(parent) {
    FBevel = new TMMBevel;
    FBevel->OnChange = [this](QObject* Sender) { BevelChanged(Sender); };
    // A control's colour starts as the window background of an edit field.
    FColor = palette().color(QPalette::Base);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // Moves are reported whether a button is held or not.
    setMouseTracking(true);
}

TMMGraphicControl::~TMMGraphicControl() {
    FBevel->OnChange = nullptr;
    delete FBevel;
    FBevel = nullptr;
}

void TMMGraphicControl::SetBevel(TMMBevel* Value) {
    FBevel->Assign(Value);
}

void TMMGraphicControl::SetColor(const QColor& Value) {
    if (Value == FColor) return;
    FColor = Value;
    update();
}

void TMMGraphicControl::SetTransparent(bool Value) {
    if (Value == FTransparent) return;
    FTransparent = Value;
    // A transparent control lets the parent paint behind it.
    setAttribute(Qt::WA_OpaquePaintEvent, !Value);
    update();
}

void TMMGraphicControl::SetBounds(int ALeft, int ATop, int AWidth, int AHeight) {
    setGeometry(ALeft, ATop, std::max(AWidth, 0), std::max(AHeight, 0));
}

int TMMGraphicControl::BevelExtend() const {
    return FBevel ? FBevel->BevelExtend() : 0;
}

QRect TMMGraphicControl::BeveledRect() const {
    const int e = BevelExtend();
    return QRect(e, e, std::max(0, width() - 2 * e), std::max(0, height() - 2 * e));
}

QPoint TMMGraphicControl::ClientToClient(const QWidget* Source, const QPoint& Point) const {
    if (!Source) return Point;
    return mapFromGlobal(Source->mapToGlobal(Point));
}

QRect TMMGraphicControl::ScreenRect(const QRect& Rect) const {
    return QRect(mapToGlobal(Rect.topLeft()), mapToGlobal(Rect.bottomRight()));
}

void TMMGraphicControl::BevelChanged(QObject*) {
    Changed();
}

void TMMGraphicControl::Changed() {
    update();
}

void TMMGraphicControl::Paint(QPainter& Canvas) {
    QRect inner;
    FBevel->PaintBevel(Canvas, rect(), inner, true);
    if (!FTransparent && !inner.isEmpty()) Canvas.fillRect(inner, FColor);
}

void TMMGraphicControl::paintEvent(QPaintEvent*) {
    QPainter Canvas(this);
    Paint(Canvas);
}

void TMMGraphicControl::mousePressEvent(QMouseEvent* e) {
    MousePress(this, e);
}
void TMMGraphicControl::mouseReleaseEvent(QMouseEvent* e) {
    MouseRelease(this, e);
}
void TMMGraphicControl::mouseMoveEvent(QMouseEvent* e) {
    MouseMove(this, e);
}
void TMMGraphicControl::mouseDoubleClickEvent(QMouseEvent* e) {
    MouseDoubleClick(this, e);
}
