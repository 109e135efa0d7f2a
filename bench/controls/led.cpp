// Prints what lighting and putting out one bell's LED costs on the main
// thread: SetEnabled(true/false) on a 66 x 65 LED among sixteen on a shown
// 737 x 233 window, as on every bell stroke. Each call paints and flushes
// that LED before it returns. Run with QT_QPA_PLATFORM=offscreen and under a
// real X server (xvfb-run -a) to see the window system's share.

#include "bench/BenchStats.h"
#include "controls/MMLED.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFont>
#include <QGuiApplication>
#include <QLabel>
#include <QWidget>
#include <QWindow>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

int Toggles = 5000;  // the first argument overrides
constexpr int Paced = 300;
constexpr int IdleMs = 5;

// Counts paint events of the LEDs it watches.
class PaintCounter : public QObject {
public:
    std::vector<int> Paints = std::vector<int>(16, 0);
    std::vector<QObject*> Watched;
    bool eventFilter(QObject* o, QEvent* e) override {
        if (e->type() == QEvent::Paint)
            for (size_t i = 0; i < Watched.size(); ++i)
                if (Watched[i] == o) ++Paints[i];
        return false;
    }
};

struct Console {
    std::unique_ptr<QWidget> Window;
    std::vector<TMMLED*> LEDs;
    std::vector<QLabel*> Labels;
};

// The main window's bells: two rows of eight from (152, 8), 71 pixels
// apart, grey while out, no frame; optionally the bell numbers over them.
Console MakeConsole(bool labels) {
    Console c;
    c.Window = std::make_unique<QWidget>();
    c.Window->resize(737, 233);
    c.Window->setWindowTitle(QStringLiteral("LED benchmark"));
    QFont numbers(QStringLiteral("DejaVu Sans"));
    numbers.setPixelSize(27);
    numbers.setBold(true);
    for (int n = 0; n < 16; ++n) {
        auto* led = new TMMLED(c.Window.get());
        led->Bevel()->SetBevelOuter(bvNone);
        led->Bevel()->SetBevelInner(bvNone);
        led->SetColor(QColor(128, 128, 128));
        led->SetEnabled(false);
        led->SetTag(n + 1);
        led->SetBounds(152 + (n % 8) * 71, 8 + (n / 8) * 70, 66, 65);
        c.LEDs.push_back(led);
        if (labels) {
            auto* label = new QLabel(QString::number(n + 1), c.Window.get());
            label->setFont(numbers);
            label->adjustSize();
            label->move(led->x() + led->width() / 2 - label->width() / 2,
                        led->y() + led->height() / 2 - label->height() / 2);
            c.Labels.push_back(label);
        }
    }
    return c;
}

bool ShowAndWait(QWidget* w) {
    w->show();
    QElapsedTimer t;
    t.start();
    while (!(w->windowHandle() && w->windowHandle()->isExposed()) && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    // Let the first full paint and any late update requests go by.
    while (t.elapsed() < 5300) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return w->windowHandle() && w->windowHandle()->isExposed();
}

void Print(const char* what, const std::vector<double>& v) {
    std::printf("  %-40s n=%5zu  median %7.1f  p99 %7.1f  max %8.1f us\n", what, v.size(), Percentile(v, 50),
                Percentile(v, 99), *std::max_element(v.begin(), v.end()));
}

void Run(bool labels) {
    Console c = MakeConsole(labels);
    if (!ShowAndWait(c.Window.get())) {
        std::printf("window never exposed\n");
        return;
    }
    PaintCounter counter;
    for (TMMLED* led : c.LEDs) {
        counter.Watched.push_back(led);
        led->installEventFilter(&counter);
    }

    TMMLED* bell = c.LEDs[4];
    std::vector<double> on, off, same;
    on.reserve(Toggles);
    off.reserve(Toggles);
    same.reserve(Toggles);
    for (int i = 0; i < Toggles; ++i) {
        double t0 = NowUs();
        bell->SetEnabled(true);
        on.push_back(NowUs() - t0);
        QCoreApplication::processEvents();

        t0 = NowUs();
        bell->SetEnabled(true);  // already lit: nothing to do
        same.push_back(NowUs() - t0);

        t0 = NowUs();
        bell->SetEnabled(false);
        off.push_back(NowUs() - t0);
        QCoreApplication::processEvents();
    }
    // As strokes come: the event loop idle between changes, so caches and
    // the X server have gone cold each time.
    std::vector<double> pacedOn, pacedOff;
    auto idle = [] {
        QElapsedTimer s;
        s.start();
        while (s.elapsed() < IdleMs) QCoreApplication::processEvents(QEventLoop::AllEvents, IdleMs);
    };
    for (int i = 0; i < Paced; ++i) {
        idle();
        double t0 = NowUs();
        bell->SetEnabled(true);
        pacedOn.push_back(NowUs() - t0);
        idle();
        t0 = NowUs();
        bell->SetEnabled(false);
        pacedOff.push_back(NowUs() - t0);
    }

    // Late paints would show here.
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 200) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);

    std::printf("%s\n", labels ? "LEDs with their bell numbers over them" : "LEDs alone");
    Print("SetEnabled(true)  light, paint, flush", on);
    Print("SetEnabled(false) put out, paint, flush", off);
    Print("SetEnabled(true)  when already lit", same);
    std::printf("  with the event loop idle %d ms before each change:\n", IdleMs);
    Print("SetEnabled(true)", pacedOn);
    Print("SetEnabled(false)", pacedOff);
    int others = 0;
    for (int i = 0; i < 16; ++i)
        if (c.LEDs[i] != bell) others += counter.Paints[i];
    std::printf("  paints: that LED %d (of %d changes), the other fifteen %d\n", counter.Paints[4],
                2 * (Toggles + Paced), others);

    // For scale: the whole window painted and flushed at once.
    std::vector<double> whole;
    for (int i = 0; i < 500; ++i) {
        const double t0 = NowUs();
        c.Window->repaint();
        whole.push_back(NowUs() - t0);
        QCoreApplication::processEvents();
    }
    Print("whole window repaint(), for scale", whole);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc > 1 && std::atoi(argv[1]) > 0) Toggles = std::atoi(argv[1]);
    std::printf("LED on/off on the main thread, platform \"%s\", %d toggles each\n",
                qPrintable(QGuiApplication::platformName()), Toggles);
    Run(false);
    Run(true);
    return 0;
}
