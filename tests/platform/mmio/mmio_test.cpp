#include "platform/mmio/mmio.h"

#include "tests/support/TempDir.h"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <QFile>
#include <QRandomGenerator>
#include <cstring>

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray Le32(quint32 v) {
    return QByteArray(reinterpret_cast<const char*>(&v), 4);
}

struct Handle {
    HMMIO h;
    explicit Handle(HMMIO handle) : h(handle) {}
    ~Handle() {
        if (h) mmioClose(h, 0);
    }
};

HMMIO OpenMemory(QByteArray& bytes, DWORD grow, DWORD flags = MMIO_READWRITE) {
    MMIOINFO info;
    info.fccIOProc = FOURCC_MEM;
    info.pchBuffer = bytes.isEmpty() ? nullptr : bytes.data();
    info.cchBuffer = static_cast<LONG>(bytes.size());
    info.adwInfo[0] = grow;
    return mmioOpenW(QString(), &info, flags);
}

}  // namespace

TEST(Mmio, WrittenChunksGetTheirSizesAndPadBytes) {
    TempDir dir;
    const QString path = dir.file("chunks.riff");
    {
        MMIOINFO info;
        Handle f(mmioOpenW(path, &info, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF));
        ASSERT_NE(f.h, nullptr) << info.wErrorRet;
        MMCKINFO riff;
        riff.fccType = mmioFOURCC('T', 'E', 'S', 'T');
        ASSERT_EQ(mmioCreateChunk(f.h, &riff, MMIO_CREATERIFF), 0u);
        EXPECT_EQ(riff.dwDataOffset, 8u);
        MMCKINFO odd;
        odd.ckid = mmioFOURCC('o', 'd', 'd', ' ');
        ASSERT_EQ(mmioCreateChunk(f.h, &odd, 0), 0u);
        ASSERT_EQ(mmioWrite(f.h, "abc", 3), 3);
        ASSERT_EQ(mmioAscend(f.h, &odd, 0), 0u);
        EXPECT_EQ(odd.cksize, 3u);
        MMCKINFO list;
        list.fccType = mmioFOURCC('I', 'N', 'F', 'O');
        ASSERT_EQ(mmioCreateChunk(f.h, &list, MMIO_CREATELIST), 0u);
        ASSERT_EQ(mmioWrite(f.h, "xy", 2), 2);
        ASSERT_EQ(mmioAscend(f.h, &list, 0), 0u);
        ASSERT_EQ(mmioAscend(f.h, &riff, 0), 0u);
        EXPECT_EQ(mmioSeek(f.h, 0, MMIO_SEEK_CUR), 38);
    }
    const QByteArray expected = "RIFF" + Le32(30) + "TEST" + "odd " + Le32(3) + QByteArray("abc\0", 4) +
                                "LIST" + Le32(6) + "INFO" + "xy";
    EXPECT_EQ(ReadAll(path), expected);
}

TEST(Mmio, DescendFindsChunksInsideTheParentOnly) {
    TempDir dir;
    const QString path = dir.file("find.riff");
    // RIFF(WAVE: "one " odd, LIST/abcd, "two ") followed by "out " outside the RIFF chunk.
    const QByteArray inner = "WAVE" + ("one " + Le32(1) + QByteArray("x\0", 2)) +
                             ("LIST" + Le32(4) + "abcd") + ("two " + Le32(2) + "yz");
    WriteAll(path, "RIFF" + Le32(inner.size()) + inner + "out " + Le32(0));
    Handle f(mmioOpenW(path, nullptr, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(f.h, nullptr);

    MMCKINFO riff;
    riff.fccType = mmioFOURCC('W', 'A', 'V', 'E');
    ASSERT_EQ(mmioDescend(f.h, &riff, nullptr, MMIO_FINDRIFF), 0u);
    EXPECT_EQ(riff.dwDataOffset, 8u);
    EXPECT_EQ(mmioSeek(f.h, 0, MMIO_SEEK_CUR), 12);

    MMCKINFO ck;
    ck.ckid = mmioFOURCC('t', 'w', 'o', ' ');
    ASSERT_EQ(mmioDescend(f.h, &ck, &riff, MMIO_FINDCHUNK), 0u);
    EXPECT_EQ(ck.cksize, 2u);
    EXPECT_EQ(ck.dwDataOffset, 42u);
    char data[2];
    EXPECT_EQ(mmioRead(f.h, data, 2), 2);
    EXPECT_EQ(QByteArray(data, 2), "yz");
    ASSERT_EQ(mmioAscend(f.h, &ck, 0), 0u);

    mmioSeek(f.h, 12, MMIO_SEEK_SET);
    ck.ckid = mmioFOURCC('o', 'u', 't', ' ');
    EXPECT_EQ(mmioDescend(f.h, &ck, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);

    mmioSeek(f.h, 12, MMIO_SEEK_SET);
    ck.fccType = mmioFOURCC('a', 'b', 'c', 'd');
    ASSERT_EQ(mmioDescend(f.h, &ck, &riff, MMIO_FINDLIST), 0u);
    EXPECT_EQ(ck.ckid, FOURCC_LIST);
    EXPECT_EQ(ck.dwDataOffset, 30u);

    // Without a find flag: the next header, in order, the pad byte skipped.
    mmioSeek(f.h, 12, MMIO_SEEK_SET);
    ASSERT_EQ(mmioDescend(f.h, &ck, &riff, 0), 0u);
    ASSERT_EQ(mmioAscend(f.h, &ck, 0), 0u);
    ASSERT_EQ(mmioDescend(f.h, &ck, &riff, 0), 0u);
    EXPECT_EQ(ck.ckid, FOURCC_LIST);
    EXPECT_EQ(ck.fccType, mmioFOURCC('a', 'b', 'c', 'd'));
}

TEST(Mmio, AbsurdChunkSizesEndTheSearchWithoutReadingPastTheEnd) {
    TempDir dir;
    const QString path = dir.file("absurd.riff");
    WriteAll(path, "RIFF" + Le32(0xFFFFFFF0u) + "WAVE" + "big " + Le32(0xFFFFFFFFu) + "tiny");
    Handle f(mmioOpenW(path, nullptr, MMIO_READ | MMIO_ALLOCBUF));
    ASSERT_NE(f.h, nullptr);
    MMCKINFO riff;
    ASSERT_EQ(mmioDescend(f.h, &riff, nullptr, 0), 0u);
    MMCKINFO ck;
    ck.ckid = mmioFOURCC('d', 'a', 't', 'a');
    EXPECT_EQ(mmioDescend(f.h, &ck, &riff, MMIO_FINDCHUNK), MMIOERR_CHUNKNOTFOUND);
    // The huge chunk itself is found; reading it gives only what the file has.
    mmioSeek(f.h, 12, MMIO_SEEK_SET);
    ASSERT_EQ(mmioDescend(f.h, &ck, &riff, 0), 0u);
    EXPECT_EQ(ck.cksize, 0xFFFFFFFFu);
    char buffer[64];
    EXPECT_EQ(mmioRead(f.h, buffer, sizeof buffer), 4);
    EXPECT_EQ(mmioRead(f.h, buffer, sizeof buffer), 0);
    EXPECT_NE(mmioAscend(f.h, &ck, 0), 0u);  // beyond 2 GiB: cannot seek there
}

TEST(Mmio, BufferedFileMatchesAModelUnderRandomOperations) {
    TempDir dir;
    const QString path = dir.file("model.bin");
    MMIOINFO info;
    info.cchBuffer = 64;  // small, so that most operations cross it
    Handle f(mmioOpenW(path, &info, MMIO_CREATE | MMIO_READWRITE | MMIO_ALLOCBUF));
    ASSERT_NE(f.h, nullptr);
    QByteArray model;
    qint64 pos = 0;
    QRandomGenerator rng(1234);
    for (int step = 0; step < 3000; ++step) {
        const int op = rng.bounded(4);
        const int n = rng.bounded(1, 200);
        if (op == 0) {
            QByteArray bytes(n, '\0');
            for (auto& c : bytes) c = static_cast<char>(rng.bounded(256));
            ASSERT_EQ(mmioWrite(f.h, bytes.constData(), n), n);
            if (pos > model.size()) model.append(QByteArray(pos - model.size(), '\0'));
            model.replace(pos, std::min<qint64>(n, model.size() - pos), bytes);
            pos += n;
        } else if (op == 1) {
            QByteArray bytes(n, '\0');
            const LONG got = mmioRead(f.h, bytes.data(), n);
            const qint64 expected = std::max<qint64>(0, std::min<qint64>(n, model.size() - pos));
            ASSERT_EQ(got, expected) << "step " << step;
            ASSERT_EQ(bytes.left(got), model.mid(pos, got)) << "step " << step;
            pos += got;
        } else if (op == 2) {
            pos = rng.bounded(static_cast<int>(model.size()) + 50);
            ASSERT_EQ(mmioSeek(f.h, static_cast<LONG>(pos), MMIO_SEEK_SET), pos);
        } else {
            ASSERT_EQ(mmioSeek(f.h, 0, MMIO_SEEK_END), model.size());
            pos = model.size();
        }
        if (step == 1500) {
            ASSERT_EQ(mmioSetBuffer(f.h, nullptr, 7, 0), 0u);
        }
    }
    ASSERT_EQ(mmioClose(f.h, 0), 0u);
    f.h = nullptr;
    EXPECT_EQ(ReadAll(path), model);
}

TEST(Mmio, MemoryFilesReadWriteAndGrowOnlyWhenAllowed) {
    QByteArray fixed("0123456789");
    {
        Handle f(OpenMemory(fixed, 0));
        ASSERT_NE(f.h, nullptr);
        char buffer[16];
        EXPECT_EQ(mmioRead(f.h, buffer, 16), 10);
        mmioSeek(f.h, 8, MMIO_SEEK_SET);
        EXPECT_EQ(mmioWrite(f.h, "ab", 2), 2);
        EXPECT_EQ(mmioWrite(f.h, "c", 1), -1);  // no room, no growth
        EXPECT_EQ(mmioSeek(f.h, 0, MMIO_SEEK_END), 10);
    }
    EXPECT_EQ(fixed, "01234567ab");

    QByteArray empty;
    Handle g(OpenMemory(empty, 16));
    ASSERT_NE(g.h, nullptr);
    mmioSeek(g.h, 3, MMIO_SEEK_SET);
    const QByteArray payload(40, 'x');
    EXPECT_EQ(mmioWrite(g.h, payload.constData(), 40), 40);
    MMIOINFO info;
    ASSERT_EQ(mmioGetInfo(g.h, &info, 0), 0u);
    EXPECT_EQ(info.fccIOProc, FOURCC_MEM);
    ASSERT_EQ(info.cchBuffer, 43);
    EXPECT_EQ(QByteArray(info.pchBuffer, 43), QByteArray(3, '\0') + payload);

    QByteArray readOnly("abc");
    Handle r(OpenMemory(readOnly, 0, MMIO_READ));
    EXPECT_EQ(mmioWrite(r.h, "z", 1), -1);
}

TEST(Mmio, OpenReportsWhyItFailed) {
    TempDir dir;
    MMIOINFO info;
    EXPECT_EQ(mmioOpenW(dir.file("missing.wav"), &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_FILENOTFOUND);
    EXPECT_EQ(mmioOpenW(dir.path(), &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_CANNOTOPEN);
    EXPECT_EQ(mmioOpenW(dir.file("no/such/folder.wav"), &info, MMIO_CREATE | MMIO_READWRITE), nullptr);
    EXPECT_NE(info.wErrorRet, 0u);

    // A FIFO with no writer must not hang the open.
    const QString fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_EQ(mmioOpenW(fifo, &info, MMIO_READ), nullptr);
    EXPECT_EQ(info.wErrorRet, MMIOERR_CANNOTOPEN);
}

TEST(Mmio, ExistDeleteAndRenameActOnNames) {
    TempDir dir;
    const QString a = dir.file("a.wav"), b = dir.file("b.wav");
    WriteAll(a, "data");
    EXPECT_NE(mmioOpenW(a, nullptr, MMIO_EXIST), nullptr);
    EXPECT_EQ(mmioOpenW(dir.path(), nullptr, MMIO_EXIST), nullptr);
    EXPECT_EQ(mmioRenameW(a, b, nullptr, 0), 0u);
    EXPECT_EQ(mmioOpenW(a, nullptr, MMIO_EXIST), nullptr);
    EXPECT_EQ(ReadAll(b), "data");
    EXPECT_EQ(mmioRenameW(a, b, nullptr, 0), MMIOERR_FILENOTFOUND);
    EXPECT_NE(mmioOpenW(b, nullptr, MMIO_DELETE), nullptr);
    EXPECT_FALSE(QFile::exists(b));
    EXPECT_EQ(mmioOpenW(b, nullptr, MMIO_DELETE), nullptr);
}

TEST(Mmio, StringToFourcc) {
    EXPECT_EQ(mmioStringToFOURCCA("WAVE", 0), mmioFOURCC('W', 'A', 'V', 'E'));
    EXPECT_EQ(mmioStringToFOURCCA("fmt", 0), mmioFOURCC('f', 'm', 't', ' '));
    EXPECT_EQ(mmioStringToFOURCCW("info", MMIO_TOUPPER), mmioFOURCC('I', 'N', 'F', 'O'));
    EXPECT_EQ(mmioStringToFOURCCW("datas", 0), mmioFOURCC('d', 'a', 't', 'a'));
}
