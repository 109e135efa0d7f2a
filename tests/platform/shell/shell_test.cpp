#include "platform/shell/shell.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <QDesktopServices>
#include <QFile>
#include <QObject>
#include <QUrl>

namespace {

TEST(SpecialFolder, CommonApplicationDataIsTheConfigurationFolder) {
    TempDir dir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path() + QLatin1Char('/')));
    EXPECT_EQ(GetSpecialFolderPath(CSIDL_COMMON_APPDATA), dir.path());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.path()));
    EXPECT_EQ(GetSpecialFolderPath(CSIDL_COMMON_APPDATA), dir.path());
    qunsetenv("XDG_CONFIG_HOME");
}

TEST(SpecialFolder, AnUnknownFolderIsEmpty) {
    EXPECT_TRUE(GetSpecialFolderPath(0x7777).isEmpty());
}

class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void Open(const QUrl& url) { Urls << url; }

public:
    QList<QUrl> Urls;
};

struct ShellOpen : ::testing::Test {
    UrlCatcher catcher;
    ShellOpen() {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "Open");
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "Open");
    }
    ~ShellOpen() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    }
};

TEST_F(ShellOpen, AWebAddressGoesToTheDesktopsHandler) {
    const INT_PTR result =
        ShellExecute(nullptr, QStringLiteral("open"), QStringLiteral("https://www.example.org/bells"),
                     QString(), QString(), SW_SHOWNORMAL);
    EXPECT_GT(result, 32);
    ASSERT_EQ(catcher.Urls.size(), 1);
    EXPECT_EQ(catcher.Urls[0], QUrl(QStringLiteral("https://www.example.org/bells")));
}

TEST_F(ShellOpen, AnExistingFileOpensAsAFile) {
    TempDir dir;
    QFile file(dir.file(QStringLiteral("readme.txt")));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    EXPECT_GT(
        ShellExecute(nullptr, QString(), QStringLiteral("readme.txt"), QString(), dir.path(), SW_SHOWNORMAL),
        32);
    ASSERT_EQ(catcher.Urls.size(), 1);
    EXPECT_EQ(catcher.Urls[0], QUrl::fromLocalFile(file.fileName()));
}

TEST_F(ShellOpen, NothingIsOpenedForAnUnknownVerbOrNoFile) {
    EXPECT_EQ(ShellExecute(nullptr, QStringLiteral("print"), QStringLiteral("https://www.example.org/"),
                           QString(), QString(), SW_SHOWNORMAL),
              SE_ERR_NOASSOC);
    EXPECT_EQ(ShellExecute(nullptr, QStringLiteral("open"), QString(), QString(), QString(), SW_SHOWNORMAL),
              SE_ERR_FNF);
    EXPECT_TRUE(catcher.Urls.isEmpty());
}

}  // namespace

#include "shell_test.moc"
