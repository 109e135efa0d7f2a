// The ringing engine below the window: it decides and schedules every
// stroke on its own real-time thread; the window hands it the bells'
// sounds and settings, and learns afterwards what was struck and heard
// (LEDs, the players' events, the striking record, the receiver's answers).

#include "app/MainForm.h"

#include "app/BellSound.h"
#include "app/ReceiverQuery.h"
#include "app/StrikingRecord.h"
#include "platform/base/Clock.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/Strikes.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "ringing/RingingEngine.h"
#include "wavedata/MMWave.h"

#include <QCheckBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

namespace {

// How long a closing window waits for the mixer to let go of its sounds.
constexpr std::int64_t kLetGoNs = 500'000'000;

}  // namespace

unsigned TfMainform::OutputRate() {
    const WaveOutStatus status = waveOutGetStatus();
    return status.running && status.rate ? status.rate : waveOutSettingsFromFile().rate;
}

void TfMainform::CreateEngine() {
    FEngine =
        std::make_unique<TRingingEngine>([](const WaveOutStrike& Strike) { return waveOutStrike(Strike); });
    // The engine's threads say "reports wait" by writing an eventfd: no
    // lock and no allocation there, and the main thread wakes for it.
    FEngineWake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FEngineWake < 0)
        throw Exception(QStringLiteral("The ringing engine cannot start: no event descriptor."));
    FEngineNotifier = new QSocketNotifier(FEngineWake, QSocketNotifier::Read, this);
    connect(FEngineNotifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t count = 0;
        (void)!::read(FEngineWake, &count, sizeof count);
        TakeRingingReports();
    });
    const int wake = FEngineWake;
    FEngine->OnReports = [wake] {
        const std::uint64_t one = 1;
        (void)!::write(wake, &one, sizeof one);
    };
    TRingingEngine* engine = FEngine.get();
    waveOutSetStrikeListener(
        [engine](const WaveOutStrikeReport& Report) { engine->TakeMixerReport(Report); });
    waveOutStartOutput();
    FEngine->Start();
}

void TfMainform::DestroyEngine() {
    if (!FEngine) return;
    // Every bell is silenced; the mixer then lets go of the sounds within a
    // few blocks. One it still holds when the wait ends is never freed.
    FEngine->SilenceAll(MonotonicNs());
    const std::int64_t until = MonotonicNs() + kLetGoNs;
    while (FEngine->SoundsInFlight() && MonotonicNs() < until) QThread::msleep(2);
    waveOutSetStrikeListener(nullptr);
    FEngine.reset();
    delete FEngineNotifier;
    FEngineNotifier = nullptr;
    if (FEngineWake >= 0) ::close(FEngineWake);
    FEngineWake = -1;
}

void TfMainform::PublishRinging() {
    if (!FEngine || FLoading) return;
    TRingingSettings settings;
    const unsigned rate = OutputRate();
    for (int n = 1; n <= kBellCount; ++n) {
        TMMWavePlayer* player = FPlayers[n];
        std::shared_ptr<TBellSound>& sound = FSounds[n];
        const QString file = player->FileName();
        if (file.isEmpty() || !player->Wave() || player->Wave()->Empty()) {
            sound.reset();
        } else if (!sound || sound->rate != rate || sound->Path != file.toStdString() ||
                   !sound->FileUnchanged()) {
            try {
                // A file changed on disk is read again first, as a play would.
                if (player->Wave()->FileChanged()) player->SetFileName(file);
                sound = DecodeBellSound(*player, rate);
            } catch (const Exception& e) {
                sound.reset();
                const QString message = QStringLiteral("%1 (bell %2: %3)").arg(e.Message()).arg(n).arg(file);
                if (ReportPlayFailure(n, message, false)) ReportLater(message);
            }
        }
        settings.Sounds[n] = sound;
        settings.DelayMs[n] = static_cast<int>(FTimers[n]->Interval());
    }
    settings.DelaysActive = FDelaysActive->isChecked();
    settings.GuardMs = GuardMs();
    FEngine->Publish(settings);
}

bool TfMainform::ReloadBellSound(int Bell) {
    TMMWavePlayer* player = FPlayers[Bell];
    const QString file = player->FileName();
    if (file.isEmpty()) return false;
    FSounds[Bell].reset();
    try {
        player->SetFileName(file);
    } catch (const Exception& e) {
        const QString message = QStringLiteral("%1 (bell %2: %3)").arg(e.Message()).arg(Bell).arg(file);
        if (ReportPlayFailure(Bell, message, false)) ReportLater(message);
        PublishRinging();
        return false;
    }
    PublishRinging();
    return FSounds[Bell] != nullptr;
}

void TfMainform::ReportLater(const QString& Message) {
    // Said after the handler returns: nothing on the way of a stroke waits
    // on a box (the bells sound on meanwhile, decided below the window).
    QTimer::singleShot(
        0, this, [Message] { Application.HandleException(std::make_exception_ptr(Exception(Message))); });
}

void TfMainform::TakeRingingReports() {
    if (!FEngine) return;
    // The mixer's reports first into hand, then the engine's: a blow is
    // always taken before the reports of its sound.
    std::vector<WaveOutStrikeReport> sounds;
    WaveOutStrikeReport sound;
    while (FEngine->NextSoundReport(sound)) sounds.push_back(sound);
    TRingingReport report;
    while (FEngine->NextReport(report)) TakeEngineReport(report);
    for (const WaveOutStrikeReport& s : sounds) TakeSoundReport(s);
}

void TfMainform::TakeEngineReport(const TRingingReport& Report) {
    const int bell = Report.Bell;
    switch (Report.Kind) {
        case TRingingReport::Struck:
            // The bell's timer shows its delay running, as it always has.
            if (Report.Delayed)
                FTimers[bell]->StartFrom(Report.TimeNs);
            else
                FTimers[bell]->SetEnabled(false);
            break;
        case TRingingReport::Byte:
            FReceiverQuery->Take(Report.Value, Report.TimeNs);
            break;
        case TRingingReport::Stale:
        case TRingingReport::NoSound:
            // A file changed, or one that failed before, is read again (or
            // refused) before the stroke is decided again with its own time:
            // a delayed start still lands on time.
            if (!ReloadBellSound(bell)) break;
            if (Report.Source == TStrokeSource::Line || Report.Source == TStrokeSource::Key)
                FEngine->Stroke(bell, Report.TimeNs, Report.Source);
            else
                FEngine->Sound(bell, Report.TimeNs, Report.Source);
            break;
        case TRingingReport::Lost: {
            const WaveOutStatus status = waveOutGetStatus();
            ReportPlayFailure(bell, QString::fromStdString(status.error), true);
            break;
        }
        case TRingingReport::Bounce:
            break;
    }
}

void TfMainform::TakeSoundReport(const WaveOutStrikeReport& Report) {
    const int bell = Report.slot + 1;
    if (bell < 1 || bell > kBellCount) return;
    TMMWavePlayer* player = FPlayers[bell];
    switch (Report.kind) {
        case WaveOutStrikeReport::Started:
            // It plays again: a failure after this is news.
            FPlayFailure[bell].clear();
            FShownBlow[bell] = Report.blow;
            player->ShowSounding(true);
            if (FStrikingRecord) FStrikingRecord->Heard(bell, Report.heardNs, Report.requestNs);
            break;
        case WaveOutStrikeReport::Ended:
        case WaveOutStrikeReport::Silenced:
            if (FShownBlow[bell] != Report.blow) break;
            FShownBlow[bell] = 0;
            player->ShowSounding(false);
            break;
        case WaveOutStrikeReport::Replaced:
            break;
    }
}
