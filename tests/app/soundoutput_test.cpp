// "Sound Output...": the outputs a tower can choose, and a choice made while
// the window runs, idle or with a bell sounding, judged by what each output
// heard. ALSA's hints are handed in where a fixed list is needed (this
// machine may have no sound card); capture files stand in for speakers.

#include "app/MainForm.h"
#include "app/SoundOutputForm.h"
#include "app/Widgets.h"
#include "controls/MMLED.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTest>

namespace {

// Hints as ALSA gives them on a laptop with PipeWire: "default" not first,
// its own null among them.
const std::vector<WaveOutHint> kLaptop = {
    {"null", "Discard all samples (playback) or generate zero samples (capture)"},
    {"pipewire", "PipeWire Sound Server"},
    {"default", "Default ALSA Output (currently PipeWire Media Server)"},
    {"hw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC3246 Analog, Direct hardware device without any conversions"},
};

class SoundOutput : public ConsoleTest {
protected:
    void TearDown() override {
        ConsoleTest::TearDown();
        TfSoundOutput::SetHintLister(FOldHints);
    }

    void Hints(std::vector<WaveOutHint> List) {
        FOldHints = TfSoundOutput::SetHintLister([List] { return List; });
    }

    // Opens the dialog from the logo's menu, as a person does.
    TfSoundOutput* OpenDialog() {
        Form->PopupMenu1()->popup(Form->Image1()->mapToGlobal(QPoint(10, 10)));
        EXPECT_TRUE(Form->SoundOutput1()->isEnabled());
        Form->SoundOutput1()->trigger();
        Form->PopupMenu1()->hide();
        QPointer<TfSoundOutput> dialog = Form->findChild<TfSoundOutput*>();
        EXPECT_TRUE(dialog);
        if (!dialog) return nullptr;
        EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog.data()));
        return dialog.data();
    }

    QStringList Outputs(const TfSoundOutput* Dialog) {
        QStringList outputs;
        for (int i = 0; i < Dialog->lbOutputs()->count(); ++i)
            outputs << Dialog->lbOutputs()->item(i)->data(Qt::UserRole).toString();
        return outputs;
    }

    // Picks the entry of Output with the mouse and presses OK.
    void Choose(const QString& Output) {
        QPointer<TfSoundOutput> dialog = OpenDialog();
        ASSERT_TRUE(dialog);
        const int row = int(Outputs(dialog).indexOf(Output));
        ASSERT_GE(row, 0) << Output.toStdString() << " is not listed";
        QListWidget* list = dialog->lbOutputs();
        const QRect rect = list->visualItemRect(list->item(row));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, rect.center());
        ASSERT_EQ(dialog->Chosen(), Output);
        QTest::mouseClick(dialog->bOK(), Qt::LeftButton);
        ASSERT_TRUE(PumpUntil([&] { return dialog.isNull(); }, 5)) << "the dialog stayed";
    }

    static std::string Current() { return waveOutGetStatus().outputName; }

    TfSoundOutput::THintLister FOldHints;
};

TEST_F(SoundOutput, ListsDefaultFirstTheHintsAndNoSound) {
    Hints(kLaptop);
    Open();
    TfSoundOutput* dialog = OpenDialog();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->windowTitle(), "Sound Output");
    EXPECT_EQ(Outputs(dialog), QStringList({"default", "pipewire", "hw:CARD=PCH,DEV=0", "null"}));
    QStringList texts;
    for (int i = 0; i < dialog->lbOutputs()->count(); ++i) texts << dialog->lbOutputs()->item(i)->text();
    EXPECT_EQ(texts, QStringList({"default - Default ALSA Output (currently PipeWire Media Server)",
                                  "pipewire - PipeWire Sound Server",
                                  "hw:CARD=PCH,DEV=0 - HDA Intel PCH, ALC3246 Analog, Direct hardware device "
                                  "without any conversions",
                                  "No sound (null)"}));
    // The output in use (the tests' null) is the one selected, and said.
    EXPECT_EQ(dialog->Chosen(), "null");
    EXPECT_TRUE(dialog->lCurrent()->text().startsWith("Output: null, running (48000 Hz"))
        << dialog->lCurrent()->text().toStdString();
    const WaveOutStatus status = waveOutGetStatus();
    const QString mixer = QString::fromStdString(status.realtimeNote);
    EXPECT_EQ(dialog->lMixer()->text(), status.realtime ? "Mixer: real-time priority (" + mixer + ")"
                                                        : "Mixer: normal priority, real-time " + mixer);
    // Cancelled: nothing stored, nothing changed.
    QPointer<TfSoundOutput> closing = dialog;
    QTest::mouseClick(dialog->bCancel(), Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return closing.isNull(); }, 5));
    EXPECT_FALSE(Sandbox->ReadSettings().contains("[AUDIO]"));
    EXPECT_EQ(Current(), "null");
}

TEST_F(SoundOutput, ListsWhatAlsaHintsWithDefaultFirstAndNoSoundLast) {
    // This machine's own hints, whatever it has.
    const QList<TfSoundOutput::TChoice> choices = TfSoundOutput::Choices(QStringLiteral("default"));
    ASSERT_GE(choices.size(), 2);
    EXPECT_EQ(choices.first().Output, "default");
    EXPECT_EQ(choices.last().Output, "null");
    EXPECT_EQ(choices.last().Text, "No sound (null)");
    int nulls = 0, defaults = 0;
    for (const auto& c : choices) {
        nulls += c.Output == "null";
        defaults += c.Output == "default";
    }
    EXPECT_EQ(nulls, 1);
    EXPECT_EQ(defaults, 1);
    // An output in use that ALSA does not hint is still offered.
    const QList<TfSoundOutput::TChoice> withCapture =
        TfSoundOutput::Choices(QStringLiteral("capture:/tmp/x.wav"));
    EXPECT_EQ(withCapture.size(), choices.size() + 1);
    EXPECT_EQ(withCapture[withCapture.size() - 2].Output, "capture:/tmp/x.wav");
}

// ---- Switching while the window runs --------------------------------------------------

constexpr int kLongMs = 3000;
constexpr int kShortMs = 200;
constexpr std::int64_t kFramesPerMs = 48;

struct Switch {
    const char* Name;
    bool WhileSounding;  // the choice is made while a bell sounds
};
void PrintTo(const Switch& S, std::ostream* Os) {
    *Os << S.Name;
}

class SoundOutputSwitch : public SoundOutput,
                          protected CaptureFixture,
                          public ::testing::WithParamInterface<Switch> {
protected:
    void Strike(int Bell) {
        QTest::mouseClick(Form->MMLED(Bell), Qt::LeftButton);
        ASSERT_TRUE(Form->Player(Bell)->IsOpen()) << "bell " << Bell << " did not sound";
    }
    void WaitQuiet() {
        ASSERT_TRUE(PumpUntil([&] { return Form->AllStopped(); }, 20)) << "a bell never ended";
    }
};

TEST_P(SoundOutputSwitch, ABellSoundingEndsOnTheOldOutputAndTheNextIsHeardOnTheNew) {
    const bool sounding = GetParam().WhileSounding;
    StartCapture();
    const std::string first = "capture:" + Path;
    const QString second = CaptureFixture::Dir.file(QStringLiteral("second.wav"));
    const QString secondOutput = "capture:" + second;
    Hints({{"default", "Default ALSA Output"}, {secondOutput.toStdString(), "the second capture"}});
    // Bells 1 to 3 with codes 0 to 2: bell 1 long, the others short.
    QByteArray settings = "[SOUNDFILES]\n";
    for (int bell = 1; bell <= 3; ++bell)
        settings += "BELL" + QByteArray::number(bell) + "=" +
                    MakeCodedBell(Sandbox->Dir.file(QStringLiteral("bell%1.wav").arg(bell)), bell - 1,
                                  bell == 1 ? kLongMs : kShortMs)
                        .toUtf8() +
                    "\n";
    Open(settings);
    Form->cbDelaysActive()->setChecked(false);
    ASSERT_EQ(Current(), first);

    // Capture to null.
    Strike(1);
    if (!sounding) WaitQuiet();
    Choose(QStringLiteral("null"));
    if (HasFatalFailure()) return;
    if (sounding) {
        ASSERT_FALSE(Form->AllStopped()) << "bell 1 ended before the choice was made";
        EXPECT_EQ(Current(), first) << "the output moved under a sounding bell";
        // Struck meanwhile: still the old output's.
        Strike(2);
        WaitQuiet();
    }
    EXPECT_EQ(Current(), "null");
    EXPECT_TRUE(waveOutGetStatus().running);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("[AUDIO]\nOutput=null\n"))
        << Sandbox->ReadSettings().toStdString();

    Capture heard;
    ASSERT_TRUE(readCapture(Path, heard)) << "the first capture was not completed";
    EXPECT_EQ(FramesSounding(heard, 0), kLongMs * kFramesPerMs) << "bell 1 was not heard to its end";
    EXPECT_EQ(FramesSounding(heard, 1), sounding ? kShortMs * kFramesPerMs : 0);

    // Null back to a capture: bell 3 plays on null meanwhile.
    Strike(3);
    if (!sounding) WaitQuiet();
    Choose(secondOutput);
    if (HasFatalFailure()) return;
    if (sounding) {
        EXPECT_EQ(Current(), "null");
        WaitQuiet();
    }
    EXPECT_EQ(Current(), secondOutput.toStdString());
    Strike(1);
    WaitQuiet();
    waveOutShutdown();
    ASSERT_TRUE(readCapture(second.toStdString(), heard));
    EXPECT_EQ(FramesSounding(heard, 0), kLongMs * kFramesPerMs) << "the next stroke was not heard whole";
    EXPECT_EQ(FramesSounding(heard, 1), 0);
    EXPECT_EQ(FramesSounding(heard, 2), 0) << "bell 3 sounded on null, not here";
    EXPECT_EQ(Onsets(heard).size(), 1u);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("Output=" + secondOutput.toUtf8() + "\n"));
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
}

INSTANTIATE_TEST_SUITE_P(SoundOutput, SoundOutputSwitch,
                         ::testing::Values(Switch{"Idle", false}, Switch{"WhileABellSounds", true}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
