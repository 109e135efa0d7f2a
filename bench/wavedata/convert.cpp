// Prints how fast the PCM converter turns a minute of sound into the device's
// 2048-byte buffers, per format the bells may come in, and what one buffer
// costs (a refill runs on the main thread; a pull that starts a new input
// block converts the whole block).

#include "wavedata/MMPCMConverter.h"

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

WAVEFORMATEX Format(WORD tag, WORD bits, WORD channels, DWORD rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = tag;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(bits / 8 * channels);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

class MemorySource : public TMMDSPComponent {
public:
    MemorySource(const WAVEFORMATEX& format, std::vector<BYTE> data) : Data(std::move(data)) {
        SetOutputValid(true);
        SetPWaveFormat(&format);
    }
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        const size_t n = std::min<size_t>(lpwh->dwBufferLength, Data.size() - Position);
        std::memcpy(lpwh->lpData, Data.data() + Position, n);
        Position += n;
        lpwh->dwBytesRecorded = static_cast<DWORD>(n);
        MoreBuffers = Position < Data.size();
    }
    std::vector<BYTE> Data;
    size_t Position = 0;
};

struct Case {
    const char* name;
    WAVEFORMATEX format;
    bool autoConvert;
    DWORD outRate;
};

void Run(const Case& c) {
    const double seconds = 60;
    std::vector<BYTE> data(static_cast<size_t>(c.format.nAvgBytesPerSec * seconds));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(128 + 100 * std::sin(i * 0.01));
    MemorySource source(c.format, data);
    TMMPCMConverter conv;
    conv.SetInputValid(true);
    conv.SetInput(&source);
    if (!c.autoConvert) {
        conv.SetAutoConvert(false);
        conv.SetRequired(rpSampleRate | rpBits);
        conv.SetBitLength(b16Bit);
        conv.SetSampleRate(static_cast<int>(c.outRate));
    }
    source.Opened();
    conv.Opened();
    source.Started();
    conv.Started();

    std::vector<char> buffer(2048);
    std::vector<double> times;
    size_t out = 0;
    const auto start = Clock::now();
    for (bool more = true; more;) {
        TMMWaveHdr h{};
        h.lpData = buffer.data();
        h.dwBufferLength = static_cast<DWORD>(buffer.size());
        more = false;
        const auto t0 = Clock::now();
        conv.BufferLoad(&h, more);
        times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        out += h.dwBytesRecorded;
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return times[static_cast<size_t>(q * static_cast<double>(times.size() - 1))];
    };
    std::printf(
        "%-38s %7.0fx real time  per buffer: median %6.1f us, 99%% %7.1f us, max %8.1f us  (%zu bytes out)\n",
        c.name, seconds / total, at(0.5), at(0.99), times.back(), out);
    conv.Stopped();
    conv.Closed();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Case cases[] = {
        {"PCM 16-bit stereo 44.1 kHz (through)", Format(WAVE_FORMAT_PCM, 16, 2, 44100), true, 0},
        {"a-law 8 kHz -> 16-bit", Format(WAVE_FORMAT_ALAW, 8, 1, 8000), true, 0},
        {"float stereo 48 kHz -> 16-bit", Format(WAVE_FORMAT_IEEE_FLOAT, 32, 2, 48000), true, 0},
        {"16-bit mono 22.05 -> 44.1 kHz", Format(WAVE_FORMAT_PCM, 16, 1, 22050), false, 44100},
        {"8-bit stereo 11.025 -> 44.1 kHz", Format(WAVE_FORMAT_PCM, 8, 2, 11025), false, 44100},
    };
    std::printf("PCM converter, 60 s of sound each, 2048-byte buffers:\n");
    for (const Case& c : cases) Run(c);
    return 0;
}
