#include "wavedata/RiffWave.h"

#include "tests/support/RiffFixtures.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtEndian>

namespace fx = RiffFixtures;

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray Le32(quint32 v) {
    char b[4];
    qToLittleEndian(v, b);
    return QByteArray(b, 4);
}

QByteArray Le16(quint16 v) {
    char b[2];
    qToLittleEndian(v, b);
    return QByteArray(b, 2);
}

QByteArray PcmFmt(quint16 channels, quint32 rate, quint16 bits, quint16 blockAlign) {
    return Le16(1) + Le16(channels) + Le32(rate) + Le32(rate * blockAlign) + Le16(blockAlign) + Le16(bits);
}

QByteArray Riff(const QByteArray& chunks, qint64 size = -1) {
    return "RIFF" + Le32(static_cast<quint32>(size >= 0 ? size : chunks.size() + 4)) + "WAVE" + chunks;
}

struct Described {
    int rc = -1;
    TWaveIOCBPtr cb;
};

Described Describe(const QString& path, DWORD flags = wioFlagFile) {
    PWAVEIOCB raw = nullptr;
    Described d;
    d.rc = wioReadFileInfo(raw, path, mmioFourCC('W', 'A', 'V', 'E'), flags);
    d.cb.reset(raw);
    return d;
}

QByteArray ReadAllData(PWAVEIOCB cb, LONG chunk = 1000) {
    QByteArray out;
    QByteArray buffer(chunk, '\0');
    for (;;) {
        const LONG n = wioWaveReadData(cb, buffer.data(), chunk);
        if (n <= 0) break;
        out += buffer.left(n);
    }
    return out;
}

}  // namespace

struct Layout {
    int rate, bits, channels;
};

void PrintTo(const Layout& l, std::ostream* os) {
    *os << l.rate << "Hz_" << l.bits << "bit_" << l.channels << "ch";
}

class SoxReference : public ::testing::TestWithParam<Layout> {};

// Described sizes and read bytes match what sox says about the same file,
// from disk and from a memory image.
TEST_P(SoxReference, DescribesAndReadsWhatSoxDecodes) {
    const auto [rate, bits, channels] = GetParam();
    TempDir dir;
    const QString path = dir.file("tone.wav");
    ASSERT_TRUE(fx::MakeTone(path, rate, bits, channels, 0.37));
    const qint64 samples = fx::Samples(path);
    const QByteArray raw = fx::RawData(path);
    ASSERT_GT(samples, 0);

    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    PWAVEIOCB cb = d.cb.get();
    EXPECT_EQ(cb->wfx.wBitsPerSample, fx::Bits(path));
    EXPECT_EQ(cb->wfx.nChannels, channels);
    EXPECT_EQ(cb->wfx.nSamplesPerSec, static_cast<DWORD>(rate));
    EXPECT_EQ(cb->dwDataSamples, static_cast<DWORD>(samples));
    EXPECT_EQ(cb->dwDataBytes, static_cast<DWORD>(raw.size()));
    EXPECT_EQ(cb->dwFileSize, static_cast<DWORD>(QFile(path).size()));
    EXPECT_EQ(cb->hmmio, nullptr);  // describing leaves nothing open

    ASSERT_EQ(wioWaveOpen(cb), wioErrNone);
    EXPECT_EQ(ReadAllData(cb, 777), raw);
    EXPECT_EQ(cb->dwPosition, cb->dwDataSamples);
    EXPECT_EQ(wioWaveReadData(cb, nullptr, 10), -1);  // nothing left
    EXPECT_EQ(wioWaveClose(cb), wioErrNone);

    const QByteArray image = ReadAll(path);
    PWAVEIOCB mem = nullptr;
    ASSERT_EQ(wioBuildFileInfoFromMem(mem, image.constData(), static_cast<DWORD>(image.size())), wioErrNone);
    TWaveIOCBPtr owner(mem);
    ASSERT_EQ(wioWaveOpen(mem), wioErrNone);
    EXPECT_EQ(ReadAllData(mem), raw);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SoxReference,
                         // 11025 Hz mono 8-bit: an odd number of bytes, so sox adds a pad byte
                         ::testing::Values(Layout{8000, 8, 1}, Layout{11025, 8, 1}, Layout{11025, 8, 2},
                                           Layout{22050, 16, 1}, Layout{44100, 16, 2}, Layout{48000, 16, 1}));

TEST(RiffWave, DataEndsAtTheChunkAfterItAndInfoIsRead) {
    TempDir dir;
    const QString path = dir.file("info.wav");
    const QByteArray samples("\x10\x20\x30\x40\x50", 5);  // odd: a pad byte follows
    const QByteArray info = fx::InfoList({{"INAM", "Tenor"}, {"ZZZZ", "unknown"}, {"ICMT", "Cast 1887"}});
    ASSERT_TRUE(
        WriteAll(path, Riff(fx::Chunk("fmt ", PcmFmt(1, 8000, 8, 1)) + fx::Chunk("data", samples) + info)));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    PWAVEIOCB cb = d.cb.get();
    EXPECT_EQ(cb->dwDataOffset, 44u);
    EXPECT_EQ(cb->dwDataBytes, 5u);  // never the pad byte
    ASSERT_EQ(wioWaveOpen(cb), wioErrNone);
    EXPECT_EQ(ReadAllData(cb), samples);
    TInfoChunk* list = cb->lpInfo.get();
    EXPECT_EQ(RiffGetINFOText(list, RiffFindPIINFO(list, mmioFourCC('I', 'N', 'A', 'M'))), "Tenor");
    EXPECT_EQ(RiffGetINFOText(list, RiffFindPIINFO(list, mmioFourCC('I', 'C', 'M', 'T'))), "Cast 1887");
    EXPECT_EQ(RiffFindPIINFO(list, mmioFourCC('Z', 'Z', 'Z', 'Z')), nullptr);
}

TEST(RiffWave, SoxFileWithMetadataAppendedKeepsItsSamples) {
    TempDir dir;
    const QString path = dir.file("meta.wav");
    ASSERT_TRUE(fx::MakeTone(path, 22050, 16, 2, 0.1));
    const QByteArray raw = fx::RawData(path);
    QByteArray disp = Le32(CF_TEXT) + QByteArray("Treble", 7);
    ASSERT_TRUE(fx::Append(
        path, fx::InfoList({{"IART", "Foundry"}}) + fx::Chunk("DISP", disp) + fx::Chunk("odd ", "xyz")));
    ASSERT_TRUE(fx::FixRiffSize(path));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->dwDataBytes, static_cast<DWORD>(raw.size()));
    ASSERT_EQ(d.cb->lpDisp->Entries.size(), 1u);
    EXPECT_EQ(d.cb->lpDisp->Entries[0]->cfid, CF_TEXT);
    ASSERT_EQ(wioWaveOpen(d.cb.get()), wioErrNone);
    EXPECT_EQ(ReadAllData(d.cb.get()), raw);
}

TEST(RiffWave, TruncatedAndExtendedFilesCountTheBytesThatAreThere) {
    TempDir dir;
    const QString path = dir.file("cut.wav");
    // 16-bit stereo, data chunk claims 4000 bytes, 403 are there.
    const QByteArray head = fx::Chunk("fmt ", PcmFmt(2, 8000, 16, 4)) + "data" + Le32(4000);
    ASSERT_TRUE(WriteAll(path, Riff(head + QByteArray(403, 'a'), 4 + head.size() + 4000)));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->dwDataOffset, 44u);
    EXPECT_EQ(d.cb->dwDataBytes, 400u);
    EXPECT_EQ(d.cb->dwDataSamples, 100u);

    // Bytes after the end of the RIFF chunk, behind a final data chunk, are
    // not data: an editor's tag or a second file.
    const QString extended = dir.file("extended.wav");
    ASSERT_TRUE(WriteAll(
        extended, Riff(fx::Chunk("fmt ", PcmFmt(1, 8000, 8, 1)) + fx::Chunk("data", "abcd")) + "efgh"));
    d = Describe(extended);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->dwDataBytes, 4u);
    ASSERT_EQ(wioWaveOpen(d.cb.get()), wioErrNone);
    EXPECT_EQ(ReadAllData(d.cb.get()), "abcd");
}

struct DataEnd {
    const char* name;
    QByteArray bytes;
    QByteArray samples;  // what is read back
};

void PrintTo(const DataEnd& c, std::ostream* os) {
    *os << c.name;
}

class DataEnds : public ::testing::TestWithParam<DataEnd> {};

// The samples end at the data chunk's declared size when that size can be
// right, else at the next chunk or the end of the file; never at the pad
// byte, never past the end of the RIFF chunk. From disk and from memory.
TEST_P(DataEnds, OnlySampleBytesAreRead) {
    const DataEnd& c = GetParam();
    TempDir dir;
    const QString path = dir.file("end.wav");
    ASSERT_TRUE(WriteAll(path, c.bytes));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->dwDataOffset, 44u);
    EXPECT_EQ(d.cb->dwDataBytes, static_cast<DWORD>(c.samples.size()));
    EXPECT_EQ(d.cb->dwDataSamples, static_cast<DWORD>(c.samples.size()) / d.cb->wfx.nBlockAlign);
    ASSERT_EQ(wioWaveOpen(d.cb.get()), wioErrNone);
    EXPECT_EQ(ReadAllData(d.cb.get(), 3), c.samples);

    PWAVEIOCB mem = nullptr;
    ASSERT_EQ(wioBuildFileInfoFromMem(mem, c.bytes.constData(), static_cast<DWORD>(c.bytes.size())),
              wioErrNone);
    TWaveIOCBPtr owner(mem);
    ASSERT_EQ(wioWaveOpen(mem), wioErrNone);
    EXPECT_EQ(ReadAllData(mem), c.samples);
}

QByteArray Fmt8() {
    return fx::Chunk("fmt ", PcmFmt(1, 8000, 8, 1));
}

// A data chunk declaring size, followed by body (samples, pad, chunks...).
QByteArray Data(quint32 size, const QByteArray& body) {
    return "data" + Le32(size) + body;
}

const QByteArray kInfo = fx::InfoList({{"INAM", "Treble"}});

INSTANTIATE_TEST_SUITE_P(
    Cases, DataEnds,
    ::testing::Values(
        DataEnd{"OddSizeLastPadByteIsNotASample", Riff(Fmt8() + Data(5, QByteArray("vwxyz\0", 6))), "vwxyz"},
        DataEnd{"OddSizeBeforeList", Riff(Fmt8() + Data(3, QByteArray("xyz\0", 4)) + kInfo), "xyz"},
        DataEnd{"TagAppendedAfterRiff", Riff(Fmt8() + Data(4, "abcd")) + "TAG:Treble", "abcd"},
        DataEnd{"SecondFileAppended", Riff(Fmt8() + Data(4, "abcd")) + Riff(Fmt8() + Data(4, "efgh")),
                "abcd"},
        DataEnd{"RiffEndsInsideTheData", Riff(Fmt8() + Data(8, "abcdefgh"), 4 + 24 + 8 + 5), "abcde"},
        DataEnd{"SizeSaysLessThanTheChunkHolds", Riff(Fmt8() + Data(4, "abcd") + "junk" + Le32(2) + "ef"),
                "abcd"},
        DataEnd{"StereoOddSizeWholeFramesOnly",
                Riff(fx::Chunk("fmt ", PcmFmt(2, 8000, 8, 2)) + Data(5, QByteArray("abcde\0", 6))), "abcd"},
        // Sizes that cannot be right: the data runs to the next chunk or the
        // end of the file, but still not past the RIFF chunk.
        DataEnd{"ZeroSizeDataLast", Riff(Fmt8() + Data(0, "\x80\x81\x82\x83\x84\x85\x86\x87")),
                "\x80\x81\x82\x83\x84\x85\x86\x87"},
        DataEnd{"StreamingSizes", "RIFF" + Le32(0xFFFFFFFFu) + "WAVE" + Fmt8() + Data(0xFFFFFFFFu, "abcdef"),
                "abcdef"},
        DataEnd{"SizeBeyondTheFileWithTagAfterRiff", Riff(Fmt8() + Data(1000, "abcdef")) + "TAG", "abcdef"},
        DataEnd{"SizeBeyondTheFileRiffToo", Riff(Fmt8() + Data(1000, "abcdefg"), 4 + 24 + 8 + 1000),
                "abcdefg"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RiffWave, PcmFormatIsRepairedAfterTheDataLengthIsRounded) {
    TempDir dir;
    const QString path = dir.file("align3.wav");
    // 16-bit stereo that claims a block of 3; 10 data bytes.
    ASSERT_TRUE(
        WriteAll(path, Riff(fx::Chunk("fmt ", PcmFmt(2, 8000, 16, 3)) + fx::Chunk("data", "0123456789"))));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->wfx.nBlockAlign, 4);
    EXPECT_EQ(d.cb->wfx.nAvgBytesPerSec, 32000u);
    EXPECT_EQ(d.cb->wfx.cbSize, 0);
    EXPECT_EQ(d.cb->dwDataBytes, 9u);
}

TEST(RiffWave, FactChunkNeverOverridesTheDataLength) {
    TempDir dir;
    const QString path = dir.file("fact.wav");
    ASSERT_TRUE(WriteAll(path, Riff(fx::Chunk("fmt ", PcmFmt(1, 8000, 8, 1)) + fx::Chunk("fact", Le32(5)) +
                                    fx::Chunk("data", "0123456789"))));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->dwDataSamples, 10u);
}

struct BadInput {
    const char* name;
    QByteArray bytes;
    int rc;
};

void PrintTo(const BadInput& b, std::ostream* os) {
    *os << b.name;
}

class BadFiles : public ::testing::TestWithParam<BadInput> {};

// Broken files give their result code, no block, no crash and no huge
// allocation (the sanitizer build would show one).
TEST_P(BadFiles, GiveTheirResultCode) {
    TempDir dir;
    const QString path = dir.file("bad.wav");
    ASSERT_TRUE(WriteAll(path, GetParam().bytes));
    Described d = Describe(path);
    EXPECT_EQ(d.rc, GetParam().rc);
    EXPECT_EQ(d.cb, nullptr);
    EXPECT_FALSE(wioIsWaveFile(path, wioFlagFile));
    if (!GetParam().bytes.isEmpty()) {
        PWAVEIOCB mem = nullptr;
        EXPECT_EQ(wioBuildFileInfoFromMem(mem, GetParam().bytes.constData(), GetParam().bytes.size()),
                  GetParam().rc);
        EXPECT_EQ(mem, nullptr);
    }
}

QByteArray RandomBytes() {
    QByteArray b(1000, '\0');
    quint32 x = 2463534242u;
    for (auto& c : b) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        c = static_cast<char>(x);
    }
    return b;
}

const QByteArray kFmt8 = fx::Chunk("fmt ", PcmFmt(1, 8000, 8, 1));

INSTANTIATE_TEST_SUITE_P(
    Cases, BadFiles,
    ::testing::Values(
        BadInput{"Empty", QByteArray(), wioErrFile}, BadInput{"Random", RandomBytes(), wioErrFile},
        BadInput{"NotWave", "RIFF" + Le32(4) + "AVI ", wioErrFile},
        BadInput{"HeaderOnly", "RIFF" + Le32(4), wioErrFile},
        BadInput{"NoFormat", Riff(fx::Chunk("data", "abcd")), wioErrGeneric},
        BadInput{"ZeroBlockAlign", Riff(fx::Chunk("fmt ", PcmFmt(1, 8000, 8, 0)) + fx::Chunk("data", "ab")),
                 wioErrFile},
        BadInput{"ZeroRate", Riff(fx::Chunk("fmt ", PcmFmt(1, 0, 8, 1)) + fx::Chunk("data", "ab")),
                 wioErrFile},
        BadInput{"FourBitPcm", Riff(fx::Chunk("fmt ", PcmFmt(1, 8000, 4, 1)) + fx::Chunk("data", "ab")),
                 wioErrFile},
        BadInput{"NoData", Riff(kFmt8), wioErrFile},
        BadInput{"AbsurdFormatSize", "RIFF" + Le32(0xFFFFFFFFu) + "WAVE" + "fmt " + Le32(0xFFFFFFF0u) + "x",
                 wioErrFile},
        BadInput{"AbsurdInfoSize",
                 "RIFF" + Le32(0xFFFFFFFFu) + "WAVE" + kFmt8 + "LIST" + Le32(0xFFFFFFF0u) + "INFOINAM",
                 wioErrFile},
        BadInput{"AbsurdDispSize", Riff(kFmt8 + "DISP" + Le32(0x7FFFFFF0u) + Le32(1) + "x"), wioErrFile}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RiffWave, AbsurdDataSizeIsCutToTheFile) {
    TempDir dir;
    const QString path = dir.file("huge.wav");
    ASSERT_TRUE(
        WriteAll(path, "RIFF" + Le32(0xFFFFFFFFu) + "WAVE" + kFmt8 + "data" + Le32(0xFFFFFFF0u) + "12345"));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->dwDataBytes, 5u);
    ASSERT_EQ(wioWaveOpen(d.cb.get()), wioErrNone);
    EXPECT_EQ(ReadAllData(d.cb.get()), "12345");
}

TEST(RiffWave, MissingFilesAndFoldersAreNotWaves) {
    TempDir dir;
    EXPECT_EQ(Describe(dir.file("missing.wav")).rc, wioErrFile);
    EXPECT_EQ(Describe(dir.path()).rc, wioErrFile);
    EXPECT_FALSE(wioFileExists(dir.path()));
    PWAVEIOCB none = nullptr;
    EXPECT_EQ(wioBuildFileInfoFromMem(none, nullptr, 10), wioErrFile);
    EXPECT_EQ(wioFreeFileInfo(none), wioErrBadParam);
    EXPECT_EQ(wioCreateFileInfo(none, nullptr), wioErrBadParam);
    EXPECT_EQ(wioWaveOpen(nullptr), wioErrBadParam);
    EXPECT_EQ(wioWaveReadData(nullptr, nullptr, 1), -1);
}

TEST(RiffWave, ThreeBytesWrittenMakeAFortyEightByteFile) {
    TempDir dir;
    const QString path = dir.file("new.wav");
    WAVEFORMATEX fmt{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    PWAVEIOCB raw = nullptr;
    ASSERT_EQ(wioCreateFileInfo(raw, &fmt), wioErrNone);
    TWaveIOCBPtr cb(raw);
    ASSERT_EQ(wioWriteFileInfo(raw, path), wioErrNone);
    EXPECT_EQ(raw->dwDataOffset, 44u);
    EXPECT_EQ(wioWaveWriteData(raw, "abc", 3), 3);
    EXPECT_EQ(raw->dwDataSamples, 3u);
    ASSERT_EQ(wioWaveClose(raw), wioErrNone);
    EXPECT_EQ(raw->dwFileSize, 48u);
    const QByteArray expected = "RIFF" + Le32(40) + "WAVE" + fx::Chunk("fmt ", PcmFmt(1, 8000, 8, 1)) +
                                "data" + Le32(3) + QByteArray("abc\0", 4);
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_EQ(fx::Samples(path), 3);
}

TEST(RiffWave, InfoTextIsWrittenAfterTheDataOnlyWhenPresent) {
    TempDir dir;
    WAVEFORMATEX fmt{WAVE_FORMAT_PCM, 2, 11025, 44100, 4, 16, 0};
    const QByteArray samples(400, 'q');
    for (bool withName : {false, true}) {
        const QString path = dir.file(withName ? "named.wav" : "plain.wav");
        PWAVEIOCB raw = nullptr;
        ASSERT_EQ(wioCreateFileInfo(raw, &fmt), wioErrNone);
        TWaveIOCBPtr cb(raw);
        if (withName)
            RiffModifyINFO(raw->lpInfo.get(),
                           RiffFindPIINFO(raw->lpInfo.get(), mmioFourCC('I', 'N', 'A', 'M')), riffFlagChanged,
                           QByteArray("Bell 3"), 0);
        ASSERT_EQ(wioWriteFileInfo(raw, path), wioErrNone);
        ASSERT_EQ(wioWaveWriteSamples(raw, samples.constData(), 100), 100);
        ASSERT_EQ(wioWaveClose(raw), wioErrNone);
        const QByteArray file = ReadAll(path);
        const QByteArray tail = file.mid(44 + 400);
        EXPECT_EQ(tail, withName ? fx::InfoList({{"INAM", "Bell 3"}}) : QByteArray());
        EXPECT_EQ(fx::Samples(path), 100);
        EXPECT_EQ(fx::RawData(path), samples);

        Described back = Describe(path);
        ASSERT_EQ(back.rc, wioErrNone);
        EXPECT_EQ(RiffGetINFOText(back.cb->lpInfo.get(),
                                  RiffFindPIINFO(back.cb->lpInfo.get(), mmioFourCC('I', 'N', 'A', 'M'))),
                  withName ? "Bell 3" : "");
    }
}

TEST(RiffWave, AppendingToAnExistingFileRecomputesBothSizes) {
    TempDir dir;
    const QString path = dir.file("grow.wav");
    ASSERT_TRUE(fx::MakeTone(path, 8000, 16, 1, 0.01));
    const qint64 before = fx::Samples(path);
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    PWAVEIOCB cb = d.cb.get();
    cb->dwPosition = cb->dwDataSamples;
    ASSERT_EQ(wioWaveOpen(cb), wioErrNone);
    // Positioning clamps to the last sample: skip it to append after the end.
    ASSERT_EQ(wioWaveReadData(cb, QByteArray(2, '\0').data(), 2), 2);
    const QByteArray extra(20, '\x01');
    ASSERT_EQ(wioWaveWriteData(cb, extra.constData(), 20), 20);
    ASSERT_EQ(wioWaveClose(cb), wioErrNone);
    EXPECT_EQ(fx::Samples(path), before + 10);
    EXPECT_EQ(fx::RawData(path).right(20), extra);
}

TEST(RiffWave, PositioningStopsAtTheLastSample) {
    TempDir dir;
    const QString path = dir.file("pos.wav");
    ASSERT_TRUE(
        WriteAll(path, Riff(fx::Chunk("fmt ", PcmFmt(2, 8000, 16, 4)) + fx::Chunk("data", "AAAABBBBCCCC"))));
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    PWAVEIOCB cb = d.cb.get();
    EXPECT_EQ(wioWaveSetPosition(cb, 100), wioErrNone);  // closed: only the position
    EXPECT_EQ(cb->dwPosition, 2u);
    ASSERT_EQ(wioWaveOpen(cb), wioErrNone);
    EXPECT_EQ(ReadAllData(cb), "CCCC");
    ASSERT_EQ(wioWaveSetPosition(cb, 1), wioErrNone);
    EXPECT_EQ(cb->dwBytesLeft, 8u);
    EXPECT_EQ(ReadAllData(cb, 3), "BBBBCCCC");
    EXPECT_EQ(wioWaveSetPosition(cb, -1), wioErrFile);
    EXPECT_EQ(wioWaveClose(cb), wioErrNone);
    EXPECT_EQ(cb->hmmio, nullptr);
    EXPECT_EQ(cb->dwPosition, 0u);
}

TEST(RiffWave, MetadataCopiesIntoANewFile) {
    TempDir dir;
    const QString src = dir.file("src.wav");
    ASSERT_TRUE(WriteAll(src, Riff(kFmt8 + fx::Chunk("data", "ab") + fx::InfoList({{"ICOP", "Parish"}}) +
                                   fx::Chunk("DISP", Le32(CF_TEXT) + QByteArray("Seventh", 8)))));
    Described from = Describe(src);
    ASSERT_EQ(from.rc, wioErrNone);
    PWAVEIOCB raw = nullptr;
    ASSERT_EQ(wioCreateFileInfo(raw, &from.cb->wfx), wioErrNone);
    TWaveIOCBPtr to(raw);
    ASSERT_EQ(wioCopyFileInfo(raw, from.cb.get()), wioErrNone);
    const QString dst = dir.file("dst.wav");
    ASSERT_EQ(wioWriteFileInfo(raw, dst), wioErrNone);
    ASSERT_EQ(wioWaveWriteData(raw, "xy", 2), 2);
    ASSERT_EQ(wioWaveClose(raw), wioErrNone);
    Described back = Describe(dst);
    ASSERT_EQ(back.rc, wioErrNone);
    EXPECT_EQ(RiffGetINFOText(back.cb->lpInfo.get(),
                              RiffFindPIINFO(back.cb->lpInfo.get(), mmioFourCC('I', 'C', 'O', 'P'))),
              "Parish");
    ASSERT_EQ(back.cb->lpDisp->Entries.size(), 1u);
    EXPECT_EQ(*RiffGetDISPPayload(back.cb->lpDisp->Entries[0].get()), QByteArray("Seventh", 8));
    EXPECT_EQ(wioCopyFileInfo(nullptr, from.cb.get()), wioErrBadParam);
}

TEST(RiffWave, TemporaryNamesAreFreshAndInTheGivenFolder) {
    TempDir dir;
    QString name = dir.file("some.wav");
    ASSERT_TRUE(wioFileCreateTemp(name));
    EXPECT_TRUE(name.startsWith(dir.path() + '/'));
    EXPECT_TRUE(QFileInfo(name).fileName().contains(QRegularExpression("^w[0-9A-F]{4}\\.TMP$")))
        << name.toStdString();
    EXPECT_FALSE(QFile::exists(name));
    // Every name a first draw can form is taken: the next one is still fresh.
    for (int n = 1; n <= 256; ++n)
        ASSERT_TRUE(WriteAll(
            dir.file(QString("w%1.TMP").arg(n, 4, 16, QChar('0')).toUpper().replace("W", "w")), "x"));
    QString again = dir.path() + '/';
    ASSERT_TRUE(wioFileCreateTemp(again));
    EXPECT_FALSE(QFile::exists(again));
    QString empty;
    ASSERT_TRUE(wioFileCreateTemp(empty));
    EXPECT_TRUE(empty.startsWith(QDir::tempPath() + '/'));
    EXPECT_FALSE(wioFileExists(empty));
}

TEST(RiffWave, ExtractPathKeepsTheFolder) {
    QString path = "/tmp/bells/tenor.wav";
    wioExtractPath(path);
    EXPECT_EQ(path, "/tmp/bells/");
}

// Inputs the fuzzer found; each once crashed or misbehaved.
TEST(RiffWave, FuzzFindingsAreHandled) {
    const char* const findings[] = {
        // 16-bit products of channels and bits overflowed while repairing PCM.
        "UklGRoQAAABXQVZFZm10IBAAAAABAAHVAG10IBAAAAABAAHVAAAAdAQAAAAFAAALZGF0YU1CZWxsIAAAAAAAdAQAAAAFAAALZGF0"
        "YU1C"
        "ZWxsIAAAAAEA",
    };
    for (const char* finding : findings) {
        const QByteArray image = QByteArray::fromBase64(finding);
        PWAVEIOCB raw = nullptr;
        const int rc = wioBuildFileInfoFromMem(raw, image.constData(), static_cast<DWORD>(image.size()));
        TWaveIOCBPtr cb(raw);
        if (rc != wioErrNone) {
            EXPECT_EQ(raw, nullptr);
            continue;
        }
        EXPECT_LE(std::uint64_t{raw->dwDataOffset} + raw->dwDataBytes, std::uint64_t(image.size()));
        ASSERT_EQ(wioWaveOpen(raw), wioErrNone);
        EXPECT_LE(ReadAllData(raw).size(), qsizetype(raw->dwDataBytes));
    }
}

TEST(RiffWave, RawModeReadsPlainBytesAndRefusesWrites) {
    TempDir dir;
    const QString path = dir.file("raw.pcm");
    ASSERT_TRUE(WriteAll(path, "0123456789"));
    WAVEFORMATEX fmt{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    PWAVEIOCB raw = nullptr;
    ASSERT_EQ(wioCreateFileInfo(raw, &fmt), wioErrNone);
    TWaveIOCBPtr cb(raw);
    raw->dwFlags = wioFlagRawFile;
    raw->lpFilePath = path;
    raw->dwDataOffset = 2;
    raw->dwDataBytes = 8;
    raw->dwDataSamples = raw->dwLastSample = 4;
    raw->dwPosition = 1;
    ASSERT_EQ(wioWaveOpen(raw), wioErrNone);
    EXPECT_EQ(ReadAllData(raw), "456789");
    EXPECT_EQ(wioWaveWriteData(raw, "ab", 2), -1);
    EXPECT_EQ(wioSetIOBufferSize(raw, 100), wioErrNone);  // no effect in raw mode
    EXPECT_EQ(wioWaveClose(raw), wioErrNone);
    EXPECT_EQ(ReadAll(path), "0123456789");
}

TEST(RiffWave, IOBufferSizeNeedsAnOpenDiskFile) {
    TempDir dir;
    const QString path = dir.file("buf.wav");
    ASSERT_TRUE(fx::MakeTone(path, 8000, 8, 1, 0.5));
    const QByteArray raw = fx::RawData(path);
    Described d = Describe(path);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(wioSetIOBufferSize(d.cb.get(), 8192), wioErrGeneric);  // not open
    EXPECT_EQ(wioSetIOBufferSize(nullptr, 8192), wioErrBadParam);
    ASSERT_EQ(wioWaveOpen(d.cb.get()), wioErrNone);
    EXPECT_EQ(wioSetIOBufferSize(d.cb.get(), -1), wioErrGeneric);
    QByteArray first(100, '\0');
    ASSERT_EQ(wioWaveReadData(d.cb.get(), first.data(), 100), 100);
    ASSERT_EQ(wioSetIOBufferSize(d.cb.get(), 8192), wioErrNone);
    EXPECT_EQ(first + ReadAllData(d.cb.get(), 333), raw);
}

TEST(RiffWave, AnEmptyWavePositionsAtZero) {
    WAVEFORMATEX fmt{WAVE_FORMAT_PCM, 1, 8000, 8000, 1, 8, 0};
    PWAVEIOCB raw = nullptr;
    ASSERT_EQ(wioCreateFileInfo(raw, &fmt), wioErrNone);
    TWaveIOCBPtr cb(raw);
    EXPECT_EQ(wioWaveSetPosition(raw, 5), wioErrNone);
    EXPECT_EQ(raw->dwPosition, 0u);
}

TEST(RiffWave, InfoOnlyNeedsNoFormat) {
    TempDir dir;
    const QString path = dir.file("infoonly.wav");
    ASSERT_TRUE(WriteAll(path, Riff(fx::InfoList({{"ISFT", "Quorvel"}}))));
    EXPECT_EQ(Describe(path).rc, wioErrGeneric);
    Described d = Describe(path, wioFlagFile | wioFlagInfoOnly);
    ASSERT_EQ(d.rc, wioErrNone);
    EXPECT_EQ(d.cb->dwDataBytes, 0u);
    EXPECT_EQ(d.cb->lpFilePath, path);
    EXPECT_EQ(RiffGetINFOText(d.cb->lpInfo.get(),
                              RiffFindPIINFO(d.cb->lpInfo.get(), mmioFourCC('I', 'S', 'F', 'T'))),
              "Quorvel");
}
