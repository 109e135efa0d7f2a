// The mixer's hand-over queue: block pushes and pops that wrap around the
// ring, all-or-nothing when full, and a producer and consumer on two threads
// that never lose, repeat or reorder an item.

#include "platform/waveout/SpscQueue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

namespace {

TEST(SpscQueueBlocks, WrapAroundTheRingInOrder) {
    SpscQueue<int> q(7);  // 8 slots, 7 usable
    std::vector<int> out(8);
    int next = 0, expected = 0;
    // Blocks of 5 move the ends round the ring several times.
    for (int round = 0; round < 20; ++round) {
        std::vector<int> in(5);
        std::iota(in.begin(), in.end(), next);
        ASSERT_TRUE(q.pushAll(in.data(), in.size())) << "round " << round;
        next += 5;
        std::size_t got = 0;
        while (got < 5) got += q.popSome(out.data() + got, 5 - got);
        for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], expected++) << "round " << round;
    }
    EXPECT_TRUE(q.empty());
}

TEST(SpscQueueBlocks, ABlockThatDoesNotFitIsNotPushedAtAll) {
    SpscQueue<int> q(7);
    const int four[] = {1, 2, 3, 4};
    ASSERT_TRUE(q.pushAll(four, 4));
    EXPECT_FALSE(q.pushAll(four, 4)) << "3 slots left";
    int one = 0;
    ASSERT_TRUE(q.pop(one));
    EXPECT_EQ(one, 1);
    ASSERT_TRUE(q.pushAll(four, 4));
    std::vector<int> out(16);
    EXPECT_EQ(q.popSome(out.data(), out.size()), 7u);
    EXPECT_EQ(std::vector<int>(out.begin(), out.begin() + 7), (std::vector<int>{2, 3, 4, 1, 2, 3, 4}));
    EXPECT_EQ(q.popSome(out.data(), out.size()), 0u);
}

TEST(SpscQueueBlocks, TwoThreadsPassEveryItemOnceInOrder) {
    SpscQueue<std::uint32_t> q(1000);
    constexpr std::uint32_t kItems = 2000000;
    std::thread producer([&] {
        std::uint32_t block[97];
        std::uint32_t next = 0;
        while (next < kItems) {
            const std::uint32_t n = std::min<std::uint32_t>(97, kItems - next);
            for (std::uint32_t i = 0; i < n; ++i) block[i] = next + i;
            if (q.pushAll(block, n))
                next += n;
            else
                std::this_thread::yield();
        }
    });
    std::vector<std::uint32_t> out(131);
    std::uint32_t expected = 0;
    bool inOrder = true;
    while (expected < kItems) {
        const std::size_t n = q.popSome(out.data(), out.size());
        for (std::size_t i = 0; i < n; ++i) inOrder &= out[i] == expected++;
        if (n == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(q.empty());
}

}  // namespace
