#include "platform/profile/profile.h"
#include "platform/base/Exception.h"
#include "platform/profile/IniFile.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <csignal>
#include <thread>
#include <vector>

namespace {

QByteArray ReadAll(const QString& fileName) {
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void WriteRaw(const QString& fileName, const QByteArray& data) {
    QFile file(fileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(data), data.size());
}

struct Profile : ::testing::Test {
    TempDir dir;
    QString ini = dir.file(QStringLiteral("settings.ini"));

    bool Write(const char* section, const char* key, const QString& value) {
        return WritePrivateProfileString(QString::fromUtf8(section), QString::fromUtf8(key), value, ini);
    }
    QString Read(const char* section, const char* key, const char* def = "<none>") {
        return GetPrivateProfileString(QString::fromUtf8(section), QString::fromUtf8(key),
                                       QString::fromUtf8(def), ini);
    }
};

TEST_F(Profile, WithoutAFileEveryReadGivesTheDefaultAndCreatesNothing) {
    EXPECT_EQ(Read("DELAY", "BELL1", "300"), QStringLiteral("300"));
    EXPECT_EQ(GetPrivateProfileInt(QStringLiteral("Position"), QStringLiteral("Left"), 100, ini), 100);
    EXPECT_FALSE(QFile::exists(ini));
}

TEST_F(Profile, WritesKeepSectionsAndKeysInFirstWrittenOrder) {
    ASSERT_TRUE(Write("COMPORT", "FComPort1.DeviceName", QStringLiteral("COM3")));
    ASSERT_TRUE(Write("COMPORT", "FComPort1.BaudRate", QStringLiteral("br2400")));
    ASSERT_TRUE(Write("SOUNDFILES", "BELL1", QStringLiteral("/bells/treble.wav")));
    ASSERT_TRUE(Write("DELAY", "BELL1", QStringLiteral("250")));
    ASSERT_TRUE(Write("COMPORT", "FComPort1.DataBits", QStringLiteral("db8")));
    ASSERT_TRUE(Write("Position", "Left", QStringLiteral("100")));
    ASSERT_TRUE(Write("comport", "fcomport1.baudrate", QStringLiteral("brCustom")));  // in place
    ASSERT_TRUE(Write("Position", "Top", QStringLiteral("90")));

    EXPECT_EQ(ReadAll(ini), QByteArray("[COMPORT]\n"
                                       "FComPort1.DeviceName=COM3\n"
                                       "FComPort1.BaudRate=brCustom\n"
                                       "FComPort1.DataBits=db8\n"
                                       "[SOUNDFILES]\n"
                                       "BELL1=/bells/treble.wav\n"
                                       "[DELAY]\n"
                                       "BELL1=250\n"
                                       "[Position]\n"
                                       "Left=100\n"
                                       "Top=90\n"));
    EXPECT_EQ(Read("comPORT", "FCOMPORT1.BAUDRATE"), QStringLiteral("brCustom"));
    EXPECT_EQ(Read("SoundFiles", "bell1"), QStringLiteral("/bells/treble.wav"));
    EXPECT_EQ(Read("DELAY", "BELL2"), QStringLiteral("<none>"));
    EXPECT_EQ(Read("NOSECTION", "BELL1"), QStringLiteral("<none>"));
    // Nothing but the file itself is left in the folder.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral("settings.ini")});
}

TEST_F(Profile, AWriteChangesOnlyItsOwnLineByteForByte) {
    static const char raw[] =
        "; written by hand\r\n"
        "stray=before any section\r\n"
        "[DELAY]\r\n"
        "  Bell1 = 250  \r\n"
        "garbage \xff\xfe without equals\r\n"
        "BELL2=300\r\n"
        "\r\n"
        "[delay]\r\n"
        "BELL1=999\r\n"
        "[Other]\r\n"
        "bin=\x01\0\x80\r\n"
        "last=line without end";
    const QByteArray before(raw, sizeof raw - 1);
    WriteRaw(ini, before);
    EXPECT_EQ(Read("DELAY", "BELL1"), QStringLiteral("250"));  // the first of duplicates
    EXPECT_EQ(Read("DELAY", "STRAY"), QStringLiteral("<none>"));

    ASSERT_TRUE(Write("delay", "bell1", QStringLiteral("500")));
    QByteArray expected = before;
    expected.replace("  Bell1 = 250  \r\n", "  Bell1 =500\r\n");
    EXPECT_EQ(ReadAll(ini), expected);

    // A new key goes after the last line of its section, before the blank line.
    ASSERT_TRUE(Write("DELAY", "BELL3", QStringLiteral("7")));
    expected.replace("BELL2=300\r\n\r\n", "BELL2=300\r\nBELL3=7\r\n\r\n");
    EXPECT_EQ(ReadAll(ini), expected);

    // A new section follows the unterminated last line.
    ASSERT_TRUE(Write("Position", "Left", QStringLiteral("1")));
    EXPECT_EQ(ReadAll(ini), expected + "\r\n[Position]\r\nLeft=1\r\n");
    EXPECT_EQ(Read("Other", "last"), QStringLiteral("line without end"));
}

TEST_F(Profile, ValuesAreTrimmedAndMayBeEmpty) {
    WriteRaw(ini, "[S]\nempty=\n  spaced  =  a value with  inner spaces  \n;comment=1\nnoequals\n");
    EXPECT_EQ(Read("S", "empty"), QString());
    EXPECT_EQ(Read("S", "spaced"), QStringLiteral("a value with  inner spaces"));
    EXPECT_EQ(Read("S", ";comment"), QStringLiteral("<none>"));
    EXPECT_EQ(Read("S", "noequals"), QStringLiteral("<none>"));
}

TEST_F(Profile, LongValuesAreStoredWholeAndReadUpTo2047Characters) {
    const QString value(3000, QLatin1Char('v'));
    ASSERT_TRUE(Write("SOUNDFILES", "BELL1", value));
    EXPECT_TRUE(ReadAll(ini).contains(value.toUtf8()));
    EXPECT_EQ(Read("SOUNDFILES", "BELL1"), value.left(MAX_PROFILE_VALUE));
    const QString exact(MAX_PROFILE_VALUE, QLatin1Char('w'));
    ASSERT_TRUE(Write("SOUNDFILES", "BELL2", exact));
    EXPECT_EQ(Read("SOUNDFILES", "BELL2"), exact);
}

TEST_F(Profile, NonAsciiTextRoundTrips) {
    const QString path = QStringLiteral("/home/glöckner/Glocke №1 ♪.wav");
    ASSERT_TRUE(Write("SOUNDFILES", "BELL1", path));
    EXPECT_EQ(Read("soundfiles", "bell1"), path);
}

TEST(ProfileInteger, ReadingRules) {
    const struct {
        const char* text;
        bool ok;
        int value;
    } cases[] = {
        {"500", true, 500},
        {"-12", true, -12},
        {"+7", true, 7},
        {"0", true, 0},
        {"0x1F4", true, 500},
        {"0X1f4", true, 500},
        {"0x1", true, 1},
        {"0x", false, 0},  // two characters: not hexadecimal
        {"$1F4", true, 500},
        {"$", false, 0},
        {"$-1", false, 0},
        {"0x-1", false, 0},
        {"0xFFFFFFFF", true, -1},
        {"0x100000000", false, 0},
        {"2147483647", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"2147483648", false, 0},
        {"abc", false, 0},
        {"12abc", false, 0},
        {"1.5", false, 0},
        {"", false, 0},
        {"x1F", false, 0},
    };
    for (const auto& c : cases) {
        int value = 12345;
        EXPECT_EQ(ProfileStrToInt(QString::fromUtf8(c.text), value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST_F(Profile, IntegersReadFromTheFile) {
    WriteRaw(ini, "[DELAY]\nBELL1=250\nBELL3=0x1F4\nBELL4=abc\nBELL5=\nBELL6=$10\n");
    auto delay = [&](const char* key) {
        return GetPrivateProfileInt(QStringLiteral("DELAY"), QString::fromUtf8(key), 300, ini);
    };
    EXPECT_EQ(delay("BELL1"), 250);
    EXPECT_EQ(delay("BELL2"), 300);
    EXPECT_EQ(delay("BELL3"), 500);
    EXPECT_EQ(delay("BELL4"), 300);
    EXPECT_EQ(delay("BELL5"), 300);
    EXPECT_EQ(delay("BELL6"), 16);
}

TEST_F(Profile, WhatTheFormatCannotHoldIsRefusedAndTheFileKept) {
    ASSERT_TRUE(Write("S", "k", QStringLiteral("v")));
    const QByteArray before = ReadAll(ini);
    EXPECT_FALSE(Write("S", "k", QStringLiteral("two\nlines")));
    EXPECT_FALSE(Write("S", "k", QStringLiteral("cr\rhere")));
    EXPECT_FALSE(Write("S", "a=b", QStringLiteral("v")));
    EXPECT_FALSE(Write("S", "[x]", QStringLiteral("v")));
    EXPECT_FALSE(Write("S", "", QStringLiteral("v")));
    EXPECT_FALSE(Write("S]", "k", QStringLiteral("v")));
    EXPECT_FALSE(Write("", "k", QStringLiteral("v")));
    EXPECT_EQ(ReadAll(ini), before);
}

TEST_F(Profile, AWriteIntoAMissingFolderFails) {
    const QString missing = dir.file(QStringLiteral("no/such/folder/settings.ini"));
    EXPECT_FALSE(
        WritePrivateProfileString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"), missing));
    EXPECT_FALSE(QFile::exists(missing));

    TIniFile file(missing);
    try {
        file.WriteInteger(QStringLiteral("DELAY"), QStringLiteral("BELL1"), 5);
        FAIL() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + missing);
    }
    EXPECT_EQ(file.ReadInteger(QStringLiteral("DELAY"), QStringLiteral("BELL1"), 300), 300);
}

TEST_F(Profile, AFolderInPlaceOfTheFileReadsAsAbsentAndRefusesWrites) {
    ASSERT_TRUE(QDir().mkdir(ini));
    EXPECT_EQ(Read("S", "k"), QStringLiteral("<none>"));
    EXPECT_FALSE(Write("S", "k", QStringLiteral("v")));
    EXPECT_TRUE(QFileInfo(ini).isDir());
}

TEST_F(Profile, AHugeFileIsNeitherReadNorRewritten) {
    QByteArray huge("[S]\nk=v\n");
    huge.append(QByteArray(20 * 1024 * 1024, 'x'));
    WriteRaw(ini, huge);
    EXPECT_EQ(Read("S", "k"), QStringLiteral("<none>"));
    EXPECT_FALSE(Write("S", "k", QStringLiteral("w")));
    EXPECT_EQ(QFileInfo(ini).size(), huge.size());
}

TEST_F(Profile, BinaryGarbageDoesNotHurt) {
    QByteArray garbage;
    QRandomGenerator random(7);
    for (int i = 0; i < 64 * 1024; ++i) garbage.append(static_cast<char>(random.bounded(256)));
    WriteRaw(ini, garbage);
    EXPECT_EQ(Read("DELAY", "BELL1"), QStringLiteral("<none>"));
    ASSERT_TRUE(Write("DELAY", "BELL1", QStringLiteral("42")));
    EXPECT_EQ(Read("DELAY", "BELL1"), QStringLiteral("42"));
    EXPECT_TRUE(ReadAll(ini).startsWith(garbage));  // nothing of it was lost
}

TEST_F(Profile, TheFileKeepsItsPermissions) {
    ASSERT_TRUE(Write("S", "k", QStringLiteral("1")));
    ASSERT_EQ(::chmod(QFile::encodeName(ini).constData(), 0640), 0);
    ASSERT_TRUE(Write("S", "k", QStringLiteral("2")));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(ini).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(Profile, WritesFromSeveralThreadsAreAllKept) {
    constexpr int Threads = 4;
    constexpr int Keys = 25;
    std::vector<std::thread> writers;
    for (int t = 0; t < Threads; ++t)
        writers.emplace_back([&, t] {
            for (int k = 0; k < Keys; ++k)
                WritePrivateProfileString(QStringLiteral("T%1").arg(t), QStringLiteral("K%1").arg(k),
                                          QString::number(t * 100 + k), ini);
        });
    for (auto& writer : writers) writer.join();
    for (int t = 0; t < Threads; ++t)
        for (int k = 0; k < Keys; ++k)
            EXPECT_EQ(
                GetPrivateProfileInt(QStringLiteral("T%1").arg(t), QStringLiteral("K%1").arg(k), -1, ini),
                t * 100 + k);
}

// A writer killed at any moment leaves either the old or the new complete file.
TEST_F(Profile, AnInterruptedWriteLeavesTheOldOrTheNewFile) {
    const QString a(1500, QLatin1Char('a'));
    const QString b(1900, QLatin1Char('b'));
    for (int i = 1; i <= 40; ++i)
        ASSERT_TRUE(
            WritePrivateProfileString(QStringLiteral("SOUNDFILES"), QStringLiteral("BELL%1").arg(i), a, ini));
    const QByteArray withA = ReadAll(ini);
    ASSERT_TRUE(WritePrivateProfileString(QStringLiteral("SOUNDFILES"), QStringLiteral("BELL20"), b, ini));
    const QByteArray withB = ReadAll(ini);

    QRandomGenerator random(2026);
    for (int round = 0; round < 40; ++round) {
        const QByteArray start = ReadAll(ini);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (bool toA = start == withB;; toA = !toA)
                WritePrivateProfileString(QStringLiteral("SOUNDFILES"), QStringLiteral("BELL20"), toA ? a : b,
                                          ini);
        }
        // Wait for the child's first complete write, reading all along, then
        // kill it somewhere in a later one.
        QByteArray now = start;
        for (int polls = 0; now == start && polls < 20000; ++polls) {
            ::usleep(1000);
            now = ReadAll(ini);
            if (now != withA && now != withB) break;
        }
        if (now != start) ::usleep(random.bounded(0, 3000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        ASSERT_TRUE(now == withA || now == withB) << "a reader saw " << now.size() << " bytes";
        ASSERT_NE(now, start) << "the writer never completed a write";
        now = ReadAll(ini);
        ASSERT_TRUE(now == withA || now == withB) << "round " << round << " left " << now.size() << " bytes";
    }
    // Leftover temporary files of killed writers are all that may remain.
    for (const QString& name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
        EXPECT_TRUE(name == QStringLiteral("settings.ini") ||
                    name.startsWith(QStringLiteral(".settings.ini.")))
            << name.toStdString();
}

}  // namespace
