#pragma once

// A fixed-capacity single-producer single-consumer queue for handing items
// between the mixer thread and ordinary threads without locks or allocation.
//
// Memory orders: the producer writes the slot, then publishes it by storing
// `tail` with release; the consumer's acquire load of `tail` therefore sees
// the slot's contents. Symmetrically the consumer frees a slot by storing
// `head` with release after reading it, and the producer's acquire load of
// `head` guarantees the read finished before the slot is overwritten. Each
// index is written by one side only; the other side's copy is cached to keep
// the shared cache lines quiet.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>

template <typename T>
class SpscQueue {
public:
    explicit SpscQueue(std::size_t capacity)
        : size(roundUp(capacity + 1)), mask(size - 1), cells(new T[size]) {}

    bool push(const T& item) {
        const std::size_t t = tail.load(std::memory_order_relaxed);
        const std::size_t next = (t + 1) & mask;
        if (next == headCache) {
            headCache = head.load(std::memory_order_acquire);
            if (next == headCache) return false;
        }
        cells[t] = item;
        tail.store(next, std::memory_order_release);
        return true;
    }

    // Pushes all `count` items or none (false when they do not all fit),
    // publishing them with one release store.
    bool pushAll(const T* items, std::size_t count) {
        const std::size_t t = tail.load(std::memory_order_relaxed);
        if (room(t) < count) {
            headCache = head.load(std::memory_order_acquire);
            if (room(t) < count) return false;
        }
        const std::size_t first = std::min(count, size - t);
        std::copy(items, items + first, cells.get() + t);
        std::copy(items + first, items + count, cells.get());
        tail.store((t + count) & mask, std::memory_order_release);
        return true;
    }

    // Pops up to `max` items into `out`; how many it popped.
    std::size_t popSome(T* out, std::size_t max) {
        const std::size_t h = head.load(std::memory_order_relaxed);
        tailCache = tail.load(std::memory_order_acquire);
        const std::size_t n = std::min(max, (tailCache - h) & mask);
        const std::size_t first = std::min(n, size - h);
        std::copy(cells.get() + h, cells.get() + h + first, out);
        std::copy(cells.get(), cells.get() + (n - first), out + first);
        head.store((h + n) & mask, std::memory_order_release);
        return n;
    }

    bool pop(T& item) {
        const std::size_t h = head.load(std::memory_order_relaxed);
        if (h == tailCache) {
            tailCache = tail.load(std::memory_order_acquire);
            if (h == tailCache) return false;
        }
        item = cells[h];
        head.store((h + 1) & mask, std::memory_order_release);
        return true;
    }

    bool empty() const {
        return head.load(std::memory_order_acquire) == tail.load(std::memory_order_acquire);
    }

    // The storage, for locking it in memory.
    const void* storage() const { return cells.get(); }
    std::size_t storageBytes() const { return size * sizeof(T); }

private:
    // Slots the producer may fill, by its cached view of head (one slot
    // always stays empty to tell full from empty).
    std::size_t room(std::size_t t) const { return (headCache - t - 1) & mask; }

    static std::size_t roundUp(std::size_t n) {
        std::size_t p = 2;
        while (p < n) p <<= 1;
        return p;
    }

    const std::size_t size;
    const std::size_t mask;
    std::unique_ptr<T[]> cells;
    alignas(64) std::atomic<std::size_t> head{0};
    std::size_t tailCache = 0;  // consumer's view of tail
    alignas(64) std::atomic<std::size_t> tail{0};
    std::size_t headCache = 0;  // producer's view of head
};
