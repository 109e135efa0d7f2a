// The source of resources/logo.png: a bronze bell ringing on a sky-blue disc,
// "16" on its waist. Run by hand when the logo changes; the build keeps the PNG.
//
//   quorvel-logo-art OUTPUT.png

#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>
#include <cstdio>

namespace {

constexpr int kSize = 256;
constexpr double kMid = kSize / 2.0;

// The bell's outline: down the right side from the crown to the lip, across
// the mouth, and up the left side mirrored about the middle.
QPainterPath BellOutline() {
    QPainterPath right;
    right.moveTo(kMid, 58);
    right.cubicTo(152, 58, 165, 70, 167, 94);      // shoulder
    right.cubicTo(169, 124, 172, 152, 192, 172);   // waist flaring out
    right.cubicTo(200, 180, 203, 188, 198, 193);   // lip
    right.quadTo(kMid, 207, 2 * kMid - 198, 193);  // the mouth
    QPainterPath bell = right;
    // The left side, back up from the lip to the crown.
    bell.cubicTo(2 * kMid - 203, 188, 2 * kMid - 200, 180, 2 * kMid - 192, 172);
    bell.cubicTo(2 * kMid - 172, 152, 2 * kMid - 169, 124, 2 * kMid - 167, 94);
    bell.cubicTo(2 * kMid - 165, 70, 2 * kMid - 152, 58, kMid, 58);
    bell.closeSubpath();
    return bell;
}

void Disc(QPainter& p) {
    QRadialGradient sky(QPointF(kMid - 40, kMid - 50), 170);
    sky.setColorAt(0.0, QColor("#bfe6ff"));
    sky.setColorAt(0.55, QColor("#5db4ef"));
    sky.setColorAt(1.0, QColor("#2b7fc4"));
    p.setPen(QPen(QColor("#1d639e"), 4));
    p.setBrush(sky);
    p.drawEllipse(QPointF(kMid, kMid), kMid - 4, kMid - 4);
}

// Two arcs either side of the waist, clear of the lip: the bell is sounding.
void SoundArcs(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    const QPointF centre(kMid, 140);
    for (int i = 0; i < 2; ++i) {
        const double r = 90 + 16 * i;
        p.setPen(QPen(QColor(255, 255, 255, i == 0 ? 235 : 150), 6, Qt::SolidLine, Qt::RoundCap));
        const QRectF box(centre.x() - r, centre.y() - r, 2 * r, 2 * r);
        p.drawArc(box, -8 * 16, 42 * 16);    // right, from just below level upwards
        p.drawArc(box, 146 * 16, 42 * 16);   // left, its mirror
    }
}

void Bell(QPainter& p) {
    const QPainterPath bell = BellOutline();

    // Soft shadow under the bell, on the disc.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(10, 50, 90, 60));
    p.drawPath(QTransform().translate(4, 5).map(bell));

    // The canon: the loop the bell hangs by.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor("#8a5a12"), 7));
    p.drawEllipse(QPointF(kMid, 47), 10, 10);

    // Clapper, just showing below the mouth.
    p.setPen(QPen(QColor("#6e4708"), 2));
    p.setBrush(QColor("#a8741c"));
    p.drawEllipse(QPointF(kMid, 206), 11, 11);

    // Bronze, lit from the upper left.
    QLinearGradient bronze(QPointF(62, 0), QPointF(194, 0));
    bronze.setColorAt(0.0, QColor("#c58a22"));
    bronze.setColorAt(0.28, QColor("#ffe08a"));
    bronze.setColorAt(0.55, QColor("#f0b840"));
    bronze.setColorAt(1.0, QColor("#a86c12"));
    p.setPen(QPen(QColor("#6e4708"), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(bronze);
    p.drawPath(bell);

    // The sound bow: a band just above the lip.
    p.setPen(QPen(QColor(110, 71, 8, 150), 2.5, Qt::SolidLine, Qt::RoundCap));
    QPainterPath bow;
    bow.moveTo(72, 178);
    bow.quadTo(kMid, 190, 184, 178);
    p.setBrush(Qt::NoBrush);
    p.drawPath(bow);
}

void Number(QPainter& p) {
    QFont font("DejaVu Sans");
    font.setWeight(QFont::Black);
    font.setPixelSize(54);
    QPainterPath text;
    text.addText(0, 0, font, "16");
    const QRectF box = text.boundingRect();
    text.translate(kMid - box.center().x(), 132 - box.center().y());
    p.setPen(QPen(QColor(255, 255, 255, 200), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor("#1d639e"));
    p.drawPath(text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvel-logo-art OUTPUT.png\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    QImage logo(kSize, kSize, QImage::Format_ARGB32_Premultiplied);
    logo.fill(Qt::transparent);
    QPainter p(&logo);
    p.setRenderHint(QPainter::Antialiasing);
    Disc(p);
    SoundArcs(p);
    Bell(p);
    Number(p);
    p.end();

    if (!logo.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "quorvel-logo-art: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
