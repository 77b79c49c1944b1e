// Lists and tables over store variables, clicked and drawn into a memory layer.
#include "ZNodeTestKit.h"

#include <algorithm>
#include <cstring>

#include "ZFont.h"
#include "ZListNode.h"
#include "ZTableNode.h"

using namespace zantest;

namespace {

const wchar_t* const kRed = L"16,x,#FF0000FF";
const wchar_t* const kGreen = L"16,x,#00FF00FF";

// Pixels of the area with visible ink mostly of one channel (0 red, 1 green).
int inkOf(const Layer& layer, const ZRect& area, int channel) {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x) {
            const unsigned char* p = layer.pixel(x, y);
            if (p[3] > 128 && p[channel] > 128 && p[(channel + 1) % 3] < 64 && p[(channel + 2) % 3] < 64) ++count;
        }
    return count;
}

// Text keeps its colour only over an opaque background.
Layer whiteLayer(int width, int height) {
    Layer layer(width, height);
    std::fill(layer.pixels.begin(), layer.pixels.end(), 255);
    return layer;
}

bool isBlack(const unsigned char* p) { return p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 255; }

// Whether no watch of the name under the listener and code was registered:
// removing one then logs that the variable was not watched.
bool unwatchedBefore(ZInstance& instance, const std::wstring& name, ZNotifyHandle* listener, unsigned int code) {
    ZLogCapture log;
    instance.unwatch(name, listener, code);
    const bool wasNot = log.contains(L"when it wasn't being watched");
    if (!wasNot) instance.watch(name, listener, code);  // put it back
    return wasNot;
}

class ListTest : public NodeTest {
protected:
    ZListNode* makeList(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> extra = {}) {
        std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> base = {
            {L"font", kRed}, {L"mouseoverfont", kGreen}, {L"list", L"Red, Green;Blue"}, {L"onselect", L"(picked)"}};
        ZAttributeList attributes;
        for (const auto& [name, value] : base) attributes.emplace_back(name, value);
        for (const auto& [name, value] : extra) attributes.emplace_back(name, value);
        list = add<ZListNode>(nullptr, L"List");
        list->setAttributes(attributes);
        return list;
    }
    static ZRect row(int i) { return ZRect{1, i * 16 + 1, 119, i * 16 + 15}; }

    ZListNode* list = nullptr;
    Layer layer = whiteLayer(120, 80);
};

}  // namespace

TEST_F(ListTest, ShowsOneRowPerItemWithTheHoveredOneInTheSecondFont) {
    makeList();
    EXPECT_TRUE(update());
    // Nothing chosen and no variable: the first item.
    EXPECT_EQ(list->getSelection(), L"Red");
    render(layer);
    // The selected row is inverted: its empty background turns black.
    EXPECT_EQ(layer.pixel(100, 8)[0], 0);
    EXPECT_EQ(layer.pixel(100, 24)[0], 255);
    EXPECT_GT(inkOf(layer, row(1), 0), 10);
    EXPECT_GT(inkOf(layer, row(2), 0), 10);
    EXPECT_EQ(inkOf(layer, ZRect{1, 49, 119, 79}, 0), 0);
    // The frame goes round the whole node.
    EXPECT_TRUE(isBlack(layer.pixel(0, 70)));
    EXPECT_TRUE(isBlack(layer.pixel(119, 79)));

    EXPECT_EQ(list->onMouseMove(nullptr, 5, 20), 1);
    EXPECT_EQ(list->onMouseMove(nullptr, 90, 30), 0);  // same row, any column
    EXPECT_EQ(list->getMouseover(), L"Green");
    Layer hovered = whiteLayer(120, 80);
    render(hovered);
    EXPECT_EQ(inkOf(hovered, row(1), 0), 0);
    EXPECT_GT(inkOf(hovered, row(1), 1), 10);
    EXPECT_EQ(list->onMouseoverChanged(false), 1);
    EXPECT_EQ(list->onMouseoverChanged(false), 0);
    Layer left = whiteLayer(120, 80);
    render(left);
    EXPECT_EQ(left.pixels, layer.pixels);
}

TEST_F(ListTest, ClicksStoreTheItemAndRunTheCommandEveryTime) {
    makeList({{L"varname", L"Chosen_Colour"}, {L"persist", L"true"}});
    update();
    render(layer);
    struct Click {
        int y;
        int result;
        std::wstring selected;
        int commands;
    } clicks[] = {
        {40, 1, L"Blue", 1},
        {40, 0, L"Blue", 2},   // the same row again: stored and run again
        {48, 0, L"Blue", 2},   // below the last row
        {-1, 0, L"Blue", 2},   // above the first
        {-15, 0, L"Blue", 2},
    };
    for (const Click& click : clicks) {
        SCOPED_TRACE(click.y);
        instance.set(L"Chosen_Colour", L"elsewhere", true);
        EXPECT_EQ(list->onLButtonDown(nullptr, 50, click.y), click.result);
        EXPECT_EQ(list->getSelection(), click.selected);
        EXPECT_EQ(static_cast<int>(engine.commands.size()), click.commands);
        // A click on a row wrote the item; one outside left the variable alone.
        EXPECT_EQ(instance.get(L"Chosen_Colour"), click.y == 40 ? L"Blue" : L"elsewhere");
    }
    EXPECT_EQ(engine.commands.front(), L"(picked)");
    list->onLButtonDown(nullptr, 50, 40);
    instance.save();
    ZInstance reread(ZFromUTF8(dir.file("settings.ini")));
    EXPECT_EQ(reread.get(L"Chosen_Colour"), L"Blue");
}

TEST_F(ListTest, TheVariableAndSelectAttributeDecideTheSelection) {
    instance.set(L"Chosen_Colour", L"green", false);
    makeList({{L"varname", L"Chosen_Colour"}});
    update();
    EXPECT_EQ(list->getSelection(), L"green");
    render(layer);
    EXPECT_EQ(layer.pixel(100, 24)[0], 0);  // "Green" is inverted
    EXPECT_EQ(layer.pixel(100, 8)[0], 255);
    // "$select" overrides the variable in every pass it is set, without writing it.
    list->setAttribute(L"select", L"Blue");
    EXPECT_TRUE(update());
    EXPECT_TRUE(update());
    EXPECT_EQ(list->getSelection(), L"Blue");
    EXPECT_EQ(instance.get(L"Chosen_Colour"), L"green");
}

TEST_F(ListTest, AListVariableIsWatchedAndReadAnew) {
    instance.set(L"Devices", L"Mic A;Mic B", false);
    list = add<ZListNode>(nullptr, L"List", {{L"font", kRed}, {L"listname", L"Devices"}});
    update();
    int width = 0, height = 0;
    list->calcMinSize(width, height);
    EXPECT_EQ(width, 10000);
    EXPECT_EQ(height, 32);
    ZNotifyHandle* listener = engine.getNotifyListener();
    EXPECT_FALSE(unwatchedBefore(instance, L"Devices", listener, 2));

    instance.set(L"Devices", L"Mic A;Mic B;Headset", false);
    list->onLButtonDown(nullptr, 5, 40);
    EXPECT_EQ(list->getSelection(), L"Headset");
    // A new list name moves the watch.
    list->setAttribute(L"listname", L"Cameras");
    EXPECT_TRUE(update());
    EXPECT_TRUE(unwatchedBefore(instance, L"Devices", listener, 2));
    EXPECT_FALSE(unwatchedBefore(instance, L"Cameras", listener, 2));
    // An unset list has no rows; the frame is still drawn and clicks do nothing.
    EXPECT_EQ(list->onLButtonDown(nullptr, 5, 5), 0);
    render(layer);
    EXPECT_TRUE(isBlack(layer.pixel(0, 0)));
    EXPECT_EQ(inkOf(layer, ZRect{1, 1, 119, 79}, 0), 0);
}

// ---- tables -------------------------------------------------------------------------

namespace {

// Records each command with the issuing table's selection at that moment.
class SelectionEngine : public RecordingEngine {
public:
    void executeCommand(const std::wstring& command, ZTemplateNode* node, int flags) override {
        RecordingEngine::executeCommand(command, node, flags);
        auto* table = dynamic_cast<IZTableControl*>(node);
        selections.push_back(table ? table->getSelection() : L"(no table)");
    }
    std::vector<std::wstring> selections;
};

class TableTest : public NodeTest {
protected:
    TableTest() {
        instance.set(L"File_Recv_List", L"t1,t2", false);
        instance.set(L"t1_Filename", L"a.txt", false);
        instance.set(L"t2_Filename", L"b.bin", false);
        instance.set(L"t2_Size", L"2048", false);
    }
    ZTableNode* makeTable(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> extra = {}) {
        std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> base = {
            {L"prefixlistsrc", L"File_Recv_List"}, {L"suffixlist", L"_Filename,_Size"},
            {L"headerfont", L"16"},           {L"cellfont", kRed},
            {L"mouseoverfont", kGreen}};
        ZAttributeList attributes;
        for (const auto& [name, value] : base) attributes.emplace_back(name, value);
        for (const auto& [name, value] : extra) attributes.emplace_back(name, value);
        table = new ZTableNode(&instance, &spy, nullptr);
        table->setName(L"Table");
        table->setAttributes(attributes);
        root = table;
        update();
        return table;
    }
    // Renders with the table's area starting at row top of the layer.
    void renderAt(Layer& layer, int top) {
        ZImageStack stack;
        stack.pushLayer(layer.format, layer.pixels.data(), layer.handlers.data());
        stack.pushTarget(ZRect{0, top, layer.format.width, layer.format.height});
        root->render(stack);
    }
    // Whether the cell shows the text in the font as a cell is drawn: outlined,
    // the text inside.
    static bool cellShows(const Layer& layer, const ZRect& cell, const std::wstring& text, const wchar_t* spec) {
        Layer expected(layer.format.width, layer.format.height);
        ZFont font;
        font.update(spec);
        ZImageStack stack;
        stack.pushLayer(expected.format, expected.pixels.data(), expected.handlers.data());
        stack.drawRect(cell, ZColor(L"#000000FF"));
        stack.pushTarget(ZRect{cell.left + ZTableNode::kCellPadding, cell.top, cell.right, cell.bottom});
        stack.drawText(text, font);
        for (int y = cell.top; y < cell.bottom; ++y)
            if (std::memcmp(layer.pixel(cell.left, y), expected.pixel(cell.left, y), 4 * (cell.right - cell.left)))
                return false;
        return true;
    }

    SelectionEngine spy;
    ZTableNode* table = nullptr;
};

}  // namespace

TEST_F(TableTest, ShowsAColumnPerSuffixAndARowPerPrefix) {
    makeTable();
    Layer layer(300, 100);
    renderAt(layer, 0);
    // Rows of 16 + 4 pixels, columns of 300 / 3.
    EXPECT_TRUE(cellShows(layer, ZRect{200, 40, 300, 60}, L"2048", kRed));
    EXPECT_TRUE(cellShows(layer, ZRect{100, 20, 200, 40}, L"a.txt", kRed));
    EXPECT_TRUE(cellShows(layer, ZRect{0, 40, 100, 60}, L"t2", kRed));
    EXPECT_TRUE(cellShows(layer, ZRect{200, 20, 300, 40}, L"", kRed));  // unset: empty
    // The header has no outline, and there is no row after the last.
    EXPECT_EQ(layer.pixel(0, 10)[3], 0);
    EXPECT_EQ(layer.pixel(0, 70)[3], 0);
    EXPECT_EQ(layer.handlers[90 * 300 + 10], static_cast<IZInputHandler*>(table));
    int width = 5, height = 500;
    table->calcMinSize(width, height);
    EXPECT_EQ(width, 10000);
    EXPECT_EQ(height, 60);  // assigned, not raised

    // Cell watches follow the prefix list (under the pass's listener).
    ZNotifyHandle* listener = engine.getNotifyListener();
    EXPECT_FALSE(unwatchedBefore(instance, L"File_Recv_List", listener, 2));
    EXPECT_FALSE(unwatchedBefore(instance, L"t2_Size", listener, 1));
    EXPECT_TRUE(unwatchedBefore(instance, L"t3_Size", listener, 1));
    instance.set(L"File_Recv_List", L"t2,t3", false);
    EXPECT_TRUE(update());
    EXPECT_FALSE(unwatchedBefore(instance, L"t3_Size", listener, 1));
    EXPECT_TRUE(unwatchedBefore(instance, L"t1_Size", listener, 1));
    EXPECT_FALSE(update());

    // An empty list shows one "(empty)" row.
    instance.set(L"File_Recv_List", L"", false);
    EXPECT_TRUE(update());
    Layer empty(300, 100);
    renderAt(empty, 0);
    EXPECT_TRUE(cellShows(empty, ZRect{0, 20, 300, 40}, L"(empty)", kRed));
    // Its text stands clear of the outline, so the "(" is not taken for it.
    int touching = 0;
    for (int y = 21; y < 39; ++y)
        for (int x = 1; x < ZTableNode::kCellPadding; ++x) touching += empty.pixel(x, y)[3] != 0;
    EXPECT_EQ(touching, 0);
}

TEST_F(TableTest, ClicksSelectRowsAndIssueCommandsAfterSelecting) {
    makeTable({{L"onrightclick", L"(menu)"}, {L"ondblclk", L"(open)"}});
    Layer layer(300, 100);
    renderAt(layer, 10);  // the table's top is window row 10
    struct Event {
        enum { Down, Double, Right, Move } kind;
        int y;
        int result;
        std::wstring selected;
        std::wstring command;  // with the selection it saw; empty: none
    } events[] = {
        {Event::Right, 35, 1, L"t1", L"(menu)"},
        {Event::Right, 36, 0, L"t1", L"(menu)"},
        {Event::Double, 55, 1, L"t2", L"(open)"},
        {Event::Down, 15, 1, L"", L""},       // the header
        {Event::Down, 55, 1, L"t2", L""},
        {Event::Down, 5, 1, L"", L""},        // above the table
        {Event::Double, 75, 0, L"", L""},     // below the last row
    };
    for (const Event& event : events) {
        SCOPED_TRACE(event.y);
        spy.commands.clear();
        spy.selections.clear();
        int result = 0;
        switch (event.kind) {
            case Event::Down: result = table->onLButtonDown(nullptr, 0, event.y); break;
            case Event::Double: result = table->onLButtonDblClk(nullptr, 0, event.y); break;
            case Event::Right: result = table->onRButtonDown(nullptr, 0, event.y); break;
            case Event::Move: result = table->onMouseMove(nullptr, 0, event.y); break;
        }
        EXPECT_EQ(result, event.result);
        EXPECT_EQ(table->getSelection(), event.selected);
        if (event.command.empty()) {
            EXPECT_TRUE(spy.commands.empty());
        } else {
            EXPECT_EQ(spy.commands, (std::vector<std::wstring>{event.command}));
            EXPECT_EQ(spy.selections, (std::vector<std::wstring>{event.selected}));
        }
    }

    // Hovering draws the row in the second font; leaving restores it.
    EXPECT_EQ(table->onMouseMove(nullptr, 0, 55), 1);
    EXPECT_EQ(table->getMouseover(), L"t2");
    Layer hovered(300, 100);
    renderAt(hovered, 10);
    EXPECT_TRUE(cellShows(hovered, ZRect{0, 50, 100, 70}, L"t2", kGreen));
    EXPECT_EQ(table->onMouseoverChanged(false), 1);
    EXPECT_EQ(table->onMouseoverChanged(false), 0);
    // The selected row is inverted across the whole width.
    table->onLButtonDown(nullptr, 0, 35);
    Layer selected(300, 100);
    renderAt(selected, 10);
    EXPECT_EQ(selected.pixel(150, 35)[0], 255);
    EXPECT_EQ(selected.pixel(150, 55)[0], 0);
}

TEST_F(TableTest, WithoutCommandsItIgnoresThePointer) {
    makeTable();
    Layer layer(300, 100);
    renderAt(layer, 0);
    EXPECT_EQ(table->onLButtonDown(nullptr, 0, 30), 0);
    EXPECT_EQ(table->onRButtonDown(nullptr, 0, 30), 0);
    EXPECT_EQ(table->onLButtonDblClk(nullptr, 0, 30), 0);
    EXPECT_EQ(table->onMouseMove(nullptr, 0, 30), 0);
    EXPECT_EQ(table->getSelection(), L"");
    EXPECT_EQ(table->getMouseover(), L"");
    EXPECT_TRUE(spy.commands.empty());
}

TEST_F(TableTest, AHeaderFontOfNegativeSizeStillGivesRowsOfOnePixel) {
    instance.set(L"File_Recv_List", L"t1,t2,t3", false);
    makeTable({{L"headerfont", L"-4"}, {L"onrightclick", L"(menu)"}});
    EXPECT_EQ(table->getRowHeight(), 1);
    int width = 0, height = 0;
    table->calcMinSize(width, height);
    EXPECT_EQ(height, 4);
    Layer layer(300, 100);
    renderAt(layer, 10);
    struct Case {
        int y;
        std::wstring prefix;
    } cases[] = {{9, L""}, {8, L""}, {-2000000000, L""}, {10, L""}, {11, L"t1"}, {13, L"t3"}, {14, L""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.y);
        table->onRButtonDown(nullptr, 0, c.y);
        EXPECT_EQ(table->getSelection(), c.prefix);
    }
}

TEST_F(TableTest, HeadersNameTheColumnsForAPersonAndThePrefixColumnCanBeLeftOut) {
    makeTable({{L"headerlist", L"Name,Bytes"}, {L"prefixcolumn", L"false"}, {L"title", L"Receiving"}});
    Layer layer(300, 100);
    renderAt(layer, 0);
    // Two columns of 300 / 2: the identifiers are not shown, the first
    // suffix's values start at the left.
    EXPECT_TRUE(cellShows(layer, ZRect{0, 20, 150, 40}, L"a.txt", kRed));
    EXPECT_TRUE(cellShows(layer, ZRect{150, 40, 300, 60}, L"2048", kRed));
    // The header shows the names given, not the suffixes (and no title).
    Layer expected(300, 100);
    ZFont font;
    font.update(L"16");
    ZImageStack stack;
    stack.pushLayer(expected.format, expected.pixels.data(), expected.handlers.data());
    for (const auto& [left, text] : {std::pair<int, const wchar_t*>{0, L"Name"}, {150, L"Bytes"}}) {
        stack.pushTarget(ZRect{left + ZTableNode::kCellPadding, 0, left + 150, 20});
        stack.drawText(text, font);
        stack.pop();
    }
    for (int y = 0; y < 20; ++y) EXPECT_EQ(std::memcmp(layer.pixel(0, y), expected.pixel(0, y), 4 * 300), 0) << y;
}
