#pragma once

// The frame of a graphic control: outline, outer bevel, border, inner bevel
// and a gap, each of its own width and colours, painted from the outside in.

#include "mmcore/MMObject.h"

#include <QColor>
#include <QObject>
#include <QRect>

class QPainter;

namespace MMBevelTypes {
Q_NAMESPACE
enum TBevelCut { bvNone, bvLowered, bvRaised, bvSpace };
Q_ENUM_NS(TBevelCut)
enum TBorderStyle { bsNone, bsSingle };
Q_ENUM_NS(TBorderStyle)
}  // namespace MMBevelTypes

using MMBevelTypes::TBevelCut;
using MMBevelTypes::TBorderStyle;
using enum MMBevelTypes::TBevelCut;
using enum MMBevelTypes::TBorderStyle;

// Colours that stand for the desktop's own are taken from the application
// palette when a bevel is made: button face = QPalette::Button, button
// highlight = QPalette::Light, button shadow = QPalette::Dark. The outline of
// bsSingle is the window-frame colour, QPalette::Shadow (black in Qt's
// palettes, as a window frame is), read when painting.
//
// Every setter stores a different value and raises the change notification
// (OnChange, batched by BeginUpdate/EndUpdate).
class TMMBevel : public TMMObject {
    Q_OBJECT
    Q_PROPERTY(MMBevelTypes::TBevelCut BevelInner READ BevelInner WRITE SetBevelInner)
    Q_PROPERTY(MMBevelTypes::TBevelCut BevelOuter READ BevelOuter WRITE SetBevelOuter)
    Q_PROPERTY(int BevelInnerWidth READ BevelInnerWidth WRITE SetBevelInnerWidth)
    Q_PROPERTY(int BevelOuterWidth READ BevelOuterWidth WRITE SetBevelOuterWidth)
    Q_PROPERTY(MMBevelTypes::TBorderStyle BorderStyle READ BorderStyle WRITE SetBorderStyle)
    Q_PROPERTY(int BorderWidth READ BorderWidth WRITE SetBorderWidth)
    Q_PROPERTY(int BorderSpace READ BorderSpace WRITE SetBorderSpace)
    Q_PROPERTY(QColor BorderColor READ BorderColor WRITE SetBorderColor)
    Q_PROPERTY(QColor BorderSpaceColor READ BorderSpaceColor WRITE SetBorderSpaceColor)
    Q_PROPERTY(QColor InnerLightColor READ InnerLightColor WRITE SetInnerLightColor)
    Q_PROPERTY(QColor InnerShadowColor READ InnerShadowColor WRITE SetInnerShadowColor)
    Q_PROPERTY(QColor OuterLightColor READ OuterLightColor WRITE SetOuterLightColor)
    Q_PROPERTY(QColor OuterShadowColor READ OuterShadowColor WRITE SetOuterShadowColor)
    Q_PROPERTY(int BevelExtend READ BevelExtend)

public:
    explicit TMMBevel(QObject* parent = nullptr);

    // From another bevel: every setting in one update, so one OnChange.
    // Anything else cannot be assigned and raises an Exception.
    virtual void Assign(QObject* Source);

    TBevelCut BevelInner() const { return FBevelInner; }
    void SetBevelInner(TBevelCut Value);
    TBevelCut BevelOuter() const { return FBevelOuter; }
    void SetBevelOuter(TBevelCut Value);
    // Widths of the bevels are at least 1; smaller values are taken as 1.
    int BevelInnerWidth() const { return FBevelInnerWidth; }
    void SetBevelInnerWidth(int Value);
    int BevelOuterWidth() const { return FBevelOuterWidth; }
    void SetBevelOuterWidth(int Value);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle Value);
    // Border and gap are 0 or more; negative values are taken as 0.
    int BorderWidth() const { return FBorderWidth; }
    void SetBorderWidth(int Value);
    int BorderSpace() const { return FBorderSpace; }
    void SetBorderSpace(int Value);

    // Index 0 BorderColor, 1 BorderSpaceColor, 2 InnerLightColor,
    // 3 InnerShadowColor, 4 OuterLightColor, 5 OuterShadowColor; any other
    // index is ignored.
    QColor Colors(int Index) const;
    void SetColors(int Index, const QColor& Value);

    QColor BorderColor() const { return FColors[0]; }
    void SetBorderColor(const QColor& Value) { SetColors(0, Value); }
    QColor BorderSpaceColor() const { return FColors[1]; }
    void SetBorderSpaceColor(const QColor& Value) { SetColors(1, Value); }
    QColor InnerLightColor() const { return FColors[2]; }
    void SetInnerLightColor(const QColor& Value) { SetColors(2, Value); }
    QColor InnerShadowColor() const { return FColors[3]; }
    void SetInnerShadowColor(const QColor& Value) { SetColors(3, Value); }
    QColor OuterLightColor() const { return FColors[4]; }
    void SetOuterLightColor(const QColor& Value) { SetColors(4, Value); }
    QColor OuterShadowColor() const { return FColors[5]; }
    void SetOuterShadowColor(const QColor& Value) { SetColors(5, Value); }

    // Pixels the frame takes on each side. A bvSpace cut counts here
    // although PaintBevel neither draws it nor steps over it.
    int BevelExtend() const;

    // Paints the frame into Rect and gives the rectangle inside it. Without
    // Fill the border is stepped over, not painted.
    virtual void PaintBevel(QPainter& Canvas, const QRect& Rect, QRect& Result, bool Fill);

    // The outline colour of bsSingle.
    static QColor WindowFrameColor();

protected:
    TBevelCut FBevelInner = bvNone;
    TBevelCut FBevelOuter = bvLowered;
    int FBevelInnerWidth = 1;
    int FBevelOuterWidth = 1;
    TBorderStyle FBorderStyle = bsNone;
    int FBorderWidth = 0;
    int FBorderSpace = 0;
    QColor FColors[6];
};
