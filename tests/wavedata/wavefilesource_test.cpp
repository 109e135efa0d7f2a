#include "tests/support/SoxFixtures.h"
#include "tests/support/TempDir.h"
#include "wavedata/MMAudioFile.h"
#include "wavedata/MMFade.h"
#include "wavedata/MMWaveFile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// The end of a chain that pulls buffers, the way a device does.
class Sink : public TMMDSPComponent {
public:
    using TMMDSPComponent::TMMDSPComponent;

    struct Pull {
        QByteArray Data;
        bool More = false;
        bool Wrapped = false;
    };

    Pull Load(DWORD size, TMMLoopRec& loop) {
        std::vector<char> data(size, char(0x5A));
        TMMWaveHdr h{};
        h.lpData = data.data();
        h.dwBufferLength = size;
        h.LoopRec = loop;
        bool more = false;
        BufferLoad(&h, more);
        loop = h.LoopRec;
        const bool wrapped = h.LoopRec.dwLooping != 0;
        loop.dwLooping = 0;
        return {QByteArray(data.data(), qsizetype(h.dwBytesRecorded)), more, wrapped};
    }
    Pull Load(DWORD size) {
        TMMLoopRec none{};
        return Load(size, none);
    }
};

// A source feeding a sink, as in a playing chain.
struct Chain {
    TMMWaveFile* Source = new TMMWaveFile;
    Sink* Output = new Sink;
    Chain() {
        Output->SetInputValid(true);
        Output->SetInput(Source);
    }
    ~Chain() {
        delete Output;
        delete Source;
    }
    void Play() {
        Source->Opened();
        Source->Started();
    }
    // Pulls until the source asks for no more; the buffers in order.
    std::vector<Sink::Pull> Drain(DWORD size, TMMLoopRec loop = {}) {
        std::vector<Sink::Pull> pulls;
        for (int guard = 0; guard < 10000; ++guard) {
            pulls.push_back(Output->Load(size, loop));
            if (!pulls.back().More) break;
        }
        return pulls;
    }
};

QByteArray Joined(const std::vector<Sink::Pull>& pulls) {
    QByteArray all;
    for (const auto& p : pulls) all += p.Data;
    return all;
}

class WaveFileSource : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sox::Available()) GTEST_SKIP() << "sox is not installed";
    }
    // A tone of Samples frames in the given sox sample format.
    QString Make(const QString& name, int samples, const QStringList& format = {"-b", "16", "-e", "signed"},
                 int channels = 1) {
        const QString path = Dir.file(name);
        const QStringList shape{"-r", "8000", "-c", QString::number(channels)};
        sox::Run(shape + QStringList{"-n"} + shape + format +
                 QStringList{path, "synth", QString::number(samples) + "s", "sine", "440"});
        return path;
    }
    TempDir Dir;
};

TEST_F(WaveFileSource, DeliversTheDataChunkAndEndsWithAShortBuffer) {
    const QString path = Make("tone.wav", 5000);  // 10000 data bytes
    Chain c;
    c.Source->SetFileName(path);
    c.Play();
    const auto pulls = c.Drain(2048);

    ASSERT_EQ(pulls.size(), 5u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(pulls[i].Data.size(), 2048) << i;
        EXPECT_TRUE(pulls[i].More) << i;
    }
    EXPECT_EQ(pulls[4].Data.size(), 1808);
    EXPECT_FALSE(pulls[4].More);
    EXPECT_EQ(Joined(pulls), sox::ReadWav(path).data);
}

TEST_F(WaveFileSource, DataEndingOnABufferBoundaryEndsWithThatBuffer) {
    const QString path = Make("even.wav", 2048);  // two whole buffers
    Chain c;
    c.Source->SetFileName(path);
    c.Play();
    const auto pulls = c.Drain(2048);
    ASSERT_EQ(pulls.size(), 2u);
    EXPECT_FALSE(pulls[1].More);
    EXPECT_EQ(Joined(pulls), sox::ReadWav(path).data);
}

TEST_F(WaveFileSource, EmptySourceDoesNotOpenAndDeliversNothing) {
    Chain c;
    int opens = 0;
    c.Source->OnOpen = [&](QObject*) { ++opens; };
    c.Play();
    EXPECT_FALSE(c.Source->FileOpen());
    EXPECT_EQ(opens, 0);
    const auto pull = c.Output->Load(2048);
    EXPECT_EQ(pull.Data.size(), 0);
    EXPECT_FALSE(pull.More);
}

TEST_F(WaveFileSource, LoopCountGivesThatManyExtraPasses) {
    const QString path = Make("loop.wav", 1500);  // 3000 bytes
    Chain c;
    c.Source->SetFileName(path);
    int loops = 0;
    c.Source->OnLooping = [&](QObject*) { ++loops; };
    c.Play();
    TMMLoopRec loop{DWORD(-1), 2, 2, 0};
    const auto pulls = c.Drain(1024, loop);

    EXPECT_EQ(loops, 2);
    const QByteArray data = sox::ReadWav(path).data;
    EXPECT_EQ(Joined(pulls), data + data + data);
    int wraps = 0;
    for (const auto& p : pulls) wraps += p.Wrapped;
    EXPECT_EQ(wraps, 2);
}

TEST_F(WaveFileSource, EndlessLoopKeepsAsking) {
    const QString path = Make("endless.wav", 100);
    Chain c;
    c.Source->SetFileName(path);
    c.Play();
    TMMLoopRec loop{DWORD(-1), 0, 0, 0};
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(c.Output->Load(2048, loop).More) << i;
}

TEST_F(WaveFileSource, NotStartedOrDisabledPlaysFullSilence) {
    struct Case {
        QStringList format;
        char silence;
    };
    for (const Case& k :
         {Case{{"-b", "8", "-e", "unsigned"}, char(128)}, Case{{"-b", "16", "-e", "signed"}, 0}}) {
        Chain c;
        c.Source->SetFileName(Make("s" + k.format[1] + ".wav", 4000, k.format));
        c.Source->Opened();  // open, not started
        auto pull = c.Output->Load(512);
        EXPECT_EQ(pull.Data, QByteArray(512, k.silence));
        EXPECT_TRUE(pull.More);

        c.Source->Started();
        c.Source->SetEnabled(false);
        pull = c.Output->Load(512);
        EXPECT_EQ(pull.Data, QByteArray(512, k.silence));
        EXPECT_TRUE(pull.More);
    }
}

TEST_F(WaveFileSource, StartRewindsToThePositionAtOpening) {
    const QString path = Make("pos.wav", 4000);  // 8000 bytes, 500 ms
    Chain c;
    c.Source->SetFileName(path);
    c.Source->Wave()->SetTimeFormat(tfByte);
    EXPECT_EQ(c.Source->GetPlayTime(), 500);
    c.Source->SetPosition(2000);
    EXPECT_EQ(c.Source->GetPositionMs(), 125);
    c.Play();
    const auto pulls = c.Drain(4096);
    EXPECT_EQ(Joined(pulls), sox::ReadWav(path).data.mid(2000));

    c.Source->Closed();
    EXPECT_EQ(c.Source->GetPosition(), 0);  // closing the file rewinds
    c.Source->SetPositionMs(250);
    EXPECT_EQ(c.Source->GetPosition(), 4000);
}

TEST_F(WaveFileSource, StopThenStartAgainRewindsToTheOpeningPosition) {
    const QString path = Make("again.wav", 2000);
    Chain c;
    c.Source->SetFileName(path);
    c.Play();
    c.Output->Load(1000);
    c.Source->Stopped();
    c.Source->Started();
    EXPECT_EQ(Joined(c.Drain(1000)), sox::ReadWav(path).data);
}

// A wave that supplies a play fade list (the wave itself has none): silence
// at the start position, rising to full level over the rest of the data. It
// makes its points when asked to initialise the list, and on a seek (Reset)
// only moves its place in them.
class FadeInWave : public TMMWave {
public:
    using TMMWave::TMMWave;

protected:
    void InitPlayFadeList(bool Reset) override {
        if (!FPlayFadeList) FPlayFadeList = std::make_unique<TMMFadeList>();
        if (!Reset) {
            FPlayFadeList->Clear();
            TMMFadePoint p;
            p.Offset = SamplesToBytes(FPosition);
            FPlayFadeList->Add(p);
            p.Offset = LengthBytes();
            p.VolumeL = p.VolumeR = 16384;
            FPlayFadeList->Add(p);
        }
        FPlayFadeList->FStartOffset = SamplesToBytes(FPosition);
        FPlayFadeList->FStartVolumeL = FPlayFadeList->FStartVolumeR = 0;
    }
};

TEST_F(WaveFileSource, EveryStartLetsTheWavePlaceItsFadeList) {
    const QString path = Make("fade.wav", 4000);
    Chain c;
    auto* wave = new FadeInWave;
    c.Source->SetWaveEx(wave);
    c.Source->SetFileName(path);
    c.Play();
    const QByteArray played = Joined(c.Drain(2000));
    const QByteArray plain = sox::ReadWav(path).data;
    ASSERT_EQ(played.size(), plain.size());
    auto level = [](const QByteArray& pcm, int from, int count) {
        const auto* s = reinterpret_cast<const std::int16_t*>(pcm.constData()) + from;
        double sum = 0;
        for (int i = 0; i < count; ++i) sum += std::abs(s[i]);
        return sum / count;
    };
    // Faded in: near silence at the start, most of the level by the end.
    EXPECT_LT(level(played, 0, 200), 0.1 * level(plain, 0, 200));
    EXPECT_GT(level(played, 3600, 400), 0.8 * level(plain, 3600, 400));

    // Stopping empties the list; a new start has the wave place it again.
    c.Source->Stopped();
    c.Source->Started();
    EXPECT_EQ(Joined(c.Drain(2000)), played);
}

TEST_F(WaveFileSource, LoadingReportsTheChangeAndTakesTheFormat) {
    Chain c;
    std::vector<QString> events;
    c.Source->OnChange = [&](QObject*) { events.push_back("change"); };
    c.Source->OnChanged = [&](QObject*) { events.push_back("changed"); };
    c.Source->SetFileName(Make("fmt.wav", 100, {"-b", "8", "-e", "unsigned"}, 2));
    EXPECT_EQ(events, (std::vector<QString>{"change", "changed"}));
    ASSERT_NE(c.Source->GetPWaveFormat(), nullptr);
    EXPECT_EQ(c.Source->GetPWaveFormat()->nChannels, 2);
    EXPECT_EQ(c.Source->GetChannels(), 2);
    EXPECT_EQ(c.Source->GetSampleRate(), 8000u);
    EXPECT_EQ(c.Source->GetOptimalReadSize(), 2);
    EXPECT_EQ(c.Source->Silence(), 128);
    // The format travels down the chain.
    ASSERT_NE(c.Output->GetPWaveFormat(), nullptr);
    EXPECT_EQ(c.Output->GetPWaveFormat()->nChannels, 2);
}

TEST_F(WaveFileSource, BadFilesRaiseAClearErrorAndLeaveTheSourceUsable) {
    QFile text(Dir.file("notes.wav"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write("this is not a wave file at all\n");
    text.close();
    QFile empty(Dir.file("empty.wav"));
    ASSERT_TRUE(empty.open(QIODevice::WriteOnly));
    empty.close();
    const QString good = Make("good.wav", 3000);
    QFile::copy(good, Dir.file("cut.wav"));
    QFile cut(Dir.file("cut.wav"));
    ASSERT_TRUE(cut.resize(30));  // the header broken off inside the format chunk

    for (const QString& name : {Dir.file("missing.wav"), text.fileName(), empty.fileName(), cut.fileName()}) {
        Chain c;
        try {
            c.Source->SetFileName(name);
            ADD_FAILURE() << "no error for " << name.toStdString();
        } catch (const EMMWaveError& e) {
            EXPECT_FALSE(e.Message().isEmpty());
        }
        EXPECT_TRUE(c.Source->GetEmpty());
        c.Play();
        EXPECT_EQ(c.Output->Load(2048).Data.size(), 0);
        c.Source->SetFileName(good);  // still usable
        EXPECT_FALSE(c.Source->GetEmpty());
    }
}

TEST_F(WaveFileSource, TruncatedDataEndsEarlyWithoutError) {
    const QString good = Make("long.wav", 8000);  // 16000 data bytes claimed
    QFile::copy(good, Dir.file("short.wav"));
    QFile f(Dir.file("short.wav"));
    ASSERT_TRUE(f.resize(44 + 3000));
    Chain c;
    c.Source->SetFileName(f.fileName());  // the samples that are there still play
    c.Play();
    const auto pulls = c.Drain(2048);
    ASSERT_LT(pulls.size(), 20u);
    EXPECT_FALSE(pulls.back().More);
    EXPECT_EQ(Joined(pulls).left(3000), sox::ReadWav(good).data.left(3000));
}

TEST_F(WaveFileSource, MissingFileWithoutMustExistEmptiesButKeepsTheFormat) {
    Chain c;
    c.Source->SetFileName(Make("keep.wav", 100));
    c.Source->Wave()->SetFileMustExist(false);
    c.Source->SetFileName(Dir.file("nothing-here.wav"));
    EXPECT_TRUE(c.Source->GetEmpty());
    ASSERT_NE(c.Source->GetPWaveFormat(), nullptr);
    EXPECT_EQ(c.Source->GetPWaveFormat()->wBitsPerSample, 16);
}

TEST_F(WaveFileSource, ValidFilesByExtensionAndContent) {
    const QString wave = Make("a.wav", 100);
    struct Case {
        QString name;
        bool valid;
    };
    const Case cases[] = {{"A.WAV", true}, {"a.mp3", false}, {"noext", true}, {"x.Wav", true}};
    for (const Case& k : cases) {
        const QString path = Dir.file(k.name);
        if (!QFile::exists(path)) QFile::copy(wave, path);
        EXPECT_EQ(TMMCustomWaveFile::IsValidFile(path), k.valid) << k.name.toStdString();
    }
    EXPECT_FALSE(TMMCustomWaveFile::IsValidFile(Dir.file("absent.wav")));
}

TEST_F(WaveFileSource, FileInfoDescribesAWave) {
    const QString path = Make("info.wav", 4000);
    TMMAudioFileInfo info;
    ASSERT_TRUE(TMMWaveFile::ClassInfo()->GetFileInfo(path, info, true));
    EXPECT_EQ(info.FileType, ftWave);
    EXPECT_EQ(info.FileLength, 500);
    EXPECT_EQ(info.ID3Tag.SongName, QString("info.wav"));
    EXPECT_FALSE(TMMWaveFile::ClassInfo()->GetFileInfo(Dir.file("absent.wav"), info, false));
    EXPECT_EQ(TMMWaveFile::GetFilter(), QString("Wave Files(*.wav)|*.wav"));
}

// ---- Recording ----------------------------------------------------------------------

// Delivers numbered bytes in a fixed format, for ever.
class Generator : public TMMDSPComponent {
public:
    Generator() {
        SetOutputValid(true);
        WAVEFORMATEX f{};
        f.wFormatTag = WAVE_FORMAT_PCM;
        f.nChannels = 1;
        f.nSamplesPerSec = 8000;
        f.wBitsPerSample = 16;
        f.nBlockAlign = 2;
        f.nAvgBytesPerSec = 16000;
        SetPWaveFormat(&f);
    }
    void BufferLoad(TMMWaveHdr* lpwh, bool& MoreBuffers) override {
        for (DWORD i = 0; i < lpwh->dwBufferLength; ++i) lpwh->lpData[i] = char(Next++ * 7);
        lpwh->dwBytesRecorded = lpwh->dwBufferLength;
        MoreBuffers = true;
    }
    unsigned Next = 0;
};

TEST_F(WaveFileSource, WithAnInputItRecordsWhatPassesThrough) {
    for (const int buffers : {3, 0}) {
        const QString path = Dir.file(QString("rec%1.wav").arg(buffers));
        Generator gen;
        Chain c;
        c.Source->Wave()->SetFileMustExist(false);
        c.Source->SetFileName(path);
        c.Source->SetInput(&gen);
        ASSERT_EQ(c.Source->GetInput(), &gen);
        c.Play();
        ASSERT_TRUE(c.Source->FileOpen());
        QByteArray passed;
        for (int i = 0; i < buffers; ++i) passed += c.Output->Load(1000).Data;
        c.Source->Closed();
        c.Source->SetInput(nullptr);

        const sox::WavFile w = sox::ReadWav(path);
        // A file that got nothing still holds a little silence.
        EXPECT_EQ(w.data, buffers ? passed : QByteArray(4, 0)) << buffers;
        ASSERT_GE(w.fmt.size(), 16);
        EXPECT_EQ(w.fmt[2], 1);  // mono
    }
}

// ---- Registry ----------------------------------------------------------------------

class NamedClass : public TMMCustomFileClassInfo {
public:
    explicit NamedClass(QString name) : FName(std::move(name)) {}
    QString ClassName() const override { return FName; }
    TMMCustomFile* Create(QObject*) const override { return nullptr; }

private:
    QString FName;
};

TEST(AudioFileRegistry, OrderedByPriorityOnceEach) {
    EXPECT_EQ(TMMWaveFile().FileType(), ftWave);  // registered at start-up
    const NamedClass mpeg("TMMMpegFile"), cd("TMMCDAFile"), early("Early"), late("Late"), same("Same");
    DoRegisterCustomAudioFile(&mpeg, 3);
    DoRegisterCustomAudioFile(&cd, 7);
    DoRegisterCustomAudioFile(&same, 7);
    DoRegisterCustomAudioFile(&mpeg, 1);   // ignored: already there
    DoRegisterCustomAudioFile(&late, -1);  // counts as the largest
    DoRegisterCustomAudioFile(&early, 0);

    QStringList order;
    for (const TRegisterRec& rec : RegisteredAudioFiles()) order << rec.Obj->ClassName();
    EXPECT_EQ(order, (QStringList{"Early", "TMMMpegFile", "TMMCDAFile", "Same", "TMMWaveFile", "Late"}));

    FreeClassRegistry();
    EXPECT_TRUE(RegisteredAudioFiles().isEmpty());
}

}  // namespace
