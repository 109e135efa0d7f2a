#include "app/Documentation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <utility>

namespace {

QString& WebsiteChoice() {
    static QString site;
    return site;
}

QString& FolderChoice() {
    static QString folder;
    return folder;
}

}  // namespace

QString ProductWebsite() {
    return WebsiteChoice().isEmpty() ? QStringLiteral(QUORVEL_WEBSITE) : WebsiteChoice();
}

QString DocumentationFolder() {
    if (!FolderChoice().isEmpty()) return FolderChoice();
    return QDir::cleanPath(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../share/doc/quorvel16"));
}

QString ReadmeHtml() {
    const QString file = DocumentationFolder() + QStringLiteral("/README.html");
    return QFileInfo(file).isFile() ? file : QString();
}

QString SetProductWebsite(const QString& Site) {
    return std::exchange(WebsiteChoice(), Site);
}

QString SetDocumentationFolder(const QString& Folder) {
    return std::exchange(FolderChoice(), Folder);
}
