// The hotkey field: the longest combination of one press-and-release
// sequence, read from a keyboard the test holds down.
#include "ZNodeTestKit.h"

#include <fstream>
#include <sstream>

#include "ZHotkeyNode.h"

using namespace zantest;

namespace {

std::wstring gHeld;
std::wstring heldKeys() { return gHeld; }

class HotkeyTest : public NodeTest {
protected:
    HotkeyTest() { ZHotkeyNode::setKeyReader(heldKeys); }
    ~HotkeyTest() override { ZHotkeyNode::setKeyReader(nullptr); }
    ZHotkeyNode* makeField() {
        field = add<ZHotkeyNode>(nullptr, L"Hotkey",
                                 {{L"var", L"Working_Hotkey"}, {L"font", L"12,x,#000000"}, {L"inner", L"2"},
                                  {L"outer", L"3"}});
        update();
        return field;
    }
    ZHotkeyNode* field = nullptr;
};

}  // namespace

TEST_F(HotkeyTest, KeepsTheLongestCombinationOfEachSequence) {
    makeField();
    // The keys held after each press or release, and the text shown then.
    struct Step {
        const wchar_t* held;
        const wchar_t* shown;
    } steps[] = {
        {L"F5", L"F5"}, {L"", L"F5"},
        {L"", L"F5"},  // a release handled after every key was up keeps it
        {L"SHIFT", L"SHIFT"}, {L"SHIFT+CONTROL", L"SHIFT+CONTROL"}, {L"SHIFT+CONTROL+A", L"SHIFT+CONTROL+A"},
        {L"SHIFT+A", L"SHIFT+CONTROL+A"}, {L"A", L"SHIFT+CONTROL+A"}, {L"", L"SHIFT+CONTROL+A"},
        {L"SPACE", L"SPACE"}, {L"", L"SPACE"},  // shorter, but a new sequence
        {L"A", L"A"}, {L"A", L"A"}, {L"", L"A"},  // B joins A: the lowest code still reads "A"
    };
    bool press = true;
    for (const Step& step : steps) {
        const std::wstring before = field->getText();
        gHeld = step.held;
        const int flags = press ? field->onKeyDown(nullptr, 0) : field->onKeyUp(nullptr, 0);
        press = !press;
        EXPECT_EQ(field->getText(), step.shown) << ZToUTF8(step.held);
        EXPECT_EQ(instance.get(L"Working_Hotkey"), step.shown) << ZToUTF8(step.held);
        EXPECT_EQ(flags, before != step.shown ? 1 : 0) << ZToUTF8(step.held);
        update();
        EXPECT_EQ(field->getText(), step.shown) << ZToUTF8(step.held);
    }
    // Written for the engine, never into the settings file.
    instance.save();
    std::ifstream file(dir.file("settings.ini"));
    std::stringstream saved;
    saved << file.rdbuf();
    EXPECT_EQ(saved.str().find("Working_Hotkey"), std::string::npos);
}

TEST_F(HotkeyTest, ShowsTheVariableAsACommandLeavesIt) {
    makeField();
    instance.set(L"Working_Hotkey", L"CONTROL+SPACE", false);
    EXPECT_TRUE(update());
    EXPECT_EQ(field->getText(), L"CONTROL+SPACE");
    EXPECT_FALSE(update());
    // The watch moves with the name.
    field->setAttribute(L"var", L"Other_Hotkey");
    update();
    ZLogCapture log;
    instance.unwatch(L"Working_Hotkey", engine.getNotifyListener(), 2);
    instance.unwatch(L"Other_Hotkey", engine.getNotifyListener(), 2);
    EXPECT_EQ(log.count(L"Unwatched 'Working_Hotkey' when it wasn't being watched."), 1);
    EXPECT_EQ(log.count(L"when it wasn't being watched"), 1);
}

TEST_F(HotkeyTest, DrawsAFramedFieldThatTakesTheFocus) {
    makeField();
    int width = 0, height = 0;
    field->calcMinSize(width, height);
    EXPECT_EQ(width, 10000);
    EXPECT_EQ(height, 12 + 2 * (2 + 3));
    Layer layer(120, 30);
    render(layer);
    EXPECT_EQ(std::vector<int>(layer.pixel(3, 15), layer.pixel(3, 15) + 4), (std::vector<int>{0, 0, 0, 255}));
    EXPECT_EQ(layer.pixel(1, 15)[3], 0);  // outside the frame's inset
    EXPECT_EQ(layer.handlers[15 * 120 + 60], field);
    EXPECT_TRUE(field->acceptsKeyboardFocus());
    EXPECT_EQ(field->onKeyboardFocusChanged(true), 1);
    EXPECT_TRUE(field->isFocused());
}
