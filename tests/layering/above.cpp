// The wave data layer may not use the playback layer above it.
#include "playback/MMWavePlayer.h"
