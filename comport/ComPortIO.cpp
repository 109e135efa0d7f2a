// Moving bytes: the overlapped read and write with their completion waits,
// the typed readers and writers built on them, queue and line control.

#include "comport/FComPort.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace {

constexpr DWORD LineErrorFlags[] = {CE_BREAK,   CE_DNS, CE_FRAME,  CE_IOE,      CE_MODE,  CE_OOP,
                                    CE_OVERRUN, CE_PTO, CE_RXOVER, CE_RXPARITY, CE_TXFULL};

bool EventSignalled(HANDLE event) {
    return event && WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

}  // namespace

TLineErrors TFComPort::GetLineErrors(DWORD Errors) {
    TLineErrors result;
    for (int i = 0; i < static_cast<int>(std::size(LineErrorFlags)); ++i)
        if (Errors & LineErrorFlags[i]) result.Include(static_cast<TLineError>(i));
    return result;
}

bool TFComPort::ReadPending() const {
    return FReadEventHandle && !EventSignalled(FReadEventHandle);
}

bool TFComPort::WritePending() const {
    return FWriteEventHandle && !EventSignalled(FWriteEventHandle);
}

void TFComPort::Read(void* Buf, int Count, bool WaitForCompletion) {
    CheckActive();
    if (BeforeRead) BeforeRead(this, Buf, Count, WaitForCompletion);
    if (Count > 0 && FRequestedReadCount == 0 && !Log() && ReadQueued(Buf, Count)) {
        if (AfterRead) AfterRead(this, Buf, Count, WaitForCompletion);
        return;
    }
    WaitForReadCompletion();
    FRequestedReadCount = static_cast<DWORD>(Count);
    FRequestedReadBuffer = static_cast<BYTE*>(Buf);
    if (Count != 0) {
        FReadOverlapped = OVERLAPPED{};
        FReadOverlapped.hEvent = FReadEventHandle;
        Check(ResetEvent(FReadEventHandle));
        if (Log()) WriteLog(QStringLiteral("Read request %1 byte(s)").arg(Count));
        Check(ReadFile(FHandle, Buf, static_cast<DWORD>(Count), nullptr, &FReadOverlapped));
        if (WaitForCompletion) WaitForReadCompletion();
    }
    if (AfterRead) AfterRead(this, Buf, Count, WaitForCompletion);
}

// The stroke path: bytes already received (or a read that may not wait) are
// taken in one call, so the main thread takes the port's lock once per byte.
// False when the read has to wait: the overlapped read does that.
bool TFComPort::ReadQueued(void* Buf, int Count) {
    DWORD got = 0, errors = 0, left = 0;
    std::int64_t arrival = 0;
    Check(ReadCommQueued(FHandle, Buf, static_cast<DWORD>(Count), &got, &arrival, &errors, &left));
    if (errors != 0 && OnLineError) OnLineError(this, GetLineErrors(errors));
    const bool mayNotWait =
        FTimeouts->ReadInterval() == -1 && FTimeouts->ReadMultiplier() == 0 && FTimeouts->ReadConstant() == 0;
    if (got == 0 && !mayNotWait) return false;
    if (got > 0) FLastReadArrival = arrival;
    FInputLeft = left;
    ++FQueuedReads;
    if (got != static_cast<DWORD>(Count)) RaiseError(0, QStringLiteral("Timeout"));
    return true;
}

void TFComPort::Write(const void* Buf, int Count, bool WaitForCompletion) {
    CheckActive();
    if (BeforeWrite) BeforeWrite(this, Buf, Count, WaitForCompletion);
    WaitForWriteCompletion();
    FRequestedWriteCount = static_cast<DWORD>(Count);
    FRequestedWriteBuffer = static_cast<const BYTE*>(Buf);
    if (Count != 0) {
        FWriteOverlapped = OVERLAPPED{};
        FWriteOverlapped.hEvent = FWriteEventHandle;
        Check(ResetEvent(FWriteEventHandle));
        if (Log()) WriteLog(QStringLiteral("Write request "), Buf, Count);
        if (WaitForCompletion) {
            Check(WriteFile(FHandle, Buf, static_cast<DWORD>(Count), nullptr, &FWriteOverlapped));
            WaitForWriteCompletion();
        } else {
            // The caller's memory is free once Write returns.
            const auto* bytes = static_cast<const BYTE*>(Buf);
            FBuffer.assign(bytes, bytes + Count);
            FRequestedWriteBuffer = FBuffer.data();
            Check(WriteFile(FHandle, FBuffer.data(), static_cast<DWORD>(Count), nullptr, &FWriteOverlapped));
        }
    }
    if (AfterWrite) AfterWrite(this, Buf, Count, WaitForCompletion);
}

void TFComPort::WaitForReadCompletion() {
    const bool requested = FRequestedReadCount != 0;
    // A read that ended at once is judged too: one that may not wait can
    // end short without ever pending.
    if (requested || ReadPending()) {
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(FHandle, &FReadOverlapped, &transferred, TRUE);
        if (!ok) FRequestedReadCount = 0;  // nothing more is in flight
        Check(ok);
        if (transferred != FRequestedReadCount) {
            FinishRequest(true);
            RaiseError(0, QStringLiteral("Timeout"));
        }
    }
    // Done, at once or after the wait: when its last byte came.
    std::int64_t arrival = 0;
    if (requested && GetCommReadArrival(FHandle, &arrival) && arrival) FLastReadArrival = arrival;
    CheckLineErrors();
    FinishRequest(true);
}

void TFComPort::WaitForWriteCompletion() {
    if (WritePending()) {
        DWORD transferred = 0;
        const BOOL ok = GetOverlappedResult(FHandle, &FWriteOverlapped, &transferred, TRUE);
        if (!ok) FRequestedWriteCount = 0;
        Check(ok);
        if (transferred != FRequestedWriteCount) {
            FinishRequest(false);
            RaiseError(0, QStringLiteral("Timeout"));
        }
    }
    CheckLineErrors();
    FinishRequest(false);
}

void TFComPort::FinishRequest(bool Reading) {
    DWORD& count = Reading ? FRequestedReadCount : FRequestedWriteCount;
    if (count != 0 && Log()) {
        const void* data = Reading ? static_cast<const void*>(FRequestedReadBuffer) : FRequestedWriteBuffer;
        const DWORD n = count;
        count = 0;
        WriteLog(Reading ? QStringLiteral("Read complete ") : QStringLiteral("Write complete "), data,
                 static_cast<int>(n));
    }
    count = 0;
}

DWORD TFComPort::InputCount() {
    DWORD errors = 0;
    COMSTAT status{};
    Check(ClearCommError(FHandle, &errors, &status));
    if (errors != 0 && OnLineError) OnLineError(this, GetLineErrors(errors));
    return status.cbInQue;
}

DWORD TFComPort::OutputCount() {
    DWORD errors = 0;
    COMSTAT status{};
    Check(ClearCommError(FHandle, &errors, &status));
    if (errors != 0 && OnLineError) OnLineError(this, GetLineErrors(errors));
    return status.cbOutQue;
}

void TFComPort::CheckLineErrors() {
    CheckActive();
    DWORD errors = 0;
    Check(ClearCommError(FHandle, &errors, nullptr));
    if (errors != 0 && OnLineError) OnLineError(this, GetLineErrors(errors));
}

void TFComPort::ClearLineErrors() {
    CheckActive();
    DWORD errors = 0;
    Check(ClearCommError(FHandle, &errors, nullptr));
}

TModemStatus TFComPort::ModemStatus() {
    if (FDesigning) return {};
    CheckActive();
    DWORD status = 0;
    Check(GetCommModemStatus(FHandle, &status));
    TModemStatus result;
    if (status & MS_CTS_ON) result.Include(msCTS);
    if (status & MS_DSR_ON) result.Include(msDSR);
    if (status & MS_RING_ON) result.Include(msRing);
    if (status & MS_RLSD_ON) result.Include(msRLSD);
    return result;
}

// ---- Typed readers and writers ---------------------------------------------------

template <typename T>
T TFComPort::ReadValue() {
    BYTE bytes[sizeof(T)] = {};
    Read(bytes, sizeof(T), true);
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(bytes[i]) << (8 * i));
    return value;
}

BYTE TFComPort::ReadByte() {
    return ReadValue<BYTE>();
}
WORD TFComPort::ReadWord() {
    return ReadValue<WORD>();
}
DWORD TFComPort::ReadDWord() {
    return ReadValue<DWORD>();
}
char TFComPort::ReadAnsiChar() {
    return static_cast<char>(ReadValue<BYTE>());
}
QChar TFComPort::ReadChar() {
    return QChar(ReadValue<WORD>());
}

QByteArray TFComPort::ReadAnsiString() {
    WaitForReadCompletion();
    QByteArray result(static_cast<qsizetype>(InputCount()), Qt::Uninitialized);
    Read(result.data(), static_cast<int>(result.size()), true);
    return result;
}

QString TFComPort::ReadString() {
    WaitForReadCompletion();
    const int units = static_cast<int>(InputCount() / 2);
    QString result(units, Qt::Uninitialized);
    QByteArray bytes(units * 2, Qt::Uninitialized);
    Read(bytes.data(), units * 2, true);
    for (int i = 0; i < units; ++i)
        result[i] = QChar(static_cast<char16_t>(static_cast<BYTE>(bytes[2 * i]) |
                                                (static_cast<BYTE>(bytes[2 * i + 1]) << 8)));
    return result;
}

QByteArray TFComPort::ReadBytes() {
    QByteArray result(static_cast<qsizetype>(InputCount()), Qt::Uninitialized);
    Read(result.data(), static_cast<int>(result.size()), true);
    return result;
}

QString TFComPort::Read(QStringConverter::Encoding Encoding) {
    QStringDecoder decoder(Encoding);
    return decoder.decode(ReadBytes());
}

QByteArray TFComPort::ReadUntilBytes(BYTE Terminator) {
    QByteArray result;
    for (;;) {
        const BYTE b = ReadByte();
        result.append(static_cast<char>(b));
        if (b == Terminator) return result;
    }
}

QString TFComPort::ReadUntil(BYTE Terminator, QStringConverter::Encoding Encoding) {
    QStringDecoder decoder(Encoding);
    return decoder.decode(ReadUntilBytes(Terminator));
}

QByteArray TFComPort::ReadAnsiUntil(char Terminator) {
    QByteArray result;
    for (;;) {
        const char c = ReadAnsiChar();
        result.append(c);
        if (c == Terminator) return result;
    }
}

QString TFComPort::ReadUntil(QChar Terminator) {
    QString result;
    for (;;) {
        const QChar c = ReadChar();
        result.append(c);
        if (c == Terminator) return result;
    }
}

void TFComPort::WriteWord(WORD Value) {
    const BYTE bytes[2] = {static_cast<BYTE>(Value), static_cast<BYTE>(Value >> 8)};
    Write(bytes, 2, false);
}

void TFComPort::WriteDWord(DWORD Value) {
    const BYTE bytes[4] = {static_cast<BYTE>(Value), static_cast<BYTE>(Value >> 8),
                           static_cast<BYTE>(Value >> 16), static_cast<BYTE>(Value >> 24)};
    Write(bytes, 4, false);
}

void TFComPort::WriteChar(QChar Value) {
    WriteWord(Value.unicode());
}

void TFComPort::WriteString(const QString& Value) {
    QByteArray bytes;
    bytes.reserve(Value.size() * 2);
    for (QChar c : Value) {
        bytes.append(static_cast<char>(c.unicode() & 0xFF));
        bytes.append(static_cast<char>(c.unicode() >> 8));
    }
    Write(bytes.constData(), static_cast<int>(bytes.size()), false);
}

void TFComPort::Write(const QString& Value, QStringConverter::Encoding Encoding) {
    QStringEncoder encoder(Encoding);
    WriteBytes(encoder.encode(Value));
}

void TFComPort::WriteLine(const QString& Value, QStringConverter::Encoding Encoding) {
    Write(Value, Encoding);
    WriteAnsiChar('\r');
}

void TFComPort::WriteLineBytes(const QByteArray& Value) {
    WriteBytes(Value);
    WriteAnsiChar('\r');
}

void TFComPort::WriteAnsiLine(const QByteArray& Value) {
    WriteAnsiString(Value);
    WriteAnsiChar('\r');
}

void TFComPort::WriteLine(const QString& Value) {
    WriteString(Value);
    WriteChar(QChar(13));
}

// ---- Queue and line control --------------------------------------------------------

void TFComPort::Purge(DWORD Flags) {
    if (FHandle == INVALID_HANDLE_VALUE) return;
    Check(PurgeComm(FHandle, Flags));
}

void TFComPort::Flush() {
    if (FHandle == INVALID_HANDLE_VALUE) return;
    Check(FlushFileBuffers(FHandle));
}

void TFComPort::Escape(DWORD Function) {
    CheckActive();
    Check(EscapeCommFunction(FHandle, Function));
}

void TFComPort::TransmitChar(char Value) {
    CheckActive();
    Check(TransmitCommChar(FHandle, Value));
}

void TFComPort::SetBreak() {
    CheckActive();
    Check(SetCommBreak(FHandle));
}

void TFComPort::ClearBreak() {
    CheckActive();
    Check(ClearCommBreak(FHandle));
}
