#include "utils/text.h"

#include <gtest/gtest.h>

using namespace quillo::utils;

namespace {

const char* const kReplacement = "\xEF\xBF\xBD";

TEST(Utf8Test, DecodeErrorsNameTheBytesAndTheReason) {
    EXPECT_FALSE(utf8_decode_error("plain ascii, é, 中文, 🚀").has_value());
    EXPECT_EQ(utf8_decode_error("ab\xff"),
              "'utf-8' codec can't decode byte 0xff in position 2: invalid start byte");
    EXPECT_EQ(utf8_decode_error("\xe2\x82(x"),
              "'utf-8' codec can't decode bytes in position 0-1: invalid continuation byte");
    EXPECT_EQ(utf8_decode_error("x\xe2\x82"),
              "'utf-8' codec can't decode bytes in position 1-2: unexpected end of data");
    // Over-long forms and UTF-16 surrogates are not UTF-8.
    EXPECT_TRUE(utf8_decode_error("\xc0\x80").has_value());
    EXPECT_TRUE(utf8_decode_error("\xed\xa0\x80").has_value());
    EXPECT_TRUE(utf8_decode_error("\xf4\x90\x80\x80").has_value());
}

TEST(Utf8Test, ReplacementTakesOneMarkPerMaximalIllFormedPart) {
    EXPECT_EQ(decode_utf8_replacing("a\xe2\x82"
                                    "b"),
              std::string("a") + kReplacement + "b");
    EXPECT_EQ(decode_utf8_replacing("\xc0\x80"), std::string(kReplacement) + kReplacement);
    EXPECT_EQ(decode_utf8_replacing("\xed\xa0\x80"),
              std::string(kReplacement) + kReplacement + kReplacement);
    EXPECT_EQ(decode_utf8_replacing("\xe2\x82\xac"), "€");
}

TEST(Utf8Test, StripRemovesUnicodeSpaceButKeepsTheByteOrderMark) {
    EXPECT_EQ(strip_unicode_whitespace(" \t\r\n pass word \n"), "pass word");
    EXPECT_EQ(strip_unicode_whitespace("\u3000\u00a0密码\u2003\u0085"), "密码");
    EXPECT_EQ(strip_unicode_whitespace("\xef\xbb\xbfsecret "), "\xef\xbb\xbfsecret");
    EXPECT_EQ(strip_unicode_whitespace("\u200bzero-width\u200b"), "\u200bzero-width\u200b");
    EXPECT_EQ(strip_unicode_whitespace(" \u2028 "), "");
    EXPECT_EQ(strip_unicode_whitespace("\xe2\x80"), "\xe2\x80") << "broken text stays as it is";
}

TEST(Utf8Test, FirstCodePointsNeverSplitACharacter) {
    EXPECT_EQ(first_code_points("a→b", 2), "a→");
    EXPECT_EQ(first_code_points("ab", 5), "ab");
    EXPECT_EQ(first_code_points("", 3), "");
}

TEST(Utf8Test, ClientTextCannotBreakOrSteerALogLine) {
    EXPECT_EQ(escape_controls("/a\n[OK] forged"), "/a\\n[OK] forged");
    EXPECT_EQ(escape_controls("\r\t\x1b[2J\x7f"), "\\x0d\\x09\\x1b[2J\\x7f");
    EXPECT_EQ(escape_controls("\xc2\x9b"
                              "31m"),
              "\\xc2\\x9b31m")
        << "C1 CSI";
    EXPECT_EQ(escape_controls("文件/é\xc2\xa0\xff"), "文件/é\xc2\xa0\xff")
        << "everything else kept";
    EXPECT_EQ(escape_controls(std::string("a\0b", 3)), "a\\x00b");
}

} // namespace
