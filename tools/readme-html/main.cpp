// The ringer's documentation as a web page, made from the README at build
// time with Qt's own Markdown reader:
//
//   quorvel-readme-html README.md OUT.html
//
// Pictures and linked files named relative to the README are copied beside
// OUT.html under the same names, so that they show in a browser; one that
// is missing is left out (a picture becomes its description, a link its
// text), and the page is still written.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QUrl>
#include <cstdio>
#include <vector>

namespace {

// A name relative to the README (no scheme, no absolute path, no anchor),
// and no way out of its folder.
bool IsLocal(const QString& Name) {
    if (Name.isEmpty() || Name.startsWith(QLatin1Char('#'))) return false;
    const QUrl url(Name);
    if (!url.scheme().isEmpty() || QDir::isAbsolutePath(Name)) return false;
    return !QDir::cleanPath(Name).startsWith(QLatin1String(".."));
}

// Copies Name from From beside the page in To; false when there is no such file.
bool CopyBeside(const QString& Name, const QDir& From, const QDir& To) {
    const QString source = From.filePath(Name);
    if (!QFileInfo(source).isFile()) return false;
    const QString target = To.filePath(QDir::cleanPath(Name));
    if (!QDir().mkpath(QFileInfo(target).absolutePath())) return false;
    QFile::remove(target);
    return QFile::copy(source, target);
}

struct Missing {
    int Position;
    int Length;
    QString Text;
    bool Picture;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quorvel-readme-html README.md OUT.html\n");
        return 2;
    }
    // The document measures its fonts: an application without a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);

    const QString input = QString::fromLocal8Bit(argv[1]);
    const QString output = QString::fromLocal8Bit(argv[2]);
    QFile in(input);
    if (!in.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "quorvel-readme-html: cannot read %s\n", argv[1]);
        return 1;
    }
    const QDir from = QFileInfo(input).absoluteDir();
    const QDir to = QFileInfo(output).absoluteDir();
    if (!QDir().mkpath(to.absolutePath())) {
        std::fprintf(stderr, "quorvel-readme-html: cannot create the folder of %s\n", argv[2]);
        return 1;
    }

    QTextDocument doc;
    doc.setMarkdown(QString::fromUtf8(in.readAll()), QTextDocument::MarkdownDialectGitHub);
    doc.setMetaInformation(QTextDocument::DocumentTitle, QStringLiteral("Quorvel 16"));
    QFont font = doc.defaultFont();
    font.setPointSize(11);  // a page to read, not a dialog
    doc.setDefaultFont(font);

    std::vector<Missing> missing;
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (format.isImageFormat()) {
                const QTextImageFormat image = format.toImageFormat();
                if (!IsLocal(image.name())) continue;
                if (!CopyBeside(image.name(), from, to)) {
                    QString alt = image.property(QTextFormat::ImageAltText).toString();
                    if (alt.isEmpty()) alt = image.name();
                    missing.push_back({fragment.position(), fragment.length(), alt, true});
                    std::fprintf(stderr,
                                 "quorvel-readme-html: picture %s is missing; its description stays\n",
                                 qPrintable(image.name()));
                }
            } else if (format.isAnchor()) {
                const QString href = format.anchorHref();
                if (!IsLocal(href) || CopyBeside(href, from, to)) continue;
                missing.push_back({fragment.position(), fragment.length(), QString(), false});
                std::fprintf(stderr, "quorvel-readme-html: linked file %s is missing; its text stays\n",
                             qPrintable(href));
            }
        }
    }
    // From the end, so that earlier positions stay valid.
    for (auto m = missing.rbegin(); m != missing.rend(); ++m) {
        QTextCursor cursor(&doc);
        cursor.setPosition(m->Position);
        cursor.setPosition(m->Position + m->Length, QTextCursor::KeepAnchor);
        if (m->Picture) {
            QTextCharFormat plain;
            plain.setFontItalic(true);
            cursor.insertText(QStringLiteral("[%1]").arg(m->Text), plain);
        } else {
            QTextCharFormat plain = cursor.charFormat();
            plain.setAnchor(false);
            plain.setAnchorHref(QString());
            plain.setFontUnderline(false);
            plain.clearForeground();
            cursor.setCharFormat(plain);
        }
    }

    QFile out(output);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(doc.toHtml().toUtf8()) < 0 ||
        !out.flush()) {
        std::fprintf(stderr, "quorvel-readme-html: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
