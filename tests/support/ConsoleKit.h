#pragma once

// The bell console under test (link `app`): a settings folder of its own,
// message boxes recorded instead of shown, the machine's port list replaced,
// and bell sounds whose mix can be decoded back into which bells sounded
// and when.

#include "platform/waveout/waveout.h"
#include "tests/support/ConsoleSandbox.h"
#include "tests/support/QtPrinters.h"
#include "tests/support/WaveOutTestKit.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

// Helpers' failures fail the test that runs them, as an assertion would.
inline const bool kKitFailuresFailTheTest = [] {
    KitFailureHandler() = [](const std::string& What) { GTEST_FAIL() << What; };
    return true;
}();

// ---- Sounds that say which bell they are ------------------------------------
//
// A coded bell plays one constant level, kCodeUnit << Code, for its whole
// length, at the output's own rate (nothing resampled). Up to six codes sum
// without clipping, and any sum decodes back into the set of codes sounding.

inline constexpr int kCodeUnit = 512;
inline constexpr int kCodeCount = 6;

// Writes a 48 kHz 16-bit mono WAV of Milliseconds at code's level. A lead of
// silent frames lets a restart show as a new onset even where the stop and
// the new start fall on the same frame.
inline QString MakeCodedBell(const QString& Path, int Code, int Milliseconds, unsigned Rate = 48000,
                             std::uint32_t LeadFrames = 0) {
    const std::uint32_t frames = Rate * static_cast<std::uint32_t>(Milliseconds) / 1000;
    std::vector<std::int16_t> samples(frames, static_cast<std::int16_t>(kCodeUnit << Code));
    std::fill_n(samples.begin(), std::min<std::size_t>(LeadFrames, samples.size()), std::int16_t(0));
    WriteMonoWav16(Path, samples, Rate);
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

// How many frames of the capture code sounds in.
inline std::int64_t FramesSounding(const Capture& C, int Code) {
    std::int64_t n = 0;
    for (std::size_t f = 0; f < C.frames(); ++f) {
        const long level = std::lround(static_cast<double>(C.at(f, 0)) / kCodeUnit);
        n += level > 0 && (static_cast<unsigned>(level) & (1u << Code));
    }
    return n;
}

// The output's clock, read before the capture ends: the frame at which
// something asked for at a time (CLOCK_MONOTONIC ns) is heard.
struct OutputClock {
    std::int64_t OriginNs = 0;
    unsigned Rate = 0;
    std::int64_t LatencyFrames = 0;

    static OutputClock Now() {
        const WaveOutStatus s = waveOutGetStatus();
        return {s.originNs, s.rate, static_cast<std::int64_t>(s.latencyFrames)};
    }
    double FrameOf(std::int64_t TimeNs) const {
        return double(TimeNs - OriginNs) * Rate / 1e9 + double(LatencyFrames);
    }
    double Ms(double Frames) const { return Frames * 1000.0 / Rate; }
};

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
