#include "platform/base/Clock.h"
#include "platform/waveout/Output.h"
#include "platform/waveout/SpscQueue.h"

#include <alsa/asoundlib.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// ---- ALSA -----------------------------------------------------------------------

// ALSA's own messages would go to stderr; ours carry the same error text.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

class AlsaOutput final : public Output {
public:
    explicit AlsaOutput(std::string name) : name(std::move(name)) {}
    ~AlsaOutput() override { close(); }

    bool open(unsigned rate, unsigned periodFrames, std::string& error) override {
        snd_lib_error_set_handler(&quietAlsa);
        int err = snd_pcm_open(&pcm, name.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (err < 0) {
            pcm = nullptr;
            error = "ALSA " + name + ": " + snd_strerror(err);
            return false;
        }
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        unsigned r = rate;
        snd_pcm_uframes_t period = periodFrames;
        snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(periodFrames) * 4;
        int dir = 0;
        if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
            (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
            (err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE)) < 0 ||
            (err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0 ||
            (err = snd_pcm_hw_params_set_rate(pcm, hw, r, 0)) < 0 ||
            (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir)) < 0 ||
            (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0 ||
            (err = snd_pcm_hw_params(pcm, hw)) < 0) {
            error = "ALSA " + name + ": cannot set 16-bit stereo at " + std::to_string(rate) +
                    " Hz: " + snd_strerror(err);
            close();
            return false;
        }
        snd_pcm_sw_params_t* sw;
        snd_pcm_sw_params_alloca(&sw);
        if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
            (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, periodFrames)) < 0 ||
            (err = snd_pcm_sw_params_set_avail_min(pcm, sw, periodFrames)) < 0 ||
            (err = snd_pcm_sw_params(pcm, sw)) < 0 || (err = snd_pcm_prepare(pcm)) < 0) {
            error = "ALSA " + name + ": " + snd_strerror(err);
            close();
            return false;
        }
        bufferFrames = static_cast<unsigned>(buffer);
        // Keep one period of the device buffer free so a write never waits long.
        lead = bufferFrames > 2 * periodFrames ? bufferFrames - 2 * periodFrames : 0;
        lead = std::max(lead, periodFrames);
        return true;
    }

    unsigned leadFrames() const override { return lead; }
    bool devicePaced() const override { return true; }

    Result write(const std::int16_t* frames, unsigned count, std::string& error) override {
        Result result = Result::Ok;
        int idle = 0;
        while (count > 0) {
            snd_pcm_sframes_t n = snd_pcm_writei(pcm, frames, count);
            if (n >= 0) {
                frames += 2 * n;
                count -= static_cast<unsigned>(n);
                idle = 0;
                continue;
            }
            if (n == -EAGAIN) {
                // Room comes within a period; a device that stays full for a
                // second is gone.
                const int w = snd_pcm_wait(pcm, 1000);
                if (w == 0 && ++idle >= 2) {
                    error = "ALSA " + name + ": the device stopped taking data";
                    return Result::Lost;
                }
                if (w >= 0) continue;
                n = w;
            }
            if (n == -EPIPE || n == -ESTRPIPE) {
                if (snd_pcm_recover(pcm, static_cast<int>(n), 1) >= 0) {
                    result = Result::Recovered;
                    continue;
                }
            }
            error = "ALSA " + name + ": " + snd_strerror(static_cast<int>(n));
            return Result::Lost;
        }
        return result;
    }

    long bufferedFrames() override {
        snd_pcm_sframes_t delay = 0;
        return snd_pcm_delay(pcm, &delay) < 0 ? -1 : static_cast<long>(delay);
    }

    void close() override {
        if (pcm) {
            snd_pcm_drop(pcm);
            snd_pcm_close(pcm);
            pcm = nullptr;
        }
    }

    std::string productName() const override { return "ALSA " + name; }

private:
    std::string name;
    snd_pcm_t* pcm = nullptr;
    unsigned bufferFrames = 0;
    unsigned lead = 0;
};

// ---- null -------------------------------------------------------------------------

class NullOutput final : public Output {
public:
    bool open(unsigned, unsigned, std::string&) override { return true; }
    Result write(const std::int16_t*, unsigned, std::string&) override { return Result::Ok; }
    std::string productName() const override { return "Null output"; }
};

// ---- capture ----------------------------------------------------------------------

// 16-bit stereo PCM WAV. The mixer hands blocks through a lock-free ring;
// a writer thread appends them and rewrites the RIFF sizes every quarter
// second, so the file is valid at (nearly) any moment and exactly at close.
class CaptureOutput final : public Output {
public:
    explicit CaptureOutput(std::string path) : path(std::move(path)) {}
    ~CaptureOutput() override { close(); }

    bool open(unsigned r, unsigned, std::string& error) override {
        rate = r;
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            error = "capture " + path + ": " + std::strerror(errno);
            return false;
        }
        if (!writeHeader()) {
            error = "capture " + path + ": " + std::strerror(errno);
            ::close(fd);
            fd = -1;
            return false;
        }
        openStarts();
        // Four seconds of room: the writer falling that far behind is a failure.
        ring = std::make_unique<SpscQueue<std::int16_t>>(static_cast<std::size_t>(rate) * 2 * 4);
        writer = std::thread([this] { writeLoop(); });
        return true;
    }

    Result write(const std::int16_t* frames, unsigned count, std::string& error) override {
        if (writeFailed.load(std::memory_order_acquire)) {
            error = "capture " + path + ": cannot write the file";
            return Result::Lost;
        }
        if (!ring->pushAll(frames, 2 * std::size_t{count})) {
            error = "capture " + path + ": the file writer fell behind";
            return Result::Lost;
        }
        return Result::Ok;
    }

    void close() override {
        if (writer.joinable()) {
            stopping.store(true, std::memory_order_release);
            writer.join();
        }
        if (fd >= 0) {
            drain();
            writeHeader();
            ::close(fd);
            fd = -1;
            closeStarts();
        }
    }

    std::string productName() const override { return "Capture to WAV file"; }

    void noteStart(std::uint64_t voice, std::int64_t requestNs, double requestFrame,
                   std::int64_t firstFrame) override {
        // Written as they come (on the callback thread, never the mixer's), so
        // that an output that runs for hours holds none of them.
        std::lock_guard lock(startsLock);
        if (!startsFile) return;
        std::fprintf(startsFile, "%llu,%lld,%.3f,%lld\n", static_cast<unsigned long long>(voice),
                     static_cast<long long>(requestNs), requestFrame, static_cast<long long>(firstFrame));
    }

private:
    static void put32(unsigned char* p, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
    }
    static void put16(unsigned char* p, std::uint16_t v) {
        p[0] = static_cast<unsigned char>(v);
        p[1] = static_cast<unsigned char>(v >> 8);
    }

    bool writeHeader() {
        unsigned char h[44];
        const std::uint64_t cap = 0xFFFFFFFFull - 36;
        const auto data = static_cast<std::uint32_t>(std::min<std::uint64_t>(dataBytes, cap) & ~1ull);
        std::memcpy(h, "RIFF", 4);
        put32(h + 4, 36 + data);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        put32(h + 16, 16);
        put16(h + 20, 1);
        put16(h + 22, 2);
        put32(h + 24, rate);
        put32(h + 28, rate * 4);
        put16(h + 32, 4);
        put16(h + 34, 16);
        std::memcpy(h + 36, "data", 4);
        put32(h + 40, data);
        return ::pwrite(fd, h, sizeof h, 0) == static_cast<ssize_t>(sizeof h);
    }

    void drain() {
        while (ring) {
            const std::size_t n = ring->popSome(chunk.data(), chunk.size());
            if (n == 0) return;
            if constexpr (std::endian::native != std::endian::little)
                for (std::size_t i = 0; i < n; ++i)
                    put16(reinterpret_cast<unsigned char*>(&chunk[i]), static_cast<std::uint16_t>(chunk[i]));
            flush(n);
        }
    }

    void flush(std::size_t samples) {
        if (samples == 0 || writeFailed.load(std::memory_order_relaxed)) return;
        const auto* p = reinterpret_cast<const char*>(chunk.data());
        std::size_t left = samples * 2;
        while (left > 0) {
            const ssize_t w = ::pwrite(fd, p, left, static_cast<off_t>(44 + dataBytes));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                writeFailed.store(true, std::memory_order_release);
                return;
            }
            p += w;
            left -= static_cast<std::size_t>(w);
            dataBytes += static_cast<std::uint64_t>(w);
        }
    }

    void writeLoop() {
        std::int64_t lastHeader = MonotonicNs();
        while (!stopping.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            drain();
            const std::int64_t now = MonotonicNs();
            if (now - lastHeader > 250'000'000) {
                if (!writeHeader()) writeFailed.store(true, std::memory_order_release);
                lastHeader = now;
            }
        }
    }

    // The start log beside the capture: one line per voice started.
    void openStarts() {
        std::lock_guard lock(startsLock);
        if (startsFile) std::fclose(startsFile);
        startsFile = std::fopen((path + ".starts").c_str(), "w");
        if (startsFile) std::fprintf(startsFile, "voice,request_ns,request_frame,first_frame\n");
    }
    void closeStarts() {
        std::lock_guard lock(startsLock);
        if (startsFile) std::fclose(startsFile);
        startsFile = nullptr;
    }

    std::string path;
    unsigned rate = 48000;
    int fd = -1;
    std::uint64_t dataBytes = 0;
    std::unique_ptr<SpscQueue<std::int16_t>> ring;
    std::vector<std::int16_t> chunk = std::vector<std::int16_t>(8192);
    std::thread writer;
    std::atomic<bool> stopping{false};
    std::atomic<bool> writeFailed{false};
    std::mutex startsLock;
    FILE* startsFile = nullptr;
};

}  // namespace

std::unique_ptr<Output> makeAlsaOutput(const std::string& pcmName) {
    return std::make_unique<AlsaOutput>(pcmName);
}
std::unique_ptr<Output> makeNullOutput() {
    return std::make_unique<NullOutput>();
}
std::unique_ptr<Output> makeCaptureOutput(const std::string& path) {
    return std::make_unique<CaptureOutput>(path);
}
