#pragma once

// The shared multimedia timer: one thread ticks every TIMERELAPSE ms and
// fires each registered event whose interval has passed. Events fire on that
// thread with the event list locked, so a callback must not register or kill
// events (it would deadlock).

#include "platform/base/wintypes.h"

#include <functional>

inline constexpr DWORD TIMERELAPSE = 25;
inline constexpr int TIMER_PRIORITY = 15;  // time-critical

struct TMMTimerEvent;
using HMMTIMEREVENT = TMMTimerEvent*;  // an event's handle is its address

using TMMTimeCallBack = std::function<void(HMMTIMEREVENT Event, DWORD_PTR User)>;

// Registers an event that fires every Interval ms, rounded to whole ticks
// (at least one tick). A suspended event is registered but does not fire.
// nullptr when the tick cannot be started.
HMMTIMEREVENT MMTimeSetEvent(DWORD Interval, bool Suspended, TMMTimeCallBack Callback, DWORD_PTR User);
// Unregisters an event; nothing for nullptr or a handle not registered. The
// last one stops the tick. Never call it from a callback.
void MMTimeKillEvent(HMMTIMEREVENT Handle);

// One tick: advances every event that is not suspended and fires those that
// are due. The tick thread calls it; exposed so that the counting can be
// exercised without waiting.
void TimeCallBack();

// Events registered now.
int MMTimeEventCount();

// Milliseconds from a steady clock (the multimedia time).
DWORD MMTimeGetTime();
