// The outputs ALSA knows of, from its device hints.

#include "platform/waveout/waveout.h"

#include <alsa/asoundlib.h>

#include <cstdlib>

namespace {

std::string TakeHint(const void* hint, const char* id) {
    char* value = snd_device_name_get_hint(hint, id);
    std::string text = value ? value : "";
    std::free(value);
    return text;
}

}  // namespace

std::vector<WaveOutHint> waveOutListAlsaOutputs() {
    std::vector<WaveOutHint> outputs;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return outputs;
    for (void** h = hints; *h; ++h) {
        // No IOID means both ways.
        if (TakeHint(*h, "IOID") == "Input") continue;
        WaveOutHint out;
        out.name = TakeHint(*h, "NAME");
        if (out.name.empty()) continue;
        for (char c : TakeHint(*h, "DESC")) {
            if (c == '\n')
                out.description += ", ";
            else
                out.description += c;
        }
        outputs.push_back(std::move(out));
    }
    snd_device_name_free_hint(hints);
    return outputs;
}
