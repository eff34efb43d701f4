// The trims and case helpers: which characters each one touches.
#include "Text.h"

#include <gtest/gtest.h>

using namespace zenta;

TEST(Text, EachTrimRemovesItsOwnSetAndNothingElse) {
    const std::string padded = " \t\r\n value \t x \r\n\t ";
    EXPECT_EQ(TrimSpaces(padded), "\t\r\n value \t x \r\n\t");
    EXPECT_EQ(TrimBlanks(padded), "\r\n value \t x \r\n");
    EXPECT_EQ(TrimWhitespace(padded), "value \t x");
    for (auto trim : {TrimSpaces, TrimBlanks, TrimWhitespace}) {
        EXPECT_EQ(trim(""), "");
        EXPECT_EQ(trim("   "), "");
        EXPECT_EQ(trim("a"), "a");
        // A no-break space (UTF-8 C2 A0) and a full-width one (E3 80 80) are text, not blanks:
        // their bytes must come through whole.
        EXPECT_EQ(trim("\xC2\xA0x\xE3\x80\x80"), "\xC2\xA0x\xE3\x80\x80");
        // Inner blanks stay, and a NUL is no blank.
        EXPECT_EQ(trim(std::string(" a  b\0 ", 7)), std::string("a  b\0", 5));
    }
}

TEST(Text, CaseHelpersTouchAsciiLettersOnly) {
    EXPECT_EQ(AsciiLowerCase("ZentaMarket.INI"), "zentamarket.ini");
    EXPECT_EQ(AsciiUpperCase("option=268453931;server=x"), "OPTION=268453931;SERVER=X");
    // UTF-8 (Ñ, 超市) and GBK (D5 F3 B4 A8) bytes are not letters here, whatever the locale.
    const std::string foreign = "\xC3\x91\xE8\xB6\x85\xE5\xB8\x82\xD5\xF3\xB4\xA8";
    EXPECT_EQ(AsciiLowerCase(foreign), foreign);
    EXPECT_EQ(AsciiUpperCase(foreign), foreign);
    EXPECT_EQ(AsciiLower('@'), '@');
    EXPECT_EQ(AsciiLower('['), '[');
    EXPECT_EQ(AsciiLower('Z'), 'z');
    EXPECT_TRUE(SameIgnoringAsciiCase("MySQL", "mysql"));
    EXPECT_FALSE(SameIgnoringAsciiCase("MySQL", "mysq"));
    EXPECT_FALSE(SameIgnoringAsciiCase("\xC3\x91", "\xC3\xB1")); // Ñ and ñ differ in bytes
    EXPECT_FALSE(SameIgnoringAsciiCase("@", "`"));               // 0x40 and 0x60 are not letters
}
