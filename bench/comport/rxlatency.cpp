// How long a received byte takes to reach OnRxChar on the main thread: from
// the write of one byte on the receiver's side of a pseudo-terminal to the
// start of the handler, at random intervals, first with the main thread
// idle, then with it busy repainting a window without pause.

#include "comport/FComPort.h"
#include "platform/gui/Application.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Paints a busy picture and asks for the next paint at once.
class BusyWidget : public QWidget {
public:
    int Frames = 0;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        for (int i = 0; i < 400; ++i) {
            p.setPen(QColor::fromHsv((i * 7 + Frames) % 360, 200, 200));
            p.drawLine(i % width(), 0, width() - i % width(), height());
            p.drawText(i % width(), (i * 13) % height(), QStringLiteral("Bell %1").arg(i % 16 + 1));
        }
        ++Frames;
        update();
    }
};

struct Result {
    std::vector<double> LatencyMs;
    int Lost = 0;
};

Result Measure(const QString& slave, int master, int count, unsigned seed) {
    std::vector<Clock::time_point> sent(count);
    std::vector<double> latency;
    latency.reserve(count);
    std::atomic<int> written{0};

    TFComPort port;
    port.SetDeviceName(slave);
    port.SetBaudRate(br2400);
    port.SetDataBits(db8);
    port.SetParity(paNone);
    port.SetStopBits(sb1);
    port.SetPriorityClass(pcRealTime);
    port.OnRxChar = [&](QObject*) {
        const Clock::time_point start = Clock::now();
        const int index = static_cast<int>(latency.size());
        if (index < written.load(std::memory_order_acquire))
            latency.push_back(std::chrono::duration<double, std::milli>(start - sent[index]).count());
        port.ReadByte();
    };
    port.Open();

    std::thread receiver([&] {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> pause(1000, 5000);
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
            sent[i] = Clock::now();
            written.store(i + 1, std::memory_order_release);
            const char stroke = "1234567890ETABCD"[i % 16];
            if (::write(master, &stroke, 1) != 1) break;
        }
    });

    QEventLoop loop;
    QTimer check;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        const bool done = static_cast<int>(latency.size()) >= count;
        const bool stuck = written.load() >= count && clock.elapsed() > count * 6 + 5000;
        if (done || stuck) loop.quit();
    });
    check.start(50);
    loop.exec();
    receiver.join();
    port.Close();
    return {latency, count - static_cast<int>(latency.size())};
}

void Print(const char* label, Result r) {
    std::vector<double>& v = r.LatencyMs;
    if (v.empty()) {
        std::printf("%-34s no bytes arrived\n", label);
        return;
    }
    std::sort(v.begin(), v.end());
    const auto at = [&](double q) {
        return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1)))];
    };
    std::printf("%-34s n=%zu  median %.3f ms  p99 %.3f ms  max %.3f ms  lost %d\n", label, v.size(), at(0.5),
                at(0.99), v.back(), r.Lost);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TGuiApplication app(argc, argv);
    const int strokes = argc > 1 ? std::max(100, std::atoi(argv[1])) : 10000;

    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    const QString slavePath = QString::fromLocal8Bit(name);

    std::printf("Byte written on the receiver's side to the start of OnRxChar on the main thread\n");
    std::printf("(%d strokes at random 1-5 ms intervals; target median <= 0.3 ms, p99 <= 1 ms)\n", strokes);
    Print("main thread idle:", Measure(slavePath, master, strokes, 1));

    BusyWidget busy;
    busy.resize(800, 600);
    busy.show();
    QElapsedTimer frames;
    frames.start();
    Result r = Measure(slavePath, master, strokes / 2, 2);
    std::printf("(window repainting continuously: %.0f frames per second)\n",
                busy.Frames * 1000.0 / std::max<qint64>(1, frames.elapsed()));
    Print("main thread busy drawing:", r);
    ::close(master);
    ::close(slave);
    return 0;
}
