// The component on a real line: the slave side of a pseudo-terminal, with the
// test playing the receiver on the master.

#include "PtyPair.h"
#include "comport/FComPort.h"
#include "platform/base/Clock.h"
#include "platform/gui/Application.h"
#include "platform/gui/Synchronize.h"
#include "tests/support/EventPump.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

class ComPortLine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Pty.Valid());
        Port.SetDeviceName(Pty.SlavePath());
        Application.OnException = [this](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const Exception& x) {
                Reported << x.Message();
            } catch (...) {
                Reported << QStringLiteral("?");
            }
        };
    }
    void TearDown() override { Application.OnException = nullptr; }

    PtyPair Pty;
    TFComPort Port;
    QStringList Reported;  // what reached the standard error report
};

// The kernel's termios2, which carries any speed (its header cannot share a
// file with <termios.h>).
struct LineTermios {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
constexpr unsigned long GetLine = _IOR('T', 0x2A, LineTermios);
constexpr unsigned long SetLine = _IOW('T', 0x2B, LineTermios);
constexpr tcflag_t AnySpeed = 0010000;   // BOTHER
constexpr tcflag_t SpeedMask = 0010017;  // CBAUD

LineTermios LineSettings(int fd) {
    LineTermios t{};
    ::ioctl(fd, GetLine, &t);
    return t;
}

}  // namespace

// ---- Open and close ----------------------------------------------------------

TEST_F(ComPortLine, OpenAndCloseRunTheirEventsInOrder) {
    QStringList calls;
    Port.BeforeOpen = [&](TFComPort* p) { calls << QStringLiteral("BeforeOpen %1").arg(p->GetActive()); };
    Port.AfterOpen = [&](TFComPort* p) { calls << QStringLiteral("AfterOpen %1").arg(p->GetActive()); };
    Port.BeforeClose = [&](TFComPort* p) { calls << QStringLiteral("BeforeClose %1").arg(p->GetActive()); };
    Port.AfterClose = [&](TFComPort* p) { calls << QStringLiteral("AfterClose %1").arg(p->GetActive()); };
    Port.SetActive(true);
    Port.Open();  // already open: nothing
    EXPECT_TRUE(Port.GetActive());
    EXPECT_NE(Port.Handle(), INVALID_HANDLE_VALUE);
    Port.SetActive(false);
    Port.Close();  // already closed: nothing
    EXPECT_EQ(calls, QStringList({"BeforeOpen 0", "AfterOpen 1", "BeforeClose 1", "AfterClose 0"}));
    EXPECT_EQ(Port.Handle(), INVALID_HANDLE_VALUE);
}

TEST_F(ComPortLine, AStoredActiveOpensThePortOnlyOnceLoaded) {
    Port.BeginLoading();
    Port.SetActive(true);
    EXPECT_FALSE(Port.GetActive());
    Port.SetBaudRate(br9600);  // read after Active, still applied at the open
    Port.Loaded();
    EXPECT_TRUE(Port.GetActive());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(Port.Handle(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
}

TEST_F(ComPortLine, FailedOpensLeaveThePortClosedAndThePriorityAsItWas) {
    PtyPair other;
    TFComPort holder;
    holder.SetDeviceName(other.SlavePath());
    holder.Open();

    TempDir dir;
    QFile plain(dir.file(QStringLiteral("not-a-tty")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();

    const QString names[] = {QStringLiteral("/dev/quorvel-no-such-port"), other.SlavePath(),
                             plain.fileName()};
    for (const QString& name : names) {
        TFComPort port;
        port.SetDeviceName(name);
        port.SetPriorityClass(pcHigh);
        port.OnRxChar = [](QObject*) {};
        bool before = false, after = false;
        port.BeforeOpen = [&](TFComPort*) { before = true; };
        port.AfterOpen = [&](TFComPort*) { after = true; };
        int errors = 0;
        port.OnError = [&](TFComPort*, EComError&, TComAction&) { ++errors; };
        const DWORD priority = GetPriorityClass(GetCurrentProcess());
        try {
            port.SetActive(true);
            ADD_FAILURE() << "opened " << name.toStdString();
        } catch (const EComError& e) {
            EXPECT_NE(e.ErrorCode(), 0) << name.toStdString();
            EXPECT_EQ(e.Message(), SysErrorMessage(static_cast<DWORD>(e.ErrorCode())));
        }
        EXPECT_TRUE(before);
        EXPECT_FALSE(after);
        EXPECT_EQ(errors, 1);
        EXPECT_FALSE(port.GetActive());
        EXPECT_FALSE(port.HasEventThread());
        EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), priority);
    }
    EXPECT_TRUE(holder.GetActive());
}

TEST_F(ComPortLine, PriorityClassIsRaisedWhileOpen) {
    const DWORD before = GetPriorityClass(GetCurrentProcess());
    Port.SetPriorityClass(pcRealTime);
    Port.Open();
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), REALTIME_PRIORITY_CLASS);
    EXPECT_THROW(Port.SetPriorityClass(pcIdle), EComError);
    EXPECT_THROW(Port.SetDeviceName(QStringLiteral("/dev/ttyS0")), EComError);
    EXPECT_NO_THROW(Port.SetDeviceName(Pty.SlavePath()));
    EXPECT_EQ(Port.DeviceName(), Pty.SlavePath());
    Port.Close();
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), before);

    TFComPort plain;
    plain.SetDeviceName(Pty.SlavePath());
    plain.Open();
    EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), before);
}

TEST_F(ComPortLine, SettingsReachTheLineAtOpenAndAtOnceWhileOpen) {
    // A pseudo-terminal keeps speed, stop bits and flow control; it always
    // reports eight data bits without parity, so framing is not checked here.
    Port.SetBaudRate(br2400);
    Port.SetStopBits(sb2);
    Port.FlowControl().SetXOnXOff(xcInputOutput);
    Port.Open();
    LineTermios t = LineSettings(Pty.Slave());
    EXPECT_EQ(t.c_ospeed, 2400u);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_EQ(t.c_cc[VSTART], 17);
    EXPECT_EQ(t.c_cc[VSTOP], 19);

    Port.SetCustomBaudRate(31250);
    Port.SetStopBits(sb1);
    Port.FlowControl().SetXOnXOff(xcDisable);
    t = LineSettings(Pty.Slave());
    EXPECT_EQ(t.c_ospeed, 31250u);
    EXPECT_FALSE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_iflag & IXON);

    // What the line cannot do is refused with the system's error; the value
    // stays stored and the line keeps its settings.
    EXPECT_THROW(Port.SetDataBits(db16), EComError);
    EXPECT_EQ(Port.DataBits(), db16);
    EXPECT_EQ(LineSettings(Pty.Slave()).c_ospeed, 31250u);
}

TEST_F(ComPortLine, DefaultSettingsKeepTheLinesOwnSpeed) {
    LineTermios t = LineSettings(Pty.Slave());
    t.c_cflag &= ~SpeedMask;
    t.c_cflag |= AnySpeed;
    t.c_ispeed = t.c_ospeed = 4800;
    ASSERT_EQ(::ioctl(Pty.Slave(), SetLine, &t), 0);
    Port.Open();
    EXPECT_EQ(LineSettings(Pty.Slave()).c_ospeed, 4800u);
}

// ---- Line events -------------------------------------------------------------------

TEST_F(ComPortLine, EachByteRaisesOneRxCharOnTheMainThreadAndIsReadInOrder) {
    std::vector<BYTE> got;
    std::atomic<bool> offMain{false};
    Port.OnRxChar = [&](QObject* sender) {
        if (!IsMainThread()) offMain = true;
        got.push_back(static_cast<TFComPort*>(sender)->ReadByte());
    };
    Port.Open();
    EXPECT_TRUE(Port.HasEventThread());
    // Single strokes, then strokes that arrive together in one write.
    ASSERT_TRUE(Pty.Send("1", 1));
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 1; }));
    ASSERT_TRUE(Pty.Send("234ETabcd", 9));
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 10; }));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(got.data()), int(got.size())),
              QByteArray("1234ETabcd"));
    EXPECT_FALSE(offMain);
    // Nothing more arrives: no event without a byte.
    QThread::msleep(50);
    QCoreApplication::processEvents();
    EXPECT_EQ(got.size(), 10u);
}

// A stroke read late still knows when it came: each byte's arrival, not the
// moment the busy main thread read it.
TEST_F(ComPortLine, EachByteReadKnowsWhenItArrived) {
    std::vector<std::pair<BYTE, std::int64_t>> got;
    Port.OnRxChar = [&](QObject*) {
        const BYTE b = Port.ReadByte();
        got.emplace_back(b, Port.LastReadArrival());
    };
    Port.Open();
    EXPECT_EQ(Port.LastReadArrival(), 0);
    auto nowNs = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    const std::int64_t first = nowNs();
    ASSERT_TRUE(Pty.Send("1", 1));
    QThread::msleep(40);  // the main thread is busy elsewhere
    const std::int64_t second = nowNs();
    ASSERT_TRUE(Pty.Send("2", 1));
    QThread::msleep(40);
    const std::int64_t read = nowNs();
    ASSERT_TRUE(PumpUntil([&] { return got.size() == 2; }));
    EXPECT_GE(got[0].second, first);
    EXPECT_LT(got[0].second, second);
    EXPECT_GE(got[1].second, second);
    EXPECT_LT(got[1].second, read);
}

// The ringing engine's way in: each byte is offered on the service thread
// with its arrival before it is queued; a byte it takes never reaches a read.
TEST_F(ComPortLine, BytesTheArrivalHookTakesNeverReachOnRxChar) {
    struct Offered {
        BYTE byte;
        std::int64_t arrival;
        std::int64_t hookRan;
    };
    // Filled on the service thread without allocating: made before the open.
    std::vector<Offered> offered(64);
    std::atomic<int> count{0};
    std::atomic<bool> offMain{true};
    Port.SetOnRxByteArrived([&](TFComPort*, BYTE b, std::int64_t arrival) {
        const int i = count.load(std::memory_order_relaxed);
        if (IsMainThread()) offMain = false;
        if (i < int(offered.size())) offered[i] = {b, arrival, MonotonicNs()};
        count.store(i + 1, std::memory_order_release);
        return b >= '1' && b <= '9';  // strokes are the engine's
    });
    Port.Timeouts().SetReadInterval(-1);
    std::vector<std::pair<BYTE, std::int64_t>> read;
    Port.OnRxChar = [&](QObject*) {
        const BYTE b = Port.ReadByte();
        read.emplace_back(b, Port.LastReadArrival());
    };
    Port.Open();
    // Set only while closed.
    EXPECT_THROW(Port.SetOnRxByteArrived(nullptr), EComError);
    const std::int64_t before = MonotonicNs();
    ASSERT_TRUE(Pty.Send("1a2", 3));
    QThread::msleep(20);
    const std::int64_t between = MonotonicNs();
    ASSERT_TRUE(Pty.Send("b34c", 4));
    ASSERT_TRUE(PumpUntil([&] { return read.size() == 3; }));
    PumpFor(50);  // a stroke that reached OnRxChar would have by now
    ASSERT_EQ(count.load(std::memory_order_acquire), 7);
    EXPECT_TRUE(offMain);
    QByteArray all;
    for (int i = 0; i < 7; ++i) {
        all.append(char(offered[i].byte));
        EXPECT_GE(offered[i].arrival, before) << i;
        EXPECT_LE(offered[i].arrival, offered[i].hookRan) << i;
        if (i > 0) {
            EXPECT_GE(offered[i].arrival, offered[i - 1].arrival) << i;
        }
        EXPECT_EQ(offered[i].arrival < between, i < 3) << i;
    }
    EXPECT_EQ(all, QByteArray("1a2b34c"));
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].first, 'a');
    EXPECT_EQ(read[1].first, 'b');
    EXPECT_EQ(read[2].first, 'c');
    // A queued byte keeps the time it came, the one its hook was offered.
    EXPECT_EQ(read[0].second, offered[1].arrival);
    EXPECT_EQ(read[1].second, offered[3].arrival);
    EXPECT_EQ(read[2].second, offered[6].arrival);
    EXPECT_EQ(Port.InputCount(), 0u);
    Port.Close();
    Port.SetOnRxByteArrived(nullptr);
}

TEST_F(ComPortLine, BytesQueuedWhileTheMainThreadIsBusyAreAllRaisedInItsNextVisit) {
    std::vector<BYTE> got;
    Port.OnRxChar = [&](QObject*) { got.push_back(Port.ReadByte()); };
    Port.Open();
    ASSERT_TRUE(Pty.Send("1234567890", 10));
    QThread::msleep(200);  // the main thread is busy elsewhere
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(got.size(), 10u);
    // A handler that reads nothing is not called again and again.
    int calls = 0;
    Port.OnRxChar = [&](QObject*) { ++calls; };
    ASSERT_TRUE(Pty.Send("ab", 2));
    ASSERT_TRUE(PumpUntil([&] { return calls >= 1; }));
    EXPECT_EQ(Port.InputCount(), 2u);
}

TEST_F(ComPortLine, EveryByteValueAtFullSpeedArrivesOnceAndInOrder) {
    std::vector<BYTE> sent(64 * 1024);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<BYTE>((i * 7 + i / 256) & 0xFF);
    std::vector<BYTE> got;
    got.reserve(sent.size());
    Port.OnRxChar = [&](QObject*) { got.push_back(Port.ReadByte()); };
    Port.Open();
    std::atomic<bool> sentAll{false};
    std::thread receiver([&] { sentAll = Pty.Send(sent); });
    const bool arrived = PumpUntil([&] { return got.size() >= sent.size(); }, 90);
    receiver.join();
    ASSERT_TRUE(sentAll);
    ASSERT_TRUE(arrived) << got.size();
    EXPECT_TRUE(got == sent);
    EXPECT_EQ(Port.InputCount(), 0u);
}

TEST_F(ComPortLine, HandlersStartAndStopTheEventThread) {
    Port.Open();
    EXPECT_FALSE(Port.HasEventThread());
    int events = 0;
    Port.OnRxChar = [&](QObject*) {
        ++events;
        Port.ReadByte();
    };
    EXPECT_TRUE(Port.HasEventThread());
    ASSERT_TRUE(Pty.Send("x", 1));
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
    Port.OnRxChar = nullptr;
    EXPECT_FALSE(Port.HasEventThread());
    ASSERT_TRUE(Pty.Send("y", 1));
    QThread::msleep(50);
    QCoreApplication::processEvents();
    EXPECT_EQ(events, 1);
    EXPECT_EQ(Port.InputCount(), 1u);
}

TEST_F(ComPortLine, UnsynchronisedEventsRunOnTheEventThread) {
    Port.SetSynchronizeEvents(false);
    std::atomic<int> events{0};
    std::atomic<bool> onMain{false};
    Port.OnRxChar = [&](QObject*) {
        onMain = onMain || IsMainThread();
        Port.ReadByte();
        ++events;
    };
    Port.Open();
    EXPECT_THROW(Port.SetSynchronizeEvents(true), EComError);
    ASSERT_TRUE(Pty.Send("ab", 2));
    ASSERT_TRUE(PumpUntil([&] { return events == 2; }));
    EXPECT_FALSE(onMain);
}

TEST_F(ComPortLine, ClosingWhileTheThreadWaitsEndsItWithoutADispatch) {
    int events = 0;
    Port.OnRxChar = [&](QObject*) { ++events; };
    for (int i = 0; i < 20; ++i) {
        Port.Open();
        ASSERT_TRUE(Port.HasEventThread());
        Port.Close();
        EXPECT_FALSE(Port.HasEventThread());
    }
    ASSERT_TRUE(Pty.Send("z", 1));
    QThread::msleep(30);
    QCoreApplication::processEvents();
    EXPECT_EQ(events, 0);
}

TEST_F(ComPortLine, ClosingOrDestroyingWhileADispatchIsQueuedCallsNoHandler) {
    for (bool destroy : {false, true}) {
        auto* port = new TFComPort;
        port->SetDeviceName(Pty.SlavePath());
        int events = 0;
        port->OnRxChar = [&](QObject*) { ++events; };
        port->Open();
        ASSERT_TRUE(Pty.Send("q", 1));
        QThread::msleep(100);  // the event thread now waits for the main thread
        if (destroy) {
            delete port;
            port = nullptr;
        } else {
            port->Close();
        }
        QCoreApplication::processEvents();
        EXPECT_EQ(events, 0);
        delete port;
        ::tcflush(Pty.Slave(), TCIFLUSH);
    }
}

TEST_F(ComPortLine, AHandlerMayCloseThePort) {
    int events = 0;
    Port.OnRxChar = [&](QObject*) {
        ++events;
        Port.Close();
    };
    Port.Open();
    ASSERT_TRUE(Pty.Send("12", 2));
    ASSERT_TRUE(PumpUntil([&] { return !Port.GetActive(); }));
    QThread::msleep(30);
    QCoreApplication::processEvents();
    EXPECT_EQ(events, 1);
    EXPECT_FALSE(Port.HasEventThread());
    Port.Open();  // and it opens again
    EXPECT_TRUE(Port.GetActive());
}

TEST_F(ComPortLine, AnUnsynchronisedHandlerClosingHandsTheCloseToTheMainThread) {
    Port.SetSynchronizeEvents(false);
    std::atomic<bool> closedOnMain{false};
    std::atomic<bool> returned{false};
    Port.AfterClose = [&](TFComPort*) { closedOnMain = IsMainThread(); };
    Port.OnRxChar = [&](QObject*) {
        Port.Close();
        // Close returns only once the main thread has closed the port.
        returned = Port.Handle() == INVALID_HANDLE_VALUE;
    };
    Port.Open();
    ASSERT_TRUE(Pty.Send("1", 1));
    ASSERT_TRUE(PumpUntil([&] { return returned.load(); }));
    EXPECT_TRUE(closedOnMain);
}

TEST_F(ComPortLine, AnErrorInAHandlerIsReportedAndTheThreadKeepsWaiting) {
    int events = 0;
    Port.OnRxChar = [&](QObject*) {
        ++events;
        Port.ReadByte();
        if (events == 1) throw Exception(QStringLiteral("handler failed"));
    };
    Port.Open();
    ASSERT_TRUE(Pty.Send("1", 1));
    ASSERT_TRUE(PumpUntil([&] { return events == 1 && !Reported.isEmpty(); }));
    EXPECT_EQ(Reported, QStringList{QStringLiteral("handler failed")});
    ASSERT_TRUE(Pty.Send("2", 1));
    ASSERT_TRUE(PumpUntil([&] { return events == 2; }));
}

// Whatever ends the event thread, synchronised or not, the port closes (its
// after-close handling runs on the main thread) and the error is reported.
TEST_F(ComPortLine, AnEventThreadThatDiesOnAnyExceptionClosesThePortAndReports) {
    for (const bool synchronised : {true, false}) {
        SCOPED_TRACE(synchronised ? "synchronised" : "on the event thread");
        Reported.clear();
        Port.SetSynchronizeEvents(synchronised);
        int closed = 0;
        QStringList errors;
        Port.AfterClose = [&](TFComPort*) {
            EXPECT_TRUE(IsMainThread());
            ++closed;
        };
        Port.OnError = [&](TFComPort*, EComError& e, TComAction&) {
            EXPECT_TRUE(IsMainThread());
            errors << e.Message();
        };
        Port.OnRxChar = [&](QObject*) { throw std::runtime_error("handler broke"); };
        Port.Open();
        ASSERT_TRUE(Pty.Send("1", 1));
        ASSERT_TRUE(PumpUntil([&] { return !Port.GetActive() && !Reported.isEmpty(); }));
        const QString text = QStringLiteral("Listening on %1 stopped: handler broke").arg(Pty.SlavePath());
        EXPECT_EQ(Reported, QStringList{text});
        EXPECT_EQ(errors, QStringList{text});
        EXPECT_EQ(closed, 1);
        EXPECT_FALSE(Port.HasEventThread());
        Port.AfterClose = nullptr;
        Port.OnError = nullptr;
        // Told to end, a thread is not reported.
        Reported.clear();
        Port.OnRxChar = [&](QObject*) {};
        Port.Open();
        Port.Close();
        PumpFor(50);
        EXPECT_TRUE(Reported.isEmpty());
    }
}

TEST_F(ComPortLine, ADeviceThatGoesAwayEndsInAnErrorAndAClosedPort) {
    QList<int> codes;
    Port.OnError = [&](TFComPort*, EComError& e, TComAction&) {
        EXPECT_TRUE(IsMainThread());
        codes << e.ErrorCode();
    };
    Port.OnRxChar = [&](QObject*) { Port.ReadByte(); };
    Port.Open();
    Pty.CloseMaster();
    ASSERT_TRUE(PumpUntil([&] { return !Port.GetActive(); }));
    ASSERT_FALSE(codes.isEmpty());
    EXPECT_EQ(codes.first(), static_cast<int>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(PumpUntil([&] { return !Reported.isEmpty(); }));
    EXPECT_EQ(Reported.first(), SysErrorMessage(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Port.HasEventThread());
}

// ---- Reading and writing ------------------------------------------------------------

TEST_F(ComPortLine, ReadWaitsForItsBytes) {
    Port.Open();
    std::thread sender([&] {
        QThread::msleep(50);
        Pty.Send("\x31\x32\x33\x34", 4);
    });
    EXPECT_EQ(Port.ReadDWord(), 0x34333231u);
    sender.join();
    ASSERT_TRUE(Pty.Send("\x4F\x00\x4B\x00\x0D\x00", 6));
    EXPECT_EQ(Port.ReadLine(), QStringLiteral("OK\r"));
    ASSERT_TRUE(Pty.Send("AB\rxy", 5));
    EXPECT_EQ(Port.ReadAnsiLine(), QByteArray("AB\r"));
    ASSERT_TRUE(PumpUntil([&] { return Port.InputCount() == 2; }));
    EXPECT_EQ(Port.ReadAnsiString(), QByteArray("xy"));
    ASSERT_TRUE(Pty.Send("abcde", 5));
    ASSERT_TRUE(PumpUntil([&] { return Port.InputCount() == 5; }));
    EXPECT_EQ(Port.ReadString().size(), 2);  // four bytes as two code units
    EXPECT_EQ(Port.InputCount(), 1u);
    EXPECT_EQ(Port.ReadByte(), 'e');
}

TEST_F(ComPortLine, AReadThatRunsOutOfTimeRaisesTimeout) {
    Port.Timeouts().SetReadConstant(100);
    Port.Open();
    QElapsedTimer clock;
    clock.start();
    try {
        Port.ReadByte();
        FAIL() << "no error";
    } catch (const EComError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Timeout"));
        EXPECT_EQ(e.ErrorCode(), 0);
    }
    EXPECT_GE(clock.elapsed(), 90);
    EXPECT_FALSE(Port.ReadPending());
    // The bytes that did arrive are in the buffer.
    ASSERT_TRUE(Pty.Send("Q", 1));
    BYTE buf[3] = {};
    EXPECT_THROW(Port.Read(buf, 3, true), EComError);
    EXPECT_EQ(buf[0], 'Q');
}

// A port whose reads may not wait: a read with nothing waiting returns at once
// with no byte and says so as a short read does.
TEST_F(ComPortLine, AReadThatMayNotWaitReturnsAtOnceWithNothingWaiting) {
    Port.Timeouts().SetReadInterval(-1);
    QStringList errors;
    Port.OnError = [&](TFComPort*, EComError& e, TComAction&) { errors << e.Message(); };
    Port.Open();
    // Were the read to wait, this releases it so that the test fails rather than hangs.
    std::atomic<bool> returned{false};
    std::thread rescue([&] {
        for (int i = 0; i < 1000 && !returned; ++i) QThread::msleep(10);
        if (!returned) Pty.Send("x", 1);
    });
    bool raised = false;
    try {
        Port.ReadByte();
    } catch (const EComError& e) {
        raised = true;
        EXPECT_EQ(e.ErrorCode(), 0);
        EXPECT_EQ(e.Message(), QStringLiteral("Timeout"));
    }
    const bool waited = Port.InputCount() > 0;
    returned = true;
    rescue.join();
    ASSERT_FALSE(waited) << "the read waited for a byte";
    EXPECT_TRUE(raised);
    EXPECT_EQ(errors, QStringList{QStringLiteral("Timeout")});
    EXPECT_FALSE(Port.ReadPending());
    EXPECT_EQ(Port.LastReadArrival(), 0);
    // A byte that is there is taken.
    ASSERT_TRUE(Pty.Send("7", 1));
    ASSERT_TRUE(PumpUntil([&] { return Port.InputCount() == 1; }));
    EXPECT_EQ(Port.ReadByte(), '7');
    EXPECT_NE(Port.LastReadArrival(), 0);
}

// The received queue is a ring of the size asked for: a full one holds the
// line back (nothing is lost), and one made smaller than what it holds
// reports the bytes it cannot keep as an overflow.
TEST_F(ComPortLine, AFullReceiveQueueLosesNothingAndAShrunkOneReportsAnOverflow) {
    Port.BufferSizes().SetInput(64);
    // A read that stalls ends in "Timeout" and fails the test rather than hanging it.
    Port.Timeouts().SetReadConstant(20000);
    Port.Open();
    QByteArray sent;
    for (int i = 0; i < 200; ++i) sent.append(char('A' + i % 26));
    ASSERT_TRUE(Pty.Send(sent.constData(), sent.size()));
    ASSERT_TRUE(PumpUntil([&] { return Port.InputCount() == 64; }));
    BYTE got[200] = {};
    Port.Read(got, 200, true);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(got), 200), sent);

    Port.BufferSizes().SetInput(256);
    ASSERT_TRUE(Pty.Send(sent.constData(), 100));
    ASSERT_TRUE(PumpUntil([&] { return Port.InputCount() == 100; }));
    TLineErrors errors;
    Port.OnLineError = [&](QObject*, TLineErrors e) { errors = e; };
    Port.BufferSizes().SetInput(64);
    EXPECT_EQ(Port.InputCount(), 64u);
    EXPECT_TRUE(errors.Contains(leRxOverflow));
    // The oldest are kept.
    EXPECT_EQ(Port.ReadBytes(), sent.left(64));
}

TEST_F(ComPortLine, ZeroByteReadCallsItsEventsOnly) {
    Port.Open();
    QStringList calls;
    Port.BeforeRead = [&](QObject*, const void*, int n, bool) {
        calls << QStringLiteral("before %1").arg(n);
    };
    Port.AfterRead = [&](QObject*, const void*, int n, bool) { calls << QStringLiteral("after %1").arg(n); };
    Port.Read(nullptr, 0, true);
    EXPECT_EQ(calls, QStringList({"before 0", "after 0"}));
    EXPECT_FALSE(Port.ReadPending());
}

TEST_F(ComPortLine, WritesThatDoNotWaitKeepTheirOwnCopy) {
    Port.Open();
    {
        QByteArray scratch("hello");
        Port.Write(scratch.constData(), int(scratch.size()), false);
        scratch.fill('X');  // the caller's memory is free at once
    }
    Port.WriteWord(0x3231);
    Port.WriteLine(QStringLiteral("A"));
    const char wait[] = "!";
    Port.Write(wait, 1, true);
    EXPECT_FALSE(Port.WritePending());
    const std::vector<unsigned char> got = Pty.Receive(12);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(got.data()), int(got.size())),
              QByteArray("hello12A\0\r\0!", 12));
}

TEST_F(ComPortLine, ModemStatusAndCapabilitiesOfAnOpenLine) {
    Port.Open();
    EXPECT_TRUE(Port.ModemStatus().Empty());  // a pseudo-terminal has no modem lines
    COMMPROP prop;
    Port.GetCommProp(prop);
    EXPECT_TRUE(Port.SettableDataBits().Contains(db8));
    EXPECT_FALSE(Port.SettableDataBits().Contains(db4));
    EXPECT_TRUE(Port.SettableParity().Contains(paEven) == ((prop.wSettableStopParity & PARITY_EVEN) != 0));
    EXPECT_EQ(Port.BufferSizes().MaxInput(), static_cast<int>(prop.dwMaxRxQueue));
}

// ---- The log file ----------------------------------------------------------------------

TEST_F(ComPortLine, TheLogFileGetsOneLinePerOpenCloseEventReadAndWrite) {
    TempDir dir;
    const QString log = dir.file(QStringLiteral("port.log"));
    Port.SetLogFile(log);
    int events = 0;
    Port.OnRxChar = [&](QObject*) {
        Port.ReadByte();
        ++events;
    };
    Port.Open();
    const char bytes[] = {0x31, 0x0D};
    Port.Write(bytes, 2, true);
    ASSERT_EQ(Pty.Receive(2).size(), 2u);
    ASSERT_TRUE(Pty.Send("\xAB", 1));
    ASSERT_TRUE(PumpUntil([&] { return events == 1; }));
    Port.Close();

    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromLocal8Bit(file.readAll());
    EXPECT_TRUE(text.endsWith(QStringLiteral("\r\n")));
    QStringList lines = text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    // Each line: the local date, the time, one space, the message.
    const QString time = QLocale::system().toString(QTime(12, 34, 56), QLocale::LongFormat);
    const QString date = QLocale::system().toString(QDate(2001, 2, 3), QLocale::ShortFormat);
    const qsizetype words = date.split(QLatin1Char(' ')).size() + time.split(QLatin1Char(' ')).size();
    for (QString& line : lines) line = line.section(QLatin1Char(' '), int(words));
    EXPECT_EQ(lines, QStringList({QStringLiteral("Open ") + Pty.SlavePath(), "Write request $31, $0D",
                                  "Write complete $31, $0D", "RxChar event", "Read request 1 byte(s)",
                                  "Read complete $AB", QStringLiteral("Close ") + Pty.SlavePath()}));
}
