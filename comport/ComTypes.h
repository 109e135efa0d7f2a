#pragma once

// Enumerations of the serial-port component. They live in a Qt namespace so
// that properties of these types read and write by value name (the settings
// file stores "br2400", "paNone"). The value names are also available
// unqualified, except the thread priorities, whose names the sound
// components use too.

#include <QObject>
#include <initializer_list>

namespace ComTypes {
Q_NAMESPACE

enum TBaudRate {
    brDefault,
    br50,
    br75,
    br110,
    br134_5,
    br150,
    br300,
    br600,
    br1200,
    br1800,
    br2000,
    br2400,
    br3600,
    br4800,
    br7200,
    br9600,
    br10400,
    br14400,
    br15625,
    br19200,
    br28800,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
    brCustom
};
Q_ENUM_NS(TBaudRate)

enum TDataBits { dbDefault, db4, db5, db6, db7, db8, db9, db16, db16x };
Q_ENUM_NS(TDataBits)

enum TParity { paDefault, paNone, paOdd, paEven, paMark, paSpace };
Q_ENUM_NS(TParity)

enum TStopBits { sbDefault, sb1, sb1_5, sb2 };
Q_ENUM_NS(TStopBits)

enum TOption {
    opCheckParity = 0x01,
    opOutputCTSFlow = 0x02,
    opOutputDSRFlow = 0x04,
    opDSRSensitivity = 0x08,
    opTXContinueOnXOff = 0x10,
    opUseErrorChar = 0x20,
    opDiscardNullBytes = 0x40,
    opAbortOnError = 0x80
};
Q_DECLARE_FLAGS(TOptions, TOption)
Q_FLAG_NS(TOptions)

enum TDTRControl { dcDefault, dcDisable, dcEnable, dcHandshake };
Q_ENUM_NS(TDTRControl)

enum TRTSControl { rcDefault, rcDisable, rcEnable, rcHandshake, rcToggle };
Q_ENUM_NS(TRTSControl)

enum TXOnXOffControl { xcDefault, xcDisable, xcInput, xcOutput, xcInputOutput };
Q_ENUM_NS(TXOnXOffControl)

enum TPriorityClass { pcDefault, pcIdle, pcNormal, pcHigh, pcRealTime };
Q_ENUM_NS(TPriorityClass)

enum TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };
Q_ENUM_NS(TThreadPriority)

enum TComAction { caFail, caAbort };
Q_ENUM_NS(TComAction)

enum TLineError {
    leBreak,
    leDeviceNotSelected,
    leFrame,
    leIO,
    leMode,
    leOutOfPaper,
    leOverrun,
    leDeviceTimeOut,
    leRxOverflow,
    leParity,
    leTxFull
};
Q_ENUM_NS(TLineError)

enum TModemStatusValue { msCTS, msDSR, msRing, msRLSD };
Q_ENUM_NS(TModemStatusValue)

enum TSettableParameter {
    spParity,
    spParityCheck,
    spBaudRate,
    spDataBits,
    spStopBits,
    spHandShaking,
    spRLSD
};
Q_ENUM_NS(TSettableParameter)

enum TCapability {
    caDtrDsr,
    caRtsCts,
    caRLSD,
    caParityCheck,
    caXOnXOff,
    caSettableXChar,
    caTotalTimeouts,
    caIntervalTimeouts,
    caSpecialChars,
    ca16BitMode
};
Q_ENUM_NS(TCapability)

}  // namespace ComTypes

Q_DECLARE_OPERATORS_FOR_FLAGS(ComTypes::TOptions)

using ComTypes::TBaudRate;
using ComTypes::TCapability;
using ComTypes::TComAction;
using ComTypes::TDataBits;
using ComTypes::TDTRControl;
using ComTypes::TLineError;
using ComTypes::TModemStatusValue;
using ComTypes::TOption;
using ComTypes::TOptions;
using ComTypes::TParity;
using ComTypes::TPriorityClass;
using ComTypes::TRTSControl;
using ComTypes::TSettableParameter;
using ComTypes::TStopBits;
using ComTypes::TXOnXOffControl;
using enum ComTypes::TBaudRate;
using enum ComTypes::TDataBits;
using enum ComTypes::TParity;
using enum ComTypes::TStopBits;
using enum ComTypes::TOption;
using enum ComTypes::TDTRControl;
using enum ComTypes::TRTSControl;
using enum ComTypes::TXOnXOffControl;
using enum ComTypes::TPriorityClass;
using enum ComTypes::TComAction;
using enum ComTypes::TLineError;
using enum ComTypes::TModemStatusValue;
using enum ComTypes::TSettableParameter;
using enum ComTypes::TCapability;

// A small set over an enumeration of at most 32 values.
template <typename E>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<E> values) {
        for (E v : values) Include(v);
    }
    constexpr void Include(E v) { FBits |= 1u << static_cast<unsigned>(v); }
    constexpr void Exclude(E v) { FBits &= ~(1u << static_cast<unsigned>(v)); }
    constexpr bool Contains(E v) const { return (FBits >> static_cast<unsigned>(v)) & 1u; }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr unsigned Bits() const { return FBits; }
    constexpr bool operator==(const TEnumSet&) const = default;

private:
    unsigned FBits = 0;
};

using TLineErrors = TEnumSet<TLineError>;
using TModemStatus = TEnumSet<TModemStatusValue>;
using TBaudRates = TEnumSet<TBaudRate>;
using TSettableDataBits = TEnumSet<TDataBits>;
using TSettableParity = TEnumSet<TParity>;
using TSettableStopBits = TEnumSet<TStopBits>;
using TSettableParameters = TEnumSet<TSettableParameter>;
using TCapabilities = TEnumSet<TCapability>;
