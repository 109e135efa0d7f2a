#pragma once

// Mouse events in the shape the bell controls' handlers expect: a button, a
// shift state and a position in the control's client coordinates. Any widget
// can carry them by feeding its Qt mouse events in.

#include "platform/gui/Timer.h"  // TNotifyEvent

#include <QObject>
#include <functional>

class QMouseEvent;
class QWidget;

enum TMouseButton { mbLeft, mbRight, mbMiddle };

// Shift state bits
enum TShiftStateBit : unsigned {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32,
    ssDouble = 64
};
using TShiftState = unsigned;

using TMouseEvent =
    std::function<void(QObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(QObject* Sender, TShiftState Shift, int X, int Y)>;

// The mouse events of a control, fed from its Qt mouse events.
//
// Order: a press raises OnMouseDown; a release raises OnMouseUp and then,
// for the left button released inside the control it was pressed on,
// OnClick. Buttons other than left, right and middle are ignored.
//
// Double click: Qt delivers press, release, double click, release, and
// swallows the second press. MouseDoubleClick stands in for that press: it
// raises OnDblClick (left button only), then OnMouseDown with ssDouble in
// the shift state, and the release that follows raises OnMouseUp and OnClick
// as for any press. So every press of a fast double click reaches
// OnMouseDown and every left press-release pair over the control is a click.
// A widget feeding these must therefore not also pass the double click on to
// QWidget::mouseDoubleClickEvent (which would call mousePressEvent again),
// and must switch on mouse tracking to hear moves with no button held.
class TMouseEvents {
public:
    TNotifyEvent OnClick, OnDblClick;
    TMouseEvent OnMouseDown, OnMouseUp;
    TMouseMoveEvent OnMouseMove;

    // Call from the widget's mousePressEvent/mouseReleaseEvent/
    // mouseMoveEvent/mouseDoubleClickEvent; Sender is the widget.
    void MousePress(QObject* Sender, QMouseEvent* e);
    // OnMouseUp, then OnClick for a LEFT button released inside the control
    // it was pressed on.
    void MouseRelease(QWidget* Sender, QMouseEvent* e);
    void MouseMove(QObject* Sender, QMouseEvent* e);
    void MouseDoubleClick(QObject* Sender, QMouseEvent* e);

    // The shift state of a Qt mouse event: modifier keys and buttons held.
    static TShiftState ShiftStateOf(const QMouseEvent* e);

private:
    void Press(QObject* Sender, QMouseEvent* e, TShiftState Extra);

    // A left press on this control waits for its release to become a click.
    bool FClickPending = false;
};
