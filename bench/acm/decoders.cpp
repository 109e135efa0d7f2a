// Decoding throughput of each decoder, in MB/s of 16-bit output.

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "platform/acm/acm.h"
#include "wavedata/MMADPCM.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs one pass (returning output bytes) repeatedly for about half a second.
void Measure(const char* name, const std::function<size_t()>& pass) {
    pass();  // warm up
    size_t bytes = 0;
    const auto start = Clock::now();
    double seconds = 0;
    do {
        bytes += pass();
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < 0.5);
    std::printf("%-28s %8.1f MB/s of output\n", name, bytes / seconds / 1e6);
}

WAVEFORMATEX Pcm(int channels, DWORD rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(2 * channels);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

// Converts `input` through an ACM stream in 8192-byte loads, as the PCM
// converter does.
struct AcmRun {
    HACMSTREAM stream = nullptr;
    ACMSTREAMHEADER header{};
    std::vector<BYTE> src, dst;
    const std::vector<BYTE>& input;

    AcmRun(const WAVEFORMATEX* from, const WAVEFORMATEX* to, const std::vector<BYTE>& in) : input(in) {
        if (acmStreamOpen(&stream, nullptr, from, to, nullptr, 0, 0, 0) != MMSYSERR_NOERROR) {
            std::fprintf(stderr, "cannot open stream\n");
            std::exit(1);
        }
        const DWORD load = 8192 / from->nBlockAlign * from->nBlockAlign;
        DWORD out = 0;
        acmStreamSize(stream, load, &out, ACM_STREAMSIZEF_SOURCE);
        src.resize(load);
        dst.resize(out);
        header.cbStruct = ACMSTREAMHEADER_CBSTRUCT;
        header.pbSrc = src.data();
        header.cbSrcLength = load;
        header.pbDst = dst.data();
        header.cbDstLength = out;
        acmStreamPrepareHeader(stream, &header, 0);
    }
    ~AcmRun() {
        acmStreamUnprepareHeader(stream, &header, 0);
        acmStreamClose(stream, 0);
    }
    size_t operator()() {
        size_t produced = 0;
        for (size_t pos = 0; pos + src.size() <= input.size(); pos += src.size()) {
            std::memcpy(src.data(), input.data() + pos, src.size());
            header.cbSrcLength = static_cast<DWORD>(src.size());
            acmStreamConvert(stream, &header, ACM_STREAMCONVERTF_BLOCKALIGN);
            produced += header.cbDstLengthUsed;
        }
        return produced;
    }
};

}  // namespace

int main() {
    std::mt19937 random(1);
    std::vector<BYTE> noise(4 << 20);
    for (auto& b : noise) b = static_cast<BYTE>(random());

    // Microsoft ADPCM, 44.1 kHz stereo blocks of 2048 bytes, decoded in 4096-byte loads.
    {
        TADPCMWaveFormat f{};
        const WAVEFORMATEX pcm = Pcm(2, 44100);
        adpcmBuildFormatHeader(&pcm, &f, 16, -1, -1);
        std::vector<BYTE> data = noise;
        for (size_t b = 0; b + f.wfx.nBlockAlign <= data.size(); b += f.wfx.nBlockAlign) {
            data[b] = data[b] % 7;
            data[b + 1] = data[b + 1] % 7;
        }
        std::vector<BYTE> out(adpcmDecodedSize(&f.wfx, &pcm, 4096));
        Measure("Microsoft ADPCM", [&] {
            size_t n = 0;
            for (size_t pos = 0; pos + 4096 <= data.size(); pos += 4096)
                n += adpcmDecode4Bit(&f.wfx, &pcm, data.data() + pos, 4096, out.data(),
                                     static_cast<int>(out.size()));
            return n;
        });
    }
    // IMA ADPCM through the compression manager, 44.1 kHz stereo, 2048-byte blocks.
    {
        std::vector<BYTE> fmt(20, 0);
        auto* f = reinterpret_cast<WAVEFORMATEX*>(fmt.data());
        f->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
        f->nChannels = 2;
        f->nSamplesPerSec = 44100;
        f->wBitsPerSample = 4;
        f->nBlockAlign = 2048;
        f->cbSize = 2;
        const WORD spb = (2048 - 8) / 8 * 8 + 1;
        std::memcpy(fmt.data() + 18, &spb, 2);
        const WAVEFORMATEX pcm = Pcm(2, 44100);
        AcmRun run(f, &pcm, noise);
        Measure("IMA ADPCM (acm)", std::ref(run));
    }
    for (WORD tag : {WAVE_FORMAT_ALAW, WAVE_FORMAT_MULAW}) {
        WAVEFORMATEX f{};
        f.wFormatTag = tag;
        f.nChannels = 1;
        f.nSamplesPerSec = 8000;
        f.wBitsPerSample = 8;
        f.nBlockAlign = 1;
        const WAVEFORMATEX pcm = Pcm(1, 8000);
        AcmRun run(&f, &pcm, noise);
        Measure(tag == WAVE_FORMAT_ALAW ? "a-law (acm)" : "mu-law (acm)", std::ref(run));
    }
    {
        std::vector<BYTE> sine(noise.size());
        for (size_t i = 0; i + 1 < sine.size(); i += 2) {
            const auto v = static_cast<std::int16_t>(12000 * std::sin(i * 0.03));
            std::memcpy(&sine[i], &v, 2);
        }
        const WAVEFORMATEX from = Pcm(2, 44100), to = Pcm(2, 48000);
        AcmRun run(&from, &to, sine);
        Measure("PCM 44.1 -> 48 kHz (acm)", std::ref(run));
    }
    return 0;
}
