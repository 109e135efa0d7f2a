// The demo ring: sixteen tuned church bells, synthesized so that the console
// has something to play before a tower records its own bells.
//
//   quorvel-bell-synth OUTPUT_DIR
//
// writes OUTPUT_DIR/bell01.wav (the treble) to bell16.wav (the tenor):
// 44.1 kHz, 16-bit, mono PCM. The same files every run.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace {

constexpr int kRate = 44100;

struct Partial {
    const char* name;
    double ratio;      // frequency over the nominal's
    double amplitude;  // relative to the nominal
    double decay;      // time constant in the tenor, seconds
};

// A true-harmonic bell: hum, prime and nominal in octaves, a minor-third
// tierce, a fifth quint. The partials above the nominal are a little wider
// than harmonic, as in real bells, and die away first.
constexpr std::array<Partial, 10> kPartials{{
    {"hum", 0.25, 0.30, 2.80},
    {"prime", 0.50, 0.40, 1.60},
    {"tierce", 0.5946, 0.50, 1.30},
    {"quint", 0.75, 0.12, 0.60},
    {"nominal", 1.00, 1.00, 1.00},
    {"superquint", 1.505, 0.45, 0.45},
    {"octave nominal", 2.01, 0.40, 0.32},
    {"I-7", 2.53, 0.22, 0.22},
    {"I-8", 3.08, 0.15, 0.15},
    {"I-9", 3.66, 0.10, 0.10},
}};

// The ring in D major with the tenor on the key note, as towers tune them:
// semitones of each bell's nominal above the tenor's, treble first.
constexpr double kTenorNominal = 587.33;  // D5; the strike note sounds an octave lower
constexpr std::array<int, 16> kScale{26, 24, 23, 21, 19, 17, 16, 14, 12, 11, 9, 7, 5, 4, 2, 0};

// The clapper's blow: a few milliseconds of noise and inharmonic ring
// above the partials.
constexpr double kStrikeDecay = 0.0015;
constexpr double kStrikeLevel = 0.35;
constexpr std::array<double, 3> kStrikeRatios{4.23, 5.37, 6.71};

constexpr double kAttack = 0.0003;    // seconds: sharp, but no click
constexpr double kFadeShare = 0.2;    // of the length, to exact silence
constexpr double kPeakDbfs = -3.0;

// Our own generator, so the noise is the same on every library.
class Noise {
public:
    double Next() {  // uniform in [-1, 1)
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<double>(state >> 11) / 4503599627370496.0 - 1.0;
    }

private:
    std::uint64_t state = 0x51a7e5b3c0ffee11ULL;
};

double RaisedCosine(double x) { return 0.5 - 0.5 * std::cos(std::numbers::pi * x); }

std::vector<std::int16_t> Bell(int index) {
    const double nominal = kTenorNominal * std::exp2(kScale[index] / 12.0);
    const double seconds = 2.0 + 2.0 * index / 15.0;  // smaller bells ring shorter
    const double decayScale = seconds / 4.0;
    const auto frames = static_cast<std::size_t>(std::lround(seconds * kRate));
    const double nyquistGuard = 0.45 * kRate;

    std::vector<double> wave(frames, 0.0);
    for (const Partial& p : kPartials) {
        const double w = 2.0 * std::numbers::pi * nominal * p.ratio / kRate;
        const double tau = p.decay * decayScale * kRate;
        for (std::size_t n = 0; n < frames; ++n) {
            const auto t = static_cast<double>(n);
            wave[n] += p.amplitude * std::exp(-t / tau) * std::sin(w * t);
        }
    }

    Noise noise;
    const double strikeTau = kStrikeDecay * kRate;
    const double lowpass = 1.0 - std::exp(-2.0 * std::numbers::pi * std::min(4.0 * nominal, 8000.0) / kRate);
    double smoothed = 0.0;
    for (std::size_t n = 0; n < frames && n < 20 * strikeTau; ++n) {
        const auto t = static_cast<double>(n);
        smoothed += lowpass * (noise.Next() - smoothed);
        double ring = 0.0;
        for (double r : kStrikeRatios)
            if (nominal * r < nyquistGuard) ring += std::sin(2.0 * std::numbers::pi * nominal * r * t / kRate);
        wave[n] += kStrikeLevel * std::exp(-t / strikeTau) * (2.0 * smoothed + 0.5 * ring);
    }

    const double attack = kAttack * kRate;
    const double fade = kFadeShare * static_cast<double>(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        if (n < attack) wave[n] *= RaisedCosine(static_cast<double>(n) / attack);
        const double left = static_cast<double>(frames - 1 - n);
        if (left < fade) wave[n] *= RaisedCosine(left / fade);
    }

    double peak = 0.0;
    for (double v : wave) peak = std::max(peak, std::abs(v));
    const double gain = 32767.0 * std::pow(10.0, kPeakDbfs / 20.0) / peak;
    std::vector<std::int16_t> pcm(frames);
    for (std::size_t n = 0; n < frames; ++n) pcm[n] = static_cast<std::int16_t>(std::lround(wave[n] * gain));
    return pcm;
}

void Put16(std::string& out, unsigned v) {
    out += static_cast<char>(v & 0xff);
    out += static_cast<char>((v >> 8) & 0xff);
}

void Put32(std::string& out, std::uint32_t v) {
    Put16(out, v & 0xffff);
    Put16(out, v >> 16);
}

// A plain RIFF WAVE: fmt and data, nothing else. 16-bit mono data is always
// of even size, so no chunk needs a pad byte.
std::string Wav(const std::vector<std::int16_t>& pcm) {
    const auto dataBytes = static_cast<std::uint32_t>(pcm.size() * 2);
    std::string out = "RIFF";
    Put32(out, 4 + 8 + 16 + 8 + dataBytes);
    out += "WAVEfmt ";
    Put32(out, 16);
    Put16(out, 1);  // PCM
    Put16(out, 1);  // mono
    Put32(out, kRate);
    Put32(out, kRate * 2);
    Put16(out, 2);
    Put16(out, 16);
    out += "data";
    Put32(out, dataBytes);
    for (std::int16_t s : pcm) Put16(out, static_cast<std::uint16_t>(s));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvel-bell-synth OUTPUT_DIR\n");
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::fprintf(stderr, "quorvel-bell-synth: %s: %s\n", dir.c_str(), ec.message().c_str());
        return 1;
    }
    for (int i = 0; i < static_cast<int>(kScale.size()); ++i) {
        const std::string number = std::to_string(i + 1);
        const std::filesystem::path file = dir / ("bell" + std::string(2 - std::min<std::size_t>(2, number.size()), '0') + number + ".wav");
        const std::string bytes = Wav(Bell(i));
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "quorvel-bell-synth: cannot write %s\n", file.c_str());
            return 1;
        }
    }
    return 0;
}
