#pragma once

#include <QString>
#include <QTemporaryDir>

// A fresh folder per test, removed afterwards.
class TempDir {
public:
    TempDir() { dir.setAutoRemove(true); }
    QString path() const { return dir.path(); }
    QString file(const QString& name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
};
