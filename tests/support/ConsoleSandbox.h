#pragma once

// The bell console's surroundings without a test framework (link `app`), so
// that benchmarks can build the real window too: a settings folder of its
// own, message boxes recorded instead of shown, the machine's port list
// replaced, and 16-bit mono WAV files written from samples. ConsoleKit.h
// adds the test-only parts.

#include "app/MainForm.h"
#include "app/PortList.h"
#include "app/Program.h"
#include "platform/gui/Application.h"
#include "tests/support/MessageBoxRecorder.h"
#include "tests/support/TempDir.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Where these helpers report what they could not do. Tests turn it into a
// failure (ConsoleKit.h); elsewhere it is printed.
using TKitFailure = std::function<void(const std::string& What)>;
inline TKitFailure& KitFailureHandler() {
    static TKitFailure handler;
    return handler;
}
inline void KitFailure(const std::string& What) {
    if (KitFailureHandler())
        KitFailureHandler()(What);
    else
        std::fprintf(stderr, "%s\n", What.c_str());
}

// Everything a main window reads from outside, pointed at a fresh folder.
class ConsoleSandbox {
public:
    explicit ConsoleSandbox(QStringList Ports = {QStringLiteral("/dev/ttyS0")}) {
        Application.SetTitle(QString::fromLatin1(kProductTitle));
        FHadConfigHome = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        FOldConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(ConfigHome()));
        FOldLister = TfMainform::SetPortLister([Ports](QStringList& List) { List << Ports; });
        // No stable names but a test's own (the folder does not exist until made).
        FOldByIdFolder = SetPortByIdFolder(ByIdFolder());
    }
    ~ConsoleSandbox() {
        SetPortByIdFolder(FOldByIdFolder);
        TfMainform::SetPortLister(FOldLister);
        if (FHadConfigHome)
            qputenv("XDG_CONFIG_HOME", FOldConfigHome);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    ConsoleSandbox(const ConsoleSandbox&) = delete;
    ConsoleSandbox& operator=(const ConsoleSandbox&) = delete;

    QString ConfigHome() const { return Dir.file(QStringLiteral("config")); }
    QString SettingsFolder() const { return ConfigHome() + QStringLiteral("/QUORVEL"); }
    QString SettingsFile() const { return SettingsFolder() + QStringLiteral("/settings.ini"); }
    // The window's /dev/serial/by-id.
    QString ByIdFolder() const { return Dir.file(QStringLiteral("by-id")); }

    bool WriteSettings(const QByteArray& Text) const {
        QDir().mkpath(SettingsFolder());
        QFile f(SettingsFile());
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(Text) == Text.size()) return true;
        KitFailure("cannot write " + SettingsFile().toStdString());
        return false;
    }
    QByteArray ReadSettings() const {
        QFile f(SettingsFile());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool SettingsExist() const { return QFile::exists(SettingsFile()); }

    TempDir Dir;
    MessageBoxRecorder Boxes;

private:
    bool FHadConfigHome = false;
    QByteArray FOldConfigHome;
    TfMainform::TPortLister FOldLister;
    QString FOldByIdFolder;
};

// Writes a 16-bit mono PCM WAV of Samples at Rate.
inline bool WriteMonoWav16(const QString& Path, const std::vector<std::int16_t>& Samples, unsigned Rate) {
    const QByteArray data(reinterpret_cast<const char*>(Samples.data()),
                          static_cast<qsizetype>(Samples.size() * 2));
    auto u32 = [](std::uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    const QByteArray file = "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " +
                            u32(16) + u16(1) + u16(1) + u32(Rate) + u32(Rate * 2) + u16(2) + u16(16) +
                            "data" + u32(static_cast<std::uint32_t>(data.size())) + data;
    QFile f(Path);
    if (f.open(QIODevice::WriteOnly) && f.write(file) == file.size()) return true;
    KitFailure("cannot write " + Path.toStdString());
    return false;
}
