#include "mmcore/MMAllocator.h"
#include "mmcore/MMUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

TEST(MMAllocator, FreedBlockIsReusedForTheSameSizeOnly) {
    TMMAllocator allocator;
    void* first = allocator.AllocBuffer(GMEM_ZEROINIT, 2112);
    ASSERT_NE(first, nullptr);
    void* ref = first;
    allocator.FreeBuffer(ref);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(allocator.UsedCount(), 0u);

    void* again = allocator.AllocBuffer(GMEM_ZEROINIT, 2112);
    EXPECT_EQ(again, first);
    void* other = allocator.AllocBuffer(GMEM_ZEROINIT, 2113);
    EXPECT_NE(other, first);
    EXPECT_EQ(allocator.BlockCount(), 2u);
    EXPECT_EQ(allocator.UsedCount(), 2u);
}

TEST(MMAllocator, NewBlocksAreZeroFilledAndRememberTheirSize) {
    TMMAllocator allocator;
    auto* block = static_cast<unsigned char*>(allocator.AllocBuffer(GMEM_ZEROINIT, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalMemSize(block), 4096u);
    for (int i = 0; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
}

TEST(MMAllocator, FreeingAnUnknownBlockLeavesTheReference) {
    TMMAllocator allocator;
    TMMAllocator other;
    void* foreign = other.AllocBuffer(GMEM_ZEROINIT, 64);
    void* ref = foreign;
    allocator.FreeBuffer(ref);
    EXPECT_EQ(ref, foreign);
    allocator.DiscardBuffer(ref);
    EXPECT_EQ(ref, foreign);
    void* none = nullptr;
    allocator.FreeBuffer(none);
    EXPECT_EQ(none, nullptr);
}

TEST(MMAllocator, DoubleFreeDoesNotHandTheBlockOutTwice) {
    TMMAllocator allocator;
    void* block = allocator.AllocBuffer(GMEM_ZEROINIT, 100);
    void* ref = block;
    allocator.FreeBuffer(ref);
    ref = block;
    allocator.FreeBuffer(ref);  // already free
    void* a = allocator.AllocBuffer(GMEM_ZEROINIT, 100);
    void* b = allocator.AllocBuffer(GMEM_ZEROINIT, 100);
    EXPECT_EQ(a, block);
    EXPECT_NE(b, block);
}

TEST(MMAllocator, DiscardCases) {
    struct Case {
        const char* name;
        void (*act)(TMMAllocator&, void*& used, void*& cached);
        std::size_t blocksLeft;
    };
    const Case cases[] = {
        {"Discard releases blocks in use too", [](TMMAllocator& a, void*&, void*&) { a.Discard(); }, 0},
        {"DiscardFreeBuffers keeps blocks in use",
         [](TMMAllocator& a, void*&, void*&) { a.DiscardFreeBuffers(); }, 1},
        {"DiscardBuffer forgets one block",
         [](TMMAllocator& a, void*& used, void*&) {
             a.DiscardBuffer(used);
             EXPECT_EQ(used, nullptr);
         },
         1},
        {"AllocBufferEx drops cached blocks before it allocates",
         [](TMMAllocator& a, void*&, void*&) { a.AllocBufferEx(GMEM_ZEROINIT, 77); }, 2},
        {"AllocBufferEx reuses a cached block of the same size",
         [](TMMAllocator& a, void*&, void*& cached) {
             EXPECT_EQ(a.AllocBufferEx(GMEM_ZEROINIT, 200), cached);
         },
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TMMAllocator allocator;
        void* used = allocator.AllocBuffer(GMEM_ZEROINIT, 100);
        void* cached = allocator.AllocBuffer(GMEM_ZEROINIT, 200);
        void* ref = cached;
        allocator.FreeBuffer(ref);
        c.act(allocator, used, cached);
        EXPECT_EQ(allocator.BlockCount(), c.blocksLeft);
    }
}

TEST(MMAllocator, SafeFromSeveralThreads) {
    TMMAllocator allocator;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&allocator, t] {
            for (int i = 0; i < 2000; ++i) {
                auto* p = static_cast<unsigned char*>(allocator.AllocBuffer(GMEM_ZEROINIT, 128 + (i % 3)));
                ASSERT_NE(p, nullptr);
                p[0] = static_cast<unsigned char>(t);  // a block is never shared while in use
                std::this_thread::yield();
                ASSERT_EQ(p[0], t);
                void* ref = p;
                allocator.FreeBuffer(ref);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(allocator.UsedCount(), 0u);
    EXPECT_LE(allocator.BlockCount(), 12u);
}
