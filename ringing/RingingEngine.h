#pragma once

// The ringing engine: every stroke is decided and scheduled where it
// arrives, on a thread of its own at real-time priority, never on the
// window's main thread. The window only hears afterwards what happened.
//
// The rules of a stroke (a receiver's byte or a key; each with its time):
// - a bell that sounds at the stroke's time is silenced then;
// - while "Delays Active" is on and the bell has a delay and no delayed
//   start waiting, it starts one delay later;
// - otherwise (a zero delay, delays off, or a stroke during the delay) it
//   starts at once, and the waiting start is dropped.
// A click on a bell or a sequence tick starts a bell that is silent at its
// time at once, leaving a delayed start waiting; a sounding bell goes on.
// The receiver's bytes pass the double-strike guard first, and while the
// window awaits an answer from the receiver, no byte strikes.
//
// Every start is sent to the mixer as a struck sound at its time (the
// mixer adds the fixed stroke latency L), so a bell is heard at stroke +
// delay + L however late any thread runs, up to L.
//
// Threads:
// - the serial service thread hands each byte in with TakeByte;
// - the main thread publishes settings, hands in its own strokes and
//   takes the reports;
// - the mixer's callback thread hands in the mixer's reports
//   (TakeMixerReport).
// Each hand-over is a lock-free single-producer queue; the settings are a
// snapshot published through one atomic pointer. Nothing on the engine's
// thread allocates or locks.

#include "platform/waveout/Strikes.h"
#include "ringing/BellBytes.h"
#include "ringing/StrokeGuard.h"
#include "ringing/StrokeSide.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>

template <typename T>
class SpscQueue;

// A bell's sound, decoded whole before it is struck, and the file it came
// from as it was then: a stroke finds out at once when the file changed.
struct TBellSound : WaveOutSound {
    std::string Path;  // empty: not from a file
    std::int64_t ModifiedNs = 0;
    std::int64_t Size = -1;
    std::uint64_t Inode = 0;
    // Strikes naming it that have not had their last report from the mixer.
    mutable std::atomic<int> InFlight{0};

    // The length in nanoseconds.
    std::int64_t LengthNs() const {
        return rate ? static_cast<std::int64_t>(frameCount()) * 1'000'000'000 / rate : 0;
    }
    // Notes Path's state now; false when it cannot be read.
    bool StampFile(const std::string& FilePath);
    // Whether the file is still as stamped (true when there is none).
    bool FileUnchanged() const;
};

// How a bell is muffled: open, its backstrokes muffled, or every blow.
enum class TMuffle { Open = 0, Half = 1, Full = 2 };

inline constexpr int kMinVolumeDb = -24;
inline constexpr int kMaxVolumeDb = 6;

struct TRingingSettings {
    std::array<std::shared_ptr<TBellSound>, kRingingBells + 1> Sounds{};  // by bell, 1 to 16
    // Each bell's muffled sound, made from its own when it loaded (none:
    // a muffled blow sounds open).
    std::array<std::shared_ptr<TBellSound>, kRingingBells + 1> Muffled{};
    std::array<int, kRingingBells + 1> DelayMs{};  // the handstroke's
    // The backstroke's delay; below 0 it is the handstroke's.
    std::array<int, kRingingBells + 1> BackDelayMs = [] {
        std::array<int, kRingingBells + 1> same{};
        same.fill(-1);
        return same;
    }();
    std::array<int, kRingingBells + 1> VolumeDb{};  // kMinVolumeDb .. kMaxVolumeDb
    int MasterDb = 0;                               // on top of every bell's
    std::array<TMuffle, kRingingBells + 1> Muffles{};
    bool DelaysActive = true;
    int GuardMs = 0;

    // The linear gain of Bell's blows (exactly 1 at 0 dB).
    float Gain(int Bell) const;
    // Whether Bell's blow on that stroke sounds muffled.
    bool MuffledBlow(int Bell, bool Handstroke) const {
        return Muffles[Bell] == TMuffle::Full || (Muffles[Bell] == TMuffle::Half && !Handstroke);
    }
};

enum class TStrokeSource { Line, Key, Click, Sequence };

struct TRingingReport {
    enum TKind {
        Struck,   // a stroke was decided: StartNs (0: it only silenced), Silenced
        Bounce,   // a receiver's stroke within the guard time: dropped
        Byte,     // a byte that strikes nothing (Answer: taken while an answer is awaited)
        NoSound,  // the bell has no sound to play
        Stale,    // the bell's file changed since it was decoded: nothing struck
        Lost,     // the mixer did not take the strike (no output, or its queue full)
    };
    TKind Kind = Struck;
    TStrokeSource Source = TStrokeSource::Line;
    int Bell = 0;
    unsigned char Value = 0;   // Byte
    bool Answer = false;       // Byte
    bool Delayed = false;      // Struck: the start waits for the bell's delay
    bool Silenced = false;     // Struck: a sounding bell was silenced at TimeNs
    bool Handstroke = true;    // Struck: the blow's side, by alternation
    bool Muffled = false;      // Struck: its muffled sound was struck
    std::int64_t TimeNs = 0;   // the stroke's time (a byte's arrival)
    std::int64_t StartNs = 0;  // Struck: when its sound starts, before L
    std::uint64_t Blow = 0;    // Struck: the number the mixer's reports carry
};

class TRingingEngine {
public:
    using TStrikeSink = std::function<bool(const WaveOutStrike&)>;

    // Strikes go to Sink (the mixer's waveOutStrike in the program).
    explicit TRingingEngine(TStrikeSink Sink);
    ~TRingingEngine();
    TRingingEngine(const TRingingEngine&) = delete;
    TRingingEngine& operator=(const TRingingEngine&) = delete;

    // Called on a producing thread when reports wait and the main thread
    // has not been told since it last took them (set before Start).
    std::function<void()> OnReports;

    // Starts the engine's thread, at real-time priority where granted.
    void Start();
    // How the thread's priority was asked for and what came of it.
    std::string RealtimeNote() const { return FRealtimeNote; }

    // ---- main thread
    // The engine uses these settings for every stroke from now on. Sounds
    // of older settings are freed once nothing can strike them any more.
    void Publish(const TRingingSettings& Settings);
    void Stroke(int Bell, std::int64_t TimeNs, TStrokeSource Source);
    void Sound(int Bell, std::int64_t TimeNs, TStrokeSource Source);
    // Silences every sounding bell at TimeNs; delayed starts still come.
    void SilenceAll(std::int64_t TimeNs);
    // The same for one bell.
    void Silence(int Bell, std::int64_t TimeNs);
    // Silences every bell at TimeNs and drops every start still to come
    // (the window is going: nothing may sound after it).
    void StopAll(std::int64_t TimeNs);
    // While set, every byte from the line is an answer, not a stroke.
    void SetAnswersAwaited(bool Awaited) { FAnswersAwaited.store(Awaited, std::memory_order_release); }
    // The next report of the engine, in the order decided; false when none.
    bool NextReport(TRingingReport& Report);
    // The next report of the mixer, in the order they came; false when none.
    // Take the engine's reports first: a strike's Struck always comes
    // before its sound's reports.
    bool NextSoundReport(WaveOutStrikeReport& Report);
    // Until when (CLOCK_MONOTONIC, before L) a bell may sound or start, as
    // decided so far: the bells are silent for good after it.
    std::int64_t BusyUntil() const { return FBusyUntil.load(std::memory_order_acquire); }
    // Whether the mixer may still play a sound of any settings published
    // (a strike has not had its last report).
    bool SoundsInFlight() const;
    // Whether every stroke handed in has been decided, every sound it
    // started has ended, and every report has been taken: nothing more will
    // sound or be told until the next stroke.
    bool Idle() const;
    // Waits, at most TimeoutNs, until every stroke handed in so far has been
    // decided; false when the engine did not get to them in that time. The
    // window's own strokes (a click, a key) are shown in the same handler.
    bool Settle(std::int64_t TimeoutNs) const;
    // Receiver strokes the guard dropped.
    int Ignored() const { return FIgnored.load(std::memory_order_relaxed); }
    // Reports lost because the main thread did not take them in time.
    std::uint64_t ReportsDropped() const { return FReportsDropped.load(std::memory_order_relaxed); }

    // ---- serial service thread: a byte and its arrival; always taken.
    bool TakeByte(unsigned char Byte, std::int64_t ArrivalNs);
    // Bytes that found the engine's queue full (it had stopped taking them).
    std::uint64_t BytesDropped() const { return FBytesDropped.load(std::memory_order_relaxed); }

    // ---- the mixer's callback thread
    void TakeMixerReport(const WaveOutStrikeReport& Report);

private:
    struct TCommand {
        enum TKind { Stroke, Sound, Silence, SilenceAll, StopAll };
        TKind Kind = Stroke;
        TStrokeSource Source = TStrokeSource::Key;
        int Bell = 0;
        std::int64_t TimeNs = 0;
    };
    struct TLineByte {
        unsigned char Byte = 0;
        std::int64_t ArrivalNs = 0;
    };
    struct TSnapshot {
        TRingingSettings Settings;
        std::uint64_t Generation = 0;
    };
    // The engine thread's picture of a bell, in stroke time (before L).
    struct TBell {
        std::int64_t SoundingFrom = 0, SoundingUntil = 0;
        std::array<std::int64_t, kStrikePending> Pending{};  // starts ahead, in order
        std::array<std::int64_t, kStrikePending> PendingLength{};
        int PendingCount = 0;
    };

    void Run();
    void Queue(const TCommand& Command);
    // The settings now published, noted as taken up.
    const TRingingSettings& Settings();
    void Handle(const TCommand& Command, const TRingingSettings& Settings);
    void HandleByte(const TLineByte& Byte, const TRingingSettings& Settings, TStrokeGuard& Guard);
    void DecideStroke(int Bell, std::int64_t TimeNs, TStrokeSource Source, const TRingingSettings& Settings);
    void DecideSound(int Bell, std::int64_t TimeNs, TStrokeSource Source, const TRingingSettings& Settings);
    // Moves the bell's starts due by TimeNs into its sounding.
    void Advance(TBell& Bell, std::int64_t TimeNs);
    // Sends one strike; false (and a Lost report) when the mixer refused it.
    bool Send(const WaveOutStrike& Strike, TBellSound* Sound, int Bell, std::int64_t TimeNs,
              TStrokeSource Source);
    // A sound the bell can play at TimeNs, or nullptr after reporting why not.
    TBellSound* Playable(int Bell, std::int64_t TimeNs, TStrokeSource Source,
                         const TRingingSettings& Settings);
    // The sound of the blow on that side: its muffled sound where it is muffled.
    static TBellSound* Side(TBellSound* Open, int Bell, bool Handstroke, const TRingingSettings& Settings);
    void Report(const TRingingReport& Report);
    void Told();
    void Wake();
    void UpdateBusy();
    void Reclaim();

    TStrikeSink FSink;
    std::unique_ptr<SpscQueue<TCommand>> FCommands;                 // main -> engine
    std::unique_ptr<SpscQueue<TLineByte>> FBytes;                   // serial service -> engine
    std::unique_ptr<SpscQueue<TRingingReport>> FReports;            // engine -> main
    std::unique_ptr<SpscQueue<WaveOutStrikeReport>> FSoundReports;  // callback -> main

    // Published settings: the main thread stores, the engine loads (acquire)
    // at each wake and then stores the generation it uses (release); older
    // snapshots stay alive on the main thread until that generation passes.
    std::atomic<TSnapshot*> FCurrent{nullptr};
    std::atomic<std::uint64_t> FSeenGeneration{0};
    std::deque<std::unique_ptr<TSnapshot>> FSnapshots;  // main thread; oldest first
    std::uint64_t FGenerations = 0;

    std::atomic<std::uint32_t> FWake{0};
    std::atomic<bool> FStopping{false};
    std::atomic<bool> FTold{false};
    std::atomic<bool> FAnswersAwaited{false};
    std::atomic<std::int64_t> FBusyUntil{0};
    std::uint64_t FCommandsSent = 0;              // main thread
    std::atomic<std::uint64_t> FCommandsDone{0};  // engine thread stores
    std::atomic<int> FIgnored{0};
    std::atomic<std::uint64_t> FReportsDropped{0};
    std::atomic<std::uint64_t> FBytesDropped{0};

    // Engine thread only.
    std::array<TBell, kRingingBells + 1> FBells{};
    std::array<TStrokeSide, kRingingBells + 1> FSides{};
    std::uint64_t FBlows = 0;

    std::thread FThread;
    std::string FRealtimeNote;
};
