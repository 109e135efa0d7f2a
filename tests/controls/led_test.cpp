#include "controls/MMLED.h"
#include "tests/controls/ControlsTestKit.h"

#include <gtest/gtest.h>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>
#include <memory>
#include <vector>

using namespace controls_test;

namespace {

const QColor Lime(0, 255, 0);
const QColor Green(0, 128, 0);
const QColor Grey(128, 128, 128);

// The main window's LED: no bevel, grey while out.
void MainWindowSettings(TMMLED& led) {
    led.Bevel()->SetBevelOuter(bvNone);
    led.Bevel()->SetBevelInner(bvNone);
    led.SetColor(Grey);
    led.SetEnabled(false);
}

TEST(LED, StartsSmallLitAndGreenWithASunkenFrame) {
    QWidget parent;
    QFont f(QStringLiteral("DejaVu Serif"));
    f.setPixelSize(17);
    parent.setFont(f);
    TMMLED led(&parent);
    EXPECT_EQ(led.Width(), 16);
    EXPECT_EQ(led.Height(), 8);
    EXPECT_TRUE(led.Enabled());
    EXPECT_EQ(led.Color(), Green);
    EXPECT_EQ(led.LEDColor(), Lime);
    EXPECT_TRUE(led.Caption().isEmpty());
    EXPECT_EQ(led.Tag(), 0);
    EXPECT_EQ(led.BevelExtend(), 1);
    EXPECT_EQ(led.LitRect(), QRect(1, 1, 14, 6));
    EXPECT_EQ(led.font(), f);  // the parent's
    EXPECT_TRUE(led.isEnabled());
    EXPECT_TRUE(led.testAttribute(Qt::WA_OpaquePaintEvent));
    // Published by name.
    EXPECT_EQ(led.property("Enabled").toBool(), true);
    EXPECT_EQ(led.property("LEDColor").value<QColor>(), Lime);
    EXPECT_EQ(led.property("Color").value<QColor>(), Green);
    EXPECT_EQ(led.property("Width").toInt(), 16);
    EXPECT_EQ(led.property("Height").toInt(), 8);
    EXPECT_TRUE(led.setProperty("Enabled", false));
    EXPECT_FALSE(led.Enabled());
    EXPECT_TRUE(led.isEnabled());
}

TEST(LED, DefaultBevelPaintsASunkenFrameAroundTheInner14By6) {
    Host host;
    TMMLED led(host.get());
    led.SetBounds(10, 10, 16, 8);
    host.Show();
    for (bool lit : {true, false}) {
        led.SetEnabled(lit);
        const QImage img = Grab(&led);
        ASSERT_EQ(img.size(), QSize(16, 8));
        const TMMBevel& b = *led.Bevel();
        ExpectRing(img, img.rect(), b.OuterShadowColor(), b.OuterLightColor(), lit ? "lit" : "unlit");
        const QColor inside = lit ? Lime : Green;
        EXPECT_EQ(CountNot(img, QRect(1, 1, 14, 6), inside), 0) << (lit ? "lit" : "unlit");
    }
}

TEST(LED, MainWindowSettingsLightTheWholeControlAtOnce) {
    Host host(300, 120);
    TMMLED led(host.get());
    MainWindowSettings(led);
    led.SetBounds(20, 30, 65, 65);
    host.Show();
    EXPECT_EQ(led.BevelExtend(), 0);
    EXPECT_EQ(led.LitRect(), QRect(0, 0, 65, 65));
    const QRect onScreen(20, 30, 65, 65);
    EXPECT_EQ(CountNot(OnScreen(host.get()), onScreen, Grey), 0);

    // On the screen before any event is handled: the change drew itself.
    led.SetEnabled(true);
    EXPECT_EQ(CountNot(OnScreen(host.get()), onScreen, Lime), 0);
    EXPECT_EQ(CountNot(Grab(&led), led.rect(), Lime), 0);
    led.SetEnabled(false);
    EXPECT_EQ(CountNot(OnScreen(host.get()), onScreen, Grey), 0);
    // The window around it untouched.
    EXPECT_EQ(CountNot(OnScreen(host.get()), QRect(0, 0, 300, 30), QColor(10, 20, 30)), 0);
}

TEST(LED, SettingTheValueItHasPaintsNothing) {
    Host host;
    CountingLED led(host.get());
    led.SetBounds(5, 5, 40, 30);
    host.Show();
    for (bool value : {true, false}) {
        led.SetEnabled(value);
        Settle();
        led.Paints = 0;
        led.SetEnabled(value);
        EXPECT_EQ(led.Paints, 0) << value;
        Settle();
        EXPECT_EQ(led.Paints, 0) << value;
    }
}

TEST(LED, AChangePaintsOnceAtOnceAndOnlyTheLitArea) {
    struct Case {
        const char* Name;
        TBevelCut Outer;
        int BorderWidth;
    };
    for (const Case& c :
         {Case{"no frame", bvNone, 0}, Case{"sunken", bvLowered, 0}, Case{"bordered", bvRaised, 3}}) {
        Host host;
        CountingLED led(host.get());
        led.Bevel()->SetBevelOuter(c.Outer);
        led.Bevel()->SetBorderWidth(c.BorderWidth);
        led.SetBounds(5, 5, 40, 30);
        host.Show();
        led.Paints = 0;
        led.Regions.clear();
        led.SetEnabled(!led.Enabled());
        ASSERT_EQ(led.Paints, 1) << c.Name;
        EXPECT_EQ(led.Regions[0], QRegion(led.LitRect())) << c.Name;
        EXPECT_EQ(led.LitRect(), led.BeveledRect()) << c.Name;
        Settle();
        EXPECT_EQ(led.Paints, 1) << c.Name << ": nothing left for later";
    }
}

// Sixteen LEDs as on the main window: lighting one paints that one only.
TEST(LED, LightingOneAmongSiblingsPaintsOnlyThatOne) {
    for (bool framed : {false, true}) {
        Host host(737, 233);
        auto* panel = new CountingWidget(host.get());
        panel->setGeometry(0, 0, 737, 186);
        std::vector<CountingLED*> leds;
        for (int n = 0; n < 16; ++n) {
            auto* led = new CountingLED(panel);
            if (!framed) MainWindowSettings(*led);
            led->SetEnabled(false);
            led->SetBounds(152 + (n % 8) * 71, 8 + (n / 8) * 70, 66, 65);
            led->SetTag(n + 1);
            leds.push_back(led);
        }
        host.Show();
        const QImage before = OnScreen(host.get());
        for (auto* led : leds) led->Paints = 0;
        panel->Paints = 0;

        CountingLED* five = leds[4];
        five->SetEnabled(true);
        Settle();

        EXPECT_EQ(five->Paints, 1);
        for (auto* led : leds) {
            if (led != five) {
                EXPECT_EQ(led->Paints, 0) << "LED " << led->Tag();
            }
        }
        EXPECT_EQ(panel->Paints, 0) << "the parent painted behind the LED";

        const QImage after = OnScreen(host.get());
        const QRect lit = five->LitRect().translated(five->pos());
        EXPECT_EQ(CountNot(after, lit, Lime), 0);
        int changedOutside = 0;
        for (int y = 0; y < after.height(); ++y)
            for (int x = 0; x < after.width(); ++x)
                if (!lit.contains(x, y) && after.pixel(x, y) != before.pixel(x, y)) ++changedOutside;
        EXPECT_EQ(changedOutside, 0) << (framed ? "framed" : "frameless");
    }
}

TEST(LED, WithACaptionAChangeRepaintsTheWholeControlAtOnce) {
    Host host;
    CountingLED led(host.get());
    led.SetBounds(5, 5, 40, 30);
    led.SetCaption(QStringLiteral("5"));
    host.Show();
    led.Paints = 0;
    led.Regions.clear();
    led.SetEnabled(false);
    ASSERT_EQ(led.Paints, 1);
    EXPECT_EQ(led.Regions[0], QRegion(led.rect()));
}

TEST(LED, ACaptionChangeRepaintsAtOnce) {
    Host host;
    CountingLED led(host.get());
    led.SetBounds(5, 5, 40, 30);
    host.Show();
    led.Paints = 0;
    led.Regions.clear();
    led.SetCaption(QStringLiteral("12"));
    ASSERT_EQ(led.Paints, 1);
    EXPECT_EQ(led.Regions[0], QRegion(led.rect()));
    EXPECT_EQ(led.Caption(), QStringLiteral("12"));
    led.SetCaption(QStringLiteral("12"));
    Settle();
    EXPECT_EQ(led.Paints, 1);
}

TEST(LED, NotShownItDrawsNothingAndShowsItsStateLater) {
    Host host;
    CountingLED led(host.get());
    led.SetBounds(5, 5, 40, 30);
    led.hide();
    host.Show();
    led.Paints = 0;
    led.SetEnabled(false);
    led.SetEnabled(true);
    led.SetEnabled(false);
    Settle();
    EXPECT_EQ(led.Paints, 0);
    led.show();
    EXPECT_TRUE(QTest::qWaitFor([&] { return led.Paints > 0; }));
    EXPECT_EQ(CountNot(OnScreen(host.get()), led.LitRect().translated(led.pos()), Green), 0);

    // In a window that was never shown.
    QWidget hidden;
    CountingLED orphan(&hidden);
    orphan.SetEnabled(false);
    orphan.SetEnabled(true);
    EXPECT_EQ(orphan.Paints, 0);
}

TEST(LED, OnPaintReplacesTheLEDDrawing) {
    Host host;
    TMMLED led(host.get());
    led.SetBounds(5, 5, 30, 20);
    const QColor mark(10, 10, 250);
    int calls = 0;
    led.OnPaint = [&](QObject* sender, QPainter& canvas, const QRect& r) {
        ++calls;
        EXPECT_EQ(sender, &led);
        EXPECT_EQ(r, led.rect());
        canvas.fillRect(QRect(r.left() + 6, r.top() + 5, 4, 4), mark);
    };
    host.Show();

    const QImage first = Grab(&led);
    EXPECT_GT(calls, 0);
    // The frame and the base fill, and the handler's mark over them.
    ExpectRing(first, first.rect(), led.Bevel()->OuterShadowColor(), led.Bevel()->OuterLightColor(), "frame");
    EXPECT_EQ(CountNot(first, QRect(6, 5, 4, 4), mark), 0);
    QImage expected(first.size(), QImage::Format_RGB32);
    int lime = 0;
    for (int y = 1; y < 19; ++y)
        for (int x = 1; x < 29; ++x)
            if (!QRect(6, 5, 4, 4).contains(x, y) && At(first, x, y) != Name(Green)) ++lime;
    EXPECT_EQ(lime, 0) << "the LED's own drawing showed";

    // Lit state and colour show nothing any more.
    const int before = calls;
    led.SetEnabled(false);
    EXPECT_GT(calls, before) << "a change still paints at once";
    led.SetLEDColor(QColor(250, 0, 0));
    led.SetEnabled(true);
    Settle();
    EXPECT_EQ(Grab(&led), first);
    EXPECT_EQ(CountNot(OnScreen(host.get()), QRect(6 + 5, 5 + 5, 4, 4), mark), 0);
}

TEST(LED, ASpaceCutReservesARingFilledInColor) {
    Host host;
    TMMLED led(host.get());
    led.Bevel()->SetBevelOuter(bvSpace);
    led.Bevel()->SetBevelOuterWidth(2);
    led.SetColor(QColor(200, 100, 50));
    led.SetBounds(5, 5, 20, 12);
    host.Show();
    EXPECT_EQ(led.LitRect(), QRect(2, 2, 16, 8));
    const QImage img = Grab(&led);
    ExpectRing(img, QRect(0, 0, 20, 12), led.Color(), led.Color(), "ring 0");
    ExpectRing(img, QRect(1, 1, 18, 10), led.Color(), led.Color(), "ring 1");
    EXPECT_EQ(CountNot(img, QRect(2, 2, 16, 8), Lime), 0);
}

TEST(LED, BorderAndGapInTheirColours) {
    Host host;
    TMMLED led(host.get());
    TMMBevel b;
    b.SetBevelOuter(bvNone);
    b.SetBorderWidth(2);
    b.SetBorderSpace(1);
    b.SetBorderColor(QColor(220, 0, 0));
    b.SetBorderSpaceColor(QColor(0, 0, 220));
    led.SetBevel(&b);
    led.SetBounds(5, 5, 24, 16);
    host.Show();
    EXPECT_EQ(led.LitRect(), QRect(3, 3, 18, 10));
    const QImage img = Grab(&led);
    ExpectRing(img, QRect(0, 0, 24, 16), b.BorderColor(), b.BorderColor(), "border 0");
    ExpectRing(img, QRect(1, 1, 22, 14), b.BorderColor(), b.BorderColor(), "border 1");
    ExpectRing(img, QRect(2, 2, 20, 12), b.BorderSpaceColor(), b.BorderSpaceColor(), "gap");
    EXPECT_EQ(CountNot(img, QRect(3, 3, 18, 10), Lime), 0);
}

TEST(LED, SingleBorderStyleIsAOnePixelWindowFrameOutline) {
    Host host;
    TMMLED led(host.get());
    led.Bevel()->SetBevelOuter(bvNone);
    led.Bevel()->SetBorderStyle(bsSingle);
    led.SetBounds(5, 5, 20, 12);
    host.Show();
    EXPECT_EQ(led.BevelExtend(), 1);
    const QImage img = Grab(&led);
    ExpectRing(img, img.rect(), TMMBevel::WindowFrameColor(), TMMBevel::WindowFrameColor(), "outline");
    EXPECT_EQ(CountNot(img, QRect(1, 1, 18, 10), Lime), 0);
}

// Pixels of the lit area that are not the lit colour: the caption's ink.
QRect InkBox(const QImage& img, const QRect& area, const QColor& background) {
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if ((img.pixel(x, y) & 0xFFFFFF) != (background.rgb() & 0xFFFFFF)) box |= QRect(x, y, 1, 1);
    return box;
}

TEST(LED, CaptionIsCentredInABandOneLineHigh) {
    struct Case {
        const char* Caption;
        int Width, Height, Frame;
    };
    const Case cases[] = {{"8", 80, 40, 0}, {"Bell", 90, 50, 3}, {"16", 61, 33, 1}, {"W", 40, 60, 2}};
    for (const Case& c : cases) {
        Host host(200, 100);
        TMMLED led(host.get());
        led.Bevel()->SetBevelOuter(bvNone);
        led.Bevel()->SetBorderWidth(c.Frame);
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(20);
        f.setStyleStrategy(QFont::NoAntialias);
        led.setFont(f);
        QPalette p = led.palette();
        p.setColor(QPalette::WindowText, QColor(0, 0, 0));
        led.setPalette(p);
        led.SetBounds(10, 10, c.Width, c.Height);
        led.SetCaption(QString::fromLatin1(c.Caption));
        host.Show();

        const QImage img = Grab(&led);
        const QRect lit = led.LitRect();
        const QRect ink = InkBox(img, lit, Lime);
        ASSERT_FALSE(ink.isEmpty()) << c.Caption << ": no caption drawn";

        // Where the text's own metrics put its ink.
        const QFontMetrics fm(f);
        const int h = fm.height();
        const int bandTop = (lit.top() + lit.top() + lit.height() - h) / 2;
        const int advance = fm.horizontalAdvance(QString::fromLatin1(c.Caption));
        const int x0 = lit.left() + (lit.width() - advance) / 2;
        const QRect tight = fm.tightBoundingRect(QString::fromLatin1(c.Caption));
        const QRect expected(x0 + tight.left(), bandTop + fm.ascent() + tight.top(), tight.width(),
                             tight.height());
        // Hinting moves glyphs by a pixel or so against their metrics.
        EXPECT_LE(std::abs(ink.left() - expected.left()), 2) << c.Caption;
        EXPECT_LE(std::abs(ink.right() - expected.right()), 2) << c.Caption;
        EXPECT_LE(std::abs(ink.top() - expected.top()), 1) << c.Caption;
        EXPECT_LE(std::abs(ink.bottom() - expected.bottom()), 1) << c.Caption;
        EXPECT_GE(ink.top(), bandTop) << c.Caption;
        EXPECT_LT(ink.bottom(), bandTop + h) << c.Caption;
        // The frame is left alone.
        if (c.Frame > 0) {
            EXPECT_EQ(CountNot(img, QRect(0, 0, c.Width, c.Frame), led.Bevel()->BorderColor()), 0)
                << c.Caption;
            EXPECT_EQ(
                CountNot(img, QRect(0, c.Height - c.Frame, c.Width, c.Frame), led.Bevel()->BorderColor()), 0)
                << c.Caption;
        }
    }
}

TEST(LED, ACaptionNeverCoversTheFrame) {
    Host host;
    TMMLED led(host.get());
    led.Bevel()->SetBorderWidth(2);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(30);
    led.setFont(f);
    led.SetBounds(5, 5, 30, 16);  // far smaller than the text
    host.Show();
    const QImage plain = Grab(&led);
    led.SetCaption(QStringLiteral("WWWWWW"));
    const QImage captioned = Grab(&led);
    EXPECT_NE(plain, captioned);
    const QRect lit = led.LitRect();
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 30; ++x) {
            if (!lit.contains(x, y)) {
                ASSERT_EQ(At(captioned, x, y), At(plain, x, y)) << x << "," << y;
            }
        }
    }
}

TEST(LED, TabsInTheCaptionAreExpanded) {
    Host host(400, 100);
    TMMLED led(host.get());
    led.Bevel()->SetBevelOuter(bvNone);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(16);
    led.setFont(f);
    led.SetBounds(0, 0, 400, 40);
    host.Show();
    led.SetCaption(QStringLiteral("1 2"));
    const QRect spaced = InkBox(Grab(&led), led.LitRect(), Lime);
    led.SetCaption(QStringLiteral("1\t2"));
    const QRect tabbed = InkBox(Grab(&led), led.LitRect(), Lime);
    ASSERT_FALSE(spaced.isEmpty());
    ASSERT_FALSE(tabbed.isEmpty());
    // A tab reaches the next tab stop, far beyond one space.
    EXPECT_GT(tabbed.width(), spaced.width() + 3 * QFontMetrics(f).horizontalAdvance(QLatin1Char(' ')));
}

TEST(LED, OnlyTheFirstLineOfACaptionShows) {
    Host host;
    TMMLED led(host.get());
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(14);
    led.setFont(f);
    led.SetBounds(5, 5, 80, 60);
    host.Show();
    led.SetCaption(QStringLiteral("8"));
    const QImage one = Grab(&led);
    for (const char* more : {"8\nXYZ", "8\r\nXYZ", "8\rXYZ"}) {
        led.SetCaption(QString::fromLatin1(more));
        EXPECT_EQ(Grab(&led), one) << more;
    }
}

TEST(LED, NewBoundsMoveTheLitArea) {
    Host host;
    TMMLED led(host.get());
    led.SetBounds(5, 5, 16, 8);
    host.Show();
    led.SetBounds(5, 5, 30, 20);
    EXPECT_EQ(led.LitRect(), QRect(1, 1, 28, 18));
    EXPECT_EQ(led.geometry(), QRect(5, 5, 30, 20));
    led.resize(40, 10);
    Settle();
    EXPECT_EQ(led.LitRect(), QRect(1, 1, 38, 8));
    EXPECT_EQ(CountNot(Grab(&led), QRect(1, 1, 38, 8), Lime), 0);
    led.SetWidth(12);
    led.SetHeight(50);
    EXPECT_EQ(led.LitRect(), QRect(1, 1, 10, 48));
    // A hidden LED knows its lit area at once.
    led.hide();
    led.SetBounds(0, 0, 22, 22);
    EXPECT_EQ(led.LitRect(), QRect(1, 1, 20, 20));
    // Too small for its frame: nothing to light.
    led.Bevel()->SetBorderWidth(20);
    EXPECT_TRUE(led.LitRect().isEmpty());
}

TEST(LED, ABevelChangeMovesTheLitAreaAndRepaints) {
    Host host;
    CountingLED led(host.get());
    led.SetBounds(5, 5, 30, 20);
    host.Show();
    led.Paints = 0;
    TMMBevel b;
    b.SetBevelOuter(bvRaised);
    b.SetBevelOuterWidth(2);
    b.SetBorderWidth(1);
    led.SetBevel(&b);
    EXPECT_EQ(led.LitRect(), QRect(3, 3, 24, 14));
    Settle();
    EXPECT_EQ(led.Paints, 1);
    const QImage img = OnScreen(host.get()).copy(led.geometry());
    ExpectRing(img, QRect(0, 0, 30, 20), b.OuterLightColor(), b.OuterShadowColor(), "outer 0");
    ExpectRing(img, QRect(1, 1, 28, 18), b.OuterLightColor(), b.OuterShadowColor(), "outer 1");
    ExpectRing(img, QRect(2, 2, 26, 16), b.BorderColor(), b.BorderColor(), "border");
    EXPECT_EQ(CountNot(img, QRect(3, 3, 24, 14), Lime), 0);
}

TEST(LED, ColourChangesShowAtTheNextRepaint) {
    Host host;
    TMMLED led(host.get());
    led.SetBounds(5, 5, 30, 20);
    host.Show();
    const QRect lit = led.LitRect().translated(led.pos());
    led.SetLEDColor(QColor(250, 0, 0));
    Settle();
    EXPECT_EQ(CountNot(OnScreen(host.get()), lit, QColor(250, 0, 0)), 0);
    led.SetEnabled(false);
    led.SetColor(QColor(0, 0, 90));
    Settle();
    EXPECT_EQ(CountNot(OnScreen(host.get()), lit, QColor(0, 0, 90)), 0);
}

TEST(GraphicControl, PaintsItsFrameAndFillsTheInsideUnlessTransparent) {
    Host host;
    TMMGraphicControl control(host.get());
    control.Bevel()->SetBevelOuter(bvRaised);
    control.Bevel()->SetBevelOuterWidth(2);
    control.SetColor(QColor(90, 60, 30));
    control.setGeometry(10, 10, 30, 20);
    host.Show();
    EXPECT_TRUE(control.testAttribute(Qt::WA_OpaquePaintEvent));
    QImage img = OnScreen(host.get()).copy(control.geometry());
    const TMMBevel& b = *control.Bevel();
    ExpectRing(img, QRect(0, 0, 30, 20), b.OuterLightColor(), b.OuterShadowColor(), "ring 0");
    ExpectRing(img, QRect(1, 1, 28, 18), b.OuterLightColor(), b.OuterShadowColor(), "ring 1");
    EXPECT_EQ(CountNot(img, QRect(2, 2, 26, 16), control.Color()), 0);

    // Transparent: the window shows through inside the frame.
    control.SetTransparent(true);
    EXPECT_FALSE(control.testAttribute(Qt::WA_OpaquePaintEvent));
    EXPECT_TRUE(QTest::qWaitFor([&] {
        return CountNot(OnScreen(host.get()).copy(control.geometry()), QRect(2, 2, 26, 16),
                        QColor(10, 20, 30)) == 0;
    }));
    img = OnScreen(host.get()).copy(control.geometry());
    ExpectRing(img, QRect(0, 0, 30, 20), b.OuterLightColor(), b.OuterShadowColor(), "transparent ring 0");
}

TEST(LED, ClientToClientAndScreenRect) {
    Host host;
    TMMLED a(host.get()), b(host.get());
    a.SetBounds(10, 20, 30, 30);
    b.SetBounds(50, 5, 30, 30);
    host.Show();
    EXPECT_EQ(b.ClientToClient(&a, QPoint(3, 4)), QPoint(10 + 3 - 50, 20 + 4 - 5));
    EXPECT_EQ(a.ClientToClient(&a, QPoint(7, 8)), QPoint(7, 8));
    const QPoint origin = host->geometry().topLeft() + b.pos();
    EXPECT_EQ(b.ScreenRect(QRect(1, 2, 5, 6)), QRect(1, 2, 5, 6).translated(origin));
}

}  // namespace
