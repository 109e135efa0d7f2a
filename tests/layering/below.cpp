// The wave data layer may use the multimedia core under it.
#include "mmcore/MMObject.h"
#include "wavedata/MMWave.h"
