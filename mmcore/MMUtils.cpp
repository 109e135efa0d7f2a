#include "mmcore/MMUtils.h"

#include "platform/base/Exception.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

void SwapSmall(std::int16_t& A, std::int16_t& B) {
    std::swap(A, B);
}
void SwapInt(std::int32_t& A, std::int32_t& B) {
    std::swap(A, B);
}
void SwapLong(std::int32_t& A, std::int32_t& B) {
    std::swap(A, B);
}

// ---- Memory -----------------------------------------------------------------

namespace {

// Every block carries its size in a header in front of it. The header is as
// large as the strictest alignment, so the block itself stays aligned for
// any sample type.
struct alignas(std::max_align_t) TBlockHeader {
    std::size_t Size;
};
constexpr std::size_t HeaderSize = sizeof(TBlockHeader);

TBlockHeader* HeaderOf(const void* P) {
    return reinterpret_cast<TBlockHeader*>(const_cast<char*>(static_cast<const char*>(P)) - HeaderSize);
}

}  // namespace

void* GlobalAllocPtr(UINT Flags, std::size_t Size) {
    if (Size > std::numeric_limits<std::size_t>::max() - HeaderSize) return nullptr;
    const std::size_t total = HeaderSize + Size;
    void* raw = (Flags & GMEM_ZEROINIT) ? std::calloc(1, total) : std::malloc(total);
    if (!raw) return nullptr;
    auto* header = static_cast<TBlockHeader*>(raw);
    header->Size = Size;
    return static_cast<char*>(raw) + HeaderSize;
}

void GlobalFreePtr(void* P) {
    if (P) std::free(HeaderOf(P));
}

void* GlobalAllocMem(std::size_t Size) {
    void* block = GlobalAllocPtr(GPTR, Size);
    if (!block) throw EOutOfMemory();
    return block;
}

void GlobalFreeMem(void*& P) {
    if (!P) return;
    GlobalFreePtr(P);
    P = nullptr;
}

std::size_t GlobalMemSize(const void* P) {
    return P ? HeaderOf(P)->Size : 0;
}

void GlobalFillMem(void* P, std::ptrdiff_t Count, BYTE Value) {
    if (Count > 0) std::memset(P, Value, static_cast<std::size_t>(Count));
}

void GlobalFillLong(void* P, std::ptrdiff_t Count, DWORD Value) {
    auto* bytes = static_cast<unsigned char*>(P);
    for (std::ptrdiff_t i = 0; i < Count; ++i) std::memcpy(bytes + i * 4, &Value, 4);
}

void GlobalMoveMem(const void* Source, void* Dest, std::ptrdiff_t Count) {
    // memmove copies backwards when Dest lies after Source, which is the
    // overlap case that a plain forward copy would smear.
    if (Count > 0) std::memmove(Dest, Source, static_cast<std::size_t>(Count));
}

bool GlobalCmpMem(const void* A, const void* B, std::ptrdiff_t Count) {
    return Count <= 0 || std::memcmp(A, B, static_cast<std::size_t>(Count)) == 0;
}

// ---- Thread priorities ------------------------------------------------------

TMMThreadId MMCurrentThreadId() {
    return static_cast<TMMThreadId>(gettid());
}

namespace {

// Linux keeps a nice value per thread, addressed by its tid.
int NiceOf(int priority) {
    if (priority <= THREAD_PRIORITY_IDLE) return 19;
    switch (priority) {
        case THREAD_PRIORITY_LOWEST:
            return 10;
        case THREAD_PRIORITY_BELOW_NORMAL:
            return 5;
        case THREAD_PRIORITY_NORMAL:
            return 0;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            return -5;
        case THREAD_PRIORITY_HIGHEST:
            return -10;
        default:
            break;
    }
    if (priority < THREAD_PRIORITY_LOWEST) return 10;
    if (priority > THREAD_PRIORITY_HIGHEST) return -10;
    return 0;
}

bool SetNice(TMMThreadId thread, int nice) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0;
}

}  // namespace

bool MMSetThreadPriority(TMMThreadId Thread, int Priority) {
    if (Thread == 0) Thread = MMCurrentThreadId();
    if (Priority >= THREAD_PRIORITY_TIME_CRITICAL) {
        sched_param param{};
        param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 9;
        if (sched_setscheduler(Thread, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0) return true;
        return SetNice(Thread, -20);
    }
    const int policy = sched_getscheduler(Thread);
    if (policy < 0) return false;
    if ((policy & ~SCHED_RESET_ON_FORK) == SCHED_FIFO || (policy & ~SCHED_RESET_ON_FORK) == SCHED_RR) {
        sched_param param{};
        if (sched_setscheduler(Thread, SCHED_OTHER, &param) != 0) return false;
    }
    return SetNice(Thread, NiceOf(Priority));
}
