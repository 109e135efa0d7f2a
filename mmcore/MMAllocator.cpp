#include "mmcore/MMAllocator.h"

#include "mmcore/MMUtils.h"

#include <algorithm>

TMMAllocator::~TMMAllocator() {
    Discard();
}

void* TMMAllocator::AllocBuffer(UINT dwFlags, std::size_t dwSize) {
    return Allocate(dwFlags, dwSize, false);
}

void* TMMAllocator::AllocBufferEx(UINT dwFlags, std::size_t dwSize) {
    return Allocate(dwFlags, dwSize, true);
}

void* TMMAllocator::Allocate(UINT dwFlags, std::size_t dwSize, bool discardFirst) {
    std::lock_guard lock(FSection);
    for (TEntry& entry : FBuffers) {
        if (entry.UseCount == 0 && entry.Size == dwSize) {
            ++entry.UseCount;
            return entry.Block;
        }
    }
    if (discardFirst) DiscardWhere(true);
    void* block = GlobalAllocPtr(dwFlags, dwSize);
    if (!block) return nullptr;
    try {
        FBuffers.push_back({block, dwSize, 1});
    } catch (...) {
        GlobalFreePtr(block);
        return nullptr;
    }
    return block;
}

void TMMAllocator::FreeBuffer(void*& lpBuffer) {
    Release(lpBuffer, false);
}

void TMMAllocator::DiscardBuffer(void*& lpBuffer) {
    Release(lpBuffer, true);
}

void TMMAllocator::Release(void*& lpBuffer, bool discard) {
    if (!lpBuffer) return;
    std::lock_guard lock(FSection);
    auto it = std::find_if(FBuffers.begin(), FBuffers.end(),
                           [&](const TEntry& entry) { return entry.Block == lpBuffer; });
    if (it == FBuffers.end()) return;
    if (discard) {
        GlobalFreePtr(it->Block);
        FBuffers.erase(it);
    } else if (it->UseCount > 0) {
        --it->UseCount;
    }
    lpBuffer = nullptr;
}

void TMMAllocator::Discard() {
    std::lock_guard lock(FSection);
    DiscardWhere(false);
}

void TMMAllocator::DiscardFreeBuffers() {
    std::lock_guard lock(FSection);
    DiscardWhere(true);
}

// FSection held. Last entry first.
void TMMAllocator::DiscardWhere(bool freeOnly) {
    for (auto i = FBuffers.size(); i-- > 0;) {
        if (freeOnly && FBuffers[i].UseCount != 0) continue;
        GlobalFreePtr(FBuffers[i].Block);
        FBuffers.erase(FBuffers.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

std::size_t TMMAllocator::BlockCount() const {
    std::lock_guard lock(FSection);
    return FBuffers.size();
}

std::size_t TMMAllocator::UsedCount() const {
    std::lock_guard lock(FSection);
    return static_cast<std::size_t>(
        std::count_if(FBuffers.begin(), FBuffers.end(), [](const TEntry& e) { return e.UseCount > 0; }));
}
