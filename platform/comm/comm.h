#pragma once

// Serial communications with the Windows contract, on Linux ttys.
//
// Handles (ports and events) are opaque values from one process-wide table;
// a closed or unknown handle fails with ERROR_INVALID_HANDLE, never crashes.
// Error codes are errno values (SysErrorMessage gives the system text);
// ERROR_IO_PENDING and ERROR_IO_INCOMPLETE keep their Windows numbers, which
// no errno uses.
//
// Overlapped operations are carried out by one service thread per port.
// Closing a port completes every pending operation (ERROR_OPERATION_ABORTED)
// and signals its event before CloseHandle returns; after that nothing
// writes to the caller's buffers or OVERLAPPED records any more. A call that
// another thread's close overtakes fails or finishes on that port's own line,
// whose descriptors close only when the last such call has returned: a
// descriptor number is never used after it may have gone to another file.
//
// EV_RXCHAR is level-style: a wait completes while received bytes are
// waiting to be read, so an application that reads one byte per wake-up
// still sees every byte.

#include "platform/base/wintypes.h"

#include <QString>
#include <cerrno>
#include <functional>

using WCHAR = char16_t;
using LPCWSTR = const WCHAR*;
using LPDWORD = DWORD*;
using LPCVOID = const void*;
using ULONG_PTR = std::uintptr_t;

// ---- Error codes --------------------------------------------------------------
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = ENOENT;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = ENOENT;
// A device that goes away (hung-up line, unplugged adapter) fails with EIO,
// which is 5, the number Windows reports for a removed serial device.
inline constexpr DWORD ERROR_ACCESS_DENIED = EIO;
inline constexpr DWORD ERROR_INVALID_HANDLE = EBADF;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = ENOMEM;
inline constexpr DWORD ERROR_GEN_FAILURE = EIO;
inline constexpr DWORD ERROR_SHARING_VIOLATION = EBUSY;
inline constexpr DWORD ERROR_NOT_SUPPORTED = EOPNOTSUPP;
inline constexpr DWORD ERROR_INVALID_PARAMETER = EINVAL;
inline constexpr DWORD ERROR_BAD_UNIT = ENOTTY;  // not a serial device
inline constexpr DWORD ERROR_OPERATION_ABORTED = ECANCELED;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;

DWORD GetLastError();
void SetLastError(DWORD code);
// The system's text for an error code (strerror for errno values).
QString SysErrorMessage(DWORD code);

// ---- Files ----------------------------------------------------------------
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 0x1;
inline constexpr DWORD FILE_SHARE_WRITE = 0x2;
inline constexpr DWORD CREATE_NEW = 1;
inline constexpr DWORD CREATE_ALWAYS = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD OPEN_ALWAYS = 4;
inline constexpr DWORD TRUNCATE_EXISTING = 5;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct OVERLAPPED {
    ULONG_PTR Internal;      // status of the operation: STATUS_PENDING, 0 or an error code
    ULONG_PTR InternalHigh;  // bytes transferred
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        } s;
        void* Pointer;
    } u;
    HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;
inline constexpr ULONG_PTR STATUS_PENDING = 0x103;

// Device names: "/dev/..." paths as they are; "COMn" and "\\.\COMn" are
// /dev/ttyS{n-1}. Sharing 0 opens the device exclusively. A name that is not
// a tty fails with ENOTTY.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait);
// Ends every pending operation of the handle with ERROR_OPERATION_ABORTED.
BOOL CancelIo(HANDLE hFile);
// Waits until the output queue has gone out to the line.
BOOL FlushFileBuffers(HANDLE hFile);

// ---- Events and waits -----------------------------------------------------------
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_ABANDONED = 0x80;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);

// ---- Communications records -----------------------------------------------------
inline constexpr DWORD CBR_110 = 110;
inline constexpr DWORD CBR_300 = 300;
inline constexpr DWORD CBR_600 = 600;
inline constexpr DWORD CBR_1200 = 1200;
inline constexpr DWORD CBR_2400 = 2400;
inline constexpr DWORD CBR_4800 = 4800;
inline constexpr DWORD CBR_9600 = 9600;
inline constexpr DWORD CBR_14400 = 14400;
inline constexpr DWORD CBR_19200 = 19200;
inline constexpr DWORD CBR_38400 = 38400;
inline constexpr DWORD CBR_56000 = 56000;
inline constexpr DWORD CBR_57600 = 57600;
inline constexpr DWORD CBR_115200 = 115200;
inline constexpr DWORD CBR_128000 = 128000;
inline constexpr DWORD CBR_256000 = 256000;

inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;

inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

inline constexpr DWORD DTR_CONTROL_DISABLE = 0x00;
inline constexpr DWORD DTR_CONTROL_ENABLE = 0x01;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 0x02;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0x00;
inline constexpr DWORD RTS_CONTROL_ENABLE = 0x01;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 0x02;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 0x03;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);
using LPDCB = DCB*;

// The flag word of a DCB (the third DWORD) as one value, and back.
DWORD DcbFlags(const DCB& dcb);
void SetDcbFlags(DCB& dcb, DWORD flags);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};
using LPCOMMTIMEOUTS = COMMTIMEOUTS*;

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};
using LPCOMSTAT = COMSTAT*;

struct COMMPROP {
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
};
static_assert(sizeof(COMMPROP) == 64);
using LPCOMMPROP = COMMPROP*;

struct COMMCONFIG {
    DWORD dwSize;
    WORD wVersion;
    WORD wReserved;
    DCB dcb;
    DWORD dwProviderSubType;
    DWORD dwProviderOffset;
    DWORD dwProviderSize;
    WCHAR wcProviderData[1];
};
static_assert(sizeof(COMMCONFIG) == 52);
using LPCOMMCONFIG = COMMCONFIG*;

// Events (SetCommMask / WaitCommEvent)
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_RXFLAG = 0x0002;
inline constexpr DWORD EV_TXEMPTY = 0x0004;
inline constexpr DWORD EV_CTS = 0x0008;
inline constexpr DWORD EV_DSR = 0x0010;
inline constexpr DWORD EV_RLSD = 0x0020;
inline constexpr DWORD EV_BREAK = 0x0040;
inline constexpr DWORD EV_ERR = 0x0080;
inline constexpr DWORD EV_RING = 0x0100;
inline constexpr DWORD EV_PERR = 0x0200;
inline constexpr DWORD EV_RX80FULL = 0x0400;
inline constexpr DWORD EV_EVENT1 = 0x0800;
inline constexpr DWORD EV_EVENT2 = 0x1000;

// Line errors (ClearCommError)
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;
inline constexpr DWORD CE_PTO = 0x0200;
inline constexpr DWORD CE_IOE = 0x0400;
inline constexpr DWORD CE_DNS = 0x0800;
inline constexpr DWORD CE_OOP = 0x1000;
inline constexpr DWORD CE_MODE = 0x8000;

inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// EscapeCommFunction
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD RESETDEV = 7;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;

// COMMPROP
inline constexpr DWORD SP_SERIALCOMM = 0x00000001;
inline constexpr DWORD PST_UNSPECIFIED = 0x00000000;
inline constexpr DWORD PST_RS232 = 0x00000001;

inline constexpr DWORD PCF_DTRDSR = 0x0001;
inline constexpr DWORD PCF_RTSCTS = 0x0002;
inline constexpr DWORD PCF_RLSD = 0x0004;
inline constexpr DWORD PCF_PARITY_CHECK = 0x0008;
inline constexpr DWORD PCF_XONXOFF = 0x0010;
inline constexpr DWORD PCF_SETXCHAR = 0x0020;
inline constexpr DWORD PCF_TOTALTIMEOUTS = 0x0040;
inline constexpr DWORD PCF_INTTIMEOUTS = 0x0080;
inline constexpr DWORD PCF_SPECIALCHARS = 0x0100;
inline constexpr DWORD PCF_16BITMODE = 0x0200;

inline constexpr DWORD SP_PARITY = 0x0001;
inline constexpr DWORD SP_BAUD = 0x0002;
inline constexpr DWORD SP_DATABITS = 0x0004;
inline constexpr DWORD SP_STOPBITS = 0x0008;
inline constexpr DWORD SP_HANDSHAKING = 0x0010;
inline constexpr DWORD SP_PARITY_CHECK = 0x0020;
inline constexpr DWORD SP_RLSD = 0x0040;

inline constexpr DWORD BAUD_075 = 0x00000001;
inline constexpr DWORD BAUD_110 = 0x00000002;
inline constexpr DWORD BAUD_134_5 = 0x00000004;
inline constexpr DWORD BAUD_150 = 0x00000008;
inline constexpr DWORD BAUD_300 = 0x00000010;
inline constexpr DWORD BAUD_600 = 0x00000020;
inline constexpr DWORD BAUD_1200 = 0x00000040;
inline constexpr DWORD BAUD_1800 = 0x00000080;
inline constexpr DWORD BAUD_2400 = 0x00000100;
inline constexpr DWORD BAUD_4800 = 0x00000200;
inline constexpr DWORD BAUD_7200 = 0x00000400;
inline constexpr DWORD BAUD_9600 = 0x00000800;
inline constexpr DWORD BAUD_14400 = 0x00001000;
inline constexpr DWORD BAUD_19200 = 0x00002000;
inline constexpr DWORD BAUD_38400 = 0x00004000;
inline constexpr DWORD BAUD_56K = 0x00008000;
inline constexpr DWORD BAUD_128K = 0x00010000;
inline constexpr DWORD BAUD_115200 = 0x00020000;
inline constexpr DWORD BAUD_57600 = 0x00040000;
inline constexpr DWORD BAUD_USER = 0x10000000;

inline constexpr WORD DATABITS_5 = 0x0001;
inline constexpr WORD DATABITS_6 = 0x0002;
inline constexpr WORD DATABITS_7 = 0x0004;
inline constexpr WORD DATABITS_8 = 0x0008;
inline constexpr WORD DATABITS_16 = 0x0010;
inline constexpr WORD DATABITS_16X = 0x0020;

inline constexpr WORD STOPBITS_10 = 0x0001;
inline constexpr WORD STOPBITS_15 = 0x0002;
inline constexpr WORD STOPBITS_20 = 0x0004;
inline constexpr WORD PARITY_NONE = 0x0100;
inline constexpr WORD PARITY_ODD = 0x0200;
inline constexpr WORD PARITY_EVEN = 0x0400;
inline constexpr WORD PARITY_MARK = 0x0800;
inline constexpr WORD PARITY_SPACE = 0x1000;

// ---- Communications functions ---------------------------------------------------
BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
// What the line cannot do (5-8 data bits, 1 or 2 stop bits, 1.5 only with
// 5 data bits, parity 0-4, a rate the driver takes) fails with EINVAL and
// leaves the line as it was.
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
// Completes a pending WaitCommEvent with an empty mask.
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL TransmitCommChar(HANDLE hFile, char cChar);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);
// On a line without modem signals (a pseudo-terminal) the status is empty.
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
// Ours, not the platform's: when the last byte of the port's latest
// completed read came off the line (CLOCK_MONOTONIC nanoseconds; 0 before
// any read). The service thread notes each byte's arrival as it takes it
// from the driver, so a reader that comes late still knows when it came.
BOOL GetCommReadArrival(HANDLE hFile, std::int64_t* lpArrivalNs);
// Our own: Hook runs on the port's service thread for each byte as it comes
// off the line, with its arrival (CLOCK_MONOTONIC ns), before the byte is
// queued; returning true consumes it (no read or RXCHAR event sees it). It
// must neither block nor wait for a lock. Set once per handle: a second one
// fails with ERROR_INVALID_PARAMETER.
// Our own: takes received bytes at once, in one call: all nNumberOfBytesToRead
// when that many are queued, what is queued when the read time-outs say a
// read does not wait, otherwise none. Also gives the last byte's arrival
// (as GetCommReadArrival), the line errors (taken, as ClearCommError does)
// and the bytes still queued. Fails with ERROR_IO_PENDING while a ReadFile
// is in progress.
BOOL ReadCommQueued(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                    std::int64_t* lpArrivalNs, LPDWORD lpErrors, LPDWORD lpLeft);
BOOL SetCommByteHook(HANDLE hFile, std::function<bool(BYTE Byte, std::int64_t ArrivalNs)> Hook);
BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize);
BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize);

// ---- Process priority classes ---------------------------------------------------
inline constexpr DWORD IDLE_PRIORITY_CLASS = 0x00000040;
inline constexpr DWORD BELOW_NORMAL_PRIORITY_CLASS = 0x00004000;
inline constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020;
inline constexpr DWORD ABOVE_NORMAL_PRIORITY_CLASS = 0x00008000;
inline constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080;
inline constexpr DWORD REALTIME_PRIORITY_CLASS = 0x00000100;

// The pseudo handle of the running process.
HANDLE GetCurrentProcess();
// The class last set (NORMAL_PRIORITY_CLASS at start), so that it can be
// restored; the nice value follows it where the system permits (a refused
// change is ignored, as the caller does not check it).
DWORD GetPriorityClass(HANDLE hProcess);
BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass);
