// The program's icon in the sizes desktops look for, scaled from our logo:
//
//   quorvel-app-icon LOGO.png NAME ROOT SIZE...
//
// writes ROOT/<SIZE>x<SIZE>/apps/NAME.png for each size (the hicolor theme's
// layout). The build runs it on resources/logo.png.

#include <QDir>
#include <QImage>
#include <QString>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: quorvel-app-icon LOGO.png NAME ROOT SIZE...\n");
        return 2;
    }
    // Only reading, scaling and writing images: no application object, so
    // no display is needed.
    const QImage logo = QImage(QString::fromLocal8Bit(argv[1])).convertToFormat(QImage::Format_ARGB32);
    if (logo.isNull() || logo.width() != logo.height()) {
        std::fprintf(stderr, "quorvel-app-icon: %s is no square picture\n", argv[1]);
        return 1;
    }
    const QString name = QString::fromLocal8Bit(argv[2]);
    const QString root = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*end || size < 1 || size > logo.width()) {
            std::fprintf(stderr, "quorvel-app-icon: size %s is not between 1 and %d\n", argv[i],
                         logo.width());
            return 2;
        }
        const int s = static_cast<int>(size);
        const QString folder = QStringLiteral("%1/%2x%2/apps").arg(root).arg(s);
        // Smooth scaling averages every source pixel under a target pixel,
        // so the small sizes keep the logo's colours without its stair steps.
        const QImage icon =
            s == logo.width() ? logo : logo.scaled(s, s, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QString file = folder + QLatin1Char('/') + name + QStringLiteral(".png");
        if (!QDir().mkpath(folder) || !icon.save(file, "PNG")) {
            std::fprintf(stderr, "quorvel-app-icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
