// The delay dialog: its number box, the +10/-10 buttons, and "Set", which
// stores and applies the value and closes; closing otherwise discards it.

#include "app/DelayForm.h"
#include "app/MainForm.h"
#include "app/Program.h"
#include "app/Widgets.h"
#include "platform/gui/Styles.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/waveout.h"
#include "tests/support/ConsoleKit.h"
#include "tests/support/EventPump.h"

#include <gtest/gtest.h>

#include <QApplication>
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
    EXPECT_EQ(Dialog->height(), 115);
    EXPECT_GE(Dialog->width(), 163);
    EXPECT_EQ(Dialog->Label1()->text(), "BELL 7");
    EXPECT_EQ(Dialog->bSet()->text(), "Set");
    EXPECT_EQ(Dialog->bSet()->geometry(), QRect(8, 72, Dialog->width() - 12, 41));
    EXPECT_EQ(Dialog->bPlus10()->text(), "+10");
    EXPECT_EQ(Dialog->bMinus10()->text(), "-10");
    EXPECT_EQ(Dialog->seDelay()->MinValue(), 0);
    EXPECT_EQ(Dialog->seDelay()->MaxValue(), 50000);
    EXPECT_EQ(Dialog->seDelay()->Value(), 300);
    EXPECT_EQ(Dialog->seDelay()->findChild<QLineEdit*>()->text(), "300 ms")
        << "the unit shows with the value";
    TfDelay fresh(Form.get());
    EXPECT_EQ(fresh.Label1()->text(), "BELL 0") << "before a bell is set";
}

// The buttons and the box are wide enough for their texts (the largest
// value with its unit), in the platform's style and in Sky, and lie side by
// side within the dialog.
class DelayDialogStyles : public DelayDialog, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override {
        qApp->setStyleSheet(QString());
        DelayDialog::TearDown();
    }
};

TEST_P(DelayDialogStyles, TextsFitTheirControls) {
    if (GetParam()) {
        RegisterSkyStyle();
        ASSERT_TRUE(TStyleManager::TrySetStyle(QStringLiteral("sky")));
    }
    TfDelay dialog(Form.get());
    dialog.seDelay()->SetValue(50000);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
    for (QPushButton* b : {dialog.bMinus10(), dialog.bPlus10(), dialog.bSet()}) {
        const int text = b->fontMetrics().horizontalAdvance(b->text());
        EXPECT_GE(b->width(), text + 8) << b->text().toStdString();
        if (GetParam()) {
            EXPECT_GE(b->width(), b->sizeHint().width()) << "Sky's padding: " << b->text().toStdString();
        }
    }
    EXPECT_GE(dialog.seDelay()->width(), dialog.seDelay()->sizeHint().width()) << "50000 ms with its arrows";
    EXPECT_LE(dialog.bMinus10()->geometry().right(), dialog.seDelay()->geometry().left());
    EXPECT_LE(dialog.seDelay()->geometry().right(), dialog.bPlus10()->geometry().left());
    EXPECT_LE(dialog.bPlus10()->geometry().right(), dialog.width() - 1);
}

INSTANTIATE_TEST_SUITE_P(Styles, DelayDialogStyles, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Sky" : "Platform"; });

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

struct TypedCase {
    const char* Typed;
    const char* Shown;
    int Stored;
};

class DelayTyping : public DelayDialog, public ::testing::WithParamInterface<TypedCase> {};

// What the box shows while typing is what "Set" stores: never more than
// the maximum, and no minus sign.
TEST_P(DelayTyping, TheBoxShowsWhatWillBeStored) {
    Type(QString::fromLatin1(GetParam().Typed));
    EXPECT_EQ(Dialog->seDelay()->findChild<QLineEdit*>()->text(), QString::fromLatin1(GetParam().Shown));
    ClickSet();
    EXPECT_EQ(Form->Timer(7)->Interval(), static_cast<unsigned>(GetParam().Stored));
    EXPECT_TRUE(Sandbox->ReadSettings().contains("BELL7=" + QByteArray::number(GetParam().Stored) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DelayTyping,
    ::testing::Values(TypedCase{"350", "350 ms", 350}, TypedCase{"99999", "50000 ms", 50000},
                      TypedCase{"70000", "50000 ms", 50000}, TypedCase{"500001", "50000 ms", 50000},
                      TypedCase{"-40", "40 ms", 40}, TypedCase{"50000", "50000 ms", 50000}));

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

struct KeyCase {
    Qt::Key Key;
    bool Stored;
};

class DelayKeys : public DelayDialog, public ::testing::WithParamInterface<KeyCase> {};

// Enter is "Set"; Escape closes and discards.
TEST_P(DelayKeys, EnterSetsEscapeCloses) {
    Type("420");
    QPointer<TfDelay> dialog = Dialog;
    ASSERT_TRUE(PumpUntil(
        [&] { return QApplication::focusWidget() && QApplication::focusWidget()->window() == Dialog; }, 10));
    QWidget* focus = QApplication::focusWidget();
    QTest::keyClick(focus, GetParam().Key);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(dialog.isNull()) << "closed and freed";
    EXPECT_EQ(Form->Timer(7)->Interval(), GetParam().Stored ? 420u : 300u);
    EXPECT_EQ(Sandbox->ReadSettings().contains("BELL7=420"), GetParam().Stored);
}

INSTANTIATE_TEST_SUITE_P(Keys, DelayKeys,
                         ::testing::Values(KeyCase{Qt::Key_Return, true}, KeyCase{Qt::Key_Enter, true},
                                           KeyCase{Qt::Key_Escape, false}));

TEST_F(DelayDialog, OpenDialogsGoWithTheMainWindow) {
    QPointer<TfDelay> dialog = Dialog;
    Form.reset();
    EXPECT_TRUE(dialog.isNull());
}

}  // namespace
