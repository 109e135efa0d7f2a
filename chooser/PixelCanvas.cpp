#include "chooser/PixelCanvas.h"

#include <algorithm>
#include <cstdlib>

TPixelCanvas::TPixelCanvas(QImage& Image)
    : FBits(Image.bits()), FStride(Image.bytesPerLine()), FWidth(Image.width()), FHeight(Image.height()) {}

void TPixelCanvas::MoveTo(int X, int Y) {
    FX = X;
    FY = Y;
}

void TPixelCanvas::LineTo(int X, int Y) {
    // Bresenham over all octants; the end point itself is left out.
    int x = FX, y = FY;
    const int dx = std::abs(X - x), sx = x < X ? 1 : -1;
    const int dy = -std::abs(Y - y), sy = y < Y ? 1 : -1;
    int err = dx + dy;
    while (x != X || y != Y) {
        Plot(x, y);
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
    FX = X;
    FY = Y;
}

void TPixelCanvas::FillRect(const QRect& Rect, QRgb Color) {
    const QRect r = Rect.intersected(QRect(0, 0, FWidth, FHeight));
    if (r.isEmpty()) return;
    for (int y = r.top(); y <= r.bottom(); ++y)
        std::fill_n(Row(y) + r.left(), r.width(), Color | 0xFF000000u);
}

void TPixelCanvas::XorColumn(int X, int Y0, int Y1, QRgb Color) {
    if (X < 0 || X >= FWidth) return;
    if (Y0 > Y1) std::swap(Y0, Y1);
    const QRgb bits = Color & 0x00FFFFFFu;
    for (int y = std::max(Y0, 0); y <= std::min(Y1, FHeight - 1); ++y) Row(y)[X] ^= bits;
}
