#pragma once

#include "platform/base/wintypes.h"

#include <cstddef>
#include <mutex>
#include <vector>

// A cache of buffer memory. Blocks given back with FreeBuffer stay reserved
// and are handed out again to the next request of exactly the same size, so
// a device that stops and starts with the same buffer size allocates nothing.
// Every operation is safe from any thread.
class TMMAllocator {
public:
    TMMAllocator() = default;
    ~TMMAllocator();  // discards every block
    TMMAllocator(const TMMAllocator&) = delete;
    TMMAllocator& operator=(const TMMAllocator&) = delete;

    // A cached free block of exactly dwSize bytes, else a new one allocated
    // with dwFlags (GMEM_ZEROINIT zero-fills it). nullptr without memory.
    // A reused block keeps what was written into it.
    void* AllocBuffer(UINT dwFlags, std::size_t dwSize);
    // As AllocBuffer, but releases every cached free block before it
    // allocates a new one.
    void* AllocBufferEx(UINT dwFlags, std::size_t dwSize);

    // Gives a block back to the cache and sets lpBuffer to nullptr. A block
    // this allocator does not know leaves lpBuffer unchanged.
    void FreeBuffer(void*& lpBuffer);
    // Releases a block and forgets it; lpBuffer as with FreeBuffer.
    void DiscardBuffer(void*& lpBuffer);
    template <class T>
    void FreeBuffer(T*& lpBuffer) {
        void* raw = lpBuffer;
        FreeBuffer(raw);
        lpBuffer = static_cast<T*>(raw);
    }
    template <class T>
    void DiscardBuffer(T*& lpBuffer) {
        void* raw = lpBuffer;
        DiscardBuffer(raw);
        lpBuffer = static_cast<T*>(raw);
    }

    // Releases every block, in use or not.
    void Discard();
    // Releases every cached free block.
    void DiscardFreeBuffers();

    // Blocks known, and of those the ones in use.
    std::size_t BlockCount() const;
    std::size_t UsedCount() const;

private:
    struct TEntry {
        void* Block;
        std::size_t Size;
        int UseCount;
    };

    void* Allocate(UINT dwFlags, std::size_t dwSize, bool discardFirst);
    void DiscardWhere(bool freeOnly);
    void Release(void*& lpBuffer, bool discard);

    std::vector<TEntry> FBuffers;
    mutable std::mutex FSection;
};
