// The ringing engine below the window: it decides and schedules every
// stroke on its own real-time thread; the window hands it the bells'
// sounds and settings, and learns afterwards what was struck and heard
// (LEDs, the players' events, the striking record, the receiver's answers).

#include "app/MainForm.h"

#include "app/BellSound.h"
#include "app/ReceiverQuery.h"
#include "app/StrikingRecord.h"
#include "comport/FComPort.h"
#include "platform/base/Clock.h"
#include "platform/base/Exception.h"
#include "platform/gui/Application.h"
#include "platform/gui/Timer.h"
#include "platform/waveout/Strikes.h"
#include "platform/waveout/waveout.h"
#include "playback/MMWavePlayer.h"
#include "ringing/Muffle.h"
#include "ringing/RingingEngine.h"
#include "wavedata/MMWave.h"

#include <QCheckBox>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

// How long a closing window waits for the mixer to let go of its sounds.
constexpr std::int64_t kLetGoNs = 500'000'000;
// How long the window waits for the engine to decide its own stroke.
constexpr std::int64_t kSettleNs = 20'000'000;

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
    // Each byte is decided where it comes off the line, on the port's
    // service thread: a window that is busy or blocked delays no bell. The
    // byte still reaches the port's queue and its OnRxChar, as every byte
    // does; the window only takes it off there.
    FComPort->SetOnRxByteArrived([engine](TFComPort*, BYTE Byte, std::int64_t ArrivalNs) {
        engine->TakeByte(Byte, ArrivalNs);
        return false;
    });
}

void TfMainform::DestroyEngine() {
    if (!FEngine) return;
    // Every bell is silenced and no start is left to come; the mixer then
    // lets go of the sounds within a few blocks. One it still holds when the
    // wait ends is never freed.
    FEngine->StopAll(MonotonicNs());
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
        settings.BackDelayMs[n] = FBackDelayMs[n];
        settings.VolumeDb[n] = FVolumeDb[n];
        settings.Muffles[n] = static_cast<TMuffle>(FMuffle[n]);
        // A muffled bell's muffled sound is made here, when its sound is
        // new, never on a stroke's way.
        const bool muffled = sound && FMuffle[n] != 0;
        if (!sound) FMuffled[n].reset();
        if (muffled && FMuffledFrom[n].lock() != sound) {
            FMuffled[n] = MakeMuffled(*sound);
            FMuffledFrom[n] = sound;
        }
        settings.Muffled[n] = muffled ? FMuffled[n] : nullptr;
    }
    settings.MasterDb = FMasterDb;
    settings.DelaysActive = FDelaysActive->isChecked();
    settings.GuardMs = GuardMs();
    FSoundsRate = rate;
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

bool TfMainform::EnsureOutput() {
    WaveOutStatus status = waveOutGetStatus();
    if (!status.running || status.failed) {
        waveOutStartOutput();
        status = waveOutGetStatus();
        UpdateOutputStatus();
    }
    if (status.running && status.rate && status.rate != FSoundsRate) PublishRinging();
    return status.running && !status.failed;
}

void TfMainform::SwitchOutputIfSilent() {
    if (FOutputChosen.isEmpty() || !AllStopped()) return;
    const std::string output = FOutputChosen.toStdString();
    FOutputChosen.clear();
    // The same output chosen again is tried again.
    waveOutSetOutput(output);
    EnsureOutput();
    UpdateOutputStatus();
}

void TfMainform::ReportOutputLoss() {
    if (FOutputLossReported) return;
    FOutputLossReported = true;
    UpdateOutputStatus();
    WCHAR text[256] = {};
    waveOutGetErrorText(MMSYSERR_NODRIVER, text, 255);
    ReportLater(QStringLiteral("WaveOutWrite:\n\r") + QString::fromUtf16(text));
}

void TfMainform::StrikeNow(int Bell, std::int64_t TimeNs, TStrokeSource Source) {
    if (!FEngine) return;
    EnsureOutput();
    if (Source == TStrokeSource::Line || Source == TStrokeSource::Key)
        FEngine->Stroke(Bell, TimeNs, Source);
    else
        FEngine->Sound(Bell, TimeNs, Source);
    // The engine decides in microseconds; should it not get to it in time,
    // the stroke is shown when its report comes, as a receiver's is.
    if (FEngine->Settle(kSettleNs)) TakeRingingReports();
}

void TfMainform::TakeRingingReports() {
    if (!FEngine) return;
    // The mixer's reports first into hand, then the engine's: a blow is
    // always taken before the reports of its sound.
    std::vector<WaveOutStrikeReport> sounds;
    WaveOutStrikeReport sound;
    while (FEngine->NextSoundReport(sound)) sounds.push_back(sound);
    std::vector<TRingingReport> reports;
    TRingingReport report;
    while (FEngine->NextReport(report)) reports.push_back(report);
    for (const TRingingReport& r : reports) {
        // A blow the mixer refused is never shown sounding, not even for a moment.
        if (r.Kind == TRingingReport::Struck &&
            std::any_of(reports.begin(), reports.end(), [&r](const TRingingReport& o) {
                return o.Kind == TRingingReport::Lost && o.Blow == r.Blow;
            }))
            continue;
        TakeEngineReport(r);
    }
    for (const WaveOutStrikeReport& s : sounds) TakeSoundReport(s);
    // A strike that ended without ever sounding closes no player: a close
    // or an output waiting for silence looks again.
    SwitchOutputIfSilent();
    CloseIfSilent();
}

void TfMainform::TakeEngineReport(const TRingingReport& Report) {
    const int bell = Report.Bell;
    switch (Report.Kind) {
        case TRingingReport::Struck:
            if (Report.Delayed) {
                // The bell's timer shows its delay running, as it always has.
                FTimers[bell]->StartFrom(Report.TimeNs);
                // A backstroke delay longer than the timer's leaves the
                // light to the sound's own start: the timer would light it early.
                FDelayedBlow[bell] =
                    Report.StartNs - Report.TimeNs <= std::int64_t(FTimers[bell]->Interval()) * 1'000'000
                        ? Report.Blow
                        : 0;
                break;
            }
            // A stroke that sounds at once drops the delayed start; a click
            // or a sequence tick leaves it coming.
            if (Report.Source == TStrokeSource::Line || Report.Source == TStrokeSource::Key) {
                FTimers[bell]->SetEnabled(false);
                FDelayedBlow[bell] = 0;
            }
            ShowBlow(bell, Report.Blow);
            break;
        case TRingingReport::Byte:
            FReceiverQuery->Take(Report.Value, Report.TimeNs);
            break;
        case TRingingReport::Stale:
        case TRingingReport::NoSound:
            // A file changed, or one that failed before, is read again (or
            // refused) before the stroke is decided again with its own time:
            // a delayed start still lands on time.
            if (ReloadBellSound(bell)) StrikeNow(bell, Report.TimeNs, Report.Source);
            break;
        case TRingingReport::Lost: {
            // The output was lost or switched meanwhile: started again, the
            // stroke is decided again with its own time. Without one the
            // status line says why.
            const WaveOutStatus before = waveOutGetStatus();
            const bool wasRunning = before.running && !before.failed;
            if (!wasRunning && EnsureOutput()) {
                StrikeNow(bell, Report.TimeNs, Report.Source);
                break;
            }
            ReportPlayFailure(bell, QString::fromStdString(waveOutGetStatus().error), true);
            break;
        }
        case TRingingReport::Bounce:
            break;
    }
}

void TfMainform::ShowBlow(int Bell, std::uint64_t Blow) {
    TMMWavePlayer* player = FPlayers[Bell];
    if (FShownBlow[Bell] == Blow) return;
    // A restart is a new blow: shown ending and starting again.
    if (FShownBlow[Bell]) player->ShowSounding(false);
    FShownBlow[Bell] = Blow;
    player->ShowSounding(true);
}

void TfMainform::EndBlow(int Bell, std::uint64_t Blow) {
    if (FDelayedBlow[Bell] == Blow) FDelayedBlow[Bell] = 0;
    if (FShownBlow[Bell] != Blow) return;
    FShownBlow[Bell] = 0;
    FPlayers[Bell]->ShowSounding(false);
}

void TfMainform::TakeSoundReport(const WaveOutStrikeReport& Report) {
    const int bell = Report.slot + 1;
    if (bell < 1 || bell > kBellCount) return;
    switch (Report.kind) {
        case WaveOutStrikeReport::Started:
            // It plays again: a failure after this is news.
            FPlayFailure[bell].clear();
            if (FOutputLossReported) {
                FOutputLossReported = false;
                UpdateOutputStatus();
            }
            if (FDelayedBlow[bell] == Report.blow) FDelayedBlow[bell] = 0;
            ShowBlow(bell, Report.blow);
            if (FStrikingRecord) FStrikingRecord->Heard(bell, Report.heardNs, Report.requestNs, Report.blow);
            break;
        case WaveOutStrikeReport::Silenced:
        case WaveOutStrikeReport::Replaced:
            // Cut by a lost output, not by a stroke.
            if (waveOutGetStatus().failed) ReportOutputLoss();
            EndBlow(bell, Report.blow);
            break;
        case WaveOutStrikeReport::Ended:
            EndBlow(bell, Report.blow);
            break;
    }
}
