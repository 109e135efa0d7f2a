#include "controls/MMLED.h"
#include "controls/MouseEvents.h"
#include "tests/controls/ControlsTestKit.h"

#include <gtest/gtest.h>
#include <QLabel>
#include <QMouseEvent>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

using namespace controls_test;

namespace {

struct Event {
    std::string Kind;  // down, up, click, dblclick, move
    QObject* Sender = nullptr;
    TMouseButton Button = mbLeft;
    TShiftState Shift = 0;
    QPoint Pos;
};

// Presses, releases and clicks in Log; moves (which Qt also makes up when
// a press comes at a new place) apart in Moves.
struct Recorder {
    std::vector<Event> Log;
    std::vector<Event> Moves;

    void Attach(TMouseEvents& m) {
        m.OnMouseDown = [this](QObject* s, TMouseButton b, TShiftState sh, int x, int y) {
            Log.push_back({"down", s, b, sh, {x, y}});
        };
        m.OnMouseUp = [this](QObject* s, TMouseButton b, TShiftState sh, int x, int y) {
            Log.push_back({"up", s, b, sh, {x, y}});
        };
        m.OnClick = [this](QObject* s) { Log.push_back({"click", s, mbLeft, 0, {}}); };
        m.OnDblClick = [this](QObject* s) { Log.push_back({"dblclick", s, mbLeft, 0, {}}); };
        m.OnMouseMove = [this](QObject* s, TShiftState sh, int x, int y) {
            Moves.push_back({"move", s, mbLeft, sh, {x, y}});
        };
    }
    std::string Kinds() const {
        std::string k;
        for (const Event& e : Log) {
            if (!k.empty()) k += ' ';
            k += e.Kind;
        }
        return k;
    }
    std::vector<Event> Of(const std::string& kind) const {
        std::vector<Event> v;
        for (const Event& e : Log)
            if (e.Kind == kind) v.push_back(e);
        return v;
    }
};

// The bell number label of the main window takes its mouse events the same
// way; this one stands in for it.
class EventLabel : public QLabel, public TMouseEvents {
public:
    EventLabel(const QString& text, QWidget* parent) : QLabel(text, parent) { setMouseTracking(true); }

protected:
    void mousePressEvent(QMouseEvent* e) override { MousePress(this, e); }
    void mouseReleaseEvent(QMouseEvent* e) override { MouseRelease(this, e); }
    void mouseMoveEvent(QMouseEvent* e) override { MouseMove(this, e); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { MouseDoubleClick(this, e); }
};

enum class Kind { UnlitLED, LitLED, Label };

std::string KindName(Kind k) {
    switch (k) {
        case Kind::UnlitLED:
            return "UnlitLED";
        case Kind::LitLED:
            return "LitLED";
        case Kind::Label:
            return "Label";
    }
    return "";
}

void PrintTo(Kind k, std::ostream* os) { *os << KindName(k); }

// A control at (40, 30), 66 x 65, in a shown window, its events recorded.
class Mouse : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        host = std::make_unique<Host>(300, 200);
        if (GetParam() == Kind::Label) {
            auto* label = new EventLabel(QStringLiteral("5"), host->get());
            events = label;
            control = label;
        } else {
            auto* led = new TMMLED(host->get());
            led->Bevel()->SetBevelOuter(bvNone);
            led->SetColor(QColor(128, 128, 128));
            led->SetEnabled(GetParam() == Kind::LitLED);
            events = led;
            control = led;
        }
        control->setGeometry(40, 30, 66, 65);
        rec.Attach(*events);
        host->Show();
        window = host->get()->windowHandle();
    }

    // A point of the control in window coordinates.
    QPoint InWindow(QPoint p) const { return p + control->pos(); }

    std::unique_ptr<Host> host;
    QWidget* control = nullptr;
    TMouseEvents* events = nullptr;
    QWindow* window = nullptr;
    Recorder rec;
};

TEST_P(Mouse, ALeftClickIsDownUpThenClick) {
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(10, 12));
    ASSERT_EQ(rec.Kinds(), "down up click");
    for (const Event& e : rec.Log) EXPECT_EQ(e.Sender, control) << e.Kind;
    const Event& down = rec.Log[0];
    EXPECT_EQ(down.Button, mbLeft);
    EXPECT_EQ(down.Shift, TShiftState(ssLeft));  // the button held
    EXPECT_EQ(down.Pos, QPoint(10, 12));
    const Event& up = rec.Log[1];
    EXPECT_EQ(up.Button, mbLeft);
    EXPECT_EQ(up.Shift, TShiftState(0));  // released
    EXPECT_EQ(up.Pos, QPoint(10, 12));
    EXPECT_TRUE(control->isEnabled());
}

TEST_P(Mouse, ButtonsThroughTheWindow) {
    struct Case {
        Qt::MouseButton Qt;
        TMouseButton Button;
        TShiftState Held;
        const char* Expected;
    };
    const Case cases[] = {
        {Qt::LeftButton, mbLeft, ssLeft, "down up click"},
        {Qt::RightButton, mbRight, ssRight, "down up"},
        {Qt::MiddleButton, mbMiddle, ssMiddle, "down up"},
    };
    for (const Case& c : cases) {
        rec.Log.clear();
        QTest::mouseClick(window, c.Qt, {}, InWindow(QPoint(20, 21)));
        ASSERT_EQ(rec.Kinds(), c.Expected) << c.Button;
        EXPECT_EQ(rec.Log[0].Button, c.Button);
        EXPECT_EQ(rec.Log[0].Shift, c.Held);
        EXPECT_EQ(rec.Log[0].Pos, QPoint(20, 21));
        EXPECT_EQ(rec.Log[1].Button, c.Button);
    }
}

TEST_P(Mouse, AReleaseOutsideTheControlIsNoClick) {
    QTest::mousePress(window, Qt::LeftButton, {}, InWindow(QPoint(30, 30)));
    QTest::mouseRelease(window, Qt::LeftButton, {}, InWindow(QPoint(100, 30)));
    ASSERT_EQ(rec.Kinds(), "down up");
    // The release still comes to the control it was pressed on, where it was.
    EXPECT_EQ(rec.Log[1].Pos, QPoint(100, 30));
    // And the next click is a click again.
    rec.Log.clear();
    QTest::mouseClick(window, Qt::LeftButton, {}, InWindow(QPoint(30, 30)));
    EXPECT_EQ(rec.Kinds(), "down up click");
}

TEST_P(Mouse, PressedOnAnotherControlIsNoClickHere) {
    TMMLED other(host->get());
    other.SetBounds(150, 30, 66, 65);
    other.show();
    Recorder otherRec;
    otherRec.Attach(other);
    QTest::mousePress(window, Qt::LeftButton, {}, QPoint(170, 50));
    QTest::mouseRelease(window, Qt::LeftButton, {}, InWindow(QPoint(30, 30)));
    EXPECT_EQ(rec.Kinds(), "");
    EXPECT_EQ(otherRec.Kinds(), "down up");
}

TEST_P(Mouse, ModifierKeysReachTheShiftState) {
    struct Case {
        Qt::KeyboardModifiers Keys;
        TShiftState Shift;
    };
    const Case cases[] = {
        {Qt::ShiftModifier, ssShift}, {Qt::ControlModifier, ssCtrl},
        {Qt::AltModifier, ssAlt},     {Qt::ShiftModifier | Qt::ControlModifier, ssShift | ssCtrl},
        {Qt::NoModifier, 0},
    };
    for (const Case& c : cases) {
        rec.Log.clear();
        QTest::mouseClick(window, Qt::LeftButton, c.Keys, InWindow(QPoint(5, 5)));
        ASSERT_EQ(rec.Kinds(), "down up click") << c.Shift;
        EXPECT_EQ(rec.Log[0].Shift, c.Shift | ssLeft);
        EXPECT_EQ(rec.Log[1].Shift, c.Shift);
        rec.Log.clear();
        QTest::mouseClick(window, Qt::RightButton, c.Keys, InWindow(QPoint(5, 5)));
        ASSERT_EQ(rec.Kinds(), "down up") << c.Shift;
        EXPECT_EQ(rec.Log[0].Shift, c.Shift | ssRight);
    }
}

// Qt turns the second press of a double click into a double-click event;
// it still reaches OnMouseDown, marked ssDouble, and its release clicks.
TEST_P(Mouse, ADoubleClickIsTwoClicksTheSecondMarkedDouble) {
    QTest::mouseDClick(window, Qt::LeftButton, {}, InWindow(QPoint(8, 9)));
    ASSERT_EQ(rec.Kinds(), "down up click dblclick down up click");
    const std::vector<Event> downs = rec.Of("down");
    EXPECT_EQ(downs[0].Shift, TShiftState(ssLeft));
    EXPECT_EQ(downs[1].Shift, TShiftState(ssLeft | ssDouble));
    EXPECT_EQ(downs[1].Button, mbLeft);
    EXPECT_EQ(downs[1].Pos, QPoint(8, 9));

    rec.Log.clear();
    QTest::mouseDClick(window, Qt::RightButton, {}, InWindow(QPoint(8, 9)));
    ASSERT_EQ(rec.Kinds(), "down up down up");
    EXPECT_EQ(rec.Log[2].Shift, TShiftState(ssRight | ssDouble));
    EXPECT_EQ(rec.Log[2].Button, mbRight);
}

TEST_P(Mouse, AWindowOpenedOnMouseDownKeepsTheClick) {
    std::unique_ptr<QWidget> dialog;
    events->OnMouseDown = [&](QObject* s, TMouseButton b, TShiftState sh, int x, int y) {
        rec.Log.push_back({"down", s, b, sh, {x, y}});
        // As the delay dialog does: a new window near the cursor, shown
        // and made active while the button is still down.
        dialog = std::make_unique<QWidget>(nullptr, Qt::Tool);
        dialog->setGeometry(host->get()->geometry().topLeft().x() + 50,
                            host->get()->geometry().topLeft().y() + 40, 120, 80);
        dialog->show();
        dialog->activateWindow();
        QCoreApplication::processEvents();
    };
    QTest::mousePress(window, Qt::LeftButton, {}, InWindow(QPoint(30, 30)));
    ASSERT_TRUE(dialog && dialog->isVisible());
    QTest::mouseRelease(window, Qt::LeftButton, {}, InWindow(QPoint(30, 30)));
    EXPECT_EQ(rec.Kinds(), "down up click");

    rec.Log.clear();
    dialog.reset();
    events->OnMouseDown = nullptr;
    rec.Attach(*events);
    QTest::mouseClick(window, Qt::LeftButton, {}, InWindow(QPoint(31, 31)));
    EXPECT_EQ(rec.Kinds(), "down up click");
}

TEST_P(Mouse, AReleaseHandledInsideTheDownHandlerStillClicksOnce) {
    bool nested = true;
    events->OnMouseDown = [&](QObject* s, TMouseButton b, TShiftState sh, int x, int y) {
        rec.Log.push_back({"down", s, b, sh, {x, y}});
        // A handler that runs the event loop while the button comes up.
        if (nested) QTest::mouseRelease(control, Qt::LeftButton, {}, QPoint(x, y));
        rec.Log.push_back({"down-end", s, b, sh, {}});
    };
    QTest::mousePress(control, Qt::LeftButton, {}, QPoint(12, 12));
    EXPECT_EQ(rec.Kinds(), "down up click down-end");
    nested = false;
    rec.Log.clear();
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(12, 12));
    EXPECT_EQ(rec.Kinds(), "down down-end up click");
}

TEST_P(Mouse, MovesAreReportedWithOrWithoutAButton) {
    QTest::mouseMove(window, InWindow(QPoint(3, 4)));
    QTest::mouseMove(window, InWindow(QPoint(6, 7)));
    std::vector<Event> moves = rec.Moves;
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back().Pos, QPoint(6, 7));
    EXPECT_EQ(moves.back().Shift, TShiftState(0));
    EXPECT_EQ(moves.back().Sender, control);

    rec.Log.clear();
    rec.Moves.clear();
    QTest::mousePress(window, Qt::LeftButton, {}, InWindow(QPoint(6, 7)));
    QTest::mouseMove(window, InWindow(QPoint(9, 10)));
    QTest::mouseRelease(window, Qt::LeftButton, {}, InWindow(QPoint(9, 10)));
    moves = rec.Moves;
    ASSERT_FALSE(moves.empty());
    EXPECT_EQ(moves.back().Pos, QPoint(9, 10));
    EXPECT_EQ(moves.back().Shift, TShiftState(ssLeft));
    EXPECT_EQ(rec.Kinds(), "down up click");
}

TEST_P(Mouse, OtherButtonsAreIgnored) {
    QTest::mouseClick(window, Qt::BackButton, {}, InWindow(QPoint(5, 5)));
    EXPECT_EQ(rec.Kinds(), "");
}

INSTANTIATE_TEST_SUITE_P(Controls, Mouse, ::testing::Values(Kind::UnlitLED, Kind::LitLED, Kind::Label),
                         [](const ::testing::TestParamInfo<Kind>& i) { return KindName(i.param); });

TEST(MouseEventsOfTheLED, LightingNeverTouchesTheWidgetEnabledState) {
    Host host;
    TMMLED led(host.get());
    led.SetBounds(10, 10, 40, 40);
    host.Show();
    Recorder rec;
    rec.Attach(led);
    for (bool lit : {false, true, false}) {
        led.SetEnabled(lit);
        EXPECT_TRUE(led.isEnabled());
        rec.Log.clear();
        QTest::mouseClick(&led, Qt::LeftButton);
        EXPECT_EQ(rec.Kinds(), "down up click") << lit;
    }
}

}  // namespace
