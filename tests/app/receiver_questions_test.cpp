// Asking the receiver: whether it is there once listening starts, and
// which delays it holds. Fake receivers on pseudo-terminals answer as the
// kinds found in towers do (both questions, neither, or garbage); the
// window's players play to the capture output, so what the answers struck
// (nothing) and what the strokes around them struck is judged by ear.

#include "app/MainForm.h"
#include "app/ReceiverDelaysForm.h"
#include "app/ReceiverQuery.h"
#include "comport/FComPort.h"
#include "platform/gui/Timer.h"
#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"
#include "tests/support/FakeReceiver.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <sstream>

namespace {

constexpr int kSoundMs = 100;
const QString kAnswers = QStringLiteral("receiver answers");
const QString kNoAnswer = QStringLiteral("no answer (older receivers do not answer)");

// Held delays whose bytes are also strokes: "1" (0.49 s), "E", "0", "T",
// "A" and "d" name bells, and must strike none.
constexpr std::array<unsigned char, 12> kStrokeLikeDelays = {'1', 'E', '0', 25, 0,  'T',
                                                             'A', 'd', 30,  40, 50, 60};

class ReceiverQuestions : public ConsoleTest, protected CaptureFixture {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        StartCapture();
    }

    // The window on Receiver's line; bells 1 and 3 sound, as codes 0 and 1.
    TfMainform& OpenOn(FakeReceiver& Receiver) {
        QByteArray s = "[COMPORT]\nFComPort1.DeviceName=" + QByteArray(Receiver.SlavePath().c_str()) + "\n";
        s += "[SOUNDFILES]\n";
        s += "BELL1=" + MakeCodedBell(Sandbox->Dir.file("bell1.wav"), 0, kSoundMs).toUtf8() + "\n";
        s += "BELL3=" + MakeCodedBell(Sandbox->Dir.file("bell3.wav"), 1, kSoundMs).toUtf8() + "\n";
        return Open(s);
    }

    void Listen() {
        QTest::mouseClick(Form->bListen(), Qt::LeftButton);
        ASSERT_TRUE(Form->FComPort1()->GetActive()) << "listening did not start";
    }

    // Waits for the receiver check's result.
    void CheckOver() {
        ASSERT_TRUE(PumpUntil([&] { return !Form->lReceiver()->text().isEmpty(); }, 10)) << "no check result";
    }

    // Strikes and waits until the bell has sounded and ended.
    void StrikeHeard(FakeReceiver& Receiver, const char* Byte) {
        ASSERT_TRUE(Receiver.Send(Byte));
        ASSERT_TRUE(PumpUntil([&] { return !Form->AllStopped(); }, 10)) << "stroke " << Byte << " not heard";
        ASSERT_TRUE(PumpUntil([&] { return Form->AllStopped(); }, 10));
    }

    // Every code heard, in order, once the window and the output are gone.
    std::vector<int> Heard() {
        Form.reset();
        std::vector<int> codes;
        for (const Onset& o : Onsets(FinishCapture())) codes.push_back(o.Code);
        return codes;
    }

    TfReceiverDelays* DelaysDialog() const { return Form->findChild<TfReceiverDelays*>(); }

    // No bell sounds and none has a delay running: nothing was struck.
    bool Untouched() const {
        for (int n = 1; n <= kBellCount; ++n)
            if (Form->Timer(n)->Enabled() || Form->Player(n)->IsOpen()) return false;
        return true;
    }
};

// ---- Is the receiver there? --------------------------------------------------------------

struct CheckRow {
    const char* Name;
    FakeReceiver::Replies Replies;
    QString Shown;
};

void PrintTo(const CheckRow& r, std::ostream* os) {
    *os << r.Name;
}

class ReceiverCheck : public ReceiverQuestions, public ::testing::WithParamInterface<CheckRow> {};

TEST_P(ReceiverCheck, IsAskedOnceAndShownQuietlyWhileStrokesStrike) {
    FakeReceiver receiver(GetParam().Replies);
    TfMainform& form = OpenOn(receiver);
    form.cbDelaysActive()->setChecked(false);
    const QString caption = form.windowTitle();
    Listen();
    if (HasFatalFailure()) return;
    // The window does not wait for the answer: a stroke right away strikes.
    StrikeHeard(receiver, "1");
    if (HasFatalFailure()) return;
    CheckOver();
    if (HasFatalFailure()) return;
    EXPECT_EQ(form.lReceiver()->text(), GetParam().Shown);
    EXPECT_TRUE(form.lReceiver()->isVisible());
    EXPECT_EQ(form.windowTitle(), caption);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
    StrikeHeard(receiver, "3");
    if (HasFatalFailure()) return;
    EXPECT_EQ(receiver.CountReceived(FakeReceiver::kAreYouThere), 1);
    EXPECT_EQ(receiver.Received().size(), 1u) << "the program sent more than its question";
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    // The answer, if any, struck nothing: only the two strokes were heard.
    EXPECT_EQ(Heard(), (std::vector<int>{0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Receivers, ReceiverCheck,
                         ::testing::Values(CheckRow{"Answering", FakeReceiver::Answering({}), kAnswers},
                                           CheckRow{"Silent", FakeReceiver::Silent(), kNoAnswer},
                                           CheckRow{"Garbage", FakeReceiver::Garbage(), kNoAnswer}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ReceiverQuestions, ListeningDoesNotWaitForTheCheck) {
    FakeReceiver receiver(FakeReceiver::Silent());
    TfMainform& form = OpenOn(receiver);
    Listen();
    if (HasFatalFailure()) return;
    // Had the click waited for the answer, it would have its result now.
    EXPECT_TRUE(form.lReceiver()->text().isEmpty());
    EXPECT_EQ(form.bListen()->text(), "STOP LISTENING");
    CheckOver();
    EXPECT_EQ(form.lReceiver()->text(), kNoAnswer);
}

// ---- The delays the receiver holds -------------------------------------------------------

struct DelaysRow {
    const char* Name;
    std::array<unsigned char, 12> Hundredths;
    bool DelaysActive;
    bool Twice;  // the warning that every bell would be delayed twice
};

void PrintTo(const DelaysRow& r, std::ostream* os) {
    *os << r.Name;
}

class ReceiverDelays : public ReceiverQuestions, public ::testing::WithParamInterface<DelaysRow> {};

TEST_P(ReceiverDelays, AreShownInMillisecondsAndCopiedIntoTheProgram) {
    const DelaysRow& row = GetParam();
    FakeReceiver receiver(FakeReceiver::Answering(row.Hundredths));
    TfMainform& form = OpenOn(receiver);
    form.cbDelaysActive()->setChecked(row.DelaysActive);
    Listen();
    CheckOver();
    if (HasFatalFailure()) return;
    ASSERT_EQ(form.lReceiver()->text(), kAnswers);

    form.ReceiverDelays1()->trigger();
    ASSERT_TRUE(PumpUntil([&] { return DelaysDialog() != nullptr; }, 10))
        << "no dialog; boxes: " << (BoxTexts().empty() ? "" : BoxTexts()[0].toStdString());
    TfReceiverDelays& dialog = *DelaysDialog();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    EXPECT_EQ(receiver.CountReceived(FakeReceiver::kSendDelays), 1);
    EXPECT_TRUE(Untouched()) << "the answer struck a bell";
    for (int bell = 1; bell <= 12; ++bell)
        EXPECT_EQ(dialog.lBell(bell)->text(), QStringLiteral("%1 ms").arg(row.Hundredths[bell - 1] * 10))
            << "bell " << bell;
    EXPECT_EQ(dialog.lTwice()->isVisible(), row.Twice);
    EXPECT_EQ(dialog.bClearDelaysActive()->isVisible(), row.Twice);
    if (row.Twice) {
        EXPECT_TRUE(dialog.lTwice()->text().contains("every bell would be delayed twice"));
        QTest::mouseClick(dialog.bClearDelaysActive(), Qt::LeftButton);
        EXPECT_FALSE(form.cbDelaysActive()->isChecked());
        EXPECT_FALSE(dialog.bClearDelaysActive()->isVisible());
    }
    EXPECT_EQ(form.cbDelaysActive()->isChecked(), row.DelaysActive && !row.Twice);
    if (row.Twice) {
        EXPECT_TRUE(Sandbox->ReadSettings().contains("DelaysActive=0\n")) << "cleared for the next start too";
    }

    QTest::mouseClick(dialog.bCopy(), Qt::LeftButton);
    EXPECT_FALSE(dialog.bCopy()->isEnabled());
    EXPECT_TRUE(dialog.lCopied()->isVisible());
    // The text shown makes the window taller: every delay still reads whole.
    auto whole = [&](int bell) {
        const QLabel* value = dialog.lBell(bell);
        return value->width() >= value->sizeHint().width() && value->height() >= value->sizeHint().height();
    };
    EXPECT_TRUE(PumpUntil(
        [&] {
            for (int bell = 1; bell <= 12; ++bell)
                if (!whole(bell)) return false;
            return dialog.lCopied()->height() >= dialog.lCopied()->heightForWidth(dialog.lCopied()->width());
        },
        10))
        << "bell 1 is " << dialog.lBell(1)->height() << " px high of "
        << dialog.lBell(1)->sizeHint().height();
    const QByteArray stored = Sandbox->ReadSettings();
    for (int bell = 1; bell <= 12; ++bell) {
        const int ms = row.Hundredths[bell - 1] * 10;
        EXPECT_TRUE(stored.contains("BELL" + QByteArray::number(bell) + "=" + QByteArray::number(ms) + "\n"))
            << "bell " << bell << " in:\n"
            << stored.toStdString();
        EXPECT_EQ(int(form.Timer(bell)->Interval()), ms) << "bell " << bell;
    }
    EXPECT_FALSE(stored.contains("BELL13=")) << "only the receiver's twelve bells are copied";
    EXPECT_EQ(form.Timer(13)->Interval(), 300u);
    QTest::mouseClick(dialog.bClose(), Qt::LeftButton);
    EXPECT_TRUE(PumpUntil([&] { return DelaysDialog() == nullptr; }, 10));
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();

    // The next stroke strikes as ever.
    StrikeHeard(receiver, "3");
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_EQ(Heard(), std::vector<int>{1});
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReceiverDelays,
    ::testing::Values(
        DelaysRow{"HeldWhileDelaysActive", kStrokeLikeDelays, true, true},
        DelaysRow{"HeldWithDelaysCleared", kStrokeLikeDelays, false, false},
        DelaysRow{"NoneHeld", {}, true, false},
        // 0.17 s and 0.19 s are the XON and XOFF bytes.
        DelaysRow{"FlowControlBytesHeld", {17, 19, 17, 19, 17, 19, 17, 19, 17, 19, 17, 19}, true, true},
        DelaysRow{"LongestHeld", {254, 254, 254, 254, 254, 254, 254, 254, 254, 254, 254, 1}, true, true}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- Answers that cannot be read ---------------------------------------------------------

struct UnreadRow {
    const char* Name;
    FakeReceiver::Replies Replies;
    std::string BeforeAnswer;  // strokes that come in just before the answer
    TMsgDlgType Type;
    QString Text;
};

void PrintTo(const UnreadRow& r, std::ostream* os) {
    *os << r.Name;
}

class UnreadDelays : public ReceiverQuestions, public ::testing::WithParamInterface<UnreadRow> {};

TEST_P(UnreadDelays, AreReportedAndLeaveTheStrokesAsTheyWere) {
    const UnreadRow& row = GetParam();
    FakeReceiver receiver(row.Replies);
    receiver.SetBeforeDelays(row.BeforeAnswer);
    TfMainform& form = OpenOn(receiver);
    form.cbDelaysActive()->setChecked(false);
    Listen();
    CheckOver();
    if (HasFatalFailure()) return;

    form.ReceiverDelays1()->trigger();
    ASSERT_TRUE(PumpUntil([&] { return !BoxTexts().empty(); }, 10)) << "nothing reported";
    PumpFor(100);
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_EQ(Sandbox->Boxes.Boxes[0].Type, row.Type);
    EXPECT_EQ(BoxTexts()[0], row.Text);
    EXPECT_EQ(DelaysDialog(), nullptr);
    EXPECT_EQ(receiver.CountReceived(FakeReceiver::kSendDelays), 1);
    for (int bell = 1; bell <= kBellCount; ++bell) EXPECT_EQ(form.Timer(bell)->Interval(), 300u);
    EXPECT_TRUE(Untouched()) << "the answer struck a bell";

    // Strokes strike again as soon as the answer is over.
    StrikeHeard(receiver, "1");
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_EQ(Heard(), std::vector<int>{0});
}

INSTANTIATE_TEST_SUITE_P(
    Receivers, UnreadDelays,
    ::testing::Values(
        UnreadRow{"Silent", FakeReceiver::Silent(), "", mtInformation,
                  "The receiver did not answer: older receivers hold no delays of their own."},
        UnreadRow{"Garbage", FakeReceiver::Garbage(), "", mtWarning,
                  "The receiver's answer is not a list of delays (received: 80 01 7F 00 C3)."},
        UnreadRow{"StrokeBeforeTheAnswer", FakeReceiver::Answering(kStrokeLikeDelays), "3", mtWarning,
                  "A stroke came in while the receiver answered, so its delays could not be read. The "
                  "stroke was not sounded. Ask again while the bells are silent."},
        UnreadRow{"StrokeInsteadOfAnAnswer", FakeReceiver::Silent(), "3", mtWarning,
                  "A stroke came in while the receiver answered, so its delays could not be read. The "
                  "stroke was not sounded. Ask again while the bells are silent."},
        // Bytes that could be strokes, but back to back at the line's pace: an answer cut short.
        UnreadRow{"AnswerCutShort",
                  {std::string(1, char(FakeReceiver::kAreYouThere)), "02468"},
                  "",
                  mtWarning,
                  "The receiver's answer stopped short (received: 30 32 34 36 38), so its delays could not "
                  "be read. Ask again."}),
    [](const auto& info) { return std::string(info.param.Name); });

// ---- When the receiver is not asked ------------------------------------------------------

TEST_F(ReceiverQuestions, DelaysAreAskedOnlyWhileListeningAndTheBellsAreSilent) {
    FakeReceiver receiver(FakeReceiver::Answering(kStrokeLikeDelays));
    TfMainform& form = OpenOn(receiver);
    form.ReceiverDelays1()->trigger();
    ASSERT_EQ(BoxTexts().size(), 1u);
    EXPECT_EQ(BoxTexts()[0], "Start listening first: the receiver is asked through its port.");

    Listen();
    CheckOver();
    if (HasFatalFailure()) return;
    // A delay pending (Delays Active, 300 ms): not silent.
    ASSERT_TRUE(receiver.Send("3"));
    ASSERT_TRUE(PumpUntil([&] { return form.Timer(3)->Enabled(); }, 10));
    form.ReceiverDelays1()->trigger();
    ASSERT_EQ(BoxTexts().size(), 2u);
    EXPECT_EQ(BoxTexts()[1], "Ask the receiver for its delays while the bells are silent.");
    // Sounding: not silent either.
    ASSERT_TRUE(PumpUntil([&] { return !form.AllStopped(); }, 10));
    form.ReceiverDelays1()->trigger();
    ASSERT_EQ(BoxTexts().size(), 3u);
    EXPECT_EQ(BoxTexts()[2], BoxTexts()[1]);
    ASSERT_TRUE(PumpUntil([&] { return form.AllStopped(); }, 10));
    PumpFor(100);
    EXPECT_EQ(receiver.CountReceived(FakeReceiver::kSendDelays), 0) << "asked while the bells rang";
    EXPECT_EQ(DelaysDialog(), nullptr);

    // Silent again: asked.
    form.ReceiverDelays1()->trigger();
    EXPECT_TRUE(PumpUntil([&] { return DelaysDialog() != nullptr; }, 10));
    EXPECT_TRUE(Untouched()) << "the answer struck a bell";
    EXPECT_EQ(BoxTexts().size(), 3u);
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_EQ(Heard(), std::vector<int>{1});
}

TEST_F(ReceiverQuestions, AQuestionLeftWaitingTakesNothingOnceListeningStartsAgain) {
    FakeReceiver receiver(FakeReceiver::Silent());
    TfMainform& form = OpenOn(receiver);
    form.cbDelaysActive()->setChecked(false);
    Listen();
    CheckOver();
    if (HasFatalFailure()) return;
    // Asked, and listening stops before the wait for the answer is over.
    form.ReceiverDelays1()->trigger();
    ASSERT_TRUE(PumpUntil([&] { return receiver.CountReceived(FakeReceiver::kSendDelays) == 1; }, 10));
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    ASSERT_FALSE(form.FComPort1()->GetActive());
    EXPECT_EQ(form.lReceiver()->text(), "") << "no answer is waited for while nothing listens";
    Listen();
    if (HasFatalFailure()) return;
    // Well within the wait the abandoned question had.
    StrikeHeard(receiver, "1");
    if (HasFatalFailure()) return;
    StrikeHeard(receiver, "3");
    if (HasFatalFailure()) return;
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    PumpFor(TReceiverQuery::kAnswerWaitMs + 100);
    EXPECT_EQ(DelaysDialog(), nullptr);
    EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0].toStdString();
    EXPECT_EQ(Heard(), (std::vector<int>{0, 1}));
}

TEST_F(ReceiverQuestions, StatusLineAndCaptionSayWhatIsTrue) {
    FakeReceiver receiver(FakeReceiver::Silent());
    // No port was found at start-up; the ringer types the receiver's in.
    Sandbox.reset();
    Sandbox = std::make_unique<ConsoleSandbox>(QStringList());
    TfMainform& form = Open(QByteArray());
    ASSERT_TRUE(form.windowTitle().endsWith("   [RECEIVER NOT DETECTED]"));
    EXPECT_EQ(form.FComPort1()->DeviceName(), "") << "no port guessed";
    form.cbPort()->lineEdit()->setFocus();
    QTest::keyClicks(form.cbPort()->lineEdit(), QString::fromStdString(receiver.SlavePath()));
    Listen();
    if (HasFatalFailure()) return;
    EXPECT_EQ(form.windowTitle(), "Quorvel 16 v1.07") << "a receiver's port is open";
    CheckOver();
    EXPECT_EQ(form.lReceiver()->text(), kNoAnswer);
    QTest::mouseClick(form.bListen(), Qt::LeftButton);
    EXPECT_EQ(form.lReceiver()->text(), "");
    Form.reset();
    Sandbox->Boxes.Boxes.clear();
}

TEST_F(ReceiverQuestions, MenuItemSitsWithThePortItems) {
    FakeReceiver receiver(FakeReceiver::Silent());
    TfMainform& form = OpenOn(receiver);
    EXPECT_EQ(form.ReceiverDelays1()->text(), "Receiver Delays...");
    const QList<QAction*> actions = form.PopupMenu1()->actions();
    const auto at = [&](QAction* a) { return actions.indexOf(a); };
    EXPECT_EQ(at(form.ReceiverDelays1()), at(form.SetCOMPORT1()) + 1);
}

// ---- Reading an answer -------------------------------------------------------------------

struct ParseRow {
    const char* Name;
    QByteArray Bytes;
    bool Ended;
    TDelaysAnswer::TKind Kind;
};

void PrintTo(const ParseRow& r, std::ostream* os) {
    *os << r.Name;
}

class DelaysAnswerParse : public ::testing::TestWithParam<ParseRow> {};

TEST_P(DelaysAnswerParse, TellsAnswersFromStrokesAndGarbage) {
    const ParseRow& row = GetParam();
    const TDelaysAnswer answer = ParseDelaysAnswer(row.Bytes, row.Ended);
    EXPECT_EQ(answer.Kind, row.Kind);
    EXPECT_EQ(answer.Bytes, row.Bytes);
    if (row.Kind != TDelaysAnswer::Read) return;
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(answer.DelaysMs[i], static_cast<unsigned char>(row.Bytes[i]) * 10) << "bell " << i + 1;
}

const QByteArray kTwelve("1E0\x19\x00TAd\x1e\x28\x32\x3c", 12);

INSTANTIATE_TEST_SUITE_P(
    Answers, DelaysAnswerParse,
    ::testing::Values(ParseRow{"TwelveAndTheEnd", kTwelve + '\xff', true, TDelaysAnswer::Read},
                      ParseRow{"Nothing", QByteArray(), false, TDelaysAnswer::NoAnswer},
                      ParseRow{"StrokeFirst", '3' + kTwelve + '\xff', true, TDelaysAnswer::StrokeBetween},
                      ParseRow{"OnlyStrokes", "35", false, TDelaysAnswer::StrokeBetween},
                      ParseRow{"ElevenAndTheEnd", kTwelve.left(11) + '\xff', true, TDelaysAnswer::Garbage},
                      ParseRow{"TheEndAlone", "\xff", true, TDelaysAnswer::Garbage},
                      ParseRow{"NoEnd", kTwelve, false, TDelaysAnswer::Garbage},
                      ParseRow{"FarTooLong", QByteArray(40, '\x80') + '\xff', true, TDelaysAnswer::Garbage}),
    [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
