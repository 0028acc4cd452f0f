// Windows-1252, the list's code page, to and from UTF-8: the one conversion
// the POSIX seam, the publisher, the console and the tests all use.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <string>

using namespace codepage;

namespace {

TEST(Codepage, Utf8IsWrittenInWindows1252) {
    std::string out;
    EXPECT_EQ(Utf8ToCp1252("plain.txt", out), TDecode::Ok);
    EXPECT_EQ(out, "plain.txt");
    EXPECT_EQ(Utf8ToCp1252("estad\xC3\xAD"
                           "a \xE2\x82\xAC\xC5\xB8\xC3\xBF",
                           out),
              TDecode::Ok);
    EXPECT_EQ(out,
              "estad\xED"
              "a \x80\x9F\xFF");                                             // í € Ÿ ÿ
    EXPECT_EQ(Utf8ToCp1252("\xE2\x80\x9Cq\xE2\x80\x9D", out), TDecode::Ok);  // curly quotes
    EXPECT_EQ(out, "\x93q\x94");
    EXPECT_EQ(Cp1252ToUtf8("estad\xED"
                           "a \x80\x9F\xFF"),
              "estad\xC3\xAD"
              "a \xE2\x82\xAC\xC5\xB8\xC3\xBF");
}

TEST(Codepage, EveryWindows1252CharacterSurvivesTheRoundTrip) {
    for (int b = 1; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        std::string back;
        ASSERT_EQ(Utf8ToCp1252(Cp1252ToUtf8(byte), back), TDecode::Ok) << b;
        EXPECT_EQ(back, byte) << b;
    }
}

TEST(Codepage, TextOutsideWindows1252OrUtf8IsRefused) {
    std::string out;
    EXPECT_EQ(Utf8ToCp1252("\xE6\x97\xA5\xE6\x9C\xAC.txt", out), TDecode::NotCp1252);  // CJK
    EXPECT_EQ(Utf8ToCp1252("\xF0\x9F\x98\x80", out), TDecode::NotCp1252);              // emoji
    EXPECT_EQ(Utf8ToCp1252("\xC2\x85", out), TDecode::NotCp1252);                      // U+0085 has no byte
    EXPECT_EQ(Utf8ToCp1252("caf\xE9", out), TDecode::NotUtf8);                         // Latin-1 byte
    EXPECT_EQ(Utf8ToCp1252("\xC0\xAF", out), TDecode::NotUtf8);                        // overlong "/"
    EXPECT_EQ(Utf8ToCp1252("\xED\xA0\x80", out), TDecode::NotUtf8);                    // surrogate
    EXPECT_EQ(Utf8ToCp1252("\xE2\x82", out), TDecode::NotUtf8);                        // cut short
}

}  // namespace
