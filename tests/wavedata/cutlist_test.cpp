#include "wavedata/MMCutList.h"
#include "wavedata/MMListError.h"

#include <gtest/gtest.h>

namespace {

TMMCutRegion Region(LONG start, LONG length) {
    TMMCutRegion r;
    r.dwStartPos = start;
    r.dwLength = length;
    return r;
}

TEST(CutList, AddRegionKeepsOrderAndRefusesOverlaps) {
    TMMCutList list;
    int changes = 0;
    list.OnChange = [&](QObject*) { ++changes; };
    EXPECT_TRUE(list.AddRegion(Region(500, 100)));
    EXPECT_TRUE(list.AddRegion(Region(100, 50)));
    EXPECT_TRUE(list.AddRegion(Region(300, 10)));
    EXPECT_FALSE(list.AddRegion(Region(120, 5)));  // inside [100, 150)
    EXPECT_TRUE(list.AddRegion(Region(150, 5)));   // just after it
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Get(0).dwStartPos, 100);
    EXPECT_EQ(list.Get(1).dwStartPos, 150);
    EXPECT_EQ(list.Get(2).dwStartPos, 300);
    EXPECT_EQ(list.Get(3).dwStartPos, 500);
    EXPECT_EQ(changes, 4);

    EXPECT_EQ(list.LocateRegion(99), 0);
    EXPECT_EQ(list.LocateRegion(100), 1);
    EXPECT_EQ(list.LocateRegion(500), 4);
    EXPECT_EQ(list.FindRegion(149), 0);
    EXPECT_EQ(list.FindRegion(155), -1);
    EXPECT_EQ(list.FindRegion(599), 3);
    EXPECT_EQ(list.FindRegion(600), -1);
    EXPECT_TRUE(list.QueryRegion(200));
    EXPECT_FALSE(list.QueryRegion(305));

    EXPECT_EQ(list.Remove(Region(300, 10)), 2);
    EXPECT_EQ(list.Remove(Region(300, 10)), -1);
    EXPECT_EQ(list.IndexOf(Region(500, 100)), 2);

    TMMCutList copy;
    copy.Assign(&list);
    EXPECT_EQ(copy.Count(), 3);
    copy.SetParams(0, 7, 8);
    EXPECT_EQ(copy.First().dwStartPos, 7);
    EXPECT_EQ(copy.First().dwLength, 8);
    copy.Assign(nullptr);
    EXPECT_EQ(copy.Count(), 0);
}

TEST(CutList, BadIndexesRaise) {
    TMMCutList list;
    EXPECT_EQ(list.LocateRegion(0), -1);
    EXPECT_THROW(list.Get(0), EListError);
    EXPECT_THROW(list.Insert(1, Region(0, 1)), EListError);
    EXPECT_THROW(list.SetCapacity(-1), EListError);
    EXPECT_THROW(list.SetCount(-2), EListError);
    list.Add(Region(0, 1));
    try {
        list.Delete(5);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (5)");
    }
    // Capacity grows by 4, then 8, then 16.
    for (int i = 1; i < 20; ++i) list.Add(Region(i, 1));
    EXPECT_EQ(list.Capacity(), 4 + 4 + 8 + 16);
}

}  // namespace
