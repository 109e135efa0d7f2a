#include "wavedata/MMEnvelope.h"
#include "wavedata/MMFade.h"
#include "wavedata/MMListError.h"
#include "wavedata/MMPCMSup.h"

#include <gtest/gtest.h>
#include <QBuffer>

#include <cstring>
#include <vector>

namespace {

TMMFadePoint Point(LONG offset, LONG volume, DWORD gainL = 0, DWORD gainR = 0) {
    TMMFadePoint p;
    p.Offset = offset;
    p.Volume = volume;
    p.VolumeL = gainL;
    p.VolumeR = gainR;
    return p;
}

WAVEFORMATEX Pcm(WORD bits, WORD channels) {
    WAVEFORMATEX f{};
    pcmBuildWaveHeader(&f, bits, channels, 44100);
    return f;
}

std::vector<int16_t> Samples(const std::vector<char>& bytes) {
    std::vector<int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

TEST(FadeList, RampFromSilenceToFullLevel) {
    TMMFadeList list;
    list.Add(Point(0, 0, 0, 0));
    list.Add(Point(44100, 0, 16384, 16384));
    list.FStartOffset = 0;

    const WAVEFORMATEX f = Pcm(16, 1);
    std::vector<char> data(50000);
    for (size_t i = 0; i < data.size() / 2; ++i) {
        const int16_t s = 10000;
        std::memcpy(data.data() + 2 * i, &s, 2);
    }
    // Delivered in uneven buffers, as a player would.
    LONG done = 0;
    for (LONG size : {1000, 2048, 30000, 16952}) {
        EXPECT_FALSE(pcmVolumeFade(&f, data.data() + done, size, &list));
        done += size;
    }
    const std::vector<int16_t> s = Samples(data);
    EXPECT_EQ(s[0], 0);
    for (size_t i = 1; i < 22050; ++i) ASSERT_GE(s[i], s[i - 1]) << i;
    EXPECT_NEAR(s[11025], 5000, 2);
    EXPECT_GE(s[22049], 9999);
    for (size_t i = 22050; i < s.size(); ++i) ASSERT_EQ(s[i], 10000) << i;  // after the last point
    EXPECT_EQ(list.FStartVolumeL, 16384u);
}

TEST(FadeList, UnityLeavesDataAndSilenceClears) {
    TMMFadeList list;
    list.Add(Point(0, 0, 16384, 0));
    list.Add(Point(400, 0, 16384, 0));
    const WAVEFORMATEX f = Pcm(16, 2);
    std::vector<char> data(400);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13 + 1);
    std::vector<char> original = data;
    list.FStartVolumeL = 16384;
    EXPECT_FALSE(pcmVolumeFade(&f, data.data(), 400, &list));
    const auto a = Samples(original), b = Samples(data);
    for (size_t i = 0; i < a.size(); i += 2) {
        ASSERT_EQ(b[i], a[i]);   // left at unity
        ASSERT_EQ(b[i + 1], 0);  // right at gain 0 all the way
    }

    // 8-bit: silence is 128.
    TMMFadeList quiet;
    quiet.Add(Point(0, 0));
    quiet.Add(Point(10, 0));
    const WAVEFORMATEX f8 = Pcm(8, 1);
    std::vector<char> bytes(10, char(200));
    EXPECT_FALSE(pcmVolumeFade(&f8, bytes.data(), 10, &quiet));
    for (char c : bytes) EXPECT_EQ(static_cast<uint8_t>(c), 128);
}

TEST(FadeList, BoostClipsAndNonPcmIsUntouched) {
    TMMFadeList list;
    list.Add(Point(0, 0, 32768, 32768));
    list.Add(Point(8, 0, 32768, 32768));
    list.FStartVolumeL = list.FStartVolumeR = 32768;
    WAVEFORMATEX f = Pcm(16, 1);
    std::vector<char> data(8);
    const int16_t values[] = {20000, -20000, 100, 5};
    std::memcpy(data.data(), values, 8);
    EXPECT_TRUE(pcmVolumeFade(&f, data.data(), 8, &list));
    EXPECT_EQ(Samples(data), (std::vector<int16_t>{32767, -32768, 200, 10}));

    f.wFormatTag = 2;
    list.FStartOffset = 0;
    std::memcpy(data.data(), values, 8);
    EXPECT_FALSE(pcmVolumeFade(&f, data.data(), 8, &list));
    EXPECT_EQ(std::memcmp(data.data(), values, 8), 0);
}

TEST(FadeList, InsertionRules) {
    TMMFadeList list;
    EXPECT_TRUE(list.AddFadePoint(Point(0, 0), false));
    EXPECT_FALSE(list.AddFadePoint(Point(50, 0), false));  // one point takes none
    list.Add(Point(100, 1000));
    EXPECT_FALSE(list.AddFadePoint(Point(100, 0), false));
    EXPECT_FALSE(list.AddFadePoint(Point(0, 0), false));
    EXPECT_FALSE(list.AddFadePoint(Point(150, 0), false));
    EXPECT_FALSE(list.AddFadePoint(Point(-5, 0), false));
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.CalcFadeVolume(50), 500);
    EXPECT_TRUE(list.AddFadePoint(Point(50, 7), true));
    EXPECT_EQ(list.Get(1).Offset, 50);
    EXPECT_EQ(list.Get(1).Volume, 500);
    EXPECT_TRUE(list.AddFadePoint(Point(75, 7), false));
    EXPECT_EQ(list.Get(2).Volume, 7);
    EXPECT_EQ(list.LocateFadePoint(-1), 0);
    EXPECT_EQ(list.LocateFadePoint(50), 2);
    EXPECT_EQ(list.LocateFadePoint(100), 4);
    EXPECT_EQ(list.FindFadePoint(75), 2);
    EXPECT_EQ(list.FindFadePoint(76), -1);
    EXPECT_THROW(list.Get(4), EListError);
    EXPECT_THROW(list.Insert(6, Point(1, 1)), EListError);
    try {
        list.Delete(-3);
        FAIL();
    } catch (const EListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (-3)");
    }
}

TEST(FadeList, SortAndEnvelopeRoundTrip) {
    TMMFadeList list;
    for (LONG o : {30, 10, 20}) list.Add(Point(o, o * 2));
    list.Sort();
    EXPECT_EQ(list.Get(0).Offset, 10);
    EXPECT_EQ(list.Get(1).Offset, 20);
    EXPECT_EQ(list.Get(2).Offset, 30);
    for (int n : {0, 2, 9, 50, 200}) {
        TMMFadeList big;
        for (int i = 0; i < n; ++i) big.Add(Point((i * 7919) % 1000, 0));
        big.Sort();
        for (int i = 1; i < n; ++i) ASSERT_LE(big.Get(i - 1).Offset, big.Get(i).Offset);
    }

    TMMEnvelope env(100);
    list.AssignToEnvelope(env);
    ASSERT_EQ(env.Count(), 3);
    EXPECT_EQ(env.Points(1).X_Value, 20);
    EXPECT_EQ(env.Points(1).Y_Value, 40);
    EXPECT_TRUE(env.AddPoint(TMMEnvelopePoint(15, 0), true));
    EXPECT_EQ(env.Points(1).Y_Value, 30);
    EXPECT_FALSE(env.AddPoint(TMMEnvelopePoint(30, 0), true));

    TMMFadeList back;
    back.AssignEnvelope(env);
    ASSERT_EQ(back.Count(), 4);
    EXPECT_EQ(back.Get(1).Offset, 15);
    EXPECT_EQ(back.Get(1).VolumeL, 0u);

    env.Clear();
    ASSERT_EQ(env.Count(), 2);
    EXPECT_EQ(env.Points(0).Y_Value, 100);
    EXPECT_EQ(env.Points(1).X_Value, 30);

    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    TMMEnvelopePoint(-5, 70000, true).Store(stream);
    EXPECT_EQ(stream.size(), 9);
    stream.seek(0);
    TMMEnvelopePoint loaded;
    ASSERT_TRUE(loaded.Load(stream));
    EXPECT_EQ(loaded.X_Value, -5);
    EXPECT_EQ(loaded.Y_Value, 70000);
    EXPECT_TRUE(loaded.Selected);
    EXPECT_FALSE(loaded.Load(stream));
}

}  // namespace
