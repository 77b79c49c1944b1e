// Rows, columns, cells and borders laying out probes of known minimum sizes.
#include "ZNodeTestKit.h"

#include "ZBorderNode.h"
#include "ZCellNode.h"
#include "ZRowNode.h"

using namespace zantest;

namespace {

struct CellSpec {
    int minWidth;
    const wchar_t* extra;
    const wchar_t* align;
    const wchar_t* fixedWidth;
};

struct RowCase {
    const char* name;
    int width;
    std::vector<CellSpec> cells;
    std::vector<ZRect> expected;  // where each cell's probe is drawn
};

class LayoutTest : public NodeTest {};

}  // namespace

TEST_F(LayoutTest, RowsShareRoomByWeightAndCellsPlaceTheirContent) {
    const RowCase cases[] = {
        {"no weights: the last cell takes the spare room", 100,
         {{10, L"", L"", L""}, {20, L"", L"", L""}, {30, L"", L"", L""}},
         {{0, 0, 10, 10}, {10, 0, 30, 10}, {30, 0, 60, 10}}},
        {"weights 1,1,1 share 10 as 3,3,4", 40,
         {{10, L"1", L"", L""}, {10, L"1", L"", L""}, {10, L"1", L"", L""}},
         {{0, 0, 13, 10}, {13, 0, 26, 10}, {26, 0, 40, 10}}},
        {"weights 50,0,0: the first takes everything", 100,
         {{10, L"50", L"", L""}, {10, L"0", L"", L""}, {10, L"", L"", L""}},
         {{0, 0, 80, 10}, {80, 0, 90, 10}, {90, 0, 100, 10}}},
        {"250 counts as 100, a negative weight as 0", 100,
         {{10, L"250", L"", L""}, {10, L"-5", L"", L""}, {10, L"100", L"", L""}},
         {{0, 0, 45, 10}, {45, 0, 55, 10}, {55, 0, 100, 10}}},
        {"a deficit shrinks only the last cell", 35,
         {{10, L"", L"", L""}, {20, L"", L"", L""}, {30, L"", L"", L""}},
         {{0, 0, 10, 10}, {10, 0, 30, 10}, {30, 0, 35, 10}}},
        {"a fixed width of 40 whatever the alignment", 100,
         {{10, L"", L"right", L"40"}, {10, L"", L"", L""}},
         {{0, 0, 40, 10}, {40, 0, 50, 10}}},
        {"centred content 20 wide in a 25-pixel slot starts at 2", 25,
         {{20, L"", L"center", L""}},
         {{2, 0, 22, 10}}},
        {"right-aligned content", 25,
         {{20, L"", L"RIGHT", L""}},
         {{5, 0, 25, 10}}},
        {"an extra weight fills the slot whatever the alignment", 50,
         {{10, L"1", L"center", L""}},
         {{0, 0, 50, 10}}},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.name);
        delete root;
        root = nullptr;
        auto* row = add<ZRowNode>(nullptr, L"Row");
        std::vector<ProbeNode*> probes;
        for (const CellSpec& spec : c.cells) {
            auto* cell = add<ZCellNode>(row, L"Cell",
                                        {{L"extra", spec.extra}, {L"align", spec.align}, {L"fixedwidth", spec.fixedWidth}});
            probes.push_back(probe(cell, spec.minWidth, 10));
        }
        update();
        Layer layer(c.width, 10);
        render(layer);
        for (size_t i = 0; i < probes.size(); ++i) EXPECT_EQ(probes[i]->drawn, c.expected[i]) << "cell " << i;
    }
}

TEST_F(LayoutTest, ColumnsStackAndIgnoreChildrenThatAreNoCells) {
    auto* column = add<ZRowNode>(nullptr, L"Col");
    auto* a = probe(add<ZCellNode>(column, L"Cell"), 30, 10);
    ProbeNode* stray = probe(column, 50, 50);  // neither measured nor drawn
    auto* b = probe(add<ZCellNode>(column, L"Cell", {{L"valign", L"bottom"}}), 30, 20);
    update();
    int w = 0, h = 0;
    column->calcMinSize(w, h);
    EXPECT_EQ(w, 30);
    EXPECT_EQ(h, 30);
    Layer layer(40, 60);
    render(layer);
    EXPECT_EQ(a->drawn, (ZRect{0, 0, 30, 10}));
    EXPECT_EQ(b->drawn, (ZRect{0, 40, 30, 60}));
    EXPECT_EQ(stray->renders, 0);
    EXPECT_EQ(stray->updates, 1);
}

TEST_F(LayoutTest, BorderFramesItsInsideAndKeepsTheAspect) {
    auto* border = add<ZBorderNode>(nullptr, L"Border", {{L"aspect", L"2"}});
    auto* topleft = probe(add<ZTemplateNode>(border, L"topleft"), 10, 10);
    probe(add<ZTemplateNode>(border, L"top"), 1, 10);
    auto* top = probe(add<ZTemplateNode>(border, L"Top"), 5, 10);  // the later "top" wins
    auto* inside = probe(add<ZTemplateNode>(border, L"inside"), 1, 1);
    auto* bottomright = probe(add<ZTemplateNode>(border, L"bottomright"), 10, 10);
    auto* overlay = probe(add<ZTemplateNode>(border, L"decoration"), 0, 0);
    update();
    Layer layer(120, 120);
    render(layer);
    EXPECT_EQ(topleft->drawn, (ZRect{0, 0, 10, 10}));
    EXPECT_EQ(top->drawn, (ZRect{10, 0, 110, 10}));
    EXPECT_EQ(inside->drawn, (ZRect{10, 10, 110, 60}));  // 100 x 100 becomes 100 x 50
    EXPECT_EQ(bottomright->drawn, (ZRect{110, 60, 120, 70}));
    EXPECT_EQ(overlay->drawn, (ZRect{0, 0, 120, 70}));

    // Without an inside child the aspect is ignored.
    delete root;
    root = nullptr;
    auto* plain = add<ZBorderNode>(nullptr, L"Border", {{L"aspect", L"2"}});
    probe(add<ZTemplateNode>(plain, L"top"), 10, 10);
    auto* corner = probe(add<ZTemplateNode>(plain, L"bottomright"), 10, 10);
    update();
    Layer second(120, 120);
    render(second);
    EXPECT_EQ(corner->drawn, (ZRect{110, 110, 120, 120}));
}

TEST_F(LayoutTest, EdgePiecesAlignTheirContentInwardAndControlsHide) {
    // A "topleft" piece aligns its cell's content to the bottom right.
    auto* piece = add<ZTemplateNode>(nullptr, L"topleft");
    auto* cell = add<ZCellNode>(piece, L"Cell");
    auto* content = probe(cell, 10, 10);
    update();
    Layer layer(30, 30);
    render(layer);
    EXPECT_EQ(content->drawn, (ZRect{20, 20, 30, 30}));

    // "if" shows its children while the watched value equals "$equals".
    delete root;
    root = nullptr;
    auto* condition = add<ZTemplateNode>(nullptr, L"IF", {{L"watch", L"Mode"}, {L"equals", L"big"}});
    auto* shown = probe(condition, 1, 1);
    instance.set(L"Mode", L"small", false);
    EXPECT_FALSE(update());
    Layer hidden(5, 5);
    render(hidden);
    EXPECT_EQ(shown->renders, 0);
    instance.set(L"Mode", L"BIG", false);
    EXPECT_TRUE(update());
    render(hidden);
    EXPECT_EQ(shown->renders, 1);
}
