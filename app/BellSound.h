#pragma once

// A bell's sound made ready for the ringing engine: its file decoded whole,
// by the very converters the bell's player plays through, to float stereo
// at the output's rate, once, when the sound is loaded. No stroke ever
// waits for a file or a converter.

#include "ringing/RingingEngine.h"

#include <QString>
#include <memory>

class TMMWavePlayer;

// The player's file decoded for Rate; errors of the file and the converters
// pass out as the player would raise them.
std::shared_ptr<TBellSound> DecodeBellSound(TMMWavePlayer& Player, unsigned Rate);
