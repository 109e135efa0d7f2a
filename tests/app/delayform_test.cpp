// The delay dialog: its number box, the +10/-10 buttons, and "Set", which
// stores and applies the value and closes; closing otherwise discards it.

#include "app/DelayForm.h"
#include "app/MainForm.h"
#include "app/Widgets.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/waveout.h"
#include "tests/support/ConsoleKit.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <memory>

namespace {

class DelayDialog : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        Open();
        Dialog = new TfDelay(Form.get());
        Dialog->SetBellNum(7);
        Dialog->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(Dialog));
    }

    // Types into the number box as a person would, replacing its text.
    void Type(const QString& text) {
        QLineEdit* edit = Dialog->seDelay()->findChild<QLineEdit*>();
        Dialog->seDelay()->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }

    void ClickSet() {
        QPointer<TfDelay> dialog = Dialog;
        QTest::mouseClick(Dialog->bSet(), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        Closed = dialog.isNull();
    }

    TfDelay* Dialog = nullptr;
    bool Closed = false;
};

TEST_F(DelayDialog, IsASmallToolWindowForOneBell) {
    EXPECT_EQ(Dialog->windowTitle(), "Delay Setup");
    EXPECT_EQ(Dialog->size(), QSize(163, 115));
    EXPECT_EQ(Dialog->Label1()->text(), "BELL 7");
    EXPECT_EQ(Dialog->bSet()->text(), "Set");
    EXPECT_EQ(Dialog->bSet()->geometry(), QRect(8, 72, 151, 41));
    EXPECT_EQ(Dialog->bPlus10()->text(), "+10");
    EXPECT_EQ(Dialog->bMinus10()->text(), "-10");
    EXPECT_EQ(Dialog->seDelay()->MinValue(), 0);
    EXPECT_EQ(Dialog->seDelay()->MaxValue(), 50000);
    EXPECT_EQ(Dialog->seDelay()->Value(), 300);
    TfDelay fresh(Form.get());
    EXPECT_EQ(fresh.Label1()->text(), "BELL 0") << "before a bell is set";
}

struct StepCase {
    int Start;
    bool Plus;
    int Result;
};

class DelaySteps : public DelayDialog, public ::testing::WithParamInterface<StepCase> {};

TEST_P(DelaySteps, StayWithinTheRange) {
    Dialog->seDelay()->SetValue(GetParam().Start);
    QTest::mouseClick(GetParam().Plus ? Dialog->bPlus10() : Dialog->bMinus10(), Qt::LeftButton);
    EXPECT_EQ(Dialog->seDelay()->Value(), GetParam().Result);
}

INSTANTIATE_TEST_SUITE_P(Buttons, DelaySteps,
                         ::testing::Values(StepCase{300, true, 310}, StepCase{300, false, 290},
                                           StepCase{5, false, 0}, StepCase{0, false, 0},
                                           StepCase{49995, true, 50000}, StepCase{50000, true, 50000}));

TEST_F(DelayDialog, SettingAValueClampsIt) {
    Dialog->seDelay()->SetValue(-40);
    EXPECT_EQ(Dialog->seDelay()->Value(), 0);
    Dialog->seDelay()->SetValue(99999);
    EXPECT_EQ(Dialog->seDelay()->Value(), 50000);
}

TEST_F(DelayDialog, SetStoresAppliesAndCloses) {
    Type("275");
    ClickSet();
    EXPECT_TRUE(Closed) << "freed on close";
    EXPECT_EQ(Form->Timer(7)->Interval(), 275u);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("[DELAY]\nBELL7=275\n"));
}

TEST_F(DelayDialog, TypedNumberOutOfRangeIsClampedBeforeItIsStored) {
    Type("70000");
    EXPECT_EQ(Dialog->seDelay()->Value(), 70000) << "the box holds what was typed until it is left";
    ClickSet();
    EXPECT_EQ(Form->Timer(7)->Interval(), 50000u);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("BELL7=50000\n"));
}

TEST_F(DelayDialog, TextThatIsNotANumberIsStoredAsZero) {
    Type("");
    EXPECT_EQ(Dialog->seDelay()->Value(), 0);
    ClickSet();
    EXPECT_EQ(Form->Timer(7)->Interval(), 0u);
    EXPECT_TRUE(Sandbox->ReadSettings().contains("BELL7=0\n"));
}

TEST_F(DelayDialog, ClosingWithoutSetDiscardsTheValue) {
    Type("1234");
    QPointer<TfDelay> dialog = Dialog;
    Dialog->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(Form->Timer(7)->Interval(), 300u);
    EXPECT_FALSE(Sandbox->SettingsExist());
}

TEST_F(DelayDialog, OpenDialogsGoWithTheMainWindow) {
    QPointer<TfDelay> dialog = Dialog;
    Form.reset();
    EXPECT_TRUE(dialog.isNull());
}

}  // namespace
