// The edit field typed into, pasted into, set by commands and drawn into a
// memory layer.
#include "ZNodeTestKit.h"

#include <cstring>

#include "ZEditNode.h"
#include "ZFont.h"

using namespace zantest;

namespace {

const wchar_t* const kFont = L"16,x,#FF0000FF";
const wchar_t* const kEmptyFont = L"16,x,#0000FFFF";

class EditNodeTest : public NodeTest {
protected:
    EditNodeTest() {
        edit = add<ZEditNode>(nullptr, L"Edit",
                              {{L"font", kFont}, {L"emptyfont", kEmptyFont}, {L"emptytext", L"Say something"},
                               {L"var", L"Draft"}, {L"ontype", L"(type)"}, {L"onclear", L"(untype)"},
                               {L"onenter", L"(send)"}, {L"inner", L"2"}, {L"outer", L"1"}});
        update();
    }

    // Whether the layer's area rect holds exactly what drawing text in a
    // fresh font of spec into it gives (the text placed at top in that area).
    static bool shows(const Layer& layer, const ZRect& rect, const std::wstring& text, const wchar_t* spec,
                      int top = 0) {
        Layer expected(layer.format.width, layer.format.height);
        ZFont font;
        font.update(spec);
        ZImageStack stack;
        stack.pushLayer(expected.format, expected.pixels.data(), expected.handlers.data());
        stack.pushTarget(rect);
        stack.drawText(text, font, ZRect{0, top, rect.right - rect.left, rect.bottom - rect.top});
        bool inked = false;
        for (int y = rect.top; y < rect.bottom; ++y)
            for (int x = rect.left; x < rect.right; ++x) {
                if (std::memcmp(layer.pixel(x, y), expected.pixel(x, y), 4) != 0) return false;
                inked |= expected.pixel(x, y)[3] != 0;
            }
        return inked || text.empty();
    }

    ZEditNode* edit = nullptr;
};

}  // namespace

TEST_F(EditNodeTest, TypingWritesTheVariableAndRunsTheCommandsAtTheEdges) {
    enum Kind { Key, Paste, Outside };  // Outside: the variable is set elsewhere, then an update pass
    struct Step {
        Kind kind;
        std::wstring input;  // a key's character, pasted text or the variable's new value
        int result;
        std::wstring text;
        std::wstring variable;
        std::vector<std::wstring> commands;
    } steps[] = {
        {Key, L"a", 1, L"a", L"a", {L"(type)"}},
        {Key, L"b", 1, L"ab", L"ab", {}},
        {Key, L"\b", 1, L"a", L"a", {}},
        {Key, L"\b", 1, L"", L"", {L"(untype)"}},
        {Key, L"\b", 1, L"", L"", {}},
        {Paste, L"two\nlines", 1, L"two\nlines", L"two\nlines", {L"(type)"}},
        {Key, L"\x1b", 1, L"", L"", {L"(untype)"}},
        {Key, L"\x01", 1, L"\x01", L"\x01", {L"(type)"}},  // control codes are text too
        // While typed into, the field keeps its text against the variable.
        {Outside, L"elsewhere", 0, L"\x01", L"elsewhere", {}},
        {Key, L"x", 1, L"\x01x", L"\x01x", {}},
        {Key, L"\r", 1, L"\x01x", L"\x01x", {L"(send)"}},
        {Key, L"\r", 1, L"\x01x", L"\x01x", {L"(send)"}},
        // After Enter the variable wins again.
        {Outside, L"", 1, L"", L"", {}},
        // Tab changes nothing and answers 0, but like any key it makes the
        // field hold out against the variable until Enter writes it back.
        {Key, L"\t", 0, L"", L"", {}},
        {Outside, L"stale", 0, L"", L"stale", {}},
        {Key, L"\r", 1, L"", L"", {L"(send)"}},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(ZToUTF8(step.input));
        engine.commands.clear();
        int result = 0;
        switch (step.kind) {
            case Key: result = edit->onKeyPressed(nullptr, step.input[0]); break;
            case Paste: result = edit->onPaste(nullptr, step.input); break;
            case Outside:
                instance.set(L"Draft", step.input, false);
                result = update() ? 1 : 0;
                break;
        }
        EXPECT_EQ(result, step.result);
        EXPECT_EQ(edit->getText(), step.text);
        EXPECT_EQ(instance.get(L"Draft"), step.variable);
        EXPECT_EQ(engine.commands, step.commands);
    }
}

TEST_F(EditNodeTest, AnUntouchableFieldFollowsTheVariableEvenWhileTyped) {
    edit->setAttribute(L"untouchable", L"true");
    update();
    edit->onKeyPressed(nullptr, L'q');
    instance.set(L"Draft", L"from the program", false);
    EXPECT_TRUE(update());
    EXPECT_EQ(edit->getText(), L"from the program");
    // A refresh reloads the variable and reports a change every time.
    edit->setAttribute(L"untouchable", L"false");
    edit->setAttribute(L"refresh", L"true");
    edit->onKeyPressed(nullptr, L'!');
    instance.set(L"Draft", L"reloaded", false);
    EXPECT_TRUE(update());
    EXPECT_EQ(edit->getText(), L"reloaded");
}

TEST_F(EditNodeTest, TextSetByACommandSticksThroughTheNextUpdate) {
    // A chat line is sent, then the skin's "(clear)" empties the field.
    for (wchar_t c : std::wstring(L"hi")) edit->onKeyPressed(nullptr, c);
    edit->onKeyPressed(nullptr, L'\r');
    edit->setText(L"");
    EXPECT_EQ(instance.get(L"Draft"), L"");
    update();
    EXPECT_EQ(edit->getText(), L"");
    // A command's text also wins over what the user was typing.
    edit->onKeyPressed(nullptr, L'z');
    edit->setText(L"prefilled");
    update();
    EXPECT_EQ(edit->getText(), L"prefilled");
    EXPECT_EQ(instance.get(L"Draft"), L"prefilled");
    instance.set(L"Draft", L"changed later", false);
    update();
    EXPECT_EQ(edit->getText(), L"changed later");
}

TEST_F(EditNodeTest, DrawsPlaceholderMaskAndCaretInsideItsFrame) {
    const int m = 3;  // inner + outer
    Layer layer(120, 30);
    const ZRect inner{m, m, 120 - m, 30 - m};
    render(layer);
    EXPECT_TRUE(shows(layer, inner, L"Say something", kEmptyFont));
    // The frame is drawn at the outer inset, and only there.
    const std::vector<int> black{0, 0, 0, 255};
    EXPECT_EQ(std::vector<int>(layer.pixel(1, 10), layer.pixel(1, 10) + 4), black);
    EXPECT_EQ(std::vector<int>(layer.pixel(118, 28), layer.pixel(118, 28) + 4), black);
    EXPECT_EQ(layer.pixel(0, 10)[3], 0);
    EXPECT_EQ(layer.handlers[10 * 120 + 60], static_cast<IZInputHandler*>(edit));

    struct Case {
        bool password;
        bool focused;
        std::wstring text;
        std::wstring shown;
        const wchar_t* font;
    } cases[] = {
        {false, true, L"", L"|", kFont},
        {true, false, L"abc", L"***", kFont},
        {true, true, L"abc", L"***|", kFont},
        {false, true, L"abc", L"abc|", kFont},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ZToUTF8(c.shown));
        edit->setAttribute(L"password", c.password ? L"true" : L"false");
        edit->setText(c.text);
        update();
        EXPECT_EQ(edit->onKeyboardFocusChanged(c.focused), 1);
        Layer drawn(120, 30);
        render(drawn);
        EXPECT_TRUE(shows(drawn, inner, c.shown, c.font));
    }
}

TEST_F(EditNodeTest, AScrollingFieldKeepsTheLastLineInsideTheInnerArea) {
    edit->setAttribute(L"vscroll", L"true");
    edit->setAttribute(L"font", L"16,m,#FF0000FF");
    edit->setText(L"one\ntwo\nthree\nfour\nfive\nsix");
    update();
    const int m = 3;
    Layer layer(100, 50);
    render(layer);
    const ZRect inner{m, m, 100 - m, 50 - m};
    ZFont font;
    font.update(L"16,m,#FF0000FF");
    ZRect measured{0, 0, inner.right - inner.left, inner.bottom - inner.top};
    font.measureText(measured, edit->getText());
    const int excess = measured.bottom - (inner.bottom - inner.top);
    ASSERT_GT(excess, 2 * m);
    // What shows is the text's bottom, flush with the inner area's bottom.
    EXPECT_TRUE(shows(layer, inner, edit->getText(), L"16,m,#FF0000FF", -excess));
}

TEST_F(EditNodeTest, MinimumSizeIsWideAndOneLineHigh) {
    int width = 0, height = 0;
    edit->calcMinSize(width, height);
    EXPECT_EQ(width, 10000);
    EXPECT_EQ(height, 16 + 2 * 3);
    // Insets from the skin cannot overflow the sum.
    edit->setAttribute(L"inner", L"2000000000");
    edit->setAttribute(L"outer", L"2000000000");
    update();
    width = height = 0;
    edit->calcMinSize(width, height);
    EXPECT_GT(height, 100000);
    // Such a field draws nothing but its handler (and UBSan sees no overflow).
    Layer layer(20, 20);
    render(layer);
    for (size_t i = 3; i < layer.pixels.size(); i += 4) EXPECT_EQ(layer.pixels[i], 0);
}
