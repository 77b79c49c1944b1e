#include <gtest/gtest.h>

#include <climits>

#include "ZPortable_Text.h"

namespace {
std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s += static_cast<char>(v);
    return s;
}
}  // namespace

TEST(ZToUTF8, EncodesEachUnitAndTurnsCharactersBeyondThePlaneIntoOneX) {
    struct Case {
        std::wstring in;
        std::string out;
    } cases[] = {
        {L"A", "A"},
        {std::wstring(1, 0xE9), bytes({0xC3, 0xA9})},
        {std::wstring(1, 0x20AC), bytes({0xE2, 0x82, 0xAC})},
        {std::wstring(1, 0xAC00), bytes({0xEA, 0xB0, 0x80})},
        {std::wstring{0xD83D, 0xDE00, L'a'}, "Xa"},
        {std::wstring{L'a', 0xD83D}, "aX"},          // a lone high half at the end
        {std::wstring{0x1F600, L'b'}, "Xb"},         // a 32-bit unit never reaches the wire
        {std::wstring(1, 0x7FF), bytes({0xDF, 0xBF})},
        {L"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(ZToUTF8(c.in), c.out);
}

TEST(ZFromUTF8, ProducesOneUnitPerLeadByteAndXForBrokenSequences) {
    struct Case {
        std::string in;
        std::wstring out;
    } cases[] = {
        {bytes({0xC3}), L"X"},
        {bytes({0x80, 0x41}), L"XA"},
        {bytes({0xF0, 0x9F, 0x98, 0x80, 0x41}), L"XA"},
        {bytes({0xE2, 0x82, 0xAC}), std::wstring(1, 0x20AC)},
        {bytes({0xE2, 0x82}), L"XX"},
        {bytes({0xF8, 0x41}), L"XA"},
        {bytes({0xF0, 0x9F}), L"XX"},        // too short to skip: the stray byte is its own X
        {bytes({0xF0, 0x9F, 0x98}), L"X"},  // a skip past the end ends the text
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
    };
    for (const auto& c : cases) EXPECT_EQ(ZFromUTF8(c.in), c.out);
    EXPECT_EQ(ZFromUTF8(static_cast<const char*>(nullptr)), L"");
}

TEST(ZToUTF8, RoundTripsEveryBasicPlaneUnitOutsideTheSurrogates) {
    std::wstring all;
    for (wchar_t u = 1; u < 0x10000; ++u)
        if (u < 0xD800 || u > 0xDFFF) all += u;
    EXPECT_EQ(ZFromUTF8(ZToUTF8(all)), all);
}

TEST(ZEscape, KeepsAValueOnOneLineAndUnescapeGivesItBack) {
    const std::string text = "a:b c\\\n";
    const std::string escaped = ZEscape(text, ": ");
    EXPECT_EQ(escaped, "a\\:b\\ c\\\\\\n");
    EXPECT_EQ(ZUnescape(escaped), text);
    EXPECT_EQ(ZUnescape("abc\\"), "abc");
    EXPECT_EQ(ZEscape("\t\r", ""), "\\t\\r");
    const std::string every = [] {
        std::string s;
        for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
        return s;
    }();
    EXPECT_EQ(ZUnescape(ZEscape(every, ": ")), every);
    EXPECT_EQ(ZUnescape(ZEscape(every, "")), every);
}

TEST(ZToString, WritesSignedDecimalAndFixedPoint) {
    EXPECT_EQ(ZToString(0), L"0");
    EXPECT_EQ(ZToString(static_cast<std::int64_t>(INT64_MIN)), L"-9223372036854775808");
    EXPECT_EQ(ZToString(-42), L"-42");
    EXPECT_EQ(ZToNarrowString(static_cast<std::int64_t>(1234567)), "1234567");
    EXPECT_EQ(ZToString(1.5, 2), L"1.50");
    EXPECT_EQ(ZToNarrowString(2.0 / 3.0, 0), "1");
}

TEST(ZToInt64, ReadsLeadingDigitsWithAnOptionalMinus) {
    struct Case {
        const wchar_t* in;
        std::int64_t out;
    } cases[] = {{L"-42x", -42}, {L"", 0}, {nullptr, 0}, {L" 5", 0}, {L"+5", 0}, {L"-", 0}, {L"007", 7},
                 {L"9223372036854775807", INT64_MAX}};
    for (const auto& c : cases) EXPECT_EQ(ZToInt64(c.in), c.out) << (c.in ? c.in : L"(null)");
}

TEST(ZToHex, PadsAndCutsToTheGivenDigits) {
    EXPECT_EQ(ZToHex(0x1A2B, 5), L"0x01A2B");
    EXPECT_EQ(ZToHex(0x12345, 2), L"0x45");
    EXPECT_EQ(ZToHex(0xDEADBEEF, 8), L"0xDEADBEEF");
    EXPECT_EQ(ZToHexPointer(reinterpret_cast<const void*>(std::uintptr_t{0xAB})), L"0x00000000000000AB");
}

TEST(ZFormatByteSize, PicksTheUnitByMagnitude) {
    struct Case {
        std::int64_t in;
        std::wstring out;
    } cases[] = {{1023, L"1023B"}, {1536, L"1.50KB"}, {1048576, L"1.00MB"}, {-5, L"-5B"},
                 {3LL << 30, L"3.00GB"}};
    for (const auto& c : cases) EXPECT_EQ(ZFormatByteSize(c.in), c.out);
}

TEST(TextHelpers, CompareAndCleanAsciiOnly) {
    EXPECT_TRUE(ZCaseEquals(std::wstring(L"Abc"), L"aBC"));
    EXPECT_FALSE(ZCaseEquals(std::wstring(L"Abc"), L"aB"));
    EXPECT_FALSE(ZCaseEquals(std::wstring(1, 0xC9), std::wstring(1, 0xE9)));  // no locale folding
    EXPECT_TRUE(ZCaseEquals(std::wstring(), L""));
    EXPECT_FALSE(ZBeginsWith(L"ab", L"abc"));
    EXPECT_TRUE(ZBeginsWith(L"ABc", L"ab"));
    EXPECT_TRUE(ZEndsWith(L"file.PNG", L".png"));
    EXPECT_EQ(ZToLower(std::wstring(L"Local_User_GUID") + wchar_t(0xC9)), std::wstring(L"local_user_guid") + wchar_t(0xC9));
    EXPECT_EQ(ZNormalizeGUID(L"Bob.Smith+x@Example.com"), L"bob.smithx@example.com");
    EXPECT_EQ(ZTrim(L" \t\r\n"), L"");
    EXPECT_EQ(ZCollapseWhitespace(L"  a \t\n b "), L"a b");
    EXPECT_EQ(ZCollapseWhitespace(L"a\r\nb"), L"a\r b");
    EXPECT_EQ(ZRemoveChars(L"a-b_c", L"-_"), L"abc");
    EXPECT_EQ(ZJoin({L"a", L"b", L"c"}, L", "), L"a, b, c");
    EXPECT_EQ(ZJoin({}, L", "), L"");
    EXPECT_TRUE(ZContains({L"a", L"B"}, L"B"));
    EXPECT_FALSE(ZContains({L"a", L"B"}, L"b"));
}
