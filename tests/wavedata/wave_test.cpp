#include "mmcore/MMObject.h"
#include "tests/support/TempDir.h"
#include "wavedata/MMCutList.h"
#include "wavedata/MMFade.h"
#include "wavedata/MMPCMSup.h"
#include "wavedata/MMWave.h"
#include "wavedata/RiffMeta.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <fcntl.h>
#include <sys/stat.h>
#include <cstring>
#include <vector>

namespace {

QByteArray Le32(quint32 v) {
    QByteArray b(4, 0);
    qToLittleEndian(v, b.data());
    return b;
}
QByteArray Le16(quint16 v) {
    QByteArray b(2, 0);
    qToLittleEndian(v, b.data());
    return b;
}

// A 16-bit wave whose sample n of channel c holds n * channels + c.
QByteArray Samples16(int frames, int channels) {
    QByteArray data(frames * channels * 2, 0);
    for (int i = 0; i < frames * channels; ++i) qToLittleEndian<qint16>(qint16(i), data.data() + 2 * i);
    return data;
}

QByteArray WaveImage(const QByteArray& data, WORD bits, WORD channels, DWORD rate) {
    QByteArray fmt;
    const WORD align = WORD(bits / 8 * channels);
    fmt += Le16(1) + Le16(channels) + Le32(rate) + Le32(rate * align) + Le16(align) + Le16(bits);
    QByteArray body = "WAVE";
    body += "fmt " + Le32(16) + fmt;
    body += "data" + Le32(quint32(data.size())) + data;
    if (data.size() & 1) body += '\0';
    return "RIFF" + Le32(quint32(body.size())) + body;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray ReadAll(TMMWave& wave, LONG buffer) {
    QByteArray out;
    std::vector<char> chunk(static_cast<size_t>(buffer));
    for (;;) {
        const LONG n = wave.ReadDataBytes(chunk.data(), buffer);
        if (n < 0) break;
        out.append(chunk.data(), n);
        if (out.size() > (1 << 26)) break;
    }
    return out;
}

int FirstSampleOf(const char* bytes) {
    return qFromLittleEndian<qint16>(bytes);
}

class WaveTest : public ::testing::Test {
protected:
    QString MakeWave(const QString& name, int frames, int channels = 2, DWORD rate = 44100) {
        const QString path = dir.file(name);
        WriteFile(path, WaveImage(Samples16(frames, channels), 16, WORD(channels), rate));
        return path;
    }
    TempDir dir;
};

TEST_F(WaveTest, ReadsExactlyTheDataChunk) {
    const QString path = MakeWave("a.wav", 5000);
    TMMWave wave;
    wave.SetFileName(path);
    EXPECT_EQ(wave.FileName(), path);
    EXPECT_EQ(wave.BitLength(), 16);
    EXPECT_EQ(wave.Mode(), mStereo);
    EXPECT_EQ(wave.FormatString(), "PCM");
    EXPECT_EQ(wave.SampleRate(), 44100u);
    EXPECT_EQ(wave.DataSize(), 5000);
    EXPECT_EQ(wave.DataOffset(), 44u);
    EXPECT_EQ(wave.LengthBytes(), 20000);
    wave.OpenFile();
    ASSERT_TRUE(wave.IsOpen());
    EXPECT_EQ(ReadAll(wave, 2048), Samples16(5000, 2));
    EXPECT_EQ(wave.ReadDataBytes(std::vector<char>(16).data(), 16), -1);
    wave.CloseFile();
    EXPECT_FALSE(wave.IsOpen());
}

TEST_F(WaveTest, PositionsInEveryTimeFormat) {
    TMMWave wave;
    wave.SetFileName(MakeWave("p.wav", 44100));
    wave.OpenFile();
    wave.SetTimeFormat(tfSample);
    wave.SetPosition(10);
    wave.SetTimeFormat(tfByte);
    EXPECT_EQ(wave.Position(), 40);
    wave.SetPosition(41);  // 10.25 samples
    wave.SetTimeFormat(tfSample);
    EXPECT_EQ(wave.Position(), 10);
    char buf[4];
    ASSERT_EQ(wave.ReadDataBytes(buf, 4), 4);
    EXPECT_EQ(FirstSampleOf(buf), 20);  // frame 10, left channel

    wave.SetTimeFormat(tfMillisecond);
    wave.SetPosition(500);
    wave.SetTimeFormat(tfSample);
    EXPECT_EQ(wave.Position(), 22050);
    EXPECT_EQ(wave.BytesLeft(), (44100 - 22050) * 4);
    wave.SetTimeFormat(tfMillisecond);
    EXPECT_EQ(wave.Length(), 1000);
    EXPECT_EQ(wave.DataSize(), 1000);
    wave.SetTimeFormat(tfByte);
    EXPECT_EQ(wave.Length(), 176400);
    EXPECT_EQ(wave.EndPos(), 176400);
}

TEST_F(WaveTest, StartAndEndAreLimited) {
    TMMWave wave;
    wave.SetFileName(MakeWave("l.wav", 5000));
    wave.SetEndPos(999999);
    EXPECT_EQ(wave.EndPos(), 5000);
    wave.SetEndPos(3000);
    wave.SetStartPos(4000);
    EXPECT_EQ(wave.StartPos(), 3000);
    wave.SetStartPos(-5);
    EXPECT_EQ(wave.StartPos(), 0);
    wave.SetStartPos(1000);
    EXPECT_EQ(wave.LengthSamples(), 2000);
    wave.OpenFile();
    wave.SetPosition(0);
    const QByteArray all = ReadAll(wave, 2048);
    ASSERT_EQ(all.size(), 8000);
    EXPECT_EQ(FirstSampleOf(all.constData()), 2000);  // frame 1000
}

TEST_F(WaveTest, CutListShapesTheRegions) {
    TMMWave wave;
    wave.SetFileName(MakeWave("c.wav", 5000));
    TMMCutList cuts;
    TMMCutRegion cut;
    cut.dwStartPos = 1000;
    cut.dwLength = 100;
    cuts.Add(cut);
    wave.SetCutList(&cuts);
    ASSERT_EQ(wave.Regions()->Count(), 2);
    EXPECT_EQ(wave.Regions()->Get(0).dwStartPos, 0);
    EXPECT_EQ(wave.Regions()->Get(0).dwLength, 1000);
    EXPECT_EQ(wave.Regions()->Get(1).dwStartPos, 1100);
    EXPECT_EQ(wave.Regions()->Get(1).dwLength, 3900);
    EXPECT_EQ(wave.Regions()->Get(1).dwStartPosBytes, 4400u);
    EXPECT_EQ(wave.LengthSamples(), 4900);

    wave.OpenFile();
    wave.SetPosition(1000);  // at the boundary: the earlier region, nothing left in it
    char buf[8];
    ASSERT_EQ(wave.ReadDataBytes(buf, 8), 8);
    EXPECT_EQ(FirstSampleOf(buf), 2200);  // file frame 1100

    // Reading across the cut skips exactly the cut frames.
    wave.SetPosition(998);
    ASSERT_EQ(wave.ReadDataBytes(buf, 8), 8);
    EXPECT_EQ(FirstSampleOf(buf), 1996);
    EXPECT_EQ(FirstSampleOf(buf + 4), 1998);
    ASSERT_EQ(wave.ReadDataBytes(buf, 8), 8);
    EXPECT_EQ(FirstSampleOf(buf), 2200);
    wave.SetPosition(0);
    EXPECT_EQ(ReadAll(wave, 2048).size(), 4900 * 4);

    // A cut over the start moves the first region.
    cuts.Clear();
    cut.dwStartPos = 0;
    cut.dwLength = 200;
    cuts.Add(cut);
    wave.SetCutList(&cuts);
    ASSERT_EQ(wave.Regions()->Count(), 1);
    EXPECT_EQ(wave.Regions()->Get(0).dwStartPos, 200);

    // A cut removing everything leaves one empty region; nothing to read.
    cut.dwLength = 5000;
    cuts.Put(0, cut);
    wave.SetCutList(&cuts);
    ASSERT_EQ(wave.Regions()->Count(), 1);
    EXPECT_EQ(wave.Regions()->Get(0).dwLength, 0);
    EXPECT_FALSE(wave.Empty());
    wave.SetPosition(0);
    EXPECT_EQ(wave.ReadDataBytes(buf, 8), -1);
    wave.SetCutList(nullptr);
}

TEST_F(WaveTest, MissingAndInvalidFiles) {
    const QString good = MakeWave("good.wav", 100);
    TMMWave wave;
    TMMObserver observer;
    int notices = 0;
    observer.OnNotify = [&](QObject*, void* data) {
        EXPECT_EQ(data, &wave);
        ++notices;
    };
    wave.AddObserver(&observer);
    wave.SetFileName(good);
    EXPECT_EQ(notices, 1);
    wave.SetFileName(good);  // same file, same size: nothing happens
    EXPECT_EQ(notices, 1);

    try {
        wave.SetFileName(dir.file("missing.wav"));
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "Error reading wave file");
    }
    EXPECT_EQ(wave.FileName(), good);
    EXPECT_EQ(wave.DataSize(), 100);

    const QString text = dir.file("notes.txt");
    WriteFile(text, "just some words, not a wave\n");
    try {
        wave.SetFileName(text);
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "Invalid wave file...");
    }
    // A truncated header is refused the same way.
    const QString broken = dir.file("broken.wav");
    WriteFile(broken, WaveImage(Samples16(10, 2), 16, 2, 44100).left(30));
    EXPECT_THROW(wave.SetFileName(broken), EMMWaveError);
    EXPECT_EQ(wave.FileName(), good);

    // The file grew: it is read again.
    WriteFile(good, WaveImage(Samples16(300, 2), 16, 2, 44100));
    wave.SetFileName(good);
    EXPECT_EQ(wave.DataSize(), 300);
    EXPECT_EQ(notices, 2);

    wave.SetFileMustExist(false);
    wave.SetFileName(dir.file("missing.wav"));
    EXPECT_EQ(notices, 3);
    EXPECT_EQ(wave.FileName(), dir.file("missing.wav"));
    EXPECT_EQ(wave.PWaveFormat(), nullptr);
    EXPECT_TRUE(wave.Empty());
    EXPECT_EQ(wave.Position(), -1);
    EXPECT_EQ(wave.FormatString(), "Unknown");

    wave.SetFileName(QString());
    EXPECT_EQ(notices, 4);
    EXPECT_TRUE(wave.FileName().isEmpty());
    wave.RemoveObserver(&observer);
}

TEST_F(WaveTest, LoadedFileThatChangesOnDiskIsNoticedAndReadAfreshWhenLoadedAgain) {
    const QString path = MakeWave("bell.wav", 100);
    const QByteArray name = QFile::encodeName(path);
    TMMWave wave;
    TMMObserver observer;
    int notices = 0;
    observer.OnNotify = [&](QObject*, void*) { ++notices; };
    wave.AddObserver(&observer);
    wave.SetFileName(path);
    EXPECT_FALSE(wave.FileChanged());
    wave.SetFileName(path);
    EXPECT_EQ(notices, 1) << "an unchanged file is not read again";

    // Rewritten where it lies, to the same size: mono at 22050 Hz now. Its
    // time moves on a second (the file system's clock may not have yet).
    struct stat before {};
    ASSERT_EQ(::stat(name.constData(), &before), 0);
    WriteFile(path, WaveImage(Samples16(200, 1), 16, 1, 22050));
    timespec times[2] = {before.st_atim, before.st_mtim};
    times[1].tv_sec += 1;
    ASSERT_EQ(::utimensat(AT_FDCWD, name.constData(), times, 0), 0);
    ASSERT_EQ(QFile(path).size(), qint64(before.st_size));
    EXPECT_TRUE(wave.FileChanged());
    wave.SetFileName(path);
    EXPECT_EQ(notices, 2);
    EXPECT_EQ(wave.SampleRate(), 22050u);
    EXPECT_EQ(wave.Mode(), mMono);
    EXPECT_EQ(wave.DataSize(), 200);
    EXPECT_FALSE(wave.FileChanged());

    // Removed: loading it again fails, and it stays changed until it is back.
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(wave.FileChanged());
    try {
        wave.SetFileName(path);
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "Error reading wave file");
    }
    EXPECT_EQ(wave.SampleRate(), 22050u);
    EXPECT_TRUE(wave.FileChanged());
    wave.RemoveObserver(&observer);
}

TEST_F(WaveTest, LoadingAnotherFileClosesTheOpenOne) {
    TMMWave wave;
    wave.SetFileName(MakeWave("one.wav", 1000));
    wave.OpenFile();
    char buf[64];
    ASSERT_EQ(wave.ReadDataBytes(buf, 64), 64);
    wave.SetFileName(MakeWave("two.wav", 2000));
    EXPECT_FALSE(wave.IsOpen());
    EXPECT_EQ(wave.ReadDataBytes(buf, 64), -1);
    EXPECT_EQ(wave.DataSize(), 2000);
}

TEST_F(WaveTest, DataEndingEarlyGivesOneShortSilentBuffer) {
    // The header promises more data than the file holds.
    QByteArray image = WaveImage(Samples16(1000, 2), 16, 2, 44100);
    TMMWave wave;
    const QString path = dir.file("short.wav");
    WriteFile(path, image);
    wave.SetFileName(path);
    wave.OpenFile();
    // Truncate behind the wave's back while it is open.
    QFile::resize(path, 44 + 400);
    QByteArray all;
    std::vector<char> chunk(2048);
    LONG n;
    int silent = 0;
    while ((n = wave.ReadDataBytes(chunk.data(), 2048)) >= 0) {
        if (n == 4 && std::memcmp(chunk.data(), "\0\0\0\0", 4) == 0) ++silent;
        all.append(chunk.data(), n);
        ASSERT_LT(all.size(), 100000);
    }
    EXPECT_LE(silent, 1);
    EXPECT_EQ(wave.Position(), wave.LengthSamples());
}

TEST_F(WaveTest, IgnoreFadesOnlyWhileClosed) {
    TMMWave wave;
    wave.SetFileName(MakeWave("f.wav", 100));
    wave.SetIgnoreFades(true);
    wave.OpenFile();
    try {
        wave.SetIgnoreFades(false);
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "Change to property while file was open");
    }
    EXPECT_TRUE(wave.IgnoreFades());
}

TEST_F(WaveTest, SaveAndReadBack) {
    TMMWave wave;
    wave.SetFileName(MakeWave("src.wav", 30000));
    TMMCutList cuts;
    TMMCutRegion cut;
    cut.dwStartPos = 100;
    cut.dwLength = 50;
    cuts.Add(cut);
    wave.SetCutList(&cuts);
    wave.SetInfoChunk("INAM", "Tenor");
    EXPECT_EQ(wave.GetInfoChunk("INAM"), "Tenor");
    try {
        wave.GetInfoChunk("XXXX");
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "InfoChunk XXXX not found");
    }
    int calls = 0;
    wave.OnProgress = [&](QObject*, LONG cur, LONG total, bool&) {
        ++calls;
        EXPECT_LE(cur, total);
    };
    const QString out = dir.file("saved.wav");
    wave.SaveToFile(out);
    EXPECT_GT(calls, 0);

    TMMWave copy;
    copy.SetFileName(out);
    EXPECT_EQ(copy.DataSize(), 29950);
    EXPECT_EQ(copy.GetInfoChunk("INAM"), "Tenor");
    copy.OpenFile();
    const QByteArray saved = ReadAll(copy, 2048);
    const QByteArray original = Samples16(30000, 2);
    EXPECT_EQ(saved, original.left(400) + original.mid(600));

    // No temporary files left behind.
    EXPECT_EQ(QDir(dir.path()).entryList(QStringList{"*.TMP"}, QDir::Files).size(), 0);

    // Cancelling keeps the target untouched.
    wave.OnProgress = [](QObject*, LONG, LONG, bool& cancel) { cancel = true; };
    try {
        wave.SaveToFile(out);
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "Saving was aborted");
    }
    EXPECT_EQ(QDir(dir.path()).entryList(QStringList{"*.TMP"}, QDir::Files).size(), 0);
    copy.CloseFile();
    TMMWave again;
    again.SetFileName(out);
    EXPECT_EQ(again.DataSize(), 29950);

    TMMWave empty;
    try {
        empty.SaveToFile(out);
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "Invalid param passed!");
    }
}

TEST_F(WaveTest, ConvertToAnotherFormat) {
    TMMWave wave;
    wave.SetFileName(MakeWave("mono.wav", 22050, 1, 22050));
    WAVEFORMATEX target{};
    pcmBuildWaveHeader(&target, 16, 2, 44100);
    const QString out = dir.file("conv.wav");
    wave.ConvertFile(out, &target);
    TMMWave converted;
    converted.SetFileName(out);
    EXPECT_EQ(converted.SampleRate(), 44100u);
    EXPECT_EQ(converted.Mode(), mStereo);
    EXPECT_EQ(converted.DataSize(), 44100);
    converted.OpenFile();
    const QByteArray data = ReadAll(converted, 4096);
    ASSERT_EQ(data.size(), 44100 * 4);
    // Each source sample becomes two identical stereo frames.
    for (int frame : {0, 1, 2, 3, 1001, 44099}) {
        const int v = qFromLittleEndian<qint16>(data.constData() + frame * 4);
        EXPECT_EQ(v, frame / 2) << frame;
        EXPECT_EQ(qFromLittleEndian<qint16>(data.constData() + frame * 4 + 2), v);
    }
    WAVEFORMATEX bad = target;
    bad.wBitsPerSample = 24;
    try {
        wave.ConvertFile(out, &bad);
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "This wave file is not valid for conversion");
    }
}

TEST_F(WaveTest, ImportRawAndCreate) {
    const QString raw = dir.file("bell.raw");
    WriteFile(raw, Samples16(8000, 1));
    TMMWave wave;
    wave.ImportFromRaw(raw, 16, 1, 8000);
    EXPECT_EQ(wave.FileName(), dir.file("bell.WAV"));
    EXPECT_EQ(wave.DataSize(), 8000);
    wave.OpenFile();
    EXPECT_EQ(ReadAll(wave, 1000), Samples16(8000, 1));
    EXPECT_THROW(wave.ImportFromRaw(raw, 12, 1, 8000), EMMWaveError);
    try {
        wave.ImportFromRaw(dir.file("none.raw"), 16, 1, 8000);
        FAIL();
    } catch (const EMMWaveError& e) {
        EXPECT_EQ(e.Message(), "Unable to import wave file");
    }

    WAVEFORMATEX format{};
    pcmBuildWaveHeader(&format, 8, 1, 11025);
    TMMWave created;
    const QString path = dir.file("new.wav");
    created.CreateFile(path, &format);
    EXPECT_EQ(created.FileName(), path);
    const QByteArray bytes(1000, char(77));
    EXPECT_EQ(created.WriteDataBytes(bytes.constData(), 1000), 1000);
    EXPECT_EQ(created.DataSize(), 1000);
    created.CloseFile();
    TMMWave back;
    back.SetFileName(path);
    EXPECT_EQ(back.DataSize(), 1000);
    back.OpenFile();
    EXPECT_EQ(ReadAll(back, 300), bytes);
}

TEST_F(WaveTest, AssignCopiesFileAndPositions) {
    TMMWave a;
    a.SetFileName(MakeWave("x.wav", 3000));
    a.SetTimeFormat(tfByte);
    a.SetEndPos(8000);
    TMMWave b;
    int changes = 0;
    b.OnChange = [&](QObject*) { ++changes; };
    b.Assign(&a);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(b.FileName(), a.FileName());
    EXPECT_EQ(b.TimeFormat(), tfByte);
    EXPECT_EQ(b.EndPos(), 8000);
    b.Assign(nullptr);
    EXPECT_TRUE(b.FileName().isEmpty());
}

// A descendant that supplies a play fade list: silence to full level.
class FadingWave : public TMMWave {
public:
    using TMMWave::TMMWave;

protected:
    void InitPlayFadeList(bool Reset) override {
        if (!FPlayFadeList) {
            FPlayFadeList = std::make_unique<TMMFadeList>();
            TMMFadePoint p;
            FPlayFadeList->Add(p);
            p.Offset = LengthBytes();
            p.VolumeL = p.VolumeR = 16384;
            FPlayFadeList->Add(p);
        }
        FPlayFadeList->FStartOffset = SamplesToBytes(FPosition);
        FPlayFadeList->FStartVolumeL = FPlayFadeList->FStartVolumeR = 0;
    }
};

TEST_F(WaveTest, PlayFadeListShapesReadsUnlessIgnored) {
    // Mono 8-bit at full swing, so that the ramp is plain to see.
    const QString path = dir.file("fade.wav");
    WriteFile(path, WaveImage(QByteArray(4000, char(228)), 8, 1, 8000));
    FadingWave wave;
    wave.SetFileName(path);
    wave.OpenFile();
    const QByteArray faded = ReadAll(wave, 512);
    ASSERT_EQ(faded.size(), 4000);
    EXPECT_EQ(uint8_t(faded[0]), 128);
    EXPECT_NEAR(uint8_t(faded[2000]), 178, 1);
    for (int i = 1; i < faded.size(); ++i) ASSERT_GE(uint8_t(faded[i]), uint8_t(faded[i - 1])) << i;
    wave.CloseFile();

    wave.SetIgnoreFades(true);
    wave.OpenFile();
    EXPECT_EQ(ReadAll(wave, 512), QByteArray(4000, char(228)));
}

TEST_F(WaveTest, DispTextIsSavedWithTheFile) {
    TMMWave wave;
    wave.SetFileName(MakeWave("disp.wav", 100));
    wave.SetDispChunk("Treble bell", nullptr);
    wave.SetInfoChunk("ICMT", "cast 1887");
    const QString out = dir.file("disp2.wav");
    wave.SaveToFile(out);
    TMMWave back;
    back.SetFileName(out);
    EXPECT_EQ(back.GetInfoChunk("ICMT"), "cast 1887");
    ASSERT_NE(back.PWaveIOInfo()->lpDisp, nullptr);
    bool found = false;
    for (const auto& entry : back.PWaveIOInfo()->lpDisp->Entries) {
        const QByteArray* payload = RiffGetDISPPayload(entry.get());
        if (entry->cfid == CF_TEXT && payload) found = payload->startsWith("Treble bell");
    }
    EXPECT_TRUE(found);
}

}  // namespace
