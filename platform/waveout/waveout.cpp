#include "platform/waveout/waveout.h"

#include "platform/profile/profile.h"
#include "platform/shell/shell.h"
#include "platform/waveout/Engine.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace {

// Process-wide state of the wave output functions. `lock` is held only for
// short look-ups and changes, never while a callback runs; a call waits under
// it only while an output starts, or a lost one with no voice left stops.
struct Registry {
    // At program end the output stops (and a capture file is completed)
    // before the voices it mixes go away.
    ~Registry();

    std::mutex lock;
    std::shared_ptr<Engine> engine;
    bool attempted = false;
    bool recovering = false;  // the output was lost: every call tries to start it until it runs
    std::string startError;
    std::optional<WaveOutSettings> configured;
    // An output chosen while voices played; taken once the last one closes.
    std::optional<WaveOutSettings> switchTo;
    std::unordered_map<HWAVEOUT, std::shared_ptr<Voice>> voices;
    struct Retired {
        std::shared_ptr<Voice> voice;
        std::shared_ptr<Engine> engine;
        std::uint64_t mark;
    };
    std::vector<Retired> retired;
    std::uint64_t nextId = 1;
};

Registry& registry() {
    static Registry r;
    return r;
}

// The striker finds the running engine without the registry's lock.
// waveOutStrike announces itself in `strikers`, then reads `strikeEngine`;
// whoever takes an engine away clears `strikeEngine`, then waits until
// `strikers` is 0. Both sides use sequentially consistent operations for
// that store-then-load pair (a Dekker hand-shake): either the striker sees
// null, or the clearer sees it inside and waits for it to leave. The
// striker's release on leaving and the waiter's acquire make its push onto
// the strike queue visible to the thread that then stops the engine.
std::atomic<Engine*> strikeEngine{nullptr};
std::atomic<int> strikers{0};

void publishForStrikes(Engine* engine) {
    strikeEngine.store(engine, std::memory_order_seq_cst);
}

void withdrawFromStrikes(Engine* engine) {
    Engine* expected = engine;
    strikeEngine.compare_exchange_strong(expected, nullptr, std::memory_order_seq_cst);
    // Reading 0 from the striker's release decrement (a seq_cst load acquires) makes its push visible.
    while (strikers.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

Registry::~Registry() {
    if (engine) {
        withdrawFromStrikes(engine.get());
        engine->stop();
    }
}

std::unique_ptr<Output> makeOutput(const std::string& output) {
    std::string lower = output;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower.empty() || lower == "default") return makeAlsaOutput("default");
    if (lower == "null") return makeNullOutput();
    if (lower.rfind("capture:", 0) == 0) return makeCaptureOutput(output.substr(8));
    return makeAlsaOutput(output);
}

WaveOutLogger& logger() {
    static WaveOutLogger l;
    return l;
}

bool playsOn(const Registry& r, const std::shared_ptr<Engine>& engine) {
    return std::any_of(r.voices.begin(), r.voices.end(),
                       [&](const auto& e) { return e.second->engine == engine; });
}

// A chosen output replaces the running one once no voice is open. Not on
// the callback thread: the stop waits for it.
void switchIfIdleLocked(Registry& r) {
    if (!r.switchTo || !r.voices.empty()) return;
    if (r.engine && r.engine->onCallbackThread()) return;
    if (r.engine) {
        withdrawFromStrikes(r.engine.get());
        r.engine->stop();
        // Its mixer has stopped: nothing can touch the voices it had.
        std::erase_if(r.retired, [&](const Registry::Retired& x) { return x.engine == r.engine; });
        r.engine.reset();
    }
    r.configured = std::move(r.switchTo);
    r.switchTo.reset();
    r.attempted = false;
    r.recovering = false;
    r.startError.clear();
}

// The running engine, started on first use; null when no output can be had.
// A lost output gives way to a fresh one once no voice plays on it (a full
// disk that has room again, a sound card that is back).
std::shared_ptr<Engine> engineLocked(Registry& r) {
    switchIfIdleLocked(r);
    // The lost one stops here, before its successor opens the same device or
    // file. No voice is left on it, so its callback thread has nothing to
    // deliver and never waits for this lock (nor is it the caller: the stop
    // waits for that thread).
    if (r.engine && r.engine->failed() && !playsOn(r, r.engine) && !r.engine->onCallbackThread()) {
        if (logger()) logger()("sound output lost: " + r.engine->error() + "; starting it again");
        withdrawFromStrikes(r.engine.get());
        r.engine->stop();
        r.engine.reset();
        r.recovering = true;
    }
    if (r.engine || (r.attempted && !r.recovering)) return r.engine;
    r.attempted = true;
    const WaveOutSettings s = r.configured ? *r.configured : waveOutSettingsFromFile();
    auto engine = std::make_shared<Engine>(s, makeOutput(s.output));
    if (!engine->start()) {
        r.startError = engine->error();
        if (logger()) logger()("sound output " + s.output + " cannot start: " + r.startError);
        return nullptr;
    }
    r.recovering = false;
    r.startError.clear();
    r.engine = std::move(engine);
    publishForStrikes(r.engine.get());
    if (logger()) logger()(waveOutDescribe(r.engine->status()));
    return r.engine;
}

std::shared_ptr<Engine> currentEngine() {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    return engineLocked(r);
}

// Frees closed voices that the mixer can no longer be touching.
void collectRetiredLocked(Registry& r) {
    std::erase_if(r.retired, [](const Registry::Retired& x) { return x.engine->cyclePassed(x.mark); });
}

std::shared_ptr<Voice> findVoice(HWAVEOUT hwo) {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    auto it = r.voices.find(hwo);
    return it == r.voices.end() ? nullptr : it->second;
}

void report(const Voice& v, UINT msg, DWORD_PTR p1 = 0) {
    if (v.callback) v.callback(v.handle, msg, v.instance, p1, 0);
}

// Takes the voice from the mixer and returns its unfinished headers, oldest
// first; afterwards the voice is empty and at position 0. Caller holds callerLock.
std::vector<WAVEHDR*> takeQueuedLocked(Voice& v, std::uint64_t& emitted) {
    v.hold.store(true, std::memory_order_seq_cst);
    while (v.mixing.load(std::memory_order_seq_cst)) std::this_thread::yield();
    emitted = v.readCount.load(std::memory_order_acquire);
    const std::uint64_t wc = v.writeCount.load(std::memory_order_acquire);
    std::vector<WAVEHDR*> back;
    back.reserve(static_cast<std::size_t>(wc - emitted));
    for (std::uint64_t i = emitted; i != wc; ++i) back.push_back(v.ring[i % kVoiceRing]);
    v.readCount.store(wc, std::memory_order_release);
    v.pullIndex = wc;
    v.frameOffset = 0;
    v.inFed = v.outMade = 0;
    v.flushing = false;
    v.running = v.placing = v.logPending = v.sawPause = false;
    v.stageFrames = v.stagePos = 0;
    if (v.resampler && !v.resampler->clean()) v.resampler->reset();
    v.position.store(0, std::memory_order_relaxed);
    v.hold.store(false, std::memory_order_seq_cst);
    return back;
}

void deliverReturned(Voice& v, const std::vector<WAVEHDR*>& back) {
    for (WAVEHDR* h : back) {
        markHeaderDone(h);
        report(v, MM_WOM_DONE, reinterpret_cast<DWORD_PTR>(h));
        v.delivered.fetch_add(1, std::memory_order_release);
    }
    v.delivered.notify_all();
}

// A voice's start is stamped when it is asked for; strokes carry their
// own time to the mixer as struck sounds instead.
std::int64_t nextStamp(const Voice& v) {
    return std::max(waveOutNowNs(), v.startStamp.load(std::memory_order_relaxed) + 1);
}

bool headerArgsBad(const WAVEHDR* h, UINT cb) {
    return !h || cb < sizeof(WAVEHDR) || (!h->lpData && h->dwBufferLength);
}

struct ErrorText {
    MMRESULT code;
    const char* text;
};

// Our own wording, one line per result code.
constexpr ErrorText kErrorTexts[] = {
    {MMSYSERR_NOERROR, "No error."},
    {MMSYSERR_ERROR, "The wave output failed for an unknown reason."},
    {MMSYSERR_BADDEVICEID, "There is no wave output device with that number."},
    {MMSYSERR_NOTENABLED, "The wave output driver is not enabled."},
    {MMSYSERR_ALLOCATED, "The wave output device is in use by another program."},
    {MMSYSERR_INVALHANDLE, "The wave output handle is not valid."},
    {MMSYSERR_NODRIVER, "No wave output is available (no sound output could be opened, or it was lost)."},
    {MMSYSERR_NOMEM, "Not enough memory, or too many buffers queued on this handle."},
    {MMSYSERR_NOTSUPPORTED, "The wave output does not support this request."},
    {MMSYSERR_BADERRNUM, "That error number has no text."},
    {MMSYSERR_INVALFLAG, "A flag passed to the wave output is not valid."},
    {MMSYSERR_INVALPARAM, "A parameter passed to the wave output is not valid."},
    {MMSYSERR_HANDLEBUSY, "The handle is in use by another thread."},
    {MMSYSERR_INVALIDALIAS, "The device alias is not known."},
    {MMSYSERR_BADDB, "The driver database is damaged."},
    {MMSYSERR_KEYNOTFOUND, "The driver key was not found."},
    {MMSYSERR_READERROR, "The driver settings could not be read."},
    {MMSYSERR_WRITEERROR, "The driver settings could not be written."},
    {MMSYSERR_DELETEERROR, "The driver settings could not be deleted."},
    {MMSYSERR_VALNOTFOUND, "The driver setting was not found."},
    {MMSYSERR_NODRIVERCB, "The driver gave no callback."},
    {WAVERR_BADFORMAT, "The wave output cannot play this wave format."},
    {WAVERR_STILLPLAYING, "Buffers are still queued on this wave output handle."},
    {WAVERR_UNPREPARED, "The wave buffer has not been prepared."},
    {WAVERR_SYNC, "The wave output device is synchronous only."},
};

}  // namespace

// ---- settings ---------------------------------------------------------------------------

WaveOutSettings waveOutSettingsFromFile() {
    WaveOutSettings s;
    const QString file = GetSpecialFolderPath(CSIDL_COMMON_APPDATA) + "/QUORVEL/settings.ini";
    const QString output = GetPrivateProfileString("AUDIO", "Output", "default", file).trimmed();
    s.output = output.isEmpty() ? "default" : output.toStdString();
    const int period = GetPrivateProfileInt("AUDIO", "PeriodFrames", static_cast<int>(s.periodFrames), file);
    s.periodFrames = static_cast<unsigned>(std::clamp(period, 16, 4096));
    bool ok = false;
    const double strokeMs =
        GetPrivateProfileString("AUDIO", "StrokeLatencyMs", "", file).trimmed().toDouble(&ok);
    if (ok) s.strokeLatencyMicroseconds = static_cast<unsigned>(std::clamp(strokeMs, 0.0, 1000.0) * 1000.0);
    return s;
}

void waveOutConfigure(const WaveOutSettings& settings) {
    waveOutShutdown();
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    r.configured = settings;
    r.switchTo.reset();
}

void waveOutUseSettingsFile() {
    waveOutShutdown();
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    r.configured.reset();
    r.switchTo.reset();
}

bool waveOutSetOutput(const std::string& output) {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    WaveOutSettings s = r.switchTo ? *r.switchTo : r.configured ? *r.configured : waveOutSettingsFromFile();
    s.output = output;
    r.switchTo = s;
    // Started now, so that the next stroke does not wait for it.
    engineLocked(r);
    return !r.switchTo;
}

void waveOutShutdown() {
    Registry& r = registry();
    std::shared_ptr<Engine> engine;
    std::vector<std::shared_ptr<Voice>> open;
    {
        std::lock_guard lock(r.lock);
        engine = std::move(r.engine);
        r.engine.reset();
        r.attempted = false;
        r.recovering = false;
        r.startError.clear();
        for (auto& [h, v] : r.voices) open.push_back(v);
    }
    if (engine) {
        withdrawFromStrikes(engine.get());
        engine->stop();
    }
    for (auto& v : open) {
        std::vector<WAVEHDR*> back;
        {
            std::lock_guard vl(v->callerLock);
            if (v->dead) continue;
            std::uint64_t emitted = 0;
            back = takeQueuedLocked(*v, emitted);
            v->dead = true;
        }
        deliverReturned(*v, back);
    }
    std::lock_guard lock(r.lock);
    for (auto& v : open)
        if (engine) engine->detach(v.get());
    r.retired.clear();
}

bool waveOutStrike(const WaveOutStrike& strike) {
    if (strike.slot < 0 || strike.slot >= kStrikeSlots) return false;
    strikers.fetch_add(1, std::memory_order_seq_cst);
    Engine* engine = strikeEngine.load(std::memory_order_seq_cst);
    const bool taken = engine && engine->strike(strike);
    strikers.fetch_sub(1, std::memory_order_release);
    return taken;
}

bool waveOutStartOutput() {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    auto engine = engineLocked(r);
    return engine && !engine->failed();
}

std::string waveOutDescribe(const WaveOutStatus& s) {
    if (!s.running)
        return "sound output " + s.outputName + " not running" + (s.error.empty() ? "" : ": " + s.error);
    char latency[32];
    std::snprintf(latency, sizeof latency, "%.2f", 1000.0 * double(s.latencyFrames) / s.rate);
    return "sound output " + s.outputName + ": " + std::to_string(s.rate) + " Hz, " +
           std::to_string(s.periodFrames) + "-frame periods, start latency " + latency + " ms; mixer " +
           (s.realtime ? "at real-time priority (" + s.realtimeNote + ")"
                       : "not at real-time priority (" + s.realtimeNote + ")") +
           "; memory " + (s.memoryLocked ? "locked (" : "not locked (") + s.memoryNote + ")";
}

WaveOutLogger waveOutSetLogger(WaveOutLogger log) {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    WaveOutLogger previous = std::move(logger());
    logger() = std::move(log);
    return previous;
}

WaveOutStatus waveOutGetStatus() {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    if (!r.engine) {
        WaveOutStatus s;
        s.outputName = (r.configured ? *r.configured : waveOutSettingsFromFile()).output;
        s.error = r.startError;
        return s;
    }
    return r.engine->status();
}

std::vector<WaveOutStartRecord> waveOutGetStartLog() {
    Registry& r = registry();
    std::lock_guard lock(r.lock);
    return r.engine ? r.engine->startLog() : std::vector<WaveOutStartRecord>{};
}

// ---- the engine table ---------------------------------------------------------------------

UINT waveOutGetNumDevs() {
    auto engine = currentEngine();
    return engine && !engine->failed() ? 1 : 0;
}

MMRESULT waveOutGetDevCaps(UINT_PTR uDeviceID, WAVEOUTCAPS* pwoc, UINT cbwoc) {
    if (!pwoc) return MMSYSERR_INVALPARAM;
    const bool mapper = uDeviceID == WAVE_MAPPER || uDeviceID == static_cast<UINT_PTR>(-1);
    if (uDeviceID != 0 && !mapper) return MMSYSERR_BADDEVICEID;
    auto engine = currentEngine();
    if (!engine || engine->failed()) return MMSYSERR_BADDEVICEID;
    WAVEOUTCAPS caps{};
    caps.wMid = 0xFF;
    caps.wPid = 1;
    caps.vDriverVersion = 0x0100;
    const std::string name = engine->productName();
    for (std::size_t i = 0; i < name.size() && i + 1 < MAXPNAMELEN; ++i)
        caps.szPname[i] = static_cast<WCHAR>(static_cast<unsigned char>(name[i]));
    caps.dwFormats = 0x000FFFFF;
    caps.wChannels = 2;
    caps.dwSupport = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;
    std::memcpy(pwoc, &caps, std::min<std::size_t>(cbwoc, sizeof caps));
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume) {
    if (!pdwVolume) return MMSYSERR_INVALPARAM;
    if (auto v = findVoice(hwo)) {
        *pdwVolume = v->volume.load(std::memory_order_relaxed);
        return MMSYSERR_NOERROR;
    }
    if (reinterpret_cast<UINT_PTR>(hwo) == 0) {
        auto engine = currentEngine();
        if (!engine) return MMSYSERR_NODRIVER;
        *pdwVolume = engine->getMasterVolume();
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALHANDLE;
}

MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume) {
    if (auto v = findVoice(hwo)) {
        v->volume.store(dwVolume, std::memory_order_relaxed);
        return MMSYSERR_NOERROR;
    }
    if (reinterpret_cast<UINT_PTR>(hwo) == 0) {
        auto engine = currentEngine();
        if (!engine) return MMSYSERR_NODRIVER;
        engine->setMasterVolume(dwVolume);
        return MMSYSERR_NOERROR;
    }
    return MMSYSERR_INVALHANDLE;
}

MMRESULT waveOutGetErrorText(MMRESULT mmrError, WCHAR* pszText, UINT cchText) {
    if (!pszText || cchText == 0) return MMSYSERR_INVALPARAM;
    for (const ErrorText& e : kErrorTexts) {
        if (e.code != mmrError) continue;
        const std::size_t n = std::min<std::size_t>(std::strlen(e.text), cchText - 1);
        for (std::size_t i = 0; i < n; ++i) pszText[i] = static_cast<WCHAR>(e.text[i]);
        pszText[n] = 0;
        return MMSYSERR_NOERROR;
    }
    pszText[0] = 0;
    return MMSYSERR_BADERRNUM;
}

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen) {
    constexpr DWORD known =
        WAVE_FORMAT_QUERY | WAVE_ALLOWSYNC | WAVE_MAPPED | WAVE_FORMAT_DIRECT | CALLBACK_TYPEMASK;
    if (fdwOpen & ~known) return MMSYSERR_INVALFLAG;
    const DWORD callbackType = fdwOpen & CALLBACK_TYPEMASK;
    if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_FUNCTION)
        return callbackType == CALLBACK_WINDOW || callbackType == CALLBACK_THREAD ||
                       callbackType == CALLBACK_EVENT
                   ? MMSYSERR_NOTSUPPORTED
                   : MMSYSERR_INVALFLAG;
    const bool query = fdwOpen & WAVE_FORMAT_QUERY;
    if (!query && !phwo) return MMSYSERR_INVALPARAM;
    if (uDeviceID != 0 && uDeviceID != WAVE_MAPPER) return MMSYSERR_BADDEVICEID;
    VoiceFormat format;
    const MMRESULT formatResult = parseWaveFormat(pwfx, format);

    Registry& r = registry();
    std::unique_lock lock(r.lock);
    auto engine = engineLocked(r);
    if (!engine || engine->failed()) return MMSYSERR_NODRIVER;
    if (formatResult != MMSYSERR_NOERROR) return formatResult;
    if (query) return MMSYSERR_NOERROR;
    if (callbackType == CALLBACK_FUNCTION && !dwCallback) return MMSYSERR_INVALPARAM;
    collectRetiredLocked(r);

    auto v = std::make_shared<Voice>();
    v->id = r.nextId++;
    v->handle = reinterpret_cast<HWAVEOUT>(static_cast<std::uintptr_t>(0x10000 + v->id));
    v->callback = callbackType == CALLBACK_FUNCTION ? reinterpret_cast<WAVEOUTPROC>(dwCallback) : nullptr;
    v->instance = dwInstance;
    v->format = format;
    v->engine = engine;
    if (format.rate != engine->rate()) {
        v->ratio = static_cast<double>(engine->rate()) / format.rate;
        v->resampler = Resampler::make(format.rate, engine->rate());
        if (!v->resampler) return MMSYSERR_NOMEM;
    }
    if (!engine->attach(v.get())) return MMSYSERR_ALLOCATED;
    r.voices.emplace(v->handle, v);
    lock.unlock();
    *phwo = v->handle;
    report(*v, MM_WOM_OPEN);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    auto v = findVoice(hwo);
    if (!v) return MMSYSERR_INVALHANDLE;
    std::uint64_t emitted = 0;
    std::shared_ptr<Engine> engine;
    {
        std::lock_guard vl(v->callerLock);
        emitted = v->readCount.load(std::memory_order_acquire);
        if (emitted != v->writeCount.load(std::memory_order_acquire)) return WAVERR_STILLPLAYING;
        engine = v->engine;
        v->dead = true;
    }
    if (engine) engine->waitDelivered(v.get(), emitted);
    {
        Registry& r = registry();
        std::lock_guard lock(r.lock);
        if (r.voices.erase(hwo) == 0) return MMSYSERR_INVALHANDLE;  // closed meanwhile by another thread
        if (engine) {
            engine->detach(v.get());
            r.retired.push_back({v, engine, engine->cycleMark()});
            collectRetiredLocked(r);
        }
        // The last sound on an output given up: the chosen one starts now,
        // not with the next stroke.
        if (r.switchTo && r.voices.empty()) engineLocked(r);
    }
    report(*v, MM_WOM_CLOSE);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    if (!findVoice(hwo)) return MMSYSERR_INVALHANDLE;
    if (headerArgsBad(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    const DWORD flags = headerFlags(pwh);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    setHeaderFlags(pwh, flags | WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    if (!findVoice(hwo)) return MMSYSERR_INVALHANDLE;
    if (headerArgsBad(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    const DWORD flags = headerFlags(pwh);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    setHeaderFlags(pwh, flags & ~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    auto v = findVoice(hwo);
    if (!v) return MMSYSERR_INVALHANDLE;
    if (headerArgsBad(pwh, cbwh)) return MMSYSERR_INVALPARAM;
    const DWORD flags = headerFlags(pwh);
    if (!(flags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    std::lock_guard vl(v->callerLock);
    if (v->dead || !v->engine || v->engine->failed()) return MMSYSERR_NODRIVER;
    const std::uint64_t wc = v->writeCount.load(std::memory_order_relaxed);
    const std::uint64_t rc = v->readCount.load(std::memory_order_acquire);
    if (wc - rc >= kVoiceRing) return MMSYSERR_NOMEM;
    setHeaderFlags(pwh, (flags & ~WHDR_DONE) | WHDR_INQUEUE);
    v->ring[wc % kVoiceRing] = pwh;
    // A write to an idle, running voice starts it: stamp before publishing.
    if (!v->paused && rc == wc) v->startStamp.store(nextStamp(*v), std::memory_order_release);
    v->writeCount.store(wc + 1, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT hwo) {
    auto v = findVoice(hwo);
    if (!v) return MMSYSERR_INVALHANDLE;
    std::lock_guard vl(v->callerLock);
    v->paused = true;
    v->pausedFlag.store(true, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT hwo) {
    auto v = findVoice(hwo);
    if (!v) return MMSYSERR_INVALHANDLE;
    std::lock_guard vl(v->callerLock);
    if (!v->paused) return MMSYSERR_NOERROR;
    v->paused = false;
    if (v->readCount.load(std::memory_order_acquire) != v->writeCount.load(std::memory_order_relaxed))
        v->startStamp.store(nextStamp(*v), std::memory_order_release);
    v->pausedFlag.store(false, std::memory_order_release);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    auto v = findVoice(hwo);
    if (!v) return MMSYSERR_INVALHANDLE;
    std::vector<WAVEHDR*> back;
    std::uint64_t emitted = 0;
    std::shared_ptr<Engine> engine;
    {
        std::lock_guard vl(v->callerLock);
        if (v->dead) return MMSYSERR_NOERROR;
        back = takeQueuedLocked(*v, emitted);
        engine = v->engine;
    }
    // Reports already on their way come first, so the order holds.
    if (engine) engine->waitDelivered(v.get(), emitted);
    deliverReturned(*v, back);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT hwo, MMTIME* pmmt, UINT cbmmt) {
    auto v = findVoice(hwo);
    if (!v) return MMSYSERR_INVALHANDLE;
    if (!pmmt || cbmmt < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    const std::uint64_t samples = v->position.load(std::memory_order_relaxed);
    switch (pmmt->wType) {
        case TIME_SAMPLES:
            pmmt->u.sample = static_cast<DWORD>(samples);
            break;
        case TIME_MS:
            pmmt->u.ms = static_cast<DWORD>(samples * 1000 / v->format.rate);
            break;
        default:
            pmmt->wType = TIME_BYTES;
            pmmt->u.cb = static_cast<DWORD>(samples * v->format.blockAlign);
            break;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutMessage(HWAVEOUT hwo, UINT, DWORD_PTR, DWORD_PTR) {
    if (!findVoice(hwo)) return MMSYSERR_INVALHANDLE;
    return MMSYSERR_NOTSUPPORTED;
}
