#include "app/Widgets.h"

#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>

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

int TSpinEdit::Value() const {
    int value = 0;
    return NumberOf(lineEdit()->text(), value) ? value : MinValue();
}

void TSpinEdit::ClampText() {
    interpretText();
}

QValidator::State TSpinEdit::validate(QString& Text, int&) const {
    // Any number may be typed; leaving the box clamps it.
    int value = 0;
    if (NumberOf(Text, value)) return QValidator::Acceptable;
    const QString t = Text.trimmed();
    return t.isEmpty() || t == QLatin1String("-") || t == QLatin1String("+") ? QValidator::Intermediate
                                                                             : QValidator::Invalid;
}

int TSpinEdit::valueFromText(const QString& Text) const {
    int value = 0;
    return NumberOf(Text, value) ? value : MinValue();
}

void TSpinEdit::fixup(QString& Text) const {
    int value = 0;
    if (!NumberOf(Text, value)) Text = QString::number(MinValue());
}
