// How the dialog opens for a bell: in which folder, with "Preview" as the
// ringer left it (in this run and, through the settings file, the last
// one), and with the file list's columns wide enough for what they say.

#include "chooser/MMWaveOpenDialog.h"
#include "platform/profile/IniFile.h"
#include "playback/MMWavePlayer.h"
#include "tests/chooser/ChooserKit.h"
#include "tests/support/QtPrinters.h"

#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QStyle>
#include <QTreeView>

namespace {

class Opening : public ChooserTest {
protected:
    void SetUp() override {
        ChooserTest::SetUp();
        Previous = TMMWavePlayer::SetWaveFileChooser({});
        InstallWaveOpenDialog();
    }
    void TearDown() override {
        SetWaveOpenDialogDefaults(QString(), QString());
        TMMWavePlayer::SetWaveFileChooser(Previous);
        ChooserTest::TearDown();
    }

    // The player's SelectFile with Steps run in the dialog it opens, which
    // is then cancelled.
    void Choose(TMMWavePlayer& Player, const std::function<void(QFileDialog*)>& Steps) {
        QTimer::singleShot(0, [&] {
            auto* window = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(window, nullptr) << "no file dialog";
            EXPECT_TRUE(QTest::qWaitForWindowExposed(window));
            Steps(window);
            if (window->isVisible()) window->reject();
        });
        EXPECT_FALSE(Player.SelectFile());
    }

    static QCheckBox* PreviewOf(QFileDialog* Window) {
        return Window->findChild<QCheckBox*>(QStringLiteral("PreviewBox"));
    }
    // Clicks the box once the bell's file has been described (it is
    // disabled until then).
    static void Toggle(QCheckBox* Box) {
        ASSERT_TRUE(PumpUntil([&] { return Box->isEnabled(); }));
        QTest::mouseClick(Box, Qt::LeftButton, {}, QPoint(4, Box->height() / 2));
    }

    TWaveFileChooser Previous;
};

// The bell's own folder when its file has one that is there; otherwise the
// folder the program names (the demo ring's).
TEST_F(Opening, OpensInTheBellsFolderElseTheFolderTheProgramNames) {
    ASSERT_TRUE(QDir(Dir.path()).mkpath("ring"));
    ASSERT_TRUE(QDir(Dir.path()).mkpath("mine"));
    const QString demo = Dir.file("ring");
    const QString own = Make("mine/treble.wav", {"-r", "8000", "-b", "16", "-c", "1"}, {"0.2"});
    struct Case {
        const char* What;
        QString BellFile;
        QString Folder;
    };
    // The file dialog goes back to the folder it showed last unless told
    // otherwise: the first case comes before any other has been shown.
    const Case cases[] = {
        {"its folder is gone", Dir.file("gone/tenor.wav"), demo},
        {"the bell's file", own, Dir.file("mine")},
        {"no file yet", QString(), demo},
    };
    SetWaveOpenDialogDefaults(demo + "/", QString());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TMMWavePlayer player;
        // A file that is gone stays the bell's name for it.
        player.Wave()->SetFileMustExist(false);
        if (!c.BellFile.isEmpty()) player.SetFileName(c.BellFile);
        ASSERT_EQ(player.FileName(), c.BellFile);
        Choose(player, [&](QFileDialog* window) { EXPECT_EQ(window->directory().absolutePath(), c.Folder); });
    }
}

// "Preview" is as the last dialog left it, within a run and across runs
// through the settings file; a settings file that cannot be written keeps
// the choice for the run.
TEST_F(Opening, RemembersPreview) {
    const QString bell = Make("bell.wav", {"-r", "8000", "-b", "16", "-c", "1"}, {"0.3", "sine", "440"});
    const QString settings = Dir.file("settings.ini");
    const auto stored = [&] { return TIniFile(settings).ReadString("CHOOSER", "Preview", "none"); };
    SetWaveOpenDialogDefaults(QString(), settings);
    TMMWavePlayer player;
    player.SetFileName(bell);

    Choose(player, [&](QFileDialog* window) {
        ASSERT_FALSE(PreviewOf(window)->isChecked());
        Toggle(PreviewOf(window));
        ASSERT_TRUE(PreviewOf(window)->isChecked());
    });
    EXPECT_EQ(stored(), "1");
    Choose(player, [&](QFileDialog* window) {
        EXPECT_TRUE(PreviewOf(window)->isChecked());
        // And so the bell's file is drawn as the dialog opens.
        auto* scope = window->findChild<QWidget*>(QStringLiteral("ScopeWnd"));
        ASSERT_NE(scope, nullptr);
        EXPECT_TRUE(PumpUntil([&] {
            const QImage image = scope->grab().toImage().convertToFormat(QImage::Format_RGB32);
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (image.pixel(x, y) == qRgb(0, 255, 0)) return true;
            return false;
        }));
        Toggle(PreviewOf(window));
    });
    EXPECT_EQ(stored(), "0");

    // As a run before this one left it.
    TIniFile(settings).WriteString("CHOOSER", "Preview", "1");
    Choose(player, [&](QFileDialog* window) { EXPECT_TRUE(PreviewOf(window)->isChecked()); });
    TIniFile(settings).WriteString("CHOOSER", "Preview", "0");
    Choose(player, [&](QFileDialog* window) { EXPECT_FALSE(PreviewOf(window)->isChecked()); });

    // A folder where the settings file should be: nothing written, nothing
    // raised, the choice kept while the program runs.
    SetWaveOpenDialogDefaults(QString(), Dir.path());
    Choose(player, [&](QFileDialog* window) { Toggle(PreviewOf(window)); });
    Choose(player, [&](QFileDialog* window) {
        EXPECT_TRUE(PreviewOf(window)->isChecked());
        Toggle(PreviewOf(window));
    });
    Choose(player, [&](QFileDialog* window) { EXPECT_FALSE(PreviewOf(window)->isChecked()); });
}

// Every column of the file list is at least as wide as every text in it,
// its heading's included, in the view's own font.
TEST_F(Opening, FileListColumnsFitTheirTexts) {
    Make("a-rather-long-name-for-a-bell-recording.wav", {"-r", "44100", "-b", "16", "-c", "2"}, {"1"});
    Make("b.wav", {"-r", "8000", "-b", "8", "-c", "1"}, {"0.1"});
    TMMWaveOpenDialog dialog;
    dialog.SetInitialDir(Dir.path());
    RunDialog(dialog, [&](QFileDialog* window) {
        auto* view = window->findChild<QTreeView*>(QStringLiteral("treeView"));
        ASSERT_TRUE(view && view->isVisible());
        const QAbstractItemModel* model = view->model();
        const QHeaderView* header = view->header();
        QFontMetrics text = view->fontMetrics();
        QFontMetrics heading = header->fontMetrics();
        // A text is cut unless it has the style's margin on both sides.
        const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
        // What does not fit, once the list shows both files with their sizes.
        QStringList tooNarrow;
        const auto check = [&] {
            tooNarrow.clear();
            const QModelIndex root = view->rootIndex();
            if (model->rowCount(root) < 2) return false;
            for (int c = 0; c < header->count(); ++c) {
                if (header->isSectionHidden(c)) continue;
                const QString title = model->headerData(c, Qt::Horizontal).toString();
                if (header->sectionSize(c) < heading.horizontalAdvance(title))
                    tooNarrow << QStringLiteral("heading %1").arg(title);
                for (int r = 0; r < model->rowCount(root); ++r) {
                    const QString shown = model->index(r, c, root).data().toString();
                    if (shown.isEmpty()) return false;  // not gathered yet
                    const int icon = c == 0 ? view->iconSize().width() + margin : 0;
                    const int needed = text.horizontalAdvance(shown) + icon + 2 * margin;
                    if (header->sectionSize(c) < needed)
                        tooNarrow << QStringLiteral("%1 (%2 < %3)")
                                         .arg(shown)
                                         .arg(header->sectionSize(c))
                                         .arg(needed);
                }
            }
            return tooNarrow.isEmpty();
        };
        EXPECT_TRUE(PumpUntil(check, 10)) << tooNarrow.join(", ").toStdString();
        // And on a desktop whose font is larger than the one the dialog was
        // made with.
        QFont larger = window->font();
        larger.setPointSizeF(larger.pointSizeF() * 1.5);
        window->setFont(larger);
        text = view->fontMetrics();
        heading = header->fontMetrics();
        EXPECT_TRUE(PumpUntil(check, 10)) << tooNarrow.join(", ").toStdString();
    });
}

}  // namespace
