// The chat history over a store queue: reading, fonts, names, scrolling,
// selection where the text is drawn, and messages a peer made too long or
// not UTF-8.
#include "ZNodeTestKit.h"

#include <algorithm>

#include "ZClientSeams.h"
#include "ZHTTPHeaders.h"
#include "ZHistoryNode.h"

using namespace zantest;

namespace {

const std::wstring kQueue = L"bob@other.org_Chat_Queue";

class HistoryNodeTest : public NodeTest {
protected:
    HistoryNodeTest() {
        instance.set(L"Local_User_GUID", L"me@zandrel.net", false);
        history = add<ZHistoryNode>(nullptr, L"History",
                                    {{L"src", kQueue.c_str()},
                                     {L"basefont", L"16,,#000000FF"},
                                     {L"localtitlefont", L"16,b,#0000FFFF"},
                                     {L"remotetitlefont", L"16,b,#FF0000FF"},
                                     {L"windowpath", L"/skin/window_chat"},
                                     {L"ondblclk", L"(/skin/window_chat?open)"}});
        update();
    }
    void post(const std::wstring& from, const std::string& text) {
        ZHTTPHeaders message(L"CHAT");
        message.set(L"From", from);
        if (!text.empty()) message.addContent(text);
        instance.enqueue(kQueue, message.serialize());
    }
    // Rows of the layer that hold any drawn pixel.
    std::pair<int, int> inkRows(const Layer& layer) const {
        int first = -1, last = -1;
        for (int y = 0; y < layer.format.height; ++y)
            for (int x = 0; x < layer.format.width; ++x)
                if (layer.pixel(x, y)[3] != 0) {
                    if (first < 0) first = y;
                    last = y;
                    break;
                }
        return {first, last};
    }
    int lineHeight() const {
        const ZRect& r = history->getBlocks().at(0).rect;
        return r.bottom - r.top;
    }

    ZHistoryNode* history = nullptr;
};

}  // namespace

TEST_F(HistoryNodeTest, EmptyQueueDrawsNothingAndSelectsNothing) {
    Layer layer(200, 100);
    render(layer);
    EXPECT_EQ(inkRows(layer).first, -1);
    EXPECT_EQ(layer.handlers[50 * 200 + 100], history);
    EXPECT_EQ(history->onLButtonDown(nullptr, 100, 50), 0);
    EXPECT_EQ(history->getSelected(), -1);
    EXPECT_FALSE(update());
}

TEST_F(HistoryNodeTest, NewMessagesBecomeBlocksWithFontsAndNames) {
    post(L"ME@Zandrel.net", "hi");      // the local user, any case: shown by the user part
    post(L"bob@other.org", "hello\nthere");  // another domain: shown whole
    EXPECT_TRUE(update());
    EXPECT_EQ(engine.commands, (std::vector<std::wstring>(2, L"(/skin/window_chat?flash)")));
    const auto& blocks = history->getBlocks();
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[0].text, L"ME: hi");
    EXPECT_EQ(blocks[1].text, L"ME");
    EXPECT_EQ(blocks[2].text, L"bob@other.org: hello\nthere");
    EXPECT_EQ(blocks[3].text, L"bob@other.org");
    EXPECT_EQ(blocks[0].index, 0);
    EXPECT_EQ(blocks[3].index, 1);
    EXPECT_EQ(blocks[0].font, blocks[2].font);
    EXPECT_NE(blocks[1].font, blocks[3].font);
    // A message without content, and nothing new at the next pass.
    post(L"", "");
    EXPECT_TRUE(update());
    EXPECT_EQ(history->getBlocks().at(4).text, L": ");
    EXPECT_FALSE(update());
    EXPECT_EQ(engine.commands.size(), 3u);

    Layer layer(300, 200);
    render(layer);
    // Each line lies under the one before; the two-line message is twice as tall.
    const int h = lineHeight();
    EXPECT_GT(h, 0);
    EXPECT_EQ(blocks[2].rect.top, blocks[0].rect.bottom);
    EXPECT_EQ(blocks[2].rect.bottom - blocks[2].rect.top, 2 * h);
    EXPECT_EQ(blocks[3].rect.top, blocks[2].rect.top);
    EXPECT_EQ(blocks[0].rect.right, 300);
    EXPECT_LT(blocks[1].rect.right, 300);
    // The names are drawn in their own colours over the line.
    auto count = [&](int r, int g, int b, int top, int bottom) {
        int n = 0;
        for (int y = top; y < bottom; ++y)
            for (int x = 0; x < 300; ++x) {
                const unsigned char* p = layer.pixel(x, y);
                n += p[0] == r && p[1] == g && p[2] == b && p[3] == 255;
            }
        return n;
    };
    EXPECT_GT(count(0, 0, 255, 0, h), 5);
    EXPECT_EQ(count(255, 0, 0, 0, h), 0);
    EXPECT_GT(count(255, 0, 0, h, 2 * h), 5);
    EXPECT_EQ(history->getLayoutHeight(), blocks[4].rect.bottom);
}

TEST_F(HistoryNodeTest, ScrollFractionShowsTopOrBottom) {
    for (int i = 0; i < 20; ++i) post(L"bob@other.org", "message " + std::to_string(i));
    update();
    struct Case {
        const wchar_t* frac;
        int messages;  // in the queue when drawn
        bool atBottom;  // else the first line starts at the top
    } cases[] = {{L"0", 20, false}, {L"1000", 20, true}, {L"500", 20, false}, {L"99999", 20, true}, {L"-5", 20, false}};
    for (const Case& c : cases) {
        history->setAttribute(L"vscrollfrac", c.frac);
        update();
        Layer layer(200, 100);
        render(layer);
        const int h = lineHeight();
        const auto [first, last] = inkRows(layer);
        const int overflow = history->getLayoutHeight() - 100;
        ASSERT_GT(overflow, 0);
        if (c.atBottom) {
            EXPECT_EQ(history->getOffset(), overflow) << c.frac;
            EXPECT_EQ(history->getBlocks().back().rect.bottom - history->getOffset(), 100) << c.frac;
            EXPECT_GT(last, 100 - h) << c.frac;
        } else if (std::wstring(c.frac) == L"500") {
            EXPECT_EQ(history->getOffset(), overflow / 2);
        } else {
            EXPECT_EQ(history->getOffset(), 0) << c.frac;
            EXPECT_LT(first, h) << c.frac;
        }
    }
    // Text shorter than the node never scrolls.
    Layer tall(200, 1000);
    history->setAttribute(L"vscrollfrac", L"1000");
    update();
    render(tall);
    EXPECT_EQ(history->getOffset(), 0);
    EXPECT_LT(inkRows(tall).first, lineHeight());
}

TEST_F(HistoryNodeTest, ClicksSelectTheMessageDrawnUnderThem) {
    for (int i = 0; i < 20; ++i) post(L"bob@other.org", "message " + std::to_string(i));
    history->setAttribute(L"vscrollfrac", L"1000");
    update();
    Layer layer(200, 100);
    render(layer);
    const int h = lineHeight();
    ASSERT_GT(history->getOffset(), h);
    // The last line is drawn at the bottom: a click there selects message 19.
    const int x = 10, y = 100 - h / 2;
    const std::vector<unsigned char> before(layer.pixel(0, y), layer.pixel(0, y) + 200 * 4);
    EXPECT_EQ(history->onLButtonDown(nullptr, x, y), 1);
    EXPECT_EQ(history->getSelected(), 19);
    EXPECT_EQ(history->onLButtonDown(nullptr, x, y), 0);
    // Drawn again, that row is the one inverted.
    Layer again(200, 100);
    render(again);
    const std::vector<unsigned char> after(again.pixel(0, y), again.pixel(0, y) + 200 * 4);
    EXPECT_NE(before, after);
    const std::vector<unsigned char> aboveBefore(layer.pixel(0, y - h), layer.pixel(0, y - h) + 200 * 4);
    const std::vector<unsigned char> aboveAfter(again.pixel(0, y - h), again.pixel(0, y - h) + 200 * 4);
    EXPECT_EQ(aboveBefore, aboveAfter);
    // The top row of the view is the message the offset puts there.
    EXPECT_EQ(history->onLButtonDown(nullptr, x, 1), 1);
    EXPECT_EQ(history->getSelected(), (history->getOffset() + 1) / h);
    // A double click selects and runs the command; a click below all text clears.
    engine.commands.clear();
    EXPECT_EQ(history->onLButtonDblClk(nullptr, x, y), 1);
    EXPECT_EQ(engine.commands, (std::vector<std::wstring>{L"(/skin/window_chat?open)"}));
    Layer tall(200, 1000);
    history->setAttribute(L"vscrollfrac", L"0");
    update();
    render(tall);
    EXPECT_EQ(history->onLButtonDown(nullptr, x, 999), 1);
    EXPECT_EQ(history->getSelected(), -1);
}

TEST_F(HistoryNodeTest, HugeMessagesAreCutOnceWithAWarning) {
    std::string lines, word;
    while (lines.size() < 65536) lines += "line\n";
    word.assign(65536, 'w');
    struct Case {
        std::string text;
        int breaks;  // line breaks left in the shown text
    } cases[] = {{lines, ZHistoryNode::kMaxMessageLines - 1}, {word, 0}};
    int index = 0;
    for (const Case& c : cases) {
        ZLogCapture log;
        post(L"bob@other.org", c.text);
        update();
        EXPECT_EQ(log.count(L"too long to show whole"), 1);
        const ZHistoryNode::Block& line = history->getBlocks().at(index * 2);
        EXPECT_LE(line.text.size(), ZHistoryNode::kMaxMessageUnits);
        EXPECT_EQ(std::count(line.text.begin(), line.text.end(), L'\n'), c.breaks);
        EXPECT_EQ(line.text.substr(line.text.size() - 3), L"...");
        ++index;
    }
    Layer layer(200, 100);
    render(layer);
    const ZRect& first = history->getBlocks().at(0).rect;
    const ZRect& second = history->getBlocks().at(2).rect;
    EXPECT_EQ(first.bottom - first.top, ZHistoryNode::kMaxMessageLines * (second.bottom - second.top));
    // A message just within the limits is shown whole, without a warning.
    ZLogCapture log;
    std::string fits;
    for (int i = 0; i < ZHistoryNode::kMaxMessageLines - 1; ++i) fits += "x\r\n";
    post(L"x", fits + "end");
    update();
    EXPECT_EQ(log.count(L"too long to show whole"), 0);
    EXPECT_EQ(history->getBlocks().at(4).text, L"x: " + ZFromUTF8(fits) + L"end");
}

TEST_F(HistoryNodeTest, BytesThatAreNotUTF8ShowAsReplacementCharacters) {
    struct Case {
        std::string bytes;
        std::wstring shown;
    } cases[] = {
        {"a\xFF" "b", L"a\xFFFD" L"b"},
        {"\xC0\xAF", L"\xFFFD\xFFFD"},              // an overlong form
        {"\xE2\x82", L"\xFFFD"},                    // cut short
        {"\xED\xA0\x80", L"\xFFFD\xFFFD\xFFFD"},    // a surrogate
        {"\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},  // above U+10FFFF
        {"\xE2\x82\xAC", L"\x20AC"},
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},
    };
    int index = 0;
    for (const Case& c : cases) {
        post(L"bob@other.org", c.bytes);
        update();
        EXPECT_EQ(history->getBlocks().at(index * 2).text, L"bob@other.org: " + c.shown) << index;
        ++index;
    }
}

namespace {

// One history node with the fonts given, outside the fixture, so a table of
// font pairs can each have their own.
class HistoryRig : public NodeTest {
public:
    HistoryRig(const wchar_t* base, const wchar_t* title) {
        instance.set(L"Local_User_GUID", L"me@zandrel.net", false);
        history = add<ZHistoryNode>(nullptr, L"History",
                                    {{L"src", kQueue.c_str()},
                                     {L"basefont", base},
                                     {L"localtitlefont", title},
                                     {L"remotetitlefont", title},
                                     {L"windowpath", L"/skin/window_chat"}});
        update();
    }
    void TestBody() override {}
    using NodeTest::instance;
    using NodeTest::render;
    using NodeTest::update;
    ZHistoryNode* history = nullptr;
};

}  // namespace

TEST(HistoryNodeNames, TheNameReadsCleanlyOverTheLineWhateverTheTwoFontsWidths) {
    // Base font black, title font blue: in the name's place no black ink may
    // show (the base font's copy of the name or its colon), and the message
    // itself shows after it.
    const std::pair<const wchar_t*, const wchar_t*> fonts[] = {
        {L"16,,#000000FF", L"16,b,#0000FFFF"},  // the same size, the name bold and wider
        {L"22,,#000000FF", L"11,b,#0000FFFF"},  // a wide base font under a narrow name
        {L"11,,#000000FF", L"22,b,#0000FFFF"},  // a narrow base font under a wide name
    };
    for (const auto& [base, title] : fonts) {
        HistoryRig rig(base, title);
        ZHTTPHeaders message(L"CHAT");
        message.set(L"From", L"bob@zandrel.net");
        message.addContent(std::string("hello"));
        rig.instance.enqueue(kQueue, message.serialize());
        rig.update();
        Layer layer(300, 100);
        rig.render(layer);
        const auto& blocks = rig.history->getBlocks();
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(blocks[0].text, L"bob: hello");
        const ZRect name = blocks[1].rect;
        const ZRect line = blocks[0].rect;
        int baseInName = 0, nameInk = 0, baseAfter = 0;
        for (int y = line.top; y < std::min(line.bottom, 100); ++y)
            for (int x = 0; x < 300; ++x) {
                const unsigned char* p = layer.pixel(x, y);
                if (p[3] == 0) continue;
                const bool black = p[0] == 0 && p[1] == 0 && p[2] == 0;
                if (x < name.right) {
                    baseInName += black;
                    nameInk += p[2] > 0;
                } else {
                    baseAfter += black;
                }
            }
        EXPECT_EQ(baseInName, 0) << ZToUTF8(base) << " under " << ZToUTF8(title);
        EXPECT_GT(nameInk, 5) << ZToUTF8(title);
        EXPECT_GT(baseAfter, 5) << ZToUTF8(base);
    }
}

TEST_F(HistoryNodeTest, AFloodOfChatsKeepsOnlyTheNewestInTheQueueAndTheView) {
    // A buddy's 1500 chats of 5 KB, queued the way received chats are, in
    // bursts the view reads between renders (each burst more than the queue
    // keeps, so the view misses some).
    const std::string text(5000, 'c');
    Layer layer(200, 100);
    for (int i = 0; i < 1500; ++i) {
        ZHTTPHeaders message(L"CHAT");
        message.set(L"From", L"bob@other.org");
        message.addContent(std::to_string(i) + " " + text);
        ZSkinQueueCHAT(&instance, L"bob@other.org", message);
        if (i % 400 == 0) {
            update();
            render(layer);
        }
    }
    update();
    EXPECT_LE(instance.length(kQueue), ZCHAT_QUEUE_MAX_MESSAGES);
    std::size_t queued = 0;
    std::string item;
    for (int i = 0; instance.index(kQueue, i, item); ++i) queued += item.size();
    EXPECT_LE(queued, ZCHAT_QUEUE_MAX_BYTES);
    EXPECT_GE(queued, ZCHAT_QUEUE_MAX_BYTES - 6000);

    const auto& blocks = history->getBlocks();
    ASSERT_LE(blocks.size(), 2 * ZHistoryNode::kMaxMessages);
    ASSERT_FALSE(blocks.empty());
    // Messages each once and in order, numbered as in the queue, and the
    // newest all of what the queue holds.
    EXPECT_EQ(blocks.back().index, 1499);
    EXPECT_EQ(blocks[blocks.size() - 2].text.rfind(L"bob@other.org: 1499 ", 0), 0u);
    for (std::size_t i = 2; i < blocks.size(); i += 2) EXPECT_GT(blocks[i].index, blocks[i - 2].index);
    const std::size_t held = instance.length(kQueue);
    ASSERT_LE(2 * held, blocks.size());
    EXPECT_EQ(blocks[blocks.size() - 2 * held].index, 1500 - static_cast<int>(held));
    // What stayed laid out still starts at the top, one message under the other.
    render(layer);
    EXPECT_EQ(blocks[0].rect.top, 0);
    for (std::size_t i = 2; i < blocks.size(); i += 2) EXPECT_EQ(blocks[i].rect.top, blocks[i - 2].rect.bottom);
    EXPECT_EQ(history->getLayoutHeight(), blocks[blocks.size() - 2].rect.bottom);
}
