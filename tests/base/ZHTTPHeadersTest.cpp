#include <gtest/gtest.h>

#include <string>

#include "ZHTTPHeaders.h"
#include "ZTestSupport.h"

namespace {

// The OPENSEND message: a first line, four fields (one name holding a space,
// one value holding a tab and one holding a colon) and two content parts.
const std::string kOpenSendMessage =
    "OPENSEND / HTTP/1.1\r\n"
    "Content-Length: 5, 2\r\n"
    "My\\ Key: x:y\r\n"
    "Note: a\\tb\r\n"
    "SSRC: 42\r\n"
    "\r\n"
    "hello"
    "xy";

ZHTTPHeaders makeOpenSend() {
    ZHTTPHeaders h(L"OPENSEND");
    h.set(L"SSRC", L"42");
    h.set(L"Note", L"a\tb");
    h.set(L"My Key", L"x:y");
    h.addContent("hello", 5);
    h.addContent("xy", 2);
    return h;
}

ZHTTPHeaders parsed(const std::string& bytes, int* consumed = nullptr) {
    ZHTTPHeaders h;
    const int n = h.deserialize(bytes);
    if (consumed) *consumed = n;
    return h;
}

}  // namespace

TEST(ZHTTPHeaders, SerialisesTheOpenSendMessageByteForByte) {
    const std::string text = makeOpenSend().serialize();
    EXPECT_EQ(text.size(), 88u);
    EXPECT_EQ(text, kOpenSendMessage);
}

TEST(ZHTTPHeaders, ParsesTheOpenSendMessageBackWithItsFieldsAndParts) {
    ZHTTPHeaders h;
    ASSERT_EQ(h.deserialize(kOpenSendMessage), 88);
    EXPECT_EQ(h.get(L""), L"OPENSEND / HTTP/1.1");
    EXPECT_EQ(h.getMethod(), L"OPENSEND");
    EXPECT_EQ(h.get(L"Content-Length"), L"5, 2");
    EXPECT_EQ(h.get(L"My Key"), L"x:y");
    EXPECT_EQ(h.get(L"Note"), L"a\tb");
    EXPECT_EQ(h.calc(L"SSRC"), 42);
    ASSERT_EQ(h.getContentCount(), 2);
    EXPECT_EQ(h.getContent(0), "hello");
    EXPECT_EQ(h.getContent(1), "xy");
    EXPECT_EQ(h.serialize(), kOpenSendMessage);
    EXPECT_EQ(h.getDebugText(), "OPENSEND / HTTP/1.1\nContent-Length: 5, 2\nMy Key: x:y\nNote: a\tb\nSSRC: 42\n\n");
}

TEST(ZHTTPHeaders, IncompleteHeaderBlockLeavesTheMessageUnchanged) {
    ZHTTPHeaders h = makeOpenSend();
    const std::string before = h.serialize();
    EXPECT_EQ(h.deserialize(kOpenSendMessage.data(), 80), 0);
    EXPECT_EQ(h.serialize(), before);
}

TEST(ZHTTPHeaders, IncompleteContentLeavesTheMessageEmpty) {
    ZHTTPHeaders h = makeOpenSend();
    EXPECT_EQ(h.deserialize(kOpenSendMessage.data(), 85), 0);
    EXPECT_TRUE(h.empty());
    EXPECT_FALSE(h.hasContent());
    EXPECT_EQ(h.getDebugText(), "\n");
}

TEST(ZHTTPHeaders, ConsumesOneMessageAndLeavesTheNextForTheCaller) {
    int consumed = 0;
    const ZHTTPHeaders h = parsed(kOpenSendMessage + kOpenSendMessage.substr(0, 30), &consumed);
    EXPECT_EQ(consumed, 88);
    EXPECT_EQ(h.getContent(1), "xy");
}

TEST(ZHTTPHeaders, EmptyMessageIsTwoBytesAndDoesNotParseBack) {
    ZHTTPHeaders h;
    EXPECT_TRUE(h.empty());
    EXPECT_EQ(h.serialize(), "\r\n");
    EXPECT_EQ(h.deserialize(h.serialize()), 0);
}

// Whole buffers and what they parse to: consumed bytes, first line, one field.
TEST(ZHTTPHeaders, ParsesTheGrammarsCornerCases) {
    struct Case {
        const char* label;
        std::string bytes;
        int consumed;
        std::wstring firstLine;
        std::wstring name;
        std::wstring value;
    };
    const Case cases[] = {
        {"empty first line", "\r\n\r\n", 4, L"", L"", L""},
        {"content left for the caller", "X\r\n\r\nrest", 5, L"X", L"", L"X"},
        {"empty value", "P\r\nName:\r\n\r\n", 12, L"P", L"Name", L""},
        {"last of two lines wins", "P\r\nA: 1\r\nA: 2\r\n\r\n", 17, L"P", L"A", L"2"},
        {"blanks before name and after colon", "P\r\n \tA:\t x \r\n\r\n", 15, L"P", L"A", L"x "},
        {"blank before colon is in the name", "P\r\nA :1\r\n\r\n", 11, L"P", L"A ", L"1"},
        {"escaped name", "P\r\nMy\\ Key: v\r\n\r\n", 17, L"P", L"My Key", L"v"},
        {"unknown escape stands for its byte", "P\r\nq: \\q\\:\r\n\r\n", 14, L"P", L"q", L"q:"},
        {"escaped CR LF inside a value", "P\r\nv: a\\\r\\\nb\r\n\r\n", 16, L"P", L"v", L"a\r\nb"},
        {"UTF-8 name and value", "P\r\n\xCE\x91: \xCE\xB1\r\n\r\n", 13, L"P", L"\u0391", L"\u03B1"},
        {"bare LF ends nothing", "P\nA: 1\r\n\r\n", 0, L"", L"", L""},
        {"line without colon", "P\r\nA 1\r\n\r\n", 0, L"", L"", L""},
        {"line with empty name", "P\r\n: x\r\n\r\n", 0, L"", L"", L""},
        {"line of blanks", "P\r\n  \r\n\r\n", 0, L"", L"", L""},
        {"no final empty line", "P\r\nA: 1\r\n", 0, L"", L"", L""},
        {"backslash at the end", "P\\", 0, L"", L"", L""},
    };
    for (const Case& c : cases) {
        ZHTTPHeaders h;
        EXPECT_EQ(h.deserialize(c.bytes), c.consumed) << c.label;
        if (c.consumed == 0) {
            EXPECT_TRUE(h.empty()) << c.label;
            continue;
        }
        EXPECT_EQ(h.get(L""), c.firstLine) << c.label;
        EXPECT_EQ(h.get(c.name), c.value) << c.label;
    }
}

TEST(ZHTTPHeaders, NamesDifferingInCaseAreTwoFieldsInCodeUnitOrder) {
    ZHTTPHeaders h(L"PING");
    h.set(L"mode", L"2");
    h.set(L"Mode", L"1");
    h.set(L"CSeq", L"3");
    EXPECT_EQ(h.serialize(), "PING / HTTP/1.1\r\nCSeq: 3\r\nMode: 1\r\nmode: 2\r\n\r\n");
    const ZHTTPHeaders back = parsed("P\r\na: 1\r\nA: 2\r\n\r\n");
    EXPECT_EQ(back.get(L"a"), L"1");
    EXPECT_EQ(back.get(L"A"), L"2");
}

TEST(ZHTTPHeaders, NamesAndValuesSurviveTheRoundTripThroughTheirEscapes) {
    const std::wstring names[] = {L"a:b", L"a b", L"a\tb", L"a\rb", L"a\nb", L"a\\b", L"x\u00E9\u4E2D"};
    const std::wstring values[] = {L"x ", L"\tx", L"a\\b\r\nc", L"k: v", L"\u00FC\u20AC"};
    for (const auto& name : names) {
        for (const auto& value : values) {
            ZHTTPHeaders h(L"T");
            h.set(name, value);
            const ZHTTPHeaders back = parsed(h.serialize());
            EXPECT_EQ(back.get(name), value);
        }
    }
}

TEST(ZHTTPHeaders, LeadingSpacesOfAValueAreLostOnTheWire) {
    ZHTTPHeaders h(L"T");
    h.set(L"V", L"  x");
    EXPECT_EQ(parsed(h.serialize()).get(L"V"), L"x");
}

TEST(ZHTTPHeaders, FirstFieldBecomesTheFirstLineWhenThereIsNone) {
    ZHTTPHeaders h;
    h.set(L"A", L"1");
    h.set(L"B", L"2");
    const ZHTTPHeaders back = parsed(h.serialize());
    EXPECT_EQ(back.get(L""), L"A: 1");
    EXPECT_FALSE(back.isSet(L"A"));
    EXPECT_EQ(back.get(L"B"), L"2");
}

TEST(ZHTTPHeaders, ContentLengthListsEveryPartIncludingEmptyOnes) {
    ZHTTPHeaders h(L"FILE");
    h.addContent("abc", 3);
    h.addContent(std::string());
    h.addContent(std::string("d\0fg", 4));
    EXPECT_EQ(h.get(L"Content-Length"), L"3, 0, 4");
    const std::string text = h.serialize();
    EXPECT_EQ(text.substr(text.size() - 11), "\r\n\r\nabcd" + std::string(1, '\0') + "fg");

    ZHTTPHeaders back;
    ASSERT_EQ(back.deserialize(text), static_cast<int>(text.size()));
    ASSERT_EQ(back.getContentCount(), 3);
    EXPECT_EQ(back.getContent(0), "abc");
    EXPECT_EQ(back.getContent(1), "");
    EXPECT_EQ(back.getContent(2), std::string("d\0fg", 4));
    EXPECT_EQ(back.deserialize(text.substr(0, text.size() - 1)), 0);
    EXPECT_TRUE(back.empty());
}

TEST(ZHTTPHeaders, ContentLengthWithoutDigitsIsOneEmptyPart) {
    int consumed = 0;
    const ZHTTPHeaders h = parsed("P\r\nContent-Length: x\r\n\r\nzz", &consumed);
    EXPECT_EQ(consumed, 24);
    ASSERT_EQ(h.getContentCount(), 1);
    EXPECT_EQ(h.getContent(0), "");
}

// Lengths a peer can send that must never cut a part outside the buffer.
TEST(ZHTTPHeaders, RefusesContentLengthsThatDoNotFitTheBuffer) {
    struct Case {
        const char* label;
        std::string lengths;
        bool warns;
    };
    const Case cases[] = {
        {"negative item", "-1", true},
        {"negative item after a good one", "1, -5", true},
        {"most negative", "-9223372036854775808", true},
        {"item beyond the buffer", "1000", false},
        {"items wrapping a 32-bit sum", "2147483647, 2147483647, 4", false},
        {"item wrapping to negative in 32 bits", "4294967295", false},
        {"item wrapping 64 bits", "18446744073709551615", true},
        {"many items summing past the buffer", "2, 2, 2, 2, 2, 2, 2, 2, 2, 2", false},
    };
    for (const Case& c : cases) {
        ZLogCapture log;
        ZHTTPHeaders h(L"KEEP");
        h.addContent("old", 3);
        const std::string bytes = "P\r\nContent-Length: " + c.lengths + "\r\n\r\n" + std::string(12, 'z');
        EXPECT_EQ(h.deserialize(bytes), 0) << c.label;
        EXPECT_TRUE(h.empty()) << c.label;
        EXPECT_EQ(log.count(L"WARNING Content-Length item"), c.warns ? 1 : 0) << c.label;
    }
}

// Inputs that once were, or could be, trouble for a parser of peer bytes.
TEST(ZHTTPHeaders, SurvivesHostileInput) {
    const std::string nasty[] = {
        std::string(1, '\0'),
        std::string("\0\r\n\r\n", 5),
        "\\",
        "\\\r\n\r\n",
        "P\r\n\\",
        "P\r\nA: \\",
        "P\r\nA\\",
        "\r",
        "\r\n\r",
        std::string(100000, '\\'),
        std::string(100000, ':'),
        "P\r\n" + std::string(50000, 'a') + ":" + std::string(50000, 'b') + "\r\n\r\n",
        "P\r\nContent-Length: ,,,;;;\t\t\n\r\n\r\n",
        "P\r\nContent-Length: 3\r\nContent-Length: -3\r\n\r\nabc",
        "HTTP/1.1 99999999999999999999 x\r\n\r\n",
        "\xFF\xFE\xF8\xF0\xC0\r\n\xE0: \xF4\r\n\r\n",
    };
    for (const std::string& bytes : nasty) {
        ZHTTPHeaders h;
        const int consumed = h.deserialize(bytes);
        EXPECT_GE(consumed, 0);
        EXPECT_LE(consumed, static_cast<int>(bytes.size()));
        h.getMethod();
        h.getResponseSummary();
        h.serialize();
    }
}

TEST(ZHTTPHeaders, NullBufferOrNegativeLengthIsAProgrammingError) {
    ZLogCapture log;
    ZHTTPHeaders h;
    EXPECT_ZABORT(h.deserialize(nullptr, 3));
    EXPECT_ZABORT(h.deserialize("x", -1));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (buffer && length >= 0)"), 2);
    EXPECT_EQ(h.deserialize("x", 0), 0);
}

TEST(ZHTTPHeaders, ReadsFieldsAsNumbersFlagsAndLists) {
    ZHTTPHeaders h;
    h.set(L"Big", std::int64_t{5000000000});
    h.set(L"Neg", -17);
    h.set(L"On", true);
    h.set(L"Off", false);
    h.set(L"Digits", L"7x");
    h.set(L"Upper", L"TRUE");
    h.set(L"Empty", std::list<std::wstring>{});
    EXPECT_EQ(h.calc64(L"Big"), 5000000000);
    EXPECT_EQ(h.calc(L"Big"), static_cast<int>(5000000000 - 4294967296));
    EXPECT_EQ(h.calc(L"Neg"), -17);
    EXPECT_EQ(h.get(L"On"), L"true");
    struct Flag {
        const wchar_t* name;
        bool expected;
    };
    for (const Flag& f : {Flag{L"On", true}, Flag{L"Upper", true}, Flag{L"Digits", true}, Flag{L"Off", false},
                          Flag{L"Neg", false}, Flag{L"Empty", false}, Flag{L"Absent", false}})
        EXPECT_EQ(h.test(f.name), f.expected) << f.name;

    EXPECT_TRUE(h.serialize().find("Empty: \r\n") != std::string::npos);
    EXPECT_FALSE(h.isSet(L"Empty"));
    std::list<std::wstring> items{L"stale"};
    EXPECT_FALSE(h.get(L"Empty", items));
    EXPECT_TRUE(items.empty());
    EXPECT_FALSE(h.isSet(L"Absent"));
    EXPECT_EQ(h.calc(L"Absent"), 0);
}

TEST(ZHTTPHeaders, InsertAddsOnlyMissingItemsAndRewritesTheList) {
    ZHTTPHeaders h;
    h.set(L"List", L"a, b");
    h.insert(L"List", L"b");
    EXPECT_EQ(h.get(L"List"), L"a, b");
    h.set(L"List", L"a");
    h.insert(L"List", L"b");
    EXPECT_EQ(h.get(L"List"), L"a, b");
    h.set(L"List", L"a;b");
    h.insert(L"List", L"c");
    EXPECT_EQ(h.get(L"List"), L"a, b, c");
    std::list<std::wstring> items;
    EXPECT_TRUE(h.get(L"List", items));
    EXPECT_EQ(items, (std::list<std::wstring>{L"a", L"b", L"c"}));

    ZLogCapture log;
    EXPECT_ZABORT(h.insert(L"", L"x"));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (!name.empty( ))"));
}

TEST(ZHTTPHeaders, ReadsRequestAndStatusLines) {
    struct Case {
        std::wstring firstLine;
        std::wstring method;
        int code;
        std::wstring reason;
    };
    const Case cases[] = {
        {L"PING / HTTP/1.1", L"PING", 0, L"(kept)"},
        {L"HTTP/1.1 400 Invalid request", L"HTTP/1.1", 400, L"Invalid request"},
        {L"HTTP/1.1 200 OK", L"HTTP/1.1", 200, L"OK"},
        {L"HTTP/1.1\t200", L"HTTP/1.1", 200, L"(kept)"},
        {L"HTTP/1.1 200 ", L"HTTP/1.1", 200, L"(kept)"},
        {L"HTTP/1.1 x", L"HTTP/1.1", 0, L"(kept)"},
        {L"HTTP/1.1 -5 Odd", L"HTTP/1.1", -5, L"Odd"},
        {L"HTTP/1.1 2147483648 Big", L"HTTP/1.1", 0, L"(kept)"},
        {L"HTTP/1.1 -2147483648 Least", L"HTTP/1.1", -2147483647 - 1, L"Least"},
        {L"http/1.1 200 OK", L"http/1.1", 0, L"(kept)"},
        {L"HTTP/1.1200 OK", L"HTTP/1.1200", 0, L"(kept)"},
        {L"", L"", 0, L"(kept)"},
        {L" PING", L"", 0, L"(kept)"},
    };
    for (const Case& c : cases) {
        ZHTTPHeaders h;
        h.set(L"", c.firstLine);
        std::wstring reason = L"(kept)";
        EXPECT_EQ(h.getResponse(reason), c.code) << c.firstLine;
        EXPECT_EQ(reason, c.reason) << c.firstLine;
        EXPECT_EQ(h.getMethod(), c.method) << c.firstLine;
        EXPECT_EQ(h.succeeded(), c.code == ZHTTP_SUCCESS) << c.firstLine;
    }
    ZHTTPHeaders bad;
    bad.set(L"", L"HTTP/1.1 400 Invalid request");
    EXPECT_EQ(bad.getResponseSummary(), L"#400 'Invalid request'");
    EXPECT_EQ(bad.getResponseReason(), L"Invalid request");
}

TEST(ZHTTPHeaders, ContentIndexOutsideThePartsIsAnAssertion) {
    ZLogCapture log;
    ZHTTPHeaders h;
    h.addContent("a", 1);
    EXPECT_EQ(h.getContent(0), "a");
    EXPECT_ZABORT(h.getContent(1));
    EXPECT_ZABORT(h.getContent(-1));
    EXPECT_EQ(log.count(L"ERROR: Assertion failed, aborting. (ZWITHIN( 0, index, (int)_contentArray.size( )-1 ))"),
              2);
}

TEST(ZHTTPHeaders, CopiesAreIndependentAndClearEmptiesEverything) {
    ZHTTPHeaders a = makeOpenSend();
    ZHTTPHeaders b(a);
    ZHTTPHeaders c;
    c = a;
    a.clear();
    EXPECT_TRUE(a.empty());
    EXPECT_EQ(a.getDebugText(), "");
    EXPECT_EQ(b.serialize(), kOpenSendMessage);
    EXPECT_EQ(c.serialize(), kOpenSendMessage);
    c = c;
    EXPECT_EQ(c.getDebugText(), b.getDebugText());
}

// The debug text is rendered when read: whatever the steps before, it reads
// as it did when every change rendered it at once, empty for a message that
// was never changed since it was made or cleared.
TEST(ZHTTPHeaders, DebugTextReadsAsIfRenderedAfterEveryChange) {
    struct Case {
        const char* label;
        void (*steps)(ZHTTPHeaders&);
        const char* expected;
    };
    const Case cases[] = {
        {"new", [](ZHTTPHeaders&) {}, ""},
        {"first line", [](ZHTTPHeaders& h) { h.setMethod(L"PING"); }, "PING / HTTP/1.1\n\n"},
        {"replaced value",
         [](ZHTTPHeaders& h) {
             h.set(L"B", L"a long first value");
             h.set(L"A", 7);
             h.set(L"B", L"short");
         },
         "A: 7\nB: short\n\n"},
        {"read between changes",
         [](ZHTTPHeaders& h) {
             h.set(L"X", true);
             (void)h.getDebugText();
             h.set(L"X", false);
             h.insert(L"L", L"a");
             h.insert(L"L", L"b");
             h.insert(L"L", L"a");
         },
         "L: a, b\nX: false\n\n"},
        {"parts", [](ZHTTPHeaders& h) { h.addContent("abc", 3), h.addContent("", 0); }, "Content-Length: 3, 0\n\n"},
        {"cleared", [](ZHTTPHeaders& h) { h.set(L"A", L"1"), h.clear(); }, ""},
        {"cleared then set", [](ZHTTPHeaders& h) { h.clear(), h.set(L"A", L"1"); }, "A: 1\n\n"},
        {"text that does not parse, on a new message", [](ZHTTPHeaders& h) { h.deserialize("X\r\n"); }, "\n"},
        {"text that does not parse keeps the fields",
         [](ZHTTPHeaders& h) { h.set(L"A", L"1"), h.deserialize("X\r\nbroken\r\n\r\n"); }, "A: 1\n\n"},
        {"nothing to parse leaves it alone", [](ZHTTPHeaders& h) { h.deserialize(""); }, ""},
        {"parsed", [](ZHTTPHeaders& h) { h.deserialize(kOpenSendMessage); },
         "OPENSEND / HTTP/1.1\nContent-Length: 5, 2\nMy Key: x:y\nNote: a\tb\nSSRC: 42\n\n"},
        {"content short of its length",
         [](ZHTTPHeaders& h) { h.set(L"A", L"1"), h.deserialize("X\r\nContent-Length: 9\r\n\r\nab"); }, "\n"},
        // Converted as one text: half a surrogate pair at the end of a value
        // takes the line feed after it along.
        {"surrogate at the end of a value", [](ZHTTPHeaders& h) { h.set(L"N", std::wstring(L"a\xD83D")); },
         "N: aX\n"},
        {"non-ASCII", [](ZHTTPHeaders& h) { h.set(std::wstring(L"\x00E9"), std::wstring(L"\x4E2D")); },
         "\xC3\xA9: \xE4\xB8\xAD\n\n"},
    };
    for (const Case& c : cases) {
        ZHTTPHeaders h;
        c.steps(h);
        EXPECT_EQ(h.getDebugText(), c.expected) << c.label;
        // A copy reads the same, and so does the original read again.
        const ZHTTPHeaders copy(h);
        EXPECT_EQ(copy.getDebugText(), c.expected) << c.label;
        EXPECT_EQ(h.getDebugText(), c.expected) << c.label;
    }
}

// Values replaced again and again, longer and shorter, keep every field and
// the text form they would have if set once.
TEST(ZHTTPHeaders, ReplacingValuesManyTimesKeepsEveryField) {
    ZHTTPHeaders h;
    ZHTTPHeaders once;
    for (int round = 0; round < 500; ++round) {
        for (const wchar_t* name : {L"CSeq", L"From", L"To"}) {
            const std::wstring value(static_cast<std::size_t>((round * 7 + name[0]) % 90), L'v');
            h.set(name, value + std::to_wstring(round));
        }
    }
    for (const wchar_t* name : {L"CSeq", L"From", L"To"})
        once.set(name, std::wstring(static_cast<std::size_t>((499 * 7 + name[0]) % 90), L'v') + L"499");
    EXPECT_EQ(h.serialize(), once.serialize());
    EXPECT_EQ(h.getDebugText(), once.getDebugText());
}
