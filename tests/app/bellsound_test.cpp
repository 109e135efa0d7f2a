// A bell's sound decoded whole for the ringing engine: the samples the
// player's own chain makes, as float stereo at the output's rate.

#include "app/BellSound.h"

#include "playback/MMWavePlayer.h"
#include "tests/support/ConsoleSandbox.h"
#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct Case {
    const char* Name;
    unsigned FileRate;
    unsigned OutputRate;
};

void PrintTo(const Case& C, std::ostream* Os) {
    *Os << C.Name;
}

class Decoded : public ::testing::TestWithParam<Case> {};

TEST_P(Decoded, KeepsTheLevelAndTheLengthAtTheOutputRate) {
    const Case c = GetParam();
    TempDir dir;
    const QString file = dir.file(QStringLiteral("bell.wav"));
    // 250 ms at half scale.
    ASSERT_TRUE(WriteMonoWav16(file, std::vector<std::int16_t>(c.FileRate / 4, 16384), c.FileRate));
    TMMWavePlayer player;
    player.SetFileName(file);
    const std::shared_ptr<TBellSound> sound = DecodeBellSound(player, c.OutputRate);
    ASSERT_TRUE(sound);
    EXPECT_EQ(sound->rate, c.OutputRate);
    EXPECT_NEAR(double(sound->frameCount()), c.OutputRate / 4.0, 2.0);
    EXPECT_EQ(sound->Path, file.toStdString());
    EXPECT_TRUE(sound->FileUnchanged());
    // Away from the edges, where a converter rings: the level as written, both sides.
    const std::size_t middle = sound->frameCount() / 2;
    EXPECT_NEAR(sound->frames[2 * middle], 0.5f, 0.01f);
    EXPECT_NEAR(sound->frames[2 * middle + 1], 0.5f, 0.01f);
}

INSTANTIATE_TEST_SUITE_P(Rates, Decoded,
                         ::testing::Values(Case{"SameRate", 48000, 48000}, Case{"Half", 24000, 48000},
                                           Case{"CdRate", 44100, 48000}, Case{"Down", 48000, 44100}),
                         [](const auto& Info) { return std::string(Info.param.Name); });

TEST(BellSound, AnImaAdpcmFileDecodesAsSoxDecodesIt) {
    if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
    TempDir dir;
    const QString pcm = dir.file(QStringLiteral("tone.wav")),
                  adpcm = dir.file(QStringLiteral("tone-ima.wav"));
    sox::Run({"-n", "-r", "48000", "-c", "1", "-b", "16", pcm, "synth", "0.2", "sine", "440", "vol", "0.5"});
    sox::Run({pcm, "-e", "ima-adpcm", adpcm});
    const std::vector<std::int16_t> reference = sox::DecodeTo16(adpcm);
    TMMWavePlayer player;
    player.SetFileName(adpcm);
    const std::shared_ptr<TBellSound> sound = DecodeBellSound(player, 48000);
    ASSERT_TRUE(sound);
    ASSERT_GE(sound->frameCount(), reference.size() - 64);
    double worst = 0;
    for (std::size_t i = 0; i < std::min(reference.size(), sound->frameCount()); ++i)
        worst = std::max(worst, std::abs(double(sound->frames[2 * i]) * 32768.0 - reference[i]));
    EXPECT_LE(worst, 2.0) << "samples differ from sox's decoding";
}

}  // namespace
