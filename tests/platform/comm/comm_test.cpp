#include "platform/comm/comm.h"
#include "tests/support/PseudoTerminal.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The kernel's termios2, read with TCGETS2 to see the rate the line really has.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, KernelTermios2);

DCB Dcb(DWORD rate, BYTE bits, BYTE parity, BYTE stop) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = rate;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.ByteSize = bits;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    return dcb;
}

struct Event {
    Event(bool manual = true) : handle(CreateEventW(nullptr, manual, FALSE, nullptr)) {}
    ~Event() { CloseHandle(handle); }
    HANDLE handle;
};

class CommTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The test's own view of the line, for reading its settings back; opened
        // first, as an exclusive open keeps later opens out.
        view = ::open(pty.SlavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(view, 0);
        port = CreateFileW(pty.SlavePathUtf16().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << SysErrorMessage(GetLastError()).toStdString();
        DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
        ASSERT_TRUE(SetCommState(port, &dcb));
    }
    void TearDown() override {
        if (view >= 0) ::close(view);
        if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }

    DWORD InputCount() {
        DWORD errors = 0;
        COMSTAT stat{};
        EXPECT_TRUE(ClearCommError(port, &errors, &stat));
        return stat.cbInQue;
    }

    bool WaitInputCount(DWORD n) {
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            if (InputCount() == n) return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    // Starts an overlapped read; returns true when it is still pending.
    bool StartRead(void* buffer, DWORD size, OVERLAPPED& ov, HANDLE event) {
        ov = OVERLAPPED{};
        ov.hEvent = event;
        DWORD got = 0;
        if (ReadFile(port, buffer, size, &got, &ov)) return false;
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        return true;
    }

    PseudoTerminal pty;
    HANDLE port = INVALID_HANDLE_VALUE;
    int view = -1;
};

// ---- Opening ------------------------------------------------------------------------

TEST_F(CommTest, SecondOpenOfAnOpenPortIsRefused) {
    HANDLE second = CreateFileW(pty.SlavePathUtf16().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    ASSERT_TRUE(CloseHandle(port));
    port = CreateFileW(pty.SlavePathUtf16().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << "a closed port can be opened again";
}

TEST(CommOpen, ComNamesAreTheSerialDevices) {
    auto openError = [](const std::u16string& name) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        const DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        return error;
    };
    // Whatever the machine has, COMn and \\.\COMn behave exactly as /dev/ttyS{n-1}.
    for (int n : {1, 2, 9, 200}) {
        const std::string number = std::to_string(n);
        const std::u16string com(u"COM"), device(u"/dev/ttyS");
        const std::u16string num(number.begin(), number.end());
        const std::string below = std::to_string(n - 1);
        const DWORD expected = openError(device + std::u16string(below.begin(), below.end()));
        EXPECT_EQ(openError(com + num), expected) << n;
        EXPECT_EQ(openError(u"\\\\.\\COM" + num), expected) << n;
    }
    EXPECT_EQ(openError(u"COM200"), ERROR_FILE_NOT_FOUND);
}

TEST(CommOpen, ANameThatIsNotATerminalIsRefusedClearly) {
    HANDLE h = CreateFileW(u"/dev/null", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_BAD_UNIT);
    EXPECT_FALSE(SysErrorMessage(GetLastError()).isEmpty());
}

TEST(CommOpen, ClosedHandlesAreInvalid) {
    PseudoTerminal pty;
    HANDLE h = CreateFileW(pty.SlavePathUtf16().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));
    DCB dcb{};
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(h));
}

// ---- Settings -----------------------------------------------------------------------

struct LineCase {
    DCB dcb;
    tcflag_t size;
    tcflag_t parity;  // PARENB / PARODD / CMSPAR bits expected
    bool twoStops;
};

TEST_F(CommTest, SettingsReachTheLine) {
    const LineCase cases[] = {
        {Dcb(9600, 8, NOPARITY, ONESTOPBIT), CS8, 0, false},
        {Dcb(19200, 7, EVENPARITY, ONESTOPBIT), CS7, PARENB, false},
        {Dcb(2400, 7, ODDPARITY, TWOSTOPBITS), CS7, PARENB | PARODD, true},
        {Dcb(115200, 8, MARKPARITY, ONESTOPBIT), CS8, PARENB | PARODD | CMSPAR, false},
        {Dcb(4800, 6, SPACEPARITY, TWOSTOPBITS), CS6, PARENB | CMSPAR, true},
        {Dcb(31250, 8, NOPARITY, ONESTOPBIT), CS8, 0, false},
        {Dcb(300, 5, NOPARITY, ONE5STOPBITS), CS5, 0, true},
    };
    // Current kernels force 8 bits without parity on a pseudo-terminal;
    // where the line keeps them, they are checked too.
    KernelTermios2 probe{};
    ASSERT_EQ(ioctl(view, kTcGets2, &probe), 0);
    probe.c_cflag = (probe.c_cflag & ~CSIZE) | CS7 | PARENB;
    ASSERT_EQ(ioctl(view, kTcSets2, &probe), 0);
    ASSERT_EQ(ioctl(view, kTcGets2, &probe), 0);
    const bool keepsFraming = (probe.c_cflag & CSIZE) == CS7 && (probe.c_cflag & PARENB);
    if (!keepsFraming) std::printf("this line forces 8 bits without parity; those are not checked\n");

    for (const LineCase& c : cases) {
        DCB dcb = c.dcb;
        ASSERT_TRUE(SetCommState(port, &dcb)) << c.dcb.BaudRate << " " << GetLastError();
        termios tio{};
        ASSERT_EQ(tcgetattr(view, &tio), 0);
        if (keepsFraming) {
            EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.dcb.BaudRate;
            EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity) << c.dcb.BaudRate;
        }
        EXPECT_EQ((tio.c_cflag & CMSPAR) != 0, (c.parity & CMSPAR) != 0) << c.dcb.BaudRate;
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStops) << c.dcb.BaudRate;
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
        EXPECT_EQ(tio.c_oflag & OPOST, 0u) << "raw mode";
        KernelTermios2 tio2{};
        ASSERT_EQ(ioctl(view, kTcGets2, &tio2), 0);
        EXPECT_EQ(tio2.c_ospeed, c.dcb.BaudRate);

        DCB back{};
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(back.BaudRate, c.dcb.BaudRate);
        if (keepsFraming) {
            EXPECT_EQ(back.ByteSize, c.dcb.ByteSize);
            EXPECT_EQ(back.Parity, c.dcb.Parity);
            EXPECT_EQ(back.StopBits, c.dcb.StopBits);
        }
    }
}

TEST_F(CommTest, FlowControlReachesTheLine) {
    DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.fParity = 1;
    dcb.Parity = EVENPARITY;
    ASSERT_TRUE(SetCommState(port, &dcb));
    termios tio{};
    ASSERT_EQ(tcgetattr(view, &tio), 0);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_TRUE(tio.c_iflag & IXOFF);
    EXPECT_TRUE(tio.c_iflag & INPCK);
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);

    dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_EQ(tcgetattr(view, &tio), 0);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
}

TEST_F(CommTest, WhatTheLineCannotDoIsRefusedAndChangesNothing) {
    DCB good = Dcb(19200, 7, EVENPARITY, ONESTOPBIT);
    ASSERT_TRUE(SetCommState(port, &good));
    DCB bad[] = {Dcb(9600, 4, NOPARITY, ONESTOPBIT),   Dcb(9600, 9, NOPARITY, ONESTOPBIT),
                 Dcb(9600, 8, 5, ONESTOPBIT),          Dcb(9600, 8, NOPARITY, 3),
                 Dcb(9600, 8, NOPARITY, ONE5STOPBITS), Dcb(0, 8, NOPARITY, ONESTOPBIT),
                 Dcb(9600, 8, NOPARITY, ONESTOPBIT),   Dcb(9600, 8, NOPARITY, ONESTOPBIT)};
    bad[6].fOutxDsrFlow = 1;
    bad[7].fOutX = 1;
    bad[7].XonChar = bad[7].XoffChar = 0x11;
    for (DCB& dcb : bad) {
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    termios tio{};
    ASSERT_EQ(tcgetattr(view, &tio), 0);
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 19200u);
}

TEST_F(CommTest, ModemStatusOfALineWithoutModemSignalsIsEmpty) {
    DWORD status = 0xFFFF;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_TRUE(EscapeCommFunction(port, SETDTR));
    EXPECT_TRUE(EscapeCommFunction(port, CLRRTS));
    EXPECT_FALSE(EscapeCommFunction(port, 99));
}

TEST_F(CommTest, PropertiesDescribeASerialPort) {
    ASSERT_TRUE(SetupComm(port, 8192, 1024));
    COMMPROP prop{};
    ASSERT_TRUE(GetCommProperties(port, &prop));
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.dwServiceMask, SP_SERIALCOMM);
    EXPECT_TRUE(prop.dwSettableBaud & BAUD_USER);
    EXPECT_EQ(prop.wSettableData & DATABITS_8, DATABITS_8);
    EXPECT_EQ(prop.dwCurrentRxQueue, 8192u);
    EXPECT_EQ(prop.dwCurrentTxQueue, 1024u);
}

// ---- Timeouts -----------------------------------------------------------------------

struct TimeoutCase {
    const char* name;
    COMMTIMEOUTS timeouts;
    std::string before;  // waiting before the read starts
    std::string during;  // sent after it started
    DWORD wanted;
    DWORD expected;
    std::chrono::milliseconds atLeast;
};

TEST_F(CommTest, ReadsHonourTheTimeouts) {
    const TimeoutCase cases[] = {
        {"return at once, empty", {MAXDWORD, 0, 0, 0, 0}, "", "", 10, 0, 0ms},
        {"return at once, what is there", {MAXDWORD, 0, 0, 0, 0}, "abc", "", 10, 3, 0ms},
        {"total timeout", {0, 0, 300, 0, 0}, "ab", "", 10, 2, 250ms},
        {"total with multiplier", {0, 50, 100, 0, 0}, "", "", 4, 0, 250ms},
        {"enough bytes end a total timeout early", {0, 0, 60000, 0, 0}, "abcd", "", 4, 4, 0ms},
        {"interval after the first byte", {100, 0, 0, 0, 0}, "", "xyz", 10, 3, 80ms},
        {"first byte ends the wait", {MAXDWORD, MAXDWORD, 60000, 0, 0}, "", "q", 10, 1, 0ms},
        {"first byte wait gives up", {MAXDWORD, MAXDWORD, 300, 0, 0}, "", "", 10, 0, 250ms},
        {"no timeouts wait for every byte", {0, 0, 0, 0, 0}, "ab", "cd", 4, 4, 0ms},
    };
    for (const TimeoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
        COMMTIMEOUTS t = c.timeouts;
        ASSERT_TRUE(SetCommTimeouts(port, &t));
        if (!c.before.empty()) {
            ASSERT_TRUE(pty.Send(c.before));
            ASSERT_TRUE(WaitInputCount(static_cast<DWORD>(c.before.size())));
        }
        Event done;
        OVERLAPPED ov{};
        char buffer[64] = {};
        const auto start = Clock::now();
        StartRead(buffer, c.wanted, ov, done.handle);
        if (!c.during.empty()) {
            ASSERT_TRUE(pty.Send(c.during));
        }
        ASSERT_EQ(WaitForSingleObject(done.handle, 20000), WAIT_OBJECT_0);
        DWORD got = 0;
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, FALSE));
        EXPECT_EQ(got, c.expected);
        EXPECT_GE(Clock::now() - start, c.atLeast);
        EXPECT_EQ(std::string(buffer, got), (c.before + c.during).substr(0, got));
    }
}

TEST_F(CommTest, AReadWithoutTimeoutsStaysPendingUntilItIsFull) {
    SetTimeouts(0, 0, 0);
    Event done;
    OVERLAPPED ov{};
    char buffer[4];
    ASSERT_TRUE(StartRead(buffer, 4, ov, done.handle));
    ASSERT_TRUE(pty.Send("12"));
    EXPECT_EQ(WaitForSingleObject(done.handle, 200), WAIT_TIMEOUT);
    DWORD got = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &got, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_TRUE(pty.Send("34"));
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, TRUE));
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(buffer, 4), "1234");
}

TEST_F(CommTest, AWriteThatTimesOutSucceedsWithWhatWentOut) {
    // Nobody reads the master, so the line fills up.
    COMMTIMEOUTS t{0, 0, 0, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
    std::vector<char> data(4 << 20, 'x');
    Event done;
    OVERLAPPED ov{};
    ov.hEvent = done.handle;
    DWORD written = 0;
    if (!WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &written, TRUE));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, data.size());
}

// ---- Line events --------------------------------------------------------------------

TEST_F(CommTest, EveryByteOfOneArrivalGetsItsOwnWakeUp) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    SetTimeouts(MAXDWORD, 0, 0);
    Event wake(false);
    OVERLAPPED ov{};
    ov.hEvent = wake.handle;
    ASSERT_TRUE(pty.Send("12"));  // one write, two bytes
    std::string seen;
    for (int i = 0; i < 2; ++i) {
        DWORD mask = 0;
        if (!WaitCommEvent(port, &mask, &ov)) {
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_EQ(WaitForSingleObject(wake.handle, 10000), WAIT_OBJECT_0);
        }
        EXPECT_EQ(mask, EV_RXCHAR);
        char c = 0;
        DWORD got = 0;
        OVERLAPPED rov{};
        ASSERT_TRUE(ReadFile(port, &c, 1, &got, &rov));
        ASSERT_EQ(got, 1u);
        seen += c;
    }
    EXPECT_EQ(seen, "12");

    // Nothing left: the next wait stays pending until a new mask releases it.
    DWORD mask = 0xFF;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(wake.handle, 200), WAIT_TIMEOUT);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RXFLAG));
    ASSERT_EQ(WaitForSingleObject(wake.handle, 10000), WAIT_OBJECT_0);
    DWORD unused;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &unused, FALSE));
    EXPECT_EQ(mask, 0u);
}

// A byte read late still says when it came off the line: strokes are timed
// from their arrival, not from when the main thread got round to them.
TEST_F(CommTest, EachReadKnowsWhenItsLastByteArrived) {
    SetTimeouts(MAXDWORD, 0, 0);
    auto nowNs = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    };
    auto read = [&](DWORD n) {
        char buffer[8] = {};
        DWORD got = 0;
        OVERLAPPED ov{};
        EXPECT_TRUE(ReadFile(port, buffer, n, &got, &ov));
        EXPECT_EQ(got, n);
        std::int64_t arrival = -1;
        EXPECT_TRUE(GetCommReadArrival(port, &arrival));
        return std::make_pair(std::string(buffer, got), arrival);
    };
    std::int64_t arrival = -1;
    ASSERT_TRUE(GetCommReadArrival(port, &arrival));
    EXPECT_EQ(arrival, 0) << "nothing read yet";

    const std::int64_t first = nowNs();
    ASSERT_TRUE(pty.Send("1"));
    ASSERT_TRUE(WaitInputCount(1));
    std::this_thread::sleep_for(40ms);
    const std::int64_t second = nowNs();
    ASSERT_TRUE(pty.Send("23"));
    ASSERT_TRUE(WaitInputCount(3));
    std::this_thread::sleep_for(60ms);  // the reader comes late

    const auto [one, at1] = read(1);
    EXPECT_EQ(one, "1");
    EXPECT_GE(at1, first);
    EXPECT_LT(at1, second) << "stamped when it came, not when it was read";
    const auto [two, at2] = read(2);
    EXPECT_EQ(two, "23");
    EXPECT_GE(at2, second);
    EXPECT_LT(at2, second + 30000000);

    // Purged bytes take their times with them.
    ASSERT_TRUE(pty.Send("4"));
    ASSERT_TRUE(WaitInputCount(1));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    std::this_thread::sleep_for(30ms);
    const std::int64_t third = nowNs();
    ASSERT_TRUE(pty.Send("5"));
    ASSERT_TRUE(WaitInputCount(1));
    const auto [five, at3] = read(1);
    EXPECT_EQ(five, "5");
    EXPECT_GE(at3, third);

    CloseHandle(port);
    EXPECT_FALSE(GetCommReadArrival(port, &arrival));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    port = INVALID_HANDLE_VALUE;
}

TEST_F(CommTest, ASecondWaitWhileOneIsPendingIsRefused) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    Event a, b;
    OVERLAPPED first{}, second{};
    first.hEvent = a.handle;
    second.hEvent = b.handle;
    DWORD m1 = 0, m2 = 0;
    ASSERT_FALSE(WaitCommEvent(port, &m1, &first));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(WaitCommEvent(port, &m2, &second));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(port, 0));  // the records of the pending wait live on this stack
    EXPECT_EQ(WaitForSingleObject(a.handle, 10000), WAIT_OBJECT_0);
}

TEST_F(CommTest, TheEventCharacterIsReported) {
    DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
    dcb.EvtChar = '\r';
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_TRUE(SetCommMask(port, EV_RXFLAG));
    Event wake;
    OVERLAPPED ov{};
    ov.hEvent = wake.handle;
    DWORD mask = 0;
    ASSERT_TRUE(pty.Send("ab"));
    ASSERT_TRUE(WaitInputCount(2));
    if (!WaitCommEvent(port, &mask, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(WaitForSingleObject(wake.handle, 200), WAIT_TIMEOUT) << "no event character yet";
    ASSERT_TRUE(pty.Send("\r"));
    ASSERT_EQ(WaitForSingleObject(wake.handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, EV_RXFLAG);
}

TEST_F(CommTest, NullBytesAreDiscardedOnlyWhenAsked) {
    SetTimeouts(MAXDWORD, 0, 0);
    const std::string withNulls("a\0b\0\0c", 6);
    for (bool discard : {false, true}) {
        DCB dcb = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
        dcb.fNull = discard;
        ASSERT_TRUE(SetCommState(port, &dcb));
        ASSERT_TRUE(pty.Send(withNulls));
        const std::string expected = discard ? "abc" : withNulls;
        ASSERT_TRUE(WaitInputCount(static_cast<DWORD>(expected.size())));
        char buffer[16];
        DWORD got = 0;
        OVERLAPPED ov{};
        ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, &ov));
        EXPECT_EQ(std::string(buffer, got), expected);
    }
}

TEST_F(CommTest, TransmitEmptyIsReportedWhenTheOutputHasGone) {
    ASSERT_TRUE(SetCommMask(port, EV_TXEMPTY));
    Event wake;
    OVERLAPPED wov{}, ev{};
    wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ev.hEvent = wake.handle;
    DWORD mask = 0, written = 0;
    if (!WaitCommEvent(port, &mask, &ev)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    if (!WriteFile(port, "hello", 5, &written, &wov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(pty.Receive(5).size(), 5u);
    ASSERT_EQ(WaitForSingleObject(wake.handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, EV_TXEMPTY);
    ASSERT_TRUE(GetOverlappedResult(port, &wov, &written, TRUE));
    EXPECT_EQ(written, 5u);
    CloseHandle(wov.hEvent);
}

TEST_F(CommTest, ClosingReleasesAPendingWaitAndRead) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    SetTimeouts(0, 0, 0);
    Event waitDone, readDone;
    OVERLAPPED wov{}, rov{};
    wov.hEvent = waitDone.handle;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &wov));
    char buffer[8];
    ASSERT_TRUE(StartRead(buffer, sizeof buffer, rov, readDone.handle));

    std::thread waiter([&] { EXPECT_EQ(WaitForSingleObject(waitDone.handle, INFINITE), WAIT_OBJECT_0); });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    waiter.join();
    EXPECT_EQ(WaitForSingleObject(readDone.handle, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(wov.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(rov.Internal, ERROR_OPERATION_ABORTED);
}

TEST_F(CommTest, AWaitOnARecordThePortNeverHadEndsWithTheClose) {
    // Marked pending by something else: nothing on this port will complete it,
    // but the close must still end the wait (the waiter holds the port open).
    struct Shared {
        OVERLAPPED ov{};
        std::promise<std::pair<BOOL, DWORD>> outcome;
    };
    auto shared = std::make_shared<Shared>();
    shared->ov.Internal = STATUS_PENDING;
    auto outcome = shared->outcome.get_future();
    std::thread waiter([shared, port = port] {
        DWORD n = 0;
        const BOOL ok = GetOverlappedResult(port, &shared->ov, &n, TRUE);
        shared->outcome.set_value({ok, GetLastError()});
    });
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    if (outcome.wait_for(10s) != std::future_status::ready) {
        waiter.detach();
        FAIL() << "the wait outlived the handle";
    }
    waiter.join();
    const auto [ok, error] = outcome.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
}

TEST_F(CommTest, AHungUpLineEndsWaitsAndReadsWithAnError) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    SetTimeouts(0, 0, 0);
    Event waitDone, readDone;
    OVERLAPPED wov{}, rov{};
    wov.hEvent = waitDone.handle;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &wov));
    char buffer[8];
    ASSERT_TRUE(StartRead(buffer, sizeof buffer, rov, readDone.handle));

    ::close(view);
    view = -1;
    pty.CloseMaster();
    ASSERT_EQ(WaitForSingleObject(waitDone.handle, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(readDone.handle, 10000), WAIT_OBJECT_0);
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &wov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(GetOverlappedResult(port, &rov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Later calls fail at once instead of waiting for a line that is gone.
    EXPECT_FALSE(WaitCommEvent(port, &mask, &wov));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);
    COMSTAT stat{};
    EXPECT_FALSE(ClearCommError(port, nullptr, &stat));
}

TEST_F(CommTest, BytesReceivedBeforeAHangUpAreStillDelivered) {
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    SetTimeouts(MAXDWORD, 0, 0);
    ASSERT_TRUE(pty.Send("7"));
    ASSERT_TRUE(WaitInputCount(1));
    ::close(view);
    view = -1;
    pty.CloseMaster();

    Event wake;
    OVERLAPPED ov{};
    ov.hEvent = wake.handle;
    DWORD mask = 0;
    if (!WaitCommEvent(port, &mask, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_EQ(WaitForSingleObject(wake.handle, 10000), WAIT_OBJECT_0);
    }
    EXPECT_EQ(mask, EV_RXCHAR);
    char c = 0;
    DWORD got = 0;
    OVERLAPPED rov{};
    ASSERT_TRUE(ReadFile(port, &c, 1, &got, &rov));
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(c, '7');

    // Then the loss shows, even to a read that would return at once.
    const auto deadline = Clock::now() + 10s;
    BOOL ok = TRUE;
    while (ok && Clock::now() < deadline) {
        rov = OVERLAPPED{};
        ok = ReadFile(port, &c, 1, &got, &rov);
        if (ok) {
            EXPECT_EQ(got, 0u);
            std::this_thread::sleep_for(5ms);
        }
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// ---- Queues -------------------------------------------------------------------------

TEST_F(CommTest, QueueCountsAndPurge) {
    ASSERT_TRUE(pty.Send("12345"));
    ASSERT_TRUE(WaitInputCount(5));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_EQ(InputCount(), 0u);

    SetTimeouts(0, 0, 0);
    Event done;
    OVERLAPPED ov{};
    char buffer[4];
    ASSERT_TRUE(StartRead(buffer, sizeof buffer, ov, done.handle));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    ASSERT_EQ(WaitForSingleObject(done.handle, 10000), WAIT_OBJECT_0);
    DWORD got;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &got, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(PurgeComm(port, 0x100));
}

// Holds the service thread in the byte hook on chosen bytes, so that a test
// can change the port between the thread's read off the line and its queueing.
class HookGate {
public:
    explicit HookGate(std::string holds) : FHolds(std::move(holds)) {}
    // The n-th byte of FHolds (from 1) waits until Release(n) or ReleaseAll().
    bool Arrive(BYTE byte) {
        std::unique_lock lock(FLock);
        if (FArrived >= FHolds.size() || byte != BYTE(FHolds[FArrived])) return false;
        const std::size_t hold = ++FArrived;
        FChanged.notify_all();
        FChanged.wait(lock, [&] { return hold <= FReleased; });
        return false;
    }
    bool WaitHeld(std::size_t n) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, 20s, [&] { return FArrived >= n; });
    }
    void Release(std::size_t upTo) {
        std::lock_guard lock(FLock);
        FReleased = std::max(FReleased, upTo);
        FChanged.notify_all();
    }
    void ReleaseAll() { Release(SIZE_MAX); }

private:
    const std::string FHolds;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::size_t FArrived = 0;
    std::size_t FReleased = 0;
};

// Bytes read off the line while the received queue shrank wait for room. A
// read asking for more than the queue holds makes that room itself, on the
// service thread, and must still get every byte.
TEST_F(CommTest, AReadForMoreThanTheQueueHoldsGetsBytesHeldBackForRoom) {
    // Held on "T", then on the first byte of the next arrival.
    auto gate = std::make_shared<HookGate>("TA");
    ASSERT_TRUE(SetCommByteHook(port, [gate](BYTE b, std::int64_t) { return gate->Arrive(b); }));
    // Whatever fails below, the service thread is let go before the close.
    const std::unique_ptr<HookGate, void (*)(HookGate*)> letGo(gate.get(),
                                                               [](HookGate* g) { g->ReleaseAll(); });
    // Once a byte sent after the hook was set is queued, the thread's later
    // rounds offer every byte to it.
    ASSERT_TRUE(pty.Send("P"));
    ASSERT_TRUE(WaitInputCount(1));
    ASSERT_TRUE(pty.Send("T"));
    ASSERT_TRUE(gate->WaitHeld(1));  // the thread holds "T"; the queue still takes 4096
    std::string sent;
    for (int i = 0; i < 200; ++i) sent += char('A' + i % 26);
    ASSERT_TRUE(pty.Send(sent));
    // All of it readable at once, so the next read off the line takes it whole.
    const auto deadline = Clock::now() + 20s;
    int waiting = 0;
    while ((::ioctl(view, TIOCINQ, &waiting) != 0 || waiting < 200) && Clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(waiting, 200);
    gate->Release(1);
    ASSERT_TRUE(gate->WaitHeld(2));  // the 200 bytes are read, not yet queued
    ASSERT_TRUE(SetupComm(port, 64, 64));
    gate->ReleaseAll();

    SetTimeouts(0, 0, 0);
    Event done;
    OVERLAPPED ov{};
    std::vector<char> buffer(202);
    StartRead(buffer.data(), 202, ov, done.handle);
    ASSERT_EQ(WaitForSingleObject(done.handle, 20000), WAIT_OBJECT_0)
        << "the read stalled; queued " << InputCount();
    DWORD got = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &got, FALSE));
    EXPECT_EQ(std::string(buffer.data(), got), "PT" + sent);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);  // nothing was dropped
}

TEST_F(CommTest, EveryByteValueCrossesIntactBothWays) {
    std::vector<unsigned char> data(64 * 1024);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>((i * 7 + i / 256) & 0xFF);

    // Out: the port writes, the far end reads.
    Event wrote;
    OVERLAPPED wov{};
    wov.hEvent = wrote.handle;
    DWORD written = 0;
    if (!WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, &wov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    EXPECT_EQ(pty.Receive(data.size()), data);
    ASSERT_TRUE(GetOverlappedResult(port, &wov, &written, TRUE));
    EXPECT_EQ(written, data.size());

    // In: the far end writes while the port reads in pieces.
    SetTimeouts(0, 0, 0);
    std::thread sender([&] { EXPECT_TRUE(pty.Send(data.data(), data.size())); });
    std::vector<unsigned char> received(data.size());
    size_t at = 0;
    Event got;
    while (at < received.size()) {
        OVERLAPPED rov{};
        const DWORD piece = std::min<DWORD>(1000, static_cast<DWORD>(received.size() - at));
        StartRead(received.data() + at, piece, rov, got.handle);
        DWORD n = 0;
        ASSERT_TRUE(GetOverlappedResult(port, &rov, &n, TRUE));
        ASSERT_EQ(n, piece);
        at += n;
    }
    sender.join();
    EXPECT_EQ(received, data);
}

// ---- Closing while other threads use the port ----------------------------------

// What a closed port's descriptor numbers are given to next: a pseudo-terminal
// with input waiting on its slave, output waiting on its master and line
// settings of its own. A call that acts on a stale number changes one of them.
class Decoy {
public:
    Decoy() {
        if (openpty(&FMaster, &FSlave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
        for (int fd : {FMaster, FSlave}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        termios tio{};
        tcgetattr(FSlave, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B300);
        tcsetattr(FSlave, TCSANOW, &tio);
        tcgetattr(FSlave, &FSettings);
        if (::write(FMaster, kIn, std::strlen(kIn)) < 0 || ::write(FSlave, kOut, std::strlen(kOut)) < 0)
            throw std::runtime_error("decoy write");
    }
    ~Decoy() {
        ::close(FSlave);
        ::close(FMaster);
    }
    Decoy(const Decoy&) = delete;
    Decoy& operator=(const Decoy&) = delete;

    // Empty when both sides still hold exactly what was put there and the
    // settings are unchanged; otherwise what differs.
    std::string Disturbance() const {
        std::string found;
        const std::string in = Drain(FSlave, std::strlen(kIn));
        const std::string out = Drain(FMaster, std::strlen(kOut));
        if (in != kIn) found += "input became \"" + in + "\"; ";
        if (out != kOut) found += "output became \"" + out + "\"; ";
        termios now{};
        tcgetattr(FSlave, &now);
        if (now.c_iflag != FSettings.c_iflag || now.c_oflag != FSettings.c_oflag ||
            now.c_cflag != FSettings.c_cflag || now.c_lflag != FSettings.c_lflag ||
            cfgetispeed(&now) != cfgetispeed(&FSettings) || cfgetospeed(&now) != cfgetospeed(&FSettings))
            found += "line settings changed; ";
        return found;
    }

private:
    static constexpr const char* kIn = "decoy in";
    static constexpr const char* kOut = "decoy out";

    // What can be read, waiting only while fewer than `expected` bytes are there.
    static std::string Drain(int fd, size_t expected) {
        std::string data;
        const auto deadline = Clock::now() + 2s;
        for (;;) {
            char chunk[256];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0) {
                data.append(chunk, static_cast<size_t>(n));
                continue;
            }
            if (data.size() >= expected || Clock::now() >= deadline) return data;
            pollfd pfd{fd, POLLIN, 0};
            ::poll(&pfd, 1, 10);
        }
    }

    int FMaster = -1;
    int FSlave = -1;
    termios FSettings{};
};

size_t OpenDescriptors() {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// Threads call every kind of entry point on one port while another thread
// closes its handle and at once opens files that take the freed descriptor
// numbers. A call that the close overtook must still act on its own line (or
// fail), never on the new files; calls after the close fail with
// ERROR_INVALID_HANDLE; nothing crashes or hangs, and no descriptor is left
// open.
TEST(CommClose, CallsOvertakenByACloseNeverReachAnotherFile) {
    constexpr int kRounds = 60;
    constexpr int kThreads = 6;
    const size_t descriptorsBefore = OpenDescriptors();
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        PseudoTerminal pty;
        HANDLE port = CreateFileW(pty.SlavePathUtf16().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        DCB line = Dcb(9600, 8, NOPARITY, ONESTOPBIT);
        ASSERT_TRUE(SetCommState(port, &line));
        COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 1000};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

        std::atomic<bool> closed{false};
        std::atomic<bool> finished{false};
        std::atomic<int> lateSuccesses{0};
        std::atomic<DWORD> lateError{ERROR_INVALID_HANDLE};

        // The far end keeps sending strokes and takes what the port sends.
        std::thread farEnd([&] {
            while (!finished) {
                [[maybe_unused]] auto sent = ::write(pty.Master(), "1", 1);
                char chunk[512];
                while (::read(pty.Master(), chunk, sizeof chunk) > 0) {
                }
                pollfd pfd{pty.Master(), POLLIN, 0};
                ::poll(&pfd, 1, 1);
            }
        });

        std::vector<std::thread> users;
        for (int t = 0; t < kThreads; ++t) {
            users.emplace_back([&, t] {
                Event done;
                // Waits for an overlapped request that is pending: closing the
                // port ends it, so the records may leave the stack afterwards.
                auto settle = [&](BOOL started, OVERLAPPED& ov, DWORD& n) {
                    if (started) return TRUE;
                    if (GetLastError() != ERROR_IO_PENDING) return FALSE;
                    EXPECT_EQ(WaitForSingleObject(done.handle, INFINITE), WAIT_OBJECT_0);
                    return GetOverlappedResult(port, &ov, &n, FALSE);
                };
                const std::function<BOOL()> calls[] = {
                    [&] { return TransmitCommChar(port, 'x'); },
                    [&] {
                        DWORD errors = 0;
                        COMSTAT stat{};
                        return ClearCommError(port, &errors, &stat);
                    },
                    [&] {
                        DWORD status = 0;
                        return GetCommModemStatus(port, &status);
                    },
                    [&] {
                        char buffer[16];
                        DWORD n = 0;
                        OVERLAPPED ov{};
                        ov.hEvent = done.handle;
                        return settle(ReadFile(port, buffer, sizeof buffer, &n, &ov), ov, n);
                    },
                    [&] {
                        char buffer[16];
                        DWORD n = 0;
                        return ReadFile(port, buffer, sizeof buffer, &n, nullptr);
                    },
                    [&] {
                        DWORD n = 0;
                        OVERLAPPED ov{};
                        ov.hEvent = done.handle;
                        return settle(WriteFile(port, "wxyz", 4, &n, &ov), ov, n);
                    },
                    [&] {
                        DWORD n = 0;
                        return WriteFile(port, "w", 1, &n, nullptr);
                    },
                    [&] {
                        DWORD mask = 0, n = 0;
                        OVERLAPPED ov{};
                        ov.hEvent = done.handle;
                        if (WaitCommEvent(port, &mask, &ov)) return TRUE;
                        if (GetLastError() != ERROR_IO_PENDING) return FALSE;
                        SetCommMask(port, EV_RXCHAR);  // releases it, unless the close does
                        EXPECT_EQ(WaitForSingleObject(done.handle, INFINITE), WAIT_OBJECT_0);
                        return GetOverlappedResult(port, &ov, &n, FALSE);
                    },
                    [&] {
                        DWORD mask = 0;
                        return WaitCommEvent(port, &mask, nullptr);
                    },
                    [&] { return SetCommMask(port, EV_RXCHAR); },
                    [&] {
                        DWORD mask = 0;
                        return GetCommMask(port, &mask);
                    },
                    [&] {
                        return PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
                    },
                    [&] { return EscapeCommFunction(port, SETXON); },
                    [&] { return EscapeCommFunction(port, SETRTS); },
                    [&] { return SetCommBreak(port) && ClearCommBreak(port); },
                    [&] { return SetCommState(port, &line); },
                    [&] {
                        DCB dcb{};
                        return GetCommState(port, &dcb);
                    },
                    [&] { return SetupComm(port, 4096, 2048); },
                    [&] { return SetCommTimeouts(port, &timeouts); },
                    [&] {
                        COMMTIMEOUTS t{};
                        return GetCommTimeouts(port, &t);
                    },
                    [&] {
                        COMMPROP prop{};
                        return GetCommProperties(port, &prop);
                    },
                    [&] { return FlushFileBuffers(port); },
                    [&] { return CancelIo(port); },
                };
                const size_t count = std::size(calls);
                size_t next = static_cast<size_t>(t) * 5;
                // Until the close, then one more round of every call.
                for (size_t lateCalls = 0; lateCalls < count; ++next) {
                    const bool late = closed;
                    const BOOL ok = calls[next % count]();
                    if (!late) continue;
                    ++lateCalls;
                    if (ok)
                        ++lateSuccesses;
                    else if (GetLastError() != ERROR_INVALID_HANDLE)
                        lateError = GetLastError();
                }
            });
        }

        std::this_thread::sleep_for(std::chrono::microseconds(100 * (round % 20)));
        ASSERT_TRUE(CloseHandle(port));
        std::vector<std::unique_ptr<Decoy>> decoys;
        for (int i = 0; i < 4; ++i) decoys.push_back(std::make_unique<Decoy>());
        closed = true;
        for (auto& user : users) user.join();
        finished = true;
        farEnd.join();
        std::this_thread::sleep_for(5ms);  // for bytes still on their way inside the kernel

        for (size_t i = 0; i < decoys.size(); ++i) ASSERT_EQ(decoys[i]->Disturbance(), "") << "file " << i;
        EXPECT_EQ(lateSuccesses.load(), 0);
        EXPECT_EQ(lateError.load(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(OpenDescriptors(), descriptorsBefore) << "the ports' descriptors are all closed";
}

// ---- Events, errors, priorities ---------------------------------------------------

TEST(CommEvents, AutoResetWakesOneWaitManualResetStays) {
    Event manual(true), automatic(false);
    ASSERT_TRUE(SetEvent(automatic.handle));
    EXPECT_EQ(WaitForSingleObject(automatic.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic.handle, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(manual.handle));
    EXPECT_EQ(WaitForSingleObject(manual.handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual.handle, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual.handle));
    EXPECT_EQ(WaitForSingleObject(manual.handle, 50), WAIT_TIMEOUT);

    HANDLE both[] = {manual.handle, automatic.handle};
    std::thread setter([&] {
        std::this_thread::sleep_for(20ms);
        SetEvent(automatic.handle);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10000), WAIT_OBJECT_0 + 1);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CommErrors, TextsAreTheSystemTexts) {
    EXPECT_EQ(SysErrorMessage(ENOENT).toStdString(), std::string(std::strerror(ENOENT)));
    EXPECT_FALSE(SysErrorMessage(ERROR_IO_PENDING).isEmpty());
    EXPECT_NE(SysErrorMessage(ERROR_IO_PENDING), SysErrorMessage(ERROR_IO_INCOMPLETE));
    SetLastError(42);
    std::thread([] { EXPECT_EQ(GetLastError(), 0u); }).join();
    EXPECT_EQ(GetLastError(), 42u);
}

TEST(CommRecords, DcbFlagBitsSitWhereWindowsHasThem) {
    DCB dcb{};
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fAbortOnError = 1;
    EXPECT_EQ(DcbFlags(dcb), 0x1u | (0x2u << 4) | (0x3u << 12) | (0x1u << 14));
    DCB other{};
    SetDcbFlags(other, DcbFlags(dcb));
    EXPECT_EQ(other.fRtsControl, RTS_CONTROL_TOGGLE);
}

TEST(CommPriority, TheClassIsKeptForRestoring) {
    const DWORD before = GetPriorityClass(GetCurrentProcess());
    ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS));
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), HIGH_PRIORITY_CLASS);
    ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), before));
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), before);
    EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x12345));
}

TEST(CommPriority, TheIdleClassReachesThreadsThatAlreadyRun) {
    // Linux keeps a nice value per thread; a class is for the whole process.
    std::atomic<int> stage{0};
    std::atomic<int> seen{-100};
    std::thread other([&] {
        stage = 1;
        while (stage != 2) std::this_thread::sleep_for(1ms);
        seen = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    });
    while (stage != 1) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS));
    stage = 2;
    other.join();
    EXPECT_EQ(getpriority(PRIO_PROCESS, 0), 19);
    EXPECT_EQ(seen.load(), 19);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);  // may be refused without privileges
}

}  // namespace

// A hook set on a port already open and waiting (as the component opens
// one: hook, then purge) sees the very first byte after the purge; nothing
// of it reaches the readers.
TEST_F(CommTest, AHookSetWhileThePortWaitsSeesTheFirstByteAfterThePurge) {
    std::this_thread::sleep_for(10ms);  // let the service thread settle in its wait
    std::atomic<int> seen{0};
    ASSERT_TRUE(SetCommByteHook(port, [&seen](BYTE b, std::int64_t) {
        if (b == '7') seen.fetch_add(1);
        return true;
    }));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    ASSERT_TRUE(pty.Send(std::string("7")));
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!seen.load() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(seen.load(), 1) << "the hook never saw the byte";
    EXPECT_EQ(InputCount(), 0u);
}
