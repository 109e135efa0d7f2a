#include "app/DelayForm.h"

#include "app/Guarded.h"
#include "app/MainForm.h"
#include "app/SettingsKeys.h"
#include "app/Widgets.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

namespace {

constexpr int kMargin = 8;  // the dialog's left and right edges
constexpr int kGap = 6;     // between a button and the number box
constexpr int kClear = 6;   // between the dialog and what it stays clear of

// At least the designed width, and wide enough for the control's text.
int WidthFor(const QWidget* Control, int Designed) {
    int needed = Control->sizeHint().width();
    // A platform style's hint holds a wide minimum for any button that a
    // short text does not need; a style sheet's (Sky) is the text and its
    // padding.
    if (const auto* button = qobject_cast<const QPushButton*>(Control);
        button && qApp->styleSheet().isEmpty() && button->styleSheet().isEmpty()) {
        const QStyle* style = button->style();
        needed = button->fontMetrics().horizontalAdvance(button->text()) +
                 style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button) +
                 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    }
    return std::max(Designed, needed);
}

}  // namespace

TfDelay::TfDelay(QWidget* Owner)
    : QWidget(Owner, Qt::Tool | Qt::WindowStaysOnTopHint),
      FSet(new QPushButton(QStringLiteral("Set"), this)),
      FDelay(new TSpinEdit(this)),
      FPlus10(new QPushButton(QStringLiteral("+10"), this)),
      FMinus10(new QPushButton(QStringLiteral("-10"), this)),
      FLabel1(new QLabel(this)) {
    setObjectName(QStringLiteral("fDelay"));
    setAttribute(Qt::WA_DeleteOnClose);  // freed on close
    setWindowTitle(QStringLiteral("Delay Setup"));
    setFont(Tahoma(11));

    FSet->setObjectName(QStringLiteral("bSet"));
    FDelay->setObjectName(QStringLiteral("seDelay"));
    FDelay->setFont(Tahoma(16));
    FDelay->setSuffix(QStringLiteral(" ms"));
    FDelay->SetMinValue(0);
    FDelay->SetMaxValue(kMaxDelayMs);
    FDelay->SetValue(300);
    FDelay->setSingleStep(1);
    FDelay->setToolTip(QStringLiteral("This bell's delay after its stroke: 0 to 50000 ms"));
    FPlus10->setObjectName(QStringLiteral("bPlus10"));
    FMinus10->setObjectName(QStringLiteral("bMinus10"));
    FLabel1->setObjectName(QStringLiteral("Label1"));
    FLabel1->setAlignment(Qt::AlignCenter);
    FLabel1->setFont(Tahoma(21));

    // The designed layout, widened where a text would not fit in this
    // style and font.
    const int minus = WidthFor(FMinus10, 33), box = WidthFor(FDelay, 73), plus = WidthFor(FPlus10, 33);
    const int width = std::max(163, kMargin + minus + kGap + box + kGap + plus + 4);
    const int boxLeft = kMargin + minus + kGap;
    FMinus10->setGeometry(kMargin, 39, minus, 25);
    FDelay->setGeometry(boxLeft, 37, box, 29);
    FPlus10->setGeometry(width - 4 - plus, 39, plus, 25);
    FSet->setGeometry(kMargin, 72, width - 12, 41);
    FLabel1->setGeometry(0, 0, width, 25);
    setFixedSize(width, 115);

    connect(FSet, &QPushButton::clicked, this, Guarded([this](bool) { bSetClick(); }));
    connect(FPlus10, &QPushButton::clicked, this, Guarded([this](bool) { bPlus10Click(); }));
    connect(FMinus10, &QPushButton::clicked, this, Guarded([this](bool) { bMinus10Click(); }));
    FormCreate();
}

void TfDelay::FormCreate() {
    FLabel1->setText(QStringLiteral("BELL %1").arg(FBellNum));
}

void TfDelay::SetBellNum(int Value) {
    FBellNum = Value;
    FLabel1->setText(QStringLiteral("BELL %1").arg(Value));
}

void TfDelay::bPlus10Click() {
    StepBy(10);
}

void TfDelay::bMinus10Click() {
    StepBy(-10);
}

void TfDelay::StepBy(int Step) {
    const long long value = std::clamp<long long>(static_cast<long long>(FDelay->Value()) + Step,
                                                  FDelay->MinValue(), FDelay->MaxValue());
    FDelay->SetValue(static_cast<int>(value));
}

void TfDelay::bSetClick() {
    // Leaving the box clamps its text; "Set" reads the value after that.
    FDelay->ClampText();
    fMainform->SaveDelay(FBellNum, FDelay->Value());
    close();
}

void TfDelay::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Typing goes to the number, not to the main window, where digits
    // strike bells; what is typed replaces the value shown. The window is
    // activated once it is on the screen (not all platforms take it before).
    FDelay->setFocus(Qt::ActiveWindowFocusReason);
    FDelay->selectAll();
    activateWindow();
    QMetaObject::invokeMethod(
        this, [this] { activateWindow(); }, Qt::QueuedConnection);
}

void TfDelay::keyPressEvent(QKeyEvent* event) {
    if (!SetOrCloseOnKey(event, FSet, this)) QWidget::keyPressEvent(event);
}

QPoint TfDelay::Place(const QRect& Bells, const QRect& Bell, const QRect& Window, const QRect& Screen,
                      const QSize& Outer, const QPoint& Cursor) {
    const auto fits = [&](const QPoint& at) { return Screen.contains(QRect(at, Outer)); };
    const auto clampX = [&](int x) {
        return std::clamp(x, Screen.left(), Screen.right() + 1 - Outer.width());
    };
    const auto clampY = [&](int y) {
        return std::clamp(y, Screen.top(), Screen.bottom() + 1 - Outer.height());
    };
    // Under the bell, below the bells (over the buttons along the bottom).
    const int x = clampX(Bell.center().x() - Outer.width() / 2);
    if (const QPoint below(x, Bells.bottom() + 1 + kClear); fits(below)) return below;
    if (const QPoint above(x, Window.top() - kClear - Outer.height()); fits(above)) return above;
    // Level with the bell, beside the window.
    const int y = clampY(Bell.center().y() - Outer.height() / 2);
    if (const QPoint right(Window.right() + 1 + kClear, y); fits(right)) return right;
    if (const QPoint left(Window.left() - kClear - Outer.width(), y); fits(left)) return left;
    // No room clear of the bells: beside the cursor, on the screen.
    return {clampX(Cursor.x() + 20), clampY(Cursor.y() + 20)};
}
