#pragma once

// Wave output: the fifteen waveOut entry points over one in-process mixer.
//
// Every waveOutOpen makes a voice on one shared output stream (ALSA, a
// clock-paced null output or a capture to a WAV file). Reports go through a
// CALLBACK_FUNCTION callback: MM_WOM_OPEN inside waveOutOpen and MM_WOM_CLOSE
// inside waveOutClose on the calling thread; MM_WOM_DONE on the callback
// thread, one per header in write order, except that the headers handed back
// by waveOutReset are reported inside waveOutReset (after every done report
// of that voice still on its way), so no caller ever has to wait for them.
// WHDR_DONE is set on a header before its done report.
//
// A voice that starts (a write to an idle, running voice, or waveOutRestart
// with data queued) is heard at the start time plus one fixed latency,
// whatever the period size.
//
// An output that is lost (ALSA fails, the capture file cannot be written)
// hands back every queued header; writes and opens then fail with
// MMSYSERR_NODRIVER and the device count is 0 while any voice that played
// on it is still open. Once the last of them is closed, the next call starts
// the output afresh (a capture file is written anew), and tries again at
// every call until it runs.

#include "platform/base/wintypes.h"
#include "platform/waveout/Strikes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using WCHAR = char16_t;
using MMVERSION = UINT;

struct HWAVEOUT__;
using HWAVEOUT = HWAVEOUT__*;
using LPHWAVEOUT = HWAVEOUT*;

inline constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);

// waveOutOpen flags
inline constexpr DWORD WAVE_FORMAT_QUERY = 0x0001;
inline constexpr DWORD WAVE_ALLOWSYNC = 0x0002;
inline constexpr DWORD WAVE_MAPPED = 0x0004;
inline constexpr DWORD WAVE_FORMAT_DIRECT = 0x0008;
inline constexpr DWORD CALLBACK_TYPEMASK = 0x00070000;
inline constexpr DWORD CALLBACK_NULL = 0x00000000;
inline constexpr DWORD CALLBACK_WINDOW = 0x00010000;
inline constexpr DWORD CALLBACK_TASK = 0x00020000;
inline constexpr DWORD CALLBACK_THREAD = CALLBACK_TASK;
inline constexpr DWORD CALLBACK_FUNCTION = 0x00030000;
inline constexpr DWORD CALLBACK_EVENT = 0x00050000;

// Reports
inline constexpr UINT MM_WOM_OPEN = 0x3BB;
inline constexpr UINT MM_WOM_CLOSE = 0x3BC;
inline constexpr UINT MM_WOM_DONE = 0x3BD;
inline constexpr UINT WOM_OPEN = MM_WOM_OPEN;
inline constexpr UINT WOM_CLOSE = MM_WOM_CLOSE;
inline constexpr UINT WOM_DONE = MM_WOM_DONE;

using WAVEOUTPROC = void (*)(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                             DWORD_PTR dwParam2);

inline constexpr int MAXPNAMELEN = 32;
inline constexpr UINT MAXERRORLENGTH = 256;

// dwFormats bits of the capabilities (standard rates, all taken here)
inline constexpr DWORD WAVE_FORMAT_1M08 = 0x00000001;
inline constexpr DWORD WAVE_FORMAT_4S16 = 0x00000800;
inline constexpr DWORD WAVE_FORMAT_96S16 = 0x00080000;

// dwSupport bits
inline constexpr DWORD WAVECAPS_PITCH = 0x0001;
inline constexpr DWORD WAVECAPS_PLAYBACKRATE = 0x0002;
inline constexpr DWORD WAVECAPS_VOLUME = 0x0004;
inline constexpr DWORD WAVECAPS_LRVOLUME = 0x0008;
inline constexpr DWORD WAVECAPS_SYNC = 0x0010;
inline constexpr DWORD WAVECAPS_SAMPLEACCURATE = 0x0020;

struct WAVEOUTCAPS {
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};

// ---- The engine table ---------------------------------------------------------
UINT waveOutGetNumDevs();
MMRESULT waveOutGetDevCaps(UINT_PTR uDeviceID, WAVEOUTCAPS* pwoc, UINT cbwoc);
// Volume: low word left, high word right, 0xFFFF full. A handle sets that
// voice; a device number (0) sets the master volume.
MMRESULT waveOutGetVolume(HWAVEOUT hwo, DWORD* pdwVolume);
MMRESULT waveOutSetVolume(HWAVEOUT hwo, DWORD dwVolume);
// cchText characters at most, terminating zero included.
MMRESULT waveOutGetErrorText(MMRESULT mmrError, WCHAR* pszText, UINT cchText);
MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR dwInstance, DWORD fdwOpen);
MMRESULT waveOutClose(HWAVEOUT hwo);
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh);
MMRESULT waveOutPause(HWAVEOUT hwo);
MMRESULT waveOutRestart(HWAVEOUT hwo);
MMRESULT waveOutReset(HWAVEOUT hwo);
MMRESULT waveOutGetPosition(HWAVEOUT hwo, MMTIME* pmmt, UINT cbmmt);
MMRESULT waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2);

// ---- Choosing, inspecting and restarting the output (program set-up, tests) --

// 8 ms from a stroke's arrival to its bell's first frame: with the window
// busy repainting, the strokes benchmark finds all but one or two strokes in
// several hundred handled within it (one handled later plays at once and is
// counted); 10 ms takes those too, at 2 ms more for every bell.
inline constexpr unsigned kDefaultStrokeLatencyMicroseconds = 8000;

struct WaveOutSettings {
    // "default", an ALSA PCM name ("hw:0", "file:'/tmp/x.raw',raw", ...),
    // "null", or "capture:<path>" (16-bit stereo PCM WAV at the output rate).
    std::string output = "default";
    unsigned periodFrames = 128;         // 16..4096
    unsigned rate = 48000;               // output rate
    unsigned marginMicroseconds = 1000;  // scheduling allowance in the fixed latency
    // The fixed latency from a start's request time to its first frame
    // (a stroke's arrival to its bell's first sample): at least the
    // output's own lead, period and margin; more lets a caller that comes
    // late still land every start on its sample.
    unsigned strokeLatencyMicroseconds = kDefaultStrokeLatencyMicroseconds;
};

// The settings the output uses when it starts: the [AUDIO] section of
// <configuration folder>/QUORVEL/settings.ini (Output=, PeriodFrames=,
// StrokeLatencyMs=),
// unless waveOutConfigure has set them.
WaveOutSettings waveOutSettingsFromFile();

// Stops the output (see waveOutShutdown) and uses these settings from the
// next call on instead of the settings file.
void waveOutConfigure(const WaveOutSettings& settings);
// Stops the output and reads the settings file again at the next call.
void waveOutUseSettingsFile();

// Moves to another output ("default", an ALSA PCM name, "null" or
// "capture:<path>"), the other settings kept. With no voice open the old
// output stops and the new one starts at once (true); otherwise sounds
// finish on the old output and the switch happens when the last voice
// closes (false). Voices opened meanwhile still go to the old output.
bool waveOutSetOutput(const std::string& output);

// An output that ALSA's device hints offer: the PCM name and its
// description (the hint's lines joined by ", "). Capture-only PCMs left out.
struct WaveOutHint {
    std::string name;
    std::string description;
};
std::vector<WaveOutHint> waveOutListAlsaOutputs();

// Ends the output: the capture file is completed, threads end. Voices still
// open lose their output (their queued headers are reported done, later
// calls on them fail with MMSYSERR_NODRIVER). The next call starts afresh.
void waveOutShutdown();

struct WaveOutStatus {
    bool running = false;    // an output is open
    bool failed = false;     // the output was lost; playback ended
    std::string outputName;  // as chosen
    std::string error;       // why it failed or could not start
    unsigned rate = 0;
    unsigned periodFrames = 0;
    std::int64_t latencyFrames = 0;  // fixed start latency in output frames
    std::int64_t originNs = 0;       // CLOCK_MONOTONIC time of output frame 0
    std::uint64_t framesRendered = 0;
    std::uint64_t xruns = 0;                 // device underruns recovered
    std::uint64_t lateBlocks = 0;            // blocks rendered after their time
    std::uint64_t lateStarts = 0;            // starts that could not be placed exactly
    std::uint64_t clockSlips = 0;            // corrections of the clock onto a drifting device
    std::uint64_t startsDropped = 0;         // start records the log's queue had no room for
    bool realtime = false;                   // the mixer thread runs at real-time priority
    std::string realtimeNote;                // which priority, or why it was not granted
    bool memoryLocked = false;               // the mixer's buffers and stack are locked in RAM
    std::string memoryNote;                  // how much, or why not
    std::uint64_t strikeReportsDropped = 0;  // struck-sound reports the queue had no room for
};
WaveOutStatus waveOutGetStatus();

// One start of a voice: when it was asked for and where its first frame went.
struct WaveOutStartRecord {
    std::uint64_t voice = 0;      // numeric value of the handle
    std::int64_t requestNs = 0;   // CLOCK_MONOTONIC of the request
    double requestFrame = 0;      // that time on the output clock, in frames
    std::int64_t firstFrame = 0;  // output frame where the first frame was mixed
    std::uint64_t instance = 0;   // the voice's dwInstance (whose voice it is)
    std::int64_t heardNs = 0;     // CLOCK_MONOTONIC at which that frame is heard
};
// Start records since the output started (oldest first, the latest 8192);
// the capture output also writes all of them to "<path>.starts" when it ends.
std::vector<WaveOutStartRecord> waveOutGetStartLog();

// Told of each start on the callback thread as it is logged, soon after its
// first frame was mixed (the mixer hands it over without waiting). It runs
// before the next done reports, so it should be short, and must not call
// the wave output. Returns the previous listener; none is installed at first.
using WaveOutStartListener = std::function<void(const WaveOutStartRecord& start)>;
WaveOutStartListener waveOutSetStartListener(WaveOutStartListener listener);

// One line on the output: its name, rate, period, latency and whether the
// mixer runs at real-time priority (and why not).
std::string waveOutDescribe(const WaveOutStatus& status);

// Where the output says that it started (waveOutDescribe) or why it could
// not; called with the output's lock held, so it must not call back in.
// Returns the previous logger; none is installed at first.
using WaveOutLogger = std::function<void(const std::string& line)>;
WaveOutLogger waveOutSetLogger(WaveOutLogger log);

// CLOCK_MONOTONIC in nanoseconds (the clock start requests are stamped with).
std::int64_t waveOutNowNs();
