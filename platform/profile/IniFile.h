#pragma once

#include <QString>

// A settings file object over the profile functions: every read goes to the
// file, every write goes to the file at once.
class TIniFile {
public:
    explicit TIniFile(QString fileName) : FFileName(std::move(fileName)) {}

    const QString& FileName() const { return FFileName; }

    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) const;
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    // A refused write raises Exception "Unable to write to <file name>".
    void WriteString(const QString& section, const QString& key, const QString& value);
    void WriteInteger(const QString& section, const QString& key, int value);

private:
    QString FFileName;
};
