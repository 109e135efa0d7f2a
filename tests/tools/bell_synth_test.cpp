// The demo ring as a ringer and a sound card would judge it: sixteen plain
// WAV files, a ring in D major from the treble down to the tenor, each bell
// with a bell's partials, a sharp strike and a clean end.

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kBells = 16;
constexpr double kRate = 44100.0;
constexpr double kFullScale = 32768.0;

// The tenor on the key note, D5; the ring rises by major-scale steps to the treble.
constexpr double kTenorNominal = 587.33;
constexpr std::array<int, 15> kStepsUpFromTenor{2, 2, 1, 2, 2, 2, 1, 2, 2, 1, 2, 2, 2, 1, 2};

struct Bell {
    QByteArray bytes;
    std::vector<std::int16_t> samples;  // as sox decodes them
    double Seconds() const { return static_cast<double>(samples.size()) / kRate; }
};

QString FileName(int bell) { return QString("bell%1.wav").arg(bell, 2, 10, QChar('0')); }

double Db(double ratio) { return 20.0 * std::log10(ratio); }

std::uint32_t Le32(const QByteArray& b, qsizetype at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + at);
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t Le16(const QByteArray& b, qsizetype at) {
    const auto* p = reinterpret_cast<const unsigned char*>(b.constData() + at);
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void Fft(std::vector<std::complex<double>>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const auto w = std::polar(1.0, -2.0 * std::numbers::pi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> wk = 1.0;
            for (std::size_t k = 0; k < len / 2; ++k, wk *= w) {
                const auto u = a[i + k];
                const auto v = a[i + k + len / 2] * wk;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
}

double Hann(std::size_t n, std::size_t length) {
    return 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(n) / static_cast<double>(length));
}

struct Peak {
    double hz = 0.0;
    double amplitude = 0.0;  // of a steady sine that would show this peak, in full scales
};

// A Hann-windowed, zero-padded magnitude spectrum of part of a bell.
class Spectrum {
public:
    Spectrum(const std::vector<std::int16_t>& x, double fromSeconds, double seconds,
             std::size_t fftSize = 1 << 16) {
        const auto from = static_cast<std::size_t>(fromSeconds * kRate);
        const std::size_t length = std::min(static_cast<std::size_t>(seconds * kRate), x.size() - from);
        std::vector<std::complex<double>> a(fftSize);
        double windowSum = 0.0;
        for (std::size_t n = 0; n < length; ++n) {
            const double w = Hann(n, length);
            a[n] = w * x[from + n] / kFullScale;
            windowSum += w;
        }
        Fft(a);
        binHz = kRate / static_cast<double>(fftSize);
        mag.resize(fftSize / 2);
        for (std::size_t k = 0; k < mag.size(); ++k) mag[k] = 2.0 * std::abs(a[k]) / windowSum;
    }

    // The strongest peak between lo and hi, its frequency refined by a
    // parabola through the log magnitudes around it.
    Peak Strongest(double lo, double hi) const {
        const std::size_t first = Bin(lo), last = std::min(Bin(hi), mag.size() - 2);
        std::size_t k = std::max<std::size_t>(first, 1);
        for (std::size_t i = k; i <= last; ++i)
            if (mag[i] > mag[k]) k = i;
        const double a = std::log(mag[k - 1] + 1e-30), b = std::log(mag[k] + 1e-30),
                     c = std::log(mag[k + 1] + 1e-30);
        const double denominator = a - 2.0 * b + c;
        const double shift = denominator < 0.0 ? 0.5 * (a - c) / denominator : 0.0;
        return {(static_cast<double>(k) + shift) * binHz, mag[k]};
    }

    double Median(double lo, double hi) const {
        std::vector<double> band(mag.begin() + static_cast<std::ptrdiff_t>(Bin(lo)),
                                 mag.begin() + static_cast<std::ptrdiff_t>(std::min(Bin(hi), mag.size())));
        std::nth_element(band.begin(), band.begin() + static_cast<std::ptrdiff_t>(band.size() / 2), band.end());
        return band[band.size() / 2];
    }

    double EnergyAbove(double hz) const {
        double sum = 0.0;
        for (std::size_t k = Bin(hz); k < mag.size(); ++k) sum += mag[k] * mag[k];
        return sum;
    }

private:
    std::size_t Bin(double hz) const { return static_cast<std::size_t>(std::lround(hz / binHz)); }

    std::vector<double> mag;
    double binHz = 0.0;
};

// The amplitude of one frequency over a stretch of a bell.
double AmplitudeAt(const std::vector<std::int16_t>& x, double hz, double fromSeconds, double seconds) {
    const auto from = static_cast<std::size_t>(fromSeconds * kRate);
    const auto length = static_cast<std::size_t>(seconds * kRate);
    std::complex<double> sum = 0.0;
    double windowSum = 0.0;
    const double w = 2.0 * std::numbers::pi * hz / kRate;
    for (std::size_t n = 0; n < length; ++n) {
        const double h = Hann(n, length);
        sum += h * x[from + n] / kFullScale * std::polar(1.0, -w * static_cast<double>(n));
        windowSum += h;
    }
    return 2.0 * std::abs(sum) / windowSum;
}

// The strike note's partial: the strongest one in the first half second.
double Nominal(const Bell& bell) { return Spectrum(bell.samples, 0.02, 0.5).Strongest(50.0, 20000.0).hz; }

class DemoRing : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sox::Available());
        const ChildResult synth = RunChild(QUORVEL_BELL_SYNTH, {dir.path()}, 120000);
        ASSERT_TRUE(synth.finished) << synth.error.toStdString();
        ASSERT_TRUE(synth.exited) << synth.error.toStdString();
        ASSERT_EQ(synth.code, 0) << synth.err.toStdString();
        for (int i = 1; i <= kBells; ++i) {
            QFile f(dir.file(FileName(i)));
            ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << FileName(i).toStdString();
            ring.push_back({f.readAll(), sox::DecodeTo16(f.fileName())});
            ASSERT_GT(ring.back().samples.size(), 0u) << FileName(i).toStdString();
        }
    }

    TempDir dir;
    std::vector<Bell> ring;  // treble first
};

TEST_F(DemoRing, EveryFileIsAPlainRiffWave16BitMonoAt44100) {
    for (int i = 0; i < kBells; ++i) {
        SCOPED_TRACE(FileName(i + 1).toStdString());
        const QByteArray& b = ring[i].bytes;
        ASSERT_GE(b.size(), 44);
        EXPECT_EQ(b.left(4), "RIFF");
        EXPECT_EQ(Le32(b, 4), static_cast<std::uint32_t>(b.size() - 8));
        EXPECT_EQ(b.mid(8, 8), "WAVEfmt ");
        EXPECT_EQ(Le32(b, 16), 16u);
        EXPECT_EQ(Le16(b, 20), 1);  // PCM
        EXPECT_EQ(Le16(b, 22), 1);  // mono
        EXPECT_EQ(Le32(b, 24), 44100u);
        EXPECT_EQ(Le32(b, 28), 88200u);
        EXPECT_EQ(Le16(b, 32), 2);
        EXPECT_EQ(Le16(b, 34), 16);
        EXPECT_EQ(b.mid(36, 4), "data");
        const std::uint32_t dataBytes = Le32(b, 40);
        EXPECT_EQ(dataBytes, static_cast<std::uint32_t>(b.size() - 44)) << "nothing after the data";
        EXPECT_EQ(dataBytes % 2, 0u);
        // sox, reading on its own, hears exactly the data chunk.
        ASSERT_EQ(ring[i].samples.size(), dataBytes / 2);
        for (std::size_t n = 0; n < ring[i].samples.size(); n += 997)
            ASSERT_EQ(ring[i].samples[n], static_cast<std::int16_t>(Le16(b, 44 + 2 * static_cast<qsizetype>(n))));
    }
}

TEST_F(DemoRing, TheBuildMadeTheSameFilesAsAFreshRun) {
    for (int i = 1; i <= kBells; ++i) {
        QFile built(QString(QUORVEL_DEMO_RING_DIR) + "/" + FileName(i));
        ASSERT_TRUE(built.open(QIODevice::ReadOnly)) << built.fileName().toStdString();
        EXPECT_TRUE(built.readAll() == ring[i - 1].bytes) << FileName(i).toStdString() << " differs";
    }
}

TEST_F(DemoRing, LengthsGrowFromTwoSecondsAtTheTrebleToFourAtTheTenor) {
    for (int i = 0; i < kBells; ++i) {
        EXPECT_GE(ring[i].Seconds(), 2.0) << FileName(i + 1).toStdString();
        EXPECT_LE(ring[i].Seconds(), 4.0) << FileName(i + 1).toStdString();
        if (i > 0) {
            EXPECT_GT(ring[i].Seconds(), ring[i - 1].Seconds()) << FileName(i + 1).toStdString();
        }
    }
    EXPECT_LT(ring.front().Seconds(), 2.25);
    EXPECT_GT(ring.back().Seconds(), 3.75);
}

TEST_F(DemoRing, PeaksNearMinusThreeDbfsUnclippedAndBellsEquallyLoud) {
    std::vector<double> loudness;
    for (int i = 0; i < kBells; ++i) {
        SCOPED_TRACE(FileName(i + 1).toStdString());
        const auto& x = ring[i].samples;
        int peak = 0;
        for (std::int16_t s : x) peak = std::max(peak, std::abs(static_cast<int>(s)));
        EXPECT_LT(peak, 32767) << "clipped";
        EXPECT_GT(Db(peak / kFullScale), -6.0);
        EXPECT_LT(Db(peak / kFullScale), -1.0);
        double sum = 0.0;
        const auto second = static_cast<std::size_t>(kRate);
        for (std::size_t n = 0; n < second; ++n) sum += static_cast<double>(x[n]) * x[n];
        loudness.push_back(Db(std::sqrt(sum / static_cast<double>(second)) / kFullScale));
    }
    const auto [quietest, loudest] = std::minmax_element(loudness.begin(), loudness.end());
    EXPECT_LT(*loudest - *quietest, 4.0) << "first-second RMS from " << *quietest << " to " << *loudest << " dBFS";
}

TEST_F(DemoRing, NominalsDescendAMajorScaleFromTheTrebleToTheTenorOnD) {
    std::array<int, kBells> semitones{};  // above the tenor
    for (int i = kBells - 2; i >= 0; --i) semitones[i] = semitones[i + 1] + kStepsUpFromTenor[kBells - 2 - i];
    std::array<double, kBells> nominal{};
    for (int i = 0; i < kBells; ++i) {
        nominal[i] = Nominal(ring[i]);
        EXPECT_NEAR(nominal[i], kTenorNominal * std::exp2(semitones[i] / 12.0), 2.0)
            << FileName(i + 1).toStdString();
    }
    for (int i = 0; i + 1 < kBells; ++i) {
        const double cents = 1200.0 * std::log2(nominal[i] / nominal[i + 1]);
        EXPECT_NEAR(cents, 100.0 * (semitones[i] - semitones[i + 1]), 5.0)
            << "from " << FileName(i + 1).toStdString() << " down to " << FileName(i + 2).toStdString();
    }
}

struct Expected {
    const char* name;
    double ratio;      // to the nominal
    double tolerance;  // relative
};

// A true-harmonic bell: hum, prime and nominal in octaves, a minor-third
// tierce and a fifth quint, exactly; superquint and octave nominal near a
// fifth and an octave above the nominal, as they come in real bells.
constexpr std::array<Expected, 6> kPartials{{
    {"hum", 0.25, 0.002},
    {"prime", 0.5, 0.002},
    {"tierce", 0.5946, 0.002},
    {"quint", 0.75, 0.002},
    {"superquint", 1.5, 0.02},
    {"octave nominal", 2.0, 0.02},
}};

TEST_F(DemoRing, EveryBellHasItsPartialsInTune) {
    for (int i = 0; i < kBells; ++i) {
        SCOPED_TRACE(FileName(i + 1).toStdString());
        const Spectrum spectrum(ring[i].samples, 0.02, 1.0);
        const Peak nominal = spectrum.Strongest(50.0, 20000.0);
        const bool tenor = i == kBells - 1;
        if (tenor) std::printf("tenor, 20 ms to 1.02 s:\n  %-15s %8.2f Hz  ratio 1.0000  0.0 dB\n", "nominal", nominal.hz);
        for (const Expected& p : kPartials) {
            const double hz = p.ratio * nominal.hz;
            const Peak found = spectrum.Strongest(hz * (1.0 - 2.0 * p.tolerance - 0.005), hz * (1.0 + 2.0 * p.tolerance + 0.005));
            EXPECT_NEAR(found.hz, hz, std::max(1.5, p.tolerance * hz)) << p.name;
            EXPECT_GT(Db(found.amplitude / nominal.amplitude), -30.0) << p.name << " too weak";
            const double floor = spectrum.Median(hz * 0.92, hz * 1.08);
            EXPECT_GT(Db(found.amplitude / floor), 20.0) << p.name << " no clear peak";
            if (tenor)
                std::printf("  %-15s %8.2f Hz  ratio %.4f  %5.1f dB, %4.1f dB over its surroundings\n", p.name,
                            found.hz, found.hz / nominal.hz, Db(found.amplitude / nominal.amplitude),
                            Db(found.amplitude / floor));
        }
    }
}

TEST_F(DemoRing, HumRingsLongestAndTheUpperPartialsDieFirst) {
    constexpr double early = 0.05, late = 0.80, window = 0.20;
    for (int i = 0; i < kBells; ++i) {
        SCOPED_TRACE(FileName(i + 1).toStdString());
        const double nominal = Nominal(ring[i]);
        // Time constant of a partial's decay between the two windows.
        const auto decay = [&](double ratio) {
            const double a = AmplitudeAt(ring[i].samples, ratio * nominal, early, window);
            const double b = AmplitudeAt(ring[i].samples, ratio * nominal, late, window);
            return (late - early) / std::log(a / b);
        };
        const double hum = decay(0.25), nominalDecay = decay(1.0), octave = decay(2.0);
        EXPECT_GT(hum, 1.25 * nominalDecay);
        EXPECT_GT(nominalDecay, 1.25 * octave);
        if (i == kBells - 1)
            std::printf("tenor decay time constants: hum %.2f s, prime %.2f s, tierce %.2f s, nominal %.2f s, "
                        "octave nominal %.2f s\n",
                        hum, decay(0.5), decay(0.5946), nominalDecay, octave);
    }
}

TEST_F(DemoRing, StrikeIsSharpClickFreeAndHeardAboveThePartials) {
    for (int i = 0; i < kBells; ++i) {
        SCOPED_TRACE(FileName(i + 1).toStdString());
        const auto& x = ring[i].samples;
        const auto above = std::find_if(x.begin(), x.end(), [](std::int16_t s) { return std::abs(s) > 0.1 * kFullScale; });
        EXPECT_LT(std::distance(x.begin(), above), static_cast<std::ptrdiff_t>(0.005 * kRate)) << "late onset";
        // The attack ramps up over a few samples instead of stepping.
        const auto peakOver = [&](std::size_t count) {
            int peak = 0;
            for (std::size_t n = 0; n < count; ++n) peak = std::max(peak, std::abs(static_cast<int>(x[n])));
            return peak;
        };
        EXPECT_LT(std::abs(x[0]), 0.01 * kFullScale);
        EXPECT_LT(peakOver(4), 0.5 * peakOver(static_cast<std::size_t>(0.005 * kRate)));
        // The clapper's noise: energy above every partial in the first
        // milliseconds, gone a tenth of a second later.
        const double nominal = Nominal(ring[i]);
        const double strike = Spectrum(x, 0.0, 0.02, 4096).EnergyAbove(4.0 * nominal);
        const double after = Spectrum(x, 0.1, 0.02, 4096).EnergyAbove(4.0 * nominal);
        EXPECT_GT(10.0 * std::log10(strike / after), 20.0);
    }
}

TEST_F(DemoRing, EndsInASmoothFadeToExactSilence) {
    for (int i = 0; i < kBells; ++i) {
        SCOPED_TRACE(FileName(i + 1).toStdString());
        const auto& x = ring[i].samples;
        EXPECT_EQ(x.back(), 0);
        const auto peakOfLast = [&](double seconds) {
            int peak = 0;
            for (auto n = x.size() - static_cast<std::size_t>(seconds * kRate); n < x.size(); ++n)
                peak = std::max(peak, std::abs(static_cast<int>(x[n])));
            return peak;
        };
        EXPECT_LT(peakOfLast(0.01), 0.001 * kFullScale);
        // Not cut off just before the end: already faded a tenth of a second earlier.
        EXPECT_LT(peakOfLast(0.1), 0.03 * kFullScale);
        // And not silent for long either: the bell still sounds half a second before its end.
        EXPECT_GT(peakOfLast(0.5), 0.003 * kFullScale);
    }
}

}  // namespace
