// The Qt text boundary: every Windows-1252 byte survives a trip through QString.
#include "classlib/ui/QtText.h"

#include <gtest/gtest.h>

TEST(QtText, AllBytesRoundTripThroughQString) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    QString q = cls::toQString(all);
    ASSERT_EQ(q.size(), 256);
    EXPECT_EQ(cls::fromQString(q), all);
    EXPECT_EQ(q.at(0x80), QChar(0x20AC));                // euro sign
    for (int undefined : {0x81, 0x8D, 0x8F, 0x90, 0x9D}) // map to themselves
        EXPECT_EQ(q.at(undefined), QChar(undefined));
    EXPECT_TRUE(cls::IsAnsiText(q));
    // Text outside the code page is flagged.
    QString cjk = QString::fromUtf8("caf\xC3\xA9 \xE4\xB8\xAD");
    EXPECT_FALSE(cls::IsAnsiText(cjk));
    EXPECT_EQ(cls::fromQString(cjk), "caf\xE9 ?");
}
