// The serial entry points. Each reaches its port through HeldPort, which
// keeps the port's descriptors open until the call returns and refuses a
// port that is closing; requests are queued here and carried out by the
// port's service thread (Port.cpp).

#include "platform/comm/Port.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace comm_detail {
namespace {

using std::chrono::milliseconds;

std::string DevicePath(LPCWSTR name) {
    std::u16string text;
    for (const WCHAR* p = name; *p; ++p) text.push_back(*p);
    const QString path = QString::fromStdU16String(text);
    QString com = path;
    if (com.startsWith(QStringLiteral("\\\\.\\"))) com = com.mid(4);
    if (com.startsWith(QStringLiteral("COM"), Qt::CaseInsensitive)) {
        bool ok = false;
        const int n = com.mid(3).toInt(&ok);
        if (ok && n >= 1 && !com.mid(3).startsWith(QLatin1Char('+')))
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    return path.toStdString();
}

HANDLE Refuse(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Validates the record and the event of an overlapped request.
bool PrepareOperation(Operation& op, LPOVERLAPPED overlapped) {
    op.overlapped = overlapped;
    if (overlapped->hEvent) {
        op.event = Find<Event>(overlapped->hEvent);
        if (!op.event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        op.event->Reset();
    }
    overlapped->Internal = STATUS_PENDING;
    overlapped->InternalHigh = 0;
    return true;
}

// The outcome of a request, after waiting for it when asked. Closing the
// port ends every request it has, so a wait never outlasts the handle.
BOOL Result(HeldPort& port, LPOVERLAPPED overlapped, LPDWORD transferred, bool wait) {
    if (wait)
        port->FDone.wait(port.Lock(),
                         [&] { return overlapped->Internal != STATUS_PENDING || port->FStopping; });
    if (overlapped->Internal == STATUS_PENDING)
        return Fail(port->FStopping ? ERROR_INVALID_HANDLE : ERROR_IO_INCOMPLETE);
    if (transferred) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    if (overlapped->Internal != ERROR_SUCCESS) return Fail(static_cast<DWORD>(overlapped->Internal));
    return TRUE;
}

// Finishes a request just queued: at once, pending, or, when the caller gave
// no OVERLAPPED, by waiting for it on the port still held.
BOOL Finish(HeldPort& port, LPOVERLAPPED overlapped, LPDWORD transferred, bool synchronous) {
    if (synchronous) {
        port->Wake();
        return Result(port, overlapped, transferred, true);
    }
    // Taken under the lock: the service thread may complete it at any moment after.
    const ULONG_PTR status = overlapped->Internal;
    const ULONG_PTR count = overlapped->InternalHigh;
    port.Lock().unlock();
    port->Wake();
    if (status == STATUS_PENDING) return Fail(ERROR_IO_PENDING);
    if (transferred) *transferred = static_cast<DWORD>(count);
    if (status != ERROR_SUCCESS) return Fail(static_cast<DWORD>(status));
    return TRUE;
}

// Sets or clears modem lines; a line without them (a pseudo-terminal) has
// nothing to set.
int SetModemLine(int fd, int line, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
    return (errno == ENOTTY || errno == EINVAL) ? 0 : errno;
}

}  // namespace
}  // namespace comm_detail

using namespace comm_detail;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
    if (!lpFileName || dwCreationDisposition != OPEN_EXISTING) return Refuse(ERROR_INVALID_PARAMETER);
    const std::string path = DevicePath(lpFileName);
    int access = O_RDWR;
    if (!(dwDesiredAccess & GENERIC_WRITE)) access = O_RDONLY;
    if (!(dwDesiredAccess & GENERIC_READ) && (dwDesiredAccess & GENERIC_WRITE)) access = O_WRONLY;
    // From here every refusal closes what was opened.
    Descriptor line(::open(path.c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!line) return Refuse(errno);
    if (!::isatty(line.get())) return Refuse(ENOTTY);
    const bool exclusive = dwShareMode == 0;
    if (exclusive && ::flock(line.get(), LOCK_EX | LOCK_NB) != 0)
        return Refuse(errno == EWOULDBLOCK ? EBUSY : errno);
    if (int error = ClearSoftwareFlowControl(line.get())) return Refuse(error);
    RequestLowLatency(line.get());
    Descriptor wakeup(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!wakeup) return Refuse(errno);
    std::shared_ptr<Port> port;
    try {
        port = std::make_shared<Port>(std::move(line), std::move(wakeup));
    } catch (const std::bad_alloc&) {
        return Refuse(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (int error = port->Start(exclusive)) return Refuse(error);
    return AddHandle(std::move(port));
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpBuffer && nNumberOfBytesToRead) return Fail(ERROR_INVALID_PARAMETER);
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (port->Aborting()) return Fail(ERROR_OPERATION_ABORTED);
    OVERLAPPED own{};
    const bool synchronous = !lpOverlapped;
    LPOVERLAPPED overlapped = synchronous ? &own : lpOverlapped;
    ReadOp op;
    if (!PrepareOperation(op, overlapped)) return FALSE;
    const COMMTIMEOUTS& t = port->FTimeouts;
    const auto now = Clock::now();
    op.buffer = static_cast<BYTE*>(lpBuffer);
    op.wanted = nNumberOfBytesToRead;
    op.lastByte = now;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        op.immediate = true;
    } else if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
               t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        op.firstByteEnds = true;
        op.deadline = now + milliseconds(t.ReadTotalTimeoutConstant);
    } else {
        if (t.ReadIntervalTimeout != MAXDWORD) op.interval = t.ReadIntervalTimeout;
        const DWORD multiplier = t.ReadTotalTimeoutMultiplier == MAXDWORD ? 0 : t.ReadTotalTimeoutMultiplier;
        const unsigned long long total =
            static_cast<unsigned long long>(multiplier) * nNumberOfBytesToRead + t.ReadTotalTimeoutConstant;
        if (total) op.deadline = now + milliseconds(std::min<unsigned long long>(total, 1ull << 40));
    }
    port->FReads.push_back(op);
    port->Pump();
    return Finish(port, overlapped, lpNumberOfBytesRead, synchronous);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpBuffer && nNumberOfBytesToWrite) return Fail(ERROR_INVALID_PARAMETER);
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (port->Aborting()) return Fail(ERROR_OPERATION_ABORTED);
    OVERLAPPED own{};
    const bool synchronous = !lpOverlapped;
    LPOVERLAPPED overlapped = synchronous ? &own : lpOverlapped;
    WriteOp op;
    if (!PrepareOperation(op, overlapped)) return FALSE;
    op.data = static_cast<const BYTE*>(lpBuffer);
    op.size = nNumberOfBytesToWrite;
    const COMMTIMEOUTS& t = port->FTimeouts;
    const unsigned long long total =
        static_cast<unsigned long long>(t.WriteTotalTimeoutMultiplier) * nNumberOfBytesToWrite +
        t.WriteTotalTimeoutConstant;
    if (total) op.deadline = Clock::now() + milliseconds(std::min<unsigned long long>(total, 1ull << 40));
    port->FWrites.push_back(op);
    port->Pump();
    return Finish(port, overlapped, lpNumberOfBytesWritten, synchronous);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpOverlapped) return Fail(ERROR_INVALID_PARAMETER);
    return Result(port, lpOverlapped, lpNumberOfBytesTransferred, bWait);
}

BOOL CancelIo(HANDLE hFile) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    port->AbortAll(ERROR_OPERATION_ABORTED);
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    for (;;) {
        if (port->FStopping) return Fail(ERROR_OPERATION_ABORTED);
        if (port->FBroken) return Fail(port->FBroken);
        if (port->FWrites.empty() && port->KernelOutQueue() == 0) return TRUE;
        port->FDone.wait_for(port.Lock(), kCounterPeriod);
    }
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpEvtMask) return Fail(ERROR_INVALID_PARAMETER);
    // One wait at a time, and only for something that can happen.
    if (port->FWait || port->FMask == 0) return Fail(ERROR_INVALID_PARAMETER);
    OVERLAPPED own{};
    const bool synchronous = !lpOverlapped;
    LPOVERLAPPED overlapped = synchronous ? &own : lpOverlapped;
    WaitOp op;
    if (!PrepareOperation(op, overlapped)) return FALSE;
    op.mask = lpEvtMask;
    *lpEvtMask = 0;
    port->FWait = op;
    port->Pump();
    DWORD unused;
    return Finish(port, overlapped, &unused, synchronous);
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    port->FMask = dwEvtMask;
    port->FHistory = 0;
    if (port->FWait) {
        *port->FWait->mask = 0;
        Port::Complete(*port->FWait, ERROR_SUCCESS, 0);
        port->FWait.reset();
        port->FDone.notify_all();
    }
    port->Wake();
    return TRUE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpEvtMask) return Fail(ERROR_INVALID_PARAMETER);
    *lpEvtMask = port->FMask;
    return TRUE;
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpDCB) return Fail(ERROR_INVALID_PARAMETER);
    DCB dcb = port->FDcb;
    if (int error = ReadLineSettings(port->Fd(), dcb)) return Fail(error);
    dcb.DCBlength = sizeof(DCB);
    *lpDCB = dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpDCB) return Fail(ERROR_INVALID_PARAMETER);
    const int fd = port->Fd();
    if (int error = ApplyLineSettings(fd, *lpDCB)) return Fail(error);
    if (lpDCB->fDtrControl != DTR_CONTROL_HANDSHAKE)
        if (int error = SetModemLine(fd, TIOCM_DTR, lpDCB->fDtrControl == DTR_CONTROL_ENABLE))
            return Fail(error);
    if (lpDCB->fRtsControl == RTS_CONTROL_ENABLE || lpDCB->fRtsControl == RTS_CONTROL_DISABLE)
        if (int error = SetModemLine(fd, TIOCM_RTS, lpDCB->fRtsControl == RTS_CONTROL_ENABLE))
            return Fail(error);
    port->FDcb = *lpDCB;
    port->FDcb.DCBlength = sizeof(DCB);
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    // The kernel keeps its own queues; ours only bounds what is taken from it.
    port->SetInQueue(dwInQueue);
    port->FOutQueue = dwOutQueue;
    port->Wake();
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpCommTimeouts) return Fail(ERROR_INVALID_PARAMETER);
    *lpCommTimeouts = port->FTimeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpCommTimeouts) return Fail(ERROR_INVALID_PARAMETER);
    // Both read multiplier and constant at MAXDWORD is refused, as Windows does.
    if (lpCommTimeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
        lpCommTimeouts->ReadTotalTimeoutConstant == MAXDWORD)
        return Fail(ERROR_INVALID_PARAMETER);
    port->FTimeouts = *lpCommTimeouts;
    return TRUE;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    port->WatchCounters();
    if (port->FBroken) return Fail(port->FBroken);
    if (lpErrors) *lpErrors = port->FLineErrors;
    port->FLineErrors = 0;
    if (lpStat) {
        std::memset(lpStat, 0, sizeof *lpStat);
        lpStat->cbInQue = static_cast<DWORD>(port->FReceived.Size());
        DWORD pending = 0;
        for (auto& w : port->FWrites) pending += w.size - w.done;
        lpStat->cbOutQue = pending + static_cast<DWORD>(port->KernelOutQueue());
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (dwFlags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(ERROR_INVALID_PARAMETER);
    if (dwFlags & PURGE_TXABORT) {
        for (auto& w : port->FWrites) Port::Complete(w, ERROR_OPERATION_ABORTED, w.done);
        port->FWrites.clear();
    }
    if (dwFlags & PURGE_RXABORT) {
        for (auto& r : port->FReads) Port::Complete(r, ERROR_OPERATION_ABORTED, r.done);
        port->FReads.clear();
    }
    port->FDone.notify_all();
    if (dwFlags & PURGE_TXCLEAR) tcflush(port->Fd(), TCOFLUSH);
    if (dwFlags & PURGE_RXCLEAR) {
        port->ClearReceived();
        tcflush(port->Fd(), TCIFLUSH);
    }
    port->Wake();
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    const int fd = port->Fd();
    int error = 0;
    switch (dwFunc) {
        case SETXOFF:
            error = tcflow(fd, TCOOFF) == 0 ? 0 : errno;
            break;
        case SETXON:
            error = tcflow(fd, TCOON) == 0 ? 0 : errno;
            break;
        case SETRTS:
            error = SetModemLine(fd, TIOCM_RTS, true);
            break;
        case CLRRTS:
            error = SetModemLine(fd, TIOCM_RTS, false);
            break;
        case SETDTR:
            error = SetModemLine(fd, TIOCM_DTR, true);
            break;
        case CLRDTR:
            error = SetModemLine(fd, TIOCM_DTR, false);
            break;
        case RESETDEV:
            break;
        case SETBREAK:
            error = ioctl(fd, TIOCSBRK) == 0 ? 0 : errno;
            break;
        case CLRBREAK:
            error = ioctl(fd, TIOCCBRK) == 0 ? 0 : errno;
            break;
        default:
            error = EINVAL;
            break;
    }
    return error ? Fail(error) : TRUE;
}

BOOL SetCommBreak(HANDLE hFile) {
    return EscapeCommFunction(hFile, SETBREAK);
}
BOOL ClearCommBreak(HANDLE hFile) {
    return EscapeCommFunction(hFile, CLRBREAK);
}

BOOL TransmitCommChar(HANDLE hFile, char cChar) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (port->FBroken) return Fail(port->FBroken);
    const ssize_t n = ::write(port->Fd(), &cChar, 1);
    if (n != 1) return Fail(n < 0 ? errno : EAGAIN);
    port->FTxWatch = true;
    port->Wake();
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpModemStat) return Fail(ERROR_INVALID_PARAMETER);
    int lines = 0;
    if (ioctl(port->Fd(), TIOCMGET, &lines) != 0) {
        if (errno != ENOTTY && errno != EINVAL) return Fail(errno);
        lines = 0;
    }
    DWORD status = 0;
    if (lines & TIOCM_CTS) status |= MS_CTS_ON;
    if (lines & TIOCM_DSR) status |= MS_DSR_ON;
    if (lines & TIOCM_RNG) status |= MS_RING_ON;
    if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
    *lpModemStat = status;
    return TRUE;
}

BOOL GetCommReadArrival(HANDLE hFile, std::int64_t* lpArrivalNs) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpArrivalNs) return Fail(ERROR_INVALID_PARAMETER);
    *lpArrivalNs = port->FLastReadArrival;
    return TRUE;
}

BOOL ReadCommQueued(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                    std::int64_t* lpArrivalNs, LPDWORD lpErrors, LPDWORD lpLeft) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) return Fail(ERROR_INVALID_PARAMETER);
    *lpNumberOfBytesRead = 0;
    if (!port->FReads.empty()) return Fail(ERROR_IO_PENDING);
    if (port->Aborting()) return Fail(ERROR_OPERATION_ABORTED);
    port->WatchCounters();
    if (port->FBroken) return Fail(port->FBroken);
    if (port->Aborting()) return Fail(ERROR_OPERATION_ABORTED);
    if (lpErrors) *lpErrors = port->FLineErrors;
    port->FLineErrors = 0;
    const COMMTIMEOUTS& t = port->FTimeouts;
    const bool mayNotWait = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                            t.ReadTotalTimeoutConstant == 0;
    ReceiveRing& ring = port->FReceived;
    DWORD taken = 0;
    // A full ring keeps the service thread off the line: room made here must wake it.
    const bool wasFull = ring.Room() == 0;
    if (ring.Size() >= nNumberOfBytesToRead || mayNotWait) {
        auto* buffer = static_cast<BYTE*>(lpBuffer);
        for (; taken < nNumberOfBytesToRead && !ring.Empty(); ++taken) {
            buffer[taken] = ring.Front().byte;
            port->FLastReadArrival = ring.Front().arrival;
            ring.Pop();
        }
    }
    *lpNumberOfBytesRead = taken;
    if (lpArrivalNs) *lpArrivalNs = port->FLastReadArrival;
    if (lpLeft) *lpLeft = static_cast<DWORD>(ring.Size());
    if (wasFull && taken > 0) port->Wake();
    return TRUE;
}

BOOL SetCommByteHook(HANDLE hFile, std::function<bool(BYTE, std::int64_t)> Hook) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!Hook || !port->SetByteHook(std::move(Hook))) return Fail(ERROR_INVALID_PARAMETER);
    return TRUE;
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    HeldPort port(hFile);
    if (!port) return FALSE;
    if (!lpCommProp) return Fail(ERROR_INVALID_PARAMETER);
    COMMPROP p{};
    p.wPacketLength = sizeof(COMMPROP);
    p.wPacketVersion = 2;
    p.dwServiceMask = SP_SERIALCOMM;
    p.dwMaxTxQueue = 0;  // no fixed limit
    p.dwMaxRxQueue = 0;
    p.dwMaxBaud = BAUD_USER;
    p.dwProvSubType = PST_RS232;
    p.dwProvCapabilities = PCF_RTSCTS | PCF_RLSD | PCF_PARITY_CHECK | PCF_XONXOFF | PCF_SETXCHAR |
                           PCF_TOTALTIMEOUTS | PCF_INTTIMEOUTS | PCF_SPECIALCHARS;
    p.dwSettableParams =
        SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING | SP_PARITY_CHECK | SP_RLSD;
    p.dwSettableBaud = BAUD_075 | BAUD_110 | BAUD_134_5 | BAUD_150 | BAUD_300 | BAUD_600 | BAUD_1200 |
                       BAUD_1800 | BAUD_2400 | BAUD_4800 | BAUD_7200 | BAUD_9600 | BAUD_14400 | BAUD_19200 |
                       BAUD_38400 | BAUD_56K | BAUD_128K | BAUD_115200 | BAUD_57600 | BAUD_USER;
    p.wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
    p.wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE | PARITY_ODD | PARITY_EVEN |
                            PARITY_MARK | PARITY_SPACE;
    p.dwCurrentTxQueue = port->FOutQueue;
    p.dwCurrentRxQueue = port->FInQueue;
    *lpCommProp = p;
    return TRUE;
}

BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpdwSize) return Fail(ERROR_INVALID_PARAMETER);
    if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) {
        *lpdwSize = sizeof(COMMCONFIG);
        return Fail(ERROR_INVALID_PARAMETER);
    }
    COMMCONFIG config{};
    config.dwSize = sizeof(COMMCONFIG);
    config.wVersion = 1;
    config.dwProviderSubType = PST_RS232;
    if (!GetCommState(hCommDev, &config.dcb)) return FALSE;
    *lpCC = config;
    *lpdwSize = sizeof(COMMCONFIG);
    return TRUE;
}

BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!lpCC || dwSize < sizeof(COMMCONFIG)) return Fail(ERROR_INVALID_PARAMETER);
    return SetCommState(hCommDev, &lpCC->dcb);
}
