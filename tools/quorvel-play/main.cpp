// quorvel-play: plays one WAV file through a bell's player chain (file
// source, decoders, wave output device) and says what it did.
//
//   quorvel-play FILE [--output default|null|capture:PATH|ALSA-DEVICE] [--info]
//
// --info describes the file and the output (rate, period, latency, whether
// the mixer runs at real-time priority) and plays nothing. The exit status is 0 once
// the player reports its stop, 1 for a file or output it cannot play,
// 2 for a wrong command line.

#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "wavedata/MMWave.h"
#include "wavedata/MMWaveFormat.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaObject>
#include <QString>
#include <cstdio>
#include <exception>
#include <optional>

namespace {

void Print(FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

QString MessageOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Exception& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("unknown error");
    }
}

struct Options {
    QString File;
    std::optional<QString> Output;
    bool InfoOnly = false;
};

std::optional<Options> Parse(const QStringList& args) {
    Options o;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == "--info") {
            o.InfoOnly = true;
        } else if (a == "--output" && i + 1 < args.size()) {
            o.Output = args[++i];
        } else if (a.startsWith("--output=")) {
            o.Output = a.mid(9);
        } else if (a.startsWith("--") || !o.File.isEmpty()) {
            return std::nullopt;
        } else {
            o.File = a;
        }
    }
    if (o.File.isEmpty() || (o.Output && o.Output->isEmpty())) return std::nullopt;
    return o;
}

void Describe(const TMMWavePlayer& player) {
    const TMMWave* wave = player.Wave();
    const WAVEFORMATEX* f = wave->PWaveFormat();
    Print(stdout, QStringLiteral("File: %1").arg(player.FileName()));
    if (!f) {
        Print(stdout, QStringLiteral("Format: none"));
        return;
    }
    Print(stdout, QStringLiteral("Format: %1 (tag %2)").arg(wioGetFormatName(f)).arg(f->wFormatTag));
    Print(stdout, QStringLiteral("Description: %1").arg(wioGetFormat(f)));
    Print(stdout, QStringLiteral("Length: %1 ms, %2 data bytes")
                      .arg(wioSamplesToTime(f, wave->LengthSamples()))
                      .arg(wave->LengthBytes()));
}

}  // namespace

int main(int argc, char** argv) {
    // A command-line tool: no window, so no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    TGuiApplication app(argc, argv);

    const auto options = Parse(QCoreApplication::arguments());
    if (!options) {
        Print(stderr,
              QStringLiteral(
                  "usage: quorvel-play FILE [--output default|null|capture:PATH|ALSA-DEVICE] [--info]"));
        return 2;
    }

    int exitCode = 0;
    bool failed = false;
    // Errors during playback (a refill that fails) arrive here.
    Application.OnException = [&](std::exception_ptr error) {
        Print(stderr, QStringLiteral("quorvel-play: %1").arg(MessageOf(error)));
        failed = true;
        exitCode = 1;
        QCoreApplication::exit(1);
    };

    if (options->Output) {
        WaveOutSettings settings;
        settings.output = options->Output->toStdString();
        waveOutConfigure(settings);
    }

    int result = 0;
    {
        TMMWavePlayer player;
        player.SetBufferSize(2048);
        player.SetNumBuffers(10);
        player.SetDeviceID(0);
        player.SetTimeFormat(tfByte);
        player.SetCallBackMode(cmWindow);

        if (!QFileInfo::exists(options->File)) {
            Print(stderr, QStringLiteral("quorvel-play: %1: no such file").arg(options->File));
            return 1;
        }
        try {
            player.SetFileName(options->File);
        } catch (...) {
            Print(stderr, QStringLiteral("quorvel-play: %1: %2")
                              .arg(options->File, MessageOf(std::current_exception())));
            return 1;
        }
        Describe(player);
        if (options->InfoOnly) {
            waveOutGetNumDevs();  // starts the output, so that it can say how it runs
            Print(stdout, QStringLiteral("Output: %1")
                              .arg(QString::fromStdString(waveOutDescribe(waveOutGetStatus()))));
            return 0;
        }
        if (player.Wave()->Empty()) {
            Print(stderr, QStringLiteral("quorvel-play: %1: no sound data to play").arg(options->File));
            return 1;
        }

        QElapsedTimer clock;
        bool stopped = false;
        player.OnStart = [&](QObject*) {
            clock.start();
            Print(stdout,
                  QStringLiteral("Started on %1").arg(options->Output.value_or("the configured output")));
        };
        player.OnStop = [&](QObject*) {
            stopped = true;
            Print(stdout, QStringLiteral("Stopped after %1 ms").arg(clock.isValid() ? clock.elapsed() : 0));
            // Let a report of what closed the device come in first.
            QMetaObject::invokeMethod(
                qApp, [&] { QCoreApplication::exit(exitCode); }, Qt::QueuedConnection);
        };

        try {
            player.Play();
        } catch (...) {
            Print(stderr, QStringLiteral("quorvel-play: %1: %2")
                              .arg(options->File, MessageOf(std::current_exception())));
            waveOutShutdown();
            return 1;
        }
        if (!stopped || player.IsOpen()) result = app.exec();
        result = failed ? 1 : result;
    }
    waveOutShutdown();  // completes a capture file
    return result;
}
