#include "controls/MMBevel.h"
#include "controls/MMGraphicControl.h"
#include "platform/base/Exception.h"
#include "tests/controls/ControlsTestKit.h"

#include <gtest/gtest.h>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <functional>
#include <string>
#include <vector>

using namespace controls_test;

namespace {

const QColor Sentinel(1, 2, 3);

// Six colours no palette uses, so a swapped colour shows.
void DistinctColours(TMMBevel& b) {
    b.SetColors(0, QColor(200, 10, 10));   // border
    b.SetColors(1, QColor(10, 200, 10));   // border space
    b.SetColors(2, QColor(10, 10, 200));   // inner light
    b.SetColors(3, QColor(200, 200, 10));  // inner shadow
    b.SetColors(4, QColor(10, 200, 200));  // outer light
    b.SetColors(5, QColor(200, 10, 200));  // outer shadow
}

QImage PaintInto(TMMBevel& b, QSize size, QRect& result, bool fill) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(Sentinel);
    QPainter p(&img);
    b.PaintBevel(p, img.rect(), result, fill);
    p.end();
    return img;
}

struct Ring {
    QColor Top, Bottom;
};

struct FrameCase {
    std::string Name;
    std::function<void(TMMBevel&)> Setup;
    bool Fill;
    // Expected rings from the outside in, given the bevel (for its colours).
    std::function<std::vector<Ring>(const TMMBevel&)> Rings;
    int Inset;  // how far Result lies inside the rectangle
};

void PrintTo(const FrameCase& c, std::ostream* os) {
    *os << c.Name;
}

class FrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameTest, PaintsItsRingsFromTheOutsideInAndReturnsTheInside) {
    const FrameCase& c = GetParam();
    TMMBevel b;
    DistinctColours(b);
    b.SetBevelOuter(bvNone);
    c.Setup(b);
    const QSize size(23, 14);
    QRect result;
    const QImage img = PaintInto(b, size, result, c.Fill);

    const std::vector<Ring> rings = c.Rings(b);
    for (int k = 0; k < static_cast<int>(rings.size()); ++k)
        ExpectRing(img, QRect(QPoint(0, 0), size).adjusted(k, k, -k, -k), rings[k].Top, rings[k].Bottom,
                   c.Name + " ring " + std::to_string(k));

    const QRect inside = QRect(QPoint(0, 0), size).adjusted(c.Inset, c.Inset, -c.Inset, -c.Inset);
    EXPECT_EQ(result, inside);
    // Nothing is painted inside the frame, and nothing between the drawn
    // rings and the inside when a cut or border only reserves room.
    const QRect untouched =
        QRect(QPoint(0, 0), size)
            .adjusted(int(rings.size()), int(rings.size()), -int(rings.size()), -int(rings.size()));
    EXPECT_EQ(CountNot(img, untouched, Sentinel), 0) << c.Name;
}

const QColor Frame() {
    return TMMBevel::WindowFrameColor();
}

INSTANTIATE_TEST_SUITE_P(
    Bevel, FrameTest,
    ::testing::Values(FrameCase{"OuterLowered2",
                                [](TMMBevel& b) {
                                    b.SetBevelOuter(bvLowered);
                                    b.SetBevelOuterWidth(2);
                                },
                                true,
                                [](const TMMBevel& b) {
                                    return std::vector<Ring>(2, {b.OuterShadowColor(), b.OuterLightColor()});
                                },
                                2},
                      FrameCase{"OuterRaised2",
                                [](TMMBevel& b) {
                                    b.SetBevelOuter(bvRaised);
                                    b.SetBevelOuterWidth(2);
                                },
                                true,
                                [](const TMMBevel& b) {
                                    return std::vector<Ring>(2, {b.OuterLightColor(), b.OuterShadowColor()});
                                },
                                2},
                      FrameCase{"InnerLowered2",
                                [](TMMBevel& b) {
                                    b.SetBevelInner(bvLowered);
                                    b.SetBevelInnerWidth(2);
                                },
                                true,
                                [](const TMMBevel& b) {
                                    return std::vector<Ring>(2, {b.InnerShadowColor(), b.InnerLightColor()});
                                },
                                2},
                      FrameCase{"InnerRaised2",
                                [](TMMBevel& b) {
                                    b.SetBevelInner(bvRaised);
                                    b.SetBevelInnerWidth(2);
                                },
                                true,
                                [](const TMMBevel& b) {
                                    return std::vector<Ring>(2, {b.InnerLightColor(), b.InnerShadowColor()});
                                },
                                2},
                      FrameCase{"SingleOutline", [](TMMBevel& b) { b.SetBorderStyle(bsSingle); }, true,
                                [](const TMMBevel&) {
                                    return std::vector<Ring>{{Frame(), Frame()}};
                                },
                                1},
                      FrameCase{"Border2", [](TMMBevel& b) { b.SetBorderWidth(2); }, true,
                                [](const TMMBevel& b) {
                                    return std::vector<Ring>(2, {b.BorderColor(), b.BorderColor()});
                                },
                                2},
                      FrameCase{"Border2NotFilled", [](TMMBevel& b) { b.SetBorderWidth(2); }, false,
                                [](const TMMBevel&) { return std::vector<Ring>{}; }, 2},
                      FrameCase{"BorderSpace2", [](TMMBevel& b) { b.SetBorderSpace(2); }, true,
                                [](const TMMBevel& b) {
                                    return std::vector<Ring>(2, {b.BorderSpaceColor(), b.BorderSpaceColor()});
                                },
                                2},
                      FrameCase{"SpaceCutsAreNeitherDrawnNorSteppedOver",
                                [](TMMBevel& b) {
                                    b.SetBevelOuter(bvSpace);
                                    b.SetBevelOuterWidth(3);
                                    b.SetBevelInner(bvSpace);
                                    b.SetBevelInnerWidth(2);
                                },
                                true, [](const TMMBevel&) { return std::vector<Ring>{}; }, 0},
                      FrameCase{"AllInOrder",
                                [](TMMBevel& b) {
                                    b.SetBorderStyle(bsSingle);
                                    b.SetBevelOuter(bvRaised);
                                    b.SetBorderWidth(2);
                                    b.SetBevelInner(bvLowered);
                                    b.SetBorderSpace(1);
                                },
                                true,
                                [](const TMMBevel& b) {
                                    return std::vector<Ring>{{Frame(), Frame()},
                                                             {b.OuterLightColor(), b.OuterShadowColor()},
                                                             {b.BorderColor(), b.BorderColor()},
                                                             {b.BorderColor(), b.BorderColor()},
                                                             {b.InnerShadowColor(), b.InnerLightColor()},
                                                             {b.BorderSpaceColor(), b.BorderSpaceColor()}};
                                },
                                6}),
    [](const ::testing::TestParamInfo<FrameCase>& i) { return i.param.Name; });

TEST(Bevel, PaintsInsideTheGivenRectangleOnly) {
    TMMBevel b;
    DistinctColours(b);
    b.SetBevelOuter(bvRaised);
    QImage img(30, 20, QImage::Format_RGB32);
    img.fill(Sentinel);
    QRect result;
    const QRect r(5, 4, 12, 9);
    QPainter p(&img);
    b.PaintBevel(p, r, result, true);
    p.end();
    ExpectRing(img, r, b.OuterLightColor(), b.OuterShadowColor(), "offset ring");
    EXPECT_EQ(result, r.adjusted(1, 1, -1, -1));
    // Right and bottom edges are exclusive: column 17 and row 13 stay clear.
    EXPECT_EQ(CountNot(img, QRect(r.left() + r.width(), 0, 1, 20), Sentinel), 0);
    EXPECT_EQ(CountNot(img, QRect(0, r.top() + r.height(), 30, 1), Sentinel), 0);
}

TEST(Bevel, AFrameWiderThanTheRectangleLeavesNothingInside) {
    TMMBevel b;
    b.SetBorderWidth(6);
    QRect result;
    PaintInto(b, QSize(8, 8), result, true);
    EXPECT_TRUE(result.isEmpty());
    EXPECT_GE(result.width(), 0);
    EXPECT_GE(result.height(), 0);
}

TEST(Bevel, DefaultsAreASunkenOnePixelFrameInTheDesktopColours) {
    TMMBevel b;
    const QPalette p = QGuiApplication::palette();
    EXPECT_EQ(b.BevelInner(), bvNone);
    EXPECT_EQ(b.BevelOuter(), bvLowered);
    EXPECT_EQ(b.BevelInnerWidth(), 1);
    EXPECT_EQ(b.BevelOuterWidth(), 1);
    EXPECT_EQ(b.BorderStyle(), bsNone);
    EXPECT_EQ(b.BorderWidth(), 0);
    EXPECT_EQ(b.BorderSpace(), 0);
    EXPECT_EQ(b.BorderColor(), p.color(QPalette::Button));
    EXPECT_EQ(b.BorderSpaceColor(), QColor(0, 0, 0));
    EXPECT_EQ(b.InnerLightColor(), p.color(QPalette::Light));
    EXPECT_EQ(b.InnerShadowColor(), p.color(QPalette::Dark));
    EXPECT_EQ(b.OuterLightColor(), p.color(QPalette::Light));
    EXPECT_EQ(b.OuterShadowColor(), p.color(QPalette::Dark));
    EXPECT_EQ(b.BevelExtend(), 1);
}

struct ExtendCase {
    const char* Name;
    TBorderStyle Style;
    TBevelCut Outer;
    int OuterWidth;
    TBevelCut Inner;
    int InnerWidth;
    int BorderWidth, BorderSpace;
    int Expected;
};

TEST(Bevel, BevelExtendCountsEveryPartThatTakesRoom) {
    const ExtendCase cases[] = {
        {"default", bsNone, bvLowered, 1, bvNone, 1, 0, 0, 1},
        {"main window", bsNone, bvNone, 1, bvNone, 1, 0, 0, 0},
        {"outline only", bsSingle, bvNone, 1, bvNone, 1, 0, 0, 1},
        {"outer space cut", bsNone, bvSpace, 3, bvNone, 1, 0, 0, 3},
        {"inner space cut", bsNone, bvNone, 1, bvSpace, 4, 0, 0, 4},
        {"inner raised", bsNone, bvNone, 1, bvRaised, 2, 0, 0, 2},
        {"widths of absent cuts", bsNone, bvNone, 7, bvNone, 5, 0, 0, 0},
        {"border and gap", bsNone, bvNone, 1, bvNone, 1, 2, 1, 3},
        {"everything", bsSingle, bvLowered, 2, bvRaised, 3, 4, 5, 15},
    };
    for (const ExtendCase& c : cases) {
        TMMBevel b;
        b.SetBorderStyle(c.Style);
        b.SetBevelOuter(c.Outer);
        b.SetBevelOuterWidth(c.OuterWidth);
        b.SetBevelInner(c.Inner);
        b.SetBevelInnerWidth(c.InnerWidth);
        b.SetBorderWidth(c.BorderWidth);
        b.SetBorderSpace(c.BorderSpace);
        EXPECT_EQ(b.BevelExtend(), c.Expected) << c.Name;
        EXPECT_EQ(b.property("BevelExtend").toInt(), c.Expected) << c.Name;

        TMMGraphicControl control;
        control.SetBevel(&b);
        control.resize(40, 30);
        EXPECT_EQ(control.BevelExtend(), c.Expected) << c.Name;
        const int e = c.Expected;
        EXPECT_EQ(control.BeveledRect(), QRect(e, e, 40 - 2 * e, 30 - 2 * e)) << c.Name;
    }
}

TEST(Bevel, EachSetterReportsAChangeOnceAndOnlyWhenTheValueDiffers) {
    // Set by property name, as settings code does; enumerations by value name.
    const std::pair<const char*, QVariant> cases[] = {
        {"BevelInner", QStringLiteral("bvRaised")},
        {"BevelOuter", QStringLiteral("bvSpace")},
        {"BevelInnerWidth", 3},
        {"BevelOuterWidth", 4},
        {"BorderStyle", QStringLiteral("bsSingle")},
        {"BorderWidth", 2},
        {"BorderSpace", 5},
        {"BorderColor", QColor(1, 1, 1)},
        {"BorderSpaceColor", QColor(2, 2, 2)},
        {"InnerLightColor", QColor(3, 3, 3)},
        {"InnerShadowColor", QColor(4, 4, 4)},
        {"OuterLightColor", QColor(5, 5, 5)},
        {"OuterShadowColor", QColor(6, 6, 6)},
    };
    for (const auto& [name, value] : cases) {
        TMMBevel b;
        int changes = 0;
        b.OnChange = [&](QObject* sender) {
            EXPECT_EQ(sender, &b);
            ++changes;
        };
        const QVariant before = b.property(name);
        ASSERT_TRUE(b.setProperty(name, value)) << name;
        EXPECT_NE(b.property(name), before) << name;
        EXPECT_EQ(changes, 1) << name;
        ASSERT_TRUE(b.setProperty(name, value)) << name;
        EXPECT_EQ(changes, 1) << name << " set to the value it has";
    }
}

TEST(Bevel, EnumerationsReadByValueName) {
    TMMBevel b;
    b.SetBevelInner(bvSpace);
    b.SetBorderStyle(bsSingle);
    const QMetaObject* m = b.metaObject();
    const QMetaProperty inner = m->property(m->indexOfProperty("BevelInner"));
    const QMetaProperty style = m->property(m->indexOfProperty("BorderStyle"));
    EXPECT_STREQ(inner.enumerator().valueToKey(b.property("BevelInner").toInt()), "bvSpace");
    EXPECT_STREQ(style.enumerator().valueToKey(b.property("BorderStyle").toInt()), "bsSingle");
    const QMetaEnum cuts = inner.enumerator();
    ASSERT_EQ(cuts.keyCount(), 4);
    EXPECT_STREQ(cuts.key(0), "bvNone");
    EXPECT_STREQ(cuts.key(1), "bvLowered");
    EXPECT_STREQ(cuts.key(2), "bvRaised");
    EXPECT_STREQ(cuts.key(3), "bvSpace");
}

TEST(Bevel, WidthsStayInTheirRanges) {
    TMMBevel b;
    b.SetBevelInnerWidth(5);
    b.SetBevelInnerWidth(0);
    EXPECT_EQ(b.BevelInnerWidth(), 1);
    b.SetBevelOuterWidth(-2);
    EXPECT_EQ(b.BevelOuterWidth(), 1);
    b.SetBorderWidth(3);
    b.SetBorderWidth(-1);
    EXPECT_EQ(b.BorderWidth(), 0);
    b.SetBorderSpace(-4);
    EXPECT_EQ(b.BorderSpace(), 0);
}

TEST(Bevel, SetColorsWritesTheColourOfItsIndex) {
    using Getter = QColor (TMMBevel::*)() const;
    const Getter getters[] = {&TMMBevel::BorderColor,     &TMMBevel::BorderSpaceColor,
                              &TMMBevel::InnerLightColor, &TMMBevel::InnerShadowColor,
                              &TMMBevel::OuterLightColor, &TMMBevel::OuterShadowColor};
    for (int index = 0; index < 6; ++index) {
        TMMBevel b;
        const QColor colour(40 + index, 80, 120);
        std::vector<QColor> before;
        for (Getter g : getters) before.push_back((b.*g)());
        b.SetColors(index, colour);
        for (int other = 0; other < 6; ++other) {
            if (other == index)
                EXPECT_EQ((b.*getters[other])(), colour) << "index " << index;
            else
                EXPECT_EQ((b.*getters[other])(), before[other]) << "index " << index << " touched " << other;
        }
        EXPECT_EQ(b.Colors(index), colour);
    }
    TMMBevel b;
    int changes = 0;
    b.OnChange = [&](QObject*) { ++changes; };
    b.SetColors(6, QColor(1, 2, 3));
    b.SetColors(-1, QColor(1, 2, 3));
    EXPECT_EQ(changes, 0);
}

TEST(Bevel, AssignCopiesEverySettingWithOneChange) {
    TMMBevel source;
    source.SetBevelInner(bvRaised);
    source.SetBevelOuter(bvSpace);
    source.SetBevelInnerWidth(3);
    source.SetBevelOuterWidth(4);
    source.SetBorderStyle(bsSingle);
    source.SetBorderWidth(2);
    source.SetBorderSpace(5);
    DistinctColours(source);

    TMMBevel target;
    int changes = 0, changing = 0;
    target.OnChange = [&](QObject* sender) {
        EXPECT_EQ(sender, &target);
        ++changes;
    };
    target.OnChanging = [&](QObject*) { ++changing; };
    target.Assign(&source);

    EXPECT_EQ(changes, 1);
    EXPECT_EQ(changing, 1);
    EXPECT_EQ(target.UpdateCount(), 0);
    const QMetaObject* m = source.metaObject();
    for (int i = m->propertyOffset(); i < m->propertyCount(); ++i) {
        const char* name = m->property(i).name();
        EXPECT_EQ(target.property(name), source.property(name)) << name;
    }
    // The two stay separate objects.
    source.SetBorderWidth(9);
    EXPECT_EQ(target.BorderWidth(), 2);
}

TEST(Bevel, AssignRefusesAnythingButABevel) {
    TMMBevel b;
    QObject other;
    int changes = 0;
    b.OnChange = [&](QObject*) { ++changes; };
    EXPECT_THROW(b.Assign(&other), Exception);
    EXPECT_THROW(b.Assign(nullptr), Exception);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(b.UpdateCount(), 0);
}

TEST(Bevel, AControlCopiesABevelAndNeverShares) {
    TMMGraphicControl control;
    TMMBevel mine;
    mine.SetBorderWidth(3);
    mine.SetBevelOuter(bvRaised);
    control.SetBevel(&mine);
    EXPECT_NE(control.Bevel(), &mine);
    EXPECT_EQ(control.Bevel()->BorderWidth(), 3);
    EXPECT_EQ(control.Bevel()->BevelOuter(), bvRaised);
    mine.SetBorderWidth(1);
    EXPECT_EQ(control.Bevel()->BorderWidth(), 3);
    // Through the property system too.
    TMMBevel other;
    other.SetBorderSpace(2);
    control.setProperty("Bevel", QVariant::fromValue(&other));
    EXPECT_EQ(control.Bevel()->BorderSpace(), 2);
    EXPECT_NE(control.Bevel(), &other);
}

}  // namespace
