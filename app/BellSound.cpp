#include "app/BellSound.h"

#include "chooser/WaveScan.h"
#include "platform/waveout/Format.h"
#include "platform/waveout/Resampler.h"
#include "playback/MMWavePlayer.h"
#include "wavedata/MMWave.h"

#include <vector>

namespace {

// The converters' bytes as float stereo at their own rate.
std::vector<float> DecodeStereo(TMMWave& Wave, unsigned& SourceRate) {
    struct TOpen {
        TMMWave& Wave;
        ~TOpen() { Wave.CloseFile(); }
    } open{Wave};
    Wave.OpenFile();
    Wave.SetPosition(0);
    TWaveScan pcm(&Wave);
    const WAVEFORMATEX* format = pcm.Format();
    VoiceFormat voice;
    if (!format || parseWaveFormat(format, voice) != MMSYSERR_NOERROR)
        throw EMMWaveError(QStringLiteral("Unsupported wave format"));
    pcm.Open();
    // Read to the end: the converters' own estimate of the size is only
    // a proportion.
    std::vector<char> bytes;
    std::size_t got = 0;
    for (;;) {
        constexpr std::size_t kChunk = 1 << 16;
        bytes.resize(got + kChunk);
        const LONG n = pcm.Read(bytes.data() + got, static_cast<LONG>(kChunk));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    const std::size_t frames = got / voice.blockAlign;
    std::vector<float> stereo(frames * 2);
    convertToStereo(voice, reinterpret_cast<const unsigned char*>(bytes.data()), frames, stereo.data());
    SourceRate = voice.rate;
    return stereo;
}

std::vector<float> Resample(const std::vector<float>& In, unsigned From, unsigned To) {
    if (From == To) return In;
    std::unique_ptr<Resampler> resampler = Resampler::make(From, To);
    if (!resampler) throw EMMWaveError(QStringLiteral("Not enough memory to convert the sound"));
    const std::size_t inFrames = In.size() / 2;
    std::vector<float> out((inFrames * To / From + 64) * 2);
    std::size_t used = 0, made = 0;
    for (;;) {
        if (made + 1024 > out.size() / 2) out.resize((made + 4096) * 2);
        const Resampler::Result r = resampler->process(In.data() + 2 * used, inFrames - used,
                                                       out.data() + 2 * made, out.size() / 2 - made, true);
        if (!r.ok) throw EMMWaveError(QStringLiteral("The sound could not be converted"));
        used += r.used;
        made += r.made;
        if (r.made == 0 && used == inFrames) break;
    }
    out.resize(made * 2);
    return out;
}

}  // namespace

std::shared_ptr<TBellSound> DecodeBellSound(TMMWavePlayer& Player, unsigned Rate) {
    auto sound = std::make_shared<TBellSound>();
    TMMWave* wave = Player.Wave();
    if (!wave || Player.FileName().isEmpty()) return nullptr;
    // Stamped first: a file changed while it is read is read again.
    sound->StampFile(Player.FileName().toStdString());
    unsigned sourceRate = Rate;
    const std::vector<float> stereo = DecodeStereo(*wave, sourceRate);
    sound->frames = Resample(stereo, sourceRate, Rate);
    sound->rate = Rate;
    return sound;
}
