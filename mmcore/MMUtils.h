#pragma once

// Small helpers the sound engine calls for memory, waiting, thread
// priorities and platform detection.

#include "platform/base/wintypes.h"
#include "platform/gui/Delay.h"  // Delay(Milliseconds, ProcessMessages)

#include <sys/types.h>
#include <cstddef>

// ---- Integers ---------------------------------------------------------------
inline LONG Min(LONG A, LONG B) {
    return A < B ? A : B;
}
inline LONG Max(LONG A, LONG B) {
    return A > B ? A : B;
}
// Lo if X < Lo, else Hi if X > Hi, else X.
inline LONG MinMax(LONG X, LONG Lo, LONG Hi) {
    return X < Lo ? Lo : (X > Hi ? Hi : X);
}
// X clamped into the closed range spanned by A and B, given in either order.
inline LONG Limit(LONG X, LONG A, LONG B) {
    return A <= B ? MinMax(X, A, B) : MinMax(X, B, A);
}
inline bool InMinMax(LONG X, LONG Lo, LONG Hi) {
    return Lo <= X && X <= Hi;
}
// X lies between A and B inclusive, whichever of them is smaller.
inline bool InRange(LONG X, LONG A, LONG B) {
    return A <= B ? InMinMax(X, A, B) : InMinMax(X, B, A);
}

void SwapSmall(std::int16_t& A, std::int16_t& B);
void SwapInt(std::int32_t& A, std::int32_t& B);
void SwapLong(std::int32_t& A, std::int32_t& B);

// ---- Memory -----------------------------------------------------------------
// Flags of the global memory calls; blocks are always fixed.
inline constexpr UINT GMEM_FIXED = 0x0000;
inline constexpr UINT GMEM_MOVEABLE = 0x0002;
inline constexpr UINT GMEM_ZEROINIT = 0x0040;
inline constexpr UINT GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;
inline constexpr UINT GPTR = GMEM_FIXED | GMEM_ZEROINIT;

// A block of Size bytes (zero-filled with GMEM_ZEROINIT), or nullptr when
// there is no memory left. The block remembers its size.
void* GlobalAllocPtr(UINT Flags, std::size_t Size);
// Releases a block of GlobalAllocPtr/GlobalAllocMem; nothing for nullptr.
void GlobalFreePtr(void* P);

// A zero-filled block; raises EOutOfMemory when there is no memory left.
void* GlobalAllocMem(std::size_t Size);
// Frees P unless it is nullptr, and sets it to nullptr.
void GlobalFreeMem(void*& P);
template <class T>
void GlobalFreeMem(T*& P) {
    void* raw = P;
    GlobalFreeMem(raw);
    P = nullptr;
}
// 0 for nullptr, else the size the block was allocated with.
std::size_t GlobalMemSize(const void* P);

void GlobalFillMem(void* P, std::ptrdiff_t Count, BYTE Value);
// Fills Count 32-bit words.
void GlobalFillLong(void* P, std::ptrdiff_t Count, DWORD Value);
// Copies Count bytes, correctly for overlapping areas; nothing for Count <= 0.
void GlobalMoveMem(const void* Source, void* Dest, std::ptrdiff_t Count);
// Whether Count bytes are equal (true for Count <= 0).
bool GlobalCmpMem(const void* A, const void* B, std::ptrdiff_t Count);

// ---- Thread priorities ------------------------------------------------------
// The platform thread priority values, lowest to highest.
inline constexpr int THREAD_PRIORITY_IDLE = -15;
inline constexpr int THREAD_PRIORITY_LOWEST = -2;
inline constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
inline constexpr int THREAD_PRIORITY_NORMAL = 0;
inline constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
inline constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

// A thread as the kernel knows it (its tid).
using TMMThreadId = pid_t;
TMMThreadId MMCurrentThreadId();

// Gives a thread a platform priority: time-critical asks for SCHED_FIFO
// (falling back to the strongest nice value), the others map to nice values.
// True when the system accepted it; raising a priority usually needs
// privileges, and a refusal changes nothing.
bool MMSetThreadPriority(TMMThreadId Thread, int Priority);

// ---- Platform flags ---------------------------------------------------------
// We present ourselves as a current member of the NT family.
inline constexpr bool _Win95_ = false;
inline constexpr bool _Win98_ = false;
inline constexpr bool _WinME_ = false;
inline constexpr bool _WinNT3_ = false;
inline constexpr bool _WinNT4_ = false;
inline constexpr bool _Win2K_ = false;
inline constexpr bool _Win2K3_ = false;
inline constexpr bool _WinXP_ = false;
inline constexpr bool _WinVista_ = true;  // Vista or later
inline constexpr bool _Windows7_ = true;  // 7 or later
inline constexpr bool _Win9x_ = _Win95_ || _Win98_ || _WinME_;
inline constexpr bool _WinNT_ = !_Win9x_;
inline constexpr bool _WinNT_NEW_ = _WinNT_ && !_WinNT3_;
inline constexpr bool _WinNT_WDM_ = _WinNT_NEW_ && !_WinNT4_;
inline constexpr bool _WinVistaUp_ = _WinVista_;
