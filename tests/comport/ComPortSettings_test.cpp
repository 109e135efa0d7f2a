#include "comport/FComPort.h"

#include <gtest/gtest.h>
#include <QMetaEnum>

// ---- Defaults and properties by name -------------------------------------------

TEST(ComPortSettings, DefaultsAreTheDocumentedOnes) {
    TFComPort port;
    EXPECT_FALSE(port.GetActive());
    EXPECT_EQ(port.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(port.DeviceName(), QStringLiteral("COM1"));
    EXPECT_EQ(port.BaudRate(), brDefault);
    EXPECT_EQ(port.GetCustomBaudRate(), 0);
    EXPECT_EQ(port.DataBits(), dbDefault);
    EXPECT_EQ(port.Parity(), paDefault);
    EXPECT_EQ(port.StopBits(), sbDefault);
    EXPECT_EQ(port.PriorityClass(), pcDefault);
    EXPECT_EQ(port.ThreadPriority(), ComTypes::tpTimeCritical);
    EXPECT_TRUE(port.SynchronizeEvents());
    EXPECT_EQ(port.Options(), TOptions());
    EXPECT_EQ(port.Characters().XOn(), QChar(17));
    EXPECT_EQ(port.Characters().XOff(), QChar(19));
    EXPECT_EQ(port.Characters().Error(), QChar(0));
    EXPECT_EQ(port.BufferSizes().Input(), 4096);
    EXPECT_EQ(port.BufferSizes().Output(), 2048);
    EXPECT_EQ(port.FlowControl().DTR(), dcDefault);
    EXPECT_EQ(port.Timeouts().ReadConstant(), 0);
    EXPECT_TRUE(port.LogFile().isEmpty());
}

TEST(ComPortSettings, EnumerationsReadAndWriteByValueName) {
    TFComPort port;
    SetPropertyText(&port, "BaudRate", QStringLiteral("BR9600"));
    SetPropertyText(&port, "DataBits", QStringLiteral("db7"));
    SetPropertyText(&port, "Parity", QStringLiteral("paeven"));
    SetPropertyText(&port, "StopBits", QStringLiteral("sb1_5"));
    SetPropertyText(&port, "DeviceName", QStringLiteral("/dev/ttyUSB3"));
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.DataBits(), db7);
    EXPECT_EQ(port.Parity(), paEven);
    EXPECT_EQ(port.StopBits(), sb1_5);
    EXPECT_EQ(GetPropertyText(&port, "BaudRate"), QStringLiteral("br9600"));
    EXPECT_EQ(GetPropertyText(&port, "Parity"), QStringLiteral("paEven"));
    EXPECT_EQ(GetPropertyText(&port, "CustomBaudRate"), QStringLiteral("9600"));
    EXPECT_EQ(GetPropertyText(&port, "DeviceName"), QStringLiteral("/dev/ttyUSB3"));

    SetPropertyText(&port, "Options", QStringLiteral("opCheckParity|OPABORTONERROR"));
    EXPECT_EQ(port.Options(), TOptions(opCheckParity | opAbortOnError));
    EXPECT_EQ(GetPropertyText(&port, "Options"), QStringLiteral("opCheckParity|opAbortOnError"));

    // The stored settings are applied in order: the speed last, as a number.
    SetPropertyText(&port, "CustomBaudRate", QStringLiteral("2400"));
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(GetPropertyText(&port, "BaudRate"), QStringLiteral("brCustom"));
    EXPECT_EQ(GetPropertyText(&port, "CustomBaudRate"), QStringLiteral("2400"));
}

TEST(ComPortSettings, BadStoredValuesAreRefusedAndChangeNothing) {
    TFComPort port;
    port.SetParity(paOdd);
    try {
        SetPropertyText(&port, "Parity", QStringLiteral("paSometimes"));
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Invalid property element: paSometimes"));
    }
    EXPECT_EQ(port.Parity(), paOdd);
    EXPECT_THROW(SetPropertyText(&port, "CustomBaudRate", QStringLiteral("fast")), Exception);
    EXPECT_EQ(port.GetCustomBaudRate(), 0);
}

TEST(ComPortSettings, EveryBaudRateNameMapsToItsSpeed) {
    const QMetaEnum e = QMetaEnum::fromType<TBaudRate>();
    ASSERT_EQ(e.keyCount(), 28);
    for (int i = 0; i < e.keyCount(); ++i) {
        const auto rate = static_cast<TBaudRate>(e.value(i));
        QString digits = QString::fromLatin1(e.key(i)).mid(2);
        if (rate == brDefault || rate == brCustom) {
            EXPECT_EQ(TFComPort::BaudRateOf(rate), 0) << e.key(i);
            continue;
        }
        // br134_5 programs 134: the fraction cannot be set.
        digits = digits.section(QLatin1Char('_'), 0, 0);
        EXPECT_EQ(TFComPort::BaudRateOf(rate), digits.toInt()) << e.key(i);
    }
}

TEST(ComPortSettings, CustomBaudRateFollowsTheTableUntilWritten) {
    TFComPort port;
    port.SetBaudRate(br2400);
    EXPECT_EQ(port.GetCustomBaudRate(), 2400);
    port.SetCustomBaudRate(9600);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.GetCustomBaudRate(), 9600);
    port.SetBaudRate(br300);
    port.SetCustomBaudRate(9600);  // equals the stored custom rate: nothing happens
    EXPECT_EQ(port.BaudRate(), br300);
}

// ---- The device control block ----------------------------------------------------

namespace {
DCB FilledDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 4800;
    dcb.ByteSize = 7;
    dcb.Parity = 3;
    dcb.StopBits = 2;
    SetDcbFlags(dcb, 0x30 | 0x3000 | 0x300 | 0x2 | 0x4000);
    return dcb;
}
}  // namespace

TEST(ComPortDcb, DefaultsKeepTheDevicesLineSettings) {
    TFComPort port;
    DCB dcb = FilledDcb();
    port.CopyDCB(dcb, true);
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, 3);
    EXPECT_EQ(dcb.StopBits, 2);
    // DTR, RTS and XON/XOFF kept; every option cleared; binary set.
    EXPECT_EQ(DcbFlags(dcb), 0x30u | 0x3000u | 0x300u | 0x1u);
    EXPECT_EQ(dcb.XonChar, 17);
    EXPECT_EQ(dcb.XoffChar, 19);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.XonLim, 0);
    EXPECT_EQ(dcb.XoffLim, 0);
}

TEST(ComPortDcb, PropertiesToFields) {
    struct Case {
        TDataBits Bits;
        BYTE ByteSize;
        TParity Parity;
        BYTE ParityCode;
        TStopBits Stop;
        BYTE StopCode;
    };
    const Case cases[] = {{db4, 4, paNone, 0, sb1, 0},   {db5, 5, paOdd, 1, sb1_5, 1},
                          {db6, 6, paEven, 2, sb2, 2},   {db7, 7, paMark, 3, sb1, 0},
                          {db8, 8, paSpace, 4, sb1, 0},  {db9, 9, paNone, 0, sb2, 2},
                          {db16, 16, paNone, 0, sb1, 0}, {db16x, 16, paOdd, 1, sb1, 0}};
    for (const Case& c : cases) {
        TFComPort port;
        port.SetDataBits(c.Bits);
        port.SetParity(c.Parity);
        port.SetStopBits(c.Stop);
        DCB dcb = FilledDcb();
        port.CopyDCB(dcb, true);
        EXPECT_EQ(dcb.ByteSize, c.ByteSize) << c.Bits;
        EXPECT_EQ(dcb.Parity, c.ParityCode) << c.Parity;
        EXPECT_EQ(dcb.StopBits, c.StopCode) << c.Stop;
    }

    struct FlowCase {
        TDTRControl Dtr;
        TRTSControl Rts;
        TXOnXOffControl X;
        DWORD Flags;
    };
    const FlowCase flows[] = {{dcDisable, rcDisable, xcDisable, 0x0},
                              {dcEnable, rcEnable, xcInput, 0x10 | 0x1000 | 0x200},
                              {dcHandshake, rcHandshake, xcOutput, 0x20 | 0x2000 | 0x100},
                              {dcEnable, rcToggle, xcInputOutput, 0x10 | 0x3000 | 0x300}};
    for (const FlowCase& f : flows) {
        TFComPort port;
        port.FlowControl().SetDTR(f.Dtr);
        port.FlowControl().SetRTS(f.Rts);
        port.FlowControl().SetXOnXOff(f.X);
        DCB dcb = FilledDcb();
        port.CopyDCB(dcb, true);
        EXPECT_EQ(DcbFlags(dcb) & 0x3330, f.Flags) << f.Dtr << f.Rts << f.X;
    }

    const std::pair<TOption, DWORD> options[] = {{opCheckParity, 0x2},        {opOutputCTSFlow, 0x4},
                                                 {opOutputDSRFlow, 0x8},      {opDSRSensitivity, 0x40},
                                                 {opTXContinueOnXOff, 0x80},  {opUseErrorChar, 0x400},
                                                 {opDiscardNullBytes, 0x800}, {opAbortOnError, 0x4000}};
    for (const auto& [option, flag] : options) {
        TFComPort port;
        port.SetOptions(option);
        DCB dcb{};
        port.CopyDCB(dcb, true);
        EXPECT_EQ(DcbFlags(dcb), flag | 0x1u) << option;
    }
}

TEST(ComPortDcb, CharactersAndLimitsAreCopiedAsTheyAre) {
    TFComPort port;
    port.SetBaudRate(br134_5);
    port.Characters().SetXOn(QChar(0x111));  // only the low 8 bits reach the line
    port.Characters().SetEof(QChar(26));
    port.Characters().SetEvent(QChar('\n'));
    port.FlowControl().SetXOnLimit(100);
    port.FlowControl().SetXOffLimit(300);
    DCB dcb{};
    port.CopyDCB(dcb, true);
    EXPECT_EQ(dcb.BaudRate, 134u);
    EXPECT_EQ(static_cast<BYTE>(dcb.XonChar), 0x11);
    EXPECT_EQ(dcb.EofChar, 26);
    EXPECT_EQ(dcb.EvtChar, '\n');
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 300);
}

TEST(ComPortDcb, FieldsToProperties) {
    TFComPort port;
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 16;
    dcb.Parity = 2;
    dcb.StopBits = 1;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 7;
    SetDcbFlags(dcb, 0x20 | 0x1000 | 0x100 | 0x40 | 0x800);
    port.CopyDCB(dcb, false);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.GetCustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), db16);
    EXPECT_EQ(port.Parity(), paEven);
    EXPECT_EQ(port.StopBits(), sb1_5);
    EXPECT_EQ(port.FlowControl().DTR(), dcHandshake);
    EXPECT_EQ(port.FlowControl().RTS(), rcEnable);
    EXPECT_EQ(port.FlowControl().XOnXOff(), xcOutput);
    EXPECT_EQ(port.FlowControl().XOnLimit(), 7);
    EXPECT_EQ(port.Characters().XOn(), QChar(0));
    EXPECT_EQ(port.Options(), TOptions(opDSRSensitivity | opDiscardNullBytes));

    // A line with nothing switched on reads back as the defaults.
    DCB plain{};
    plain.BaudRate = 9600;
    plain.ByteSize = 8;
    port.CopyDCB(plain, false);
    EXPECT_EQ(port.Parity(), paDefault);
    EXPECT_EQ(port.StopBits(), sbDefault);
    EXPECT_EQ(port.FlowControl().DTR(), dcDefault);
    EXPECT_EQ(port.FlowControl().RTS(), rcDefault);
    EXPECT_EQ(port.FlowControl().XOnXOff(), xcDefault);
    EXPECT_EQ(port.DataBits(), db8);
    EXPECT_EQ(port.Options(), TOptions());
}

// ---- Errors ------------------------------------------------------------------------

TEST(ComPortErrors, OnErrorSeesEveryErrorAndMayTurnItIntoASilentAbort) {
    TFComPort port;
    int seen = 0;
    int code = -1;
    port.OnError = [&](TFComPort* sender, EComError& e, TComAction& action) {
        EXPECT_EQ(sender, &port);
        ++seen;
        code = e.ErrorCode();
        EXPECT_EQ(action, caFail);
    };
    try {
        port.ReadByte();
        FAIL() << "no error";
    } catch (const EComError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Can't perform this operation on a closed port"));
        EXPECT_EQ(e.ErrorCode(), 0);
    }
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(code, 0);

    port.OnError = [&](TFComPort*, EComError&, TComAction& action) { action = caAbort; };
    EXPECT_THROW(port.WriteByte(1), EAbort);
    EXPECT_THROW(port.ModemStatus(), EAbort);
}

TEST(ComPortErrors, CheckRaisesOnlyForARealErrorCode) {
    TFComPort port;
    SetLastError(0);
    EXPECT_NO_THROW(port.Check(false));
    SetLastError(ERROR_IO_PENDING);
    EXPECT_NO_THROW(port.Check(false));
    SetLastError(ERROR_INVALID_PARAMETER);
    try {
        port.Check(false);
        FAIL() << "no error";
    } catch (const EComError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<int>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(e.Message(), SysErrorMessage(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(GetLastError(), 0u);
}

TEST(ComPortErrors, ClosedPortOperations) {
    TFComPort port;
    // Queue control does nothing on a closed port; line control refuses.
    EXPECT_NO_THROW(port.PurgeInput());
    EXPECT_NO_THROW(port.ClearOutput());
    EXPECT_NO_THROW(port.Flush());
    EXPECT_THROW(port.SetDTR(), EComError);
    EXPECT_THROW(port.SetBreak(), EComError);
    EXPECT_THROW(port.Capabilities(), EComError);
    EXPECT_THROW(port.CheckLineErrors(), EComError);
    // Counting bytes asks the driver, which knows no such handle.
    try {
        port.InputCount();
        FAIL() << "no error";
    } catch (const EComError& e) {
        EXPECT_EQ(e.ErrorCode(), static_cast<int>(ERROR_INVALID_HANDLE));
    }
}
