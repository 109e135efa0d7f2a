#pragma once

// Pen drawing on a 32-bit image the way the window system's pen draws:
// MoveTo places the pen, LineTo draws from there towards a point and stops
// one pixel short of it (the next line starts there), so a polyline never
// draws a joint twice. Everything is clipped to the image. Pixels are written
// directly: the waveform scan draws thousands of short lines per file.

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QRgb>

class TPixelCanvas {
public:
    // Image must be Format_RGB32 or Format_ARGB32(_Premultiplied).
    explicit TPixelCanvas(QImage& Image);

    QRgb PenColor() const { return FPen; }
    void SetPenColor(QRgb Color) { FPen = Color | 0xFF000000u; }
    QPoint PenPos() const { return {FX, FY}; }

    void MoveTo(int X, int Y);
    void LineTo(int X, int Y);
    void FillRect(const QRect& Rect, QRgb Color);
    // Column X from Y0 to Y1 (both included) exclusive-or Color: drawing it
    // twice leaves the picture as it was.
    void XorColumn(int X, int Y0, int Y1, QRgb Color);

private:
    void Plot(int X, int Y) {
        if (X >= 0 && Y >= 0 && X < FWidth && Y < FHeight) Row(Y)[X] = FPen;
    }
    QRgb* Row(int Y) { return reinterpret_cast<QRgb*>(FBits + static_cast<qsizetype>(Y) * FStride); }

    uchar* FBits;
    qsizetype FStride;
    int FWidth, FHeight;
    QRgb FPen = 0xFF000000u;
    int FX = 0, FY = 0;
};
