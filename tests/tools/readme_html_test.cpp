// README.html as a ringer's browser shows it: the build's own page with its
// pictures beside it, and a README whose picture or linked file is missing
// still makes a page, with the picture's description in its place.

#include "tests/support/TempDir.h"
#include "tests/support/XDesktop.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QString>

namespace {

QByteArray Read(const QString& Path) {
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Write(const QString& Path, const QByteArray& Data) {
    QFile f(Path);
    return f.open(QIODevice::WriteOnly) && f.write(Data) == Data.size();
}

// Every src="..." and href="..." of a page.
QStringList References(const QString& Html, const char* Attribute) {
    QStringList refs;
    const QRegularExpression re(QStringLiteral("%1=\"([^\"]*)\"").arg(QLatin1String(Attribute)));
    for (auto it = re.globalMatch(Html); it.hasNext();) refs << it.next().captured(1);
    return refs;
}

TEST(ReadmeHtml, TheBuildsPageShowsItsPictures) {
    const QString dir = QStringLiteral(QUORVEL_README_DIR);
    const QString html = QString::fromUtf8(Read(dir + QStringLiteral("/README.html")));
    ASSERT_FALSE(html.isEmpty());
    EXPECT_TRUE(html.contains(QStringLiteral("<title>Quorvel 16</title>")));
    EXPECT_TRUE(html.contains(QStringLiteral("Ringing with it")));
    const QStringList pictures = References(html, "src");
    EXPECT_FALSE(pictures.isEmpty());
    for (const QString& picture : pictures) {
        EXPECT_FALSE(QDir::isAbsolutePath(picture)) << picture.toStdString();
        EXPECT_EQ(Read(dir + QLatin1Char('/') + picture),
                  Read(QStringLiteral(QUORVEL_SOURCE_DIR "/") + picture))
            << picture.toStdString() << " is beside the page as it is in the sources";
    }
}

TEST(ReadmeHtml, AMissingPictureOrLinkedFileLeavesItsTextAndThePageIsWritten) {
    TempDir source, out;
    ASSERT_TRUE(QDir().mkpath(source.file(QStringLiteral("docs"))));
    const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a") + "not really a picture";
    ASSERT_TRUE(Write(source.file(QStringLiteral("docs/here.png")), png));
    ASSERT_TRUE(Write(source.file(QStringLiteral("README.md")),
                      "# Bells\n\n![The window ringing](docs/here.png)\n\n"
                      "![The lost dialog](docs/gone.png)\n\n"
                      "See [the chooser](docs/gone-too.png) or [the tower](https://tower.example.net/).\n"));
    const QString page = out.file(QStringLiteral("doc/README.html"));
    const ToolResult r = RunTool(
        {QUORVEL_README_HTML, source.file(QStringLiteral("README.md")).toStdString(), page.toStdString()},
        EnvironmentWith({}), out.file(QStringLiteral("log")).toStdString());
    ASSERT_EQ(r.Code, 0) << r.Output;
    EXPECT_NE(r.Output.find("docs/gone.png"), std::string::npos) << "the missing picture is named";
    const QString html = QString::fromUtf8(Read(page));
    EXPECT_EQ(References(html, "src"), QStringList{QStringLiteral("docs/here.png")});
    EXPECT_EQ(Read(out.file(QStringLiteral("doc/docs/here.png"))), png);
    EXPECT_TRUE(html.contains(QStringLiteral("[The lost dialog]")))
        << "the description takes the picture's place";
    EXPECT_TRUE(html.contains(QStringLiteral("the chooser"))) << "the text of a dead link stays";
    EXPECT_EQ(References(html, "href"), QStringList{QStringLiteral("https://tower.example.net/")});
}

TEST(ReadmeHtml, AReadmeThatCannotBeReadFails) {
    TempDir out;
    const QString page = out.file(QStringLiteral("README.html"));
    const ToolResult r =
        RunTool({QUORVEL_README_HTML, out.file(QStringLiteral("none.md")).toStdString(), page.toStdString()},
                EnvironmentWith({}), out.file(QStringLiteral("log")).toStdString());
    EXPECT_EQ(r.Code, 1) << r.Output;
    EXPECT_FALSE(QFile::exists(page));
}

}  // namespace
