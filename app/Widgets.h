#pragma once

// The small controls of the main window and the delay dialog that Qt does
// not have as such: a text label that takes the mouse like the LED under
// it, the stretched logo picture with its popup menu, and a number box
// that holds its value as text.

#include "controls/MouseEvents.h"

#include <QLabel>
#include <QPixmap>
#include <QSpinBox>
#include <QWidget>
#include <functional>

class QAbstractButton;
class QKeyEvent;
class QMenu;

// The keys of a small dialog with one button: Return or Enter presses Set,
// Escape closes Dialog. Whether the key was one of them (and taken).
bool SetOrCloseOnKey(QKeyEvent* Event, QAbstractButton* Set, QWidget* Dialog);

// The program's font (a sans-serif stands in where Tahoma is not installed)
// at a size in pixels.
QFont Tahoma(int Pixels, bool Bold = false);

// A plain panel that reports its size changes.
class TPanel : public QWidget {
    Q_OBJECT

public:
    explicit TPanel(QWidget* Parent) : QWidget(Parent) {}
    std::function<void()> OnResize;

protected:
    void resizeEvent(QResizeEvent*) override {
        if (OnResize) OnResize();
    }
};

// A label without background, sized to its text, with a tag and the
// mouse events of a graphic control.
class TLabel : public QLabel, public TMouseEvents {
    Q_OBJECT
    Q_PROPERTY(int Tag READ Tag WRITE SetTag)

public:
    explicit TLabel(const QString& Caption, QWidget* Parent);
    int Tag() const { return FTag; }
    void SetTag(int Value) { FTag = Value; }

protected:
    void mousePressEvent(QMouseEvent* e) override { MousePress(this, e); }
    void mouseReleaseEvent(QMouseEvent* e) override { MouseRelease(this, e); }
    void mouseMoveEvent(QMouseEvent* e) override { MouseMove(this, e); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { MouseDoubleClick(this, e); }

private:
    int FTag = 0;
};

// A picture drawn stretched into the control; a right click opens its
// popup menu.
class TImage : public QWidget {
    Q_OBJECT

public:
    explicit TImage(QWidget* Parent);
    void SetPicture(const QPixmap& Picture);
    const QPixmap& Picture() const { return FPicture; }
    QMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(QMenu* Menu) { FPopupMenu = Menu; }

protected:
    void paintEvent(QPaintEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;

private:
    QPixmap FPicture;
    QMenu* FPopupMenu = nullptr;
};

// A spin edit over its text: Value is the text's number (without its
// suffix), or MinValue when the text is not a number; setting a value clamps
// it to MinValue .. MaxValue. A number typed above MaxValue shows as
// MaxValue at once; one below MinValue is clamped when the box is left.
class TSpinEdit : public QSpinBox {
    Q_OBJECT

public:
    explicit TSpinEdit(QWidget* Parent);
    int MinValue() const { return minimum(); }
    int MaxValue() const { return maximum(); }
    void SetMinValue(int Value) { setMinimum(Value); }
    void SetMaxValue(int Value) { setMaximum(Value); }
    int Value() const;
    void SetValue(int Value) { setValue(Value); }
    // What leaving the box does: an out-of-range number is clamped.
    void ClampText();

protected:
    QValidator::State validate(QString& Text, int& Pos) const override;
    int valueFromText(const QString& Text) const override;
    void fixup(QString& Text) const override;

private:
    // The number's part of a text: without prefix, suffix and spaces.
    QString Core(const QString& Text) const;
};
