#include "platform/waveout/Engine.h"

#include "platform/waveout/StrikeMix.h"

#include "platform/base/Clock.h"
#include "platform/rtkit/Realtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <future>

namespace {

std::int64_t monotonicNs() {
    return MonotonicNs();
}

void sleepUntil(std::int64_t ns) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace

std::int64_t waveOutNowNs() {
    return monotonicNs();
}

namespace {

// Held while the listener runs, so that once it is replaced it is never
// called again.
std::mutex& startListenerLock() {
    static std::mutex lock;
    return lock;
}
WaveOutStartListener& startListener() {
    static WaveOutStartListener listener;
    return listener;
}

void notifyStart(const WaveOutStartRecord& r) {
    std::lock_guard lock(startListenerLock());
    if (startListener()) startListener()(r);
}

// The struck sounds' listener, guarded the same way.
std::mutex& strikeListenerLock() {
    static std::mutex lock;
    return lock;
}
WaveOutStrikeListener& strikeListener() {
    static WaveOutStrikeListener listener;
    return listener;
}

void notifyStrike(const WaveOutStrikeReport& r) {
    std::lock_guard lock(strikeListenerLock());
    if (strikeListener()) strikeListener()(r);
}

}  // namespace

WaveOutStrikeListener waveOutSetStrikeListener(WaveOutStrikeListener listener) {
    std::lock_guard lock(strikeListenerLock());
    WaveOutStrikeListener previous = std::move(strikeListener());
    strikeListener() = std::move(listener);
    return previous;
}

WaveOutStartListener waveOutSetStartListener(WaveOutStartListener listener) {
    std::lock_guard lock(startListenerLock());
    WaveOutStartListener previous = std::move(startListener());
    startListener() = std::move(listener);
    return previous;
}

Engine::Engine(const WaveOutSettings& s, std::unique_ptr<Output> out)
    : settings(s), output(std::move(out)), period(std::clamp(s.periodFrames, 16u, 4096u)) {
    mix.assign(period * 2, 0.0f);
    scratch.assign(period * 2, 0.0f);
    pcm.assign(period * 2, 0);
    starts.resize(kStartLogLimit);
    // The limiter lets go with a 50 ms time constant.
    releaseStep = static_cast<float>(1.0 - std::exp(-1.0 / (0.05 * settings.rate)));
    holdFrames = static_cast<unsigned>(kLimiterHoldSeconds * settings.rate);
}

Engine::~Engine() {
    stop();
}

bool Engine::start() {
    std::string why;
    if (!output->open(settings.rate, period, why)) {
        std::lock_guard lock(infoLock);
        errorText = why;
        return false;
    }
    const std::int64_t margin =
        static_cast<std::int64_t>(settings.marginMicroseconds) * settings.rate / 1000000;
    latency = static_cast<std::int64_t>(output->leadFrames()) + period + margin;
    const auto stroke = static_cast<std::int64_t>(
        std::llround(static_cast<double>(settings.strokeLatencyMicroseconds) * settings.rate / 1e6));
    latency = std::max(latency, stroke);
    callbackThread = std::thread([this] { callbackLoop(); });
    callbackId = callbackThread.get_id();
    originNs.store(monotonicNs(), std::memory_order_release);
    std::promise<pid_t> mixerTid;
    std::future<pid_t> tid = mixerTid.get_future();
    mixerThread = std::thread([this, announce = std::move(mixerTid)]() mutable {
        lockMemory();  // before the announcement, so that start() reads its outcome
        announce.set_value(currentThreadId());
        mixerLoop();
    });
    // Asked from here, never by the mixer itself (RealtimeKit's answer takes a
    // bus round trip), so that the answer is known when start returns.
    const RealtimeOutcome outcome = requestRealtime(mixerThread.native_handle(), tid.get(), kMixerPriority);
    std::lock_guard lock(infoLock);
    realtime = outcome.realtime;
    realtimeNote = outcome.note;
    return true;
}

void Engine::stop() {
    if (mixerThread.joinable()) {
        stopping.store(true, std::memory_order_release);
        mixerThread.join();
        // The striker has left (the caller saw to it) and the mixer has
        // stopped: this thread finishes the strikes, the callback thread still
        // takes the reports.
        closeStrikes(mixerFrame.load(std::memory_order_relaxed), true);
        mixerStopped.store(true, std::memory_order_release);
        output->close();
    }
    if (callbackThread.joinable()) {
        signalCallbackThread();
        callbackThread.join();
        callbackStopped.store(true, std::memory_order_release);
    }
}

std::string Engine::error() const {
    std::lock_guard lock(infoLock);
    return errorText;
}

bool Engine::attach(Voice* voice) {
    for (auto& slot : voiceSlots) {
        Voice* expected = nullptr;
        if (slot.compare_exchange_strong(expected, voice, std::memory_order_seq_cst)) return true;
    }
    return false;
}

void Engine::detach(Voice* voice) {
    for (auto& slot : voiceSlots) {
        Voice* expected = voice;
        if (slot.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst)) return;
    }
}

// The mixer makes `cycle` odd while it renders. A voice taken out of its slot
// before `mark` was read can still be in use only by a render that was running
// then (odd mark); once the cycle has moved on, nothing refers to it.
bool Engine::cyclePassed(std::uint64_t mark) const {
    return (mark & 1) == 0 || cycle.load(std::memory_order_seq_cst) > mark ||
           mixerStopped.load(std::memory_order_acquire);
}

void Engine::waitDelivered(Voice* voice, std::uint64_t count) {
    if (onCallbackThread()) return;
    for (;;) {
        const std::uint64_t d = voice->delivered.load(std::memory_order_acquire);
        if (d >= count || callbackStopped.load(std::memory_order_acquire)) return;
        voice->delivered.wait(d, std::memory_order_acquire);
    }
}

double Engine::frameOfTime(std::int64_t ns) const {
    return static_cast<double>(ns - originNs.load(std::memory_order_relaxed)) * settings.rate / 1e9;
}

void Engine::fail(const std::string& why) {
    {
        std::lock_guard lock(infoLock);  // taken once, when the output is already gone
        errorText = why;
    }
    lost.store(true, std::memory_order_release);
}

void Engine::signalCallbackThread() {
    wake.fetch_add(1, std::memory_order_release);
    wake.notify_one();
}

// ---- the mixer thread ----------------------------------------------------------------

void Engine::mixerLoop() {
    const std::int64_t lead = output->leadFrames();
    const double nsPerFrame = 1e9 / settings.rate;
    const auto periodNs = static_cast<std::int64_t>(period * nsPerFrame);
    std::int64_t blockStart = 0;
    bool deviceBuffers = false;  // the sink reports a real buffer fill
    double fillDeviation = 0;
    while (!stopping.load(std::memory_order_acquire)) {
        if (lost.load(std::memory_order_relaxed)) {
            // No output any more: hand every queued header back, in order,
            // and end every strike.
            render(blockStart, true);
            closeStrikes(blockStart, false);
            sleepUntil(monotonicNs() + 2000000);
            continue;
        }
        std::int64_t origin = originNs.load(std::memory_order_relaxed);
        const std::int64_t deadline = origin + static_cast<std::int64_t>((blockStart - lead) * nsPerFrame);
        sleepUntil(deadline);
        const std::int64_t behind = monotonicNs() - deadline;
        if (behind > periodNs && deadline > origin) lateBlocks.fetch_add(1, std::memory_order_relaxed);
        if (behind > 250000000) {
            // Stopped for a long while (a suspended machine): carry on from
            // now instead of racing through the missed time.
            origin += behind;
            originNs.store(origin, std::memory_order_relaxed);
        }
        render(blockStart, false);
        limitAndConvert();
        std::string why;
        const std::int64_t writeStart = monotonicNs();
        const Output::Result result = output->write(pcm.data(), period, why);
        if (result == Output::Result::Lost) {
            fail(why);
            continue;
        }
        blockStart += period;
        mixerFrame.store(blockStart, std::memory_order_relaxed);
        framesRendered.store(static_cast<std::uint64_t>(blockStart), std::memory_order_relaxed);
        const std::int64_t now = monotonicNs();
        const std::int64_t next = origin + static_cast<std::int64_t>((blockStart - lead) * nsPerFrame);
        if (result == Output::Result::Recovered) {
            // The device restarted with only the block just written: it
            // hears that block now, and the next blocks go out at once until
            // its buffer holds the lead again.
            xruns.fetch_add(1, std::memory_order_relaxed);
            origin = now - static_cast<std::int64_t>((blockStart - period) * nsPerFrame);
            originNs.store(origin, std::memory_order_relaxed);
            fillDeviation = 0;
        } else if (output->devicePaced() && now - writeStart > periodNs && now > next + periodNs) {
            // The device held us back a whole period: follow it. (Waking
            // late ourselves is no reason: the next blocks just go out at once.)
            originNs.store(origin + (now - next), std::memory_order_relaxed);
            lateBlocks.fetch_add(1, std::memory_order_relaxed);
        } else if (output->devicePaced()) {
            // A device whose clock drifts from ours shows in how full its
            // buffer is just after a write; averaged over many blocks (so
            // wake-up jitter cancels) the deviation moves our clock onto it.
            const long fill = output->bufferedFrames();
            const double expected = static_cast<double>(lead + period);
            if (fill >= lead) deviceBuffers = true;
            if (deviceBuffers && fill >= 0) {
                fillDeviation += (static_cast<double>(fill) - expected - fillDeviation) / 64.0;
                if (std::fabs(fillDeviation) > period / 4.0) {
                    originNs.store(origin + static_cast<std::int64_t>(fillDeviation * nsPerFrame),
                                   std::memory_order_relaxed);
                    fillDeviation = 0;
                    clockSlips.fetch_add(1, std::memory_order_relaxed);
                }
            }
        }
    }
}

void Engine::render(std::int64_t blockStart, bool drainAll) {
    cycle.fetch_add(1, std::memory_order_seq_cst);
    std::fill(mix.begin(), mix.end(), 0.0f);
    doneThisBlock = false;
    for (auto& slot : voiceSlots) {
        Voice* v = slot.load(std::memory_order_seq_cst);
        if (!v) continue;
        v->mixing.store(true, std::memory_order_seq_cst);
        if (!v->hold.load(std::memory_order_seq_cst)) {
            if (drainAll)
                drainVoice(*v);
            else
                processVoice(*v, blockStart, false);
        }
        v->mixing.store(false, std::memory_order_release);
    }
    if (!drainAll) {
        applyStrikes(blockStart);
        renderStrikes(blockStart);
    }
    cycle.fetch_add(1, std::memory_order_seq_cst);
    if (doneThisBlock) signalCallbackThread();
}

void Engine::drainVoice(Voice& v) {
    v.pullIndex = v.writeCount.load(std::memory_order_acquire);
    v.frameOffset = 0;
    emitDone(v, true);
    v.running = v.placing = v.flushing = false;
}

// Reports finished headers in order; a full queue leaves them for the next block.
void Engine::emitDone(Voice& v, bool all) {
    std::uint64_t rc = v.readCount.load(std::memory_order_relaxed);
    while (rc != v.pullIndex && (all || v.doneAt[rc % kVoiceRing] <= v.outMade)) {
        if (!doneQueue.push({&v, v.ring[rc % kVoiceRing]})) break;
        ++rc;
        v.readCount.store(rc, std::memory_order_release);
        doneThisBlock = true;
    }
}

// Reads up to maxFrames voice frames from the queued headers as float stereo.
std::size_t Engine::pull(Voice& v, float* out, std::size_t maxFrames) {
    std::size_t n = 0;
    const unsigned align = v.format.blockAlign;
    const std::uint64_t wc = v.writeCount.load(std::memory_order_acquire);
    while (n < maxFrames && v.pullIndex != wc) {
        WAVEHDR* h = v.ring[v.pullIndex % kVoiceRing];
        const std::uint64_t frames = h->dwBufferLength / align;
        if (v.frameOffset < frames) {
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(frames - v.frameOffset, maxFrames - n));
            convertToStereo(v.format,
                            reinterpret_cast<const unsigned char*>(h->lpData) + v.frameOffset * align, take,
                            out + 2 * n);
            v.frameOffset += take;
            n += take;
        }
        if (v.frameOffset >= frames) {
            // Done once its last frame has been mixed.
            v.doneAt[v.pullIndex % kVoiceRing] =
                static_cast<std::uint64_t>(std::ceil(static_cast<double>(v.inFed + n) * v.ratio - 1e-6));
            v.frameOffset = 0;
            ++v.pullIndex;
        }
    }
    v.inFed += n;
    return n;
}

// Makes up to `need` output frames of the voice; `ended` when its data ran out.
std::size_t Engine::produce(Voice& v, float* out, std::size_t need, bool& ended) {
    if (!v.resampler) {
        const std::size_t made = pull(v, out, need);
        v.position.fetch_add(made, std::memory_order_relaxed);
        ended = made < need;
        return made;
    }
    std::size_t made = 0;
    while (made < need) {
        if (!v.flushing && v.stagePos == v.stageFrames) {
            // Read only what this block needs, so headers finish when heard.
            const auto want = static_cast<std::size_t>(std::ceil((need - made) / v.ratio)) + 1;
            v.stagePos = 0;
            v.stageFrames = pull(v, v.stage, std::min(want, kStageFrames));
            if (v.stageFrames == 0) v.flushing = true;  // out of data: let the resampler's tail out
        }
        const float* in = v.stage + 2 * v.stagePos;
        const std::size_t available = v.flushing ? 0 : v.stageFrames - v.stagePos;
        const Resampler::Result r =
            v.resampler->process(in, available, out + 2 * made, need - made, v.flushing);
        if (!r.ok) {
            ended = true;
            break;
        }
        v.stagePos += r.used;
        made += r.made;
        v.position.fetch_add(r.used, std::memory_order_relaxed);
        if (r.made == 0 && (v.flushing || r.used == 0)) {
            ended = v.flushing;
            break;
        }
    }
    return made;
}

void Engine::processVoice(Voice& v, std::int64_t blockStart, bool) {
    // Load order matters: seeing a header (writeCount) or the release from
    // pause guarantees seeing the start stamp stored before it.
    const bool paused = v.pausedFlag.load(std::memory_order_acquire);
    const std::uint64_t wc = v.writeCount.load(std::memory_order_acquire);
    const std::int64_t stamp = v.startStamp.load(std::memory_order_acquire);
    if (paused) {
        if (v.running || v.placing) v.sawPause = true;
        return;
    }
    if (stamp != v.seenStamp) {
        v.seenStamp = stamp;
        if (!v.running || v.sawPause) {
            v.startFrame = std::llround(frameOfTime(stamp)) + latency;
            v.placing = true;
            v.running = false;
            v.sawPause = false;
            v.logPending = true;
        }
    }
    const bool hasData = wc != v.pullIndex || v.stagePos < v.stageFrames || v.flushing;
    if (!v.placing && !v.running) {
        if (!hasData) return;
        v.running = true;  // data that came without a start of its own: play at once
    }
    std::int64_t offset = 0;
    const std::int64_t end = static_cast<std::int64_t>(period);
    if (v.placing) {
        if (v.startFrame >= blockStart + end || !hasData) return;
        offset = std::max<std::int64_t>(0, v.startFrame - blockStart);
        if (v.startFrame < blockStart) lateStarts.fetch_add(1, std::memory_order_relaxed);
    }
    const std::uint32_t vol = v.volume.load(std::memory_order_relaxed);
    const float gainL = static_cast<float>(vol & 0xFFFF) / 65535.0f;
    const float gainR = static_cast<float>(vol >> 16) / 65535.0f;
    bool ended = false;
    const std::size_t made = produce(v, scratch.data(), static_cast<std::size_t>(end - offset), ended);
    if (made > 0) {
        if (v.placing) {
            v.placing = false;
            v.running = true;
        }
        if (v.logPending) {
            v.logPending = false;
            const std::int64_t first = blockStart + offset;
            const auto heard = originNs.load(std::memory_order_relaxed) +
                               std::llround(static_cast<double>(first) * 1e9 / settings.rate);
            if (!logQueue.push({v.id, v.seenStamp, frameOfTime(v.seenStamp), first,
                                static_cast<std::uint64_t>(v.instance), heard}))
                startsDropped.fetch_add(1, std::memory_order_relaxed);
            doneThisBlock = true;
        }
        float* dst = mix.data() + 2 * offset;
        for (std::size_t i = 0; i < made; ++i) {
            dst[2 * i] += scratch[2 * i] * gainL;
            dst[2 * i + 1] += scratch[2 * i + 1] * gainR;
        }
        v.outMade += made;
    }
    emitDone(v, ended);
    if (ended) {
        // Out of data: the voice is idle until its next start.
        v.running = false;
        v.flushing = false;
        if (v.resampler) v.resampler->reset();
        v.stageFrames = v.stagePos = 0;
        v.inFed = v.outMade = 0;
    }
}

// A peak limiter with instant attack: the gain drops just enough to keep
// the louder side at full scale, holds there for kLimiterHoldSeconds after
// the last peak that lowered it and then recovers smoothly; below full
// scale the mix passes bit-exact. The hold spans a low bell's whole cycle,
// so a loud chord is turned down, not flattened at every crest.
void Engine::limitAndConvert() {
    const std::uint32_t master = masterVolume.load(std::memory_order_relaxed);
    const float masterL = static_cast<float>(master & 0xFFFF) / 65535.0f;
    const float masterR = static_cast<float>(master >> 16) / 65535.0f;
    float g = limiterGain;
    for (unsigned i = 0; i < period; ++i) {
        float l = mix[2 * i] * masterL;
        float r = mix[2 * i + 1] * masterR;
        const float peak = std::max(std::fabs(l), std::fabs(r));
        if (peak * g > 1.0f) {
            g = 1.0f / peak;
            holdLeft = holdFrames;
        }
        l *= g;
        r *= g;
        pcm[2 * i] = static_cast<std::int16_t>(std::clamp(std::lrintf(l * 32768.0f), -32768L, 32767L));
        pcm[2 * i + 1] = static_cast<std::int16_t>(std::clamp(std::lrintf(r * 32768.0f), -32768L, 32767L));
        if (holdLeft > 0) {
            --holdLeft;
        } else if (g < 1.0f) {
            g += (1.0f - g) * releaseStep;
            if (g > 0.999999f) g = 1.0f;
        }
    }
    limiterGain = g;
}

// ---- the callback thread -----------------------------------------------------------

void Engine::callbackLoop() {
    // A buffer's start is in the log before its done is told: the mixer
    // queues the start first, so once a done is taken its start is there.
    auto logStarts = [this] {
        WaveOutStartRecord r;
        while (logQueue.pop(r)) {
            output->noteStart(r.voice, r.requestNs, r.requestFrame, r.firstFrame);
            {
                std::lock_guard lock(infoLock);
                starts[startsLogged++ % kStartLogLimit] = r;
            }
            notifyStart(r);
        }
    };
    for (;;) {
        const std::uint32_t seen = wake.load(std::memory_order_acquire);
        logStarts();
        DoneEvent e;
        while (doneQueue.pop(e)) {
            logStarts();
            Voice* v = e.voice;
            markHeaderDone(e.header);
            if (v->callback)
                v->callback(v->handle, MM_WOM_DONE, v->instance, reinterpret_cast<DWORD_PTR>(e.header), 0);
            v->delivered.fetch_add(1, std::memory_order_release);
            v->delivered.notify_all();
        }
        WaveOutStrikeReport sr;
        while (strikeReports.pop(sr)) notifyStrike(sr);
        if (mixerStopped.load(std::memory_order_acquire) && doneQueue.empty() && logQueue.empty() &&
            strikeReports.empty())
            return;
        wake.wait(seen, std::memory_order_acquire);
    }
}

WaveOutStatus Engine::status() const {
    WaveOutStatus s;
    s.running = true;
    s.failed = failed();
    s.outputName = settings.output;
    s.error = error();
    s.rate = settings.rate;
    s.periodFrames = period;
    s.latencyFrames = latency;
    s.originNs = originNs.load(std::memory_order_acquire);
    s.framesRendered = framesRendered.load(std::memory_order_relaxed);
    s.xruns = xruns.load(std::memory_order_relaxed);
    s.lateBlocks = lateBlocks.load(std::memory_order_relaxed);
    s.lateStarts = lateStarts.load(std::memory_order_relaxed);
    s.clockSlips = clockSlips.load(std::memory_order_relaxed);
    s.startsDropped = startsDropped.load(std::memory_order_relaxed);
    {
        std::lock_guard lock(infoLock);
        s.realtime = realtime;
        s.realtimeNote = realtimeNote;
        s.memoryLocked = memoryLocked;
        s.memoryNote = memoryNote;
    }
    s.strikeReportsDropped = strikeReportsDropped.load(std::memory_order_relaxed);
    return s;
}

std::vector<WaveOutStartRecord> Engine::startLog() const {
    std::lock_guard lock(infoLock);
    std::vector<WaveOutStartRecord> log;
    const std::uint64_t first = startsLogged > kStartLogLimit ? startsLogged - kStartLogLimit : 0;
    log.reserve(static_cast<std::size_t>(startsLogged - first));
    for (std::uint64_t i = first; i < startsLogged; ++i) log.push_back(starts[i % kStartLogLimit]);
    return log;
}

// ---- struck sounds -------------------------------------------------------------------

bool Engine::strike(const WaveOutStrike& s) {
    if (lost.load(std::memory_order_acquire) || stopping.load(std::memory_order_acquire)) return false;
    return strikeQueue.push(s);
}

std::int64_t Engine::heardNsOf(std::int64_t frame) const {
    return originNs.load(std::memory_order_relaxed) +
           std::llround(static_cast<double>(frame) * 1e9 / settings.rate);
}

void Engine::reportStrike(WaveOutStrikeReport::Kind kind, int slot, std::uint64_t blow,
                          const WaveOutSound* sound, std::int64_t requestNs, std::int64_t frame, bool late,
                          bool mayWait) {
    WaveOutStrikeReport r;
    r.kind = kind;
    r.slot = slot;
    r.blow = blow;
    r.sound = sound;
    r.requestNs = requestNs;
    r.frame = frame;
    r.heardNs = heardNsOf(frame);
    r.late = late;
    while (!strikeReports.push(r)) {
        if (!mayWait) {
            strikeReportsDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        // Stopping, off the mixer: the callback thread empties the queue.
        signalCallbackThread();
        std::this_thread::yield();
    }
    doneThisBlock = true;
}

void Engine::applyStrikes(std::int64_t blockStart) {
    WaveOutStrike s;
    while (strikeQueue.pop(s)) applyStrike(s, blockStart);
}

// Changes a slot's timeline; times become frames as voice starts do.
void Engine::applyStrike(const WaveOutStrike& s, std::int64_t blockStart) {
    StrikeSlot& slot = strikeSlots[static_cast<std::size_t>(s.slot)];
    const int index = s.slot;
    if (!s.keepPending) {
        int kept = 0;
        for (int i = 0; i < slot.count; ++i) {
            const StrikeEvent& e = slot.pending[static_cast<std::size_t>(i)];
            if (e.start)
                reportStrike(WaveOutStrikeReport::Replaced, index, e.blow, e.sound, e.requestNs, e.frame,
                             false);
            else if (s.silenceNs == 0)
                slot.pending[static_cast<std::size_t>(kept++)] = e;  // a silence stays unless a new one comes
        }
        slot.count = kept;
    }
    auto insert = [&](const StrikeEvent& e) {
        if (slot.count == kStrikePending) return false;
        int at = slot.count;
        while (at > 0 && slot.pending[static_cast<std::size_t>(at - 1)].frame > e.frame) {
            slot.pending[static_cast<std::size_t>(at)] = slot.pending[static_cast<std::size_t>(at - 1)];
            --at;
        }
        slot.pending[static_cast<std::size_t>(at)] = e;
        ++slot.count;
        return true;
    };
    if (s.silenceNs != 0) {
        StrikeEvent e;
        e.frame = std::llround(frameOfTime(s.silenceNs)) + latency;
        if (!insert(e)) {
            // No room: the silence wins over the latest start still ahead,
            // so that a bell is never left sounding.
            StrikeEvent& last = slot.pending[kStrikePending - 1];
            if (last.start) {
                reportStrike(WaveOutStrikeReport::Replaced, index, last.blow, last.sound, last.requestNs,
                             last.frame, false);
                --slot.count;
                insert(e);
            }
        }
    }
    const std::int64_t frame = std::llround(frameOfTime(s.startNs)) + latency;
    if (!s.sound || s.sound->rate != settings.rate) {
        reportStrike(WaveOutStrikeReport::Replaced, index, s.blow, s.sound, s.startNs,
                     std::max(frame, blockStart), false);
        return;
    }
    StrikeEvent e;
    e.start = true;
    e.frame = frame;
    e.sound = s.sound;
    e.blow = s.blow;
    e.requestNs = s.startNs;
    // A gain that is no number sounds the bell as it is.
    e.gain = std::isfinite(s.gain) ? std::clamp(s.gain, 0.0f, 64.0f) : 1.0f;
    if (!insert(e))
        reportStrike(WaveOutStrikeReport::Replaced, index, s.blow, s.sound, s.startNs,
                     std::max(frame, blockStart), false);
}

// Mixes the slot's sound over output frames [from, to) of the block.
void Engine::mixStrike(StrikeSlot& slot, int index, std::int64_t blockStart, std::int64_t from,
                       std::int64_t to) {
    if (!slot.sound || to <= from) return;
    const std::size_t left = slot.sound->frameCount() - slot.pos;
    const auto n =
        static_cast<std::size_t>(std::min<std::int64_t>(to - from, static_cast<std::int64_t>(left)));
    const float* src = slot.sound->frames.data() + 2 * slot.pos;
    float* dst = mix.data() + 2 * (from - blockStart);
    mixStrikeFrames(dst, src, n, slot.gain);
    slot.pos += n;
    if (slot.pos == slot.sound->frameCount()) {
        reportStrike(WaveOutStrikeReport::Ended, index, slot.blow, slot.sound, slot.requestNs,
                     from + static_cast<std::int64_t>(n), false);
        slot.sound = nullptr;
    }
}

void Engine::renderStrikes(std::int64_t blockStart) {
    const std::int64_t end = blockStart + period;
    for (int index = 0; index < kStrikeSlots; ++index) {
        StrikeSlot& slot = strikeSlots[static_cast<std::size_t>(index)];
        std::int64_t cursor = blockStart;
        while (slot.count > 0) {
            const StrikeEvent e = slot.pending[0];
            // One already behind us happens now.
            const std::int64_t at = std::max(e.frame, blockStart);
            if (at >= end) break;
            mixStrike(slot, index, blockStart, cursor, at);
            cursor = at;
            std::copy(slot.pending.begin() + 1, slot.pending.begin() + slot.count, slot.pending.begin());
            --slot.count;
            if (slot.sound) {
                reportStrike(WaveOutStrikeReport::Silenced, index, slot.blow, slot.sound, slot.requestNs, at,
                             false);
                slot.sound = nullptr;
            }
            if (!e.start) continue;
            const bool late = e.frame < blockStart;
            if (late) lateStarts.fetch_add(1, std::memory_order_relaxed);
            slot.sound = e.sound;
            slot.pos = 0;
            slot.blow = e.blow;
            slot.requestNs = e.requestNs;
            slot.gain = e.gain;
            reportStrike(WaveOutStrikeReport::Started, index, e.blow, e.sound, e.requestNs, at, late);
            if (!logQueue.push({kStrikeVoiceBase + static_cast<std::uint64_t>(index), e.requestNs,
                                frameOfTime(e.requestNs), at, e.blow, heardNsOf(at)}))
                startsDropped.fetch_add(1, std::memory_order_relaxed);
            if (e.sound->frameCount() == 0) {
                reportStrike(WaveOutStrikeReport::Ended, index, e.blow, e.sound, e.requestNs, at, false);
                slot.sound = nullptr;
            }
        }
        mixStrike(slot, index, blockStart, cursor, end);
    }
}

// The output ends: every strike taken and still open gets its last report.
void Engine::closeStrikes(std::int64_t frame, bool mayWait) {
    WaveOutStrike s;
    while (strikeQueue.pop(s)) {
        const std::int64_t at = std::max<std::int64_t>(frame, std::llround(frameOfTime(s.startNs)) + latency);
        reportStrike(WaveOutStrikeReport::Replaced, s.slot, s.blow, s.sound, s.startNs, at, false, mayWait);
    }
    for (int index = 0; index < kStrikeSlots; ++index) {
        StrikeSlot& slot = strikeSlots[static_cast<std::size_t>(index)];
        if (slot.sound) {
            reportStrike(WaveOutStrikeReport::Silenced, index, slot.blow, slot.sound, slot.requestNs, frame,
                         false, mayWait);
            slot.sound = nullptr;
        }
        for (int i = 0; i < slot.count; ++i) {
            const StrikeEvent& e = slot.pending[static_cast<std::size_t>(i)];
            if (e.start)
                reportStrike(WaveOutStrikeReport::Replaced, index, e.blow, e.sound, e.requestNs,
                             std::max(frame, e.frame), false, mayWait);
        }
        slot.count = 0;
    }
    if (doneThisBlock) signalCallbackThread();
}

// Keeps the mixer's own memory in RAM: a page fault on a block's way to the
// device is a click. Where RLIMIT_MEMLOCK refuses, it runs unlocked.
void Engine::lockMemory() {
    // Touch the stack the mixer will use, so that its pages exist.
    constexpr std::size_t kStack = 64 * 1024;
    volatile unsigned char stack[kStack];
    for (std::size_t i = 0; i < kStack; i += 4096) stack[i] = 0;
    struct Range {
        const void* p;
        std::size_t n;
    };
    const Range ranges[] = {
        {this, sizeof(*this)},
        {mix.data(), mix.size() * sizeof(float)},
        {scratch.data(), scratch.size() * sizeof(float)},
        {pcm.data(), pcm.size() * sizeof(std::int16_t)},
        {strikeQueue.storage(), strikeQueue.storageBytes()},
        {strikeReports.storage(), strikeReports.storageBytes()},
        {doneQueue.storage(), doneQueue.storageBytes()},
        {logQueue.storage(), logQueue.storageBytes()},
        {const_cast<unsigned char*>(stack), kStack},
    };
    std::size_t total = 0;
    int error = 0;
    for (const Range& r : ranges) {
        if (mlock(r.p, r.n) == 0)
            total += r.n;
        else if (!error)
            error = errno;
    }
    rlimit lim{};
    getrlimit(RLIMIT_MEMLOCK, &lim);
    std::string note;
    if (!error) {
        note = std::to_string((total + 1023) / 1024) + " KB locked";
    } else {
        note = std::string("not all locked: ") + std::strerror(error);
        if (lim.rlim_cur != RLIM_INFINITY)
            note += " (RLIMIT_MEMLOCK " + std::to_string(lim.rlim_cur / 1024) + " KB)";
    }
    std::lock_guard lock(infoLock);
    memoryLocked = !error;
    memoryNote = note;
}
