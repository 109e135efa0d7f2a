#include "playback/MMWavePlayer.h"
#include "tests/support/EventPump.h"
#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaveOutTestKit.h"
#include "wavedata/MMWave.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A player set up as the bell console sets up its players, with its events counted.
struct Bell {
    std::unique_ptr<TMMWavePlayer> Player = std::make_unique<TMMWavePlayer>();
    std::vector<std::string> Events;
    bool OpenInsideStop = true;
    int Stops = 0;

    Bell() {
        TMMWavePlayer& p = *Player;
        p.SetBufferSize(2048);
        p.SetNumBuffers(10);
        p.SetDeviceID(0);
        p.SetTimeFormat(tfByte);
        p.SetCallBackMode(cmWindow);
        p.SetLooping(false);
        p.SetLoopCount(0);
        p.OnStart = [this](QObject* s) {
            EXPECT_EQ(s, Player.get());
            Events.push_back("start");
        };
        p.OnStop = [this](QObject* s) {
            EXPECT_EQ(s, Player.get());
            OpenInsideStop = Player->IsOpen();
            ++Stops;
            Events.push_back("stop");
        };
    }
    bool WaitForStop(int count = 1) {
        return PumpUntil([&] { return Stops >= count; });
    }
};

class WavePlayer : public ::testing::Test, protected CaptureFixture {
protected:
    void SetUp() override {
        if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
        StartCapture();
    }

    // Frames of noise at the output's rate, mono, in the given encoding.
    QString Make(const QString& name, int frames,
                 const QStringList& encoding = {"-e", "signed", "-b", "16"}) {
        const QString path = Dir.file(name);
        const QStringList shape{"-r", "48000", "-c", "1"};
        sox::Run(shape + QStringList{"-n"} + shape + encoding +
                 QStringList{path, "synth", QString::number(frames) + "s", "sine", "300-3000", "vol", "0.7"});
        return path;
    }
    static std::vector<std::int16_t> Samples(const QString& wav) { return sox::DecodeTo16(wav); }

    Capture Finish() {
        std::vector<WaveOutStartRecord> log;
        Capture c = FinishCapture(&log);
        Starts.clear();
        for (const auto& r : log) Starts.push_back(r.firstFrame);
        return c;
    }

    // Frames [from, from + n) of both channels hold expected[first..first + n).
    static ::testing::AssertionResult Holds(const Capture& c, std::int64_t from,
                                            const std::vector<std::int16_t>& expected, std::size_t first = 0,
                                            std::size_t n = SIZE_MAX) {
        n = std::min(n, expected.size() - first);
        if (from < 0 || std::size_t(from) + n > c.frames())
            return ::testing::AssertionFailure() << "capture too short: " << c.frames() << " frames";
        for (std::size_t i = 0; i < n; ++i)
            for (unsigned ch = 0; ch < 2; ++ch)
                if (c.at(from + i, ch) != expected[first + i])
                    return ::testing::AssertionFailure()
                           << "frame " << i << " channel " << ch << ": " << c.at(from + i, ch)
                           << " != " << expected[first + i];
        return ::testing::AssertionSuccess();
    }

    void WriteFile(const QString& path, const QByteArray& bytes) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    std::vector<std::int64_t> Starts;
};

TEST_F(WavePlayer, PlaysTheWholeFileOnceAndClosesByItself) {
    const QString file = Make("bell.wav", 12000);
    Bell b;
    b.Player->SetFileName(file);
    EXPECT_EQ(b.Player->FileName(), file);
    b.Player->Play();
    EXPECT_TRUE(b.Player->IsOpen());
    b.Player->Play();  // playing already: nothing
    ASSERT_TRUE(b.WaitForStop());
    EXPECT_FALSE(b.Player->IsOpen());
    EXPECT_FALSE(b.OpenInsideStop);
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start", "stop"}));

    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 1u);
    EXPECT_TRUE(Holds(c, Starts[0], Samples(file)));
}

TEST_F(WavePlayer, StopOnAClosedPlayerDoesNothing) {
    Bell b;
    b.Player->Stop();
    b.Player->SetFileName(Make("quiet.wav", 1000));
    b.Player->Stop();
    EXPECT_TRUE(b.Events.empty());
}

TEST_F(WavePlayer, StopDuringPlayRaisesOnStopInsideWithThePlayerClosed) {
    Bell b;
    b.Player->SetFileName(Make("long.wav", 96000));
    b.Player->Play();
    PumpFor(50);
    bool inStop = false, stoppedInside = false;
    b.Player->OnStop = [&](QObject*) {
        stoppedInside = inStop;
        b.OpenInsideStop = b.Player->IsOpen();
    };
    inStop = true;
    b.Player->Stop();
    inStop = false;
    EXPECT_TRUE(stoppedInside);
    EXPECT_FALSE(b.OpenInsideStop);
    EXPECT_FALSE(b.Player->IsOpen());
    EXPECT_EQ(b.Player->Position(), 0);  // ResetPosition: back to the start
}

TEST_F(WavePlayer, PlayRightAfterTheEndStartsFromTheBeginning) {
    const QString file = Make("again.wav", 6000);
    Bell b;
    b.Player->SetFileName(file);
    b.Player->Play();
    ASSERT_TRUE(b.WaitForStop(1));
    b.Player->Play();
    ASSERT_TRUE(b.WaitForStop(2));
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start", "stop", "start", "stop"}));
    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 2u);
    EXPECT_TRUE(Holds(c, Starts[1], Samples(file)));
}

TEST_F(WavePlayer, FileShorterThanOneBufferPlaysAndStops) {
    const QString file = Make("tick.wav", 300);  // 600 bytes
    Bell b;
    b.Player->SetFileName(file);
    b.Player->Play();
    ASSERT_TRUE(b.WaitForStop());
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start", "stop"}));
    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 1u);
    EXPECT_TRUE(Holds(c, Starts[0], Samples(file)));
}

TEST_F(WavePlayer, RestrikeStopsThenPlaysFromTheStart) {
    const QString file = Make("restrike.wav", 24000);
    Bell b;
    b.Player->SetFileName(file);
    b.Player->Play();
    PumpFor(100);
    b.Player->Stop();
    b.Player->Play();
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start", "stop", "start"}));
    ASSERT_TRUE(b.WaitForStop(2));
    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 2u);
    EXPECT_TRUE(Holds(c, Starts[1], Samples(file)));
}

TEST_F(WavePlayer, WithoutResetPositionPlayResumesWhereStopLeftOff) {
    const QString file = Make("resume.wav", 48000);
    Bell b;
    b.Player->SetResetPosition(false);
    b.Player->SetFileName(file);
    b.Player->Play();
    PumpFor(200);
    b.Player->Stop();
    const LONG stoppedAt = b.Player->Position();  // bytes
    EXPECT_GT(stoppedAt, 0);
    EXPECT_LT(stoppedAt, 96000);
    b.Player->Play();
    ASSERT_TRUE(b.WaitForStop(2));
    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 2u);
    EXPECT_TRUE(Holds(c, Starts[1], Samples(file), std::size_t(stoppedAt / 2)));

    // After running to its end the next play starts again at the beginning.
    EXPECT_EQ(b.Player->Position(), 96000);
}

TEST_F(WavePlayer, DestroyedWhilePlayingStopsWithoutOnStop) {
    Bell b;
    b.Player->SetFileName(Make("gone.wav", 96000));
    b.Player->Play();
    PumpFor(30);
    b.Player.reset();
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start"}));
    PumpFor(50);  // nothing late arrives for the dead player either
}

TEST_F(WavePlayer, NoFileMeansPlayDoesNothing) {
    Bell b;
    b.Player->Play();
    b.Player->Wave()->SetFileMustExist(false);
    b.Player->SetFileName(Dir.file("not-there.wav"));
    b.Player->Play();
    EXPECT_TRUE(b.Events.empty());
    EXPECT_FALSE(b.Player->IsOpen());
}

TEST_F(WavePlayer, BadFilesGiveAClearErrorAndNoSound) {
    const QString good = Make("good.wav", 4000);
    QFile g(good);
    ASSERT_TRUE(g.open(QIODevice::ReadOnly));
    const QByteArray bytes = g.readAll();
    WriteFile(Dir.file("text.wav"), "RING THE BELLS\nnot a wave\n");
    WriteFile(Dir.file("empty.wav"), {});
    WriteFile(Dir.file("header.wav"), bytes.left(24));

    for (const char* name : {"text.wav", "empty.wav", "header.wav", "absent.wav"}) {
        Bell b;
        try {
            b.Player->SetFileName(Dir.file(name));
            ADD_FAILURE() << "no error for " << name;
        } catch (const EMMWaveError& e) {
            EXPECT_FALSE(e.Message().isEmpty()) << name;
        }
        b.Player->Play();
        EXPECT_TRUE(b.Events.empty()) << name;
        EXPECT_FALSE(b.Player->IsOpen());

        // A refused file loses nothing: the bell keeps the sound it had.
        b.Player->SetFileName(good);
        EXPECT_THROW(b.Player->SetFileName(Dir.file(name)), EMMWaveError) << name;
        EXPECT_EQ(b.Player->FileName(), good);
        b.Player->Play();
        EXPECT_TRUE(b.WaitForStop()) << name;
    }
}

TEST_F(WavePlayer, TruncatedDataPlaysWhatIsThere) {
    const QString good = Make("whole.wav", 20000);
    QFile g(good);
    ASSERT_TRUE(g.open(QIODevice::ReadOnly));
    WriteFile(Dir.file("cut.wav"), g.readAll().left(44 + 5000));
    Bell b;
    b.Player->SetFileName(Dir.file("cut.wav"));
    b.Player->Play();
    ASSERT_TRUE(b.WaitForStop());
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start", "stop"}));
    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 1u);
    EXPECT_TRUE(Holds(c, Starts[0], Samples(good), 0, 2500));
}

TEST_F(WavePlayer, DecodesCompressedFilesAfterOnesTheDecoderRefused) {
    // a-law is the compression manager's; Microsoft ADPCM the player's own
    // decoder's, which must come back in after it stood aside.
    const QString alaw = Make("alaw.wav", 4000, {"-e", "a-law", "-b", "8"});
    const QString adpcm = Make("adpcm.wav", 8000, {"-e", "ms-adpcm"});
    Bell b;
    for (const QString& file : {alaw, adpcm, alaw, adpcm}) {
        b.Player->SetFileName(file);
        b.Player->Play();
        ASSERT_TRUE(b.WaitForStop(b.Stops + 1)) << file.toStdString();
    }
    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 4u);
    EXPECT_TRUE(Holds(c, Starts[0], Samples(alaw)));
    EXPECT_TRUE(Holds(c, Starts[1], Samples(adpcm)));
    EXPECT_TRUE(Holds(c, Starts[3], Samples(adpcm)));
}

TEST_F(WavePlayer, AutoConvertIsRefusedWhileOpen) {
    Bell b;
    b.Player->SetFileName(Make("conv.wav", 48000));
    b.Player->Play();
    try {
        b.Player->SetAutoConvert(false);
        ADD_FAILURE() << "changed while open";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QString("Change to property while device was open"));
    }
    EXPECT_TRUE(b.Player->AutoConvert());
    b.Player->Stop();
    b.Player->SetAutoConvert(false);
    EXPECT_FALSE(b.Player->AutoConvert());
}

TEST_F(WavePlayer, SelectFileUsesTheInstalledChooser) {
    const QString first = Make("first.wav", 100), second = Make("second.wav", 100);
    Bell b;
    auto previous = TMMWavePlayer::SetWaveFileChooser(nullptr);
    EXPECT_FALSE(b.Player->SelectFile());

    b.Player->SetFileName(first);
    QString offered;
    bool accept = false;
    TMMWavePlayer::SetWaveFileChooser([&](QString& name) {
        offered = name;
        name = second;
        return accept;
    });
    EXPECT_FALSE(b.Player->SelectFile());
    EXPECT_EQ(offered, first);
    EXPECT_EQ(b.Player->FileName(), first);
    accept = true;
    EXPECT_TRUE(b.Player->SelectFile());
    EXPECT_EQ(b.Player->FileName(), second);
    TMMWavePlayer::SetWaveFileChooser(previous);
}

TEST_F(WavePlayer, SeekingWhilePlayingContinuesFromTheNewPosition) {
    const QString file = Make("seek.wav", 96000);
    Bell b;
    int pauses = 0;
    b.Player->OnPause = [&](QObject*) { ++pauses; };
    b.Player->SetFileName(file);
    b.Player->Play();
    PumpFor(50);
    b.Player->SetPosition(120000);  // bytes: frame 60000
    EXPECT_EQ(pauses, 0);           // a seek pauses quietly
    EXPECT_GE(b.Player->Position(), 120000);
    ASSERT_TRUE(b.WaitForStop());
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start", "stop"}));
    // The device starts its voice again at the seek: from there on the file
    // plays from frame 60000 to its end.
    const Capture c = Finish();
    ASSERT_EQ(Starts.size(), 2u);
    EXPECT_TRUE(Holds(c, Starts[1], Samples(file), 60000));
}

}  // namespace

namespace {

TEST_F(WavePlayer, LoopingPlaysTheFileLoopCountTimesMore) {
    const QString file = Make("loop.wav", 3000);
    Bell b;
    b.Player->SetLooping(true);
    b.Player->SetLoopCount(2);
    b.Player->SetFileName(file);
    b.Player->Play();
    ASSERT_TRUE(b.WaitForStop());
    EXPECT_EQ(b.Events, (std::vector<std::string>{"start", "stop"}));
    const Capture c = Finish();
    ASSERT_GE(Starts.size(), 1u);
    const auto once = Samples(file);
    std::vector<std::int16_t> thrice;
    for (int i = 0; i < 3; ++i) thrice.insert(thrice.end(), once.begin(), once.end());
    EXPECT_TRUE(Holds(c, Starts[0], thrice));
}

TEST_F(WavePlayer, NoOutputDeviceIsAClearErrorWithoutEvents) {
    WaveOutSettings s;
    s.output = "hw:CARD=NoSuchCard";
    waveOutConfigure(s);
    Bell b;
    b.Player->SetFileName(Make("nodev.wav", 1000));
    try {
        b.Player->Play();
        ADD_FAILURE() << "played without a device";
    } catch (const EMMWaveOutError& e) {
        EXPECT_EQ(e.Message(), QString("No wave audio playing device found"));
    }
    EXPECT_FALSE(b.Player->IsOpen());
    EXPECT_TRUE(b.Events.empty());
}

}  // namespace
