#pragma once

// The LED of a bell: one rectangle inside the bevel frame, LEDColor while
// lit and Color while out, with an optional caption over it. Lighting and
// putting out is meant for every bell stroke: it paints at once and only
// the lit area (the whole control when there is a caption).

#include "controls/MMGraphicControl.h"

#include <QColor>
#include <QRect>
#include <QString>
#include <functional>

class QPainter;

// Draws the LED in place of the lit or unlit area and the caption; R is the
// LED's client rectangle.
using TMMPaintEvent = std::function<void(QObject* Sender, QPainter& Canvas, const QRect& R)>;

class TMMLED : public TMMGraphicControl {
    Q_OBJECT
    Q_PROPERTY(bool Enabled READ Enabled WRITE SetEnabled)
    Q_PROPERTY(QColor LEDColor READ LEDColor WRITE SetLEDColor)
    Q_PROPERTY(QString Caption READ Caption WRITE SetCaption)

public:
    explicit TMMLED(QWidget* parent = nullptr);

    // Lit. This is the LED's own state, not QWidget's enabled state: an
    // unlit LED still takes the mouse. A change paints at once: the lit
    // area alone without a caption, the whole control with one; nothing
    // while the LED is not shown. Main thread only, like every widget call.
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);

    QColor LEDColor() const { return FLEDColor; }
    void SetLEDColor(const QColor& Value);  // invalidates

    // Drawn over the LED in the widget's font and foreground colour.
    QString Caption() const { return FCaption; }
    void SetCaption(const QString& Value);

    void SetBounds(int ALeft, int ATop, int AWidth, int AHeight) override;

    // The area inside the frame, as last computed.
    QRect LitRect() const { return FBeveledRect; }

    TMMPaintEvent OnPaint;

protected:
    void Changed() override;
    void Paint(QPainter& Canvas) override;
    // The caption has changed: repaint the whole control at once.
    virtual void CMTextChanged();
    // The LED state (or OnPaint) and the caption.
    virtual void DrawLED(QPainter& Canvas);

    void resizeEvent(QResizeEvent* e) override;

    bool FEnabled = false;
    QColor FLEDColor;
    QRect FBeveledRect;
    QString FCaption;

private:
    // Shown in a window that exists: only then is there anything to draw.
    bool CanDraw() const;
};
