#pragma once

// Shared by the control tests: a shown top-level host, pixel reads of what a
// widget paints and of what reached the screen, and a control that records
// its paint events.

#include "controls/MMLED.h"

#include <gtest/gtest.h>
#include <QColor>
#include <QImage>
#include <QPaintEvent>
#include <QPixmap>
#include <QRegion>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Failure messages show the text of a QString.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << s.toStdString();
}

namespace controls_test {

// What the widget paints now (rendered afresh).
inline QImage Grab(QWidget* w) {
    return w->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// What the window system holds for the top-level window: only what has been
// painted and flushed shows here.
inline QImage OnScreen(QWidget* top) {
    return top->screen()->grabWindow(top->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

inline QString Name(const QColor& c) {
    return QStringLiteral("(%1,%2,%3)").arg(c.red()).arg(c.green()).arg(c.blue());
}

// Pixels of r (clipped to the image) that are not c.
inline int CountNot(const QImage& img, const QRect& r, const QColor& c) {
    int n = 0;
    const QRect in = r & img.rect();
    for (int y = in.top(); y <= in.bottom(); ++y)
        for (int x = in.left(); x <= in.right(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) != (c.rgb() & 0xFFFFFF)) ++n;
    return n;
}

// A pixel as "(r,g,b)", to compare with Name of a colour: colours compare
// at the image's 8 bits, not QColor's 16.
inline QString At(const QImage& img, int x, int y) {
    return Name(img.pixelColor(x, y));
}

// One ring whose outer edge is r: the left column and top row (less the
// pixel each shares with the far side) in top, the right column and bottom
// row in bottom.
inline void ExpectRing(const QImage& img, const QRect& r, const QColor& top, const QColor& bottom,
                       const std::string& what) {
    const int L = r.left(), T = r.top(), R = r.right(), B = r.bottom();
    const QString t = Name(top), b = Name(bottom);
    for (int y = T; y < B; ++y)
        ASSERT_EQ(At(img, L, y), t) << what << ": left edge at y " << y << " of ring at " << L;
    for (int x = L; x < R; ++x)
        ASSERT_EQ(At(img, x, T), t) << what << ": top edge at x " << x << " of ring at " << T;
    for (int y = T; y <= B; ++y)
        ASSERT_EQ(At(img, R, y), b) << what << ": right edge at y " << y << " of ring at " << L;
    for (int x = L; x <= R; ++x)
        ASSERT_EQ(At(img, x, B), b) << what << ": bottom edge at x " << x << " of ring at " << T;
}

// Lets every deferred paint run. Qt paints an invalidated widget when its
// window's update request comes, on a timer, so one processEvents is not
// enough to see (or to rule out) a later paint.
inline void Settle() {
    QTest::qWait(100);
}

// A top-level window of a given size, shown and exposed.
struct Host {
    explicit Host(int w = 200, int h = 100) {
        Window = std::make_unique<QWidget>();
        Window->setAutoFillBackground(true);
        QPalette p = Window->palette();
        p.setColor(QPalette::Window, QColor(10, 20, 30));
        Window->setPalette(p);
        Window->resize(w, h);
    }
    void Show() {
        Window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(Window.get()));
        Settle();
    }
    QWidget* operator->() const { return Window.get(); }
    QWidget* get() const { return Window.get(); }
    std::unique_ptr<QWidget> Window;
};

// An LED that notes every paint event it gets and the region of each.
class CountingLED : public TMMLED {
public:
    using TMMLED::TMMLED;
    int Paints = 0;
    std::vector<QRegion> Regions;
    using TMMLED::DrawLED;

protected:
    void paintEvent(QPaintEvent* e) override {
        ++Paints;
        Regions.push_back(e->region());
        TMMLED::paintEvent(e);
    }
};

// A plain widget that counts its paint events.
class CountingWidget : public QWidget {
public:
    using QWidget::QWidget;
    int Paints = 0;

protected:
    void paintEvent(QPaintEvent*) override { ++Paints; }
};

}  // namespace controls_test
