#include "mmcore/MMUtils.h"

#include "platform/base/Exception.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <array>
#include <cstring>
#include <numeric>
#include <thread>

TEST(MMUtils, ClampingAndRanges) {
    struct Case {
        LONG x, a, b, limit, minMax;
        bool inMinMax, inRange;
    };
    const Case cases[] = {
        {5, 10, 0, 5, 10, false, true},  // MinMax with Lo > Hi returns Lo first
        {15, 10, 0, 10, 0, false, false}, {-3, 0, 9, 0, 0, false, false}, {-3, 9, 0, 0, 9, false, false},
        {4, 0, 9, 4, 4, true, true},      {0, 0, 9, 0, 0, true, true},    {9, 0, 9, 9, 9, true, true},
        {10, 0, 9, 9, 9, false, false},   {0, 9, 0, 0, 9, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << " in " << c.a << ".." << c.b);
        EXPECT_EQ(Limit(c.x, c.a, c.b), c.limit);
        EXPECT_EQ(MinMax(c.x, c.a, c.b), c.minMax);
        EXPECT_EQ(InMinMax(c.x, c.a, c.b), c.inMinMax);
        EXPECT_EQ(InRange(c.x, c.a, c.b), c.inRange);
    }
    EXPECT_EQ(Min(-2, 3), -2);
    EXPECT_EQ(Max(-2, 3), 3);
}

TEST(MMUtils, MoveMemCopiesOverlappingAreasBothWays) {
    std::array<char, 16> forward{};
    std::iota(forward.begin(), forward.end(), 'a');
    auto backward = forward;

    GlobalMoveMem(forward.data(), forward.data() + 3, 10);  // Dest after Source
    EXPECT_EQ(std::string(forward.data(), 16), std::string("abcabcdefghijnop"));

    GlobalMoveMem(backward.data() + 3, backward.data(), 10);  // Dest before Source
    EXPECT_EQ(std::string(backward.data(), 16), std::string("defghijklmklmnop"));

    auto untouched = backward;
    GlobalMoveMem(untouched.data(), untouched.data() + 1, 0);
    GlobalMoveMem(untouched.data(), untouched.data() + 1, -5);
    EXPECT_EQ(untouched, backward);
}

TEST(MMUtils, FillCompareAndSwap) {
    std::array<unsigned char, 12> bytes{};
    GlobalFillMem(bytes.data(), 5, 0x7F);
    EXPECT_EQ(bytes[4], 0x7F);
    EXPECT_EQ(bytes[5], 0);
    GlobalFillLong(bytes.data(), 2, 0x01020304u);
    DWORD second;
    std::memcpy(&second, bytes.data() + 4, 4);
    EXPECT_EQ(second, 0x01020304u);
    EXPECT_EQ(bytes[8], 0);

    const char a[] = "abcdef", b[] = "abcxef";
    EXPECT_TRUE(GlobalCmpMem(a, b, 3));
    EXPECT_FALSE(GlobalCmpMem(a, b, 4));
    EXPECT_TRUE(GlobalCmpMem(a, b, 0));

    std::int16_t s1 = 1, s2 = -2;
    SwapSmall(s1, s2);
    EXPECT_EQ(s1, -2);
    EXPECT_EQ(s2, 1);
    std::int32_t l1 = 100000, l2 = -7;
    SwapLong(l1, l2);
    EXPECT_EQ(l1, -7);
    EXPECT_EQ(l2, 100000);
}

TEST(MMUtils, GlobalMemoryIsZeroFilledAndSized) {
    void* p = GlobalAllocMem(1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(GlobalMemSize(p), 1000u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
    const auto* bytes = static_cast<unsigned char*>(p);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(bytes[i], 0);
    GlobalFreeMem(p);
    EXPECT_EQ(p, nullptr);
    GlobalFreeMem(p);  // nothing for nullptr
    EXPECT_EQ(GlobalMemSize(nullptr), 0u);

    void* empty = GlobalAllocMem(0);
    EXPECT_NE(empty, nullptr);
    EXPECT_EQ(GlobalMemSize(empty), 0u);
    GlobalFreeMem(empty);
}

TEST(MMUtils, GlobalAllocMemRaisesOutOfMemory) {
    EXPECT_THROW(GlobalAllocMem(SIZE_MAX - 8), EOutOfMemory);
    EXPECT_EQ(GlobalAllocPtr(GPTR, SIZE_MAX), nullptr);
}

TEST(MMUtils, ThreadPriorityLoweringIsAlwaysAllowed) {
    bool result = false;
    std::thread worker([&] { result = MMSetThreadPriority(MMCurrentThreadId(), THREAD_PRIORITY_IDLE); });
    worker.join();
    EXPECT_TRUE(result);
    // A refused raise is reported, never raised.
    std::thread other([] { (void)MMSetThreadPriority(MMCurrentThreadId(), THREAD_PRIORITY_TIME_CRITICAL); });
    other.join();
}

TEST(MMUtils, PlatformFlagsDescribeACurrentNtSystem) {
    EXPECT_TRUE(_WinNT_NEW_);
    EXPECT_TRUE(_WinNT_);
    EXPECT_FALSE(_Win9x_);
    EXPECT_FALSE(_Win95_);
    EXPECT_TRUE(_WinVistaUp_);
}

TEST(MMDelay, ZeroReturnsAtOnce) {
    QElapsedTimer clock;
    clock.start();
    Delay(0, true);
    Delay(0, false);
    EXPECT_LT(clock.elapsed(), 5);
}

TEST(MMDelay, HandlesMessagesOnlyWhenAsked) {
    for (bool process : {false, true}) {
        SCOPED_TRACE(process ? "processing" : "sleeping");
        bool handled = false;
        QTimer::singleShot(0, [&] { handled = true; });
        QElapsedTimer clock;
        clock.start();
        Delay(20, process);
        EXPECT_GE(clock.elapsed(), 19);
        EXPECT_EQ(handled, process);
        QCoreApplication::processEvents();
        EXPECT_TRUE(handled);
    }
}
