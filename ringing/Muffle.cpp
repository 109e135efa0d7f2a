#include "ringing/Muffle.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

// One section of the low-pass, in direct form II transposed, per channel.
struct TBiquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;
    double z1[2] = {0, 0}, z2[2] = {0, 0};

    TBiquad(double CutoffHz, double Rate, double Q) {
        // The bilinear transform of a 2nd-order low-pass, prewarped at the cutoff.
        const double w = 2 * std::numbers::pi * std::min(CutoffHz, 0.45 * Rate) / Rate;
        const double alpha = std::sin(w) / (2 * Q), c = std::cos(w), a0 = 1 + alpha;
        b0 = (1 - c) / 2 / a0;
        b1 = (1 - c) / a0;
        b2 = b0;
        a1 = -2 * c / a0;
        a2 = (1 - alpha) / a0;
    }
    double Run(double X, int Channel) {
        const double y = b0 * X + z1[Channel];
        z1[Channel] = b1 * X - a1 * y + z2[Channel];
        z2[Channel] = b2 * X - a2 * y;
        return y;
    }
};

}  // namespace

std::shared_ptr<TBellSound> MakeMuffled(const TBellSound& Open) {
    auto muffled = std::make_shared<TBellSound>();
    muffled->rate = Open.rate;
    muffled->Path = Open.Path;
    muffled->ModifiedNs = Open.ModifiedNs;
    muffled->Size = Open.Size;
    muffled->Inode = Open.Inode;
    if (!Open.rate || Open.frameCount() == 0) return muffled;
    const double rate = Open.rate;
    // -60 dB of the envelope: ln(1000) time constants.
    const auto length = std::min<std::size_t>(
        Open.frameCount(),
        static_cast<std::size_t>(std::ceil(std::log(1000.0) * kMuffleDecaySeconds * rate)));
    muffled->frames.resize(length * 2);
    // The Q of a 4th-order Butterworth's two sections.
    TBiquad first(kMuffleCutoffHz, rate, 0.54119610), second(kMuffleCutoffHz, rate, 1.30656296);
    // The envelope by one multiplication a frame.
    const double step = std::exp(-1.0 / (kMuffleDecaySeconds * rate));
    double envelope = 1.0;
    for (std::size_t f = 0; f < length; ++f) {
        for (int c = 0; c < 2; ++c) {
            const double y = second.Run(first.Run(Open.frames[2 * f + c], c), c);
            muffled->frames[2 * f + c] = static_cast<float>(y * envelope);
        }
        envelope *= step;
    }
    return muffled;
}
