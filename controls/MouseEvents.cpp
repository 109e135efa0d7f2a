#include "controls/MouseEvents.h"

#include <QMouseEvent>
#include <QWidget>

namespace {

bool ButtonOf(Qt::MouseButton b, TMouseButton& Button) {
    switch (b) {
        case Qt::LeftButton:
            Button = mbLeft;
            return true;
        case Qt::RightButton:
            Button = mbRight;
            return true;
        case Qt::MiddleButton:
            Button = mbMiddle;
            return true;
        default:
            return false;
    }
}

}  // namespace

TShiftState TMouseEvents::ShiftStateOf(const QMouseEvent* e) {
    TShiftState s = 0;
    const Qt::KeyboardModifiers m = e->modifiers();
    if (m & Qt::ShiftModifier) s |= ssShift;
    if (m & Qt::AltModifier) s |= ssAlt;
    if (m & Qt::ControlModifier) s |= ssCtrl;
    const Qt::MouseButtons b = e->buttons();
    if (b & Qt::LeftButton) s |= ssLeft;
    if (b & Qt::RightButton) s |= ssRight;
    if (b & Qt::MiddleButton) s |= ssMiddle;
    return s;
}

void TMouseEvents::Press(QObject* Sender, QMouseEvent* e, TShiftState Extra) {
    TMouseButton Button;
    if (!ButtonOf(e->button(), Button)) return;
    // Armed before the handler runs: a handler that opens a window or runs
    // a nested event loop may see the release delivered inside it.
    if (Button == mbLeft) FClickPending = true;
    if (OnMouseDown) {
        const QPoint p = e->position().toPoint();
        OnMouseDown(Sender, Button, ShiftStateOf(e) | Extra, p.x(), p.y());
    }
}

void TMouseEvents::MousePress(QObject* Sender, QMouseEvent* e) {
    Press(Sender, e, 0);
}

void TMouseEvents::MouseDoubleClick(QObject* Sender, QMouseEvent* e) {
    TMouseButton Button;
    if (!ButtonOf(e->button(), Button)) return;
    if (Button == mbLeft && OnDblClick) OnDblClick(Sender);
    Press(Sender, e, ssDouble);
}

void TMouseEvents::MouseRelease(QWidget* Sender, QMouseEvent* e) {
    TMouseButton Button;
    if (!ButtonOf(e->button(), Button)) return;
    const QPoint p = e->position().toPoint();
    // Decided before OnMouseUp runs, which may move or hide the control.
    const bool Click = Button == mbLeft && FClickPending && Sender->rect().contains(p);
    if (Button == mbLeft) FClickPending = false;
    if (OnMouseUp) OnMouseUp(Sender, Button, ShiftStateOf(e), p.x(), p.y());
    if (Click && OnClick) OnClick(Sender);
}

void TMouseEvents::MouseMove(QObject* Sender, QMouseEvent* e) {
    if (!OnMouseMove) return;
    const QPoint p = e->position().toPoint();
    OnMouseMove(Sender, ShiftStateOf(e), p.x(), p.y());
}
