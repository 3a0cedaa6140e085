#include "util/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/unit/support.h"

namespace {

using testsupport::CaptureStdoutTo;
using testsupport::ReadFile;
using testsupport::TempFolder;

std::vector<std::string> Split(const char *text, const char *separator) {
    char *fields[32] = {};
    const int count = StrSplit(text, fields, separator);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.emplace_back(fields[i]);
    EXPECT_EQ(fields[count], nullptr);
    FieldsFree(fields);
    EXPECT_EQ(fields[0], nullptr);
    return out;
}

// Exact-size heap copy, so that a read past the terminating zero is caught by the sanitizer.
std::unique_ptr<char[]> HeapText(const std::string &text) {
    auto buffer = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
    return buffer;
}

std::string Decoded(const std::string &text) {
    auto buffer = HeapText(text);
    return UrlDecode(buffer.get());
}

std::string Replaced(const char *mode, const char *text, const char *search, const char *by) {
    std::string work = text;
    char *result = ec_StrReplace(mode, work.data(), search, by);
    std::string out = result;
    std::free(result);
    return out;
}

TEST(StrSplit, SkipsEmptyFieldsAndTrimsOnlyTheWholeText) {
    EXPECT_EQ(Split("  a!--------@b\r\n", "!--------@"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Split("!--------@!--------@x!--------@", "!--------@"),
              (std::vector<std::string>{"x"}));
    EXPECT_EQ(Split("a| b |c", "|"), (std::vector<std::string>{"a", " b ", "c"}));
}

TEST(StrSplit, PartOfTheSeparatorIsOrdinaryText) {
    EXPECT_EQ(Split("a!----@b!--------@c", "!--------@"),
              (std::vector<std::string>{"a!----@b", "c"}));
}

TEST(StrSplit, EmptyOrBlankTextGivesNoField) {
    EXPECT_TRUE(Split("", "|").empty());
    EXPECT_TRUE(Split(" \t\r\n", "|").empty());
}

TEST(StrSplit, RefusesNullTextAndEmptySeparator) {
    char *fields[4] = {reinterpret_cast<char *>(1)};
    EXPECT_EQ(StrSplit(nullptr, fields, "|"), 0);
    EXPECT_EQ(fields[0], nullptr);
    EXPECT_EQ(StrSplit("abc", fields, ""), 0);
    EXPECT_EQ(fields[0], nullptr);
}

TEST(StrTrim, RemovesOnlyTheFourBlanks) {
    char text[] = " \tx y\r\n";
    EXPECT_STREQ(StrTrim(text), "x y");
    char vertical_tab[] = "x\v";
    EXPECT_STREQ(StrTrim(vertical_tab), "x\v");
    char blank[] = " \r\n\t ";
    EXPECT_STREQ(StrTrim(blank), "");
    EXPECT_EQ(StrTrim(nullptr), nullptr);
}

TEST(UrlDecode, DecodesInOnePass) {
    EXPECT_EQ(Decoded("a+b%2Bc%41"), "a b+cA");
    EXPECT_EQ(Decoded("%7e"), "~");
    EXPECT_EQ(Decoded("%2541"), "%41");
    EXPECT_EQ(Decoded("no escape at all"), "no escape at all");
    EXPECT_EQ(Decoded("plain first%20then+decoded"), "plain first then decoded");
    EXPECT_EQ(UrlDecode(nullptr), nullptr);
}

TEST(UrlDecode, NonHexDigitsFollowTheDigitRule) {
    EXPECT_EQ(Decoded("%zz"), "S");
    EXPECT_EQ(Decoded("x%G0y"), "x");
}

TEST(UrlDecode, PercentNearTheEndStaysAndNothingIsReadPastTheText) {
    EXPECT_EQ(Decoded("ab%"), "ab%");
    EXPECT_EQ(Decoded("ab%4"), "ab%4");
    EXPECT_EQ(Decoded("%"), "%");
}

TEST(HexPairValue, HighBytesCountAsBelowA) {
    EXPECT_EQ(HexPairValue('f', 'F'), 0xFF);
    EXPECT_EQ(HexPairValue('0', '9'), 0x09);
    // 0xFF is -1 as a signed character: (-1 - 48) * 16 + 0 = -784, which is 240 modulo 256.
    EXPECT_EQ(HexPairValue('\xff', '0'), 240);
}

TEST(StrReplace, SubstringModes) {
    EXPECT_EQ(Replaced("sn", "aXXbXX", "XX", "Y"), "aYbY");
    EXPECT_EQ(Replaced("sn", "aaaa", "aa", "b"), "bb");
    EXPECT_EQ(Replaced("sn", "ab", "a", "aa"), "aab");  // replaced text is not scanned again
    char buffer[16] = "abc";
    EXPECT_EQ(ec_StrReplace("sr", buffer, "b", "xyz"), buffer);
    EXPECT_STREQ(buffer, "axyzc");
}

TEST(StrReplace, TranslationModes) {
    EXPECT_EQ(Replaced("tn", "a-b_c", "-_", ""), "abc");
    EXPECT_EQ(Replaced("tn", "a-b_c", "-_", "--"), "a--b--c");
    char buffer[16] = "a.b.c";
    ec_StrReplace("tr", buffer, ".", "/");
    EXPECT_STREQ(buffer, "a/b/c");
}

TEST(StrReplace, NewResultHasRoomForTheLongestOutcome) {
    // Growing "sn": (7 div 2) * 5 + 7 mod 2 + 1 = 17 bytes; the caller may fill them all.
    std::string text = "abababa";
    char *result = ec_StrReplace("sn", text.data(), "ab", "12345");
    EXPECT_STREQ(result, "123451234512345a");
    std::memset(result, 'z', 16);
    result[16] = '\0';
    std::free(result);
}

TEST(StrReplaceDeathTest, UnknownModeEndsTheProcess) {
    TempFolder folder;
    const std::string out = folder.Path("stdout.txt");
    for (const char *mode : {"sx", "x", "s", "abc", "nt"}) {
        char text[] = "abc";
        EXPECT_EXIT(
            {
                CaptureStdoutTo(out);
                ec_StrReplace(mode, text, "b", "c");
            },
            testing::ExitedWithCode(1), "");
        EXPECT_EQ(ReadFile(out),
                  std::string("Error: ec_StrReplace(): Unknown mode \"") + mode + "\".\n");
    }
}

TEST(StrSwap, ExchangesTexts) {
    char a[16] = "short", b[16] = "much longer";
    StrSwap(a, b);
    EXPECT_STREQ(a, "much longer");
    EXPECT_STREQ(b, "short");
    StrSwap(a, a);
    EXPECT_STREQ(a, "much longer");
}

}  // namespace
