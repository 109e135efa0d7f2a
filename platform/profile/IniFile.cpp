#include "platform/profile/IniFile.h"

#include "platform/base/Exception.h"
#include "platform/profile/profile.h"

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) const {
    return GetPrivateProfileString(section, key, defaultValue, FFileName);
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) const {
    return GetPrivateProfileInt(section, key, defaultValue, FFileName);
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    if (!WritePrivateProfileString(section, key, value, FFileName))
        throw Exception(QStringLiteral("Unable to write to %1").arg(FFileName));
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}
