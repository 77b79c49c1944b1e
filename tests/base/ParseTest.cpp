#include <gtest/gtest.h>

#include <list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

namespace {

typedef std::vector<std::wstring> Words;

struct ListCase {
    const wchar_t* text;
    Words expected;
};

const ListCase kListCases[] = {
    {L" a ,b;;\tc\n", {L"a", L"b", L"c"}},
    {L"", {}},
    {L",,,", {}},
    {L"a, ,b", {L"a", L"b"}},
    {L"  one item  ", {L"one item"}},
    {L"a\r\n\rb", {L"a", L"b"}},
    {L"buddy@x.com; other@y.com", {L"buddy@x.com", L"other@y.com"}},
    {L"a|b", {L"a|b"}},
};

}  // namespace

TEST(ZParseList, SplitsAtTabLineFeedCommaAndSemicolonAndDropsEmptyItems) {
    for (const ListCase& c : kListCases) {
        std::vector<std::wstring> asVector{L"stale"};
        ZParseList(asVector, c.text);
        EXPECT_EQ(asVector, c.expected) << c.text;
        std::list<std::wstring> asList{L"stale"};
        ZParseList(asList, c.text);
        EXPECT_EQ(Words(asList.begin(), asList.end()), c.expected) << c.text;
    }
}

TEST(ZTokenize, SplitsOnlyAtTheGivenDelimitersAndTrimsEachToken) {
    std::list<std::wstring> out{L"stale"};
    ZTokenize(out, L" x | y,z ||", L"|");
    EXPECT_EQ(Words(out.begin(), out.end()), (Words{L"x", L"y,z"}));
    std::vector<std::wstring> none{L"stale"};
    ZTokenize(none, L"abc", L"");
    EXPECT_EQ(none, Words{L"abc"});
}

TEST(ZPathSplit, SplitsAtEitherSlashGivingTheLastPartAsFileAndTheRestJoinedBySlashes) {
    struct Case {
        const wchar_t* path;
        const wchar_t* folder;
        const wchar_t* file;
    } cases[] = {
        {L"C:\\Program Files\\Zandrel\\zandrel.exe", L"C:/Program Files/Zandrel", L"zandrel.exe"},
        {L"file.txt", L"", L"file.txt"},
        {L"a\\\\b \\ c", L"a/b", L"c"},
        {L"", L"", L""},
        {L"\\\\", L"", L""},
        {L"/home/ann/docs/report.pdf", L"/home/ann/docs", L"report.pdf"},
        {L"/report.pdf", L"/", L"report.pdf"},
        {L"docs/sub\\report.pdf", L"docs/sub", L"report.pdf"},
        {L"/", L"", L""},
    };
    for (const Case& c : cases) {
        std::wstring folder = L"stale", file = L"stale";
        ZPathSplit(c.path, folder, file);
        EXPECT_EQ(folder, c.folder) << c.path;
        EXPECT_EQ(file, c.file) << c.path;
    }
}

TEST(ZSplitAddress, AssignsUserAlwaysAndDomainOnlyAfterAnAtSign) {
    struct Case {
        const wchar_t* text;
        const wchar_t* user;
        const wchar_t* domain;
    } cases[] = {
        {L"bob", L"bob", L"kept"},
        {L"@x", L"", L"x"},
        {L"bob@dev@y", L"bob", L"dev@y"},
        {L"bob@", L"bob", L"kept"},
        {L"", L"", L"kept"},
    };
    for (const Case& c : cases) {
        std::wstring user = L"kept", domain = L"kept";
        ZSplitAddress(c.text, user, domain);
        EXPECT_EQ(user, c.user) << c.text;
        EXPECT_EQ(domain, c.domain) << c.text;
    }
}

TEST(ZComposeAddress, JoinsWithAnAtSignThatSplitAddressUndoes) {
    EXPECT_EQ(ZComposeAddress(L"", L""), L"@");
    std::wstring user, domain;
    ZSplitAddress(ZComposeAddress(L"bob", L"{device-1}"), user, domain);
    EXPECT_EQ(user, L"bob");
    EXPECT_EQ(domain, L"{device-1}");
}

TEST(ZSplitHostPort, ReadsHostAndPortAndClearsBoth) {
    struct Case {
        const wchar_t* text;
        const wchar_t* host;
        int port;
    } cases[] = {
        {L"10.0.0.1:5060", L"10.0.0.1", 5060},
        {L"nocolon", L"nocolon", 0},
        {L":80", L"", 0},
        {L"h:80abc", L"h", 80},
        {L"h:", L"h", 0},
        {L"h:abc", L"h", 0},
        {L"h:65535", L"h", 65535},
        {L"h:1:2", L"h", 1},
        {L"", L"", 0},
    };
    for (const Case& c : cases) {
        std::wstring host = L"stale";
        int port = 9;
        ZSplitHostPort(c.text, host, port);
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(ZSplitHostPort, RefusesAPortOutsideSixteenBitsWithOneWarning) {
    // 4294972356 would wrap to 5060 if cut to 32 bits.
    for (const wchar_t* text : {L"h:65536", L"h:-1", L"h:4294972356", L"h:99999999999999999999999"}) {
        ZLogCapture log;
        std::wstring host;
        int port = 9;
        ZSplitHostPort(text, host, port);
        EXPECT_EQ(host, L"h") << text;
        EXPECT_EQ(port, 0) << text;
        ASSERT_EQ(log.lines().size(), 1u) << text;
        EXPECT_TRUE(log.contains(std::wstring(L"WARNING Port out of range in host text '") + text +
                                 L"', using port 0."))
            << log.lines()[0];
    }
}

TEST(ZSplitHostPort, QuotesAHostileHostTextShortAndOnOneLine) {
    ZLogCapture log;
    std::wstring host;
    int port = 0;
    ZSplitHostPort(L"h\nforged line:" + std::wstring(1000, L'9'), host, port);
    ASSERT_EQ(log.lines().size(), 1u);
    const std::wstring line = log.lines()[0];
    EXPECT_NE(line.find(L"'h?forged line:999"), std::wstring::npos) << line;
    EXPECT_NE(line.find(L"...', using port 0.\n"), std::wstring::npos) << line;
    EXPECT_LT(line.size(), 200u);
    EXPECT_EQ(line.find(L'\n'), line.size() - 1);
}

TEST(ZNetComposeHost, WritesAddressColonAndDecimalPortThatSplitReadsBack) {
    EXPECT_EQ(ZNetComposeHost(L"1.2.3.4", 5060), L"1.2.3.4:5060");
    EXPECT_EQ(ZNetComposeHost(L"0.0.0.0", 0), L"0.0.0.0:0");
    std::wstring host;
    int port = 0;
    ZSplitHostPort(ZNetComposeHost(L"192.168.1.20", 65000), host, port);
    EXPECT_EQ(host, L"192.168.1.20");
    EXPECT_EQ(port, 65000);
}

TEST(ZValidHost, RejectsOnlyTheEmptyTextAndTheNoAddressText) {
    EXPECT_FALSE(ZValidHost(L""));
    EXPECT_FALSE(ZValidHost(L"0.0.0.0:0"));
    EXPECT_TRUE(ZValidHost(L"0.0.0.0:1"));
    EXPECT_TRUE(ZValidHost(L"anything"));
}

TEST(ZUnicastHost, RefusesBroadcastMulticastNoAddressAndPortZero) {
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"192.168.1.20:5060", true},    {L"127.0.0.1:1", true},        {L"sip.example.net:5060", true},
        {L"223.255.255.255:65535", true}, {L"255.255.255.255:9", false}, {L"224.0.0.1:5060", false},
        {L"239.1.2.3:5060", false},      {L"240.0.0.1:5060", false},    {L"0.0.0.0:5060", false},
        {L"0.1.2.3:5060", false},        {L"10.0.0.1:0", false},        {L"10.0.0.1:65536", false},
        {L"10.0.0.1", false},            {L"10.0.0.1:", false},         {L":80", false},
        {L"10.0.0.1:8x", false},         {L"", false},                  {L"10.0.0.1:0000080", false},
    };
    for (const auto& [host, usable] : cases) EXPECT_EQ(ZUnicastHost(host), usable) << ZToUTF8(host);
}

TEST(ZSplitHTTPURL, ReadsHostAndPathOfHttpAddressesOnly) {
    struct Case {
        const wchar_t* url;
        const wchar_t* host;
        const wchar_t* path;
    } cases[] = {
        {L"http://h/p/q", L"h", L"/p/q"},
        {L"http://h", L"h", L"kept"},
        {L"https://h/p", L"kept", L"kept"},
        {L"HTTP://h/p", L"kept", L"kept"},
        {L"http:///p", L"kept", L"kept"},
        {L"http://upgrade.example.com:8080/zandrel/upgrade.exe?v=2", L"upgrade.example.com:8080",
         L"/zandrel/upgrade.exe?v=2"},
    };
    for (const Case& c : cases) {
        std::wstring host = L"kept", path = L"kept";
        ZSplitHTTPURL(c.url, host, path);
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(path, c.path) << c.url;
    }
}

TEST(ZSplitURL, ReadsTheNatTypeAndTheHostOfARouteEntry) {
    struct Case {
        const wchar_t* text;
        const wchar_t* scheme;
        const wchar_t* rest;
    } cases[] = {
        {L"symmetric://1.2.3.4:5", L"symmetric", L"1.2.3.4:5"},
        // The scheme's part matches before the "://" fails: it is assigned.
        {L"1.2.3.4:5", L"1.2.3.4", L"kept"},
        {L"://x", L"kept", L"kept"},
        {L"cone://", L"cone", L"kept"},
    };
    for (const Case& c : cases) {
        std::wstring scheme = L"kept", rest = L"kept";
        ZSplitURL(c.text, scheme, rest);
        EXPECT_EQ(scheme, c.scheme) << c.text;
        EXPECT_EQ(rest, c.rest) << c.text;
    }
}

TEST(ZParseCommandItem, ReadsPathActionAndArguments) {
    typedef std::map<std::wstring, std::wstring> Args;
    struct Case {
        const wchar_t* text;
        const wchar_t* path;
        Args arguments;
    } cases[] = {
        {L"/skin/window_login?open", L"/skin/window_login", {{L"", L"open"}}},
        {L"./x?a+b=1&c=", L"./x", {{L"b", L"1"}, {L"", L"c"}}},
        {L"/system?delayrestart+delay=30", L"/system", {{L"", L"delayrestart"}, {L"delay", L"30"}}},
        {L"?open", L"", {{L"", L"?open"}}},
        {L"./x", L"./x", {}},
        {L"a=1&a=2", L"", {{L"a", L"2"}}},
        {L"/p?x=a=b", L"/p", {{L"x", L"a=b"}}},
        {L"/", L"", {{L"", L"/"}}},
        {L"", L"", {}},
        {L"/p?=v", L"/p", {}},
        {L"/p?a&&+b", L"/p", {{L"", L"b"}}},
    };
    for (const Case& c : cases) {
        std::wstring path = L"stale";
        Args arguments{{L"stale", L"1"}};
        ZParseCommandItem(c.text, path, arguments);
        EXPECT_EQ(path, c.path) << c.text;
        EXPECT_EQ(arguments, c.arguments) << c.text;
    }
}

TEST(ZParseNameRect, ReadsNameAndFourSignedNumbersSkippingBlanks) {
    struct Case {
        const wchar_t* text;
        const wchar_t* name;
        ZRect rect;
        bool result;
    } cases[] = {
        {L"img( 1 , 2 ,3, 4 )", L"img", {1, 2, 3, 4}, true},
        {L"img", L"img", {0, 0, 0, 0}, false},
        {L"img(1,2,3,4)tail", L"img", {1, 2, 3, 4}, true},
        {L"img(-1,+2,3,-4)", L"img", {-1, 2, 3, -4}, true},
        {L"  my img (1,2,3,4)", L"my img", {1, 2, 3, 4}, true},
        {L"img(1,2,3)", L"img", {1, 2, 3, 0}, false},
        {L"img(1,x,3,4)", L"img", {1, 0, 0, 0}, false},
        {L"img(1,2,3,4", L"img", {1, 2, 3, 4}, false},
        {L"img(2147483648,1,1,1)", L"img", {0, 0, 0, 0}, false},
        {L"img(-2147483648,1,1,1)", L"img", {-2147483647 - 1, 1, 1, 1}, true},
        {L"(1,2,3,4)", L"kept", {0, 0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        std::wstring name = L"kept";
        ZRect rect;
        EXPECT_EQ(ZParseNameRect(c.text, name, rect), c.result) << c.text;
        EXPECT_EQ(name, c.name) << c.text;
        EXPECT_EQ(rect, c.rect) << c.text;
    }
}

TEST(ZColor, ReadsHexPairsThatTheTextIsLongEnoughFor) {
    struct Case {
        const wchar_t* text;
        ZColor color;
    } cases[] = {
        {L"#000000", {0, 0, 0, 255}},
        {L"#000000FF", {0, 0, 0, 255}},
        {L"#12", {0x12, 255, 255, 255}},
        {L"#123", {0x12, 255, 255, 255}},
        {L"#1234", {0x12, 0x34, 255, 255}},
        {L"#ECE9D8", {0xEC, 0xE9, 0xD8, 255}},
        {L"#c1d2ee80", {0xC1, 0xD2, 0xEE, 0x80}},
        {L"#zz0000", {255, 0, 0, 255}},
        {L"#", {255, 255, 255, 255}},
        {L"", {255, 0, 0, 255}},
        {L"red", {255, 0, 0, 255}},
    };
    for (const Case& c : cases) {
        const ZColor color(c.text);
        EXPECT_EQ(color, c.color) << c.text;
    }
}

namespace {

// Every parser over one text; the port must come out in range whatever it held.
void parseWithEveryParser(const std::wstring& text) {
    std::list<std::wstring> items;
    ZParseList(items, text);
    std::wstring a, b;
    ZPathSplit(text, a, b);
    ZSplitAddress(text, a, b);
    int port = -7;
    ZSplitHostPort(text, a, port);
    EXPECT_TRUE(port >= 0 && port <= 65535);
    ZSplitHTTPURL(text, a, b);
    ZSplitURL(text, a, b);
    ZValidHost(text);
    std::map<std::wstring, std::wstring> arguments;
    ZParseCommandItem(text, a, arguments);
    ZRect rect;
    ZParseNameRect(text, a, rect);
    ZColor color(text);
}

}  // namespace

// Texts from peers, servers and skins: none may crash or stop the program.
TEST(TextParsers, SurviveHostileTexts) {
    const std::wstring nasty[] = {
        std::wstring(L"a\0b:1\0", 6),
        std::wstring(100000, L'a'),
        std::wstring(100000, L':'),
        std::wstring(100000, L'+') + L"=",
        std::wstring(100000, L'='),
        std::wstring(L"/") + std::wstring(100000, L'?'),
        std::wstring(L"img") + std::wstring(100000, L'('),
        L"http://" + std::wstring(100000, L'/'),
        std::wstring(100000, L','),
        std::wstring(L"\xD800\xDFFF\xFFFF"),
        L"://",
        L"@@@@",
        L"img(1,2,3,4)(5,6,7,8)",
        L"h:-9223372036854775808",
        L"#-1-1-1-1",
    };
    ZLogCapture log;
    for (const std::wstring& text : nasty) {
        SCOPED_TRACE(testing::Message() << "text of " << text.size() << " units starting "
                                        << ZToUTF8(text.substr(0, 20)));
        EXPECT_NO_THROW(parseWithEveryParser(text));
    }
}
