#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Dialogs.h"
#include "platform/gui/Styles.h"
#include "platform/gui/Synchronize.h"
#include "tests/support/MessageBoxRecorder.h"

#include <gtest/gtest.h>
#include <QCursor>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <stdexcept>
#include <thread>

// This program runs on the program's own application class, so that its
// exception barrier is what the tests see; it brings its own main.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TGuiApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

namespace {

constexpr int Patience = 20000;

TEST(ErrorReport, FullStopRule) {
    const struct {
        const char* message;
        const char* shown;
    } cases[] = {
        {"Error reading wave file", "Error reading wave file."},
        {"Invalid wave file...", "Invalid wave file..."},
        {"Device 7", "Device 7."},
        {"Done.", "Done."},
        {"Really!", "Really!"},  // '!' sorts before '.'
        {"a-", "a-"},
        {"x,", "x,"},
        {"path/", "path/."},             // '/' sorts after '.'
        {"(see above)", "(see above)"},  // as does the closing parenthesis
        {"Grüße", "Grüße."},
        {"trailing space ", "trailing space "},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ErrorReportText(QString::fromUtf8(c.message)), QString::fromUtf8(c.shown)) << c.message;
}

TEST(ErrorReport, ShowsTheMessageUnderTheTitleWithAnErrorIcon) {
    MessageBoxRecorder boxes;
    Application.SetTitle(QStringLiteral("Quorvel Test"));
    try {
        throw Exception(QStringLiteral("Unable to write to /x/settings.ini"));
    } catch (...) {
        Application.HandleException();
    }
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Type, mtError);
    EXPECT_EQ(boxes.Boxes[0].Caption, QStringLiteral("Quorvel Test"));
    EXPECT_EQ(boxes.Boxes[0].Text, QStringLiteral("Unable to write to /x/settings.ini."));
}

TEST(ErrorReport, AbortIsSilent) {
    MessageBoxRecorder boxes;
    Application.HandleException(std::make_exception_ptr(EAbort()));
    EXPECT_TRUE(boxes.Boxes.empty());
}

TEST(ErrorReport, ForeignExceptionsAreShownToo) {
    MessageBoxRecorder boxes;
    Application.HandleException(std::make_exception_ptr(std::runtime_error("plain failure")));
    Application.HandleException(std::make_exception_ptr(std::bad_alloc()));
    Application.HandleException(std::make_exception_ptr(42));
    ASSERT_EQ(boxes.Boxes.size(), 3u);
    EXPECT_EQ(boxes.Boxes[0].Text, QStringLiteral("plain failure."));
    EXPECT_EQ(boxes.Boxes[1].Text, QStringLiteral("Out of memory."));
    EXPECT_FALSE(boxes.Boxes[2].Text.isEmpty());
}

TEST(ErrorReport, AnApplicationHandlerTakesOverTheReport) {
    MessageBoxRecorder boxes;
    QString seen;
    Application.OnException = [&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const Exception& ex) {
            seen = ex.Message();
        }
    };
    Application.HandleException(std::make_exception_ptr(Exception(QStringLiteral("routed"))));
    Application.OnException = nullptr;
    EXPECT_EQ(seen, QStringLiteral("routed"));
    EXPECT_TRUE(boxes.Boxes.empty());
}

TEST(ErrorReport, AFailingServiceDoesNotEscape) {
    TMessageBoxService previous = SetMessageBoxService(
        [](TMsgDlgType, const QString&, const QString&) { throw std::runtime_error("no"); });
    EXPECT_NO_THROW(Application.HandleException(std::make_exception_ptr(Exception(QStringLiteral("x")))));
    SetMessageBoxService(previous);
}

class Throwing : public QObject {
protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw Exception(QStringLiteral("Thrown inside Qt"));
        return QObject::event(e);
    }
};

TEST(ErrorReport, NoExceptionCrossesQtAndTheApplicationGoesOn) {
    MessageBoxRecorder boxes;
    Throwing target;
    QEvent direct(QEvent::User);
    EXPECT_FALSE(QCoreApplication::sendEvent(&target, &direct));
    QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    bool later = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("from a timer"); });
    QTimer::singleShot(5, [&] { later = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return later; }, Patience));
    ASSERT_EQ(boxes.Boxes.size(), 3u);
    EXPECT_EQ(boxes.Boxes[0].Text, QStringLiteral("Thrown inside Qt."));
    EXPECT_EQ(boxes.Boxes[1].Text, QStringLiteral("Thrown inside Qt."));
    EXPECT_EQ(boxes.Boxes[2].Text, QStringLiteral("from a timer."));
}

TEST(MessageBoxes, WarningErrorAndPlainBoxes) {
    MessageBoxRecorder boxes;
    Application.SetTitle(QStringLiteral("Quorvel Test"));
    EXPECT_EQ(MessageDlg(QStringLiteral("QUORVEL Receiver Not Detected"), mtWarning), mrOk);
    EXPECT_EQ(MessageDlg(QStringLiteral("Check COM Port Settings"), mtError), mrOk);
    EXPECT_EQ(Application.MessageBox(QStringLiteral("Only under Windows 95"), QStringLiteral("TMMWaveOut")),
              IDOK);
    ASSERT_EQ(boxes.Boxes.size(), 3u);
    EXPECT_EQ(boxes.Boxes[0].Type, mtWarning);
    EXPECT_EQ(boxes.Boxes[0].Text, QStringLiteral("QUORVEL Receiver Not Detected"));
    EXPECT_EQ(boxes.Boxes[1].Type, mtError);
    EXPECT_EQ(boxes.Boxes[2].Type, mtCustom);
    EXPECT_EQ(boxes.Boxes[2].Caption, QStringLiteral("TMMWaveOut"));
    EXPECT_EQ(boxes.Boxes[2].Text, QStringLiteral("Only under Windows 95"));
}

TEST(ErrorReport, AnErrorOnAnotherThreadIsReportedOnTheMainThread) {
    bool onMain = false;
    Application.OnException = [&](std::exception_ptr) { onMain = IsMainThread(); };
    std::thread([] {
        Application.HandleException(std::make_exception_ptr(Exception(QStringLiteral("t"))));
    }).join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return onMain; }, Patience));
    Application.OnException = nullptr;
}

TEST(MessageBoxes, ABoxFromAnotherThreadIsShownOnTheMainThread) {
    bool onMain = false;
    int shown = 0;
    TMessageBoxService previous = SetMessageBoxService([&](TMsgDlgType, const QString&, const QString&) {
        onMain = QThread::currentThread() == qApp->thread();
        ++shown;
    });
    std::thread([] {
        Application.HandleException(std::make_exception_ptr(Exception(QStringLiteral("t"))));
    }).join();
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown == 1; }, Patience));
    EXPECT_TRUE(onMain);
    SetMessageBoxService(previous);
}

TEST(Cursor, HourglassAndRestore) {
    EXPECT_EQ(Screen.Cursor(), crDefault);
    Screen.SetCursor(crHourGlass);
    EXPECT_EQ(Screen.Cursor(), crHourGlass);
    ASSERT_NE(QGuiApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    Screen.SetCursor(crHourGlass);  // again: still one override to undo
    Screen.SetCursor(crDefault);
    EXPECT_EQ(Screen.Cursor(), crDefault);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST(Styles, SelectedByNameWithoutRegardToCase) {
    const QString sheet = QStringLiteral("QPushButton { color: #123456; }");
    TStyleManager::RegisterStyle(QStringLiteral("Meadow"), sheet);
    EXPECT_FALSE(TStyleManager::TrySetStyle(QStringLiteral("Nowhere")));
    EXPECT_TRUE(TStyleManager::ActiveStyleName().isEmpty());

    EXPECT_TRUE(TStyleManager::TrySetStyle(QStringLiteral("mEADOW")));
    EXPECT_EQ(TStyleManager::ActiveStyleName(), QStringLiteral("Meadow"));
    EXPECT_EQ(qApp->styleSheet(), sheet);
    QPushButton button(QStringLiteral("Sequence"));
    button.ensurePolished();
    EXPECT_EQ(button.palette().color(QPalette::ButtonText), QColor(0x12, 0x34, 0x56));

    EXPECT_FALSE(TStyleManager::TrySetStyle(QStringLiteral("Nowhere")));
    EXPECT_EQ(qApp->styleSheet(), sheet);
    qApp->setStyleSheet(QString());
}

TEST(Styles, ReadFromAFileOrResource) {
    EXPECT_FALSE(
        TStyleManager::RegisterStyleFromFile(QStringLiteral("Gone"), QStringLiteral("/nonexistent.qss")));
    EXPECT_FALSE(TStyleManager::StyleNames().contains(QStringLiteral("Gone")));
}

}  // namespace
