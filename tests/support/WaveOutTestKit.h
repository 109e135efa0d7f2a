#pragma once

// Helpers for driving the wave output functions and reading what they played.

#include "platform/waveout/waveout.h"
#include "tests/support/EventPump.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Records every report of one or more voices.
struct Reports {
    struct Entry {
        HWAVEOUT handle;
        UINT msg;
        WAVEHDR* header;
        bool doneFlagSet;
        std::thread::id thread;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Entry> entries;

    static void proc(HWAVEOUT hwo, UINT msg, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
        auto* self = reinterpret_cast<Reports*>(instance);
        auto* h = reinterpret_cast<WAVEHDR*>(p1);
        std::lock_guard l(self->lock);
        self->entries.push_back({hwo, msg, msg == MM_WOM_DONE ? h : nullptr,
                                 msg == MM_WOM_DONE && (h->dwFlags & WHDR_DONE), std::this_thread::get_id()});
        self->changed.notify_all();
    }

    std::size_t count(UINT msg, HWAVEOUT h = nullptr) {
        std::lock_guard l(lock);
        std::size_t n = 0;
        for (const Entry& e : entries) n += e.msg == msg && (!h || e.handle == h);
        return n;
    }
    std::vector<WAVEHDR*> done(HWAVEOUT h = nullptr) {
        std::lock_guard l(lock);
        std::vector<WAVEHDR*> out;
        for (const Entry& e : entries)
            if (e.msg == MM_WOM_DONE && (!h || e.handle == h)) out.push_back(e.header);
        return out;
    }
    // Waits (generously) until `n` done reports have arrived.
    bool waitDone(std::size_t n, HWAVEOUT h = nullptr, int seconds = 20) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::unique_lock l(lock);
        return changed.wait_until(l, until, [&] {
            std::size_t k = 0;
            for (const Entry& e : entries) k += e.msg == MM_WOM_DONE && (!h || e.handle == h);
            return k >= n;
        });
    }
};

inline DWORD_PTR callbackOf() {
    return reinterpret_cast<DWORD_PTR>(&Reports::proc);
}

inline WAVEFORMATEX pcmFormat(WORD channels, DWORD rate, WORD bits, WORD tag = WAVE_FORMAT_PCM) {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// A header owning its data.
struct Buffer {
    std::vector<char> data;
    WAVEHDR hdr{};
    explicit Buffer(std::vector<char> bytes) : data(std::move(bytes)) {
        hdr.lpData = data.data();
        hdr.dwBufferLength = static_cast<DWORD>(data.size());
    }
    template <typename T>
    static Buffer of(const std::vector<T>& samples) {
        std::vector<char> bytes(samples.size() * sizeof(T));
        std::memcpy(bytes.data(), samples.data(), bytes.size());
        return Buffer(std::move(bytes));
    }
};

// The samples of a 16-bit stereo WAV written by the capture output.
struct Capture {
    unsigned rate = 0;
    unsigned channels = 0;
    std::uint32_t riffSize = 0;
    std::uint32_t dataSize = 0;
    std::vector<std::int16_t> samples;  // interleaved
    std::size_t frames() const { return channels ? samples.size() / channels : 0; }
    std::int16_t at(std::size_t frame, unsigned ch) const { return samples[frame * channels + ch]; }
};

inline bool readCapture(const std::string& path, Capture& c) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<unsigned char> b;
    unsigned char tmp[65536];
    std::size_t n;
    while ((n = std::fread(tmp, 1, sizeof tmp, f)) > 0) b.insert(b.end(), tmp, tmp + n);
    std::fclose(f);
    if (b.size() < 44 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVEfmt ", 8) ||
        std::memcmp(b.data() + 36, "data", 4))
        return false;
    auto u32 = [&](std::size_t o) {
        return std::uint32_t(b[o] | b[o + 1] << 8 | b[o + 2] << 16 | std::uint32_t(b[o + 3]) << 24);
    };
    c.channels = b[22] | b[23] << 8;
    c.rate = u32(24);
    c.riffSize = u32(4);
    c.dataSize = u32(40);
    if (b.size() - 44 < c.dataSize) return false;
    c.samples.resize(c.dataSize / 2);
    if (!c.samples.empty()) std::memcpy(c.samples.data(), b.data() + 44, c.samples.size() * 2);
    return true;
}

// Files this process writes may not grow past Bytes while it lives (as on a
// full disk: a write past it fails with EFBIG instead of raising SIGXFSZ);
// Lift() or the end gives them room again.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t Bytes) {
        FOldSignal = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &FOld);
        rlimit small = FOld;
        small.rlim_cur = Bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        Lift();
        std::signal(SIGXFSZ, FOldSignal);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    void Lift() { setrlimit(RLIMIT_FSIZE, &FOld); }

private:
    rlimit FOld{};
    void (*FOldSignal)(int) = SIG_DFL;
};

// The capture output for a test: a fresh WAV file that the mixer writes,
// read back when the test is done; the settings file's output again after.
// Link gtest and Qt (the folder is a QTemporaryDir).
class CaptureFixture {
protected:
    ~CaptureFixture() { waveOutUseSettingsFile(); }

    // Starts the capture output (fails the test when it cannot start).
    void StartCapture(unsigned PeriodFrames = 128, unsigned Rate = 48000, unsigned StrokeLatencyUs = 0) {
        Path = Dir.file("mix.wav").toStdString();
        WaveOutSettings s;
        s.output = "capture:" + Path;
        s.periodFrames = PeriodFrames;
        s.rate = Rate;
        s.strokeLatencyMicroseconds = StrokeLatencyUs;
        waveOutConfigure(s);
        ASSERT_EQ(waveOutGetNumDevs(), 1u) << waveOutGetStatus().error;
    }
    // Ends the output and reads what it wrote; the start log first, when asked.
    Capture FinishCapture(std::vector<WaveOutStartRecord>* Log = nullptr) {
        if (Log) *Log = waveOutGetStartLog();
        waveOutShutdown();
        Capture c;
        EXPECT_TRUE(readCapture(Path, c)) << Path;
        return c;
    }

    TempDir Dir;
    std::string Path;
};
