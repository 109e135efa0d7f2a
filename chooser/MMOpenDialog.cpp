#include "chooser/MMOpenDialog.h"

#include <algorithm>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGridLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListView>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>
#include <QTreeView>

// The running window: Qt's file dialog with the confirmation and the first
// showing handed to its component.
class TMMOpenDialogWindow : public QFileDialog {
public:
    TMMOpenDialogWindow(TMMCustomOpenDialog* Owner, QWidget* Parent) : QFileDialog(Parent), FOwner(Owner) {}

    void accept() override {
        // Qt's own accept goes into a folder, up on "..", or reports a file
        // that is not there: only a real choice of files is put to DoFileOK.
        const QStringList files = selectedFiles();
        const auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        bool choice = !files.isEmpty() && !(edit && edit->text() == QStringLiteral(".."));
        const bool mustExist = fileMode() == ExistingFile || fileMode() == ExistingFiles;
        for (const QString& file : files) {
            const QFileInfo info(file);
            if (info.isDir() || (mustExist && !info.exists())) choice = false;
        }
        if (choice && !FOwner->ConfirmFiles(files)) return;
        QFileDialog::accept();
    }

protected:
    void showEvent(QShowEvent* Event) override {
        QFileDialog::showEvent(Event);
        if (FShown) return;
        FShown = true;
        FOwner->Centre();
        if (!(FOwner->Options() & ofEnableSizing)) setFixedSize(size());
    }

private:
    TMMCustomOpenDialog* FOwner;
    bool FShown = false;
};

namespace {

// "Name|*.a;*.b|Other|*.c" as Qt's filters "Name (*.a *.b)", "Other (*.c)".
QStringList NameFilters(const QString& Filter) {
    const QStringList parts = Filter.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString patterns = parts[i + 1].trimmed();
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        if (!patterns.isEmpty()) filters << parts[i] + QStringLiteral(" (") + patterns + QLatin1Char(')');
    }
    return filters;
}

QListView* FileList(QFileDialog* Dialog) {
    return Dialog ? Dialog->findChild<QListView*>(QStringLiteral("listView")) : nullptr;
}

// Fits every column of the detail view to its widest text, heading
// included (a last column stretched to the view's width would be cut to
// it), whenever a folder's rows are in and whenever the font changes. A
// name longer than the view scrolls rather than cutting the size, type and
// date off. Only then, not on every change of a row's data: measuring a
// folder's rows while the ringer scrolls through it would hold the window.
class TColumnFitter : public QObject {
public:
    explicit TColumnFitter(QTreeView* View) : QObject(View), FView(View) {
        QHeaderView* header = View->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(QHeaderView::Interactive);  // whatever Qt restored
        View->installEventFilter(this);
        if (auto* model = qobject_cast<QFileSystemModel*>(View->model())) {
            connect(model, &QFileSystemModel::directoryLoaded, this, &TColumnFitter::Fit);
            connect(model, &QAbstractItemModel::rowsInserted, this, &TColumnFitter::Fit);
        }
        Fit();
    }

    // Once the loop comes round: the rows of one load arrive in batches.
    void Fit() {
        if (FPending) return;
        FPending = true;
        QTimer::singleShot(0, this, [this] {
            FPending = false;
            FView->header()->resizeSections(QHeaderView::ResizeToContents);
        });
    }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == FView && Event->type() == QEvent::FontChange) Fit();
        return false;
    }

private:
    QTreeView* FView;
    bool FPending = false;
};

void FitColumns(QFileDialog* Dialog) {
    auto* details = Dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
    if (!details) return;
    auto* fitter = new TColumnFitter(details);
    // A folder shown before has its rows already: no load to wait for.
    QObject::connect(Dialog, &QFileDialog::directoryEntered, fitter, &TColumnFitter::Fit);
}

// The folder to open in: the file name's own when it has one that exists,
// else the initial folder when that exists; empty leaves it to Qt.
QString StartFolder(const QString& FileName, const QString& InitialDir) {
    if (FileName.contains(QLatin1Char('/'))) {
        const QString folder = QFileInfo(FileName).absolutePath();
        if (QFileInfo(folder).isDir()) return folder;
    }
    if (!InitialDir.isEmpty() && QFileInfo(InitialDir).isDir()) return InitialDir;
    return {};
}

}  // namespace

TMMCustomOpenDialog::TMMCustomOpenDialog(QObject* AOwner) : QObject(AOwner) {}

TMMCustomOpenDialog::~TMMCustomOpenDialog() = default;

void TMMCustomOpenDialog::SetInitialDir(const QString& Value) {
    QString dir = Value;
    while (dir.size() > 1 && dir.endsWith(QLatin1Char('/'))) dir.chop(1);
    FInitialDir = dir;
}

bool TMMCustomOpenDialog::Execute() {
    TMMOpenDialogWindow window(this, QApplication::activeWindow());
    window.setOption(QFileDialog::DontUseNativeDialog);
    window.setOption(QFileDialog::HideNameFilterDetails);
    window.setOption(QFileDialog::DontResolveSymlinks, FOptions.testFlag(ofNoDereferenceLinks));
    window.setAcceptMode(QFileDialog::AcceptOpen);
    window.setFileMode(FOptions.testFlag(ofAllowMultiSelect) ? QFileDialog::ExistingFiles
                       : FOptions.testFlag(ofFileMustExist)  ? QFileDialog::ExistingFile
                                                             : QFileDialog::AnyFile);
    if (!FTitle.isEmpty()) window.setWindowTitle(FTitle);
    const QStringList filters = NameFilters(FFilter);
    if (!filters.isEmpty()) {
        window.setNameFilters(filters);
        if (FFilterIndex >= 1 && FFilterIndex <= filters.size())
            window.selectNameFilter(filters[FFilterIndex - 1]);
    }
    if (FOptions.testFlag(ofForceShowHidden)) window.setFilter(window.filter() | QDir::Hidden);
    window.setDefaultSuffix(FDefaultExt);
    if (!FHistoryList.isEmpty()) window.setHistory(FHistoryList);

    // A file name with a folder says where to start; otherwise the initial
    // folder. The name is preset where it lies (or, without a folder, in the
    // folder it opens in).
    const QFileInfo current(FFileName);
    const QString start = StartFolder(FFileName, FInitialDir);
    if (!start.isEmpty()) window.setDirectory(start);
    const bool inStart = !FFileName.contains(QLatin1Char('/')) || start == current.absolutePath();
    if (!FFileName.isEmpty() && inStart) window.selectFile(current.fileName());
    FitColumns(&window);

    if (FOptionsEx.testFlag(ofExNoPlacesBar))
        if (QWidget* places = window.findChild<QWidget*>(QStringLiteral("sidebar"))) places->hide();
    if (!FTemplateName.isEmpty())
        if (QWidget* panel = CreateTemplate(&window)) {
            // Beside everything Qt lays out: the list, the name and the
            // buttons, which keep the room they had.
            const QSize files = window.sizeHint();
            if (auto* grid = qobject_cast<QGridLayout*>(window.layout())) {
                grid->addWidget(panel, 0, grid->columnCount(), grid->rowCount(), 1, Qt::AlignTop);
                window.resize(files.width() + panel->sizeHint().width() + grid->horizontalSpacing(),
                              std::max(files.height(), panel->sizeHint().height()));
            }
        }

    FHandle = &window;
    FLastSelected.clear();
    struct TEnd {
        TMMCustomOpenDialog* Self;
        bool Created = false;
        ~TEnd() {
            if (Created) Self->DoDestroy();
            Self->FHandle = nullptr;
        }
    } end{this};
    DoCreate();
    end.Created = true;
    if (QListView* list = FileList(&window))
        connect(list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                &TMMCustomOpenDialog::SelectionChanged);
    SelectionChanged();  // a preset file may be selected already

    if (window.exec() != QDialog::Accepted) return false;
    FFiles = window.selectedFiles();
    if (FFiles.isEmpty()) return false;
    FFileName = FFiles.constFirst();
    if (!filters.isEmpty()) FFilterIndex = static_cast<int>(filters.indexOf(window.selectedNameFilter())) + 1;
    return true;
}

void TMMCustomOpenDialog::Centre() {
    if (!FHandle) return;
    const QScreen* screen = FHandle->screen();
    if (!screen) return;
    const QRect area = screen->geometry();
    QRect frame = FHandle->frameGeometry();
    // No larger than the screen, so that all of it can be seen.
    const QSize over = (frame.size() - area.size()).expandedTo(QSize(0, 0));
    if (over.width() > 0 || over.height() > 0) {
        FHandle->resize(FHandle->size() - over);
        frame = FHandle->frameGeometry();
    }
    FHandle->move(area.x() + (area.width() - frame.width()) / 2,
                  area.y() + (area.height() - frame.height()) / 3);
}

void TMMCustomOpenDialog::SelectionChanged() {
    QListView* list = FileList(FHandle);
    if (!list) return;
    const QItemSelectionModel* selection = list->selectionModel();
    // The item last chosen: the current one when it is selected, else the
    // last selected row.
    QModelIndex chosen = list->currentIndex();
    if (!chosen.isValid() || !selection->isSelected(chosen)) {
        const QModelIndexList rows = selection->selectedRows();
        chosen = rows.isEmpty() ? QModelIndex() : rows.constLast();
    }
    if (!chosen.isValid()) return;  // nothing selected: the panel keeps what it shows
    const QString path = chosen.data(QFileSystemModel::FilePathRole).toString();
    if (path.isEmpty() || path == FLastSelected) return;
    FLastSelected = path;
    DoSelChanged(path);
}

bool TMMCustomOpenDialog::ConfirmFiles(const QStringList& Files) {
    FTempFiles = Files;
    for (const QString& file : FTempFiles) {
        bool canClose = true;
        DoFileOK(file, canClose);
        if (!canClose) return false;
    }
    return true;
}

void TMMCustomOpenDialog::ConnectCommand(QAbstractButton* Control, int Id) {
    connect(Control, &QAbstractButton::clicked, this,
            [this, Control, Id] { DoCommand(FHandle, Control, Id); });
}

QWidget* TMMCustomOpenDialog::CreateTemplate(QWidget*) {
    return nullptr;
}

void TMMCustomOpenDialog::DoCreate() {
    if (OnCreate) OnCreate(this);
}

void TMMCustomOpenDialog::DoDestroy() {
    if (OnDestroy) OnDestroy(this);
}

void TMMCustomOpenDialog::DoFileOK(const QString& FileName, bool& CanClose) {
    if (OnFileOK) OnFileOK(this, FileName, CanClose);
}

void TMMCustomOpenDialog::DoSelChanged(const QString& FileName) {
    if (OnSelChange) OnSelChange(this, FileName);
}

void TMMCustomOpenDialog::DoCommand(QWidget* Dialog, QWidget* Control, int Id) {
    if (OnCommand) OnCommand(this, Dialog, Control, Id);
}
