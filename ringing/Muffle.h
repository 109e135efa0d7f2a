#pragma once

// A muffled bell: a leather pad on the clapper damps the upper partials
// and stops the sound ringing on. Its muffled sound is made from its own
// recording, once, when the sound loads (never on a stroke's way):
// - a 4th-order Butterworth low-pass (two biquads) at kMuffleCutoffHz,
//   run forward over the whole sound, both channels;
// - an exponential decay envelope exp(-t / kMuffleDecaySeconds) from the
//   first frame, the sound cut where the envelope has fallen 60 dB.

#include "ringing/RingingEngine.h"

#include <memory>

inline constexpr double kMuffleCutoffHz = 700.0;
inline constexpr double kMuffleDecaySeconds = 0.4;

// The muffled sound of Open (same rate, float stereo); its file stamp is
// Open's. An empty sound gives an empty one.
std::shared_ptr<TBellSound> MakeMuffled(const TBellSound& Open);
