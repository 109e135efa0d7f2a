#include "wavedata/RiffMeta.h"

#include "tests/support/RiffFixtures.h"

#include <gtest/gtest.h>
#include <QtEndian>

namespace fx = RiffFixtures;

namespace {

QByteArray Le32(quint32 v) {
    char b[4];
    qToLittleEndian(v, b);
    return QByteArray(b, 4);
}

constexpr FOURCC INAM = mmioFOURCC('I', 'N', 'A', 'M');
constexpr FOURCC ICMT = mmioFOURCC('I', 'C', 'M', 'T');

// A memory file over bytes, growing for writes.
struct MemFile {
    QByteArray bytes;
    HMMIO h = nullptr;
    explicit MemFile(const QByteArray& content = {}) : bytes(content) {
        MMIOINFO info;
        info.fccIOProc = FOURCC_MEM;
        info.pchBuffer = bytes.isEmpty() ? nullptr : bytes.data();
        info.cchBuffer = static_cast<LONG>(bytes.size());
        info.adwInfo[0] = 256;
        h = mmioOpenW(QString(), &info, MMIO_READWRITE);
    }
    ~MemFile() { mmioClose(h, 0); }
    QByteArray Contents() const {
        MMIOINFO info;
        mmioGetInfo(h, &info, 0);
        return QByteArray(info.pchBuffer, info.cchBuffer);
    }
};

std::unique_ptr<TInfoChunk> ReadInfo(const QByteArray& lists) {
    std::unique_ptr<TInfoChunk> info;
    EXPECT_EQ(RiffInitINFO(info), riffErrNone);
    MemFile file(lists);
    MMCKINFO ck;
    while (mmioDescend(file.h, &ck, nullptr, 0) == MMSYSERR_NOERROR) {
        EXPECT_EQ(RiffReadINFO(file.h, ck, info.get()), riffErrNone);
        mmioAscend(file.h, &ck, 0);
    }
    return info;
}

QByteArray Text(TInfoChunk* info, FOURCC id) {
    return RiffGetINFOText(info, RiffFindPIINFO(info, id));
}

}  // namespace

TEST(RiffInfo, TableHasTheStandardIdsInOrder) {
    std::unique_ptr<TInfoChunk> info;
    ASSERT_EQ(RiffInitINFO(info), riffErrNone);
    ASSERT_EQ(info->Entries.size(), 23u);
    EXPECT_EQ(RiffInfoIds[0].id, mmioFOURCC('I', 'A', 'R', 'L'));
    EXPECT_EQ(RiffInfoIds[22].id, mmioFOURCC('I', 'T', 'C', 'H'));
    for (int i = 0; i < RiffInfoIdCount; ++i) {
        EXPECT_EQ(info->Entries[i]->index, i);
        EXPECT_NE(QByteArray(RiffInfoIds[i].Name), QByteArray());
    }
    EXPECT_EQ(RiffFindPIINFO(info.get(), mmioFOURCC('X', 'X', 'X', 'X')), nullptr);
    EXPECT_EQ(RiffFreeINFO(info), riffErrNone);
    EXPECT_EQ(RiffFreeINFO(info), riffErrBadParam);
}

TEST(RiffInfo, SecondListReplacesTheFirstAndUnknownIdsAreDroppedOnWrite) {
    auto info = ReadInfo(fx::InfoList({{"INAM", "First"}, {"ICMT", "Gone"}}) +
                         fx::InfoList({{"ABCD", "unknown"}, {"INAM", "Second"}}));
    EXPECT_EQ(Text(info.get(), INAM), "Second");
    EXPECT_EQ(Text(info.get(), ICMT), "");
    MemFile out;
    ASSERT_EQ(RiffWriteINFO(out.h, info.get()), riffErrNone);
    EXPECT_EQ(out.Contents(), fx::InfoList({{"INAM", "Second"}}));
}

TEST(RiffInfo, TextsAreReadWithinTheBodyOnly) {
    // A sub-chunk whose size runs past the body, and a text without its zero.
    QByteArray body = "INFO" + QByteArray("INAM") + Le32(100) + "Tenor";
    auto info = ReadInfo(fx::Chunk("LIST", body));
    EXPECT_EQ(Text(info.get(), INAM), "Tenor");
    EXPECT_EQ(RiffReadINFO(nullptr, MMCKINFO{}, info.get()), riffErrBadParam);
}

struct ModifyCase {
    const char* name;
    const char* fileText;             // nullptr: the file has none
    std::optional<QByteArray> first;  // a first change, with flags 1
    std::optional<QByteArray> text;   // the change under test
    WORD flags;
    std::optional<QByteArray> expectText;
    WORD expectFlags;
};

void PrintTo(const ModifyCase& c, std::ostream* os) {
    *os << c.name;
}

class RiffModify : public ::testing::TestWithParam<ModifyCase> {};

TEST_P(RiffModify, FollowsTheChangeRules) {
    const ModifyCase& c = GetParam();
    auto info = ReadInfo(c.fileText ? fx::InfoList({{"INAM", c.fileText}}) : QByteArray());
    TInfoData* entry = RiffFindPIINFO(info.get(), INAM);
    if (c.first) RiffModifyINFO(info.get(), entry, riffFlagChanged, c.first, 0);
    RiffModifyINFO(info.get(), entry, c.flags, c.text, 0);
    EXPECT_EQ(entry->lpText, c.expectText);
    EXPECT_EQ(entry->wFlags, c.expectFlags);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RiffModify,
    ::testing::Values(ModifyCase{"NewText", nullptr, std::nullopt, "Treble", 1, "Treble", 1},
                      ModifyCase{"SameAsFile", "Tenor", std::nullopt, "Tenor", 1, std::nullopt, 0},
                      ModifyCase{"EmptyWhenFileHasNone", nullptr, std::nullopt, "", 1, std::nullopt, 0},
                      ModifyCase{"NoTextNoChange", "Tenor", std::nullopt, std::nullopt, 1, std::nullopt, 0},
                      ModifyCase{"ReplaceNewText", nullptr, "A", "B", 1, "B", 1},
                      ModifyCase{"SameNewText", nullptr, "A", "A", 5, "A", 1},
                      ModifyCase{"EmptyRemovesNewText", "Tenor", "A", "", 1, std::nullopt, 2},
                      ModifyCase{"RemoveFlag", nullptr, "A", std::nullopt, 2, std::nullopt, 2},
                      ModifyCase{"NoTextKeepsNewText", nullptr, "A", std::nullopt, 1, "A", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RiffInfo, CopyTakesEveryEffectiveText) {
    auto src = ReadInfo(fx::InfoList({{"INAM", "Tenor"}, {"ICMT", "Old"}}));
    RiffModifyINFO(src.get(), RiffFindPIINFO(src.get(), ICMT), riffFlagChanged, QByteArray("New"), 0);
    std::unique_ptr<TInfoChunk> dst;
    ASSERT_EQ(RiffInitINFO(dst), riffErrNone);
    ASSERT_EQ(RiffCopyInfo(dst.get(), src.get()), riffErrNone);
    EXPECT_EQ(Text(dst.get(), INAM), "Tenor");
    EXPECT_EQ(Text(dst.get(), ICMT), "New");
    EXPECT_EQ(RiffFindPIINFO(dst.get(), INAM)->wFlags, riffFlagChanged);
    EXPECT_EQ(RiffCopyInfo(nullptr, src.get()), riffErrBadParam);
}

TEST(RiffDisp, ReadWriteAndCopyKeepTextsAndBitmaps) {
    // A bitmap header says 40 + 4 + 4·1 bytes; 4 bytes of junk follow in the chunk.
    QByteArray dib(40, '\0');
    qToLittleEndian<quint32>(40, dib.data());
    qToLittleEndian<quint32>(4, dib.data() + 20);
    qToLittleEndian<quint32>(1, dib.data() + 32);
    dib += QByteArray("PIXLRGBQ", 8);
    const QByteArray chunks = fx::Chunk("DISP", Le32(CF_TEXT) + QByteArray("Bell", 5)) +
                              fx::Chunk("DISP", Le32(CF_DIB) + dib + "junk") +
                              fx::Chunk("DISP", Le32(99) + "other") + fx::Chunk("DISP", Le32(1));
    std::unique_ptr<TDispList> list;
    ASSERT_EQ(RiffInitDISP(list), riffErrNone);
    {
        MemFile in(chunks);
        MMCKINFO ck;
        while (mmioDescend(in.h, &ck, nullptr, 0) == MMSYSERR_NOERROR) {
            ASSERT_EQ(RiffReadDISP(in.h, ck, list.get()), riffErrNone);
            mmioAscend(in.h, &ck, 0);
        }
    }
    ASSERT_EQ(list->Entries.size(), 3u);  // a chunk of 4 bytes adds nothing
    MemFile out;
    ASSERT_EQ(RiffWriteDISP(out.h, list.get()), riffErrNone);
    EXPECT_EQ(out.Contents(), fx::Chunk("DISP", Le32(CF_TEXT) + QByteArray("Bell", 5)) +
                                  fx::Chunk("DISP", Le32(CF_DIB) + dib));

    std::unique_ptr<TDispList> copy;
    ASSERT_EQ(RiffInitDISP(copy), riffErrNone);
    RiffInsertDISP(copy.get(), RiffCreateDISP(0, CF_TEXT, QByteArray("stale", 6), std::nullopt));
    ASSERT_EQ(RiffCopyDISP(copy.get(), list.get()), riffErrNone);
    ASSERT_EQ(copy->Entries.size(), 3u);
    EXPECT_EQ(*RiffGetDISPPayload(copy->Entries[0].get()), QByteArray("Bell", 5));
    EXPECT_EQ(RiffFreeDISP(copy, false), riffErrNone);
    EXPECT_TRUE(copy->Entries.empty());
    EXPECT_EQ(RiffFreeDISP(copy, true), riffErrNone);
    EXPECT_EQ(copy, nullptr);
}

TEST(RiffDisp, ChangesFollowTheRules) {
    std::unique_ptr<TDispList> list;
    ASSERT_EQ(RiffInitDISP(list), riffErrNone);
    TDisp* e = RiffInsertDISP(list.get(), RiffCreateDISP(0, CF_TEXT, QByteArray("Old", 4), std::nullopt));
    RiffModifyDISP(list.get(), e, 1, QByteArray("Old", 4));  // same as the file: no change
    EXPECT_FALSE(e->lpData);
    RiffModifyDISP(list.get(), e, 1, QByteArray("New", 4));
    EXPECT_EQ(*RiffGetDISPPayload(e), QByteArray("New", 4));
    RiffModifyDISP(list.get(), e, 1, QByteArray("\0", 1));  // empty: removed
    EXPECT_FALSE(e->lpData);
    EXPECT_EQ(e->wFlags, riffFlagRemoved);
    RiffModifyDISP(list.get(), e, 1, std::nullopt);  // flag 1 hides the file's payload
    EXPECT_EQ(RiffGetDISPPayload(e), nullptr);
    MemFile out;
    ASSERT_EQ(RiffWriteDISP(out.h, list.get()), riffErrNone);
    EXPECT_EQ(out.Contents(), QByteArray());
}
