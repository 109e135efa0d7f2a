// The source of resources/wave.png, the wave picture the file chooser shows
// for a file without a picture of its own: a sound file's sheet, its corner
// folded, with a decaying bell stroke on it. 32 x 32 on a magenta ground;
// the chooser takes the bottom-left pixel's colour as transparent, so
// nothing but the sheet may be smoothed. Run by hand when it changes; the
// build keeps the PNG.
//
//   quorvel-wave-art OUTPUT.png

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygon>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kSize = 32;
const QColor kKey(255, 0, 255);  // becomes transparent

// The sheet: hard edges only, so no pixel is blended with the key colour.
void Sheet(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, false);
    const QPolygon outline({{5, 1}, {21, 1}, {27, 7}, {27, 30}, {5, 30}});
    p.setPen(QColor(64, 64, 72));
    p.setBrush(QColor(250, 250, 246));
    p.drawPolygon(outline);
    const QPolygon fold({{21, 1}, {21, 7}, {27, 7}});
    p.setBrush(QColor(206, 210, 218));
    p.drawPolygon(fold);
}

// A struck bell's sound: a fast rise and a long decay, drawn inside the
// sheet, where smoothing only meets the paper.
void Stroke(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setClipRect(QRect(7, 9, 19, 19));
    QPainterPath wave;
    const double mid = 18.5;
    wave.moveTo(7, mid);
    for (double x = 7; x <= 26; x += 0.25) {
        const double t = (x - 7) / 19.0;
        const double envelope = 7.5 * std::exp(-3.2 * t) * std::min(1.0, t * 12);
        wave.lineTo(x, mid - envelope * std::sin(t * 2 * M_PI * 4.5));
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(150, 150, 160), 1));
    p.drawLine(QPointF(7, mid), QPointF(26, mid));
    p.setPen(QPen(QColor(20, 120, 40), 1.3));
    p.drawPath(wave);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvel-wave-art OUTPUT.png\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QImage picture(kSize, kSize, QImage::Format_RGB32);
    picture.fill(kKey);
    QPainter p(&picture);
    Sheet(p);
    Stroke(p);
    p.end();

    if (picture.pixelColor(0, kSize - 1) != kKey) {
        std::fprintf(stderr, "quorvel-wave-art: the bottom-left pixel must stay the key colour\n");
        return 1;
    }
    if (!picture.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "quorvel-wave-art: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
