#include "mmcore/MMStrings.h"

#include <gtest/gtest.h>

TEST(MMMessageTable, TextsByNumber) {
    const std::pair<int, const char*> cases[] = {
        {1, "Open Wave File"},
        {4, "Wave Files(*.wav)|*.wav"},
        {5, "Invalid WaveFile..."},
        {6, "Unknown"},
        {7, "Preview"},
        {IDS_PROPERTYOPEN, "Change to property while device was open"},
        {IDS_INVALIDDEVICEID, "Invalid DeviceID"},
        {IDS_HEADERMEMERROR, "Unable to allocate memory for wave header"},
        {IDS_CANTPLAY, "The actual device can't play this format"},
        {IDS_STARTERROR, "Unable to start device"},
        {IDS_FILLERROR, "Error filling wave buffer"},
        {IDS_ERROROUTOFRANGE, "Specified error number is out of range (unknown error)"},
        {IDS_THREADERROR, "Could not create thread"},
        {IDS_NOFORMAT, "Invalid wave format"},
        {IDS_NOFREEBUFFERS, "No free Buffers available !!"},
        {IDS_BUFFERTOSMALL, "Buffersize to small !!"},
        {IDS_WONODEVICE, "No wave audio playing device found"},
        {IDS_CANTOPENDEVICE, "Unable to open device"},
        {IDS_CANTCLOSEDEVICE, "Unable to close device"},
        {63, "This is not a MemoryWave"},
        {130, "Error reading wave file"},
        {132, "InfoChunk %s not found"},
        {133, "Invalid wave file..."},
        {137, "Unable to setup file IO buffer"},
        {144, "This wave file is not valid for conversion"},
        {147, "Error seeking file position"},
    };
    for (const auto& [ident, text] : cases) {
        SCOPED_TRACE(ident);
        EXPECT_EQ(LoadResStr(ident), QString::fromLatin1(text));
    }
}

TEST(MMMessageTable, NumbersOfTheDeviceMessages) {
    EXPECT_EQ(IDS_BASE, 28000);
    EXPECT_EQ(IDS_PROPERTYOPEN, 60);
    EXPECT_EQ(IDS_WONODEVICE, 161);
    EXPECT_EQ(IDS_CANTCLOSEDEVICE, 163);
}

TEST(MMMessageTable, UnknownNumbersGiveEmptyText) {
    for (int ident : {0, 2, 62, 145, 164, -28000, 28060}) EXPECT_TRUE(LoadResStr(ident).isEmpty()) << ident;
}
