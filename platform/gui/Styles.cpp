#include "platform/gui/Styles.h"

#include <QApplication>
#include <QFile>
#include <map>
#include <mutex>

namespace {

struct TStyle {
    QString Name;
    QString Sheet;
};

std::mutex gLock;
std::map<QString, TStyle> gStyles;  // by lower-case name
QString gActive;

}  // namespace

void TStyleManager::RegisterStyle(const QString& name, const QString& styleSheet) {
    std::lock_guard lock(gLock);
    gStyles[name.toLower()] = TStyle{name, styleSheet};
}

bool TStyleManager::RegisterStyleFromFile(const QString& name, const QString& fileName) {
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) return false;
    RegisterStyle(name, QString::fromUtf8(file.readAll()));
    return true;
}

bool TStyleManager::TrySetStyle(const QString& name) {
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    TStyle style;
    {
        std::lock_guard lock(gLock);
        auto found = gStyles.find(name.toLower());
        if (!app || found == gStyles.end()) return false;
        style = found->second;
        gActive = style.Name;
    }
    app->setStyleSheet(style.Sheet);
    return true;
}

QString TStyleManager::ActiveStyleName() {
    std::lock_guard lock(gLock);
    return gActive;
}

QStringList TStyleManager::StyleNames() {
    std::lock_guard lock(gLock);
    QStringList names;
    for (const auto& entry : gStyles) names << entry.second.Name;
    return names;
}
