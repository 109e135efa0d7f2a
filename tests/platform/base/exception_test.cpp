#include "platform/base/Exception.h"
#include "platform/base/wintypes.h"

#include <gtest/gtest.h>

TEST(Exception, CarriesMessageAsQStringAndUtf8) {
    try {
        throw Exception(QStringLiteral("Glockenläuten 16 ✓"));
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Glockenläuten 16 ✓");
        EXPECT_EQ(dynamic_cast<const Exception&>(e).Message(), QStringLiteral("Glockenläuten 16 ✓"));
    }
}

TEST(Exception, AbortIsAnException) {
    EXPECT_THROW(throw EAbort(), Exception);
}

TEST(WinTypes, FourccIsLittleEndianCharacters) {
    EXPECT_EQ(mmioFOURCC('R', 'I', 'F', 'F'), 0x46464952u);
    EXPECT_EQ(mmioFOURCC('W', 'A', 'V', 'E'), 0x45564157u);
}
