#pragma once

// The output engine: the mixer thread that renders blocks of the voices into
// the output, and the callback thread that delivers done reports.

#include "platform/waveout/Output.h"
#include "platform/waveout/SpscQueue.h"
#include "platform/waveout/Strikes.h"
#include "platform/waveout/Voice.h"

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr std::size_t kMaxVoices = 256;
inline constexpr std::size_t kStartLogLimit = 8192;  // starts kept for waveOutGetStartLog
inline constexpr int kMixerPriority = 70;            // SCHED_FIFO, where the system grants it
inline constexpr double kLimiterHoldSeconds = 0.05;  // the limiter's gain holds this long after a peak

class Engine {
public:
    Engine(const WaveOutSettings& settings, std::unique_ptr<Output> output);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Opens the output and starts the threads; false with error() set.
    bool start();
    void stop();

    bool failed() const { return lost.load(std::memory_order_acquire); }
    std::string error() const;
    std::string productName() const { return output->productName(); }
    unsigned rate() const { return settings.rate; }

    // Adds a voice to the mixer; false when all voiceSlots are taken.
    bool attach(Voice* voice);
    // Takes a voice out of the mixer; it may be freed once retireDone says so.
    void detach(Voice* voice);
    // Whether the mixer has finished every render it may have started before `mark`.
    std::uint64_t cycleMark() const { return cycle.load(std::memory_order_seq_cst); }
    bool cyclePassed(std::uint64_t mark) const;

    // Blocks until the callback thread has delivered the done reports the
    // mixer queued for `voice` up to `count` (returns at once on that thread).
    void waitDelivered(Voice* voice, std::uint64_t count);
    bool onCallbackThread() const { return std::this_thread::get_id() == callbackId; }

    void setMasterVolume(std::uint32_t v) { masterVolume.store(v, std::memory_order_relaxed); }
    std::uint32_t getMasterVolume() const { return masterVolume.load(std::memory_order_relaxed); }

    // On the striker thread: hands a strike to the mixer; false when the
    // output is lost or the queue is full (then nothing of it is reported).
    bool strike(const WaveOutStrike& s);

    WaveOutStatus status() const;
    std::vector<WaveOutStartRecord> startLog() const;

private:
    struct DoneEvent {
        Voice* voice;
        WAVEHDR* header;
    };

    void mixerLoop();
    void callbackLoop();
    void render(std::int64_t blockStart, bool drainAll);
    void processVoice(Voice& v, std::int64_t blockStart, bool drainAll);
    std::size_t pull(Voice& v, float* out, std::size_t maxFrames);
    void emitDone(Voice& v, bool all);
    std::size_t produce(Voice& v, float* out, std::size_t need, bool& ended);
    void drainVoice(Voice& v);
    void limitAndConvert();
    double frameOfTime(std::int64_t ns) const;
    void fail(const std::string& why);
    // Struck sounds (mixer thread; after the mixer has stopped, the thread stopping it).
    struct StrikeEvent {
        bool start = false;  // else a silence
        std::int64_t frame = 0;
        const WaveOutSound* sound = nullptr;
        std::uint64_t blow = 0;
        std::int64_t requestNs = 0;
        float gain = 1.0f;
    };
    struct StrikeSlot {
        const WaveOutSound* sound = nullptr;  // sounding now
        std::size_t pos = 0;
        std::uint64_t blow = 0;
        std::int64_t requestNs = 0;
        float gain = 1.0f;
        std::array<StrikeEvent, kStrikePending> pending{};  // in time order
        int count = 0;
    };
    void applyStrikes(std::int64_t blockStart);
    void applyStrike(const WaveOutStrike& s, std::int64_t blockStart);
    void renderStrikes(std::int64_t blockStart);
    void mixStrike(StrikeSlot& slot, int index, std::int64_t blockStart, std::int64_t from, std::int64_t to);
    void closeStrikes(std::int64_t frame, bool mayWait);
    void reportStrike(WaveOutStrikeReport::Kind kind, int slot, std::uint64_t blow, const WaveOutSound* sound,
                      std::int64_t requestNs, std::int64_t frame, bool late, bool mayWait = false);
    std::int64_t heardNsOf(std::int64_t frame) const;
    void lockMemory();
    void signalCallbackThread();

    const WaveOutSettings settings;
    const std::unique_ptr<Output> output;
    const unsigned period;
    std::int64_t latency = 0;  // fixed start latency, output frames
    std::atomic<std::int64_t> originNs{0};

    std::array<std::atomic<Voice*>, kMaxVoices> voiceSlots{};
    std::atomic<std::uint64_t> cycle{0};

    SpscQueue<DoneEvent> doneQueue{16384};
    SpscQueue<WaveOutStartRecord> logQueue{4096};
    std::atomic<std::uint32_t> wake{0};
    bool doneThisBlock = false;

    SpscQueue<WaveOutStrike> strikeQueue{256};
    SpscQueue<WaveOutStrikeReport> strikeReports{8192};
    std::array<StrikeSlot, kStrikeSlots> strikeSlots{};
    std::atomic<std::uint64_t> strikeReportsDropped{0};
    std::atomic<std::int64_t> mixerFrame{0};  // first frame not yet rendered

    std::vector<float> mix;
    std::vector<float> scratch;
    std::vector<std::int16_t> pcm;
    float limiterGain = 1.0f;
    float releaseStep = 0.0f;
    unsigned holdFrames = 0;
    unsigned holdLeft = 0;
    std::atomic<std::uint32_t> masterVolume{0xFFFFFFFFu};

    std::thread mixerThread;
    std::thread callbackThread;
    std::thread::id callbackId;
    std::atomic<bool> stopping{false};
    std::atomic<bool> lost{false};
    std::atomic<bool> mixerStopped{false};
    std::atomic<bool> callbackStopped{false};

    std::atomic<std::uint64_t> framesRendered{0};
    std::atomic<std::uint64_t> xruns{0};
    std::atomic<std::uint64_t> lateBlocks{0};
    std::atomic<std::uint64_t> lateStarts{0};
    std::atomic<std::uint64_t> clockSlips{0};
    std::atomic<std::uint64_t> startsDropped{0};

    // Error text and start log. The mixer takes it only in fail(), once, when
    // the output is already lost; otherwise it never waits on it.
    mutable std::mutex infoLock;
    std::string errorText;
    // How the mixer's real-time priority was asked for and what came of it;
    // written once in start(), read by status() on any thread.
    bool realtime = false;
    std::string realtimeNote;
    // Whether the mixer's memory is locked in RAM, and how it went; written
    // by the mixer thread before start() returns.
    bool memoryLocked = false;
    std::string memoryNote;
    // The latest kStartLogLimit starts, in a ring made once so that a long
    // practice does not grow the program.
    std::vector<WaveOutStartRecord> starts;
    std::uint64_t startsLogged = 0;
};
