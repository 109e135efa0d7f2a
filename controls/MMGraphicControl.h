#pragma once

// The base of the bell controls: a windowless control (a Qt alien widget)
// that owns a bevel frame, paints it and fills the area inside it with its
// colour. It paints its whole area itself, so the parent never paints
// behind it.

#include "controls/MMBevel.h"
#include "controls/MouseEvents.h"

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QWidget>

class QPainter;

class TMMGraphicControl : public QWidget, public TMouseEvents {
    Q_OBJECT
    Q_PROPERTY(TMMBevel* Bevel READ Bevel WRITE SetBevel)
    Q_PROPERTY(QColor Color READ Color WRITE SetColor)
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)
    Q_PROPERTY(int Left READ Left WRITE SetLeft)
    Q_PROPERTY(int Top READ Top WRITE SetTop)
    Q_PROPERTY(int Width READ Width WRITE SetWidth)
    Q_PROPERTY(int Height READ Height WRITE SetHeight)

public:
    explicit TMMGraphicControl(QWidget* parent = nullptr);
    ~TMMGraphicControl() override;

    // The control's own bevel; setting one copies its settings.
    TMMBevel* Bevel() const { return FBevel; }
    void SetBevel(TMMBevel* Value);

    QColor Color() const { return FColor; }
    void SetColor(const QColor& Value);  // invalidates

    int Tag() const { return FTag; }
    void SetTag(int Value) { FTag = Value; }

    // Moves and sizes the control; every bounds property goes through here.
    virtual void SetBounds(int ALeft, int ATop, int AWidth, int AHeight);
    int Left() const { return x(); }
    void SetLeft(int Value) { SetBounds(Value, y(), width(), height()); }
    int Top() const { return y(); }
    void SetTop(int Value) { SetBounds(x(), Value, width(), height()); }
    int Width() const { return width(); }
    void SetWidth(int Value) { SetBounds(x(), y(), Value, height()); }
    int Height() const { return height(); }
    void SetHeight(int Value) { SetBounds(x(), y(), width(), Value); }

    int BevelExtend() const;
    // (0, 0, Width, Height) shrunk by BevelExtend on every side; never of
    // negative size.
    QRect BeveledRect() const;

    // A point in Source's client coordinates, in this control's.
    QPoint ClientToClient(const QWidget* Source, const QPoint& Point) const;
    // A client rectangle in screen coordinates, corner by corner.
    QRect ScreenRect(const QRect& Rect) const;

    bool Transparent() const { return FTransparent; }
    void SetTransparent(bool Value);

protected:
    // The bevel's change notification.
    virtual void BevelChanged(QObject* Sender);
    // Something that shows has changed: invalidate.
    virtual void Changed();
    // The frame, then the inside in Color unless transparent. Called from
    // paintEvent with a painter on the control.
    virtual void Paint(QPainter& Canvas);

    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

    TMMBevel* FBevel = nullptr;
    bool FTransparent = false;
    QColor FColor;
    int FTag = 0;
};
