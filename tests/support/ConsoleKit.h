#pragma once

// The bell console under test (link `app`): a settings folder of its own,
// message boxes recorded instead of shown, the machine's port list replaced,
// and bell sounds whose mix can be decoded back into which bells sounded
// and when.

#include "app/MainForm.h"
#include "app/Program.h"
#include "platform/gui/Application.h"
#include "platform/waveout/waveout.h"
#include "tests/support/MessageBoxRecorder.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveOutTestKit.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTest>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

// Everything a main window reads from outside, pointed at a fresh folder.
class ConsoleSandbox {
public:
    explicit ConsoleSandbox(QStringList Ports = {QStringLiteral("/dev/ttyS0")}) {
        Application.SetTitle(QString::fromLatin1(kProductTitle));
        FHadConfigHome = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        FOldConfigHome = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(ConfigHome()));
        FOldLister = TfMainform::SetPortLister([Ports](QStringList& List) { List << Ports; });
    }
    ~ConsoleSandbox() {
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

    void WriteSettings(const QByteArray& Text) const {
        QDir().mkpath(SettingsFolder());
        QFile f(SettingsFile());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(Text);
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
};

// ---- Sounds that say which bell they are ------------------------------------
//
// A coded bell plays one constant level, kCodeUnit << Code, for its whole
// length, at the output's own rate (nothing resampled). Up to six codes sum
// without clipping, and any sum decodes back into the set of codes sounding.

inline constexpr int kCodeUnit = 512;
inline constexpr int kCodeCount = 6;

// Writes a 48 kHz 16-bit mono WAV of Milliseconds at code's level.
inline QString MakeCodedBell(const QString& Path, int Code, int Milliseconds, unsigned Rate = 48000) {
    const std::uint32_t frames = Rate * static_cast<std::uint32_t>(Milliseconds) / 1000;
    const auto level = static_cast<std::int16_t>(kCodeUnit << Code);
    QByteArray data;
    data.reserve(static_cast<qsizetype>(frames) * 2);
    for (std::uint32_t i = 0; i < frames; ++i) data.append(reinterpret_cast<const char*>(&level), 2);
    auto u32 = [](std::uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    QByteArray file = "RIFF" + u32(36 + static_cast<std::uint32_t>(data.size())) + "WAVEfmt " + u32(16) +
                      u16(1) + u16(1) + u32(Rate) + u32(Rate * 2) + u16(2) + u16(16) + "data" +
                      u32(static_cast<std::uint32_t>(data.size())) + data;
    QFile f(Path);
    if (!f.open(QIODevice::WriteOnly) || f.write(file) != file.size())
        ADD_FAILURE() << "cannot write " << Path.toStdString();
    return Path;
}

// One code starting to sound at a frame of the output.
struct Onset {
    int Code;
    std::int64_t Frame;
};

// Codes sounding in each frame of a capture's left channel, decoded into
// the frames where each code starts (a restart shows as a new onset after
// the gap the stop leaves).
inline std::vector<Onset> Onsets(const Capture& C) {
    std::vector<Onset> onsets;
    unsigned previous = 0;
    for (std::size_t f = 0; f < C.frames(); ++f) {
        const long level = std::lround(static_cast<double>(C.at(f, 0)) / kCodeUnit);
        const unsigned mask = level < 0 ? 0u : static_cast<unsigned>(level);
        for (int code = 0; code < kCodeCount; ++code)
            if ((mask & (1u << code)) && !(previous & (1u << code)))
                onsets.push_back({code, static_cast<std::int64_t>(f)});
        previous = mask;
    }
    return onsets;
}

// Whether code sounds anywhere in frames [From, To).
inline bool Sounds(const Capture& C, int Code, std::int64_t From, std::int64_t To) {
    for (std::int64_t f = std::max<std::int64_t>(From, 0);
         f < To && f < static_cast<std::int64_t>(C.frames()); ++f) {
        const long level = std::lround(static_cast<double>(C.at(static_cast<std::size_t>(f), 0)) / kCodeUnit);
        if (level > 0 && (static_cast<unsigned>(level) & (1u << Code))) return true;
    }
    return false;
}

// A test of the main window over a sandbox, its bells played to the null
// output (tests that listen configure the capture output instead).
class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        WaveOutSettings s;
        s.output = "null";
        waveOutConfigure(s);
    }
    void TearDown() override {
        Form.reset();
        waveOutUseSettingsFile();
    }

    // A window over Settings (none written when null), shown and exposed.
    TfMainform& Open(const QByteArray& Settings = QByteArray()) {
        if (!Settings.isNull()) Sandbox->WriteSettings(Settings);
        Form = std::make_unique<TfMainform>();
        Form->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
        return *Form;
    }

    // A coded bell sound in the sandbox.
    QString Bell(const QString& Name, int Milliseconds = 300) {
        return MakeCodedBell(Sandbox->Dir.file(Name), 0, Milliseconds);
    }

    std::vector<QString> BoxTexts() const {
        std::vector<QString> texts;
        for (const auto& box : Sandbox->Boxes.Boxes) texts.push_back(box.Text);
        return texts;
    }

    std::unique_ptr<ConsoleSandbox> Sandbox = std::make_unique<ConsoleSandbox>();
    std::unique_ptr<TfMainform> Form;
};
