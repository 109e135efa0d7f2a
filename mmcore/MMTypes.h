#pragma once

// Enumerations shared by the sound components. They live in a Qt namespace
// so that properties of these types read and write by value name; the
// names are also available unqualified.

#include <QObject>

namespace MMTypes {
Q_NAMESPACE

// The two sides of a chain member.
enum TMMPort { poInput, poOutput };
Q_ENUM_NS(TMMPort)

// Where a device handles its finished buffers.
enum TMMCBMode { cmWindow, cmCallback, cmThread };
Q_ENUM_NS(TMMCBMode)

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
Q_ENUM_NS(TThreadPriority)

}  // namespace MMTypes

using MMTypes::TMMCBMode;
using MMTypes::TMMPort;
using MMTypes::TThreadPriority;
using enum MMTypes::TMMPort;
using enum MMTypes::TMMCBMode;
using enum MMTypes::TThreadPriority;

// A device number: -1 is the wave mapper, -2 an invalid device.
using TMMDeviceId = int;
inline constexpr TMMDeviceId MapperId = -1;
inline constexpr TMMDeviceId InvalidId = -2;
