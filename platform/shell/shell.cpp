#include "platform/shell/shell.h"

#include <QDesktopServices>
#include <QDir>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QUrl>

QString GetSpecialFolderPath(int folder) {
    QStandardPaths::StandardLocation location;
    switch (folder) {
        case CSIDL_COMMON_APPDATA:
        case CSIDL_APPDATA:
            location = QStandardPaths::GenericConfigLocation;
            break;
        case CSIDL_LOCAL_APPDATA:
            location = QStandardPaths::GenericDataLocation;
            break;
        case CSIDL_PERSONAL:
            location = QStandardPaths::DocumentsLocation;
            break;
        case CSIDL_MYMUSIC:
            location = QStandardPaths::MusicLocation;
            break;
        case CSIDL_DESKTOP:
            location = QStandardPaths::DesktopLocation;
            break;
        default:
            return QString();
    }
    QString path = QStandardPaths::writableLocation(location);
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    return path;
}

INT_PTR ShellExecute(HWND, const QString& operation, const QString& file, const QString&,
                     const QString& directory, int) {
    if (file.isEmpty()) return SE_ERR_FNF;
    if (!operation.isEmpty() && operation.compare(QLatin1String("open"), Qt::CaseInsensitive) != 0)
        return SE_ERR_NOASSOC;
    // A web address stays one; a name of an existing file becomes a file URL.
    const QUrl url = QUrl::fromUserInput(file, directory.isEmpty() ? QDir::currentPath() : directory);
    if (!url.isValid()) return SE_ERR_FNF;
    return QDesktopServices::openUrl(url) ? 42 : SE_ERR_NOASSOC;
}
