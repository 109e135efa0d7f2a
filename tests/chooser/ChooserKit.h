#pragma once

// Running the wave file dialog in a test: its modal loop runs while the
// test's steps drive it as a person would (the file list, the keyboard, the
// panel's buttons), and whatever the steps leave open is cancelled. Sound
// goes to the null output unless a test chooses the capture output.

#include "chooser/MMWaveOpenDialog.h"
#include "platform/waveout/waveout.h"
#include "tests/support/EventPump.h"
#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <functional>
#include <set>

// Runs Dialog's Execute with Steps inside its loop; returns Execute's result.
inline bool RunDialog(TMMCustomOpenDialog& Dialog, const std::function<void(QFileDialog*)>& Steps) {
    QTimer::singleShot(0, [&] {
        QFileDialog* window = Dialog.Handle();
        if (!window) {
            ADD_FAILURE() << "the dialog is not running";
            return;
        }
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
        Steps(window);
        if (Dialog.Handle() && Dialog.Handle()->isVisible()) Dialog.Handle()->reject();
    });
    return Dialog.Execute();
}

inline QListView* FileListOf(QFileDialog* Window) {
    return Window->findChild<QListView*>(QStringLiteral("listView"));
}

// Makes Path the current, selected item of the list, as a click does, in
// its folder.
inline void ClickFile(QFileDialog* Window, const QString& Path) {
    const QString folder = QFileInfo(Path).absolutePath();
    if (Window->directory().absolutePath() != folder) Window->setDirectory(folder);
    QListView* list = FileListOf(Window);
    ASSERT_NE(list, nullptr);
    auto* model = qobject_cast<QFileSystemModel*>(list->model());
    ASSERT_NE(model, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return model->index(Path).isValid(); }, 10)) << Path.toStdString();
    list->setCurrentIndex(model->index(Path));
}

// The names the list shows, top to bottom (Qt reads folders in the
// background and sorts them afterwards).
inline QStringList Rows(QFileDialog* Window) {
    QListView* list = FileListOf(Window);
    QStringList names;
    for (int row = 0; list && row < list->model()->rowCount(list->rootIndex()); ++row)
        names << list->model()->index(row, 0, list->rootIndex()).data().toString();
    return names;
}

// Waits for the panel to take in the last selection.
inline bool Settled(const TMMWaveOpenDialog& Dialog) {
    return PumpUntil([&] { return !Dialog.Updating(); }, 10);
}

// Columns of the waveform area where the position line is: red over the
// black ground (and yellow where it crosses the lime waveform).
inline std::set<int> LocatorColumns(const TMMWaveOpenDialog& Dialog) {
    const QImage image = Dialog.ScopeWnd()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect area = Dialog.ScopeRect();
    std::set<int> columns;
    for (int x = area.left(); x <= area.right(); ++x)
        for (int y = area.top(); y <= area.bottom(); ++y)
            if (image.pixel(x, y) == qRgb(255, 0, 0)) columns.insert(x - area.left());
    return columns;
}

// The dialog's folder holds these fixtures (made by sox).
class ChooserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
        // Qt's file dialog keeps its last folder and its columns in the
        // user's settings: each test starts without them and leaves the
        // user's own alone.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, Dir.path());
        WaveOutSettings s;
        s.output = "null";
        waveOutConfigure(s);
    }
    void TearDown() override { waveOutUseSettingsFile(); }

    // sox -n <Format> Path synth <Synth>: Format sets rate, bits, channels,
    // encoding; Synth the length and the signal.
    QString Make(const QString& Name, const QStringList& Format, const QStringList& Synth) {
        const QString path = Dir.file(Name);
        sox::Run(QStringList{"-n"} + Format + QStringList{path, "synth"} + Synth);
        return path;
    }

    TempDir Dir;
};
