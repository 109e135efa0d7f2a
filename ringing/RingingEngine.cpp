#include "ringing/RingingEngine.h"

#include "platform/base/Clock.h"
#include "platform/rtkit/Realtime.h"
#include "platform/waveout/SpscQueue.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <future>
#include <vector>

namespace {

constexpr std::size_t kQueueCapacity = 4096;
// Below the mixer's 70: the mixer must never wait for a stroke being decided.
constexpr int kEnginePriority = 60;
// A bell restarted at once is cut this much before its new start: the
// restart is heard as a new blow, not as one sound going on, and the new
// start stays on its time.
constexpr std::int64_t kRestartGapNs = 1'000'000;

std::int64_t ModifiedNs(const struct stat& St) {
    return static_cast<std::int64_t>(St.st_mtim.tv_sec) * 1'000'000'000 + St.st_mtim.tv_nsec;
}

bool ValidBell(int Bell) {
    return Bell >= 1 && Bell <= kRingingBells;
}

}  // namespace

// ---- TBellSound --------------------------------------------------------------------

bool TBellSound::StampFile(const std::string& FilePath) {
    Path = FilePath;
    struct stat st {};
    if (::stat(FilePath.c_str(), &st) != 0) return false;
    ModifiedNs = ::ModifiedNs(st);
    Size = static_cast<std::int64_t>(st.st_size);
    Inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

// One stat of a file whose directory entry the loading just read: no disk
// is touched on the way, and a replaced, rewritten or deleted file is
// known at the stroke that first meets it.
bool TBellSound::FileUnchanged() const {
    if (Path.empty()) return true;
    struct stat st {};
    if (::stat(Path.c_str(), &st) != 0) return false;
    return ::ModifiedNs(st) == ModifiedNs && static_cast<std::int64_t>(st.st_size) == Size &&
           static_cast<std::uint64_t>(st.st_ino) == Inode;
}

// ---- TRingingSettings -----------------------------------------------------------------

namespace {

// 10^(dB/20) for every whole dB a bell and the master together reach,
// worked out once at start: a stroke on the engine's thread looks its gain up.
constexpr int kLowestDb = 2 * kMinVolumeDb;
const auto kGains = [] {
    std::array<float, 2 * (kMaxVolumeDb - kMinVolumeDb) + 1> gains{};
    for (std::size_t i = 0; i < gains.size(); ++i) {
        const int db = kLowestDb + static_cast<int>(i);
        gains[i] = db == 0 ? 1.0f : static_cast<float>(std::pow(10.0, db / 20.0));
    }
    return gains;
}();

}  // namespace

float TRingingSettings::Gain(int Bell) const {
    const int db = std::clamp(VolumeDb[Bell], kMinVolumeDb, kMaxVolumeDb) +
                   std::clamp(MasterDb, kMinVolumeDb, kMaxVolumeDb);
    return kGains[static_cast<std::size_t>(db - kLowestDb)];
}

// ---- TRingingEngine ------------------------------------------------------------------

TRingingEngine::TRingingEngine(TStrikeSink Sink)
    : FSink(std::move(Sink)),
      FCommands(std::make_unique<SpscQueue<TCommand>>(kQueueCapacity)),
      FBytes(std::make_unique<SpscQueue<TLineByte>>(kQueueCapacity)),
      FReports(std::make_unique<SpscQueue<TRingingReport>>(kQueueCapacity)),
      FSoundReports(std::make_unique<SpscQueue<WaveOutStrikeReport>>(kQueueCapacity)) {
    Publish(TRingingSettings{});
}

TRingingEngine::~TRingingEngine() {
    if (FThread.joinable()) {
        FStopping.store(true, std::memory_order_release);
        Wake();
        FThread.join();
    }
    // A sound the mixer may still play is never freed under it: kept for
    // the rest of the run instead (only when an output stalls at the end).
    if (SoundsInFlight()) {
        static auto* kept = new std::vector<std::unique_ptr<TSnapshot>>;
        for (std::unique_ptr<TSnapshot>& snapshot : FSnapshots) kept->push_back(std::move(snapshot));
    }
}

void TRingingEngine::Start() {
    if (FThread.joinable()) return;
    std::promise<pid_t> tid;
    std::future<pid_t> known = tid.get_future();
    FThread = std::thread([this, &tid] {
        tid.set_value(currentThreadId());
        Run();
    });
    // Asked from here: RealtimeKit's answer takes a bus round trip.
    FRealtimeNote = requestRealtime(FThread.native_handle(), known.get(), kEnginePriority).note;
}

void TRingingEngine::Wake() {
    // The release orders the queued item before the counter the engine
    // waits on; the engine's acquire load then sees the item.
    FWake.fetch_add(1, std::memory_order_release);
    FWake.notify_one();
}

// ---- main thread -----------------------------------------------------------------------

void TRingingEngine::Publish(const TRingingSettings& Settings) {
    auto snapshot = std::make_unique<TSnapshot>();
    snapshot->Settings = Settings;
    snapshot->Generation = ++FGenerations;
    // Release: the engine's acquire load sees the whole snapshot.
    FCurrent.store(snapshot.get(), std::memory_order_release);
    FSnapshots.push_back(std::move(snapshot));
    Wake();
    Reclaim();
}

// A snapshot older than the one the engine has taken up is never read
// again; its sounds go with it once the mixer has let go of them too (a
// sound a newer snapshot shares is simply kept by that one).
void TRingingEngine::Reclaim() {
    const std::uint64_t seen = FSeenGeneration.load(std::memory_order_acquire);
    while (FSnapshots.size() > 1 && FSnapshots.front()->Generation < seen) {
        const TRingingSettings& old = FSnapshots.front()->Settings;
        for (const auto* sounds : {&old.Sounds, &old.Muffled})
            for (const std::shared_ptr<TBellSound>& sound : *sounds)
                if (sound && sound.use_count() == 1 && sound->InFlight.load(std::memory_order_acquire) > 0)
                    return;
        FSnapshots.pop_front();
    }
}

bool TRingingEngine::SoundsInFlight() const {
    for (const std::unique_ptr<TSnapshot>& snapshot : FSnapshots)
        for (const auto* sounds : {&snapshot->Settings.Sounds, &snapshot->Settings.Muffled})
            for (const std::shared_ptr<TBellSound>& sound : *sounds)
                if (sound && sound->InFlight.load(std::memory_order_acquire) > 0) return true;
    return false;
}

bool TRingingEngine::Idle() const {
    // Done is stored after a command's strikes were counted in flight, and
    // a strike's last report is queued before it leaves the count: each
    // check sees everything the one before it promised.
    if (FCommandsDone.load(std::memory_order_acquire) != FCommandsSent) return false;
    if (SoundsInFlight()) return false;
    return FReports->empty() && FSoundReports->empty();
}

bool TRingingEngine::Settle(std::int64_t TimeoutNs) const {
    // The engine decides a stroke in microseconds; a short sleep between
    // looks leaves both cores to it and to the mixer.
    const std::int64_t until = MonotonicNs() + TimeoutNs;
    while (FCommandsDone.load(std::memory_order_acquire) != FCommandsSent) {
        if (MonotonicNs() >= until) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    return true;
}

void TRingingEngine::Queue(const TCommand& Command) {
    if (!FCommands->push(Command)) return;
    ++FCommandsSent;
    Wake();
}

void TRingingEngine::Stroke(int Bell, std::int64_t TimeNs, TStrokeSource Source) {
    if (ValidBell(Bell)) Queue({TCommand::Stroke, Source, Bell, TimeNs});
}

void TRingingEngine::Sound(int Bell, std::int64_t TimeNs, TStrokeSource Source) {
    if (ValidBell(Bell)) Queue({TCommand::Sound, Source, Bell, TimeNs});
}

void TRingingEngine::SilenceAll(std::int64_t TimeNs) {
    Queue({TCommand::SilenceAll, TStrokeSource::Key, 0, TimeNs});
}

void TRingingEngine::StopAll(std::int64_t TimeNs) {
    Queue({TCommand::StopAll, TStrokeSource::Key, 0, TimeNs});
}

void TRingingEngine::Silence(int Bell, std::int64_t TimeNs) {
    if (ValidBell(Bell)) Queue({TCommand::Silence, TStrokeSource::Key, Bell, TimeNs});
}

bool TRingingEngine::NextReport(TRingingReport& Report) {
    // Cleared before taking: a report queued from here on tells again.
    FTold.store(false, std::memory_order_release);
    Reclaim();
    return FReports->pop(Report);
}

bool TRingingEngine::NextSoundReport(WaveOutStrikeReport& Report) {
    FTold.store(false, std::memory_order_release);
    return FSoundReports->pop(Report);
}

void TRingingEngine::Told() {
    if (OnReports && !FTold.exchange(true, std::memory_order_acq_rel)) OnReports();
}

// ---- serial service thread ----------------------------------------------------------------

bool TRingingEngine::TakeByte(unsigned char Byte, std::int64_t ArrivalNs) {
    if (FBytes->push({Byte, ArrivalNs}))
        Wake();
    else
        FBytesDropped.fetch_add(1, std::memory_order_relaxed);  // the engine stopped taking them
    return true;
}

// ---- the mixer's callback thread --------------------------------------------------------------

void TRingingEngine::TakeMixerReport(const WaveOutStrikeReport& Report) {
    // The last report of a strike lets its sound go, before the report is
    // queued: whoever takes the report then sees the sound let go (the
    // report's sound is only a name; nobody reads a sound through it).
    if (Report.kind != WaveOutStrikeReport::Started && Report.sound)
        static_cast<const TBellSound*>(Report.sound)->InFlight.fetch_sub(1, std::memory_order_release);
    if (!FSoundReports->push(Report)) FReportsDropped.fetch_add(1, std::memory_order_relaxed);
    Told();
}

// ---- the engine's thread --------------------------------------------------------------------

void TRingingEngine::Run() {
    TStrokeGuard guard;
    TCommand command;
    TLineByte byte;
    for (;;) {
        const std::uint32_t seen = FWake.load(std::memory_order_acquire);
        if (FStopping.load(std::memory_order_acquire)) return;
        bool any = false;
        bool haveCommand = false, haveByte = false;
        for (;;) {
            // Items of both queues are taken in the order of their times.
            // Having taken one, the other queue is looked at again: whatever
            // was queued there before the item taken is seen now.
            if (!haveCommand) haveCommand = FCommands->pop(command);
            if (!haveByte) haveByte = FBytes->pop(byte);
            if (haveByte && !haveCommand) haveCommand = FCommands->pop(command);
            if (!haveCommand && !haveByte) break;
            // The settings are loaded after each item is taken: settings
            // published before an item was queued are the ones it meets.
            const TRingingSettings& settings = Settings();
            if (haveCommand && (!haveByte || command.TimeNs <= byte.ArrivalNs)) {
                Handle(command, settings);
                FCommandsDone.fetch_add(1, std::memory_order_release);
                haveCommand = false;
            } else {
                guard.SetGuardMs(settings.GuardMs);
                HandleByte(byte, settings, guard);
                haveByte = false;
            }
            any = true;
        }
        if (any) {
            UpdateBusy();
            FIgnored.store(guard.Ignored(), std::memory_order_relaxed);
        }
        FWake.wait(seen, std::memory_order_acquire);
    }
}

const TRingingSettings& TRingingEngine::Settings() {
    TSnapshot* snapshot = FCurrent.load(std::memory_order_acquire);
    // From here the main thread may free anything older.
    FSeenGeneration.store(snapshot->Generation, std::memory_order_release);
    return snapshot->Settings;
}

void TRingingEngine::Handle(const TCommand& Command, const TRingingSettings& Settings) {
    switch (Command.Kind) {
        case TCommand::Stroke:
            DecideStroke(Command.Bell, Command.TimeNs, Command.Source, Settings);
            break;
        case TCommand::Sound:
            DecideSound(Command.Bell, Command.TimeNs, Command.Source, Settings);
            break;
        case TCommand::Silence:
        case TCommand::SilenceAll:
        case TCommand::StopAll:
            for (int n = 1; n <= kRingingBells; ++n) {
                if (Command.Kind == TCommand::Silence && n != Command.Bell) continue;
                const bool drop = Command.Kind == TCommand::StopAll;
                TBell& bell = FBells[n];
                Advance(bell, Command.TimeNs);
                const bool sounding =
                    bell.SoundingFrom <= Command.TimeNs && Command.TimeNs < bell.SoundingUntil;
                if (!sounding && !(drop && bell.PendingCount > 0)) continue;
                WaveOutStrike strike;
                strike.slot = n - 1;
                strike.silenceNs = sounding ? Command.TimeNs : 0;
                strike.keepPending = !drop;
                if (!Send(strike, nullptr, n, Command.TimeNs, Command.Source)) continue;
                if (sounding) bell.SoundingUntil = Command.TimeNs;
                if (drop) bell.PendingCount = 0;
            }
            break;
    }
}

void TRingingEngine::HandleByte(const TLineByte& Byte, const TRingingSettings& Settings,
                                TStrokeGuard& Guard) {
    TRingingReport report{TRingingReport::Byte, TStrokeSource::Line, 0, Byte.Byte};
    report.TimeNs = Byte.ArrivalNs;
    if (FAnswersAwaited.load(std::memory_order_acquire)) {
        report.Answer = true;
        Report(report);
        return;
    }
    const int bell = BellOfByte(Byte.Byte);
    if (!bell) {
        Report(report);
        return;
    }
    if (!Guard.Accept(bell, Byte.ArrivalNs)) {
        report.Kind = TRingingReport::Bounce;
        report.Bell = bell;
        Report(report);
        return;
    }
    DecideStroke(bell, Byte.ArrivalNs, TStrokeSource::Line, Settings);
}

void TRingingEngine::Advance(TBell& Bell, std::int64_t TimeNs) {
    int due = 0;
    while (due < Bell.PendingCount && Bell.Pending[due] <= TimeNs) {
        Bell.SoundingFrom = Bell.Pending[due];
        Bell.SoundingUntil = Bell.Pending[due] + Bell.PendingLength[due];
        ++due;
    }
    if (!due) return;
    std::copy(Bell.Pending.begin() + due, Bell.Pending.begin() + Bell.PendingCount, Bell.Pending.begin());
    std::copy(Bell.PendingLength.begin() + due, Bell.PendingLength.begin() + Bell.PendingCount,
              Bell.PendingLength.begin());
    Bell.PendingCount -= due;
}

TBellSound* TRingingEngine::Playable(int Bell, std::int64_t TimeNs, TStrokeSource Source,
                                     const TRingingSettings& Settings) {
    TBellSound* sound = Settings.Sounds[Bell].get();
    TRingingReport report{sound ? TRingingReport::Stale : TRingingReport::NoSound, Source, Bell};
    report.TimeNs = TimeNs;
    if (sound && sound->frameCount() > 0 && sound->FileUnchanged()) return sound;
    if (sound && sound->frameCount() == 0) report.Kind = TRingingReport::NoSound;
    Report(report);
    return nullptr;
}

TBellSound* TRingingEngine::Side(TBellSound* Open, int Bell, bool Handstroke,
                                 const TRingingSettings& Settings) {
    TBellSound* muffled = Settings.Muffled[Bell].get();
    if (!Settings.MuffledBlow(Bell, Handstroke) || !muffled || muffled->frameCount() == 0 ||
        muffled->rate != Open->rate)
        return Open;
    return muffled;
}

void TRingingEngine::DecideStroke(int Bell, std::int64_t TimeNs, TStrokeSource Source,
                                  const TRingingSettings& Settings) {
    TBellSound* open = Playable(Bell, TimeNs, Source, Settings);
    if (!open) return;
    TBell& bell = FBells[Bell];
    Advance(bell, TimeNs);
    const bool sounding = bell.SoundingFrom <= TimeNs && TimeNs < bell.SoundingUntil;
    // Noted only once the mixer has taken the blow: a stroke decided
    // again (its output started again) keeps its side.
    const bool hand = FSides[Bell].Peek(TimeNs);
    TBellSound* sound = Side(open, Bell, hand, Settings);
    const int back = Settings.BackDelayMs[Bell];
    const int delayMs = hand || back < 0 ? Settings.DelayMs[Bell] : back;
    const std::int64_t delayNs = std::int64_t(std::max(0, delayMs)) * 1'000'000;
    const bool delayed = Settings.DelaysActive && delayNs > 0 && bell.PendingCount == 0;

    WaveOutStrike strike;
    strike.slot = Bell - 1;
    strike.silenceNs = !sounding ? 0 : delayed ? TimeNs : std::max(bell.SoundingFrom, TimeNs - kRestartGapNs);
    strike.sound = sound;
    strike.startNs = delayed ? TimeNs + delayNs : TimeNs;
    strike.blow = ++FBlows;
    strike.keepPending = false;
    strike.gain = Settings.Gain(Bell);

    TRingingReport report{TRingingReport::Struck, Source, Bell};
    report.Delayed = delayed;
    report.Silenced = sounding;
    report.Handstroke = hand;
    report.Muffled = sound != open;
    report.TimeNs = TimeNs;
    report.StartNs = strike.startNs;
    report.Blow = strike.blow;
    // Told before the mixer can report the sound, so the window always
    // hears of a blow before it hears of its sound.
    Report(report);
    if (!Send(strike, sound, Bell, TimeNs, Source)) return;
    FSides[Bell].Next(TimeNs);

    if (sounding) bell.SoundingUntil = TimeNs;
    bell.PendingCount = 0;
    if (delayed) {
        bell.Pending[0] = strike.startNs;
        bell.PendingLength[0] = sound->LengthNs();
        bell.PendingCount = 1;
    } else {
        bell.SoundingFrom = TimeNs;
        bell.SoundingUntil = TimeNs + sound->LengthNs();
    }
}

void TRingingEngine::DecideSound(int Bell, std::int64_t TimeNs, TStrokeSource Source,
                                 const TRingingSettings& Settings) {
    TBell& bell = FBells[Bell];
    Advance(bell, TimeNs);
    // A bell that sounds already goes on, as a player asked to play while
    // playing does.
    if (bell.SoundingFrom <= TimeNs && TimeNs < bell.SoundingUntil) return;
    TBellSound* open = Playable(Bell, TimeNs, Source, Settings);
    if (!open) return;
    const bool hand = FSides[Bell].Peek(TimeNs);
    TBellSound* sound = Side(open, Bell, hand, Settings);

    WaveOutStrike strike;
    strike.slot = Bell - 1;
    strike.sound = sound;
    strike.startNs = TimeNs;
    strike.blow = ++FBlows;
    strike.keepPending = true;
    strike.gain = Settings.Gain(Bell);
    // A delayed start that this sound reaches cuts it a little before, as
    // any restart does.
    if (bell.PendingCount > 0 && bell.Pending[0] < TimeNs + sound->LengthNs())
        strike.silenceNs = std::max(TimeNs, bell.Pending[0] - kRestartGapNs);

    TRingingReport report{TRingingReport::Struck, Source, Bell};
    report.TimeNs = TimeNs;
    report.StartNs = TimeNs;
    report.Blow = strike.blow;
    report.Handstroke = hand;
    report.Muffled = sound != open;
    Report(report);
    if (!Send(strike, sound, Bell, TimeNs, Source)) return;
    FSides[Bell].Next(TimeNs);
    bell.SoundingFrom = TimeNs;
    bell.SoundingUntil = TimeNs + sound->LengthNs();
    // A start this one's sound reaches is still heard: it cuts this one.
    if (bell.PendingCount > 0) bell.SoundingUntil = std::min(bell.SoundingUntil, bell.Pending[0]);
}

bool TRingingEngine::Send(const WaveOutStrike& Strike, TBellSound* Sound, int Bell, std::int64_t TimeNs,
                          TStrokeSource Source) {
    if (Sound) Sound->InFlight.fetch_add(1, std::memory_order_acq_rel);
    if (FSink && FSink(Strike)) return true;
    if (Sound) Sound->InFlight.fetch_sub(1, std::memory_order_acq_rel);
    TRingingReport report{TRingingReport::Lost, Source, Bell};
    report.TimeNs = TimeNs;
    report.Blow = Strike.blow;
    Report(report);
    return false;
}

void TRingingEngine::Report(const TRingingReport& Report) {
    if (!FReports->push(Report)) FReportsDropped.fetch_add(1, std::memory_order_relaxed);
    Told();
}

void TRingingEngine::UpdateBusy() {
    std::int64_t until = 0;
    for (int n = 1; n <= kRingingBells; ++n) {
        const TBell& bell = FBells[n];
        until = std::max(until, bell.SoundingUntil);
        for (int i = 0; i < bell.PendingCount; ++i)
            until = std::max(until, bell.Pending[i] + bell.PendingLength[i]);
    }
    FBusyUntil.store(until, std::memory_order_release);
}
