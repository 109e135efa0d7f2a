#include "app/Widgets.h"

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <algorithm>

bool SetOrCloseOnKey(QKeyEvent* Event, QAbstractButton* Set, QWidget* Dialog) {
    switch (Event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            Set->click();
            break;
        case Qt::Key_Escape:
            Dialog->close();
            break;
        default:
            return false;
    }
    Event->accept();
    return true;
}

QFont Tahoma(int Pixels, bool Bold) {
    QFont font(QStringLiteral("Tahoma"));
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(Pixels);
    font.setBold(Bold);
    return font;
}

TLabel::TLabel(const QString& Caption, QWidget* Parent) : QLabel(Caption, Parent) {
    // No background: the LED shows around the digits.
    setAutoFillBackground(false);
    setAttribute(Qt::WA_TranslucentBackground);
    setMouseTracking(true);  // moves without a button held, as the LED under it
}

TImage::TImage(QWidget* Parent) : QWidget(Parent) {}

void TImage::SetPicture(const QPixmap& Picture) {
    FPicture = Picture;
    update();
}

void TImage::paintEvent(QPaintEvent*) {
    if (FPicture.isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), FPicture);
}

void TImage::contextMenuEvent(QContextMenuEvent* e) {
    if (!FPopupMenu) return QWidget::contextMenuEvent(e);
    FPopupMenu->popup(e->globalPos());
    e->accept();
}

TSpinEdit::TSpinEdit(QWidget* Parent) : QSpinBox(Parent) {
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
}

namespace {

bool NumberOf(const QString& Text, int& Value) {
    bool ok = false;
    Value = Text.trimmed().toInt(&ok, 10);
    return ok;
}

}  // namespace

QString TSpinEdit::Core(const QString& Text) const {
    QString core = Text;
    if (!prefix().isEmpty() && core.startsWith(prefix())) core.remove(0, prefix().size());
    if (!suffix().isEmpty() && core.endsWith(suffix())) core.chop(suffix().size());
    return core.trimmed();
}

int TSpinEdit::Value() const {
    int value = 0;
    return NumberOf(Core(lineEdit()->text()), value) ? value : MinValue();
}

void TSpinEdit::ClampText() {
    interpretText();
}

QValidator::State TSpinEdit::validate(QString& Text, int& Pos) const {
    const QString core = Core(Text);
    // No minus sign where no number below zero is allowed.
    if (core.startsWith(QLatin1Char('-')) && MinValue() >= 0) return QValidator::Invalid;
    int value = 0;
    if (!NumberOf(core, value))
        return core.isEmpty() || core == QLatin1String("-") || core == QLatin1String("+")
                   ? QValidator::Intermediate
                   : QValidator::Invalid;
    // The box never shows more than it can hold: a number typed beyond the
    // maximum becomes the maximum at once.
    if (value > MaxValue()) {
        const QString number = QString::number(MaxValue());
        Text = prefix() + number + suffix();
        Pos = std::min<int>(Pos, prefix().size() + number.size());
        return QValidator::Acceptable;
    }
    // Leaving the box clamps a number below the minimum.
    return QValidator::Acceptable;
}

int TSpinEdit::valueFromText(const QString& Text) const {
    int value = 0;
    return NumberOf(Core(Text), value) ? value : MinValue();
}

void TSpinEdit::fixup(QString& Text) const {
    int value = 0;
    if (!NumberOf(Core(Text), value)) Text = prefix() + QString::number(MinValue()) + suffix();
}
