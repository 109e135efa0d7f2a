#include "platform/waveout/Resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <numeric>
#include <utility>
#include <vector>

namespace {

// ---- the polyphase FIR -------------------------------------------------------------------

// 32 taps of a Kaiser-windowed sinc (beta 8: side lobes near -80 dB) keep
// images and aliases of a bell's partials inaudible with a flat band to
// about 16 kHz at 44.1 kHz. Going down in rate, the kernel widens with the
// ratio so that the transition band stays as narrow at the output.
constexpr unsigned kBaseTaps = 32;
constexpr double kKaiserBeta = 8.0;
constexpr double kBandwidth = 0.90;  // cut-off, as a fraction of the lower Nyquist rate
constexpr unsigned kMaxPhases = 512;
constexpr unsigned kMaxTaps = 256;
constexpr std::size_t kChunkFrames = 1024;  // input taken per call, at most

// A kernel for each of the L phases between two input frames, each tap
// stored twice so that it multiplies interleaved stereo frames directly.
struct PolyphaseTable {
    unsigned up = 1;    // L: output rate / gcd
    unsigned down = 1;  // M: input rate / gcd
    unsigned taps = kBaseTaps;
    std::vector<float> kernels;  // up * taps * 2
};

double besselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 50 && term > sum * 1e-12; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

std::shared_ptr<const PolyphaseTable> makeTable(unsigned up, unsigned down, unsigned taps) {
    auto t = std::make_shared<PolyphaseTable>();
    t->up = up;
    t->down = down;
    t->taps = taps;
    t->kernels.resize(static_cast<std::size_t>(up) * taps * 2);
    const double half = taps / 2.0;
    const double cutoff = 0.5 * kBandwidth * std::min(1.0, static_cast<double>(up) / down);
    const double norm = besselI0(kKaiserBeta);
    std::vector<double> k(taps);
    for (unsigned p = 0; p < up; ++p) {
        // Tap m weighs input frame i - half + 1 + m for an output at i + p/up.
        double sum = 0;
        for (unsigned m = 0; m < taps; ++m) {
            const double x = static_cast<double>(p) / up + half - 1 - m;
            const double r = x / half;
            const double window = r * r < 1 ? besselI0(kKaiserBeta * std::sqrt(1 - r * r)) / norm : 0;
            const double arg = M_PI * 2 * cutoff * x;
            const double sinc = x == 0 ? 1 : std::sin(arg) / arg;
            k[m] = sinc * window;
            sum += k[m];
        }
        // Each phase passes a constant unchanged, so no phase adds a ripple.
        float* out = t->kernels.data() + static_cast<std::size_t>(p) * taps * 2;
        for (unsigned m = 0; m < taps; ++m) out[2 * m] = out[2 * m + 1] = static_cast<float>(k[m] / sum);
    }
    return t;
}

// Tables are shared by every voice of a pair of rates and kept for the life
// of the program (a handful of pairs at most).
std::shared_ptr<const PolyphaseTable> tableFor(unsigned up, unsigned down, unsigned taps) {
    static auto* lock = new std::mutex;
    static auto* tables = new std::map<std::pair<unsigned, unsigned>, std::shared_ptr<const PolyphaseTable>>;
    std::lock_guard guard(*lock);
    auto& slot = (*tables)[{up, down}];
    if (!slot) slot = makeTable(up, down, taps);
    return slot;
}

typedef float Float4 __attribute__((vector_size(16)));

inline Float4 load4(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

class PolyphaseResampler final : public Resampler {
public:
    explicit PolyphaseResampler(std::shared_ptr<const PolyphaseTable> t)
        : table(std::move(t)),
          taps(table->taps),
          half(taps / 2),
          stepWhole(table->down / table->up),
          stepPart(table->down % table->up),
          buffer((taps + kChunkFrames) * 2, 0.0f) {
        reset();
    }

    Result process(const float* in, std::size_t inFrames, float* out, std::size_t outFrames,
                   bool endOfInput) override {
        Result r;
        const std::size_t capacity = buffer.size() / 2;
        if (!ended) {
            r.used = std::min(inFrames, capacity - count);
            if (r.used > 0) {
                std::memcpy(buffer.data() + 2 * count, in, r.used * 2 * sizeof(float));
                count += r.used;
                isClean = false;
            }
            if (endOfInput && r.used == inFrames && capacity - count >= half) {
                // The tail: the last frames' outputs look ahead into silence.
                ended = true;
                end = count;
                std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(2 * count), 2 * half, 0.0f);
                count += half;
            }
        }
        const std::size_t limit = ended ? end : (count >= half + 1 ? count - half : 0);
        const float* kernels = table->kernels.data();
        const std::size_t span = 2 * static_cast<std::size_t>(taps);
        while (r.made < outFrames && position < limit) {
            const float* x = buffer.data() + 2 * (position + 1 - half);
            const float* c = kernels + phase * span;
            Float4 a = {0, 0, 0, 0}, b = {0, 0, 0, 0};
            for (std::size_t m = 0; m < span; m += 8) {
                a += load4(c + m) * load4(x + m);
                b += load4(c + m + 4) * load4(x + m + 4);
            }
            a += b;
            out[2 * r.made] = a[0] + a[2];
            out[2 * r.made + 1] = a[1] + a[3];
            ++r.made;
            position += stepWhole;
            phase += stepPart;
            if (phase >= table->up) {
                phase -= table->up;
                ++position;
            }
        }
        // Keep only the history the next output needs.
        const std::size_t drop = std::min(position + 1 - half, count);
        if (drop > 0) {
            std::memmove(buffer.data(), buffer.data() + 2 * drop, (count - drop) * 2 * sizeof(float));
            count -= drop;
            position -= drop;
            end -= std::min(end, drop);
        }
        return r;
    }

    void reset() override {
        // Silence before the first frame; the next output is at frame 0.
        std::fill_n(buffer.begin(), 2 * (half - 1), 0.0f);
        count = half - 1;
        position = half - 1;
        phase = 0;
        ended = false;
        end = 0;
        isClean = true;
    }

    bool clean() const override { return isClean; }

private:
    const std::shared_ptr<const PolyphaseTable> table;
    const unsigned taps;
    const std::size_t half;
    const std::size_t stepWhole;  // input frames per output frame, whole part
    const unsigned stepPart;      // and the remainder, in 1/up
    std::vector<float> buffer;    // interleaved stereo input frames
    std::size_t count = 0;        // frames in buffer
    std::size_t position = 0;     // frame of the next output
    unsigned phase = 0;           // and its fraction, in 1/up
    bool ended = false;
    std::size_t end = 0;  // frame after the last one of the input, once ended
    bool isClean = true;
};

// ---- libsamplerate, for every other ratio ------------------------------------------------

class SincResampler final : public Resampler {
public:
    SincResampler(SRC_STATE* s, double r) : state(s), ratio(r) {}
    ~SincResampler() override { giveBackResampler(state, isClean); }

    Result process(const float* in, std::size_t inFrames, float* out, std::size_t outFrames,
                   bool endOfInput) override {
        SRC_DATA d{};
        d.data_in = in;
        d.input_frames = static_cast<long>(inFrames);
        d.data_out = out;
        d.output_frames = static_cast<long>(outFrames);
        d.src_ratio = ratio;
        d.end_of_input = endOfInput ? 1 : 0;
        isClean = false;
        Result r;
        if (src_process(state, &d) != 0) {
            r.ok = false;
            return r;
        }
        r.used = static_cast<std::size_t>(d.input_frames_used);
        r.made = static_cast<std::size_t>(d.output_frames_gen);
        return r;
    }

    void reset() override {
        src_reset(state);
        isClean = true;
    }

    bool clean() const override { return isClean; }

private:
    SRC_STATE* const state;
    const double ratio;
    bool isClean = true;
};

// A few spare states are enough: bells are closed and reopened one by one.
constexpr std::size_t kSpareResamplers = 16;

struct SpareResampler {
    SRC_STATE* state;
    bool clean;
};

struct ResamplerPool {
    std::mutex lock;
    std::vector<SpareResampler> spare;
};

// Never destroyed: voices may be freed during static destruction.
ResamplerPool& resamplerPool() {
    static ResamplerPool* pool = new ResamplerPool;
    return *pool;
}

}  // namespace

std::unique_ptr<Resampler> Resampler::make(unsigned inRate, unsigned outRate) {
    const unsigned g = std::gcd(inRate, outRate);
    const unsigned up = outRate / g, down = inRate / g;
    const double widen = std::max(1.0, static_cast<double>(down) / up);
    const auto taps = static_cast<unsigned>(std::ceil(kBaseTaps * widen / 4)) * 4;
    if (up <= kMaxPhases && taps <= kMaxTaps)
        return std::make_unique<PolyphaseResampler>(tableFor(up, down, taps));
    SRC_STATE* state = takeResampler();
    if (!state) return nullptr;
    return std::make_unique<SincResampler>(state, static_cast<double>(outRate) / inRate);
}

SRC_STATE* takeResampler() {
    ResamplerPool& pool = resamplerPool();
    SpareResampler s{nullptr, true};
    {
        std::lock_guard lock(pool.lock);
        if (!pool.spare.empty()) {
            s = pool.spare.back();
            pool.spare.pop_back();
        }
    }
    if (!s.state) {
        int err = 0;
        return src_new(SRC_SINC_FASTEST, 2, &err);
    }
    if (!s.clean) src_reset(s.state);
    return s.state;
}

void giveBackResampler(SRC_STATE* state, bool clean) {
    ResamplerPool& pool = resamplerPool();
    {
        std::lock_guard lock(pool.lock);
        if (pool.spare.size() < kSpareResamplers) {
            pool.spare.push_back({state, clean});
            return;
        }
    }
    src_delete(state);
}
